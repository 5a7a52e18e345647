#include "widgets/RadioGroup.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QRadioButton>

#include <algorithm>

TRadioGroup::TRadioGroup(const QString& Caption, const QStringList& Items, int Columns, QWidget* Parent)
    : QGroupBox(Caption, Parent)
    , FGroup(new QButtonGroup(this))
{
    Columns = std::max(1, Columns);
    const int Count = int(Items.size());
    const int PerColumn = std::max(1, (Count + Columns - 1) / Columns);
    auto* Grid = new QGridLayout(this);
    Grid->setContentsMargins(6, 2, 6, 2);
    Grid->setHorizontalSpacing(12);
    Grid->setVerticalSpacing(2);
    for (int I = 0; I < Count; ++I) {
        auto* Item = new QRadioButton(Items.at(I), this);
        FGroup->addButton(Item, I);
        Grid->addWidget(Item, I % PerColumn, I / PerColumn);
        FButtons.push_back(Item);
    }
    FGroup->setExclusive(true);
    // Only the button that becomes checked reports, so one change is one Click.
    connect(FGroup, &QButtonGroup::idToggled, this, [this](int, bool Checked) {
        if (Checked)
            emit Click();
    });
}

int TRadioGroup::ItemIndex() const { return FGroup->checkedId(); }

void TRadioGroup::SetItemIndex(int Index)
{
    if (Index == ItemIndex())
        return;
    if (Index < 0 || Index >= Count()) {
        // Unchecking every button needs the group's exclusivity lifted for a moment.
        if (QAbstractButton* Checked = FGroup->checkedButton()) {
            FGroup->setExclusive(false);
            Checked->setChecked(false);
            FGroup->setExclusive(true);
            emit Click();
        }
        return;
    }
    FButtons.at(size_t(Index))->setChecked(true);
}
