// The main window: its frame (the tabs, the message log, the status bar with
// its hint panel), the eight pages of the reader's own operations with the
// "Card" page as the ninth tab, and the three sector selectors.
#include "app/MainForm.h"

#include "app/CardPage.h"
#include "app/Pages.h"
#include "app/Version.h"
#include "charts/LoopReport.h"
#include "protocol/SafeFile.h"
#include "records/LoopRunFiles.h"
#include "records/Records.h"
#include "records/SessionRecorder.h"

#include <QAction>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QScreen>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QStyleFactory>
#include <QTabBar>
#include <QTabWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <utility>

namespace {

// Client area of the fixed window and the heights that shape it.
constexpr int ClientWidth = 492;
constexpr int ClientHeight = 366;
constexpr int TabsHeight = 236;
constexpr int StatusHeight = 19;

// The hint display: status tips anywhere in the window go to the hint panel.
class THintFilter : public QObject {
public:
    THintFilter(QObject* Form, std::function<void(const QString&)> Show)
        : QObject(Form)
        , FShow(std::move(Show))
    {
    }

protected:
    bool eventFilter(QObject* /*Watched*/, QEvent* Event) override
    {
        if (Event->type() != QEvent::StatusTip)
            return false;
        // Consumed here: the status bar's own message would hide the panels.
        FShow(static_cast<QStatusTipEvent*>(Event)->tip());
        return true;
    }

private:
    std::function<void(const QString&)> FShow;
};

// The tab titles' padding, the style's own where it is less: with it, the
// nine titles sit on one row within the fixed width, at any usual style.
constexpr int TabTitlePadding = 12;

class TCompactTabs : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    int pixelMetric(PixelMetric Metric, const QStyleOption* Option, const QWidget* Widget) const override
    {
        const int value = QProxyStyle::pixelMetric(Metric, Option, Widget);
        return Metric == PM_TabBarTabHSpace ? std::min(value, TabTitlePadding) : value;
    }
};

} // namespace

TMainForm::TMainForm(QWidget* parent)
    : QMainWindow(parent)
{
    BuildUi();
    CreateComponents();
    AddCardPage();
    FormCreate();
}

TMainForm::~TMainForm()
{
    // The "Card" page works on the session and reports to the records, so
    // it goes before them; the records end with the program's last line.
    delete std::exchange(FCardPage, nullptr);
    FRecords.reset();
    FSession.reset();
    // The hint display writes into a status panel; no event may reach it
    // while the panels are being destroyed.
    const QObjectList childObjects = children();
    for (QObject* child : childObjects)
        if (auto* events = dynamic_cast<THintFilter*>(child))
            delete events;
}

void TMainForm::CreateComponents()
{
    TSessionEvents& events = *this;
    FSession = std::make_unique<TLinkSession>(events);
    FRecords = std::make_unique<TSessionRecorder>(*FSession, QStringLiteral("Orvelle"), QLatin1String(OrvelleVersion),
        [this](const QString& Warning) { RecordWarning(Warning); });
    // Only a whole report is named; the cause went to standard error and the
    // journal when it happened, and is shown again here at the run's end. A
    // whole report gets its page, the same call as orvelle-card loop-report;
    // a page that cannot be drawn leaves the CSV named, and says why.
    FRecords->OnRunRecorded = [this](const QString& Report, const QString& Problem) {
        if (!StatusPanels[0])
            return;
        if (Report.isEmpty()) {
            if (!Problem.isEmpty())
                ShowInHintPanel(QStringLiteral("Report not written: %1").arg(Problem));
            return;
        }
        const TLoopReportResult page = WriteLoopReport(Report, QString(), LoopReportHtml);
        if (page.End == TLoopReportEnd::Written)
            ShowRecordInHintPanel(QStringLiteral("Report: "), page.Html, true);
        else
            ShowRecordInHintPanel(QStringLiteral("Report page not drawn (%1). Report: ").arg(page.Problem), Report);
    };
}

void TMainForm::FormCreate()
{
    FSession->SetSettings(TReaderSettings{});
    // The hint display (DisplayHint) is installed with the window's event
    // filter when the window is built.
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
    QFont formFont;
    formFont.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("AR PL UMing CN"),
        QStringLiteral("AR PL UMing TW"), QStringLiteral("Noto Serif CJK SC")});
    formFont.setPixelSize(12);
    setFont(formFont);

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("Client"));
    auto* clientLayout = new QVBoxLayout(client);
    clientLayout->setContentsMargins(0, 0, 0, 0);
    clientLayout->setSpacing(0);
    setCentralWidget(client);
    BuildTabs(clientLayout);
    BuildLog(clientLayout, formFont);
    BuildStatusBar();

    setFixedSize(ClientWidth, ClientHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(ClientWidth / 2, ClientHeight / 2));
    }
    WireFrame();
}

