// The records that outlive the window: the state folder, the day-by-day
// journal (its lines, midnight, a journal that cannot be written) and the
// loop-run report (its rows a minute with their rates, the last row and the
// summary, the events file, a run that cannot be recorded, a program killed
// in the middle of a run), and a run read back for its page. Time is driven
// by an injected clock; nothing here waits.
#include "records/Journal.h"
#include "records/LoopRunFiles.h"
#include "records/RunReport.h"
#include "support/ChildProcess.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <numeric>
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
    // Tests run as root, whom file modes do not stop: a folder under a
    // regular file cannot be made; what lies at the day's name is refused
    // (SafeFile.h's rule), and nothing waits on a FIFO there.
    const struct {
        const char* Name;
        const char* Reason;
        void (*Block)(const fs::path& Root, const QString& DayFile);
        void (*Unblock)(const fs::path& Root, const QString& DayFile);
    } cases[] = {
        {"folder under a regular file", "Not a directory",
            [](const fs::path& Root, const QString&) {
                fs::remove_all(Root / "state");
                std::ofstream(Root / "state") << "a file\n";
            },
            [](const fs::path& Root, const QString&) { fs::remove(Root / "state"); }},
        {"a FIFO at the day's file", "is a FIFO, not a regular file",
            [](const fs::path&, const QString& DayFile) {
                fs::create_directories(fs::path(DayFile.toStdString()).parent_path());
                ASSERT_EQ(::mkfifo(DayFile.toLocal8Bit().constData(), 0600), 0);
            },
            [](const fs::path&, const QString& DayFile) { fs::remove(DayFile.toStdString()); }},
        {"another user's link at the day's file", "is a symbolic link of another user (uid 65534): not followed",
            [](const fs::path& Root, const QString& DayFile) {
                fs::create_directories(fs::path(DayFile.toStdString()).parent_path());
                fs::create_symlink(Root / "victim", DayFile.toStdString());
                ASSERT_EQ(::lchown(DayFile.toLocal8Bit().constData(), 65534, 65534), 0);
            },
            [](const fs::path&, const QString& DayFile) { fs::remove(DayFile.toStdString()); }},
        {"own link to another user's file", "which belongs to another user (uid 65534): not followed",
            [](const fs::path& Root, const QString& DayFile) {
                fs::create_directories(fs::path(DayFile.toStdString()).parent_path());
                fs::create_symlink(Root / "victim", DayFile.toStdString());
                ASSERT_EQ(::chown((Root / "victim").c_str(), 65534, 65534), 0);
            },
            [](const fs::path& Root, const QString& DayFile) {
                fs::remove(DayFile.toStdString());
                ASSERT_EQ(::chown((Root / "victim").c_str(), 0, 0), 0);
            }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        QTemporaryDir dir;
        const fs::path root = dir.path().toStdString();
        std::ofstream(root / "victim") << "keep\n";
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
        EXPECT_EQ(ReadFile(dir.path() + QStringLiteral("/victim")), "keep\n");

        // No second try that day, even once it could succeed.
        c.Unblock(root, day8);
        now = At(8, 23, 0, 0, 0);
        journal.Write(QStringLiteral("three"));
        EXPECT_EQ(warnings.size(), 1u);
        EXPECT_FALSE(fs::exists(fs::symlink_status(day8.toStdString())));

        now = At(9, 0, 0, 0, 0);
        journal.Write(QStringLiteral("four"));
        EXPECT_EQ(warnings.size(), 1u);
        EXPECT_EQ(ReadFile(journal.PathFor(QDate(2026, 12, 9))), "2026-12-09T00:00:00.000+01:00 four\n");

        // A day that fails again warns again: another file.
        now = At(10, 0, 0, 0, 0);
        c.Block(root, journal.PathFor(QDate(2026, 12, 10)));
        journal.Write(QStringLiteral("five"));
        EXPECT_EQ(warnings.size(), 2u);
        EXPECT_EQ(ReadFile(dir.path() + QStringLiteral("/victim")), "keep\n");
    }
}

