// The orvelle-card program, run as a child process against the simulator
// (loaded with the fixture card of mixed keys and access conditions) through
// a private port map: exit statuses, the key map as JSON, a read compared
// back, trailers refused without a terminal, and a signal during a write.
#include "app/Version.h"
#include "protocol/DumpFile.h"
#include "protocol/KeyFile.h"
#include "serial/PortName.h"
#include "sim/SimServer.h"
#include "support/ChildProcess.h"
#include "support/PrivateHome.h"
#include "support/PtyPeer.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>

namespace {

struct TRun {
    int Exit = -1;
    QString Out;
    QString Err;
    QJsonObject Json() const { return QJsonDocument::fromJson(Out.toUtf8()).object(); }
};

QJsonObject Sector(const QJsonObject& Json, int Number) { return Json["sectors"].toArray().at(Number).toObject(); }

class CardToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(Sim.LoadDump(ORVELLE_TEST_DATA "/mixed-card.txt", &error)) << error;
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
        process.start(QCoreApplication::applicationDirPath() + "/../orvelle-card", Args);
        EXPECT_TRUE(process.waitForStarted(60000));
        process.closeWriteChannel();
        if (Started)
            Started(process.processId());
        EXPECT_TRUE(process.waitForFinished(600000)) << Args.join(' ').toStdString();
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
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
        return *ReadDumpFile(ORVELLE_TEST_DATA "/mixed-card.txt", error);
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
    QFile fixture(ORVELLE_TEST_DATA "/mixed-card.txt");
    ASSERT_TRUE(fixture.open(QIODevice::ReadOnly));
    QList<QByteArray> lines = fixture.readAll().split('\n');
    lines[2] = "02C0DE0000000000000000000000000"; // 31 digits
    Write("bad-dump.txt", lines.join('\n'));
    const struct {
        QStringList Args;
        int Exit;
        QString Says; // in standard output or error
    } cases[] = {
        {{}, 2, "no command"},
        {{"frob"}, 2, "unknown command 'frob'"},
        {{"read"}, 2, "read needs a dump FILE"},
        {{"keys", "more"}, 2, "unexpected argument 'more'"},
        {{"diff", Path("x.txt"), "--trailers"}, 2, "--trailers belongs to write only"},
        {{"--port", "LPT1", "keys"}, 2, "unknown port 'LPT1'"},
        {{"--timeout", "5", "keys"}, 2, "--timeout takes 50 to 60000"},
        {{"--bogus", "keys"}, 2, "bogus"},
        {{"--keys", Path("none.keys"), "keys"}, 2, Path("none.keys")},
        {{"--keys", Path("bad.keys"), "keys"}, 2, Path("bad.keys") + ":3:"},
        {{"write", Path("bad-dump.txt")}, 2, Path("bad-dump.txt") + ":3:"},
        {{"diff", Path("none.txt")}, 2, Path("none.txt")},
        {{"read", Path("no/folder/x.txt")}, 2, Path("no/folder")},
        {{"--help"}, 0, "Exit status:"},
        {{"--version"}, 0, QStringLiteral("orvelle-card %1\n").arg(OrvelleVersion)},
    };
    for (const auto& c : cases) {
        const TRun run = CardRaw(c.Args);
        EXPECT_EQ(run.Exit, c.Exit) << c.Args.join(' ').toStdString();
        EXPECT_TRUE((run.Out + run.Err).contains(c.Says)) << run.Out.toStdString() << run.Err.toStdString();
    }
    EXPECT_TRUE(Sim.Requests().empty());
}

TEST_F(CardToolTest, NoPortOrASilentReaderExitsThree)
{
    PtyPeer silent;
    Ports.Map(2, Path("nothing").toStdString());
    const struct {
        QString Port;
        QString Says;
    } cases[] = {
        {"COM2", "cannot open COM2"},
        {QString::fromStdString(silent.SlavePath()), "does not answer"},
    };
    for (const auto& c : cases) {
        const TRun run = Card({"--port", c.Port, "keys"});
        EXPECT_EQ(run.Exit, 3) << c.Port.toStdString();
        EXPECT_TRUE(run.Err.contains(c.Says)) << run.Err.toStdString();
        EXPECT_TRUE(run.Out.isEmpty());
    }
    EXPECT_TRUE(Sim.Requests().empty());
}

TEST_F(CardToolTest, KeysAsJsonMapTheFixtureAndAKeyFileFillsTheGap)
{
    TRun run = Card({"--json", "keys"});
    EXPECT_EQ(run.Exit, 1) << "sector 3 has no key in the built-in list";
    EXPECT_TRUE(run.Err.contains("map keys: sector 16 of 16\n")) << run.Err.toStdString();
    QJsonObject json = run.Json();
    EXPECT_EQ(json["command"].toString(), "keys");
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

    Write("ours.keys", "# the plant's keys\nffffffffffff\n112233445566  # sector 3\n");
    run = Card({"--keys", Path("ours.keys"), "--json", "keys"});
    EXPECT_EQ(run.Exit, 0);
    EXPECT_EQ(Sector(run.Json(), 3)["keyA"].toString(), "112233445566");
    EXPECT_EQ(Sector(run.Json(), 3)["keyB"].toString(), "112233445566");
}

