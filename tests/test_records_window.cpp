// What the window records: the journal holds every line of its log and the
// program's own records, a loop test leaves its report and its page, "Save
// log..." writes the visible log, and a state folder that cannot be written
// stops nothing.
// The status bar and the About page lead to where the records are.
#include "app/MainForm.h"
#include "app/Version.h"
#include "protocol/SafeFile.h"
#include "support/FormFixture.h"
#include "support/PtyPeer.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTextDocument>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace {

QStringList FileLines(const QString& Path)
{
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

// Every journal line in order, without its time stamp.
QStringList JournalLines(const std::string& StateFolder)
{
    const QDir folder(QString::fromStdString(StateFolder) + "/journal");
    QStringList lines;
    const QRegularExpression stamp(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d )");
    for (const QString& day : folder.entryList({"*.log"}, QDir::Files, QDir::Name))
        for (const QString& line : FileLines(folder.filePath(day))) {
            EXPECT_TRUE(stamp.match(line).hasMatch()) << line.toStdString();
            lines << QString(line).remove(stamp);
        }
    return lines;
}

bool IsOwnRecord(const QString& Line)
{
    static const QRegularExpression own(R"(^(Orvelle \S+ (started \(process \d+\)|ended)|Port COM\d .*|Link panel: .*|Loop (read|write) (started|stopped): .*)$)");
    return own.match(Line).hasMatch();
}

TEST(WindowRecords, TheJournalHoldsTheLogAndALoopLeavesItsReport)
{
    TFormFixture F;
    F.Click(Ctl<QPushButton>(*F.Form, "Button9"));
    F.Click(Ctl<QPushButton>(*F.Form, "Button7"));
    // Two good cycles of the loop read, then Stop from inside the loop.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (Ctl<QLabel>(*F.Form, "LbReadSum")->text().endsWith("0000002"))
            F.Form->BtnStopReadClick();
    });
    poll.start(5);
    F.Click(Ctl<QPushButton>(*F.Form, "BtnStartRead"));
    poll.stop();

    const QStringList journal = JournalLines(F.Home().StateFolder());
    QStringList logged;
    for (const QString& line : journal)
        if (!IsOwnRecord(line))
            logged << line;
    EXPECT_EQ(logged, F.LogLines());
    const QString device = QString::fromStdString(std::filesystem::canonical(F.Sim.DevicePath()).string());
    // The process named, so that two windows sharing a journal can be told apart.
    const QString started = QStringLiteral("Orvelle %1 started (process %2)").arg(OrvelleVersion).arg(QCoreApplication::applicationPid());
    for (const QString& record : {started, "Port COM1 opened: " + device,
             QStringLiteral("Link panel: Linked")})
        EXPECT_TRUE(journal.contains(record)) << record.toStdString();
    const QStringList loops = journal.filter(QRegularExpression("^Loop read "));
    ASSERT_EQ(loops.size(), 2);
    EXPECT_TRUE(loops[0].startsWith("Loop read started: block 1, stored key A, port COM1")) << loops[0].toStdString();
    EXPECT_TRUE(loops[1].contains(" 2 reads,")) << loops[1].toStdString();

    const QDir runs(QString::fromStdString(F.Home().StateFolder()) + "/runs");
    const QStringList reports = runs.entryList({"*-loop-read.csv"}, QDir::Files);
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(runs.exists(QString(reports[0]).replace(".csv", ".json")));
    const QStringList rows = FileLines(runs.filePath(reports[0]));
    ASSERT_EQ(rows.size(), 2) << "the header and the row at Stop";
    EXPECT_TRUE(rows[0].startsWith("time,elapsed_s,cycles,"));
    EXPECT_EQ(rows[1].split(',').mid(2, 4), (QStringList{"2", "0", "0", "2"})) << rows[1].toStdString();
    // The report's page beside it, its path a link that opens it; the
    // panel's menu opens their folder.
    const QString page = runs.filePath(QString(reports[0]).replace(".csv", ".html"));
    EXPECT_TRUE(QFile::exists(page));
    QLabel* panel = StatusPanel(*F.Form, 0);
    QTextDocument shown;
    shown.setHtml(panel->text());
    EXPECT_EQ(shown.toPlainText(), "Report: " + page);
    const QRegularExpressionMatch link = QRegularExpression(R"re(<a href="([^"]+)">)re").match(panel->text());
    ASSERT_TRUE(link.hasMatch()) << panel->text().toStdString();
    EXPECT_EQ(QUrl(link.captured(1)).toLocalFile(), page);
    emit panel->linkActivated(link.captured(1));
    EXPECT_EQ(F.Dialogs.Files, QStringList{page});
    Ctl<QAction>(*F.Form, "OpenRecordsFolder")->trigger();
    EXPECT_EQ(F.Dialogs.Folders, QStringList{runs.path()});

    // "Save log..." writes what the log shows.
    const QString saved = QString::fromStdString(F.Home().StateFolder()) + "/saved.txt";
    F.Dialogs.OnSave = [&](const QString&) { return saved; };
    Ctl<QAction>(*F.Form, "SaveLog")->trigger();
    EXPECT_EQ(FileLines(saved), F.LogLines());
    EXPECT_TRUE(F.Boxes.empty());
}

TEST(WindowRecords, TheAboutPageAndTheStatusBarLeadToTheRecords)
{
    TFormFixture F;
    const QString state = QString::fromStdString(F.Home().StateFolder());
    EXPECT_EQ(Ctl<QLabel>(*F.Form, "AboutRecords")->text(), "Records (journal, run reports): " + state);
    EXPECT_EQ(Ctl<QLabel>(*F.Form, "AboutLedger")->text(),
        "Ledger: " + QString::fromStdString(F.Home().DataFolder()) + "/ledger.sqlite");
    // Before a loop run names its report, the status bar's menu opens the
    // state folder.
    auto* open = Ctl<QAction>(*F.Form, "OpenRecordsFolder");
    EXPECT_EQ(open->text(), QStringLiteral("Open folder"));
    EXPECT_TRUE(StatusPanel(*F.Form, 0)->actions().contains(open));
    EXPECT_EQ(StatusPanel(*F.Form, 0)->contextMenuPolicy(), Qt::ActionsContextMenu);
    open->trigger();
    EXPECT_EQ(F.Dialogs.Folders, QStringList{state});
    // A desktop with no file manager: said where the link was, never a box.
    F.Dialogs.FolderShown = false;
    open->trigger();
    EXPECT_EQ(StatusPanel(*F.Form, 0)->text(), "Can not open the folder " + state);
    EXPECT_TRUE(F.Boxes.empty());

    // A bad key file: its box has the caption of the program's other boxes,
    // and the journal keeps what it said.
    const QString keys = state + "/bad.keys";
    std::filesystem::create_directories(F.Home().StateFolder());
    std::ofstream(keys.toStdString()) << "FFFFFFFFFFF\n";
    Ctl<QLineEdit>(*F.Form, "CardKeyFile")->setText(keys);
    F.Click(Ctl<QPushButton>(*F.Form, "CardMapKeys"));
    ASSERT_EQ(F.Boxes.size(), 1u);
    EXPECT_EQ(F.Boxes[0].Caption, QStringLiteral("Message"));
    EXPECT_TRUE(F.Boxes[0].Text.startsWith(keys + ":1:")) << F.Boxes[0].Text.toStdString();
    EXPECT_TRUE(JournalLines(F.Home().StateFolder()).contains(F.Boxes[0].Text));
}

// A port that does not open and a reader that does not answer: the status
// bar says which device and what to do, and the journal keeps the same words.
TEST(WindowRecords, APortThatFailsLeavesItsWordsInThePanelAndTheJournal)
{
    PtyPeer silent;
    const struct {
        std::string Target;
        QString Journal;
        QString Words;
    } cases[] = {
        {"/nonexistent/orvelle-tty", "Port COM1 not opened: ",
            "cannot open COM1 (/nonexistent/orvelle-tty): "
                + QString::fromStdString(std::make_error_code(std::errc::no_such_file_or_directory).message())
                + "; see orvelle-card ports"},
        {silent.SlavePath(), "Port COM1 not linked: ",
            "the reader on COM1 (" + QString::fromStdString(silent.SlavePath())
                + ") does not answer; check the reader's power and cable, and the port map (orvelle-card ports --probe)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Target);
        TFormFixture F({.ReplyTimeoutMs = 300, .Show = false, .Com1Target = c.Target});
        F.Show();
        EXPECT_EQ(F.LinkPanel(), QStringLiteral("Un-Linked"));
        EXPECT_EQ(StatusPanel(*F.Form, 0)->text(), c.Words);
        EXPECT_EQ(StatusPanel(*F.Form, 0)->toolTip(), c.Words) << "the narrow panel's whole text";
        EXPECT_TRUE(JournalLines(F.Home().StateFolder()).contains(c.Journal + c.Words));
    }
}

TEST(WindowRecords, AnUnwritableStateFolderStopsNothing)
{
    TFormOptions options;
    options.UnwritableState = true;
    TFormFixture F(options);
    EXPECT_EQ(F.LinkPanel(), QStringLiteral("Linked"));
    F.Click(Ctl<QPushButton>(*F.Form, "Button9"));
    EXPECT_EQ(F.LastLog(), QStringLiteral("Search card successfule!"));
    EXPECT_TRUE(StatusPanel(*F.Form, 0)->text().startsWith("Journal not written: ")) << StatusPanel(*F.Form, 0)->text().toStdString();
    EXPECT_TRUE(F.Boxes.empty());
}

TEST(WindowRecords, ACardJobsJournalLinesNameThePort)
{
    TFormFixture F;
    F.Click(Ctl<QPushButton>(*F.Form, "CardMapKeys"));
    const QString job = F.LastLog();
    ASSERT_TRUE(job.startsWith("Map keys (card 12345678): ")) << job.toStdString();
    const QString device = QString::fromStdString(std::filesystem::canonical(F.Sim.DevicePath()).string());
    // The log shows the line as it is; the journal says where it ran.
    EXPECT_TRUE(JournalLines(F.Home().StateFolder()).contains(job + " (port COM1: " + device + ")"));
}

TEST(WindowRecords, AReportThatIsNotWholeIsNeverNamedAndNoBoxHoldsUpTheRun)
{
    TFormFixture F;
    // The summary's commit fails at Stop, as on a full disk.
    const TCommitCalls real = CommitCalls();
    CommitCalls().Rename = [](const char*, const char*) { return errno = ENOSPC, -1; };
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (Ctl<QLabel>(*F.Form, "LbReadSum")->text().endsWith("0000001"))
            F.Form->BtnStopReadClick();
    });
    poll.start(5);
    F.Click(Ctl<QPushButton>(*F.Form, "BtnStartRead"));
    poll.stop();
    CommitCalls() = real;

    const QString panel = StatusPanel(*F.Form, 0)->text();
    EXPECT_TRUE(panel.startsWith("Report not written: ")) << panel.toStdString();
    EXPECT_TRUE(panel.endsWith(".json: No space left on device")) << panel.toStdString();
    EXPECT_TRUE(JournalLines(F.Home().StateFolder()).contains(panel)) << "the journal keeps the cause";
    EXPECT_TRUE(F.Boxes.empty());
}

