// The page "ChangePS": the sector selector, its key source, and a new trailer (key A, control bits, key B).
#include "app/FormParts.h"
#include "app/MainForm.h"
#include "app/Pages.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

using namespace FormParts;

namespace {

// The radio button names of the selector, by sector number; numbered like
// those of the "Block" page.
const std::array<const char*, 16> ChangeRadioNames{
    "RbCardSecor", "RadioButton17", "RadioButton18", "RadioButton19",
    "RadioButton23", "RadioButton22", "RadioButton21", "RadioButton20",
    "RadioButton27", "RadioButton26", "RadioButton25", "RadioButton24",
    "RadioButton31", "RadioButton30", "RadioButton29", "RadioButton28"};

} // namespace

void BuildChangePSPage(TMainForm* F)
{
    QFrame* bevel = NewBevel(F->TabSheet5, "Bevel5");
    auto* layout = new QVBoxLayout(bevel);
    layout->setContentsMargins(4, 4, 4, 2);
    layout->setSpacing(2);

    QWidget* grid = NewSectorGrid(bevel, ChangeRadioNames, F->ChangeRadios);
    F->CmbKeyTypeEdit = NewList("CmbKeyTypeEdit", KeySourceItems, -1, bevel);
    F->EdtInKeyEdit = NewEdit("EdtInKeyEdit", 12, bevel);
    NewSelectorTop(layout, grid, QStringLiteral("By PS："), F->CmbKeyTypeEdit, F->EdtInKeyEdit, bevel);

    auto* bottom = new QHBoxLayout;
    bottom->setSpacing(8);
    F->GbSec3 = NewSectorBox("GbSec3", bevel);
    auto* rows = new QGridLayout(F->GbSec3);
    rows->setContentsMargins(6, 2, 6, 4);
    rows->setHorizontalSpacing(6);
    rows->setVerticalSpacing(2);
    F->EdtKeyA = NewEdit("EdtKeyA", 12, F->GbSec3);
    F->EdtKeyB = NewEdit("EdtKeyB", 12, F->GbSec3);
    F->EdtKeyC = NewEdit("EdtKeyC", 8, F->GbSec3);
    F->EdtKeyA->setFixedWidth(110);
    F->EdtKeyB->setFixedWidth(110);
    F->EdtKeyC->setFixedWidth(110);
    rows->addWidget(NewLabel(QStringLiteral("KEYA"), F->GbSec3), 0, 0);
    rows->addWidget(F->EdtKeyA, 0, 1);
    rows->addWidget(NewLabel(QStringLiteral("KEYB"), F->GbSec3), 1, 0);
    rows->addWidget(F->EdtKeyB, 1, 1);
    rows->addWidget(NewLabel(QStringLiteral("CtrlBit"), F->GbSec3), 2, 0);
    rows->addWidget(F->EdtKeyC, 2, 1);
    bottom->addWidget(F->GbSec3);
    bottom->addStretch(1);
    F->BtnChangeKey = NewButton("BtnChangeKey", QStringLiteral("Modify"), bevel);
    F->BtnChangeKey->setFixedWidth(90);
    bottom->addWidget(F->BtnChangeKey, 0, Qt::AlignBottom);
    bottom->addSpacing(16);
    layout->addLayout(bottom, 1);

    // Handlers last, so that setting the defaults above ran none of them.
    OnSectorChosen(F, F->ChangeRadios, &TMainForm::RbCardSecorClick);
    OnClick(F, F->BtnChangeKey, &TMainForm::BtnChangeKeyClick);
}

void TMainForm::BtnChangeKeyClick()
{
    FSession->ChangeTrailer(uint8_t(Tag(GbSec3)), KeyChoice(TRowPage::ChangePS),
        {EdtKeyA->text(), EdtKeyC->text(), EdtKeyB->text()});
}
