// The orvelle-card program, run as a child process against the simulator
// (loaded with the fixture card of mixed keys and access conditions) through
// a private port map: exit statuses, the key map as JSON, a read compared
// back, what a compare and a write claim, trailers refused without a
// terminal and asked on one, a signal or a closed pipe during a write, one
// JSON document on every exit, results that cannot be written, and files
// whose control characters a message must not pass on, a loop run's page;
// and, in the process, every row of the command table in the usage and the
// parser.
#include "app/Version.h"
#include "cardtool/CardCommandLine.h"
#include "cardtool/Commands.h"
#include "protocol/AccessConditions.h"
#include "protocol/DumpFile.h"
#include "protocol/KeyFile.h"
#include "records/RunReport.h"
#include "serial/PortName.h"
#include "sim/SimServer.h"
#include "support/ChildProcess.h"
#include "support/PrivateHome.h"
#include "support/PtyPeer.h"
#include "support/TestPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

extern char** environ;

namespace {

struct TRun {
    int Exit = -1;
    QString Out;
    QString Err;
    QJsonObject Json() const { return QJsonDocument::fromJson(Out.toUtf8()).object(); }
};

// Standard output is exactly one JSON object.
::testing::AssertionResult OneJsonObject(const QString& Out)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(Out.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return ::testing::AssertionFailure() << error.errorString().toStdString() << " in: " << Out.toStdString();
    return ::testing::AssertionSuccess();
}

// No control character but the line ends.
bool NoControls(const QString& Text)
{
    return std::none_of(Text.begin(), Text.end(), [](QChar C) { return C != u'\n' && (C.unicode() < 0x20 || C.unicode() == 0x7F); });
}

QString Program() { return QCoreApplication::applicationDirPath() + "/../orvelle-card"; }

QJsonObject Sector(const QJsonObject& Json, int Number) { return Json["sectors"].toArray().at(Number).toObject(); }

class CardToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(Sim.LoadDump(TestData("mixed-card.txt"), &error)) << error;
        Ports.Map(1, Sim.DevicePath());
        ASSERT_TRUE(Dir.isValid());
    }

    // Runs orvelle-card with Args (a generous reply time-out first, for a
    // shared machine), standard input at its end at once.
    TRun Card(QStringList Args, const std::function<void(qint64)>& Started = nullptr)
    {
        Args.prepend(QStringLiteral("--timeout=3000"));
        return CardRaw(Args, Started);
    }
    TRun CardRaw(const QStringList& Args, const std::function<void(qint64)>& Started = nullptr)
    {
        QProcess process;
        process.setProcessEnvironment(QProcessEnvironment::systemEnvironment()); // the private port map
        process.start(Program(), Args);
        EXPECT_TRUE(process.waitForStarted(60000));
        process.closeWriteChannel();
        if (Started)
            Started(process.processId());
        EXPECT_TRUE(process.waitForFinished(600000)) << Args.join(' ').toStdString();
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
    }

    // Runs orvelle-card with standard input on a terminal, on which
    // TypedAhead is typed before it starts. At each trailer question (1, 2,
    // ...) Answer gives what the operator types, or nothing for SIGTERM.
    TRun CardOnTerminal(QStringList Args, const QByteArray& TypedAhead, const std::function<QByteArray(int)>& Answer)
    {
        PtyPeer terminal;
        if (!TypedAhead.isEmpty())
            terminal.Write(std::vector<uint8_t>(TypedAhead.begin(), TypedAhead.end()));
        Args.prepend(QStringLiteral("--timeout=3000"));
        QProcess process;
        process.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
        process.setStandardInputFile(QString::fromStdString(terminal.SlavePath()));
        process.start(QCoreApplication::applicationDirPath() + "/../orvelle-card", Args);
        EXPECT_TRUE(process.waitForStarted(60000));
        TRun run;
        int asked = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(10);
        while (!process.waitForFinished(20) && std::chrono::steady_clock::now() < deadline) {
            run.Err += QString::fromUtf8(process.readAllStandardError());
            if (run.Err.count(QStringLiteral("Write the trailer of sector")) == asked)
                continue;
            const QByteArray typed = Answer(++asked);
            if (typed.isEmpty())
                ::kill(pid_t(process.processId()), SIGTERM);
            else
                terminal.Write(std::vector<uint8_t>(typed.begin(), typed.end()));
        }
        EXPECT_EQ(process.state(), QProcess::NotRunning) << Args.join(' ').toStdString();
        run.Exit = process.exitCode();
        run.Out = QString::fromUtf8(process.readAllStandardOutput());
        run.Err += QString::fromUtf8(process.readAllStandardError());
        return run;
    }

    // Runs orvelle-card as a shell starts it (every signal's action the
    // default), standard output into the file OutPath, standard error into a
    // pipe; with CloseAfter, the test stops reading and closes the pipe once
    // that came Times times, as "| head" does. A process killed by a signal
    // exits as the shell says it: 128 + the signal.
    TRun CardPiped(const QStringList& Args, const QString& OutPath, const std::string& CloseAfter = {}, int Times = 1)
    {
        int pipe[2];
        EXPECT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
        const int out = ::open(OutPath.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_GE(out, 0) << OutPath.toStdString();
        std::vector<std::string> words{Program().toStdString(), "--timeout=3000"};
        for (const QString& arg : Args)
            words.push_back(arg.toStdString());
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&files, out, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&files, pipe[1], STDERR_FILENO);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t all;
        sigset_t none;
        sigfillset(&all);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        pid_t pid = -1;
        EXPECT_EQ(::posix_spawn(&pid, argv[0], &files, &attributes, argv.data(), environ), 0);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&files);
        ::close(out);
        ::close(pipe[1]);

        std::string err;
        char chunk[4096];
        const auto seen = [&] {
            int n = 0;
            for (size_t at = err.find(CloseAfter); at != std::string::npos; at = err.find(CloseAfter, at + 1))
                ++n;
            return n;
        };
        for (;;) {
            const ssize_t n = ::read(pipe[0], chunk, sizeof chunk);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            err.append(chunk, size_t(n));
            if (!CloseAfter.empty() && seen() >= Times)
                break;
        }
        ::close(pipe[0]);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        QFile file(OutPath); // not a device such as /dev/full, which reads as endless zeros
        const bool regular = QFileInfo(OutPath).isFile() && file.open(QIODevice::ReadOnly);
        const QString written = regular ? QString::fromUtf8(file.readAll()) : QString();
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), written, QString::fromStdString(err)};
    }

    QString Path(const char* Name) const { return Dir.filePath(QString::fromLatin1(Name)); }
    void Write(const char* Name, const QByteArray& Content) const
    {
        QFile file(Path(Name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(Content);
    }
    TDumpImage Fixture() const
    {
        TFileError error;
        return *ReadDumpFile(TestData("mixed-card.txt"), error);
    }
    void WriteDump(const char* Name, const TDumpImage& Dump) const
    {
        std::string error;
        ASSERT_TRUE(WriteDumpFile(Path(Name).toStdString(), Dump, TDumpFormat::Text, error)) << error;
    }

    TPrivateHome Ports;
    sim::TSimServer Sim;
    QTemporaryDir Dir;
};

TEST_F(CardToolTest, UsageAndBadFilesExitTwoWithNothingSent)
{
    Write("bad.keys", "FFFFFFFFFFFF\n# ours\nA0A1A2A3A4\n");
    Write("bad.csv", "number,block 4\n1001,not hex\n");
    QFile fixture(QString::fromStdString(TestData("mixed-card.txt")));
    ASSERT_TRUE(fixture.open(QIODevice::ReadOnly));
    QList<QByteArray> lines = fixture.readAll().split('\n');
    lines[2] = "02C0DE0000000000000000000000000"; // 31 digits
    Write("bad-dump.txt", lines.join('\n'));
    Write("card4k.bin", QByteArray(4096, '\x01'));
    Write("bad.map", "0 FFFFFFFFFFFF -\n16 FFFFFFFFFFFF -\n");
    TDumpImage locking = Fixture();
    SetAccess(locking.Data[27], {0b000, 0b000, 0b000, 0b110});
    WriteDump("locking.txt", locking);
    const QString locks = "--trailers: sector 6: after this no key can change this sector's access bits; after this no key can "
                          "change this sector's keys: give --permanent if this is meant";
    const struct {
        QStringList Args;
        int Exit;
        QString Says; // in standard output or error
    } cases[] = {
        {{}, 2, "no command"},
        {{"frob"}, 2, "unknown command 'frob'"},
        {{"read"}, 2, "read needs a dump FILE"},
        {{"keys", "more"}, 2, "unexpected argument 'more'"},
        {{"diff", Path("x.txt"), "--trailers"}, 2, "--trailers belongs to write and batch only"},
        {{"keys", "--data", Path("x.csv")}, 2, "--data belongs to batch only"},
        {{"ledger", "--port", "COM1"}, 2, "--port belongs to the commands that use a reader only"},
        {{"batch"}, 2, "batch needs TEMPLATE"},
        {{"batch", QString::fromStdString(TestData("mixed-card.txt")), "--count", "0"}, 2, "--count takes a number of cards from 1"},
        {{"batch", QString::fromStdString(TestData("mixed-card.txt")), "--trailers", "--approve-trailers", "12ab"}, 2,
            "--approve-trailers takes a SHA-256 of 64 hex digits, not '12ab'"},
        {{"batch", QString::fromStdString(TestData("mixed-card.txt")), "--approve-trailers", QString(64, QLatin1Char('a'))}, 2,
            "--approve-trailers approves the trailers --trailers writes: give both"},
        {{"batch", QString::fromStdString(TestData("mixed-card.txt")), "--data", Path("bad.csv")}, 2, Path("bad.csv") + ":2: column 2:"},
        {{"write", Path("locking.txt"), "--trailers", "--yes"}, 2, locks},
        {{"--json", "batch", Path("locking.txt"), "--trailers", "--yes"}, 2, locks},
        {{"write", Path("locking.txt"), "--permanent"}, 2, "--permanent lets --trailers write a trailer that locks for good: give both"},
        {{"diff", Path("locking.txt"), "--permanent"}, 2, "--permanent belongs to write and batch only"},
        {{"ledger", "--ledger", Dir.path()}, 5, "the ledger cannot be opened"},
        {{"batch", QString::fromStdString(TestData("mixed-card.txt")), "--ledger", Path("none/l.sqlite")}, 5,
            "the folder " + Path("none") + " does not exist: create it first"},
        {{"ledger", "--ledger", "postgresql://nobody@127.0.0.1:1/none"}, 5, ": start the server, or check the address"},
        {{"--port", "LPT1", "keys"}, 2, "unknown port 'LPT1'"},
        {{"--timeout", "5", "keys"}, 2, "--timeout takes 50 to 60000"},
        {{"--bogus", "keys"}, 2, "bogus"},
        {{"--keys", Path("none.keys"), "keys"}, 2, Path("none.keys")},
        {{"--keys", Path("bad.keys"), "keys"}, 2, Path("bad.keys") + ":3:"},
        {{"write", Path("bad-dump.txt")}, 2, Path("bad-dump.txt") + ":3:"},
        {{"diff", Path("none.txt")}, 2, Path("none.txt")},
        {{"write", Path("card4k.bin")}, 2, Path("card4k.bin") + ": a 4K card's dump: Orvelle works with 1K cards"},
        {{"--map", Path("bad.map"), "keys"}, 2, Path("bad.map") + ":2: not a sector of a 1K card (0 to 15): 16"},
        {{"--map", Path("none.map"), "read", Path("x.txt")}, 2, Path("none.map")},
        {{"ledger", "--map", Path("bad.map")}, 2, "--map belongs to the commands that use a reader and ports only"},
        {{"ledger", "--probe"}, 2, "--probe belongs to ports only"},
        {{"ports", "--map", "LPT1", "/dev/null"}, 2, "--map takes a COM name, COM1, COM2 ..., not 'LPT1'"},
        {{"ports", "--map", "COM1"}, 2, "ports --map COMn needs exactly one PATH, the device to link."},
        {{"ports", "--probe", "--map", "COM1", "/dev/null"}, 2, "--map links a port and probes none: give it without --probe."},
        {{"diff", Path("x.txt"), "--save", Path("x.map")}, 2, "--save belongs to keys only"},
        {{"keys", "--save", Path("no/folder/x.map")}, 2, Path("no/folder")},
        {{"keys", "--format", "bin"}, 2, "--format belongs to keys only with --save"},
        {{"keys", "--save", Path("x.map"), "--format", "json"}, 2, "a key map is saved as bin or text, not json"},
        {{"read", Path("x.txt"), "--format", "xml"}, 2, "--format takes bin, text, eml or json, not 'xml'"},
        {{"read", Path("no/folder/x.txt")}, 2, Path("no/folder")},
        {{"--help"}, 0, "  4  no card in the reader's field\n"},
        {{"--version"}, 0, QStringLiteral("orvelle-card %1\n").arg(OrvelleVersion)},
    };
    for (const auto& c : cases) {
        const TRun run = CardRaw(c.Args);
        EXPECT_EQ(run.Exit, c.Exit) << c.Args.join(' ').toStdString();
        EXPECT_TRUE((run.Out + run.Err).contains(c.Says)) << run.Out.toStdString() << run.Err.toStdString();
    }
    EXPECT_TRUE(Sim.Requests().empty());
}

// Each command of the table is in --help and taken by the parser; each option
// is named in --help, taken by the commands it belongs to and refused by the
// others with where it belongs.
TEST(CardCommandTable, EveryRowIsInTheUsageAndEveryOptionBelongsWhereItsRowsSay)
{
    const QString usage = CardUsage();
    const std::span<const TCardCommand> commands = CardCommands();
    for (const TCardOption& option : CardOptionTable()) {
        const QString name = QLatin1String(option.Name);
        EXPECT_TRUE(usage.contains("\n  --" + name + (option.Value ? QLatin1String(" ") : QLatin1String(""))) || usage.contains(", --" + name))
            << option.Name;
        QStringList listedBy;
        for (const TCardCommand& command : commands) {
            if (std::any_of(command.Options.begin(), command.Options.end(), [&](const char* N) { return name == QLatin1String(N); }))
                listedBy << QLatin1String(command.Name);
        }
        // A reader's option may be listed by a command without a reader too.
        EXPECT_TRUE(option.Scope == TCardOption::Reader || (option.Scope == TCardOption::Listed) == !listedBy.isEmpty()) << option.Name;
        if (option.Scope == TCardOption::Everywhere)
            continue;
        for (const TCardCommand& command : commands) {
            SCOPED_TRACE(std::string(command.Name) + " --" + option.Name);
            QStringList args{"orvelle-card", QLatin1String(command.Name)};
            if (command.Operand != TCardOperand::None)
                args << "x.txt";
            args << "--" + name;
            if (option.Value)
                args << "x";
            const TCardOptions parsed = ParseCardCommandLine(args);
            const bool belongs = (option.Scope == TCardOption::Reader && command.UsesReader) || listedBy.contains(QLatin1String(command.Name));
            const QString where = option.Scope == TCardOption::Reader ? QStringList(QStringList{"the commands that use a reader"} + listedBy).join(" and ") : listedBy.join(" and ");
            const QString refused = "--" + name + " belongs to " + where + " only.";
            if (belongs)
                EXPECT_NE(parsed.Why, refused);
            else
                EXPECT_EQ(parsed.Why, refused);
        }
    }
    for (const TCardCommand& command : commands) {
        SCOPED_TRACE(command.Name);
        EXPECT_TRUE(usage.contains("\n  " + QLatin1String(command.Name) + (command.Operand == TCardOperand::None ? " [" : " ")));
        for (const char* option : command.Options)
            EXPECT_TRUE(std::any_of(CardOptionTable().begin(), CardOptionTable().end(), [&](const TCardOption& O) { return qstrcmp(O.Name, option) == 0; }))
                << option;
        QStringList args{"orvelle-card", QLatin1String(command.Name)};
        if (command.Operand != TCardOperand::None)
            args << "x.txt";
        const TCardOptions parsed = ParseCardCommandLine(args);
        EXPECT_EQ(parsed.Action, TCardOptions::Run) << parsed.Why.toStdString();
        EXPECT_EQ(parsed.Command, &command);
    }
}

TEST_F(CardToolTest, NoPortOrASilentReaderExitsThree)
{
    PtyPeer silent;
    Ports.Map(2, Path("nothing").toStdString());
    // Another program (this test) holds a terminal by its lock.
    PtyPeer held;
    const int holder = ::open(held.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    const struct {
        QString Port;
        QString Says;
    } cases[] = {
        // Which device, why, and the next step.
        {"COM2", "cannot open COM2 (" + Path("nothing") + "): " + QString::fromStdString(std::make_error_code(std::errc::no_such_file_or_directory).message()) + "; see orvelle-card ports"},
        {QString::fromStdString(silent.SlavePath()),
            "the reader on " + QString::fromStdString(silent.SlavePath())
                + " does not answer; check the reader's power and cable, and the port map (orvelle-card ports --probe)"},
        {QString::fromStdString(held.SlavePath()),
            QStringLiteral("cannot open %1: %2, held by pid %3 (test_cardtool); close the other program")
                .arg(QString::fromStdString(held.SlavePath()),
                    QString::fromStdString(std::make_error_code(std::errc::device_or_resource_busy).message()))
                .arg(::getpid())},
    };
    for (const auto& c : cases) {
        const TRun run = Card({"--port", c.Port, "keys"});
        EXPECT_EQ(run.Exit, 3) << c.Port.toStdString();
        EXPECT_TRUE(run.Err.contains(c.Says)) << run.Err.toStdString();
        EXPECT_TRUE(run.Out.isEmpty());
    }
    ::close(holder);
    EXPECT_TRUE(Sim.Requests().empty());
}

TEST_F(CardToolTest, KeysAsJsonMapTheFixtureAndAKeyFileFillsTheGap)
{
    TRun run = Card({"--json", "keys"});
    EXPECT_EQ(run.Exit, 1) << "sector 3 has no key in the built-in list";
    EXPECT_TRUE(run.Err.contains("map keys: sector 15 (16 of 16)\n")) << run.Err.toStdString();
    QJsonObject json = run.Json();
    EXPECT_EQ(json["command"].toString(), "keys");
    EXPECT_EQ(json["serial"].toString(), "12345678");
    EXPECT_EQ(json["exit"], 1);
    EXPECT_FALSE(json["interrupted"].toBool());
    ASSERT_EQ(json["sectors"].toArray().size(), 16);
    const QString ff = "FFFFFFFFFFFF";
    const QJsonValue none = QJsonValue::Null;
    const struct {
        QJsonValue KeyA, KeyB;
        QString Result;
    } expected[16] = {{ff, none, "done"}, {"A0A1A2A3A4A5", "B0B1B2B3B4B5", "done"}, {"D3F7D3F7D3F7", none, "done"},
        {none, none, "no key"}, {ff, "AABBCCDDEEFF", "done"}, {ff, "4D3A99C351DD", "done"}, {ff, none, "done"},
        {ff, none, "done"}, {ff, none, "done"}, {ff, none, "done"}, {ff, none, "done"}, {ff, none, "done"},
        {ff, none, "done"}, {ff, none, "done"}, {ff, none, "done"}, {"8FD0A4F256E9", "8FD0A4F256E9", "done"}};
    for (int s = 0; s < 16; ++s) {
        const QJsonObject sector = Sector(json, s);
        EXPECT_EQ(sector["sector"].toInt(), s);
        EXPECT_EQ(sector["keyA"], expected[s].KeyA) << s;
        EXPECT_EQ(sector["keyB"], expected[s].KeyB) << s;
        EXPECT_EQ(sector["result"].toString(), expected[s].Result) << s;
        EXPECT_EQ(sector["blocks"].toArray(), QJsonArray()) << s;
    }

    // Written by an editor that starts a file with a byte-order mark.
    Write("ours.keys", "\xEF\xBB\xBF# the plant's keys\r\nffffffffffff\r\n112233445566  # sector 3\r\n");
    run = Card({"--keys", Path("ours.keys"), "--json", "keys"});
    EXPECT_EQ(run.Exit, 0) << run.Err.toStdString();
    EXPECT_EQ(run.Json()["exit"], 0);
    EXPECT_EQ(Sector(run.Json(), 3)["keyA"].toString(), "112233445566");
    EXPECT_EQ(Sector(run.Json(), 3)["keyB"].toString(), "112233445566");
}

TEST_F(CardToolTest, BuiltInKeysCanBeLeftOutAndEveryJobIsJournalled)
{
    TRun run = Card({"--no-builtin-keys", "keys"});
    EXPECT_EQ(run.Exit, 2);
    EXPECT_TRUE(run.Err.contains("No keys to try")) << run.Err.toStdString();
    EXPECT_TRUE(Sim.Requests().empty());

    Write("ours.keys", "ffffffffffff\n112233445566\n");
    run = Card({"--no-builtin-keys", "--keys", Path("ours.keys"), "--json", "keys"});
    EXPECT_EQ(run.Exit, 1);
    for (const int s : {1, 2, 15})
        EXPECT_EQ(Sector(run.Json(), s)["result"].toString(), "no key") << s;
    for (const int s : {0, 3, 4, 14})
        EXPECT_EQ(Sector(run.Json(), s)["result"].toString(), "done") << s;

    run = Card({"--keys", Path("ours.keys"), "read", Path("card.txt")});
    EXPECT_EQ(run.Exit, 1) << "sector 4 read denied";

    // The window's journal, a line for each job with the port it ran on.
    QString journal;
    const QDir folder(QString::fromStdString(Ports.StateFolder()) + "/journal");
    for (const QString& day : folder.entryList({"*.log"}, QDir::Files, QDir::Name)) {
        QFile file(folder.filePath(day));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        journal += QString::fromUtf8(file.readAll());
    }
    const QString port = QStringLiteral(" (port COM1: %1)\n").arg(QString::fromStdString(Sim.DevicePath()));
    // A usage error sends nothing and records nothing.
    EXPECT_EQ(journal.count(QRegularExpression(" orvelle-card \\S+ started \\(process \\d+\\)\n")), 2) << journal.toStdString();
    EXPECT_EQ(journal.count(" orvelle-card " + QLatin1String(OrvelleVersion) + " ended\n"), 2);
    EXPECT_EQ(journal.count("Map keys (card 12345678): 13 sectors done, sectors 1, 2, 15 no key" + port), 1) << journal.toStdString();
    // A read maps as it reads: no line of a map of its own.
    EXPECT_EQ(journal.count("Map keys (card 12345678): "), 1);
    EXPECT_EQ(journal.count("Read card (card 12345678, dump " + Path("card.txt") + "): 15 sectors done, sector 4 read denied" + port), 1);
}

TEST_F(CardToolTest, AReadComparesEqualUntilABlockChanges)
{
    TRun run = Card({"read", Path("card.txt")});
    EXPECT_EQ(run.Exit, 1) << "sector 3 no key, sector 4 read denied";
    EXPECT_TRUE(run.Out.startsWith("card 12345678\n")) << run.Out.toStdString();
    EXPECT_TRUE(run.Out.contains(QRegularExpression("\n +4  FFFFFFFFFFFF  AABBCCDDEEFF +read denied +18\n")))
        << run.Out.toStdString();
    // Key B as the card window shows it: what the trailer let key A read,
    // marked as no key; "-" where nothing is known.
    EXPECT_TRUE(run.Out.contains("\n     2  D3F7D3F7D3F7  0123456789AB (readable)  done\n")) << run.Out.toStdString();
    EXPECT_TRUE(run.Out.contains(QRegularExpression("\n +3  - +- +no key\n"))) << run.Out.toStdString();
    // Progress numbers the sectors as the table does.
    EXPECT_TRUE(run.Err.contains("read: sector 0 (1 of 16)\n")) << run.Err.toStdString();
    EXPECT_TRUE(run.Err.contains("read: sector 15 (16 of 16)\n"));
    TFileError error;
    const std::optional<TDumpImage> read = ReadDumpFile(Path("card.txt").toStdString(), error);
    ASSERT_TRUE(read) << error.Text();
    for (int block : {1, 5, 20, 62})
        EXPECT_EQ(read->Data[size_t(block)], Sim.Block(block)) << block;
    EXPECT_FALSE(read->BlockKnown(13));
    EXPECT_TRUE(read->BlockKnown(16)) << "by key B";
    EXPECT_FALSE(read->BlockKnown(18));

    run = Card({"diff", Path("card.txt")});
    EXPECT_EQ(run.Exit, 0) << run.Out.toStdString();
    EXPECT_TRUE(run.Out.startsWith("card 12345678, dump " + Path("card.txt") + "\n")) << run.Out.toStdString();
    EXPECT_TRUE(run.Out.endsWith("\ncard and dump agree\n"));

    Sim.SetBlock(5, TBlockData{0x55});
    run = Card({"--json", "diff", Path("card.txt")});
    EXPECT_EQ(run.Exit, 1);
    const QJsonObject json = run.Json();
    EXPECT_EQ(json["serial"].toString(), "12345678");
    EXPECT_EQ(json["dump"].toString(), Path("card.txt"));
    EXPECT_EQ(json["differ"].toArray(), QJsonArray({5}));
    EXPECT_EQ(Sector(json, 1)["differing"].toArray(), QJsonArray({5}));
    EXPECT_FALSE(json["agree"].toBool());
    EXPECT_EQ(json["known"].toInt(), 59);
    EXPECT_EQ(json["compared"].toInt(), 59);
    EXPECT_EQ(json["notCompared"].toArray(), QJsonArray());

    // The binary form cannot say "unknown": nothing is saved.
    run = Card({"read", Path("card.bin")});
    EXPECT_EQ(run.Exit, 1);
    EXPECT_FALSE(QFile::exists(Path("card.bin")));
    EXPECT_TRUE(run.Err.contains(Path("card.bin") + ": blocks 12, 13, 14, 15, 18 are not fully known: save as text to keep the unknowns"))
        << run.Err.toStdString();
    // Nor in the JSON form, which --format asks for whatever the name.
    run = Card({"read", Path("card.out"), "--format", "json"});
    EXPECT_EQ(run.Exit, 1);
    EXPECT_FALSE(QFile::exists(Path("card.out")));
    EXPECT_TRUE(run.Err.contains(Path("card.out") + ": blocks 12, 13, 14, 15, 18 are not fully known")) << run.Err.toStdString();
}

TEST_F(CardToolTest, AKeyMapSavedIsWhereTheNextMappingStarts)
{
    // Forty wrong keys before the one of sector 3: a saved map spares them.
    QByteArray keys;
    for (int i = 0; i < 40; ++i)
        keys += QByteArray::number(0x100000000000LL + i, 16).toUpper() + "\n";
    Write("many.keys", keys + "112233445566\n");
    const auto authentications = [&] {
        const auto requests = Sim.Requests();
        return std::count_if(requests.begin(), requests.end(), [](const std::vector<uint8_t>& R) { return R.size() > 1 && R[1] == 0x05; });
    };
    const auto content = [&](const char* Name) {
        QFile file(Path(Name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
    };
    TRun run = Card({"--keys", Path("many.keys"), "keys", "--save", Path("plant.map")});
    ASSERT_EQ(run.Exit, 0) << run.Err.toStdString();
    const auto withoutMap = authentications();
    // A key B that key A reads is saved as the trailer showed it.
    const QByteArray map = content("plant.map");
    EXPECT_TRUE(map.startsWith("0 FFFFFFFFFFFF FFFFFFFFFFFF\n1 A0A1A2A3A4A5 B0B1B2B3B4B5\n2 D3F7D3F7D3F7 0123456789AB\n"
                               "3 112233445566 112233445566\n4 FFFFFFFFFFFF AABBCCDDEEFF\n"))
        << map.toStdString();
    EXPECT_TRUE(map.endsWith("\n15 8FD0A4F256E9 8FD0A4F256E9\n"));

    // From the map: one authentication for each key the mapping looks for
    // (both keys of sectors 1, 3, 4, 5 and 15, key A of the others).
    Sim.ClearRequests();
    run = Card({"--keys", Path("many.keys"), "--map", Path("plant.map"), "--json", "keys", "--save", Path("plant.bin")});
    ASSERT_EQ(run.Exit, 0) << run.Err.toStdString();
    EXPECT_EQ(authentications(), 21) << "without the map: " << withoutMap;
    EXPECT_GT(withoutMap, 40);
    EXPECT_EQ(Sector(run.Json(), 3)["keyA"].toString(), "112233445566");
    // The binary form of the same map.
    TFileError error;
    EXPECT_EQ(content("plant.bin").size(), 192);
    EXPECT_EQ(ReadKeyMapFile(Path("plant.bin").toStdString(), error), ReadKeyMapFile(Path("plant.map").toStdString(), error));

    // A key of the map that no longer opens its sector is looked for again.
    Write("stale.map", QByteArray(map).replace("3 112233445566 ", "3 5A5A5A5A5A5A "));
    Sim.ClearRequests();
    run = Card({"--keys", Path("many.keys"), "--map", Path("stale.map"), "--json", "keys"});
    ASSERT_EQ(run.Exit, 0) << run.Err.toStdString();
    EXPECT_EQ(Sector(run.Json(), 3)["keyA"].toString(), "112233445566");
    EXPECT_EQ(Sector(run.Json(), 3)["result"].toString(), "done");
    EXPECT_GT(authentications(), 22);

    // The binary form cannot say "unknown": a map that lacks a key is not saved in it.
    Write("ff.keys", "FFFFFFFFFFFF\n");
    run = Card({"--no-builtin-keys", "--keys", Path("ff.keys"), "keys", "--save", Path("part.bin")});
    EXPECT_EQ(run.Exit, 1);
    EXPECT_TRUE(run.Err.contains(Path("part.bin") + ": sectors 1, 2, 3, 4, 5, 15 have keys not known: save the map as text to keep the "
                                                    "unknowns: "
        + Path("part.bin") + " not written"))
        << run.Err.toStdString();
    EXPECT_FALSE(QFile::exists(Path("part.bin")));
}

TEST_F(CardToolTest, ACompareAgreesOnlyWhenEveryKnownBlockWasCompared)
{
    // The fixture with its trailers unknown states no key.
    TDumpImage noKeys = Fixture();
    for (int sector = 0; sector < 16; ++sector)
        noKeys.Known[TrailerOf(sector)].fill(0);
    WriteDump("fixture.txt", Fixture());
    WriteDump("no-keys.txt", noKeys);
    const struct {
        const char* Name;
        QString Dump;
        bool Secret; // every sector's keys in no list
        bool Card;
        int Exit;
        QString Says; // standard error without a card; the first case's table ends so
        int Known, Compared;
        QJsonObject FirstNotCompared;
    } cases[] = {
        {"block 18 unreadable", Path("fixture.txt"), false, true, 1,
            "63 of 64 known blocks compared, 0 differ; not compared: block 18 read denied\n", 64, 63,
            {{"block", 18}, {"reason", "read denied"}}},
        {"no key known", Path("no-keys.txt"), true, true, 1, {}, 48, 0, {{"block", 0}, {"reason", "no key"}}},
        {"an empty reader", Path("fixture.txt"), false, false, 4, "orvelle-card: no card in the reader's field\n", 0, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        ASSERT_TRUE(Sim.LoadDump(TestData("mixed-card.txt")));
        for (int sector = 0; c.Secret && sector < 16; ++sector) {
            TBlockData trailer = Sim.Block(TrailerOf(sector));
            std::fill_n(trailer.begin(), KeyBytes, 0x5A);
            std::fill_n(trailer.begin() + TrailerKeyBOffset, KeyBytes, 0x5B);
            Sim.SetBlock(TrailerOf(sector), trailer);
        }
        if (!c.Card)
            Sim.RemoveCard();
        const TRun run = Card({c.Card ? "--json" : "--timeout=3000", "diff", c.Dump});
        EXPECT_EQ(run.Exit, c.Exit);
        if (c.Card) {
            const QJsonObject json = run.Json();
            EXPECT_FALSE(json["agree"].toBool());
            EXPECT_EQ(json["known"].toInt(), c.Known);
            EXPECT_EQ(json["compared"].toInt(), c.Compared);
            EXPECT_EQ(json["notCompared"].toArray().size(), c.Known - c.Compared);
            EXPECT_EQ(json["notCompared"].toArray().first(), c.FirstNotCompared);
        } else {
            EXPECT_EQ(run.Err, c.Says);
            EXPECT_TRUE(run.Out.isEmpty()) << "no table of sectors";
        }
        Sim.InsertCard();
    }
    ASSERT_TRUE(Sim.LoadDump(TestData("mixed-card.txt")));
    const TRun table = Card({"diff", Path("fixture.txt")});
    EXPECT_TRUE(table.Out.endsWith("\n" + cases[0].Says)) << table.Out.toStdString();
}

TEST_F(CardToolTest, AWriteOfNothingSaysSoAndAnEmptyReaderExitsFour)
{
    WriteDump("nothing.txt", TDumpImage{});
    TRun run = Card({"write", Path("nothing.txt"), "--trailers"});
    EXPECT_EQ(run.Exit, 1);
    EXPECT_EQ(run.Out.count("nothing to write"), 16) << run.Out.toStdString();
    EXPECT_TRUE(run.Out.endsWith("\nnothing was written\n"));
    const auto requests = Sim.Requests();
    EXPECT_TRUE(std::none_of(requests.begin(), requests.end(), [](const auto& R) { return R[1] == 0x07; }));

    Sim.RemoveCard();
    for (const QStringList& args : {QStringList{"keys"}, QStringList{"read", Path("card.txt")},
             QStringList{"--json", "write", Path("nothing.txt")}}) {
        run = Card(args);
        EXPECT_EQ(run.Exit, 4) << args.join(' ').toStdString();
        EXPECT_TRUE(run.Err.contains("no card in the reader's field")) << run.Err.toStdString();
        if (args.contains("--json")) {
            EXPECT_EQ(run.Json()["error"].toString(), "no card in the reader's field");
            EXPECT_EQ(run.Json()["exit"], 4);
            EXPECT_FALSE(run.Json().contains("sectors"));
        } else {
            EXPECT_TRUE(run.Out.isEmpty());
        }
    }
    EXPECT_FALSE(QFile::exists(Path("card.txt")));
}

TEST_F(CardToolTest, KeysTheDumpStatesAreTriedFirst)
{
    Write("wrong.keys", "5A5A5A5A5A5A\n");
    WriteDump("fixture.txt", Fixture());
    Card({"--keys", Path("wrong.keys"), "diff", Path("fixture.txt")});
    const auto requests = Sim.Requests();
    const auto auth = std::find_if(requests.begin(), requests.end(), [](const auto& R) { return R[1] == 0x05; });
    ASSERT_NE(auth, requests.end());
    EXPECT_EQ(std::vector<uint8_t>(auth->begin() + 4, auth->begin() + 10), std::vector<uint8_t>(6, 0xFF))
        << "sector 0's key A, as the dump states it";
}

TEST_F(CardToolTest, TrailerQuestionsOnATerminal)
{
    // Sectors 6 and 7 get new keys; every other trailer is the card's own.
    TDumpImage dump = Fixture();
    std::fill_n(dump.Data[27].begin(), KeyBytes, 0xA6);
    std::fill_n(dump.Data[31].begin(), KeyBytes, 0xA7);
    WriteDump("dump.txt", dump);
    const TBlockData trailer6 = Sim.Block(27);
    const TBlockData trailer7 = Sim.Block(31);
    const struct {
        const char* Name;
        QByteArray TypedAhead;
        std::vector<QByteArray> Answers; // empty: SIGTERM
        int Asked;
        bool Written6, Written7;
        QString Result6;
    } cases[] = {
        {"typed ahead is no answer", "y\n", {"n\n", "n\n"}, 2, false, false, "done"},
        {"yes, then no", "", {"y\n", "no\n"}, 2, true, false, "done"},
        {"yes to the rest", "", {"a\n"}, 1, true, true, "done"},
        {"no to the rest", "", {"Q\n"}, 1, false, false, "done"},
        {"a signal at the question", "", {""}, 1, false, false, "not run"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Sim.SetBlock(27, trailer6);
        Sim.SetBlock(31, trailer7);
        const TRun run = CardOnTerminal({"--json", "write", Path("dump.txt"), "--trailers"}, c.TypedAhead,
            [&](int Question) { return size_t(Question) <= c.Answers.size() ? c.Answers[size_t(Question - 1)] : QByteArray("n\n"); });
        EXPECT_EQ(run.Err.count("Write the trailer of sector"), c.Asked) << run.Err.toStdString();
        EXPECT_FALSE(run.Err.contains("Sector 5, trailer")) << "the card's own trailer is not asked about";
        EXPECT_TRUE(run.Err.contains("  now: key A FFFFFFFFFFFF, access bits FF0780, byte 9 69, key B FFFFFFFFFFFF\n"));
        EXPECT_TRUE(run.Err.contains("  new: key A A6A6A6A6A6A6, access bits FF0780, byte 9 69, key B FFFFFFFFFFFF\n"));
        EXPECT_EQ(Sim.Block(27) == dump.Data[27], c.Written6);
        EXPECT_EQ(Sim.Block(31) == dump.Data[31], c.Written7);
        const QJsonObject json = run.Json();
        EXPECT_EQ(Sector(json, 6)["result"].toString(), c.Result6);
        EXPECT_EQ(Sector(json, 6)["trailerDeclined"].toBool(), !c.Written6 && c.Result6 == "done");
        // Cancelled at sector 6's question: the rest is not run either.
        EXPECT_EQ(json["interrupted"].toBool(), c.Result6 == "not run");
        EXPECT_EQ(Sector(json, 15)["result"].toString(), c.Result6);
        EXPECT_EQ(run.Exit, 1) << "block 18: no key may write it";
    }
}

TEST_F(CardToolTest, TrailersNeedAConfirmationThatAPipeCannotGive)
{
    TDumpImage dump = Fixture();
    dump.Data[25][0] = 0x99;
    std::fill_n(dump.Data[27].begin(), KeyBytes, 0xA1);
    std::fill_n(dump.Data[27].begin() + TrailerKeyBOffset, KeyBytes, 0xB1);
    WriteDump("dump.txt", dump);
    const TBlockData trailer = Sim.Block(27);

    TRun run = Card({"--json", "write", Path("dump.txt"), "--trailers"});
    EXPECT_EQ(run.Exit, 1);
    EXPECT_EQ(Sim.Block(25), dump.Data[25]);
    EXPECT_EQ(Sim.Block(27), trailer) << "refused";
    EXPECT_TRUE(run.Err.contains("Sector 6, trailer block 27\n"));
    EXPECT_TRUE(run.Err.contains("  new: key A A1A1A1A1A1A1, access bits FF0780, byte 9 69, key B B1B1B1B1B1B1\n"));
    EXPECT_TRUE(run.Err.contains("no terminal"));
    EXPECT_EQ(run.Err.count("trailer block"), 1) << "the other trailers are the card's own";
    QJsonObject sector6 = Sector(run.Json(), 6);
    EXPECT_TRUE(sector6["trailerDeclined"].toBool());
    EXPECT_EQ(sector6["result"].toString(), "done");
    EXPECT_EQ(Sector(run.Json(), 3)["keyA"].toString(), "112233445566") << "a key the dump states";

    run = Card({"--json", "write", Path("dump.txt"), "--trailers", "--yes"});
    EXPECT_EQ(Sim.Block(27), dump.Data[27]);
    sector6 = Sector(run.Json(), 6);
    EXPECT_FALSE(sector6["trailerDeclined"].toBool());
    EXPECT_EQ(sector6["keyA"].toString(), "A1A1A1A1A1A1");
    EXPECT_EQ(Sector(run.Json(), 4)["result"].toString(), "write refused");
    EXPECT_EQ(Sector(run.Json(), 4)["blocks"].toArray(), QJsonArray({18})) << "no key may write it";
    EXPECT_EQ(run.Exit, 1);
}

TEST_F(CardToolTest, NoKeyOpeningAnySectorSaysToAddAKeyFileAndADumpGivesItsKeys)
{
    Write("wrong.keys", "5A5A5A5A5A5A\n");
    TRun run = Card({"--no-builtin-keys", "--keys", Path("wrong.keys"), "keys"});
    EXPECT_EQ(run.Exit, 1);
    EXPECT_EQ(run.Err.count("orvelle-card: no key opens any sector of this card: add a key file with --keys\n"), 1)
        << run.Err.toStdString();
    // The fixture card itself given for a key file: its trailers' keys open it.
    run = Card({"--no-builtin-keys", "--keys", QString::fromStdString(TestData("mixed-card.txt")), "--json", "keys"});
    EXPECT_TRUE(run.Err.contains(QString::fromStdString(TestData("mixed-card.txt"))
        + " is a card dump: using the keys its 16 sector trailers state\n"))
        << run.Err.toStdString();
    EXPECT_FALSE(run.Err.contains("no key opens"));
    EXPECT_EQ(Sector(run.Json(), 3)["result"].toString(), "done") << "sector 3's keys are in no list but the dump's";
}

TEST_F(CardToolTest, TheJournalLinesOfReadWriteAndDiffNameTheirDumpFile)
{
    WriteDump("fixture.txt", Fixture());
    const struct {
        QStringList Args;
        QString Line; // the journal's, up to the port
    } rows[] = {
        {{"read", Path("card.txt")}, "Read card (card 12345678, dump " + Path("card.txt") + "): "},
        {{"write", Path("fixture.txt")}, "Write card (card 12345678, dump " + Path("fixture.txt") + "): "},
        {{"diff", Path("fixture.txt")}, "Compare (card 12345678, dump " + Path("fixture.txt") + "): "},
    };
    const QDir folder(QString::fromStdString(Ports.StateFolder()) + "/journal");
    const QString port = QStringLiteral(" (port COM1: %1)\n").arg(QString::fromStdString(Sim.DevicePath()));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Args.join(' ').toStdString());
        Card(row.Args);
        QString journal;
        for (const QString& day : folder.entryList({"*.log"}, QDir::Files, QDir::Name)) {
            QFile file(folder.filePath(day));
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            journal += QString::fromUtf8(file.readAll());
        }
        const qsizetype at = journal.lastIndexOf(row.Line);
        ASSERT_GE(at, 0) << journal.toStdString();
        EXPECT_TRUE(journal.mid(at).section('\n', 0, 0).endsWith(port.trimmed())) << journal.mid(at).toStdString();
    }
}

TEST_F(CardToolTest, ATrailerThatLocksForGoodIsWrittenWhenPermanentSaysSo)
{
    TDumpImage dump = Fixture();
    SetAccess(dump.Data[27], {0b000, 0b000, 0b000, 0b110});
    WriteDump("locking.txt", dump);
    const TRun run = Card({"--json", "write", Path("locking.txt"), "--trailers", "--yes", "--permanent"});
    EXPECT_EQ(Sim.Block(27), dump.Data[27]) << run.Err.toStdString();
    EXPECT_EQ(Sector(run.Json(), 6)["result"].toString(), "done");
    EXPECT_EQ(run.Exit, 1) << "block 18: no key may write it";
}

TEST_F(CardToolTest, ASignalStopsAWriteAfterItsReadBack)
{
    WriteDump("dump.txt", Fixture());
    for (const int signal : {SIGTERM, SIGHUP}) {
        Sim.ClearRequests();
        std::atomic<qint64> pid = 0;
        std::atomic<bool> signalled = false;
        Sim.SetObserver([&](const sim::TSimServer::TRecord& R) {
            if (R.FromProgram && R.Bytes.size() > 2 && R.Bytes[1] == 0x07 && pid > 0 && !signalled.exchange(true))
                ::kill(pid_t(pid.load()), signal);
        });
        const TRun run = Card({"--json", "write", Path("dump.txt")}, [&](qint64 Pid) { pid = Pid; });
        Sim.SetObserver(nullptr);
        ASSERT_TRUE(signalled) << signal;
        EXPECT_EQ(run.Exit, 1) << signal;
        EXPECT_TRUE(run.Json()["interrupted"].toBool()) << signal;
        EXPECT_EQ(Sector(run.Json(), 1)["result"].toString(), "not run") << signal;
        // The write that was under way is read back, and nothing follows.
        const auto requests = Sim.RequestsWithoutBeeps();
        const auto write = std::find_if(requests.begin(), requests.end(), [](const auto& R) { return R[1] == 0x07; });
        ASSERT_EQ(requests.end() - write, 2) << signal;
        EXPECT_EQ((*write)[2], 1);
        EXPECT_EQ(requests.back()[1], 0x06);
        EXPECT_EQ(requests.back()[2], 1);
    }
}

TEST_F(CardToolTest, AClosedPipeStopsAWriteLikeASignal)
{
    // Standard error read up to the write's second line of progress, as by
    // "| head": the next line meets a closed pipe.
    WriteDump("dump.txt", Fixture());
    const TRun run = CardPiped({"--json", "write", Path("dump.txt")}, Path("out.json"), "write: ", 2);
    EXPECT_EQ(run.Exit, 1) << "141 is SIGPIPE's end";
    ASSERT_TRUE(OneJsonObject(run.Out));
    const QJsonObject json = run.Json();
    EXPECT_TRUE(json["interrupted"].toBool());
    EXPECT_EQ(json["exit"], 1);
    EXPECT_EQ(Sector(json, 0)["result"].toString(), "done");
    EXPECT_EQ(Sector(json, 15)["result"].toString(), "not run");
    // Every block written was read back at once.
    const auto requests = Sim.RequestsWithoutBeeps();
    int writes = 0;
    for (size_t i = 0; i < requests.size(); ++i) {
        if (requests[i][1] != 0x07)
            continue;
        ++writes;
        ASSERT_LT(i + 1, requests.size());
        EXPECT_EQ(requests[i + 1][1], 0x06);
        EXPECT_EQ(requests[i + 1][2], requests[i][2]);
    }
    EXPECT_GT(writes, 0);
}

TEST_F(CardToolTest, JsonIsOneDocumentOnEveryExit)
{
    Write("bad.keys", "FFFFFFFFFFFF\nA0A1A2A3A4\n");
    PtyPeer silent;
    Ports.Map(2, Path("nothing").toStdString());
    // Another program (this test) holds a terminal by its lock.
    PtyPeer held;
    const int holder = ::open(held.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    const struct {
        QStringList Args;
        int Exit;
        QString Error;
    } cases[] = {
        {{"--json", "frob"}, 2, "unknown command 'frob'"},
        {{"--bogus", "--json", "keys"}, 2, "bogus"},
        {{"--json", "--keys", Path("bad.keys"), "keys"}, 2, Path("bad.keys") + ":2: not a key"},
        {{"--json", "diff", Path("none.txt")}, 2, Path("none.txt")},
        {{"--json", "--port", "COM2", "keys"}, 3, "cannot open COM2"},
        {{"--json", "--port", QString::fromStdString(silent.SlavePath()), "keys"}, 3, "does not answer"},
    };
    for (const auto& c : cases) {
        const TRun run = Card(c.Args);
        EXPECT_EQ(run.Exit, c.Exit) << c.Args.join(' ').toStdString();
        ASSERT_TRUE(OneJsonObject(run.Out));
        const QJsonObject json = run.Json();
        EXPECT_EQ(json.keys(), QStringList({"error", "exit"}));
        EXPECT_EQ(json["exit"], c.Exit);
        EXPECT_TRUE(json["error"].toString().contains(c.Error)) << run.Out.toStdString();
        EXPECT_TRUE(run.Err.contains(c.Error)) << "told on standard error too: " << run.Err.toStdString();
    }
    EXPECT_TRUE(Sim.Requests().empty());
}

TEST_F(CardToolTest, ResultsThatCannotBeWrittenExitOne)
{
    Write("ours.keys", "112233445566\n");
    const struct {
        QStringList Args;
    } cases[] = {{{"--keys", Path("ours.keys"), "--json", "keys"}}, {{"--keys", Path("ours.keys"), "keys"}}, {{"--help"}}};
    for (const auto& c : cases) {
        const TRun run = CardPiped(c.Args, "/dev/full");
        EXPECT_EQ(run.Exit, 1) << c.Args.join(' ').toStdString();
        EXPECT_TRUE(run.Err.contains("could not be written to standard output: No space left on device"))
            << run.Err.toStdString();
    }
}

TEST_F(CardToolTest, MessagesShowAFilesControlCharactersAsHex)
{
    Write("clear.keys", "FFFFFFFFFFFF\n\x1b[2J\x1b[H\n");
    QByteArray binary(256, 0);
    for (int i = 0; i < binary.size(); ++i)
        binary[i] = char(i);
    Write("binary.keys", binary);
    Write("title.txt", "+Sector: 0\n\x1b]0;owned\x07\n");
    const struct {
        QStringList Args;
        QString Says;
    } cases[] = {
        {{"--keys", Path("clear.keys"), "keys"}, Path("clear.keys") + ": not a text key file"},
        {{"--keys", Path("binary.keys"), "keys"}, Path("binary.keys") + ": not a text key file"},
        {{"diff", Path("title.txt")}, ":2: not a block of 32 hex digits ('-' where unknown): \\x1B]0;owned\\x07"},
        {{"--keys", Path("\x1b[2Jgone.keys"), "keys"}, Path("\\x1B[2Jgone.keys") + ": No such file"},
        {{"keys", "\x1b[2J"}, "unexpected argument '\\x1B[2J'"},
    };
    for (const auto& c : cases) {
        const TRun run = Card(QStringList{"--json"} + c.Args);
        EXPECT_EQ(run.Exit, 2) << c.Says.toStdString();
        EXPECT_TRUE(run.Err.contains(c.Says)) << run.Err.toStdString();
        EXPECT_TRUE(NoControls(run.Err)) << run.Err.toStdString();
        EXPECT_TRUE(run.Json()["error"].toString().contains(c.Says)) << run.Out.toStdString();
    }
}

} // namespace

TEST_F(CardToolTest, AStaleSimulatorLinkIsNotFollowedAndAPortIsLeftAsFound)
{
    // A pseudo-terminal a shell holds now, that a simulator had before.
    PtyPeer pty;
    const int flags = ::fcntl(pty.MasterFd(), F_GETFL);
    ASSERT_EQ(::fcntl(pty.MasterFd(), F_SETFL, flags | O_NONBLOCK), 0);
    QProcess shell;
    shell.setStandardInputFile(QString::fromStdString(pty.SlavePath()));
    shell.start("/bin/sh", {"-c", "exec sleep 600"});
    ASSERT_TRUE(shell.waitForStarted(60000));
    const std::string found = TerminalSettings(pty.MasterFd());
    const long ended = EndedProcessId();
    const struct {
        const char* Name;
        long Pid;
        unsigned long long Start; // 0: the process's own
        std::string Device;
        bool Followed;
    } cases[] = {
        {"a simulator that ended", ended, 1234, pty.SlavePath(), false},
        {"its process id now another process's", long(::getpid()), ProcessStartTime(::getpid()) + 1, pty.SlavePath(),
            false},
        {"a simulator that runs", long(::getpid()), 0, pty.SlavePath(), true},
        {"a link pointed elsewhere since", ended, 1234, "/dev/pts/elsewhere", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Ports.Map(5, pty.SlavePath());
        Ports.RecordSimulator(5, c.Pid, c.Device, c.Start);
        const TRun run = Card({"--port", "COM5", "keys"});
        EXPECT_EQ(run.Exit, 3);
        if (c.Followed) {
            EXPECT_TRUE(run.Err.contains("does not answer")) << run.Err.toStdString();
            EXPECT_FALSE(PendingOn(pty.MasterFd()).empty()) << "the link test went out";
        } else {
            EXPECT_TRUE(run.Err.contains(QStringLiteral("COM5 points at a reader simulator that has ended (process %1): "
                                                        "start it again or remove the link")
                                             .arg(c.Pid)))
                << run.Err.toStdString();
            EXPECT_EQ(PendingOn(pty.MasterFd()), "");
        }
        // Opened or not, the terminal is as it was: echo, lines, signals.
        EXPECT_EQ(TerminalSettings(pty.MasterFd()), found);
    }
    EXPECT_EQ(shell.state(), QProcess::Running);
    shell.kill();
    shell.waitForFinished(60000);
    EXPECT_TRUE(Sim.Requests().empty());
}

TEST_F(CardToolTest, ReadWritesItsDumpOnlyWhereTheRuleAllows)
{
    Write("victim", "keep\n");
    const struct {
        const char* Name;
        void (*Plant)(const std::string& At, const std::string& Victim);
        const char* Says;
    } cases[] = {
        {"another user's link",
            [](const std::string& At, const std::string& Victim) {
                ASSERT_EQ(::symlink(Victim.c_str(), At.c_str()), 0);
                ASSERT_EQ(::lchown(At.c_str(), 65534, 65534), 0);
            },
            "is a symbolic link of another user (uid 65534): not followed"},
        {"own link to another user's file",
            [](const std::string& At, const std::string& Victim) {
                ASSERT_EQ(::symlink(Victim.c_str(), At.c_str()), 0);
                ASSERT_EQ(::chown(Victim.c_str(), 65534, 65534), 0);
            },
            "which belongs to another user (uid 65534): not followed"},
        {"a FIFO", [](const std::string& At, const std::string&) { ASSERT_EQ(::mkfifo(At.c_str(), 0600), 0); },
            "is a FIFO, not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string at = Path(c.Name).toStdString() + ".txt";
        c.Plant(at, Path("victim").toStdString());
        const TRun run = Card({"read", QString::fromStdString(at)});
        EXPECT_EQ(run.Exit, 2) << "refused before anything is sent";
        EXPECT_TRUE(run.Err.contains(c.Says)) << run.Err.toStdString();
        QFile victim(Path("victim"));
        ASSERT_TRUE(victim.open(QIODevice::ReadOnly));
        EXPECT_EQ(victim.readAll(), "keep\n");
    }
    EXPECT_TRUE(Sim.Requests().empty());
}

// ports over a system tree of the test's own (no serial device of the
// machine is touched): listed, probed and linked through the program.
TEST_F(CardToolTest, PortsListsProbesAndLinksThroughThePortMap)
{
    QTemporaryDir root;
    ASSERT_TRUE(QDir(root.path()).mkpath("dev/serial/by-id"));
    qputenv("ORVELLE_SCAN_ROOT", root.path().toLocal8Bit());
    Ports.Unmap(1);
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(PortMapDirectory())));
    QFile file(QString::fromStdString(PortMapDirectory() + "/COM3"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    PtyPeer silent;
    const QString sim = QString::fromStdString(Sim.DevicePath());
    const QString quiet = QString::fromStdString(silent.SlavePath());
    const struct {
        QStringList Args;
        int Exit;
        QString Out, Err; // contained in standard output, standard error
    } cases[] = {
        {{"ports"}, 0, "No serial device found: plug the reader in, then run orvelle-card ports again.\nPort map:\n", ""},
        {{"ports", "--probe", quiet}, 3, "Link test:\n  " + quiet + ": silent\n",
            "No reader answered: check that the reader has power and that its cable is plugged in at both ends; a "
            "reader on a port not probed here is named with orvelle-card ports --probe PATH, and linked with "
            "orvelle-card ports --map COMn PATH."},
        {{"ports", "--map", "com2", sim}, 0, "COM2 -> " + sim + "\n", ""},
        {{"ports", "--probe"}, 0, "Port map:\n  COM2 -> " + sim + "\nLink test:\n  " + sim + ": reader answers\n", ""},
        {{"ports", "--json", "--probe"}, 0, "\"probe\": [{\"path\": \"" + sim + "\", \"answer\": \"answers\"", ""},
        {{"ports", "--map", "COM3", sim}, 1, "", "COM3 is not a link; not replacing it: move it away first"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Args.join(' ').toStdString());
        const TRun run = CardRaw(QStringList{"--timeout", "3000"} + c.Args);
        EXPECT_EQ(run.Exit, c.Exit);
        EXPECT_TRUE(run.Out.contains(c.Out)) << run.Out.toStdString();
        EXPECT_TRUE(run.Err.contains(c.Err)) << run.Err.toStdString();
        if (c.Args.contains("--json")) {
            EXPECT_TRUE(OneJsonObject(run.Out));
        }
    }
    EXPECT_EQ(LinkTarget(PortMapDirectory() + "/COM2"), Sim.DevicePath());
    EXPECT_EQ(Sim.Requests().size(), 2u) << "one link test a probe";

    // A COM name is looked up in the map; a stale simulator's link is not
    // followed, and its terminal is sent nothing.
    ASSERT_EQ(::fcntl(silent.MasterFd(), F_SETFL, ::fcntl(silent.MasterFd(), F_GETFL) | O_NONBLOCK), 0);
    EXPECT_EQ(PendingOn(silent.MasterFd()), std::string("\x03\x12\x00\x15", 4)) << "the silent port's link test";
    Ports.Map(4, silent.SlavePath());
    Ports.RecordSimulator(4, EndedProcessId(), silent.SlavePath(), 1234);
    Ports.Unmap(2);
    TRun run = CardRaw({"--timeout", "3000", "ports", "--probe", "com4"});
    EXPECT_EQ(run.Exit, 3);
    EXPECT_TRUE(run.Out.contains("  COM4 -> " + quiet + " (stale simulator (pid ")) << run.Out.toStdString();
    EXPECT_TRUE(run.Err.contains("COM4 points at a reader simulator that has ended")) << run.Err.toStdString();
    EXPECT_EQ(PendingOn(silent.MasterFd()), "");
    Ports.Unmap(4);
    Ports.Map(5, Sim.DevicePath());
    run = CardRaw({"--timeout", "3000", "ports", "--probe", "COM5"});
    EXPECT_EQ(run.Exit, 0);
    EXPECT_TRUE(run.Out.contains(": reader answers\n")) << run.Out.toStdString();
    qunsetenv("ORVELLE_SCAN_ROOT");
}

// loop-report: the page of a run TRunReport wrote, through the program: well
// formed, nothing fetched or run when opened, its two charts, its totals the
// summary's and its events the file's; a run that cannot be read is told
// with its own status, and no page is written.
TEST(CardLoopReport, ARunsPageHasItsTotalsAndEventsAndAnUnreadableRunNone)
{
    QTemporaryDir dir;
    QDateTime wall(QDate(2026, 12, 8), QTime(7, 5, 31), Qt::OffsetFromUTC, 3600);
    qint64 steady = 5000;
    TRunSettings settings;
    settings.Port = QStringLiteral("COM1");
    auto report = std::make_unique<TRunReport>(
        dir.path(), settings, [&] { return wall; }, TRecordWarning{}, [&] { return steady; });
    // 150 cycles a second apart: from the 20th to the 29th no card, every
    // 7th a read error.
    TLoopTotals totals;
    for (int cycle = 1; cycle <= 150; ++cycle) {
        wall = wall.addMSecs(1000);
        steady += 1000;
        ++totals.Cycles;
        if (cycle >= 20 && cycle < 30)
            ++totals.SearchFailures;
        else if (cycle % 7 == 0)
            ++totals.ReadErrors;
        else
            ++totals.Reads;
        report->Update(totals);
    }
    const QString csv = report->Finish(totals);
    ASSERT_FALSE(csv.isEmpty()) << report->Problem().toStdString();
    report.reset();
    const QString stem = csv.chopped(4);
    const auto run = [](const QStringList& Args) {
        QProcess process;
        process.start(Program(), Args);
        EXPECT_TRUE(process.waitForFinished(600000));
        return TRun{process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
    };

    // By its CSV (beside it) and by its stem (-o).
    const struct {
        QStringList Args;
        QString Page;
    } written[] = {
        {{"loop-report", csv}, stem + ".html"},
        {{"loop-report", stem, "-o", dir.filePath("other.html")}, dir.filePath("other.html")},
    };
    for (const auto& w : written) {
        SCOPED_TRACE(w.Args.join(' ').toStdString());
        const TRun made = run(w.Args);
        ASSERT_EQ(made.Exit, 0) << made.Err.toStdString();
        EXPECT_EQ(made.Out, w.Page + "\n");
        QFile file(w.Page);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QString html = QString::fromUtf8(file.readAll());
        EXPECT_FALSE(html.contains("<script", Qt::CaseInsensitive));
        EXPECT_FALSE(html.contains(QRegularExpression(QStringLiteral("(src|href)\\s*=\\s*[\"']?(https?:)?//"), QRegularExpression::CaseInsensitiveOption)));
        EXPECT_EQ(html.count("<svg"), 2);
        QXmlStreamReader xml(html);
        while (!xml.atEnd())
            xml.readNext();
        EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString() << " at line " << xml.lineNumber();
        QFile json(stem + ".json");
        ASSERT_TRUE(json.open(QIODevice::ReadOnly));
        const QJsonObject summary = QJsonDocument::fromJson(json.readAll()).object()["totals"].toObject();
        for (const char* total : {"cycles", "search_failures", "reads", "read_errors"}) {
            const QRegularExpressionMatch cell = QRegularExpression(QStringLiteral("<td data-total=\"%1\">([0-9]+)</td>").arg(total)).match(html);
            ASSERT_TRUE(cell.hasMatch()) << total;
            EXPECT_EQ(cell.captured(1).toLongLong(), summary[total].toInteger()) << total;
        }
        EXPECT_EQ(summary["cycles"].toInteger(), 150);
        // The events: a row for the run of ten, one for each read error.
        EXPECT_TRUE(html.contains("<td>20</td><td>no-card</td><td>10</td>")) << html.toStdString();
        EXPECT_EQ(html.count("<td>read</td><td>1</td>"), 150 / 7 - 2); // 21 and 28 found no card
    }

    // --json: one document, with the page or the error.
    const TRun json = run({"loop-report", csv, "--json"});
    EXPECT_EQ(json.Exit, 0);
    EXPECT_TRUE(OneJsonObject(json.Out));
    EXPECT_EQ(json.Json()["report"].toString(), stem + ".html");
    const TRun jsonRefused = run({"loop-report", dir.filePath("no-such-run.csv"), "--json"});
    EXPECT_EQ(jsonRefused.Exit, 6);
    EXPECT_TRUE(OneJsonObject(jsonRefused.Out));
    EXPECT_EQ(jsonRefused.Json()["exit"].toInt(), 6);

    QFile::remove(stem + ".html");
    QFile(dir.filePath("not-a-run.csv")).open(QIODevice::WriteOnly);
    const struct {
        QString Run;
        QString Says;
    } unreadable[] = {
        {dir.filePath("no-such-run.csv"), dir.filePath("no-such-run.csv") + ": No such file or directory"},
        {dir.filePath("not-a-run.csv"), dir.filePath("not-a-run.csv") + ": not a loop run's report"},
    };
    for (const auto& u : unreadable) {
        SCOPED_TRACE(u.Run.toStdString());
        for (const QStringList& args : {QStringList{"loop-report", u.Run}, QStringList{"loop-report", u.Run, "-o", dir.filePath("none.html")}}) {
            const TRun refused = run(args);
            EXPECT_EQ(refused.Exit, 6);
            EXPECT_TRUE(refused.Err.contains("orvelle-card: the run cannot be read: " + u.Says)) << refused.Err.toStdString();
            EXPECT_EQ(refused.Out, QString());
        }
        EXPECT_FALSE(QFile::exists(u.Run.chopped(4) + ".html"));
    }
    EXPECT_FALSE(QFile::exists(dir.filePath("none.html")));
    EXPECT_FALSE(QFile::exists(stem + ".html"));
}
