// The main window: its frame, the eight pages and their controls, the three
// sector selectors, the message log and the status bar with its hint panel.
#include "app/MainForm.h"
#include "reader/CardReader.h"
#include "reader/ReaderLink.h"
#include "serial/Comm.h"
#include "widgets/HyperLink.h"
#include "widgets/RadioGroup.h"
#include "widgets/SpinEdit.h"

#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QVariant>

namespace {

// Client area of the fixed window and the heights that shape it.
constexpr int ClientWidth = 492;
constexpr int ClientHeight = 366;
constexpr int TabsHeight = 236;
constexpr int StatusHeight = 19;

constexpr int RowHeight = 20; // edits, lists and buttons on the pages

const QStringList KeySourceItems{
    QStringLiteral("By KEYA"), QStringLiteral("By KEYB"),
    QStringLiteral("By Input KEYA"), QStringLiteral("By Input KEYB")};

// The radio button names of each sector selector, by sector number. On the
// "Block" and "ChangePS" pages the names do not follow the sectors: after the
// first row, each row of four is numbered from right to left.
const std::array<const char*, 16> SectorRadioNames{
    "Rd0", "Rd1", "Rd2", "Rd3", "Rd4", "Rd5", "Rd6", "Rd7",
    "Rd8", "Rd9", "Rd10", "Rd11", "Rd12", "Rd13", "Rd14", "Rd15"};
const std::array<const char*, 16> BlockRadioNames{
    "RdInc", "RadioButton2", "RadioButton3", "RadioButton4",
    "RadioButton8", "RadioButton7", "RadioButton6", "RadioButton5",
    "RadioButton12", "RadioButton11", "RadioButton10", "RadioButton9",
    "RadioButton16", "RadioButton15", "RadioButton14", "RadioButton13"};
const std::array<const char*, 16> ChangeRadioNames{
    "RbCardSecor", "RadioButton17", "RadioButton18", "RadioButton19",
    "RadioButton23", "RadioButton22", "RadioButton21", "RadioButton20",
    "RadioButton27", "RadioButton26", "RadioButton25", "RadioButton24",
    "RadioButton31", "RadioButton30", "RadioButton29", "RadioButton28"};

QLabel* NewLabel(const QString& Caption, QWidget* Parent)
{
    auto* Label = new QLabel(Caption, Parent);
    Label->setFixedHeight(RowHeight);
    return Label;
}

QPushButton* NewButton(const char* Name, const QString& Caption, QWidget* Parent, bool Enabled = true)
{
    auto* Button = new QPushButton(Caption, Parent);
    Button->setObjectName(QLatin1String(Name));
    Button->setFixedHeight(RowHeight + 2);
    Button->setEnabled(Enabled);
    return Button;
}

QLineEdit* NewEdit(const char* Name, int MaxLength, QWidget* Parent)
{
    auto* Edit = new QLineEdit(Parent);
    Edit->setObjectName(QLatin1String(Name));
    if (MaxLength > 0)
        Edit->setMaxLength(MaxLength);
    Edit->setFixedHeight(RowHeight);
    return Edit;
}

QComboBox* NewList(const char* Name, const QStringList& Items, int Index, QWidget* Parent)
{
    auto* List = new QComboBox(Parent);
    List->setObjectName(QLatin1String(Name));
    List->setEditable(false);
    List->addItems(Items);
    List->setCurrentIndex(Index);
    List->setFixedHeight(RowHeight);
    return List;
}

// Every page is framed by a bevel that fills it; the page's controls sit on it.
QFrame* NewBevel(QWidget* Page, const char* Name)
{
    auto* PageLayout = new QVBoxLayout(Page);
    PageLayout->setContentsMargins(2, 2, 2, 2);
    auto* Bevel = new QFrame(Page);
    Bevel->setObjectName(QLatin1String(Name));
    Bevel->setFrameShape(QFrame::Panel);
    Bevel->setFrameShadow(QFrame::Sunken);
    PageLayout->addWidget(Bevel);
    return Bevel;
}

// Sixteen radio buttons "S0".."S15" in four rows of four, one exclusive
// group per page, tagged with their sector numbers, tabbing in sector order.
QWidget* NewSectorGrid(QWidget* Parent, const std::array<const char*, 16>& Names,
    std::array<QRadioButton*, 16>& Radios)
{
    auto* Grid = new QWidget(Parent);
    auto* Layout = new QGridLayout(Grid);
    Layout->setContentsMargins(4, 0, 4, 0);
    Layout->setHorizontalSpacing(6);
    Layout->setVerticalSpacing(0);
    auto* Group = new QButtonGroup(Grid);
    Group->setExclusive(true);
    for (int Sector = 0; Sector < 16; ++Sector) {
        auto* Radio = new QRadioButton(QStringLiteral("S%1").arg(Sector), Grid);
        Radio->setObjectName(QLatin1String(Names[size_t(Sector)]));
        Radio->setFixedHeight(18);
        TMainForm::SetTag(Radio, Sector);
        Group->addButton(Radio, Sector);
        Layout->addWidget(Radio, Sector / 4, Sector % 4);
        Radios[size_t(Sector)] = Radio;
    }
    Radios[0]->setChecked(true);
    for (size_t Sector = 1; Sector < 16; ++Sector)
        QWidget::setTabOrder(Radios[Sector - 1], Radios[Sector]);
    return Grid;
}

QGroupBox* NewSectorBox(const char* Name, QWidget* Parent)
{
    auto* Box = new QGroupBox(QStringLiteral("S0"), Parent);
    Box->setObjectName(QLatin1String(Name));
    TMainForm::SetTag(Box, 0);
    return Box;
}

// Catches what the window handles for the whole application: status tips
// (the hint display) and the context requests of three pages.
class TFormEvents : public QObject {
public:
    explicit TFormEvents(TMainForm* Form)
        : QObject(Form)
        , FForm(Form)
    {
    }

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override
    {
        switch (Event->type()) {
        case QEvent::StatusTip:
            // Consumed here: the status bar's own message would hide the panels.
            FForm->DisplayHint(static_cast<QStatusTipEvent*>(Event)->tip());
            return true;
        case QEvent::ContextMenu:
            // The request is left unhandled, so the default handling goes on.
            if (Watched == FForm->TabSheet5)
                FForm->TabSheet5ContextPopup();
            else if (Watched == FForm->TabSheet6)
                FForm->TabSheet6ContextPopup();
            else if (Watched == FForm->TabSheet7)
                FForm->TabSheet7ContextPopup();
            return false;
        default:
            return false;
        }
    }

private:
    TMainForm* FForm;
};

// The pages, each built on its own, and the wiring of every handler.
void BuildBasicPage(TMainForm* F);
void BuildSectorPage(TMainForm* F);
void BuildBlockPage(TMainForm* F);
void BuildDownPage(TMainForm* F);
void BuildChangePage(TMainForm* F);
void BuildOthersPage(TMainForm* F);
void BuildSettingPage(TMainForm* F);
void BuildAboutPage(TMainForm* F);
void ConnectHandlers(TMainForm* F);

} // namespace

