// The real main window on the offscreen platform: its inventory of controls
// with their captions, limits and defaults, the sector selectors, the log's
// clear command, the hint panel and the wiring of the settings controls.
// Every COM port maps to a device that does not exist, so no real serial port
// is touched; the window's message boxes go to a recorder.
#include "app/MainForm.h"
#include "app/Version.h"
#include "reader/ReaderLink.h"
#include "support/FormFixture.h"
#include "support/PrivateHome.h"
#include "widgets/HyperLink.h"
#include "widgets/RadioGroup.h"
#include "widgets/SpinEdit.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

namespace {

const QString Colon = QStringLiteral("\uFF1A");
QString WithColon(const char* Text) { return QString::fromLatin1(Text) + Colon; }

struct TBox {
    QString Text;
    QString Caption;
    int Flags;
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Every COM port leads to a device that does not exist, and the
        // journal and the run reports go into the private home, never into
        // the state folder of whoever runs the suite.
        for (int N = 1; N <= 4; ++N)
            Home.Map(N, Home.StateFolder() + "/no-such-device");

        Form = std::make_unique<TMainForm>();
        Dialogs.OnBox = [this](const QString& Text, const QString& Caption, int Flags) {
            Boxes.push_back({Text, Caption, Flags});
        };
        Form->SetDialogs(&Dialogs);
    }

    void TearDown() override { Form.reset(); }

    // Shown and active, as the operator sees it; the first show tries COM1.
    void Show()
    {
        Form->show();
        Form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
    }

    template <class T>
    T* Find(const char* Name)
    {
        T* Found = Form->findChild<T*>(QLatin1String(Name));
        EXPECT_NE(Found, nullptr) << "no " << Name;
        return Found;
    }

    // The captions of the labels that stand on a page.
    QStringList LabelTexts(QWidget* Page) const
    {
        QStringList Texts;
        for (const QLabel* Label : Page->findChildren<QLabel*>())
            Texts << Label->text();
        return Texts;
    }

    TPrivateHome Home;
    TTestDialogs Dialogs;
    std::unique_ptr<TMainForm> Form;
    std::vector<TBox> Boxes;
};

// ------------------------------------------------------------------ inventory