TEST_F(CardToolTest, AReadComparesEqualUntilABlockChanges)
{
    TRun run = Card({"read", Path("card.txt")});
    EXPECT_EQ(run.Exit, 1) << "sector 3 no key, sector 4 read denied";
    EXPECT_TRUE(run.Out.contains(QRegularExpression("\n +4  FFFFFFFFFFFF  AABBCCDDEEFF  read denied +18\n")))
        << run.Out.toStdString();
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
    EXPECT_TRUE(run.Out.endsWith("the card and the dump agree\n"));

    Sim.SetBlock(5, TBlockData{0x55});
    run = Card({"--json", "diff", Path("card.txt")});
    EXPECT_EQ(run.Exit, 1);
    EXPECT_EQ(run.Json()["differing"].toArray(), QJsonArray({5}));
    EXPECT_EQ(Sector(run.Json(), 1)["differing"].toArray(), QJsonArray({5}));
    EXPECT_FALSE(run.Json()["agree"].toBool());

    run = Card({"read", Path("card.bin")});
    EXPECT_EQ(run.Exit, 1);
    QFile binary(Path("card.bin"));
    ASSERT_TRUE(binary.open(QIODevice::ReadOnly));
    const QByteArray bytes = binary.readAll();
    ASSERT_EQ(bytes.size(), 1024);
    EXPECT_EQ(bytes.mid(5 * 16, 16), QByteArray::fromRawData(reinterpret_cast<const char*>(Sim.Block(5).data()), 16));
    EXPECT_TRUE(run.Err.contains("zeros stand for it in blocks 12 13 14 15 18")) << run.Err.toStdString();
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
    EXPECT_TRUE(run.Err.contains("Sector 6: the trailer, block 27, becomes key A A1A1A1A1A1A1"));
    EXPECT_TRUE(run.Err.contains("no terminal"));
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

TEST_F(CardToolTest, ASignalStopsAWriteAfterItsReadBack)
{
    WriteDump("dump.txt", Fixture());
    std::atomic<qint64> pid = 0;
    std::atomic<bool> signalled = false;
    Sim.SetObserver([&](const sim::TSimServer::TRecord& R) {
        if (R.FromProgram && R.Bytes.size() > 2 && R.Bytes[1] == 0x07 && pid > 0 && !signalled.exchange(true))
            ::kill(pid_t(pid.load()), SIGTERM);
    });
    const TRun run = Card({"--json", "write", Path("dump.txt")}, [&](qint64 Pid) { pid = Pid; });
    Sim.SetObserver(nullptr);
    ASSERT_TRUE(signalled);
    EXPECT_EQ(run.Exit, 1);
    EXPECT_TRUE(run.Json()["interrupted"].toBool());
    EXPECT_EQ(Sector(run.Json(), 1)["result"].toString(), "not run");
    // The write that was under way is read back, and nothing follows.
    const auto requests = Sim.RequestsWithoutBeeps();
    const auto write = std::find_if(requests.begin(), requests.end(), [](const auto& R) { return R[1] == 0x07; });
    ASSERT_EQ(requests.end() - write, 2);
    EXPECT_EQ((*write)[2], 1);
    EXPECT_EQ(requests.back()[1], 0x06);
    EXPECT_EQ(requests.back()[2], 1);
}

} // namespace

namespace {

// The line settings a program sees on a terminal, through its master side.
std::string Settings(int Master)
{
    termios t{};
    if (::tcgetattr(Master, &t) != 0)
        return "(none)";
    return std::to_string(t.c_iflag) + " " + std::to_string(t.c_oflag) + " " + std::to_string(t.c_cflag) + " "
        + std::to_string(t.c_lflag);
}

// What waits on the master side now, without waiting for more.
std::string Pending(int Master)
{
    std::string bytes;
    char buffer[256];
    for (ssize_t n; (n = ::read(Master, buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, size_t(n));
    return bytes;
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
    const std::string found = Settings(pty.MasterFd());
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
            EXPECT_FALSE(Pending(pty.MasterFd()).empty()) << "the link test went out";
        } else {
            EXPECT_TRUE(run.Err.contains(QStringLiteral("COM5 points at a reader simulator that has ended (process %1): "
                                                        "start it again or remove the link")
                                             .arg(c.Pid)))
                << run.Err.toStdString();
            EXPECT_EQ(Pending(pty.MasterFd()), "");
        }
        // Opened or not, the terminal is as it was: echo, lines, signals.
        EXPECT_EQ(Settings(pty.MasterFd()), found);
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

TEST_F(CardToolTest, ResultsThatCannotBeWrittenAreNoSuccess)
{
    Write("ours.keys", "112233445566\n");
    QProcess process;
    process.setStandardOutputFile("/dev/full");
    process.start(QCoreApplication::applicationDirPath() + "/../orvelle-card",
        {"--timeout=3000", "--keys", Path("ours.keys"), "keys"});
    process.closeWriteChannel();
    ASSERT_TRUE(process.waitForFinished(600000));
    EXPECT_EQ(process.exitCode(), 1) << "every sector is done, but nobody got the results";
    EXPECT_TRUE(process.readAllStandardError().contains(
        "orvelle-card: cannot write the results to standard output: No space left on device"));
}
