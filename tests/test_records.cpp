// The records that outlive the window: the state folder, the day-by-day
// journal (its lines, midnight, a journal that cannot be written) and the
// loop-run report (its rows a minute, the last row and the summary, a run
// that cannot be recorded, a program killed in the middle of a run). Time is
// driven by an injected clock; nothing here waits.
#include "records/Journal.h"
#include "records/RunReport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

QDateTime At(int Day, int Hour, int Minute, int Second, int Ms, int OffsetSeconds = 3600, int Month = 12)
{
    return QDateTime(QDate(2026, Month, Day), QTime(Hour, Minute, Second, Ms), Qt::OffsetFromUTC, OffsetSeconds);
}

std::string ReadFile(const QString& Path)
{
    std::ifstream in(Path.toStdString(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> FilesIn(const QString& Folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Folder.toStdString()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// An environment variable set (or unset) for one scope.
class TEnv {
public:
    TEnv(const char* Name, const char* Value)
        : FName(Name)
    {
        if (const char* old = std::getenv(Name))
            FOld = old;
        if (Value)
            ::setenv(Name, Value, 1);
        else
            ::unsetenv(Name);
    }
    ~TEnv()
    {
        if (FOld)
            ::setenv(FName, FOld->c_str(), 1);
        else
            ::unsetenv(FName);
    }

private:
    const char* FName;
    std::optional<std::string> FOld;
};

} // namespace

TEST(RecordsState, FolderFollowsXdgStateHomeOnlyWhenAbsolute)
{
    const TEnv home("HOME", "/home/operator");
    const struct {
        const char* StateHome;
        const char* Folder;
    } cases[] = {
        {nullptr, "/home/operator/.local/state/orvelle"},
        {"", "/home/operator/.local/state/orvelle"},
        {"state", "/home/operator/.local/state/orvelle"},
        {"/var/lib/operator/", "/var/lib/operator/orvelle"},
    };
    for (const auto& c : cases) {
        const TEnv state("XDG_STATE_HOME", c.StateHome);
        EXPECT_EQ(StateDirectory().toStdString(), c.Folder) << (c.StateHome ? c.StateHome : "(unset)");
    }
    EXPECT_EQ(JournalDirectory().toStdString(), "/home/operator/.local/state/orvelle/journal");
    EXPECT_EQ(RunsDirectory().toStdString(), "/home/operator/.local/state/orvelle/runs");
}

TEST(RecordsJournal, LinesCarryTheirLocalTimeWithItsOffset)
{
    const struct {
        QDateTime When;
        const char* Line;
        const char* File;
        const char* Text;
    } cases[] = {
        {At(8, 7, 5, 31, 123), "Search card successfule!", "2026-12-08.log",
            "2026-12-08T07:05:31.123+01:00 Search card successfule!\n"},
        {At(1, 23, 59, 59, 7, -(5 * 3600 + 1800), 7), "read block fail!", "2026-07-01.log",
            "2026-07-01T23:59:59.007-05:30 read block fail!\n"},
        {QDateTime(QDate(2026, 3, 29), QTime(1, 0), Qt::UTC), "Linked", "2026-03-29.log",
            "2026-03-29T01:00:00.000+00:00 Linked\n"},
        // Each line of a text gets its own stamp, as the log shows it a line each.
        {At(8, 7, 5, 31, 0), "first\nsecond", "2026-12-08.log",
            "2026-12-08T07:05:31.000+01:00 first\n2026-12-08T07:05:31.000+01:00 second\n"},
    };
    for (const auto& c : cases) {
        QTemporaryDir dir;
        TJournal journal(dir.path() + QStringLiteral("/journal"), [&] { return c.When; });
        journal.Write(QString::fromUtf8(c.Line));
        EXPECT_EQ(ReadFile(dir.path() + QStringLiteral("/journal/") + QLatin1String(c.File)), c.Text) << c.Line;
    }
}

TEST(RecordsJournal, MidnightStartsTheNextDaysFileAndADayFileIsOnlyAppendedTo)
{
    QTemporaryDir dir;
    QDateTime now = At(8, 23, 59, 59, 999);
    TJournal journal(dir.path(), [&] { return now; });
    journal.Write(QStringLiteral("before"));
    now = At(9, 0, 0, 0, 0);
    journal.Write(QStringLiteral("after"));
    // The clock set back: the line's own date chooses its file.
    now = At(8, 23, 59, 59, 999);
    journal.Write(QStringLiteral("late"));
    // The next start of the program adds to the day's file.
    now = At(9, 0, 0, 1, 0);
    TJournal(dir.path(), [&] { return now; }).Write(QStringLiteral("again"));

    EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"2026-12-08.log", "2026-12-09.log"}));
    EXPECT_EQ(ReadFile(journal.PathFor(QDate(2026, 12, 8))),
        "2026-12-08T23:59:59.999+01:00 before\n2026-12-08T23:59:59.999+01:00 late\n");
    EXPECT_EQ(ReadFile(journal.PathFor(QDate(2026, 12, 9))),
        "2026-12-09T00:00:00.000+01:00 after\n2026-12-09T00:00:01.000+01:00 again\n");
}