void TMainForm::BuildTabs(QVBoxLayout* Client)
{
    PageControl1 = new QTabWidget(Client->parentWidget());
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->setFixedHeight(TabsHeight);
    PageControl1->setUsesScrollButtons(false);
    PageControl1->setElideMode(Qt::ElideNone);
    PageControl1->setDocumentMode(false);
    // Tabs do not wrap onto rows here: the nine titles fit one row at this
    // font, and neither eliding nor scroll buttons may hide one of them.
    PageControl1->tabBar()->setExpanding(false);
    // Owned by the window and made after the tab bar, so it outlives it.
    auto* tabStyle = new TCompactTabs(QStyleFactory::create(style()->name()));
    tabStyle->setParent(this);
    PageControl1->tabBar()->setStyle(tabStyle);
    Client->addWidget(PageControl1);

    auto newPage = [this](const char* Name) {
        auto* page = new QWidget(PageControl1);
        page->setObjectName(QLatin1String(Name));
        return page;
    };
    TabSheet1 = newPage("TabSheet1");
    TabSheet2 = newPage("TabSheet2");
    TabSheet3 = newPage("TabSheet3");
    TabSheet4 = newPage("TabSheet4");
    TabSheet5 = newPage("TabSheet5");
    TabSheet8 = newPage("TabSheet8");
    TabSheet6 = newPage("TabSheet6");
    TabSheet7 = newPage("TabSheet7");

    BuildBasicPage(this);
    BuildSectorPage(this);
    BuildBlockPage(this);
    BuildDownPSPage(this);
    BuildChangePSPage(this);
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
}

void TMainForm::AddCardPage()
{
    TCardPageHost host{*FSession, [this]() -> TFormDialogs& { return *FDialogs; },
        [this](const QString& Line) { Log(Line); }, [this](const QString& Line) { JournalOwn(Line); },
        [this](const QString& Text, const QString& Caption) { SaveFailed(Text, Caption); }};
    FCardPage = new TCardPage(std::move(host), PageControl1);
    PageControl1->addTab(FCardPage, QStringLiteral("Card"));
}

void TMainForm::BuildLog(QVBoxLayout* Client, const QFont& FormFont)
{
    MmoMsg = new QPlainTextEdit(Client->parentWidget());
    MmoMsg->setObjectName(QStringLiteral("MmoMsg"));
    MmoMsg->setReadOnly(false);
    MmoMsg->setLineWrapMode(QPlainTextEdit::NoWrap);
    MmoMsg->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    MmoMsg->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // A loop test adds a line a cycle for days; the journal keeps them all,
    // the window the latest.
    MmoMsg->setMaximumBlockCount(LogLineLimit);
    Client->addWidget(MmoMsg, 1);

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
    SaveLog = PopupMenu1->addAction(QStringLiteral("Save log..."));
    SaveLog->setObjectName(QStringLiteral("SaveLog"));
    MmoMsg->setContextMenuPolicy(Qt::CustomContextMenu);
}

void TMainForm::BuildStatusBar()
{
    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName(QStringLiteral("StatusBar"));
    StatusBar->setSizeGripEnabled(false);
    StatusBar->setFixedHeight(StatusHeight);
    StatusBar->setContentsMargins(0, 0, 0, 0);
    // Panel 1 is a little wider than 50: "Un-Linked" needs 54 pixels.
    const std::array<int, 3> panelWidths{250, 60, 50};
    const std::array<Qt::Alignment, 3> panelAlignments{
        Qt::AlignLeft | Qt::AlignVCenter, Qt::AlignCenter, Qt::AlignLeft | Qt::AlignVCenter};
    for (size_t i = 0; i < StatusPanels.size(); ++i) {
        auto* panel = new QLabel(StatusBar);
        panel->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        panel->setFixedWidth(panelWidths[i]);
        panel->setAlignment(panelAlignments[i]);
        panel->setFrameShape(QFrame::Panel);
        panel->setFrameShadow(QFrame::Sunken);
        StatusBar->addWidget(panel);
        StatusPanels[i] = panel;
    }
    StatusPanels[1]->setText(QStringLiteral("Un-Link"));
    // Panel 0 names the records a loop run left, as a link to their folder;
    // its context menu opens that folder too, or the state folder before.
    StatusPanels[0]->setTextFormat(Qt::PlainText);
    FRecordsFolder = StateDirectory();
    OpenRecordsFolder = new QAction(QStringLiteral("Open folder"), StatusPanels[0]);
    OpenRecordsFolder->setObjectName(QStringLiteral("OpenRecordsFolder"));
    StatusPanels[0]->addAction(OpenRecordsFolder);
    StatusPanels[0]->setContextMenuPolicy(Qt::ActionsContextMenu);
    setStatusBar(StatusBar);
}