TMainForm::TMainForm(QWidget* parent)
    : QMainWindow(parent)
{
    BuildUi();
    CreateComponents();
    FormCreate();
}

TMainForm::~TMainForm()
{
    // The hint display writes into a status panel; no event may reach it
    // while the panels are being destroyed.
    const QObjectList Children = children();
    for (QObject* Child : Children)
        if (auto* Events = dynamic_cast<TFormEvents*>(Child))
            delete Events;
}

void TMainForm::BuildUi()
{
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("Orvelle"));
    // A single fixed border: system menu, minimise and close, nothing to resize.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
        | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    // The captions were drawn for a Ming-style 12-pixel face; where the
    // original one is missing, a face that has the full-width colon stands in.
    QFont FormFont;
    FormFont.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("AR PL UMing CN"),
        QStringLiteral("AR PL UMing TW"), QStringLiteral("Noto Serif CJK SC")});
    FormFont.setPixelSize(12);
    setFont(FormFont);

    auto* Client = new QWidget(this);
    Client->setObjectName(QStringLiteral("Client"));
    auto* ClientLayout = new QVBoxLayout(Client);
    ClientLayout->setContentsMargins(0, 0, 0, 0);
    ClientLayout->setSpacing(0);
    setCentralWidget(Client);

    // ------------------------------------------------------------- tab control
    PageControl1 = new QTabWidget(Client);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->setFixedHeight(TabsHeight);
    PageControl1->setUsesScrollButtons(false);
    PageControl1->setElideMode(Qt::ElideNone);
    PageControl1->setDocumentMode(false);
    // Tabs do not wrap onto rows here: the eight titles fit one row at this
    // font, and neither eliding nor scroll buttons may hide one of them.
    PageControl1->tabBar()->setExpanding(false);
    ClientLayout->addWidget(PageControl1);

    auto NewPage = [this](const char* Name) {
        auto* Page = new QWidget(PageControl1);
        Page->setObjectName(QLatin1String(Name));
        return Page;
    };
    TabSheet1 = NewPage("TabSheet1");
    TabSheet2 = NewPage("TabSheet2");
    TabSheet3 = NewPage("TabSheet3");
    TabSheet4 = NewPage("TabSheet4");
    TabSheet5 = NewPage("TabSheet5");
    TabSheet8 = NewPage("TabSheet8");
    TabSheet6 = NewPage("TabSheet6");
    TabSheet7 = NewPage("TabSheet7");

    BuildBasicPage(this);
    BuildSectorPage(this);
    BuildBlockPage(this);
    BuildDownPage(this);
    BuildChangePage(this);
    BuildOthersPage(this);
    BuildSettingPage(this);
    BuildAboutPage(this);

    PageControl1->addTab(TabSheet1, QStringLiteral("Basic"));
    PageControl1->addTab(TabSheet2, QStringLiteral("Sector"));
    PageControl1->addTab(TabSheet3, QStringLiteral("Block"));
    PageControl1->addTab(TabSheet4, QStringLiteral("DownPS"));
    PageControl1->addTab(TabSheet5, QStringLiteral("ChangePS"));
    PageControl1->addTab(TabSheet8, QStringLiteral("Others"));
    PageControl1->addTab(TabSheet6, QStringLiteral("Setting"));
    PageControl1->addTab(TabSheet7, QStringLiteral("About"));
    PageControl1->setCurrentWidget(TabSheet8);

    // ------------------------------------------------------------- message log
    MmoMsg = new QPlainTextEdit(Client);
    MmoMsg->setObjectName(QStringLiteral("MmoMsg"));
    MmoMsg->setReadOnly(false);
    MmoMsg->setLineWrapMode(QPlainTextEdit::NoWrap);
    MmoMsg->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    MmoMsg->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    ClientLayout->addWidget(MmoMsg, 1);

    PopupMenu1 = new QMenu(MmoMsg);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    PopupMenu1->setFont(FormFont);
    C1 = PopupMenu1->addAction(QStringLiteral("Clear(&C)"));
    C1->setObjectName(QStringLiteral("C1"));
    C1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Delete));
    // The shortcut belongs to the log's own menu: it acts only while the log
    // has the keyboard focus.
    C1->setShortcutContext(Qt::WidgetShortcut);
    MmoMsg->addAction(C1);
    MmoMsg->setContextMenuPolicy(Qt::CustomContextMenu);

    // -------------------------------------------------------------- status bar
    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName(QStringLiteral("StatusBar"));
    StatusBar->setSizeGripEnabled(false);
    StatusBar->setFixedHeight(StatusHeight);
    StatusBar->setContentsMargins(0, 0, 0, 0);
    // Panel 1 is a little wider than 50: "Un-Linked" needs 54 pixels.
    const std::array<int, 3> PanelWidths{250, 60, 50};
    const std::array<Qt::Alignment, 3> PanelAlignments{
        Qt::AlignLeft | Qt::AlignVCenter, Qt::AlignCenter, Qt::AlignLeft | Qt::AlignVCenter};
    for (size_t I = 0; I < StatusPanels.size(); ++I) {
        auto* Panel = new QLabel(StatusBar);
        Panel->setObjectName(QStringLiteral("StatusPanel%1").arg(I));
        Panel->setFixedWidth(PanelWidths[I]);
        Panel->setAlignment(PanelAlignments[I]);
        Panel->setFrameShape(QFrame::Panel);
        Panel->setFrameShadow(QFrame::Sunken);
        StatusBar->addWidget(Panel);
        StatusPanels[I] = Panel;
    }
    StatusPanels[1]->setText(QStringLiteral("Un-Link"));
    setStatusBar(StatusBar);

    setFixedSize(ClientWidth, ClientHeight);
    if (const QScreen* Screen = QGuiApplication::primaryScreen()) {
        const QRect Area = Screen->availableGeometry();
        move(Area.center() - QPoint(ClientWidth / 2, ClientHeight / 2));
    }

    // ------------------------------------------------------- handlers, last,
    // so that setting the defaults above ran none of them.
    ConnectHandlers(this);
}