TEST_F(WindowTest, FrameIsAFixedSizeWindowWithTabsLogAndStatusBar)
{
    Show();
    EXPECT_EQ(Form->windowTitle(), QStringLiteral("Orvelle"));
    EXPECT_EQ(Form->size(), QSize(492, 366));
    EXPECT_EQ(Form->minimumSize(), QSize(492, 366));
    EXPECT_EQ(Form->maximumSize(), QSize(492, 366));
    const Qt::WindowFlags Flags = Form->windowFlags();
    EXPECT_FALSE(Flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(Flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(Flags.testFlag(Qt::WindowSystemMenuHint));
    EXPECT_TRUE(Flags.testFlag(Qt::WindowCloseButtonHint));

    // Centred on the screen at its first show.
    const QPoint Centre = Form->screen()->availableGeometry().center();
    EXPECT_LE(std::abs(Form->geometry().center().x() - Centre.x()), 16);
    EXPECT_LE(std::abs(Form->geometry().center().y() - Centre.y()), 40);

    EXPECT_EQ(Ctl<QTabWidget>(*Form, "PageControl1")->height(), 236);
    EXPECT_EQ(Ctl<QPlainTextEdit>(*Form, "MmoMsg")->height(), 111);
    EXPECT_EQ(Ctl<QStatusBar>(*Form, "StatusBar")->height(), 19);
    EXPECT_EQ(Ctl<QPlainTextEdit>(*Form, "MmoMsg")->y(), Ctl<QTabWidget>(*Form, "PageControl1")->y() + 236);
    EXPECT_EQ(Ctl<QTabWidget>(*Form, "PageControl1")->width(), 492);

    // The font asked for shows the full-width colon.
    EXPECT_EQ(Form->font().pixelSize(), 12);
    EXPECT_TRUE(QFontMetrics(Form->font()).inFontUcs4(0xFF1A));
}

TEST_F(WindowTest, PagesInOrderOthersFirstAllTitlesReadable)
{
    const std::vector<std::pair<const char*, const char*>> Pages{{"TabSheet1", "Basic"}, {"TabSheet2", "Sector"},
        {"TabSheet3", "Block"}, {"TabSheet4", "DownPS"}, {"TabSheet5", "ChangePS"}, {"TabSheet8", "Others"},
        {"TabSheet6", "Setting"}, {"TabSheet7", "About"}, {"TabSheet9", "Card"}};
    Show();
    QTabWidget* Tabs = Ctl<QTabWidget>(*Form, "PageControl1");
    ASSERT_EQ(Tabs->count(), int(Pages.size()));
    for (int I = 0; I < Tabs->count(); ++I) {
        EXPECT_EQ(Tabs->widget(I)->objectName(), QLatin1String(Pages[size_t(I)].first));
        EXPECT_EQ(Tabs->tabText(I), QLatin1String(Pages[size_t(I)].second));
        // The whole title fits in its tab, and the tab within the bar.
        const QRect Tab = Tabs->tabBar()->tabRect(I);
        EXPECT_GE(Tab.width(), Tabs->tabBar()->fontMetrics().horizontalAdvance(Tabs->tabText(I)));
        EXPECT_LE(Tab.right(), Tabs->width()) << Pages[size_t(I)].second;
    }
    EXPECT_EQ(Tabs->currentWidget(), Ctl<QWidget>(*Form, "TabSheet8"));
    EXPECT_EQ(Tabs->currentWidget()->objectName(), QStringLiteral("TabSheet8"));
}

TEST_F(WindowTest, ButtonsCaptionsAndStates)
{
    struct TRow {
        const char* Name;
        const char* Page;
        QString Caption;
        bool Enabled;
    };
    const std::vector<TRow> Rows{
        {"Button9", "TabSheet1", "Search card", true},
        {"Button10", "TabSheet1", "Anticollision ", true},
        {"Button11", "TabSheet1", "Select card", true},
        {"Button12", "TabSheet1", "Stop card", true},
        {"Button1", "TabSheet2", "Read", true},
        {"Button7", "TabSheet2", "Read", true},
        {"Button5", "TabSheet2", "Read", true},
        {"Button3", "TabSheet2", "Read", true},
        {"BtnWriteBlock0", "TabSheet2", "Write", true},
        {"Button6", "TabSheet2", "Write", true},
        {"Button4", "TabSheet2", "Write", true},
        {"Button8", "TabSheet2", "Write", false},
        {"Button13", "TabSheet2", "Initialize", true},
        {"Button14", "TabSheet2", "Initialize", true},
        {"Button15", "TabSheet2", "Initialize", true},
        {"Button16", "TabSheet2", "Initialize", false},
        {"Button18", "TabSheet3", "Read", true},
        {"Button24", "TabSheet3", "Read", true},
        {"Button22", "TabSheet3", "Read", true},
        {"Button20", "TabSheet3", "Read", true},
        {"Button19", "TabSheet3", "Inc", true},
        {"Button23", "TabSheet3", "Inc", true},
        {"Button21", "TabSheet3", "Inc", true},
        {"Button17", "TabSheet3", "Inc", false},
        {"Button25", "TabSheet3", "Des", true},
        {"Button26", "TabSheet3", "Des", true},
        {"Button27", "TabSheet3", "Des", true},
        {"Button28", "TabSheet3", "Des", false},
        {"Button29", "TabSheet3", "Initial", true},
        {"Button30", "TabSheet3", "initial", true},
        {"Button31", "TabSheet3", "initial", true},
        {"Button32", "TabSheet3", "initial", false},
        {"BtnDownKeys", "TabSheet4", "DownLoad", true},
        {"BtnChangeKey", "TabSheet5", "Modify", true},
        {"BtnStartRead", "TabSheet8", "Start", true},
        {"BtnStopRead", "TabSheet8", "Stop", false},
        {"BtnStartWrite", "TabSheet8", "Start", true},
        {"BtnStopWrite", "TabSheet8", "Stop", false},
    };
    for (const TRow& Row : Rows) {
        SCOPED_TRACE(Row.Name);
        auto* Button = Find<QPushButton>(Row.Name);
        if (!Button)
            continue;
        EXPECT_EQ(Button->text(), Row.Caption);
        EXPECT_EQ(Button->isEnabled(), Row.Enabled);
        EXPECT_TRUE(Find<QWidget>(Row.Page)->isAncestorOf(Button));
    }
    // Row by row on "Sector": Read, Write, Initialize side by side, rows downwards.
    Show();
    Ctl<QTabWidget>(*Form, "PageControl1")->setCurrentWidget(Ctl<QWidget>(*Form, "TabSheet2"));
    EXPECT_EQ(Ctl<QPushButton>(*Form, "Button7")->y(), Ctl<QPushButton>(*Form, "Button6")->y());
    EXPECT_EQ(Ctl<QPushButton>(*Form, "Button7")->y(), Ctl<QPushButton>(*Form, "Button14")->y());
    EXPECT_LT(Ctl<QPushButton>(*Form, "Button7")->x(), Ctl<QPushButton>(*Form, "Button6")->x());
    EXPECT_LT(Ctl<QPushButton>(*Form, "Button6")->x(), Ctl<QPushButton>(*Form, "Button14")->x());
    EXPECT_LT(Ctl<QPushButton>(*Form, "Button1")->y(), Ctl<QPushButton>(*Form, "Button7")->y());
    EXPECT_LT(Ctl<QPushButton>(*Form, "Button5")->y(), Ctl<QPushButton>(*Form, "Button3")->y());
}

TEST_F(WindowTest, EditsListsAndChecksWithTheirLimitsAndDefaults)
{
    const std::vector<std::pair<const char*, int>> Edits{{"EdtInKeyRW", 12}, {"EdtHex0", 32}, {"EdtHex1", 32},
        {"EdtHex2", 32}, {"EdtHex3", 32}, {"EdtInKeyBlock", 12}, {"EdtBlockData", 8}, {"EdtBlock0", 32},
        {"EdtBlock1", 32}, {"EdtBlock2", 32}, {"EdtBlock3", 32}, {"EdtInKeyEdit", 12}, {"EdtKeyA", 12},
        {"EdtKeyB", 12}, {"EdtKeyC", 8}};
    for (const auto& [Name, Max] : Edits) {
        SCOPED_TRACE(Name);
        if (auto* Edit = Find<QLineEdit>(Name)) {
            EXPECT_EQ(Edit->maxLength(), Max);
            EXPECT_FALSE(Edit->isReadOnly());
            EXPECT_TRUE(Edit->text().isEmpty());
        }
    }
    EXPECT_TRUE(Find<QLineEdit>("EdtCardType")->isReadOnly());
    EXPECT_TRUE(Find<QLineEdit>("EdtSN")->isReadOnly());
    for (const char* Edit : {"EdtKeyA", "EdtKeyB", "EdtKeyC"})
        EXPECT_TRUE(Ctl<QGroupBox>(*Form, "GbSec3")->isAncestorOf(Find<QWidget>(Edit))) << Edit;
    EXPECT_TRUE(Ctl<QGroupBox>(*Form, "GbSec1")->isAncestorOf(Ctl<QLineEdit>(*Form, "EdtHex3")));
    EXPECT_TRUE(Ctl<QGroupBox>(*Form, "GbSec2")->isAncestorOf(Ctl<QLineEdit>(*Form, "EdtBlock3")));

    for (int Sector = 0; Sector < 16; ++Sector) {
        const std::string Check = "Ck" + std::to_string(Sector);
        const std::string Key = "EdtKey" + std::to_string(Sector);
        auto* Box = Find<QCheckBox>(Check.c_str());
        auto* Edit = Find<QLineEdit>(Key.c_str());
        ASSERT_TRUE(Box && Edit);
        EXPECT_EQ(Box->text(), QStringLiteral("S%1").arg(Sector));
        EXPECT_TRUE(Box->isChecked());
        EXPECT_EQ(Edit->maxLength(), 12);
    }

    const QStringList KeySources{QStringLiteral("By KEYA"), QStringLiteral("By KEYB"),
        QStringLiteral("By Input KEYA"), QStringLiteral("By Input KEYB")};
    const std::vector<std::tuple<const char*, QStringList, int>> Lists{
        {"CmbKeyTypeRW", KeySources, -1}, {"CmbKeyTypeBlock", KeySources, -1}, {"CmbKeyTypeEdit", KeySources, -1},
        {"CmbDownKeyType", {QStringLiteral("KEYA"), QStringLiteral("KEYB")}, 0},
        {"CmbTestKeyType", {QStringLiteral("By KeyA"), QStringLiteral("By KEYB")}, 0}};
    for (const auto& [Name, Items, Index] : Lists) {
        SCOPED_TRACE(Name);
        auto* List = Find<QComboBox>(Name);
        if (!List)
            continue;
        QStringList Shown;
        for (int I = 0; I < List->count(); ++I)
            Shown << List->itemText(I);
        EXPECT_EQ(Shown, Items);
        EXPECT_FALSE(List->isEditable()) << "a list accepts only its items";
        EXPECT_EQ(List->currentIndex(), Index);
        EXPECT_EQ(List->currentText(), Index < 0 ? QString() : Items.at(Index));
    }
}

TEST_F(WindowTest, OthersAndSettingControls)
{
    const std::vector<std::tuple<const char*, int, int, int>> Spins{{"EdtBlock", 1, 63, 1}, {"EdtMS", 100, 30000, 500}};
    for (const auto& [Name, Min, Max, Value] : Spins) {
        SCOPED_TRACE(Name);
        auto* Spin = Find<TSpinEdit>(Name);
        ASSERT_NE(Spin, nullptr);
        EXPECT_EQ(Spin->minimum(), Min);
        EXPECT_EQ(Spin->maximum(), Max);
        EXPECT_EQ(Spin->Value(), Value);
    }

    auto Items = [](const TRadioGroup* Group) {
        QStringList Texts;
        for (int I = 0; I < Group->Count(); ++I)
            Texts << Group->Button(I)->text();
        return Texts;
    };
    auto* Query = Find<TRadioGroup>("RgQueryType");
    auto* Port = Find<TRadioGroup>("RgPort");
    ASSERT_TRUE(Query && Port);
    EXPECT_EQ(Query->title(), WithColon("Search Card by"));
    EXPECT_EQ(Items(Query), QStringList({QStringLiteral("Idel card"), QStringLiteral("All cards")}));
    EXPECT_EQ(Query->ItemIndex(), 0);
    EXPECT_EQ(Port->title(), WithColon("Port"));
    EXPECT_EQ(Items(Port), QStringList({QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"), QStringLiteral("COM4")}));
    EXPECT_EQ(Port->ItemIndex(), 0);
    auto* Beep = Find<QCheckBox>("ChkBeep");
    EXPECT_EQ(Beep->text(), QStringLiteral("buzzer sounds after operation"));
    EXPECT_TRUE(Beep->isChecked());

    // Columns: two for the search mode, four for the port, all on one row.
    Show();
    Ctl<QTabWidget>(*Form, "PageControl1")->setCurrentWidget(Ctl<QWidget>(*Form, "TabSheet6"));
    EXPECT_EQ(Query->Button(0)->y(), Query->Button(1)->y());
    EXPECT_EQ(Port->Button(0)->y(), Port->Button(3)->y());
    EXPECT_LT(Port->Button(2)->x(), Port->Button(3)->x());

    QStringList Groups;
    for (const QGroupBox* Group : Ctl<QWidget>(*Form, "TabSheet8")->findChildren<QGroupBox*>())
        Groups << Group->title();
    EXPECT_TRUE(Groups.contains(WithColon("Loop Read")));
    EXPECT_TRUE(Groups.contains(WithColon("Loop Write")));
    EXPECT_TRUE(Groups.contains(WithColon("Infomation")));
}

TEST_F(WindowTest, LabelsOfEveryPage)
{
    const std::vector<std::pair<QWidget*, QStringList>> Pages{
        {Ctl<QWidget>(*Form, "TabSheet1"), {QStringLiteral("CardType"), QStringLiteral("SN")}},
        {Ctl<QWidget>(*Form, "TabSheet2"), {WithColon("PassWord"), QStringLiteral("Blk0"), QStringLiteral("Blk3")}},
        {Ctl<QWidget>(*Form, "TabSheet3"), {WithColon("Password"), WithColon("BlkValue"), QStringLiteral("Blk0"), QStringLiteral("Blk3")}},
        {Ctl<QWidget>(*Form, "TabSheet4"), {QStringLiteral("DownType")}},
        {Ctl<QWidget>(*Form, "TabSheet5"), {WithColon("By PS"), QStringLiteral("KEYA"), QStringLiteral("KEYB"), QStringLiteral("CtrlBit")}},
        {Ctl<QWidget>(*Form, "TabSheet8"), {QStringLiteral("By P.S."), WithColon("Blk addr")}},
        {Ctl<QWidget>(*Form, "TabSheet6"), {WithColon("OverTime"), QStringLiteral("(ms)")}},
        {Ctl<QWidget>(*Form, "TabSheet7"), {QStringLiteral("Orvelle"), QStringLiteral("V") + QLatin1String(OrvelleVersion)}},
    };
    for (const auto& [Page, Wanted] : Pages)
        for (const QString& Text : Wanted)
            EXPECT_TRUE(LabelTexts(Page).contains(Text)) << Page->objectName().toStdString() << ": "
                                                         << Text.toStdString();

    const QLabel* Title = nullptr;
    for (const QLabel* Label : Ctl<QWidget>(*Form, "TabSheet7")->findChildren<QLabel*>())
        if (Label->text() == QStringLiteral("Orvelle"))
            Title = Label;
    ASSERT_NE(Title, nullptr);
    EXPECT_TRUE(Title->font().bold());
    EXPECT_EQ(Title->font().pixelSize(), 16);
}

TEST_F(WindowTest, CounterLabelsHoldTheirLongestTexts)
{
    // Caption at start, the longest text a run writes, and whether it is red.
    const std::vector<std::tuple<const char*, QString, QString, bool>> Labels{
        {"LbQuerySum", WithColon("Search"), WithColon("search card") + "1000000", false},
        {"LbTimeSum", WithColon("Time"), WithColon("time") + "999:59:59", false},
        {"LbCheckErrSum", WithColon("Verify err"), WithColon("verification error") + "1000000", true},
        {"LbReadSum", WithColon("read"), WithColon("read") + "1000000", false},
        {"LbReadErrSum", WithColon("Err"), WithColon("error") + "1000000", true},
        {"LbReadHex", WithColon("read data"), WithColon("read data") + QString(32, QLatin1Char('F')), false},
        {"LbWriteSum", WithColon("write"), WithColon("wrote") + "1000000", false},
        {"LbWriteErrSum", WithColon("Err"), WithColon("error") + "1000000", true},
        {"LbWriteHex", WithColon("wrote data"), WithColon("wrote data") + QString(32, QLatin1Char('0')), false},
    };
    Show();
    Ctl<QTabWidget>(*Form, "PageControl1")->setCurrentWidget(Ctl<QWidget>(*Form, "TabSheet8"));
    QRect Group;
    for (const auto& [Name, Caption, Longest, Red] : Labels) {
        SCOPED_TRACE(Name);
        auto* Label = Find<QLabel>(Name);
        ASSERT_NE(Label, nullptr);
        EXPECT_EQ(Label->text(), Caption);
        EXPECT_EQ(Label->palette().color(QPalette::WindowText) == QColor(255, 0, 0), Red);
        EXPECT_EQ(Label->minimumWidth(), Label->maximumWidth()) << "fixed width";
        EXPECT_GE(Label->width(), Label->fontMetrics().horizontalAdvance(Longest));
        // Wholly inside the page, which is wholly inside the window.
        const QRect OnPage(Label->mapTo(Ctl<QWidget>(*Form, "TabSheet8"), QPoint(0, 0)), Label->size());
        EXPECT_TRUE(Ctl<QWidget>(*Form, "TabSheet8")->rect().contains(OnPage));
    }
    // Three rows of three, in reading order.
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbQuerySum")->y(), Ctl<QLabel>(*Form, "LbCheckErrSum")->y());
    EXPECT_LT(Ctl<QLabel>(*Form, "LbQuerySum")->x(), Ctl<QLabel>(*Form, "LbTimeSum")->x());
    EXPECT_LT(Ctl<QLabel>(*Form, "LbTimeSum")->x(), Ctl<QLabel>(*Form, "LbCheckErrSum")->x());
    EXPECT_LT(Ctl<QLabel>(*Form, "LbQuerySum")->y(), Ctl<QLabel>(*Form, "LbReadSum")->y());
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbReadSum")->y(), Ctl<QLabel>(*Form, "LbReadHex")->y());
    EXPECT_LT(Ctl<QLabel>(*Form, "LbReadSum")->y(), Ctl<QLabel>(*Form, "LbWriteSum")->y());
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbWriteSum")->y(), Ctl<QLabel>(*Form, "LbWriteHex")->y());
}

TEST_F(WindowTest, LogAndStatusBar)
{
    EXPECT_FALSE(Ctl<QPlainTextEdit>(*Form, "MmoMsg")->isReadOnly());
    EXPECT_EQ(Ctl<QPlainTextEdit>(*Form, "MmoMsg")->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(Ctl<QPlainTextEdit>(*Form, "MmoMsg")->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(Ctl<QPlainTextEdit>(*Form, "MmoMsg")->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    ASSERT_NE(Ctl<QMenu>(*Form, "PopupMenu1"), nullptr);
    EXPECT_EQ(Ctl<QMenu>(*Form, "PopupMenu1")->actions(),
        (QList<QAction*>{Ctl<QAction>(*Form, "C1"), Ctl<QAction>(*Form, "SaveLog")}));
    EXPECT_EQ(Ctl<QAction>(*Form, "SaveLog")->text(), QStringLiteral("Save log..."));
    EXPECT_EQ(Ctl<QAction>(*Form, "C1")->text(), QStringLiteral("Clear(&C)"));
    EXPECT_EQ(Ctl<QAction>(*Form, "C1")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Delete));

    // Panel 1 is wider than 50 so that "Un-Linked" is not cut.
    const std::vector<std::tuple<int, int, Qt::Alignment, QString>> Panels{
        {0, 250, Qt::AlignLeft, QString()}, {1, 60, Qt::AlignHCenter, QStringLiteral("Un-Link")},
        {2, 50, Qt::AlignLeft, QString()}};
    for (const auto& [Index, Width, Alignment, Text] : Panels) {
        SCOPED_TRACE(Index);
        QLabel* Panel = StatusPanel(*Form, size_t(Index));
        ASSERT_NE(Panel, nullptr);
        EXPECT_EQ(Panel->objectName(), QStringLiteral("StatusPanel%1").arg(Index));
        EXPECT_EQ(Panel->width(), Width);
        EXPECT_EQ(Panel->alignment() & Qt::AlignHorizontal_Mask, Alignment);
        EXPECT_EQ(Panel->text(), Text);
        EXPECT_EQ(Panel->parentWidget(), Ctl<QStatusBar>(*Form, "StatusBar"));
    }
    const QLabel* Link = StatusPanel(*Form, 1);
    EXPECT_GE(Link->contentsRect().width(), Link->fontMetrics().horizontalAdvance(QStringLiteral("Un-Linked")));
}

TEST_F(WindowTest, AboutLinksBelongToTheFormAndStandOnThePage)
{
    for (THyperLink* Link : {Ctl<THyperLink>(*Form, "HyperLink1"), Ctl<THyperLink>(*Form, "HyperLink2")}) {
        ASSERT_NE(Link, nullptr);
        EXPECT_EQ(Link->Owner(), Form.get());
        EXPECT_TRUE(Ctl<QWidget>(*Form, "TabSheet7")->isAncestorOf(Link));
        EXPECT_FALSE(Link->text().isEmpty());
        EXPECT_EQ(Link->palette().color(QPalette::WindowText), QColor(0, 0, 255));
        EXPECT_EQ(Link->font().pixelSize(), 12);
    }
    EXPECT_TRUE(Ctl<THyperLink>(*Form, "HyperLink1")->URL.startsWith(QStringLiteral("https://")));
    EXPECT_TRUE(Ctl<THyperLink>(*Form, "HyperLink2")->URL.startsWith(QStringLiteral("mailto:")));

    QStringList Opened;
    Ctl<THyperLink>(*Form, "HyperLink2")->Opener = [&](const QString& Target) { Opened << Target; };
    Show();
    Ctl<QTabWidget>(*Form, "PageControl1")->setCurrentWidget(Ctl<QWidget>(*Form, "TabSheet7"));
    QTest::mouseClick(Ctl<THyperLink>(*Form, "HyperLink2"), Qt::LeftButton);
    EXPECT_EQ(Opened, QStringList{Ctl<THyperLink>(*Form, "HyperLink2")->URL});
    EXPECT_LT(Ctl<THyperLink>(*Form, "HyperLink1")->y(), Ctl<THyperLink>(*Form, "HyperLink2")->y());
}

// ------------------------------------------------------------ sector selectors

struct TSelector {
    const char* Page;
    const char* Box;
    std::array<const char*, 16> Radios;
};

const std::array<TSelector, 3> Selectors{{
    {"TabSheet2", "GbSec1",
        {"Rd0", "Rd1", "Rd2", "Rd3", "Rd4", "Rd5", "Rd6", "Rd7", "Rd8", "Rd9", "Rd10", "Rd11", "Rd12", "Rd13",
            "Rd14", "Rd15"}},
    {"TabSheet3", "GbSec2",
        {"RdInc", "RadioButton2", "RadioButton3", "RadioButton4", "RadioButton8", "RadioButton7", "RadioButton6",
            "RadioButton5", "RadioButton12", "RadioButton11", "RadioButton10", "RadioButton9", "RadioButton16",
            "RadioButton15", "RadioButton14", "RadioButton13"}},
    {"TabSheet5", "GbSec3",
        {"RbCardSecor", "RadioButton17", "RadioButton18", "RadioButton19", "RadioButton23", "RadioButton22",
            "RadioButton21", "RadioButton20", "RadioButton27", "RadioButton26", "RadioButton25", "RadioButton24",
            "RadioButton31", "RadioButton30", "RadioButton29", "RadioButton28"}},
}};

TEST_F(WindowTest, SelectorsStartAtSectorZeroWithTheirGridsAndTabOrder)
{
    Show();
    for (const TSelector& Selector : Selectors) {
        SCOPED_TRACE(Selector.Box);
        auto* Box = Find<QGroupBox>(Selector.Box);
        ASSERT_NE(Box, nullptr);
        EXPECT_EQ(Box->title(), QStringLiteral("S0"));
        EXPECT_EQ(TMainForm::Tag(Box), 0);
        Ctl<QTabWidget>(*Form, "PageControl1")->setCurrentWidget(Find<QWidget>(Selector.Page));
        std::array<QRadioButton*, 16> Radios{};
        for (int Sector = 0; Sector < 16; ++Sector) {
            QRadioButton* Radio = Radios[size_t(Sector)] = Find<QRadioButton>(Selector.Radios[size_t(Sector)]);
            ASSERT_NE(Radio, nullptr);
            EXPECT_EQ(Radio->text(), QStringLiteral("S%1").arg(Sector));
            EXPECT_EQ(TMainForm::Tag(Radio), Sector);
            EXPECT_EQ(Radio->isChecked(), Sector == 0);
            EXPECT_TRUE(Find<QWidget>(Selector.Page)->isAncestorOf(Radio));
        }
        // Four rows of four, S(4r) .. S(4r+3) left to right, above the group box.
        for (int Sector = 0; Sector < 16; ++Sector) {
            const QRadioButton* Radio = Radios[size_t(Sector)];
            EXPECT_EQ(Radio->y(), Radios[size_t(Sector / 4 * 4)]->y());
            EXPECT_EQ(Radio->x(), Radios[size_t(Sector % 4)]->x());
            if (Sector % 4) {
                EXPECT_GT(Radio->x(), Radios[size_t(Sector - 1)]->x());
            }
            if (Sector >= 4) {
                EXPECT_GT(Radio->y(), Radios[size_t(Sector - 4)]->y());
            }
            EXPECT_LT(Radio->mapTo(Form.get(), QPoint(0, 0)).y(), Box->mapTo(Form.get(), QPoint(0, 0)).y());
        }
        for (size_t Sector = 0; Sector + 1 < 16; ++Sector)
            EXPECT_EQ(Radios[Sector]->nextInFocusChain(), Radios[Sector + 1]) << "after S" << Sector;
    }
}

TEST_F(WindowTest, ChoosingASectorRetitlesOnlyItsOwnPage)
{
    Show();
    for (size_t Page = 0; Page < Selectors.size(); ++Page) {
        const TSelector& Selector = Selectors[Page];
        auto* Box = Find<QGroupBox>(Selector.Box);
        Ctl<QTabWidget>(*Form, "PageControl1")->setCurrentWidget(Find<QWidget>(Selector.Page));

        // Clicking the button already checked changes nothing: still "S0".
        QTest::mouseClick(Find<QRadioButton>(Selector.Radios[0]), Qt::LeftButton, {}, QPoint(6, 8));
        EXPECT_EQ(Box->title(), QStringLiteral("S0"));

        for (int Sector : {5, 15, 4, 0}) {
            SCOPED_TRACE(testing::Message() << Selector.Box << " sector " << Sector);
            QTest::mouseClick(Find<QRadioButton>(Selector.Radios[size_t(Sector)]), Qt::LeftButton, {}, QPoint(6, 8));
            EXPECT_EQ(Box->title(), QStringLiteral("Sector%1").arg(Sector));
            EXPECT_EQ(TMainForm::Tag(Box), Sector);
            // The other pages keep their own choice.
            for (size_t Other = Page + 1; Other < Selectors.size(); ++Other) {
                auto* OtherBox = Find<QGroupBox>(Selectors[Other].Box);
                EXPECT_EQ(OtherBox->title(), QStringLiteral("S0"));
                EXPECT_EQ(TMainForm::Tag(OtherBox), 0);
            }
        }
        // Clicking the checked one again leaves "Sector0" as it is.
        QRadioButton* Current = Find<QRadioButton>(Selector.Radios[0]);
        QTest::mouseClick(Current, Qt::LeftButton, {}, QPoint(6, 8));
        EXPECT_TRUE(Current->isChecked());
        EXPECT_EQ(Box->title(), QStringLiteral("Sector0"));
    }
    // The "Block" page's RadioButton8 is sector 4.
    Ctl<QTabWidget>(*Form, "PageControl1")->setCurrentWidget(Ctl<QWidget>(*Form, "TabSheet3"));
    QTest::mouseClick(Find<QRadioButton>("RadioButton8"), Qt::LeftButton, {}, QPoint(6, 8));
    EXPECT_EQ(Ctl<QGroupBox>(*Form, "GbSec2")->title(), QStringLiteral("Sector4"));
    EXPECT_EQ(TMainForm::Tag(Ctl<QGroupBox>(*Form, "GbSec2")), 4);
    EXPECT_EQ(Ctl<QGroupBox>(*Form, "GbSec1")->title(), QStringLiteral("Sector0"));
}

// --------------------------------------------------------------- log and hints

TEST_F(WindowTest, CtrlDeleteClearsTheLogOnlyWhileItHasTheFocus)
{
    Show();
    Form->Log(QStringLiteral("Search card successfule!"));
    Form->Log(QStringLiteral("Read block9 success!"));
    const QString Before = Ctl<QPlainTextEdit>(*Form, "MmoMsg")->toPlainText();

    // Focus elsewhere: the log keeps its lines.
    Ctl<QComboBox>(*Form, "CmbTestKeyType")->setFocus();
    ASSERT_TRUE(Ctl<QComboBox>(*Form, "CmbTestKeyType")->hasFocus());
    QTest::keyClick(Ctl<QComboBox>(*Form, "CmbTestKeyType"), Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_EQ(Ctl<QPlainTextEdit>(*Form, "MmoMsg")->toPlainText(), Before);
    EXPECT_EQ(Ctl<QComboBox>(*Form, "CmbTestKeyType")->currentIndex(), 0);

    // In the log, with the cursor at its start (where the editor would only
    // delete a word): the whole log goes.
    Ctl<QPlainTextEdit>(*Form, "MmoMsg")->setFocus();
    ASSERT_TRUE(Ctl<QPlainTextEdit>(*Form, "MmoMsg")->hasFocus());
    Ctl<QPlainTextEdit>(*Form, "MmoMsg")->moveCursor(QTextCursor::Start);
    QTest::keyClick(Ctl<QPlainTextEdit>(*Form, "MmoMsg"), Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_TRUE(Ctl<QPlainTextEdit>(*Form, "MmoMsg")->toPlainText().isEmpty());

    // New lines after a clear start on the first line.
    Form->Log(QStringLiteral("Halt card successfule!"));
    EXPECT_EQ(Ctl<QPlainTextEdit>(*Form, "MmoMsg")->toPlainText(), QStringLiteral("Halt card successfule!"));
}

TEST_F(WindowTest, TheLogMenuOffersClear)
{
    Show();
    Form->Log(QStringLiteral("one"));
    Form->Log(QStringLiteral("two"));
    emit Ctl<QPlainTextEdit>(*Form, "MmoMsg")->customContextMenuRequested(QPoint(10, 10));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Ctl<QMenu>(*Form, "PopupMenu1")));
    ASSERT_TRUE(Ctl<QAction>(*Form, "C1")->isEnabled());
    QTest::keyClick(Ctl<QMenu>(*Form, "PopupMenu1"), Qt::Key_C); // its access key
    EXPECT_TRUE(Ctl<QPlainTextEdit>(*Form, "MmoMsg")->toPlainText().isEmpty());
    EXPECT_FALSE(Ctl<QMenu>(*Form, "PopupMenu1")->isVisible());
}

TEST_F(WindowTest, HintsShowTheirLongPartInPanelZero)
{
    Show();
    // A control's status tip as the mouse enters it.
    Ctl<QPushButton>(*Form, "Button9")->setStatusTip(QStringLiteral("Search|Find a card in the field"));
    Ctl<QTabWidget>(*Form, "PageControl1")->setCurrentWidget(Ctl<QWidget>(*Form, "TabSheet1"));
    QEvent Enter(QEvent::Enter);
    QApplication::sendEvent(Ctl<QPushButton>(*Form, "Button9"), &Enter);
    EXPECT_EQ(StatusPanel(*Form, 0)->text(), QStringLiteral("Find a card in the field"));
    EXPECT_EQ(StatusPanel(*Form, 1)->text(), QStringLiteral("Un-Linked")) << "the panels stay in place";
    EXPECT_TRUE(StatusPanel(*Form, 0)->isVisible());

    const std::vector<std::pair<QString, QString>> Hints{{QStringLiteral("short|long"), QStringLiteral("long")},
        {QStringLiteral("no bar"), QStringLiteral("no bar")}, {QStringLiteral("a|b|c"), QStringLiteral("b|c")},
        {QStringLiteral("only short|"), QString()}, {QString(), QString()}};
    for (const auto& [Hint, Shown] : Hints) {
        QStatusTipEvent Tip(Hint);
        QApplication::sendEvent(Ctl<QLineEdit>(*Form, "EdtHex0"), &Tip);
        EXPECT_EQ(StatusPanel(*Form, 0)->text(), Shown) << Hint.toStdString();
    }
    EXPECT_TRUE(Ctl<QStatusBar>(*Form, "StatusBar")->currentMessage().isEmpty());
}

// ------------------------------------------------------------- handler wiring

TEST_F(WindowTest, ConstructionRunsNoHandler)
{
    EXPECT_TRUE(Boxes.empty()) << "no port was tried before the first show";
    EXPECT_TRUE(Ctl<QPlainTextEdit>(*Form, "MmoMsg")->toPlainText().isEmpty());
    EXPECT_EQ(StatusPanel(*Form, 1)->text(), QStringLiteral("Un-Link"));
    EXPECT_EQ(Ctl<QGroupBox>(*Form, "GbSec1")->title(), QStringLiteral("S0"));
    EXPECT_FALSE(Form->Session().LoopFlag);
}

TEST_F(WindowTest, SettingControlsReachTheirHandlers)
{
    Show();
    // The first show tried COM1, which has no device here.
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, QStringLiteral("Can not open port!"));
    EXPECT_EQ(StatusPanel(*Form, 1)->text(), QStringLiteral("Un-Linked"));
    // Beside the box, which stays as it is: which device, why, what to do.
    EXPECT_EQ(StatusPanel(*Form, 0)->text().toStdString(),
        "cannot open COM1 (" + Home.StateFolder() + "/no-such-device): "
            + std::make_error_code(std::errc::no_such_file_or_directory).message() + "; see orvelle-card ports");

    Ctl<QTabWidget>(*Form, "PageControl1")->setCurrentWidget(Ctl<QWidget>(*Form, "TabSheet6"));
    QTest::mouseClick(Ctl<TRadioGroup>(*Form, "RgPort")->Button(2), Qt::LeftButton, {}, QPoint(6, 8));
    EXPECT_EQ(Boxes.size(), 2u) << "choosing COM3 tries that port";

    QTest::mouseClick(Ctl<QCheckBox>(*Form, "ChkBeep"), Qt::LeftButton, {}, QPoint(6, 8));
    EXPECT_FALSE(Form->Session().Settings().Beep);
    QTest::mouseClick(Ctl<TRadioGroup>(*Form, "RgQueryType")->Button(1), Qt::LeftButton, {}, QPoint(6, 8));
    EXPECT_NE(Form->Session().Settings().SearchMode, 0);
    Ctl<TSpinEdit>(*Form, "EdtMS")->setValue(1500);
    EXPECT_EQ(Form->Session().Settings().ReplyTimeout, 1500);
}

// A port that failed is tried again by a click on its button, though it is
// the one chosen already: the operator mended the cause meanwhile.
TEST(WindowPortChoice, AClickOnTheChosenPortTriesItAgain)
{
    TFormFixture F({.Show = false, .Com1Target = "/nonexistent/orvelle-tty"});
    F.Show();
    ASSERT_EQ(F.Boxes.size(), 1u);
    EXPECT_EQ(F.Boxes[0].Text, QStringLiteral("Can not open port!"));
    EXPECT_EQ(F.LinkPanel(), QStringLiteral("Un-Linked"));
    EXPECT_TRUE(StatusPanel(*F.Form, 0)->text().startsWith("cannot open COM1 (/nonexistent/orvelle-tty): "))
        << StatusPanel(*F.Form, 0)->text().toStdString();

    F.MapPort(1, F.Sim.DevicePath());
    Ctl<QTabWidget>(*F.Form, "PageControl1")->setCurrentWidget(Ctl<QWidget>(*F.Form, "TabSheet6"));
    QRadioButton* Com1 = Ctl<TRadioGroup>(*F.Form, "RgPort")->Button(0);
    ASSERT_TRUE(Com1->isChecked());
    QTest::mouseClick(Com1, Qt::LeftButton, {}, QPoint(6, 8));
    EXPECT_EQ(F.LinkPanel(), QStringLiteral("Linked"));
    EXPECT_EQ(F.Boxes.size(), 1u);
    EXPECT_TRUE(StatusPanel(*F.Form, 0)->text().isEmpty()) << "a link that works clears the old cause";
}

TEST_F(WindowTest, BothStopButtonsEndALoop)
{
    for (QPushButton* Stop : {Ctl<QPushButton>(*Form, "BtnStopRead"), Ctl<QPushButton>(*Form, "BtnStopWrite")}) {
        Form->Session().LoopFlag = true;
        Stop->setEnabled(true);
        Stop->click();
        EXPECT_FALSE(Form->Session().LoopFlag) << Stop->objectName().toStdString();
    }
}

TEST_F(WindowTest, PageContextRequestsAndPageChangesDoNothing)
{
    Show();
    const QString Log = Ctl<QPlainTextEdit>(*Form, "MmoMsg")->toPlainText();
    for (QWidget* Page : {Ctl<QWidget>(*Form, "TabSheet5"), Ctl<QWidget>(*Form, "TabSheet6"), Ctl<QWidget>(*Form, "TabSheet7")}) {
        Ctl<QTabWidget>(*Form, "PageControl1")->setCurrentWidget(Page);
        QContextMenuEvent Request(QContextMenuEvent::Mouse, QPoint(20, 20), Page->mapToGlobal(QPoint(20, 20)));
        QApplication::sendEvent(Page, &Request);
        EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    }
    EXPECT_EQ(Ctl<QPlainTextEdit>(*Form, "MmoMsg")->toPlainText(), Log);
    EXPECT_EQ(Boxes.size(), 1u); // only the first show's port message
}

} // namespace