// The hint display, the log's menu and the hint panel's folder link.
void TMainForm::WireFrame()
{
    installEventFilter(new THintFilter(this, [this](const QString& Hint) { DisplayHint(Hint); }));
    connect(C1, &QAction::triggered, this, &TMainForm::C1Click);
    connect(SaveLog, &QAction::triggered, this, &TMainForm::SaveLogClick);
    connect(OpenRecordsFolder, &QAction::triggered, this, &TMainForm::OpenRecordsFolderClick);
    connect(StatusPanels[0], &QLabel::linkActivated, this, [this](const QString& Link) {
        const QString file = QUrl(Link).toLocalFile();
        if (file == FRecordsFolder) {
            OpenRecordsFolderClick();
        } else if (!FDialogs->OpenFile(file)) {
            // No box: a loop test may be running.
            const QString text = QStringLiteral("Can not open %1").arg(file);
            std::fprintf(stderr, "orvelle: %s\n", text.toLocal8Bit().constData());
            ShowInHintPanel(text);
        }
    });
    connect(MmoMsg, &QWidget::customContextMenuRequested, this,
        [this](const QPoint& At) { PopupMenu1->popup(MmoMsg->viewport()->mapToGlobal(At)); });
}

void TMainForm::C1Click() { MmoMsg->clear(); }

void TMainForm::SaveLogClick()
{
    const QString path = FDialogs->SaveFileName(this, QStringLiteral("Save log"), QStringLiteral("orvelle-log.txt"),
        QStringLiteral("Text files (*.txt);;All files (*)"));
    if (path.isEmpty())
        return;
    // Whole or not at all: a half-written log would pass for the whole one.
    const QString text = MmoMsg->toPlainText();
    const QByteArray bytes = (text.isEmpty() ? text : text + QLatin1Char('\n')).toUtf8();
    std::string error;
    if (ReplaceFile(QFile::encodeName(path).toStdString(),
            {reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size())}, error))
        return;
    SaveFailed(QStringLiteral("Can not save the log: %1").arg(QFile::decodeName(error.c_str())), QStringLiteral("Message"));
}

void TMainForm::SaveFailed(const QString& Text, const QString& Caption)
{
    // A box would hold up a running loop test until its OK.
    if (FSession && FSession->OperationRunning()) {
        RecordWarning(Text);
        FRecords->Warn(Text);
    } else
        MessageBox(Text, Caption);
}

void TMainForm::RecordWarning(const QString& Warning)
{
    // Never a box: a running loop test would wait for its OK.
    std::fprintf(stderr, "orvelle: %s\n", Warning.toLocal8Bit().constData());
    if (StatusPanels[0])
        ShowInHintPanel(Warning);
}

void TMainForm::DisplayHint(const QString& Hint)
{
    // A hint is "short|long"; the status bar shows the long part.
    const qsizetype bar = Hint.indexOf(QLatin1Char('|'));
    ShowInHintPanel(bar < 0 ? Hint : Hint.mid(bar + 1));
}

void TMainForm::ShowInHintPanel(const QString& Text)
{
    StatusPanels[0]->setTextFormat(Qt::PlainText);
    StatusPanels[0]->setText(Text);
    StatusPanels[0]->setToolTip(QString());
}

void TMainForm::ShowRecordInHintPanel(const QString& Label, const QString& Path, bool LinkToFile)
{
    FRecordsFolder = QFileInfo(Path).absolutePath();
    const QString link = LinkToFile ? QFileInfo(Path).absoluteFilePath() : FRecordsFolder;
    StatusPanels[0]->setTextFormat(Qt::RichText);
    StatusPanels[0]->setText(QStringLiteral("%1<a href=\"%2\">%3</a>")
                                 .arg(Label.toHtmlEscaped(), QUrl::fromLocalFile(link).toString().toHtmlEscaped(), Path.toHtmlEscaped()));
    // The panel is narrow: the whole path where the mouse rests.
    StatusPanels[0]->setToolTip(Path);
}

void TMainForm::OpenRecordsFolderClick()
{
    if (FDialogs->OpenFolder(FRecordsFolder))
        return;
    // No box: a loop test may be running.
    const QString text = QStringLiteral("Can not open the folder %1").arg(FRecordsFolder);
    std::fprintf(stderr, "orvelle: %s\n", text.toLocal8Bit().constData());
    ShowInHintPanel(text);
}

void TMainForm::Log(const QString& Line)
{
    if (MmoMsg)
        MmoMsg->appendPlainText(Line);
}

void TMainForm::LogOwn(const QString& Line)
{
    Log(Line);
    JournalOwn(Line);
}

void TMainForm::JournalOwn(const QString& Line) { FRecords->Note(Line); }

void TMainForm::MessageBox(const QString& Text, const QString& Caption, int Flags)
{
    FDialogs->MessageBox(this, Text, Caption, Flags);
}

void TMainForm::SetDialogs(TFormDialogs* Dialogs) { FDialogs = Dialogs ? Dialogs : &FRealDialogs; }