namespace {

void BuildBasicPage(TMainForm* F)
{
    QFrame* Bevel = NewBevel(F->TabSheet1, "Bevel1");
    auto* Layout = new QHBoxLayout(Bevel);
    Layout->setContentsMargins(16, 16, 16, 16);
    Layout->setSpacing(24);

    auto* Boxes = new QGridLayout;
    Boxes->setVerticalSpacing(12);
    Boxes->setHorizontalSpacing(8);
    F->EdtCardType = NewEdit("EdtCardType", 0, Bevel);
    F->EdtCardType->setReadOnly(true);
    F->EdtSN = NewEdit("EdtSN", 0, Bevel);
    F->EdtSN->setReadOnly(true);
    F->EdtCardType->setFixedWidth(200);
    F->EdtSN->setFixedWidth(200);
    Boxes->addWidget(NewLabel(QStringLiteral("CardType"), Bevel), 0, 0);
    Boxes->addWidget(F->EdtCardType, 0, 1);
    Boxes->addWidget(NewLabel(QStringLiteral("SN"), Bevel), 1, 0);
    Boxes->addWidget(F->EdtSN, 1, 1);
    Boxes->setRowStretch(2, 1);
    Layout->addLayout(Boxes);
    Layout->addStretch(1);

    auto* Buttons = new QVBoxLayout;
    Buttons->setSpacing(10);
    F->Button9 = NewButton("Button9", QStringLiteral("Search card"), Bevel);
    F->Button10 = NewButton("Button10", QStringLiteral("Anticollision "), Bevel);
    F->Button11 = NewButton("Button11", QStringLiteral("Select card"), Bevel);
    F->Button12 = NewButton("Button12", QStringLiteral("Stop card"), Bevel);
    for (QPushButton* Button : {F->Button9, F->Button10, F->Button11, F->Button12}) {
        Button->setFixedWidth(110);
        Buttons->addWidget(Button);
    }
    Buttons->addStretch(1);
    Layout->addLayout(Buttons);
}

// The top of the "Sector", "Block" and "ChangePS" pages: the radio grid at the
// left and the key source (label, list, then the typed key below) at the right.
// Returns the right-hand column so a page can add rows under the key edit.
QGridLayout* NewSelectorTop(QVBoxLayout* PageLayout, QWidget* Grid, const QString& KeyCaption,
    QComboBox* KeyList, QLineEdit* KeyEdit, QWidget* Bevel)
{
    auto* Top = new QHBoxLayout;
    Top->setSpacing(8);
    Top->addWidget(Grid, 0, Qt::AlignTop);
    Top->addStretch(1);
    auto* Keys = new QGridLayout;
    Keys->setHorizontalSpacing(6);
    Keys->setVerticalSpacing(4);
    KeyList->setFixedWidth(130);
    KeyEdit->setFixedWidth(130);
    Keys->addWidget(NewLabel(KeyCaption, Bevel), 0, 0, Qt::AlignRight);
    Keys->addWidget(KeyList, 0, 1);
    Keys->addWidget(KeyEdit, 1, 1);
    Top->addLayout(Keys);
    PageLayout->addLayout(Top);
    return Keys;
}

// The column of the "Sector" and "Block" pages: selector top, then the rows.
QVBoxLayout* NewBlockPageColumn(QFrame* Bevel)
{
    auto* Layout = new QVBoxLayout(Bevel);
    Layout->setContentsMargins(4, 4, 4, 2);
    Layout->setSpacing(2);
    return Layout;
}

// The grid of a sector's group box, one row a block.
QGridLayout* NewBlockRows(QGroupBox* Box)
{
    auto* Rows = new QGridLayout(Box);
    Rows->setContentsMargins(6, 2, 6, 4);
    Rows->setHorizontalSpacing(4);
    Rows->setVerticalSpacing(2);
    return Rows;
}

// One row of a sector's group box: "Blk<n>", the block's data edit, then its buttons.
void AddBlockRow(QGridLayout* Rows, int Row, QLineEdit* Data, std::initializer_list<QPushButton*> Buttons,
    QWidget* Box)
{
    Rows->addWidget(NewLabel(QStringLiteral("Blk%1").arg(Row), Box), Row, 0);
    Data->setMinimumWidth(204);
    Rows->addWidget(Data, Row, 1);
    int Column = 2;
    for (QPushButton* Button : Buttons)
        Rows->addWidget(Button, Row, Column++);
}

void BuildSectorPage(TMainForm* F)
{
    QFrame* Bevel = NewBevel(F->TabSheet2, "Bevel2");
    QVBoxLayout* Layout = NewBlockPageColumn(Bevel);

    QWidget* Grid = NewSectorGrid(Bevel, SectorRadioNames, F->SectorRadios);
    F->CmbKeyTypeRW = NewList("CmbKeyTypeRW", KeySourceItems, -1, Bevel);
    F->EdtInKeyRW = NewEdit("EdtInKeyRW", 12, Bevel);
    NewSelectorTop(Layout, Grid, QStringLiteral("PassWord："), F->CmbKeyTypeRW, F->EdtInKeyRW, Bevel);

    F->GbSec1 = NewSectorBox("GbSec1", Bevel);
    QGridLayout* Rows = NewBlockRows(F->GbSec1);
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
    for (QPushButton* Button : {F->Button1, F->Button7, F->Button5, F->Button3, F->BtnWriteBlock0, F->Button6,
             F->Button4, F->Button8})
        Button->setFixedWidth(48);
    for (QPushButton* Button : {F->Button13, F->Button14, F->Button15, F->Button16})
        Button->setFixedWidth(72);
    AddBlockRow(Rows, 0, F->EdtHex0, {F->Button1, F->BtnWriteBlock0, F->Button13}, F->GbSec1);
    AddBlockRow(Rows, 1, F->EdtHex1, {F->Button7, F->Button6, F->Button14}, F->GbSec1);
    AddBlockRow(Rows, 2, F->EdtHex2, {F->Button5, F->Button4, F->Button15}, F->GbSec1);
    AddBlockRow(Rows, 3, F->EdtHex3, {F->Button3, F->Button8, F->Button16}, F->GbSec1);
    Layout->addWidget(F->GbSec1, 1);
}

void BuildBlockPage(TMainForm* F)
{
    QFrame* Bevel = NewBevel(F->TabSheet3, "Bevel3");
    QVBoxLayout* Layout = NewBlockPageColumn(Bevel);

    QWidget* Grid = NewSectorGrid(Bevel, BlockRadioNames, F->BlockRadios);
    F->CmbKeyTypeBlock = NewList("CmbKeyTypeBlock", KeySourceItems, -1, Bevel);
    F->EdtInKeyBlock = NewEdit("EdtInKeyBlock", 12, Bevel);
    QGridLayout* Keys = NewSelectorTop(Layout, Grid, QStringLiteral("Password："), F->CmbKeyTypeBlock, F->EdtInKeyBlock, Bevel);
    F->EdtBlockData = NewEdit("EdtBlockData", 8, Bevel);
    F->EdtBlockData->setFixedWidth(130);
    Keys->addWidget(NewLabel(QStringLiteral("BlkValue："), Bevel), 2, 0, Qt::AlignRight);
    Keys->addWidget(F->EdtBlockData, 2, 1);

    F->GbSec2 = NewSectorBox("GbSec2", Bevel);
    QGridLayout* Rows = NewBlockRows(F->GbSec2);
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
    for (QPushButton* Button : {F->Button18, F->Button24, F->Button22, F->Button20, F->Button19, F->Button23, F->Button21, F->Button17,
             F->Button25, F->Button26, F->Button27, F->Button28})
        Button->setFixedWidth(40);
    for (QPushButton* Button : {F->Button29, F->Button30, F->Button31, F->Button32})
        Button->setFixedWidth(52);
    AddBlockRow(Rows, 0, F->EdtBlock0, {F->Button18, F->Button19, F->Button25, F->Button29}, F->GbSec2);
    AddBlockRow(Rows, 1, F->EdtBlock1, {F->Button24, F->Button23, F->Button26, F->Button30}, F->GbSec2);
    AddBlockRow(Rows, 2, F->EdtBlock2, {F->Button22, F->Button21, F->Button27, F->Button31}, F->GbSec2);
    AddBlockRow(Rows, 3, F->EdtBlock3, {F->Button20, F->Button17, F->Button28, F->Button32}, F->GbSec2);
    Layout->addWidget(F->GbSec2, 1);
}

void BuildDownPage(TMainForm* F)
{
    QFrame* Bevel = NewBevel(F->TabSheet4, "Bevel4");
    auto* Layout = new QHBoxLayout(Bevel);
    Layout->setContentsMargins(8, 4, 8, 4);
    Layout->setSpacing(12);

    auto* Keys = new QGridLayout;
    Keys->setHorizontalSpacing(4);
    Keys->setVerticalSpacing(2);
    for (int Sector = 0; Sector < 16; ++Sector) {
        auto* Check = new QCheckBox(QStringLiteral("S%1").arg(Sector), Bevel);
        Check->setObjectName(QStringLiteral("Ck%1").arg(Sector));
        Check->setChecked(true);
        Check->setFixedHeight(RowHeight);
        QLineEdit* KeyEdit = NewEdit("", 12, Bevel);
        KeyEdit->setObjectName(QStringLiteral("EdtKey%1").arg(Sector));
        KeyEdit->setFixedWidth(96);
        const int Column = (Sector / 8) * 3;
        Keys->addWidget(Check, Sector % 8, Column);
        Keys->addWidget(KeyEdit, Sector % 8, Column + 1);
        F->Ck[size_t(Sector)] = Check;
        F->EdtKey[size_t(Sector)] = KeyEdit;
    }
    Keys->setColumnMinimumWidth(2, 12);
    // Tab along each row, check box then key, in sector order.
    for (size_t Sector = 0; Sector < 16; ++Sector) {
        if (Sector > 0)
            QWidget::setTabOrder(F->EdtKey[Sector - 1], F->Ck[Sector]);
        QWidget::setTabOrder(F->Ck[Sector], F->EdtKey[Sector]);
    }
    Layout->addLayout(Keys);
    Layout->addStretch(1);

    auto* Right = new QVBoxLayout;
    Right->setSpacing(4);
    F->CmbDownKeyType = NewList("CmbDownKeyType", {QStringLiteral("KEYA"), QStringLiteral("KEYB")}, 0, Bevel);
    F->CmbDownKeyType->setFixedWidth(90);
    F->BtnDownKeys = NewButton("BtnDownKeys", QStringLiteral("DownLoad"), Bevel);
    F->BtnDownKeys->setFixedWidth(90);
    Right->addSpacing(8);
    Right->addWidget(NewLabel(QStringLiteral("DownType"), Bevel));
    Right->addWidget(F->CmbDownKeyType);
    Right->addStretch(1);
    Right->addWidget(F->BtnDownKeys);
    Right->addSpacing(16);
    Layout->addLayout(Right);
}

void BuildChangePage(TMainForm* F)
{
    QFrame* Bevel = NewBevel(F->TabSheet5, "Bevel5");
    auto* Layout = new QVBoxLayout(Bevel);
    Layout->setContentsMargins(4, 4, 4, 2);
    Layout->setSpacing(2);

    QWidget* Grid = NewSectorGrid(Bevel, ChangeRadioNames, F->ChangeRadios);
    F->CmbKeyTypeEdit = NewList("CmbKeyTypeEdit", KeySourceItems, -1, Bevel);
    F->EdtInKeyEdit = NewEdit("EdtInKeyEdit", 12, Bevel);
    NewSelectorTop(Layout, Grid, QStringLiteral("By PS："), F->CmbKeyTypeEdit, F->EdtInKeyEdit, Bevel);

    auto* Bottom = new QHBoxLayout;
    Bottom->setSpacing(8);
    F->GbSec3 = NewSectorBox("GbSec3", Bevel);
    auto* Rows = new QGridLayout(F->GbSec3);
    Rows->setContentsMargins(6, 2, 6, 4);
    Rows->setHorizontalSpacing(6);
    Rows->setVerticalSpacing(2);
    F->EdtKeyA = NewEdit("EdtKeyA", 12, F->GbSec3);
    F->EdtKeyB = NewEdit("EdtKeyB", 12, F->GbSec3);
    F->EdtKeyC = NewEdit("EdtKeyC", 8, F->GbSec3);
    F->EdtKeyA->setFixedWidth(110);
    F->EdtKeyB->setFixedWidth(110);
    F->EdtKeyC->setFixedWidth(110);
    Rows->addWidget(NewLabel(QStringLiteral("KEYA"), F->GbSec3), 0, 0);
    Rows->addWidget(F->EdtKeyA, 0, 1);
    Rows->addWidget(NewLabel(QStringLiteral("KEYB"), F->GbSec3), 1, 0);
    Rows->addWidget(F->EdtKeyB, 1, 1);
    Rows->addWidget(NewLabel(QStringLiteral("CtrlBit"), F->GbSec3), 2, 0);
    Rows->addWidget(F->EdtKeyC, 2, 1);
    Bottom->addWidget(F->GbSec3);
    Bottom->addStretch(1);
    F->BtnChangeKey = NewButton("BtnChangeKey", QStringLiteral("Modify"), Bevel);
    F->BtnChangeKey->setFixedWidth(90);
    Bottom->addWidget(F->BtnChangeKey, 0, Qt::AlignBottom);
    Bottom->addSpacing(16);
    Layout->addLayout(Bottom, 1);
}

void BuildOthersPage(TMainForm* F)
{
    QFrame* Bevel = NewBevel(F->TabSheet8, "Bevel8");
    auto* Layout = new QVBoxLayout(Bevel);
    Layout->setContentsMargins(4, 6, 4, 4);
    Layout->setSpacing(4);

    auto* Top = new QHBoxLayout;
    Top->setSpacing(6);
    F->CmbTestKeyType = NewList("CmbTestKeyType", {QStringLiteral("By KeyA"), QStringLiteral("By KEYB")}, 0, Bevel);
    F->CmbTestKeyType->setFixedWidth(100);
    F->EdtBlock = new TSpinEdit(Bevel);
    F->EdtBlock->setObjectName(QStringLiteral("EdtBlock"));
    F->EdtBlock->setRange(1, 63);
    F->EdtBlock->setValue(1);
    F->EdtBlock->setFixedSize(60, RowHeight);
    Top->addWidget(NewLabel(QStringLiteral("By P.S."), Bevel));
    Top->addWidget(F->CmbTestKeyType);
    Top->addSpacing(24);
    Top->addWidget(NewLabel(QStringLiteral("Blk addr："), Bevel));
    Top->addWidget(F->EdtBlock);
    Top->addStretch(1);
    Layout->addLayout(Top);

    auto NewLoopGroup = [Bevel](const QString& Caption, QPushButton* Start, QPushButton* Stop) {
        auto* Group = new QGroupBox(Caption, Bevel);
        auto* Buttons = new QHBoxLayout(Group);
        Buttons->setContentsMargins(10, 2, 10, 6);
        Buttons->setSpacing(16);
        Start->setParent(Group);
        Stop->setParent(Group);
        Start->setFixedWidth(80);
        Stop->setFixedWidth(80);
        Buttons->addWidget(Start);
        Buttons->addWidget(Stop);
        Buttons->addStretch(1);
        return Group;
    };
    F->BtnStartRead = NewButton("BtnStartRead", QStringLiteral("Start"), Bevel);
    F->BtnStopRead = NewButton("BtnStopRead", QStringLiteral("Stop"), Bevel, false);
    F->BtnStartWrite = NewButton("BtnStartWrite", QStringLiteral("Start"), Bevel);
    F->BtnStopWrite = NewButton("BtnStopWrite", QStringLiteral("Stop"), Bevel, false);
    auto* Loops = new QHBoxLayout;
    Loops->setSpacing(8);
    Loops->addWidget(NewLoopGroup(QStringLiteral("Loop Read："), F->BtnStartRead, F->BtnStopRead));
    Loops->addWidget(NewLoopGroup(QStringLiteral("Loop Write："), F->BtnStartWrite, F->BtnStopWrite));
    Layout->addLayout(Loops);

    // Three rows of three counters. The widths hold the longest text each
    // label shows during a run ("verification error：0000000", "read data："
    // and 32 hex digits, ...), so the columns are set per row.
    auto* Info = new QGroupBox(QStringLiteral("Infomation："), Bevel);
    Info->setObjectName(QStringLiteral("GbInformation"));
    auto* InfoRows = new QVBoxLayout(Info);
    InfoRows->setContentsMargins(4, 2, 2, 4);
    InfoRows->setSpacing(2);
    auto NewCounter = [Info](const char* Name, const QString& Caption, int Width, bool Red) {
        auto* Label = new QLabel(Caption, Info);
        Label->setObjectName(QLatin1String(Name));
        Label->setFixedSize(Width, 18);
        if (Red) {
            QPalette Colours = Label->palette();
            Colours.setColor(QPalette::WindowText, QColor(255, 0, 0));
            Label->setPalette(Colours);
        }
        return Label;
    };
    F->LbQuerySum = NewCounter("LbQuerySum", QStringLiteral("Search："), 124, false);
    F->LbTimeSum = NewCounter("LbTimeSum", QStringLiteral("Time："), 116, false);
    F->LbCheckErrSum = NewCounter("LbCheckErrSum", QStringLiteral("Verify err："), 168, true);
    F->LbReadSum = NewCounter("LbReadSum", QStringLiteral("read："), 88, false);
    F->LbReadErrSum = NewCounter("LbReadErrSum", QStringLiteral("Err："), 88, true);
    F->LbReadHex = NewCounter("LbReadHex", QStringLiteral("read data："), 268, false);
    F->LbWriteSum = NewCounter("LbWriteSum", QStringLiteral("write："), 88, false);
    F->LbWriteErrSum = NewCounter("LbWriteErrSum", QStringLiteral("Err："), 88, true);
    F->LbWriteHex = NewCounter("LbWriteHex", QStringLiteral("wrote data："), 268, false);
    for (const auto& Row : {std::array<QLabel*, 3>{F->LbQuerySum, F->LbTimeSum, F->LbCheckErrSum},
             std::array<QLabel*, 3>{F->LbReadSum, F->LbReadErrSum, F->LbReadHex},
             std::array<QLabel*, 3>{F->LbWriteSum, F->LbWriteErrSum, F->LbWriteHex}}) {
        auto* Line = new QHBoxLayout;
        Line->setSpacing(4);
        for (QLabel* Label : Row)
            Line->addWidget(Label);
        Line->addStretch(1);
        InfoRows->addLayout(Line);
    }
    Layout->addWidget(Info);
    Layout->addStretch(1);
}

void BuildSettingPage(TMainForm* F)
{
    QFrame* Bevel = NewBevel(F->TabSheet6, "Bevel6");
    auto* Layout = new QVBoxLayout(Bevel);
    Layout->setContentsMargins(10, 6, 10, 6);
    Layout->setSpacing(6);

    F->RgQueryType = new TRadioGroup(QStringLiteral("Search Card by："),
        {QStringLiteral("Idel card"), QStringLiteral("All cards")}, 2, Bevel);
    F->RgQueryType->setObjectName(QStringLiteral("RgQueryType"));
    F->RgQueryType->SetItemIndex(0);
    F->RgQueryType->setFixedWidth(260);
    F->ChkBeep = new QCheckBox(QStringLiteral("buzzer sounds after operation"), Bevel);
    F->ChkBeep->setObjectName(QStringLiteral("ChkBeep"));
    F->ChkBeep->setChecked(true);
    F->RgPort = new TRadioGroup(QStringLiteral("Port："),
        {QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"), QStringLiteral("COM4")}, 4, Bevel);
    F->RgPort->setObjectName(QStringLiteral("RgPort"));
    F->RgPort->SetItemIndex(0);
    F->RgPort->setFixedWidth(260);
    F->EdtMS = new TSpinEdit(Bevel);
    F->EdtMS->setObjectName(QStringLiteral("EdtMS"));
    F->EdtMS->setRange(100, 30000);
    F->EdtMS->setValue(500);
    F->EdtMS->setFixedSize(80, RowHeight);

    Layout->addWidget(F->RgQueryType);
    Layout->addWidget(F->ChkBeep);
    Layout->addWidget(F->RgPort);
    auto* TimeOut = new QHBoxLayout;
    TimeOut->setSpacing(6);
    TimeOut->addWidget(NewLabel(QStringLiteral("OverTime："), Bevel));
    TimeOut->addWidget(F->EdtMS);
    TimeOut->addWidget(NewLabel(QStringLiteral("(ms)"), Bevel));
    TimeOut->addStretch(1);
    Layout->addLayout(TimeOut);
    Layout->addStretch(1);
}

void BuildAboutPage(TMainForm* F)
{
    QFrame* Bevel = NewBevel(F->TabSheet7, "Bevel7");
    auto* Layout = new QVBoxLayout(Bevel);
    Layout->setContentsMargins(10, 24, 10, 24);
    Layout->setSpacing(6);

    auto* Title = new QLabel(QStringLiteral("Orvelle"), Bevel);
    Title->setObjectName(QStringLiteral("LbTitle"));
    QFont TitleFont = F->font();
    TitleFont.setBold(true);
    TitleFont.setPixelSize(16);
    Title->setFont(TitleFont);
    auto* Version = new QLabel(QStringLiteral("V1.2"), Bevel);
    Version->setObjectName(QStringLiteral("LbVersion"));

    // The labels belong to the form (they open links on its behalf) and are
    // then placed on the page.
    QFont LinkFont;
    LinkFont.setFamilies({QStringLiteral("MS Sans Serif")});
    LinkFont.setPixelSize(12);
    F->HyperLink1 = new THyperLink(F);
    F->HyperLink1->setObjectName(QStringLiteral("HyperLink1"));
    F->HyperLink1->URL = QStringLiteral("https://orvelle.example/");
    F->HyperLink1->setText(QStringLiteral("https://orvelle.example/"));
    F->HyperLink2 = new THyperLink(F);
    F->HyperLink2->setObjectName(QStringLiteral("HyperLink2"));
    F->HyperLink2->URL = QStringLiteral("mailto:support@orvelle.example");
    F->HyperLink2->setText(QStringLiteral("support@orvelle.example"));
    for (THyperLink* Link : {F->HyperLink1, F->HyperLink2}) {
        Link->setFont(LinkFont);
        Link->setParent(Bevel);
    }

    Layout->addWidget(Title, 0, Qt::AlignHCenter);
    Layout->addWidget(Version, 0, Qt::AlignHCenter);
    Layout->addStretch(1);
    Layout->addWidget(F->HyperLink1, 0, Qt::AlignHCenter);
    Layout->addWidget(F->HyperLink2, 0, Qt::AlignHCenter);
    Layout->addStretch(1);
}

void ConnectHandlers(TMainForm* F)
{
    // Sector selectors: a handler runs only when a button becomes the checked one.
    auto Wire = [F](const std::array<QRadioButton*, 16>& Radios, void (TMainForm::*Handler)(QObject*)) {
        for (QRadioButton* Radio : Radios)
            QObject::connect(Radio, &QRadioButton::toggled, F, [F, Radio, Handler](bool Checked) {
                if (Checked)
                    (F->*Handler)(Radio);
            });
    };
    Wire(F->SectorRadios, &TMainForm::Rd0Click);
    Wire(F->BlockRadios, &TMainForm::RdIncClick);
    Wire(F->ChangeRadios, &TMainForm::RbCardSecorClick);

    auto* Events = new TFormEvents(F);
    F->installEventFilter(Events);
    F->TabSheet5->installEventFilter(Events);
    F->TabSheet6->installEventFilter(Events);
    F->TabSheet7->installEventFilter(Events);

    QObject::connect(F->C1, &QAction::triggered, F, [F] { F->C1Click(); });
    QObject::connect(F->MmoMsg, &QWidget::customContextMenuRequested, F,
        [F](const QPoint& At) { F->PopupMenu1->popup(F->MmoMsg->viewport()->mapToGlobal(At)); });
    QObject::connect(F->PageControl1, &QTabWidget::currentChanged, F, [F] { F->PageControl1Change(); });

    auto Click = [F](QPushButton* Button, void (TMainForm::*Handler)()) {
        QObject::connect(Button, &QPushButton::clicked, F, [F, Handler] { (F->*Handler)(); });
    };
    Click(F->Button9, &TMainForm::Button9Click);
    Click(F->Button10, &TMainForm::Button10Click);
    Click(F->Button11, &TMainForm::Button11Click);
    Click(F->Button12, &TMainForm::Button12Click);

    Click(F->Button1, &TMainForm::Button1Click);
    Click(F->Button7, &TMainForm::Button7Click);
    Click(F->Button5, &TMainForm::Button5Click);
    Click(F->Button3, &TMainForm::Button3Click);
    Click(F->BtnWriteBlock0, &TMainForm::BtnWriteBlock0Click);
    Click(F->Button6, &TMainForm::Button6Click);
    Click(F->Button4, &TMainForm::Button4Click);
    Click(F->Button8, &TMainForm::Button8Click);
    Click(F->Button13, &TMainForm::Button13Click);
    Click(F->Button14, &TMainForm::Button14Click);
    Click(F->Button15, &TMainForm::Button15Click);
    Click(F->Button16, &TMainForm::Button16Click);

    Click(F->Button18, &TMainForm::Button18Click);
    Click(F->Button24, &TMainForm::Button24Click);
    Click(F->Button22, &TMainForm::Button22Click);
    Click(F->Button20, &TMainForm::Button20Click);
    Click(F->Button19, &TMainForm::Button19Click);
    Click(F->Button23, &TMainForm::Button23Click);
    Click(F->Button21, &TMainForm::Button21Click);
    Click(F->Button17, &TMainForm::Button17Click);
    Click(F->Button25, &TMainForm::Button25Click);
    Click(F->Button26, &TMainForm::Button26Click);
    Click(F->Button27, &TMainForm::Button27Click);
    Click(F->Button28, &TMainForm::Button28Click);
    Click(F->Button29, &TMainForm::Button29Click);
    Click(F->Button30, &TMainForm::Button30Click);
    Click(F->Button31, &TMainForm::Button31Click);
    Click(F->Button32, &TMainForm::Button32Click);

    Click(F->BtnDownKeys, &TMainForm::BtnDownKeysClick);
    Click(F->BtnChangeKey, &TMainForm::BtnChangeKeyClick);

    Click(F->BtnStartRead, &TMainForm::BtnStartReadClick);
    Click(F->BtnStartWrite, &TMainForm::BtnStartWriteClick);
    Click(F->BtnStopRead, &TMainForm::BtnStopReadClick);
    Click(F->BtnStopWrite, &TMainForm::BtnStopReadClick);
    QObject::connect(F->CmbTestKeyType, &QComboBox::currentIndexChanged, F, [F] { F->CmbTestKeyTypeChange(); });
    QObject::connect(F->EdtBlock, &QSpinBox::textChanged, F, [F] { F->EdtBlockChange(); });

    QObject::connect(F->ChkBeep, &QCheckBox::clicked, F, [F] { F->ChkBeepClick(); });
    QObject::connect(F->EdtMS, &TSpinEdit::TextChanged, F, [F] { F->EdtMSChange(); });
    QObject::connect(F->RgQueryType, &TRadioGroup::Click, F, [F] { F->RgQueryTypeClick(); });
    QObject::connect(F->RgPort, &TRadioGroup::Click, F, [F] { F->RgPortClick(); });
}

} // namespace

void TMainForm::Rd0Click(QObject* Sender)
{
    const int Sector = Tag(Sender);
    GbSec1->setTitle(QStringLiteral("Sector%1").arg(Sector));
    SetTag(GbSec1, Sector);
}

void TMainForm::RdIncClick(QObject* Sender)
{
    const int Sector = Tag(Sender);
    GbSec2->setTitle(QStringLiteral("Sector%1").arg(Sector));
    SetTag(GbSec2, Sector);
}

void TMainForm::RbCardSecorClick(QObject* Sender)
{
    const int Sector = Tag(Sender);
    GbSec3->setTitle(QStringLiteral("Sector%1").arg(Sector));
    SetTag(GbSec3, Sector);
}

void TMainForm::C1Click() { MmoMsg->clear(); }

void TMainForm::DisplayHint(const QString& Hint)
{
    // A hint is "short|long"; the status bar shows the long part.
    const qsizetype Bar = Hint.indexOf(QLatin1Char('|'));
    StatusPanels[0]->setText(Bar < 0 ? Hint : Hint.mid(Bar + 1));
}

void TMainForm::PageControl1Change() { }
void TMainForm::TabSheet5ContextPopup() { }
void TMainForm::TabSheet6ContextPopup() { }
void TMainForm::TabSheet7ContextPopup() { }

void TMainForm::Log(const QString& Line)
{
    if (MmoMsg)
        MmoMsg->appendPlainText(Line);
}

void TMainForm::MessageBox(const QString& Text, const QString& Caption, int Flags)
{
    if (MessageBoxHandler) {
        MessageBoxHandler(Text, Caption, Flags);
        return;
    }
    QMessageBox::information(this, Caption, Text);
}

int TMainForm::Tag(const QObject* Control) { return Control->property("Tag").toInt(); }
void TMainForm::SetTag(QObject* Control, int Value) { Control->setProperty("Tag", Value); }
