// The records that outlive the window: the state folder, the day-by-day
// journal (its lines, midnight, a journal that cannot be written) and the
// loop-run report (its rows a minute, the last row and the summary, a run
// that cannot be recorded, a program killed in the middle of a run). Time is
// driven by an injected clock; nothing here waits.
#include "records/Journal.h"
#include "records/RunReport.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

QDateTime At(int Day, int Hour, int Minute, int Second, int Ms, int OffsetSeconds = 3600, int Month = 12)
{
    return QDateTime(QDate(2026, Month, Day), QTime(Hour, Minute, Second, Ms), Qt::OffsetFromUTC, OffsetSeconds);
}

std::string ReadFile(const QString& Path)
{
    QFile file(Path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string("(none)");
}

std::string FilesIn(const QString& Folder)
{
    return QDir(Folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System, QDir::Name).join(u' ').toStdString();
}

} // namespace

TEST(RecordsState, FolderFollowsXdgStateHomeOnlyWhenAbsolute)
{
    const QByteArray oldHome = qgetenv("HOME"), oldState = qgetenv("XDG_STATE_HOME");
    qputenv("HOME", "/home/operator");
    for (const auto& [state, folder] : std::vector<std::pair<const char*, const char*>>{
             {nullptr, "/home/operator/.local/state/orvelle"},
             {"", "/home/operator/.local/state/orvelle"},
             {"state", "/home/operator/.local/state/orvelle"},
             {"/var/lib/operator/", "/var/lib/operator/orvelle"}}) {
        state ? qputenv("XDG_STATE_HOME", state) : qunsetenv("XDG_STATE_HOME");
        EXPECT_EQ(StateDirectory().toStdString(), folder) << (state ? state : "(unset)");
    }
    EXPECT_EQ(JournalDirectory().toStdString(), "/var/lib/operator/orvelle/journal");
    EXPECT_EQ(RunsDirectory().toStdString(), "/var/lib/operator/orvelle/runs");
    qputenv("HOME", oldHome);
    oldState.isNull() ? qunsetenv("XDG_STATE_HOME") : qputenv("XDG_STATE_HOME", oldState);
}

TEST(RecordsJournal, LinesCarryTheirLocalTimeWithItsOffset)
{
    const struct {
        QDateTime When;
        const char *Line, *File, *Text;
    } cases[] = {
        {At(8, 7, 5, 31, 123), "Search card successfule!", "2026-12-08.log",
            "2026-12-08T07:05:31.123+01:00 Search card successfule!\n"},
        {QDateTime(QDate(2026, 3, 29), QTime(1, 0), Qt::UTC), "Linked", "2026-03-29.log",
            "2026-03-29T01:00:00.000+00:00 Linked\n"},
        // Each line of a text gets its own stamp, as the log shows it a line each.
        {At(1, 23, 59, 59, 7, -(5 * 3600 + 1800), 7), "first\nsecond", "2026-07-01.log",
            "2026-07-01T23:59:59.007-05:30 first\n2026-07-01T23:59:59.007-05:30 second\n"},
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

    EXPECT_EQ(FilesIn(dir.path()), "2026-12-08.log 2026-12-09.log");
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

    EXPECT_EQ(FilesIn(dir.path()), "20261208-070531-loop-read.csv 20261208-070531-loop-read.json");
    QJsonObject summary = QJsonDocument::fromJson(QByteArray::fromStdString(ReadFile(dir.path() + QStringLiteral("/20261208-070531-loop-read.json")))).object();
    EXPECT_NEAR(summary.take(QStringLiteral("cycles_per_minute")).toDouble(), 201 * 60 / 200.1, 1e-9);
    EXPECT_EQ(summary, QJsonDocument::fromJson(R"({"kind": "loop-read", "report": "20261208-070531-loop-read.csv",
        "settings": {"block": 5, "key": "B", "port": "COM2", "reply_timeout_ms": 300, "beep": false, "search_mode": 1},
        "start": "2026-12-08T07:05:31.250+01:00", "stop": "2026-12-08T07:08:51.350+01:00", "elapsed_s": 200.1,
        "totals": {"cycles": 201, "search_failures": 1, "auth_failures": 2, "reads": 3, "read_errors": 4,
                   "verify_errors": 5, "writes": 6, "write_errors": 7}})")
                           .object());
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
    EXPECT_EQ(FilesIn(dir.path()), "state");

    // A summary that cannot be written warns too; the finished CSV stands.
    warnings.clear();
    TRunReport summaryless(
        dir.path(), ReadSettings(), [&] { return now; },
        [&](const QString& Warning) { warnings.push_back(Warning); });
    const QString summarylessCsv = summaryless.CsvPath();
    fs::create_directory(QString(summarylessCsv).replace(QStringLiteral(".csv"), QStringLiteral(".json")).toStdString());
    EXPECT_EQ(summaryless.Finish(Totals(1)), summarylessCsv);
    EXPECT_EQ(ReadFile(summarylessCsv), std::string(Header) + "2026-12-08T07:08:31.000+01:00,0,1,1,2,3,4,5,6,7\n");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(warnings[0].startsWith(QStringLiteral("Run report not written: %1/20261208-070831-loop-read.json").arg(dir.path())))
        << warnings[0].toStdString();
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
    EXPECT_EQ(FilesIn(dir.path()), "20261208-070531-loop-read.csv");
    EXPECT_EQ(ReadFile(dir.path() + QStringLiteral("/20261208-070531-loop-read.csv")),
        std::string(Header)
            + "2026-12-08T07:06:31.000+01:00,60,60,1,2,3,4,5,6,7\n"
              "2026-12-08T07:07:31.000+01:00,120,120,1,2,3,4,5,6,7\n"
              "2026-12-08T07:08:31.000+01:00,180,180,1,2,3,4,5,6,7\n");
}
