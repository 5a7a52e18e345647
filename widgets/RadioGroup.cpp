#include "widgets/RadioGroup.h"
TRadioGroup::TRadioGroup(const QString& Caption, const QStringList&, int, QWidget* Parent) : QGroupBox(Caption, Parent) { }
int TRadioGroup::ItemIndex() const { return -1; }
void TRadioGroup::SetItemIndex(int) { }