TEST(RecordsJournal, AJournalRemovedOrRenamedIsCreatedAgainAtTheNextLine)
{
    QTemporaryDir dir;
    TJournal journal(dir.path() + QStringLiteral("/journal"), [] { return At(8, 7, 0, 0, 0); });
    std::vector<QString> warnings;
    journal.OnWarning = [&](const QString& Warning) { warnings.push_back(Warning); };
    const QString day = journal.PathFor(QDate(2026, 12, 8));
    journal.Write(QStringLiteral("one"));
    fs::remove(day.toStdString());
    journal.Write(QStringLiteral("two"));
    fs::rename(day.toStdString(), (day + QStringLiteral(".old")).toStdString());
    journal.Write(QStringLiteral("three"));
    // The whole folder cleared away.
    fs::remove_all((dir.path() + QStringLiteral("/journal")).toStdString());
    journal.Write(QStringLiteral("four"));
    EXPECT_EQ(ReadFile(day), "2026-12-08T07:00:00.000+01:00 four\n");
    journal.Write(QStringLiteral("five"));
    EXPECT_EQ(ReadFile(day), "2026-12-08T07:00:00.000+01:00 four\n2026-12-08T07:00:00.000+01:00 five\n");
    EXPECT_TRUE(warnings.empty());
}

TEST(RecordsJournal, ALineCutByAFullDiskIsNotJoinedToTheNextStartsLine)
{
    QTemporaryDir dir;
    const QString folder = dir.path() + QStringLiteral("/journal");
    const auto clock = [] { return At(8, 7, 0, 0, 0); };
    const QString day = TJournal(folder).PathFor(QDate(2026, 12, 8));
    const std::string first = "2026-12-08T07:00:00.000+01:00 Orvelle started\n";
    // Room for the first line and ten bytes of the second: a full disk.
    const std::string said = InChild(
        [&] {
            TJournal journal(folder, clock);
            std::string warnings;
            journal.OnWarning = [&](const QString& Warning) { warnings += Warning.toStdString() + "\n"; };
            journal.Write(QStringLiteral("Orvelle started"));
            journal.Write(QStringLiteral("Search card successfule!"));
            journal.Write(QStringLiteral("Search card successfule!"));
            return warnings;
        },
        rlim_t(first.size() + 10));
    EXPECT_EQ(said, "Journal not written: " + day.toStdString() + ": File too large\n");
    EXPECT_EQ(ReadFile(day), first + "2026-12-08");

    TJournal(folder, clock).Write(QStringLiteral("Orvelle started again"));
    EXPECT_EQ(ReadFile(day), first + "2026-12-08\n2026-12-08T07:00:00.000+01:00 Orvelle started again\n");
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

const char* const Header = "time,elapsed_s,cycles,search_failures,auth_failures,reads,read_errors,verify_errors,writes,write_errors,"
                           "cycles_per_min,search_fail_pct,auth_fail_pct,read_error_pct,verify_error_pct,write_error_pct\n";

// The wall clock and the steady one, moved together unless a test sets the
// wall clock apart.
struct TClocks {
    QDateTime Wall;
    qint64 Steady = 7000000; // the steady clock's zero is arbitrary
    void Advance(qint64 Ms)
    {
        Wall = Wall.addMSecs(Ms);
        Steady += Ms;
    }
};

std::unique_ptr<TRunReport> Report(const QString& Folder, TClocks& Clocks, std::vector<QString>* Warnings = nullptr,
    TRunSettings Settings = ReadSettings())
{
    return std::make_unique<TRunReport>(
        Folder, Settings, [&Clocks] { return Clocks.Wall; },
        [Warnings](const QString& Warning) {
            if (Warnings)
                Warnings->push_back(Warning);
        },
        [&Clocks] { return Clocks.Steady; });
}

QJsonObject Summary(const QString& Path) { return QJsonDocument::fromJson(QByteArray::fromStdString(ReadFile(Path))).object(); }

} // namespace