TEST(RecordsJournal, UnwritableJournalWarnsOnceADayAndTriesAgainTheNextDay)
{
    // Tests run as root, whom file modes do not stop: a folder under a regular
    // file cannot be made, and /dev/full takes no byte.
    const struct {
        const char* Name;
        const char* Reason;
        void (*Block)(const fs::path& Root, const QString& DayFile);
        void (*Unblock)(const fs::path& Root);
    } cases[] = {
        {"folder under a regular file", "Not a directory",
            [](const fs::path& Root, const QString&) {
                fs::remove_all(Root / "state");
                std::ofstream(Root / "state") << "a file\n";
            },
            [](const fs::path& Root) { fs::remove(Root / "state"); }},
        {"disk full", "No space left on device",
            [](const fs::path&, const QString& DayFile) {
                fs::create_directories(fs::path(DayFile.toStdString()).parent_path());
                fs::create_symlink("/dev/full", DayFile.toStdString());
            },
            [](const fs::path&) {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        QTemporaryDir dir;
        const fs::path root = dir.path().toStdString();
        QDateTime now = At(8, 9, 0, 0, 0);
        TJournal journal(dir.path() + QStringLiteral("/state/journal"), [&] { return now; });
        std::vector<QString> warnings;
        journal.OnWarning = [&](const QString& Warning) { warnings.push_back(Warning); };
        const QString day8 = journal.PathFor(QDate(2026, 12, 8));

        c.Block(root, day8);
        journal.Write(QStringLiteral("one"));
        journal.Write(QStringLiteral("two"));
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_TRUE(warnings[0].startsWith(QStringLiteral("Journal not written: ") + dir.path())) << warnings[0].toStdString();
        EXPECT_TRUE(warnings[0].endsWith(QLatin1String(c.Reason))) << warnings[0].toStdString();

        // No second try that day, even once it could succeed.
        c.Unblock(root);
        now = At(8, 23, 0, 0, 0);
        journal.Write(QStringLiteral("three"));
        EXPECT_EQ(warnings.size(), 1u);
        EXPECT_FALSE(fs::is_regular_file(fs::symlink_status(day8.toStdString())));

        now = At(9, 0, 0, 0, 0);
        journal.Write(QStringLiteral("four"));
        EXPECT_EQ(warnings.size(), 1u);
        EXPECT_EQ(ReadFile(journal.PathFor(QDate(2026, 12, 9))), "2026-12-09T00:00:00.000+01:00 four\n");

        // A day that fails again warns again.
        now = At(10, 0, 0, 0, 0);
        c.Block(root, journal.PathFor(QDate(2026, 12, 10)));
        journal.Write(QStringLiteral("five"));
        EXPECT_EQ(warnings.size(), 2u);
    }
}

TEST(RecordsJournal, WordingOfTheJournalsOwnLines)
{
    TRunSettings settings;
    settings.Loop = {TLoopKind::Write, 6, 1};
    settings.Port = QStringLiteral("COM2");
    settings.Device = QStringLiteral("/dev/ttyUSB0");
    settings.ReplyTimeoutMs = 300;
    settings.Beep = false;
    settings.SearchMode = 1;
    const TLoopTotals totals{10, 1, 2, 3, 4, 5, 6, 7};
    const std::pair<QString, const char*> cases[] = {
        {JournalText::ProgramStarted(QStringLiteral("1.2")), "Orvelle 1.2 started"},
        {JournalText::ProgramEnded(QStringLiteral("1.2")), "Orvelle 1.2 ended"},
        {JournalText::PortOpened(QStringLiteral("COM1"), QStringLiteral("/dev/pts/3")), "Port COM1 opened: /dev/pts/3"},
        {JournalText::PortOpenFailed(QStringLiteral("COM3"), QStringLiteral("Permission denied")), "Port COM3 not opened: Permission denied"},
        {JournalText::LinkPanel(QStringLiteral("Un-Linked")), "Link panel: Un-Linked"},
        {JournalText::LoopStarted(settings),
            "Loop write started: block 6, stored key B, port COM2 (/dev/ttyUSB0), reply time-out 300 ms, beep off, "
            "search mode 1"},
        {JournalText::LoopStopped(settings, totals),
            "Loop write stopped: block 6, stored key B, port COM2 (/dev/ttyUSB0), reply time-out 300 ms, beep off, "
            "search mode 1; 10 cycles, 1 search failures, 2 auth failures, 3 reads, 4 read errors, 5 verify errors, "
            "6 writes, 7 write errors"},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(text.toStdString(), expected);
}

namespace {

// Every column its own figure, so a column out of place shows.
TLoopTotals Totals(int64_t Cycles) { return {Cycles, 1, 2, 3, 4, 5, 6, 7}; }

TRunSettings ReadSettings()
{
    TRunSettings settings;
    settings.Loop = {TLoopKind::Read, 5, 1};
    settings.Port = QStringLiteral("COM2");
    settings.ReplyTimeoutMs = 300;
    settings.Beep = false;
    settings.SearchMode = 1;
    return settings;
}

const char* const Header = "time,elapsed_s,cycles,search_failures,auth_failures,reads,read_errors,verify_errors,writes,write_errors\n";

} // namespace

TEST(RecordsReport, ARowEachMinuteTheLastAtFinishAndASummaryBeside)
{
    QTemporaryDir dir;
    const QDateTime start = At(8, 7, 5, 31, 250);
    QDateTime now = start;
    TRunReport report(dir.path(), ReadSettings(), [&] { return now; });
    const QString csv = dir.path() + QStringLiteral("/20261208-070531-loop-read.csv");
    EXPECT_EQ(report.CsvPath(), csv);
    EXPECT_EQ(ReadFile(csv), Header);

    // Milliseconds after the start, and the cycles counted by then. The
    // cycle that spans minutes 2 and 3 gives one row, for minute 3.
    for (const auto& [ms, cycles] : std::vector<std::pair<int, int>>{
             {1000, 1}, {59999, 60}, {60000, 61}, {61000, 62}, {185500, 186}, {190000, 190}}) {
        now = start.addMSecs(ms);
        report.Update(Totals(cycles));
    }
    now = start.addMSecs(200100);
    EXPECT_EQ(report.Finish(Totals(201)), csv);
    const std::string rows = std::string(Header)
        + "2026-12-08T07:06:31.250+01:00,60,61,1,2,3,4,5,6,7\n"
          "2026-12-08T07:08:36.750+01:00,185,186,1,2,3,4,5,6,7\n"
          "2026-12-08T07:08:51.350+01:00,200,201,1,2,3,4,5,6,7\n";
    EXPECT_EQ(ReadFile(csv), rows);

    // Once only.
    now = start.addMSecs(400000);
    EXPECT_EQ(report.Finish(Totals(400)), csv);
    EXPECT_EQ(ReadFile(csv), rows);

    EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"20261208-070531-loop-read.csv", "20261208-070531-loop-read.json"}));
    const QJsonObject summary = QJsonDocument::fromJson(QByteArray::fromStdString(ReadFile(dir.path() + QStringLiteral("/20261208-070531-loop-read.json")))).object();
    EXPECT_EQ(summary.value(QStringLiteral("kind")).toString(), QStringLiteral("loop-read"));
    EXPECT_EQ(summary.value(QStringLiteral("report")).toString(), QStringLiteral("20261208-070531-loop-read.csv"));
    EXPECT_EQ(summary.value(QStringLiteral("start")).toString(), QStringLiteral("2026-12-08T07:05:31.250+01:00"));
    EXPECT_EQ(summary.value(QStringLiteral("stop")).toString(), QStringLiteral("2026-12-08T07:08:51.350+01:00"));
    EXPECT_DOUBLE_EQ(summary.value(QStringLiteral("elapsed_s")).toDouble(), 200.1);
    EXPECT_NEAR(summary.value(QStringLiteral("cycles_per_minute")).toDouble(), 201 * 60 / 200.1, 1e-9);
    EXPECT_EQ(summary.value(QStringLiteral("settings")).toObject(),
        (QJsonObject{{QStringLiteral("block"), 5}, {QStringLiteral("key"), QStringLiteral("B")},
            {QStringLiteral("port"), QStringLiteral("COM2")}, {QStringLiteral("reply_timeout_ms"), 300},
            {QStringLiteral("beep"), false}, {QStringLiteral("search_mode"), 1}}));
    EXPECT_EQ(summary.value(QStringLiteral("totals")).toObject(),
        (QJsonObject{{QStringLiteral("cycles"), 201}, {QStringLiteral("search_failures"), 1},
            {QStringLiteral("auth_failures"), 2}, {QStringLiteral("reads"), 3}, {QStringLiteral("read_errors"), 4},
            {QStringLiteral("verify_errors"), 5}, {QStringLiteral("writes"), 6}, {QStringLiteral("write_errors"), 7}}));
}

