#pragma once
// A spin edit whose value reads as its minimum while its text is not a number,
// and that is brought back into range when it loses the focus.

#include <QSpinBox>

class TSpinEdit : public QSpinBox {
    Q_OBJECT
public:
    explicit TSpinEdit(QWidget* Parent = nullptr);

    // The text as a number (held within the range), or the minimum when it is
    // not one. Read this rather than value(): value() keeps the last number
    // that was complete while the operator types.
    int Value() const;

protected:
    void focusOutEvent(QFocusEvent* Event) override;
};
