#include "widgets/SpinEdit.h"

#include <QLineEdit>

#include <algorithm>

TSpinEdit::TSpinEdit(QWidget* Parent)
    : QSpinBox(Parent)
{
    // Text the validator lets through half-typed (an empty box) must not be
    // replaced by the last good value behind the operator's back.
    setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    // The spin box reports programmatic changes, its line edit the operator's
    // (half-typed text included); each change is passed on once.
    FLastText = text();
    connect(this, &QSpinBox::textChanged, this, &TSpinEdit::PassTextChange);
    connect(lineEdit(), &QLineEdit::textChanged, this, &TSpinEdit::PassTextChange);
}

void TSpinEdit::PassTextChange(const QString& Text)
{
    if (Text == FLastText)
        return;
    FLastText = Text;
    emit TextChanged(Text);
}

int TSpinEdit::Value() const
{
    bool isNumber = false;
    const int number = cleanText().trimmed().toInt(&isNumber);
    if (!isNumber)
        return minimum();
    // The box never offers a number outside its range to whoever reads it.
    return std::clamp(number, minimum(), maximum());
}

void TSpinEdit::focusOutEvent(QFocusEvent* Event)
{
    const int settled = Value();
    QSpinBox::focusOutEvent(Event);
    // Leave the text showing what Value() read, so the two never disagree.
    if (value() != settled || lineEdit()->text() != textFromValue(settled))
        setValue(settled);
}