TEST(RecordsReport, ARowEachMinuteTheLastAtFinishAndASummaryBeside)
{
    QTemporaryDir dir;
    TClocks clocks{At(8, 7, 5, 31, 250)};
    const auto report = Report(dir.path(), clocks);
    const QString csv = dir.path() + QStringLiteral("/20261208-070531-loop-read.csv");
    EXPECT_EQ(report->CsvPath(), csv);
    EXPECT_EQ(ReadFile(csv), Header);

    // Milliseconds after the start, and the cycles counted by then. The
    // cycle that spans minutes 2 and 3 gives one row, for minute 3.
    qint64 at = 0;
    for (const auto& [ms, cycles] : std::vector<std::pair<int, int>>{
             {1000, 1}, {59999, 60}, {60000, 61}, {61000, 62}, {185500, 186}, {190000, 190}}) {
        clocks.Advance(ms - at);
        at = ms;
        report->Update(Totals(cycles));
    }
    clocks.Advance(200100 - at);
    EXPECT_EQ(report->Finish(Totals(201)), csv);
    const std::string rows = std::string(Header)
        + "2026-12-08T07:06:31.250+01:00,60,61,1,2,3,4,5,6,7,61.00,1.64,3.28,57.14,83.33,53.85\n"
          "2026-12-08T07:08:36.750+01:00,185,186,1,2,3,4,5,6,7,59.76,0.54,1.08,57.14,83.33,53.85\n"
          "2026-12-08T07:08:51.350+01:00,200,201,1,2,3,4,5,6,7,61.64,0.50,1.00,57.14,83.33,53.85\n";
    EXPECT_EQ(ReadFile(csv), rows);

    // Once only.
    clocks.Advance(200000);
    EXPECT_EQ(report->Finish(Totals(400)), csv);
    EXPECT_EQ(ReadFile(csv), rows);

    EXPECT_EQ(FilesIn(dir.path()), "20261208-070531-loop-read-events.csv 20261208-070531-loop-read.csv 20261208-070531-loop-read.json");
    QJsonObject summary = Summary(dir.path() + QStringLiteral("/20261208-070531-loop-read.json"));
    EXPECT_NEAR(summary.take(QStringLiteral("cycles_per_minute")).toDouble(), 201 * 60 / 200.1, 1e-9);
    EXPECT_EQ(summary, QJsonDocument::fromJson(R"({"kind": "loop-read", "report": "20261208-070531-loop-read.csv",
        "settings": {"block": 5, "key": "B", "port": "COM2", "reply_timeout_ms": 300, "beep": false, "search_mode": 1},
        "start": "2026-12-08T07:05:31.250+01:00", "stop": "2026-12-08T07:08:51.350+01:00", "elapsed_s": 200.1,
        "totals": {"cycles": 201, "search_failures": 1, "auth_failures": 2, "reads": 3, "read_errors": 4,
                   "verify_errors": 5, "writes": 6, "write_errors": 7}})")
                           .object());
}

