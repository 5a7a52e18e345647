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

signals:
    // Every change of the text, an empty box included (QSpinBox's own
    // textChanged stays silent while the text is not a number).
    void TextChanged(const QString& Text);

protected:
    void focusOutEvent(QFocusEvent* Event) override;

private:
    void PassTextChange(const QString& Text);
    QString FLastText;
};
