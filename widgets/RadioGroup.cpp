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
    const int count = int(Items.size());
    const int perColumn = std::max(1, (count + Columns - 1) / Columns);
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(6, 2, 6, 2);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(2);
    for (int i = 0; i < count; ++i) {
        auto* item = new QRadioButton(Items.at(i), this);
        FGroup->addButton(item, i);
        grid->addWidget(item, i % perColumn, i / perColumn);
        FButtons.push_back(item);
    }
    FGroup->setExclusive(true);
    // Only the button that becomes checked reports, so one change is one Click.
    connect(FGroup, &QButtonGroup::idToggled, this, [this](int, bool Checked) {
        if (Checked)
            emit Click();
    });
    // A click on the button already chosen changes nothing, yet it is the
    // operator asking again (a port tried once more): it reports too. Its
    // press comes first, so the choice at the press tells the two apart.
    connect(FGroup, &QButtonGroup::idPressed, this, [this](int) { FIndexAtPress = ItemIndex(); });
    connect(FGroup, &QButtonGroup::idClicked, this, [this](int Id) {
        if (Id == FIndexAtPress)
            emit Click();
        FIndexAtPress = -1;
    });
}

int TRadioGroup::ItemIndex() const { return FGroup->checkedId(); }

void TRadioGroup::SetItemIndex(int Index)
{
    if (Index == ItemIndex())
        return;
    if (Index < 0 || Index >= Count()) {
        // Unchecking every button needs the group's exclusivity lifted for a moment.
        if (QAbstractButton* checked = FGroup->checkedButton()) {
            FGroup->setExclusive(false);
            checked->setChecked(false);
            FGroup->setExclusive(true);
            emit Click();
        }
        return;
    }
    FButtons.at(size_t(Index))->setChecked(true);
}