TEST(RecordsReport, AClockSetBackOrForwardNeitherLosesNorAddsAMinute)
{
    const struct {
        const char* Name;
        qint64 JumpMs; // the wall clock's jump at 30 s into the run
        const char* Rows;
        const char* Stop;
    } cases[] = {
        {"set back two hours", -2 * 3600 * 1000,
            "2026-12-08T05:06:00.000+01:00,60,60,1,2,3,4,5,6,7,60.00,1.67,3.33,57.14,83.33,53.85\n"
            "2026-12-08T05:07:00.000+01:00,120,120,1,2,3,4,5,6,7,60.00,0.83,1.67,57.14,83.33,53.85\n"
            "2026-12-08T05:07:30.000+01:00,150,150,1,2,3,4,5,6,7,60.00,0.67,1.33,57.14,83.33,53.85\n",
            "2026-12-08T05:07:30.000+01:00"},
        {"set forward two hours", 2 * 3600 * 1000,
            "2026-12-08T09:06:00.000+01:00,60,60,1,2,3,4,5,6,7,60.00,1.67,3.33,57.14,83.33,53.85\n"
            "2026-12-08T09:07:00.000+01:00,120,120,1,2,3,4,5,6,7,60.00,0.83,1.67,57.14,83.33,53.85\n"
            "2026-12-08T09:07:30.000+01:00,150,150,1,2,3,4,5,6,7,60.00,0.67,1.33,57.14,83.33,53.85\n",
            "2026-12-08T09:07:30.000+01:00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        QTemporaryDir dir;
        TClocks clocks{At(8, 7, 5, 0, 0)};
        const auto report = Report(dir.path(), clocks);
        for (int second = 1; second <= 150; ++second) {
            clocks.Advance(1000);
            if (second == 30)
                clocks.Wall = clocks.Wall.addMSecs(c.JumpMs);
            if (second < 150)
                report->Update(Totals(second));
        }
        const QString csv = report->Finish(Totals(150));
        EXPECT_EQ(ReadFile(csv), std::string(Header) + c.Rows);
        QJsonObject summary = Summary(QString(csv).replace(QStringLiteral(".csv"), QStringLiteral(".json")));
        EXPECT_EQ(summary.value(QStringLiteral("start")).toString(), QStringLiteral("2026-12-08T07:05:00.000+01:00"));
        EXPECT_EQ(summary.value(QStringLiteral("stop")).toString(), QLatin1String(c.Stop));
        EXPECT_EQ(summary.value(QStringLiteral("elapsed_s")).toDouble(), 150.0);
        EXPECT_EQ(summary.value(QStringLiteral("cycles_per_minute")).toDouble(), 60.0);
    }
}

TEST(RecordsReport, RunsStartedInTheSameSecondGetTheirOwnFiles)
{
    QTemporaryDir dir;
    TRunSettings settings = ReadSettings();
    settings.Loop.Kind = TLoopKind::Write;
    TClocks clocks{At(8, 7, 5, 31, 100)};
    const auto first = Report(dir.path(), clocks, nullptr, settings);
    clocks.Advance(800);
    const auto second = Report(dir.path(), clocks, nullptr, settings);
    EXPECT_EQ(first->CsvPath(), dir.path() + QStringLiteral("/20261208-070531-loop-write.csv"));
    EXPECT_EQ(second->CsvPath(), dir.path() + QStringLiteral("/20261208-070531-loop-write-2.csv"));
    // A link or a FIFO laid at the next name is passed over, never written
    // through or waited on.
    fs::create_symlink((dir.path() + QStringLiteral("/victim")).toStdString(),
        (dir.path() + QStringLiteral("/20261208-070531-loop-write-3.csv")).toStdString());
    ASSERT_EQ(::mkfifo((dir.path() + QStringLiteral("/20261208-070531-loop-write-4.csv")).toLocal8Bit().constData(), 0600), 0);
    const auto third = Report(dir.path(), clocks, nullptr, settings);
    EXPECT_EQ(third->CsvPath(), dir.path() + QStringLiteral("/20261208-070531-loop-write-5.csv"));
    EXPECT_FALSE(fs::exists((dir.path() + QStringLiteral("/victim")).toStdString()));
    first->Finish(Totals(3));
    EXPECT_EQ(ReadFile(second->CsvPath()), Header);
    EXPECT_EQ(ReadFile(first->CsvPath()), std::string(Header) + "2026-12-08T07:05:31.900+01:00,0,3,1,2,3,4,5,6,7,225.00,33.33,66.67,57.14,83.33,53.85\n");
}

TEST(RecordsReport, AnUnwritableFolderWarnsOnceAndTheRunGoesOnUnrecorded)
{
    QTemporaryDir dir;
    std::ofstream((dir.path() + QStringLiteral("/state")).toStdString()) << "a file\n";
    TClocks clocks{At(8, 7, 5, 31, 0)};
    std::vector<QString> warnings;
    const auto report = Report(dir.path() + QStringLiteral("/state/runs"), clocks, &warnings);
    for (int minute = 1; minute <= 3; ++minute) {
        clocks.Advance(60000);
        report->Update(Totals(minute));
    }
    EXPECT_TRUE(report->Finish(Totals(4)).isEmpty());
    EXPECT_TRUE(report->CsvPath().isEmpty());
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].toStdString(), QStringLiteral("Report not written: %1/state/runs: Not a directory").arg(dir.path()).toStdString());
    EXPECT_EQ(report->Problem(), QStringLiteral("%1/state/runs: Not a directory").arg(dir.path()));
    EXPECT_EQ(FilesIn(dir.path()), "state");
}

