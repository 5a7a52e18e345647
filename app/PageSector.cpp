// The page "Sector": the sector selector, its key source, and four block rows with read, write and initialise.
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

// The radio button names of the selector, by sector number.
const std::array<const char*, 16> SectorRadioNames{
    "Rd0", "Rd1", "Rd2", "Rd3", "Rd4", "Rd5", "Rd6", "Rd7",
    "Rd8", "Rd9", "Rd10", "Rd11", "Rd12", "Rd13", "Rd14", "Rd15"};

} // namespace

void BuildSectorPage(TMainForm* F)
{
    QFrame* bevel = NewBevel(F->TabSheet2, "Bevel2");
    QVBoxLayout* layout = NewBlockPageColumn(bevel);

    QWidget* grid = NewSectorGrid(bevel, SectorRadioNames, F->SectorRadios);
    F->CmbKeyTypeRW = NewList("CmbKeyTypeRW", KeySourceItems, -1, bevel);
    F->EdtInKeyRW = NewEdit("EdtInKeyRW", 12, bevel);
    NewSelectorTop(layout, grid, QStringLiteral("PassWord："), F->CmbKeyTypeRW, F->EdtInKeyRW, bevel);

    F->GbSec1 = NewSectorBox("GbSec1", bevel);
    QGridLayout* rows = NewBlockRows(F->GbSec1);
    F->EdtHex0 = NewEdit("EdtHex0", 32, F->GbSec1);
    F->EdtHex1 = NewEdit("EdtHex1", 32, F->GbSec1);
    F->EdtHex2 = NewEdit("EdtHex2", 32, F->GbSec1);
    F->EdtHex3 = NewEdit("EdtHex3", 32, F->GbSec1);
    F->Button1 = NewButton("Button1", QStringLiteral("Read"), F->GbSec1);
    F->Button7 = NewButton("Button7", QStringLiteral("Read"), F->GbSec1);
    F->Button5 = NewButton("Button5", QStringLiteral("Read"), F->GbSec1);
    F->Button3 = NewButton("Button3", QStringLiteral("Read"), F->GbSec1);
    F->BtnWriteBlock0 = NewButton("BtnWriteBlock0", QStringLiteral("Write"), F->GbSec1);
    F->Button6 = NewButton("Button6", QStringLiteral("Write"), F->GbSec1);
    F->Button4 = NewButton("Button4", QStringLiteral("Write"), F->GbSec1);
    // Row 3 is the sector trailer: written only through "ChangePS".
    F->Button8 = NewButton("Button8", QStringLiteral("Write"), F->GbSec1, false);
    F->Button13 = NewButton("Button13", QStringLiteral("Initialize"), F->GbSec1);
    F->Button14 = NewButton("Button14", QStringLiteral("Initialize"), F->GbSec1);
    F->Button15 = NewButton("Button15", QStringLiteral("Initialize"), F->GbSec1);
    F->Button16 = NewButton("Button16", QStringLiteral("Initialize"), F->GbSec1, false);
    for (QPushButton* button : {F->Button1, F->Button7, F->Button5, F->Button3, F->BtnWriteBlock0, F->Button6,
             F->Button4, F->Button8})
        button->setFixedWidth(48);
    for (QPushButton* button : {F->Button13, F->Button14, F->Button15, F->Button16})
        button->setFixedWidth(72);
    AddBlockRow(rows, 0, F->EdtHex0, {F->Button1, F->BtnWriteBlock0, F->Button13}, F->GbSec1);
    AddBlockRow(rows, 1, F->EdtHex1, {F->Button7, F->Button6, F->Button14}, F->GbSec1);
    AddBlockRow(rows, 2, F->EdtHex2, {F->Button5, F->Button4, F->Button15}, F->GbSec1);
    AddBlockRow(rows, 3, F->EdtHex3, {F->Button3, F->Button8, F->Button16}, F->GbSec1);
    layout->addWidget(F->GbSec1, 1);

    // Handlers last, so that setting the defaults above ran none of them.
    OnSectorChosen(F, F->SectorRadios, &TMainForm::Rd0Click);
    OnClick(F, F->Button1, &TMainForm::Button1Click);
    OnClick(F, F->Button7, &TMainForm::Button7Click);
    OnClick(F, F->Button5, &TMainForm::Button5Click);
    OnClick(F, F->Button3, &TMainForm::Button3Click);
    OnClick(F, F->BtnWriteBlock0, &TMainForm::BtnWriteBlock0Click);
    OnClick(F, F->Button6, &TMainForm::Button6Click);
    OnClick(F, F->Button4, &TMainForm::Button4Click);
    OnClick(F, F->Button8, &TMainForm::Button8Click);
    OnClick(F, F->Button13, &TMainForm::Button13Click);
    OnClick(F, F->Button14, &TMainForm::Button14Click);
    OnClick(F, F->Button15, &TMainForm::Button15Click);
    OnClick(F, F->Button16, &TMainForm::Button16Click);
}

// ------------------------------------------------- the rows of "Sector" and "Block"

QGroupBox* TMainForm::SectorBox(TRowPage Page) const
{
    switch (Page) {
    case TRowPage::Sector:
        return GbSec1;
    case TRowPage::Block:
        return GbSec2;
    case TRowPage::ChangePS:
        break;
    }
    return GbSec3;
}

TKeyChoice TMainForm::KeyChoice(TRowPage Page) const
{
    const QComboBox* selector = Page == TRowPage::Sector ? CmbKeyTypeRW
        : Page == TRowPage::Block                        ? CmbKeyTypeBlock
                                                         : CmbKeyTypeEdit;
    const QLineEdit* typed = Page == TRowPage::Sector ? EdtInKeyRW
        : Page == TRowPage::Block                     ? EdtInKeyBlock
                                                      : EdtInKeyEdit;
    // No entry chosen is -1, which goes out as its low byte.
    return {uint8_t(selector->currentIndex()), typed->text()};
}

void TMainForm::SectorChosen(TRowPage Page, QObject* Sender)
{
    const int sector = Tag(Sender);
    QGroupBox* box = SectorBox(Page);
    box->setTitle(QStringLiteral("Sector%1").arg(sector));
    SetTag(box, sector);
}

void TMainForm::ReadRowClick(TRowPage Page, int Row)
{
    const std::array<QLineEdit*, 4> edits = Page == TRowPage::Sector
        ? std::array<QLineEdit*, 4>{EdtHex0, EdtHex1, EdtHex2, EdtHex3}
        : std::array<QLineEdit*, 4>{EdtBlock0, EdtBlock1, EdtBlock2, EdtBlock3};
    if (const std::optional<QString> text = FSession->ReadRow(uint8_t(Tag(SectorBox(Page))), Row, KeyChoice(Page)))
        edits[size_t(Row)]->setText(*text);
}

void TMainForm::WriteRowClick(int Row)
{
    const std::array<QLineEdit*, 4> edits = {EdtHex0, EdtHex1, EdtHex2, EdtHex3};
    // The edit's text goes as it stands.
    FSession->WriteRow(uint8_t(Tag(GbSec1)), Row, KeyChoice(TRowPage::Sector), edits[size_t(Row)]->text());
}

void TMainForm::InitRowClick(TRowPage Page, int Row)
{
    FSession->InitRow(uint8_t(Tag(SectorBox(Page))), Row, KeyChoice(Page));
}