TEST(WindowRecords, APageThatCannotBeWrittenLeavesTheReportNamedAndSaysWhy)
{
    TFormFixture F;
    // A folder where the run's page would go, laid while it runs.
    const QDir runs(QString::fromStdString(F.Home().StateFolder()) + "/runs");
    QString csv;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const QStringList reports = runs.entryList({"*-loop-read.csv"}, QDir::Files);
        if (!Ctl<QLabel>(*F.Form, "LbReadSum")->text().endsWith("0000001") || reports.size() != 1)
            return;
        csv = runs.filePath(reports[0]);
        std::filesystem::create_directory(QString(csv).replace(".csv", ".html").toStdString());
        F.Form->BtnStopReadClick();
    });
    poll.start(5);
    F.Click(Ctl<QPushButton>(*F.Form, "BtnStartRead"));
    poll.stop();

    ASSERT_FALSE(csv.isEmpty());
    QLabel* panel = StatusPanel(*F.Form, 0);
    QTextDocument shown;
    shown.setHtml(panel->text());
    EXPECT_EQ(shown.toPlainText(), "Report page not drawn (" + QString(csv).replace(".csv", ".html") + " is a folder, not a regular file). Report: " + csv);
    // The CSV's link leads to its folder, as before pages.
    const QRegularExpressionMatch link = QRegularExpression(R"re(<a href="([^"]+)">)re").match(panel->text());
    ASSERT_TRUE(link.hasMatch()) << panel->text().toStdString();
    EXPECT_EQ(QUrl(link.captured(1)).toLocalFile(), runs.path());
    EXPECT_TRUE(F.Boxes.empty());
}

TEST(WindowRecords, SavedLogsAndDumpsGoOnlyWhereTheRuleAllows)
{
    TFormFixture F;
    F.Click(Ctl<QPushButton>(*F.Form, "CardRead"));
    const std::string folder = F.Home().StateFolder();
    std::filesystem::create_directories(folder);
    const std::string victim = folder + "/victim";
    std::ofstream(victim) << "keep\n";
    const struct {
        const char* Name;
        void (*Plant)(const std::string& At, const std::string& Victim);
        const char* Refusal;
    } rows[] = {
        {"another user's link",
            [](const std::string& At, const std::string& Victim) {
                std::filesystem::create_symlink(Victim, At);
                ASSERT_EQ(::lchown(At.c_str(), 65534, 65534), 0);
            },
            "is a symbolic link of another user (uid 65534): not followed"},
        {"a FIFO", [](const std::string& At, const std::string&) { ASSERT_EQ(::mkfifo(At.c_str(), 0600), 0); },
            "is a FIFO, not a regular file"},
    };
    for (const auto& row : rows) {
        for (const char* what : {"SaveLog", "CardSaveDump"}) {
            SCOPED_TRACE(std::string(row.Name) + " at " + what);
            const std::string at = folder + "/" + what + "-" + row.Name;
            row.Plant(at, victim);
            F.Dialogs.OnSave = [&](const QString&) { return QString::fromStdString(at); };
            F.Boxes.clear();
            if (std::string(what) == "SaveLog")
                Ctl<QAction>(*F.Form, what)->trigger();
            else
                F.Click(Ctl<QPushButton>(*F.Form, what));
            ASSERT_EQ(F.Boxes.size(), 1u);
            EXPECT_TRUE(F.Boxes[0].Text.startsWith("Can not save the")) << F.Boxes[0].Text.toStdString();
            EXPECT_TRUE(F.Boxes[0].Text.endsWith(row.Refusal)) << F.Boxes[0].Text.toStdString();
        }
    }
    std::ifstream kept(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep\n");
}

TEST(WindowRecords, ALogThatCannotBeSavedDuringALoopTestHoldsNothingUp)
{
    TFormFixture F;
    const std::string fifo = F.Home().StateFolder() + "/log-fifo";
    std::filesystem::create_directories(F.Home().StateFolder());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    F.Dialogs.OnSave = [&](const QString&) { return QString::fromStdString(fifo); };
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!Ctl<QLabel>(*F.Form, "LbReadSum")->text().endsWith("0000001"))
            return;
        Ctl<QAction>(*F.Form, "SaveLog")->trigger();
        F.Form->BtnStopReadClick();
    });
    poll.start(5);
    F.Click(Ctl<QPushButton>(*F.Form, "BtnStartRead"));
    poll.stop();
    EXPECT_TRUE(F.Boxes.empty());
    EXPECT_TRUE(JournalLines(F.Home().StateFolder()).contains(QString::fromStdString("Can not save the log: " + fifo + " is a FIFO, not a regular file")));
}

} // namespace