TEST(RecordsReport, RunsStartedInTheSameSecondGetTheirOwnFiles)
{
    QTemporaryDir dir;
    TRunSettings settings = ReadSettings();
    settings.Loop.Kind = TLoopKind::Write;
    const QDateTime now = At(8, 7, 5, 31, 100);
    TRunReport first(dir.path(), settings, [&] { return now; });
    TRunReport second(dir.path(), settings, [&] { return now.addMSecs(800); });
    EXPECT_EQ(first.CsvPath(), dir.path() + QStringLiteral("/20261208-070531-loop-write.csv"));
    EXPECT_EQ(second.CsvPath(), dir.path() + QStringLiteral("/20261208-070531-loop-write-2.csv"));
    first.Finish(Totals(3));
    EXPECT_EQ(ReadFile(second.CsvPath()), Header);
    EXPECT_EQ(ReadFile(first.CsvPath()), std::string(Header) + "2026-12-08T07:05:31.100+01:00,0,3,1,2,3,4,5,6,7\n");
}

TEST(RecordsReport, AnUnwritableFolderWarnsOnceAndTheRunGoesOnUnrecorded)
{
    QTemporaryDir dir;
    std::ofstream((dir.path() + QStringLiteral("/state")).toStdString()) << "a file\n";
    QDateTime now = At(8, 7, 5, 31, 0);
    std::vector<QString> warnings;
    TRunReport report(
        dir.path() + QStringLiteral("/state/runs"), ReadSettings(), [&] { return now; },
        [&](const QString& Warning) { warnings.push_back(Warning); });
    for (int minute = 1; minute <= 3; ++minute) {
        now = now.addSecs(60);
        report.Update(Totals(minute));
    }
    EXPECT_TRUE(report.Finish(Totals(4)).isEmpty());
    EXPECT_TRUE(report.CsvPath().isEmpty());
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].toStdString(), QStringLiteral("Run report not written: %1/state/runs: Not a directory").arg(dir.path()).toStdString());
    EXPECT_EQ(FilesIn(dir.path()), std::vector<std::string>{"state"});
}

TEST(RecordsReport, AKilledProgramLeavesEveryFullMinute)
{
    QTemporaryDir dir;
    const QDateTime start = At(8, 7, 5, 31, 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        QDateTime now = start;
        TRunReport report(dir.path(), ReadSettings(), [&] { return now; });
        for (int second = 30; second <= 210; second += 30) {
            now = start.addSecs(second);
            report.Update(Totals(second));
        }
        ::raise(SIGKILL);
        ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_EQ(FilesIn(dir.path()), std::vector<std::string>{"20261208-070531-loop-read.csv"});
    EXPECT_EQ(ReadFile(dir.path() + QStringLiteral("/20261208-070531-loop-read.csv")),
        std::string(Header)
            + "2026-12-08T07:06:31.000+01:00,60,60,1,2,3,4,5,6,7\n"
              "2026-12-08T07:07:31.000+01:00,120,120,1,2,3,4,5,6,7\n"
              "2026-12-08T07:08:31.000+01:00,180,180,1,2,3,4,5,6,7\n");
}