TEST(RecordsReport, ASummaryThatCannotBeWrittenWholeLeavesNoPathToShow)
{
    // Each plants its obstacle at the summary's name (the victim holds
    // "keep"), or fails the commit; the CSV's rows stand, the run's report
    // is not named.
    const TCommitCalls real = CommitCalls();
    const struct {
        const char* Name;
        void (*Plant)(const std::string& Json, const std::string& Victim);
        const char* Reason;
    } cases[] = {
        {"a FIFO", [](const std::string& Json, const std::string&) { ASSERT_EQ(::mkfifo(Json.c_str(), 0600), 0); },
            "is a FIFO, not a regular file"},
        {"a folder", [](const std::string& Json, const std::string&) { fs::create_directory(Json); },
            "is a folder, not a regular file"},
        {"another user's link",
            [](const std::string& Json, const std::string& Victim) {
                fs::create_symlink(Victim, Json);
                ASSERT_EQ(::lchown(Json.c_str(), 65534, 65534), 0);
            },
            "is a symbolic link of another user (uid 65534): not followed"},
        {"own link to another user's file",
            [](const std::string& Json, const std::string& Victim) {
                fs::create_symlink(Victim, Json);
                ASSERT_EQ(::chown(Victim.c_str(), 65534, 65534), 0);
            },
            "which belongs to another user (uid 65534): not followed"},
        {"a failed sync",
            [](const std::string&, const std::string&) {
                CommitCalls().Sync = [](int) { return errno = EIO, -1; };
            },
            "Input/output error"},
        {"a failed rename",
            [](const std::string&, const std::string&) {
                CommitCalls().Rename = [](const char*, const char*) { return errno = ENOSPC, -1; };
            },
            "No space left on device"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        QTemporaryDir dir;
        const std::string victim = (dir.path() + QStringLiteral("/victim")).toStdString();
        std::ofstream(victim) << "keep";
        TClocks clocks{At(8, 7, 5, 31, 0)};
        std::vector<QString> warnings;
        const auto report = Report(dir.path() + QStringLiteral("/runs"), clocks, &warnings);
        const QString csv = report->CsvPath();
        c.Plant(QString(csv).replace(QStringLiteral(".csv"), QStringLiteral(".json")).toStdString(), victim);
        clocks.Advance(1000);
        const QString shown = report->Finish(Totals(1));
        CommitCalls() = real;
        EXPECT_TRUE(shown.isEmpty()) << shown.toStdString();
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_TRUE(warnings[0].startsWith(QStringLiteral("Report not written: ")));
        EXPECT_TRUE(warnings[0].endsWith(QLatin1String(c.Reason))) << warnings[0].toStdString();
        EXPECT_EQ(QStringLiteral("Report not written: ") + report->Problem(), warnings[0]);
        EXPECT_EQ(ReadFile(csv), std::string(Header) + "2026-12-08T07:05:32.000+01:00,1,1,1,2,3,4,5,6,7,60.00,100.00,200.00,57.14,83.33,53.85\n");
        EXPECT_EQ(ReadFile(QString::fromStdString(victim)), "keep");
        EXPECT_EQ(FilesIn(dir.path() + QStringLiteral("/runs")).find(".json."), std::string::npos) << "no file left beside it";
    }
}

TEST(RecordsReport, AFullDiskLeavesNoReportToShowAndNoHalfSummary)
{
    QTemporaryDir dir;
    // Room for the headers and a row or so of each file, not for the summary.
    const std::string said = InChild(
        [&] {
            TClocks clocks{At(8, 7, 5, 31, 0)};
            std::vector<QString> warnings;
            const auto report = Report(dir.path(), clocks, &warnings);
            clocks.Advance(1000);
            const QString shown = report->Finish(Totals(1));
            std::string text = "shown [" + shown.toStdString() + "]";
            for (const QString& warning : warnings)
                text += "\n" + warning.toStdString();
            return text;
        },
        rlim_t(std::string(Header).size() + 200));
    EXPECT_EQ(said, "shown []\nReport not written: " + dir.path().toStdString() + "/20261208-070531-loop-read.json: File too large");
    EXPECT_EQ(FilesIn(dir.path()), "20261208-070531-loop-read-events.csv 20261208-070531-loop-read.csv");
}

TEST(RecordsReport, AKilledProgramLeavesEveryFullMinute)
{
    QTemporaryDir dir;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TClocks clocks{At(8, 7, 5, 31, 0)};
        const auto report = Report(dir.path(), clocks);
        for (int second = 30; second <= 210; second += 30) {
            clocks.Advance(30000);
            report->Update(Totals(second));
        }
        ::raise(SIGKILL);
        ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_EQ(FilesIn(dir.path()), "20261208-070531-loop-read-events.csv 20261208-070531-loop-read.csv");
    EXPECT_EQ(ReadFile(dir.path() + QStringLiteral("/20261208-070531-loop-read.csv")),
        std::string(Header)
            + "2026-12-08T07:06:31.000+01:00,60,60,1,2,3,4,5,6,7,60.00,1.67,3.33,57.14,83.33,53.85\n"
              "2026-12-08T07:07:31.000+01:00,120,120,1,2,3,4,5,6,7,60.00,0.83,1.67,57.14,83.33,53.85\n"
              "2026-12-08T07:08:31.000+01:00,180,180,1,2,3,4,5,6,7,60.00,0.56,1.11,57.14,83.33,53.85\n");
}

TEST(RecordsReport, EventsOfFailedCyclesARunOfTheSameOneRowWrittenWhenItEnds)
{
    QTemporaryDir dir;
    TRunSettings settings = ReadSettings(); // block 5, stored key B
    settings.Loop.Kind = TLoopKind::Write;
    TClocks clocks{At(8, 7, 5, 31, 0)};
    const auto report = Report(dir.path(), clocks, nullptr, settings);
    const QString events = dir.path() + QStringLiteral("/20261208-070531-loop-write-events.csv");
    EXPECT_EQ(TRunReport::EventsPath(report->CsvPath()), events);
    const std::string header = "time,cycle,kind,count,detail\n";
    EXPECT_EQ(ReadFile(events), header);

    // Each cycle a second apart, with what it moved; Linked: the link panel
    // before it ended.
    const struct {
        int64_t TLoopTotals::*Moved[3];
        bool Linked;
    } cycles[] = {
        {{&TLoopTotals::Writes, &TLoopTotals::Reads}, true},
        {{&TLoopTotals::SearchFailures}, true},
        {{&TLoopTotals::SearchFailures}, true},
        {{&TLoopTotals::SearchFailures}, true},
        {{&TLoopTotals::Writes, &TLoopTotals::ReadErrors}, true},
        {{&TLoopTotals::Writes, &TLoopTotals::Reads, &TLoopTotals::VerifyErrors}, true},
        {{&TLoopTotals::Writes, &TLoopTotals::Reads}, true},
        {{&TLoopTotals::SearchFailures}, false},
        {{&TLoopTotals::SearchFailures}, false},
        {{&TLoopTotals::AuthFailures}, true},
    };
    TLoopTotals totals;
    std::vector<std::string> seen; // the file after each cycle
    for (const auto& cycle : cycles) {
        clocks.Advance(1000);
        ++totals.Cycles;
        for (int64_t TLoopTotals::*counter : cycle.Moved)
            if (counter)
                ++(totals.*counter);
        report->SetLinked(cycle.Linked);
        report->Update(totals);
        seen.push_back(ReadFile(events));
    }
    const std::string noCard = "2026-12-08T07:05:33.000+01:00,2,no-card,3,no card found\n";
    // The run of no-card is written once it ends, not before: a program
    // killed during it loses that run only.
    EXPECT_EQ(seen[3], header);
    EXPECT_EQ(seen[4], header + noCard);
    ASSERT_FALSE(report->Finish(totals).isEmpty());
    EXPECT_EQ(ReadFile(events), header + noCard + "2026-12-08T07:05:36.000+01:00,5,read,1,block 5\n"
                                                  "2026-12-08T07:05:37.000+01:00,6,verification,1,block 5 read back other data\n"
                                                  "2026-12-08T07:05:39.000+01:00,8,link,2,reader not linked\n"
                                                  "2026-12-08T07:05:41.000+01:00,10,authentication,1,sector 1 key B\n");
}

TEST(RecordsReport, MinuteRowsGiveTheRateAndPercentagesEmptyWhereNothingToDivideBy)
{
    QTemporaryDir dir;
    TClocks clocks{At(8, 7, 5, 31, 0)};
    const auto report = Report(dir.path(), clocks);
    // A read loop that never finds a card: no read was tried.
    const TLoopTotals none{30, 30, 0, 0, 0, 0, 0, 0};
    clocks.Advance(60000);
    report->Update(none);
    const QString csv = report->Finish(none);
    // The last row a moment after the first: no time to make a rate of.
    EXPECT_EQ(ReadFile(csv), std::string(Header) + "2026-12-08T07:06:31.000+01:00,60,30,30,0,0,0,0,0,0,30.00,100.00,0.00,,,\n"
                                                   "2026-12-08T07:06:31.000+01:00,60,30,30,0,0,0,0,0,0,,100.00,0.00,,,\n");
}

// A run's files read back for its page: a bar a minute row, each event's
// failed cycles in the rows their cycles fell in; the page written whole
// beside the run, or why not.
TEST(RecordsLoopRun, EventsAreCountedIntoTheMinutesTheirCyclesFellIn)
{
    QTemporaryDir dir;
    TClocks clocks{At(8, 7, 5, 31, 0)};
    auto report = Report(dir.path(), clocks);
    // 150 cycles a second apart (rows at cycles 60, 120 and 150): no card
    // from 55 to 64, a read error at 100 and at 130.
    TLoopTotals totals;
    for (int cycle = 1; cycle <= 150; ++cycle) {
        clocks.Advance(1000);
        ++totals.Cycles;
        if (cycle >= 55 && cycle <= 64)
            ++totals.SearchFailures;
        else if (cycle == 100 || cycle == 130)
            ++totals.ReadErrors;
        else
            ++totals.Reads;
        report->Update(totals);
    }
    const QString csv = report->Finish(totals);
    ASSERT_FALSE(csv.isEmpty());
    report.reset();

    for (const QString& named : {csv, csv.chopped(4), TRunReport::EventsPath(csv)}) {
        SCOPED_TRACE(named.toStdString());
        QString problem;
        const std::optional<TLoopRunData> run = ReadLoopRun(named, &problem);
        ASSERT_TRUE(run) << problem.toStdString();
        EXPECT_EQ(run->Csv, csv);
        EXPECT_EQ(run->Note, QString());
        EXPECT_EQ(run->Minutes, (QStringList{"07:06:31", "07:07:31", "07:08:01"}));
        EXPECT_EQ(run->CycleRates, (std::vector<double>{60, 60, 60}));
        ASSERT_EQ(run->FailuresByKind.size(), 6u);
        EXPECT_EQ(run->FailuresByKind[0].Name, "no-card");
        EXPECT_EQ(run->FailuresByKind[0].Values, (std::vector<double>{6, 4, 0}));
        EXPECT_EQ(run->FailuresByKind[3].Name, "read");
        EXPECT_EQ(run->FailuresByKind[3].Values, (std::vector<double>{0, 1, 1}));
        ASSERT_EQ(run->Events.size(), 3u);
        EXPECT_EQ(run->Events[0].Cycle, 55);
        EXPECT_EQ(run->Events[0].Count, 10);
        EXPECT_EQ(run->Totals.front(), (std::pair<QString, qint64>{"cycles", 150}));
    }

    const auto page = [](const TLoopRunData& Run) { return QByteArray("page of ") + Run.Csv.toUtf8(); };
    const QString html = csv.chopped(4) + ".html";
    const TLoopReportResult written = WriteLoopReport(csv, QString(), page);
    EXPECT_EQ(written.End, TLoopReportEnd::Written);
    EXPECT_EQ(written.Html, html);
    EXPECT_EQ(ReadFile(html), "page of " + csv.toStdString());

    QFile::remove(html);
    fs::create_directory(html.toStdString());
    const struct {
        const char* Name;
        QString Run;
        TLoopReportDraw Draw;
        TLoopReportEnd End;
        QString Problem;
    } failed[] = {
        {"a folder where the page goes", csv, page, TLoopReportEnd::NotWritten, html + " is a folder, not a regular file"},
        {"a page that cannot be drawn", csv, [](const TLoopRunData&) { return QByteArray(); }, TLoopReportEnd::NotWritten,
            "the report's charts cannot be drawn"},
        {"no such run", dir.filePath("none.csv"), page, TLoopReportEnd::RunUnreadable, dir.filePath("none.csv") + ": No such file or directory"},
    };
    for (const auto& f : failed) {
        SCOPED_TRACE(f.Name);
        const TLoopReportResult result = WriteLoopReport(f.Run, QString(), f.Draw);
        EXPECT_EQ(result.End, f.End);
        EXPECT_EQ(result.Html, QString());
        EXPECT_TRUE(result.Problem.endsWith(f.Problem)) << result.Problem.toStdString();
    }
}

// A page lists the first events and counts the rest; a run killed before its
// summary is read from its CSV, and the page says so.
TEST(RecordsLoopRun, TheFirstEventsListedTheRestCountedAndNoSummaryNoted)
{
    QTemporaryDir dir;
    TClocks clocks{At(8, 7, 5, 31, 0)};
    auto report = Report(dir.path(), clocks);
    // Every other cycle finds no card: each failure a row of its own.
    const int failures = LoopReportEventRows + 5;
    TLoopTotals totals;
    for (int cycle = 1; cycle <= 2 * failures; ++cycle) {
        clocks.Advance(100);
        ++totals.Cycles;
        ++(cycle % 2 ? totals.SearchFailures : totals.Reads);
        report->Update(totals);
    }
    const QString csv = report->Finish(totals);
    ASSERT_FALSE(csv.isEmpty());
    report.reset();

    for (const bool summary : {true, false}) {
        SCOPED_TRACE(summary ? "with its summary" : "without");
        if (!summary) {
            ASSERT_TRUE(QFile::remove(csv.chopped(4) + ".json"));
        }
        QString problem;
        const std::optional<TLoopRunData> run = ReadLoopRun(csv, &problem);
        ASSERT_TRUE(run) << problem.toStdString();
        EXPECT_EQ(run->Events.size(), size_t(LoopReportEventRows));
        EXPECT_EQ(run->MoreEvents, 5);
        EXPECT_EQ(run->Events.back().Cycle, 2 * LoopReportEventRows - 1);
        const std::vector<double>& noCard = run->FailuresByKind.front().Values;
        EXPECT_EQ(std::accumulate(noCard.begin(), noCard.end(), 0.0), failures) << "every failure in a bar";
        EXPECT_EQ(run->Totals[1], (std::pair<QString, qint64>{"search_failures", failures}));
        EXPECT_EQ(run->Note.isEmpty(), summary) << run->Note.toStdString();
        EXPECT_EQ(run->Stop.isEmpty(), !summary);
    }
}
