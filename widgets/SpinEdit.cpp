#include "widgets/SpinEdit.h"
TSpinEdit::TSpinEdit(QWidget* Parent) : QSpinBox(Parent) { }
int TSpinEdit::Value() const { return value(); }
