// The page "Block": the sector selector, its key source, the value amount, and four block rows with read, increment, decrement and initialise.
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

// The radio button names of the selector, by sector number. They do not
// follow the sectors: after the first row, each row of four is numbered from
// right to left.
const std::array<const char*, 16> BlockRadioNames{
    "RdInc", "RadioButton2", "RadioButton3", "RadioButton4",
    "RadioButton8", "RadioButton7", "RadioButton6", "RadioButton5",
    "RadioButton12", "RadioButton11", "RadioButton10", "RadioButton9",
    "RadioButton16", "RadioButton15", "RadioButton14", "RadioButton13"};

} // namespace

void BuildBlockPage(TMainForm* F)
{
    QFrame* bevel = NewBevel(F->TabSheet3, "Bevel3");
    QVBoxLayout* layout = NewBlockPageColumn(bevel);

    QWidget* grid = NewSectorGrid(bevel, BlockRadioNames, F->BlockRadios);
    F->CmbKeyTypeBlock = NewList("CmbKeyTypeBlock", KeySourceItems, -1, bevel);
    F->EdtInKeyBlock = NewEdit("EdtInKeyBlock", 12, bevel);
    QGridLayout* keys = NewSelectorTop(layout, grid, QStringLiteral("Password："), F->CmbKeyTypeBlock, F->EdtInKeyBlock, bevel);
    F->EdtBlockData = NewEdit("EdtBlockData", 8, bevel);
    F->EdtBlockData->setFixedWidth(130);
    keys->addWidget(NewLabel(QStringLiteral("BlkValue："), bevel), 2, 0, Qt::AlignRight);
    keys->addWidget(F->EdtBlockData, 2, 1);

    F->GbSec2 = NewSectorBox("GbSec2", bevel);
    QGridLayout* rows = NewBlockRows(F->GbSec2);
    F->EdtBlock0 = NewEdit("EdtBlock0", 32, F->GbSec2);
    F->EdtBlock1 = NewEdit("EdtBlock1", 32, F->GbSec2);
    F->EdtBlock2 = NewEdit("EdtBlock2", 32, F->GbSec2);
    F->EdtBlock3 = NewEdit("EdtBlock3", 32, F->GbSec2);
    F->Button18 = NewButton("Button18", QStringLiteral("Read"), F->GbSec2);
    F->Button24 = NewButton("Button24", QStringLiteral("Read"), F->GbSec2);
    F->Button22 = NewButton("Button22", QStringLiteral("Read"), F->GbSec2);
    F->Button20 = NewButton("Button20", QStringLiteral("Read"), F->GbSec2);
    F->Button19 = NewButton("Button19", QStringLiteral("Inc"), F->GbSec2);
    F->Button23 = NewButton("Button23", QStringLiteral("Inc"), F->GbSec2);
    F->Button21 = NewButton("Button21", QStringLiteral("Inc"), F->GbSec2);
    // Row 3 is the sector trailer: no value operations on it.
    F->Button17 = NewButton("Button17", QStringLiteral("Inc"), F->GbSec2, false);
    F->Button25 = NewButton("Button25", QStringLiteral("Des"), F->GbSec2);
    F->Button26 = NewButton("Button26", QStringLiteral("Des"), F->GbSec2);
    F->Button27 = NewButton("Button27", QStringLiteral("Des"), F->GbSec2);
    F->Button28 = NewButton("Button28", QStringLiteral("Des"), F->GbSec2, false);
    F->Button29 = NewButton("Button29", QStringLiteral("Initial"), F->GbSec2);
    F->Button30 = NewButton("Button30", QStringLiteral("initial"), F->GbSec2);
    F->Button31 = NewButton("Button31", QStringLiteral("initial"), F->GbSec2);
    F->Button32 = NewButton("Button32", QStringLiteral("initial"), F->GbSec2, false);
    for (QPushButton* button : {F->Button18, F->Button24, F->Button22, F->Button20, F->Button19, F->Button23, F->Button21, F->Button17,
             F->Button25, F->Button26, F->Button27, F->Button28})
        button->setFixedWidth(40);
    for (QPushButton* button : {F->Button29, F->Button30, F->Button31, F->Button32})
        button->setFixedWidth(52);
    AddBlockRow(rows, 0, F->EdtBlock0, {F->Button18, F->Button19, F->Button25, F->Button29}, F->GbSec2);
    AddBlockRow(rows, 1, F->EdtBlock1, {F->Button24, F->Button23, F->Button26, F->Button30}, F->GbSec2);
    AddBlockRow(rows, 2, F->EdtBlock2, {F->Button22, F->Button21, F->Button27, F->Button31}, F->GbSec2);
    AddBlockRow(rows, 3, F->EdtBlock3, {F->Button20, F->Button17, F->Button28, F->Button32}, F->GbSec2);
    layout->addWidget(F->GbSec2, 1);

    // Handlers last, so that setting the defaults above ran none of them.
    OnSectorChosen(F, F->BlockRadios, &TMainForm::RdIncClick);
    OnClick(F, F->Button18, &TMainForm::Button18Click);
    OnClick(F, F->Button24, &TMainForm::Button24Click);
    OnClick(F, F->Button22, &TMainForm::Button22Click);
    OnClick(F, F->Button20, &TMainForm::Button20Click);
    OnClick(F, F->Button19, &TMainForm::Button19Click);
    OnClick(F, F->Button23, &TMainForm::Button23Click);
    OnClick(F, F->Button21, &TMainForm::Button21Click);
    OnClick(F, F->Button17, &TMainForm::Button17Click);
    OnClick(F, F->Button25, &TMainForm::Button25Click);
    OnClick(F, F->Button26, &TMainForm::Button26Click);
    OnClick(F, F->Button27, &TMainForm::Button27Click);
    OnClick(F, F->Button28, &TMainForm::Button28Click);
    OnClick(F, F->Button29, &TMainForm::Button29Click);
    OnClick(F, F->Button30, &TMainForm::Button30Click);
    OnClick(F, F->Button31, &TMainForm::Button31Click);
    OnClick(F, F->Button32, &TMainForm::Button32Click);
}

void TMainForm::ValueRowClick(uint8_t Operation, int Row)
{
    FSession->ValueRow(Operation, uint8_t(Tag(GbSec2)), Row, EdtBlockData->text());
}
