// The orvelle-sim program itself: its port-map link, signals, options and
// console, run as a child process with a private configuration directory.
#include "app/Version.h"
#include "serial/PortName.h"
#include "sim/SimProgram.h"
#include "support/PtyPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <climits>

using namespace std::chrono_literals;

namespace {

QString SimBinary() { return QCoreApplication::applicationDirPath() + "/../orvelle-sim"; }

bool Exists(const std::string& Path)
{
    struct stat st { };
    return ::lstat(Path.c_str(), &st) == 0;
}

class TSimProcess {
public:
    // Output: a file for standard output instead of a pipe read here.
    TSimProcess(const QTemporaryDir& Config, const QStringList& Args, const QString& Output = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", Config.path());
        Process.setProcessEnvironment(env);
        if (!Output.isEmpty())
            Process.setStandardOutputFile(Output);
        Process.start(SimBinary(), Args);
    }
    ~TSimProcess()
    {
        if (Process.state() != QProcess::NotRunning) {
            Process.kill();
            Process.waitForFinished(10000);
        }
    }
    QProcess Process;
};

// One exchange over the device, opened raw as the program would.
std::string Exchange(const std::string& Device, const std::vector<uint8_t>& Request, size_t ReplySize)
{
    const int fd = ::open(Device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return "cannot open";
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    std::vector<uint8_t> got;
    if (::write(fd, Request.data(), Request.size()) == ssize_t(Request.size())) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (got.size() < ReplySize && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0) {
                uint8_t buf[64];
                const ssize_t n = ::read(fd, buf, std::min(sizeof buf, ReplySize - got.size()));
                if (n > 0)
                    got.insert(got.end(), buf, buf + n);
            }
        }
    }
    ::close(fd);
    return Hex(got);
}

} // namespace

TEST(SimProgram, LinksComOneToAPtyAndRemovesTheLinkOnSigterm)
{
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    const std::string link = config.filePath("orvelle/ports/COM1").toStdString();
    TSimProcess sim(config, {"--quiet"});
    ASSERT_TRUE(sim.Process.waitForStarted(10000));
    ASSERT_TRUE(WaitUntil([&] { return Exists(link); }));
    const std::string device = LinkTarget(link);
    EXPECT_EQ(device.rfind("/dev/pts/", 0), 0u) << device;
    EXPECT_EQ(Exchange(link, Bytes({0x03, 0x12, 0x00, 0x15}), 4), "03 12 00 15");
    // The program may close and open the port again.
    EXPECT_EQ(Exchange(link, Bytes({0x03, 0x0A, 0x01, 0x0E}), 8), "07 0A 01 12 34 56 78 26");
    EXPECT_TRUE(WaitUntil([&] { return sim.Process.bytesAvailable() > 0 || sim.Process.canReadLine(); }));
    sim.Process.terminate(); // SIGTERM
    ASSERT_TRUE(sim.Process.waitForFinished(10000));
    EXPECT_EQ(sim.Process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(sim.Process.exitCode(), 0);
    EXPECT_FALSE(Exists(link));
    EXPECT_NE(sim.Process.readAllStandardOutput().indexOf(QByteArray::fromStdString(device)), -1);
}

TEST(SimProgram, NeverReplacesALinkToSomethingElse)
{
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    ASSERT_TRUE(QDir().mkpath(config.filePath("orvelle/ports")));
    const std::string other = config.filePath("real-device").toStdString();
    QFile f(QString::fromStdString(other));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    const std::string link = config.filePath("orvelle/ports/COM1").toStdString();
    ASSERT_EQ(::symlink(other.c_str(), link.c_str()), 0);

    TSimProcess sim(config, {});
    ASSERT_TRUE(sim.Process.waitForFinished(10000));
    EXPECT_EQ(sim.Process.exitCode(), 2);
    EXPECT_NE(sim.Process.readAllStandardError().indexOf("already points at"), -1);
    EXPECT_EQ(LinkTarget(link), other);

    // A plain file under the name is not touched either.
    const std::string plain = config.filePath("orvelle/ports/COM3").toStdString();
    QFile g(QString::fromStdString(plain));
    ASSERT_TRUE(g.open(QIODevice::WriteOnly));
    g.close();
    TSimProcess sim3(config, {"--port", "COM3"});
    ASSERT_TRUE(sim3.Process.waitForFinished(10000));
    EXPECT_EQ(sim3.Process.exitCode(), 2);
    EXPECT_TRUE(Exists(plain));
    EXPECT_TRUE(LinkTarget(plain).empty());
}

TEST(SimProgram, ReplacesADanglingLinkAndObeysOptionsAndConsole)
{
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    ASSERT_TRUE(QDir().mkpath(config.filePath("orvelle/ports")));
    const std::string link = config.filePath("orvelle/ports/COM2").toStdString();
    ASSERT_EQ(::symlink("/dev/pts/no-such-device", link.c_str()), 0);
    const std::string save = config.filePath("saved.mfd").toStdString();

    TSimProcess sim(config, {"--port", "COM2", "--serial", "A1B2C3D4", "--fault", "12:noise*1", "--save", QString::fromStdString(save)});
    ASSERT_TRUE(sim.Process.waitForStarted(10000));
    ASSERT_TRUE(WaitUntil([&] { return LinkTarget(link).rfind("/dev/pts/", 0) == 0 && LinkTarget(link) != "/dev/pts/no-such-device"; }));
    EXPECT_EQ(Exchange(link, Bytes({0x03, 0x12, 0x00, 0x15}), 7), "FF 5A 00 03 12 00 15");
    EXPECT_EQ(Exchange(link, Bytes({0x03, 0x12, 0x00, 0x15}), 4), "03 12 00 15");
    EXPECT_EQ(Exchange(link, Bytes({0x03, 0x0A, 0x00, 0x0D}), 8), "07 0A 01 A1 B2 C3 D4 FC");

    // The console takes the card out of the field and puts it back.
    sim.Process.write("remove\n");
    ASSERT_TRUE(WaitUntil([&] { return sim.Process.readAllStandardOutput().contains("card removed"); }));
    EXPECT_EQ(Exchange(link, Bytes({0x03, 0x0A, 0x00, 0x0D}), 3), "02 01 03");
    sim.Process.write("insert\n");
    ASSERT_TRUE(WaitUntil([&] { return sim.Process.readAllStandardOutput().contains("card in the field"); }));
    EXPECT_EQ(Exchange(link, Bytes({0x03, 0x0A, 0x00, 0x0D}), 8), "07 0A 01 A1 B2 C3 D4 FC");
    sim.Process.write("halt\n");
    ASSERT_TRUE(WaitUntil([&] { return sim.Process.readAllStandardOutput().contains("card halted"); }));
    EXPECT_EQ(Exchange(link, Bytes({0x03, 0x0A, 0x00, 0x0D}), 3), "02 01 03");
    EXPECT_EQ(Exchange(link, Bytes({0x03, 0x0A, 0x01, 0x0E}), 8), "07 0A 01 A1 B2 C3 D4 FC");

    ::kill(pid_t(sim.Process.processId()), SIGINT);
    ASSERT_TRUE(sim.Process.waitForFinished(10000));
    EXPECT_EQ(sim.Process.exitCode(), 0);
    EXPECT_FALSE(Exists(link));
    QFile dump(QString::fromStdString(save));
    ASSERT_TRUE(dump.open(QIODevice::ReadOnly));
    const QByteArray bytes = dump.readAll();
    ASSERT_EQ(bytes.size(), 1024);
    EXPECT_EQ(bytes.left(4), QByteArray::fromHex("A1B2C3D4"));

    // A path names a plain link of its own; the saved card loads back; the
    // replies come paced, as over a real line.
    const std::string plain = config.filePath("my-reader").toStdString();
    QStringList paced = {"--port", QString::fromStdString(plain), "--card", QString::fromStdString(save), "--quiet"};
    paced << "--pace"
          << "1";
    TSimProcess again(config, paced);
    ASSERT_TRUE(WaitUntil([&] { return Exists(plain); }));
    EXPECT_EQ(Exchange(plain, Bytes({0x03, 0x0A, 0x00, 0x0D}), 8), "07 0A 01 A1 B2 C3 D4 FC");
    QByteArray said;
    EXPECT_TRUE(WaitUntil([&] {
        said += again.Process.readAllStandardOutput();
        return said.contains("replies paced at 9600 baud, 1 ms");
    }));
    again.Process.write("quit\n");
    ASSERT_TRUE(again.Process.waitForFinished(10000));
    EXPECT_EQ(again.Process.exitCode(), 0);
    EXPECT_FALSE(Exists(plain));
}

TEST(SimProgram, HelpAndBadOptions)
{
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    TSimProcess help(config, {"--help"});
    ASSERT_TRUE(help.Process.waitForFinished(10000));
    EXPECT_EQ(help.Process.exitCode(), 0);
    const QByteArray text = help.Process.readAllStandardOutput();
    for (const char* s : {"--port", "--fault", "--random-faults", "--pace", "84 authentication failed", "01 no card",
             "unfinished for 100 ms"})
        EXPECT_NE(text.indexOf(s), -1) << s;
    TSimProcess version(config, {"--version"});
    ASSERT_TRUE(version.Process.waitForFinished(10000));
    EXPECT_EQ(version.Process.exitCode(), 0);
    EXPECT_TRUE(version.Process.readAllStandardOutput().startsWith("orvelle-sim " + QByteArray(OrvelleVersion)));
    // Card and save files must be regular files: nothing that could make
    // the simulator wait, and nothing a save would replace.
    const QString fifo = config.filePath("fifo");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    for (const QStringList& args : {QStringList{"--bogus"}, QStringList{"--serial", "1234"},
             QStringList{"--fault", "06:explode"}, QStringList{"--port", "LPT1"},
             QStringList{"--random-faults", "2"}, QStringList{"--pace", "2ms"}, QStringList{"--pace", "60001"},
             QStringList{"--card", "/no/such/file"}, QStringList{"--card", fifo},
             QStringList{"--card", "/dev/stdin"}, QStringList{"--card", "/dev/tty"}, QStringList{"--save", fifo},
             QStringList{"--save", "/dev/null"}, QStringList{"--save", config.path()},
             QStringList{"--save", "/no/such/dir/card.bin"}}) {
        TSimProcess bad(config, args);
        ASSERT_TRUE(bad.Process.waitForFinished(10000)) << args.join(' ').toStdString();
        EXPECT_EQ(bad.Process.exitCode(), 2) << args.join(' ').toStdString();
        EXPECT_FALSE(bad.Process.readAllStandardError().isEmpty());
    }
    EXPECT_FALSE(Exists(config.filePath("orvelle/ports/COM1").toStdString()));
}

TEST(SimProgram, ConsoleLinesAndFileNames)
{
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    const std::string fifo = config.filePath("a fifo").toStdString();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string card = config.filePath("my card.bin").toStdString();
    // save picks the form by the name, load tells it by the content.
    const auto at = [&](const char* Name) { return config.filePath(Name).toStdString(); };
    const std::string text = at("card.txt"), eml = at("card.eml"), json = at("card.json"), big = at("big.txt");
    {
        QFile other(QString::fromStdString(big));
        ASSERT_TRUE(other.open(QIODevice::WriteOnly));
        other.write(QByteArray(4096, '\x01'));
    }
    TSimProcess sim(config, {"--quiet"});
    ASSERT_TRUE(WaitUntil([&] { return Exists(config.filePath("orvelle/ports/COM1").toStdString()); }));
    const struct {
        std::string Line;
        std::string Answer;
    } rows[] = {
        {"load " + fifo, "cannot load a card: " + fifo + " is a FIFO, not a regular file"},
        // Its tail is not a command either.
        {std::string(4608, 'x') + "remove", "a line longer than 4096 bytes is no command; ignored"},
        {"serial", "serial 12 34 56 78"},
        {"save " + card, "saved " + card},
        {"serial 0BADCAFE", "serial 0B AD CA FE"},
        {"blank C0FFEE00", "blank card C0 FF EE 00 in the field"},
        {"load  " + card + " ", "loaded " + card},
        {"serial", "serial 12 34 56 78"},
        {"save " + text, "saved " + text},
        {"save " + eml, "saved " + eml},
        {"save " + json, "saved " + json},
        {"load " + big, "cannot load a card: " + big + ": a 4K card's dump: Orvelle works with 1K cards"},
        {"serial 0BADCAFE", "serial 0B AD CA FE"},
        {"load " + text, "loaded " + text},
        {"serial", "serial 12 34 56 78"},
        {"serial 0BADCAFE", "serial 0B AD CA FE"},
        {"load " + eml, "loaded " + eml},
        {"serial", "serial 12 34 56 78"},
        {"serial 0BADCAFE", "serial 0B AD CA FE"},
        {"load " + json, "loaded " + json},
        {"serial", "serial 12 34 56 78"},
    };
    QByteArray output;
    for (const auto& row : rows) {
        sim.Process.write(QByteArray::fromStdString(row.Line + "\n"));
        const QByteArray answer = QByteArray::fromStdString(row.Answer + "\n");
        EXPECT_TRUE(WaitUntil([&] {
            output += sim.Process.readAllStandardOutput();
            return output.contains(answer);
        })) << row.Answer
            << "\n"
            << output.toStdString();
        output.clear();
    }
    sim.Process.write("quit\n");
    ASSERT_TRUE(sim.Process.waitForFinished(10000));
    EXPECT_EQ(sim.Process.exitCode(), 0);
    const auto content = [](const std::string& Path) {
        QFile file(QString::fromStdString(Path));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    EXPECT_EQ(content(card).size(), 1024);
    EXPECT_TRUE(content(text).startsWith("+Sector: 0\n12345678")) << content(text).left(40).toStdString();
    EXPECT_EQ(content(eml).count('\n'), 64);
    EXPECT_TRUE(content(eml).startsWith("12345678")) << content(eml).left(40).toStdString();
    EXPECT_TRUE(content(json).contains("\"UID\": \"12345678\"")) << content(json).left(200).toStdString();
}

TEST(SimProgram, APausedConsoleNeverHoldsUpTheReader)
{
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    // The console is a pipe, read only when the test says so.
    const std::string pipePath = config.filePath("console").toStdString();
    ASSERT_EQ(::mkfifo(pipePath.c_str(), 0600), 0);
    const int console = ::open(pipePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(console, 0);
    ::fcntl(console, F_SETPIPE_SZ, 4096);
    TSimProcess sim(config, {}, QString::fromStdString(pipePath));
    const std::string link = config.filePath("orvelle/ports/COM1").toStdString();
    ASSERT_TRUE(WaitUntil([&] { return Exists(link); }));

    // Two frame lines an exchange: a few rounds fill the pipe and the lines
    // kept beside it.
    std::vector<uint8_t> burst, replies;
    for (int i = 0; i < 40; ++i) {
        burst.insert(burst.end(), {0x03, 0x12, 0x00, 0x15});
        replies.insert(replies.end(), {0x03, 0x12, 0x00, 0x15});
    }
    auto exchanges = [&] {
        for (int round = 0; round < 30; ++round)
            ASSERT_EQ(Exchange(link, burst, replies.size()), Hex(replies)) << round;
    };
    exchanges();
    // Read again, the console shows the lines kept, then how many were not.
    std::string text;
    EXPECT_TRUE(WaitUntil([&] {
        char buf[4096];
        for (ssize_t n; (n = ::read(console, buf, sizeof buf)) > 0;)
            text.append(buf, size_t(n));
        return text.find(" lines were dropped here: the output was not being read") != std::string::npos;
    }));
    // Paused once more, it keeps no signal from ending the program.
    exchanges();
    sim.Process.terminate();
    ASSERT_TRUE(sim.Process.waitForFinished(10000));
    EXPECT_EQ(sim.Process.exitCode(), 0);
    EXPECT_FALSE(Exists(link));
    ::close(console);
}

TEST(SimProgram, ALinkWhoseSimulatorIsGoneIsStale)
{
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    const bool hadConfig = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    const std::string map = config.filePath("orvelle/ports").toStdString();
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(map)));
    // A simulator that is gone: a process that has ended.
    const pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
    auto leaveLink = [&](const std::string& Name, const std::string& Device) {
        ASSERT_EQ(::symlink(Device.c_str(), (map + "/" + Name).c_str()), 0);
        QFile record(QString::fromStdString(map + "/" + Name + ".pid"));
        ASSERT_TRUE(record.open(QIODevice::WriteOnly));
        record.write(QByteArray::fromStdString(std::to_string(gone) + " 12345 " + Device + "\n"));
    };
    sim::TSimServer first, second;
    std::string path, error;

    // Its link leads to a live device, now another's: replaced all the same.
    leaveLink("COM1", first.DevicePath());
    EXPECT_TRUE(sim::PlacePortLink("COM1", second.DevicePath(), path, error)) << error;
    EXPECT_EQ(LinkTarget(map + "/COM1"), second.DevicePath());
    // A simulator handed the device of a stale link removes that link.
    leaveLink("COM3", first.DevicePath());
    EXPECT_TRUE(sim::PlacePortLink("COM2", first.DevicePath(), path, error)) << error;
    EXPECT_FALSE(Exists(map + "/COM3"));
    EXPECT_FALSE(Exists(map + "/COM3.pid"));
    // The link of a simulator that runs (this process) stays.
    EXPECT_FALSE(sim::PlacePortLink("COM1", first.DevicePath(), path, error));
    EXPECT_EQ(LinkTarget(map + "/COM1"), second.DevicePath());
    // The port lookup sees the links as ever, and never the records.
    EXPECT_EQ(ResolveCommName("COM2"), map + "/COM2");
    EXPECT_EQ(ResolveCommName("COM2.pid"), "");
    sim::RemovePortLink(map + "/COM1", second.DevicePath());
    EXPECT_FALSE(Exists(map + "/COM1"));
    EXPECT_FALSE(Exists(map + "/COM1.pid"));
    if (hadConfig)
        qputenv("XDG_CONFIG_HOME", oldConfig);
    else
        qunsetenv("XDG_CONFIG_HOME");
}

TEST(SimProgram, PortOptionTakesTheNamesThatThePortMapResolves)
{
    // One rule for both sides: the simulator offers a port under exactly the
    // names that the component can open.
    for (const char* name : {"COM1", "COM12", "COM123456789", "COM1234567890", "COM0", "COM01", "COM", "COMx",
             "com1", "LPT1", "COM1 ", "/dev/pts/3", "./reader"}) {
        sim::TSimOptions options;
        std::string error;
        EXPECT_EQ(sim::ParseSimOptions({"--port", name}, options, error), !ResolveCommName(name, "").empty())
            << name;
        // The value joined with '=' too, as orvelle and orvelle-card take it.
        EXPECT_EQ(sim::ParseSimOptions({std::string("--port=") + name}, options, error),
            !ResolveCommName(name, "").empty())
            << name;
    }
    sim::TSimOptions joined;
    std::string error;
    ASSERT_TRUE(sim::ParseSimOptions({"--pace=5", "--seed=7", "--fault=06:noreply*2", "-q"}, joined, error)) << error;
    EXPECT_EQ(joined.PaceMs, 5);
    EXPECT_EQ(joined.Seed, 7u);
    ASSERT_EQ(joined.Faults.size(), 1u);
    EXPECT_EQ(joined.Faults[0].Count, 2);
    EXPECT_TRUE(joined.Quiet);
    EXPECT_FALSE(sim::ParseSimOptions({"--quiet=yes"}, joined, error));
    EXPECT_EQ(error, "--quiet takes no value");
    EXPECT_EQ(PortMapLink("COM3", "/map"), "/map/COM3");
    EXPECT_EQ(PortMapLink("LPT1", "/map"), "");
    EXPECT_EQ(PortMapLink("COM3", ""), "");
}

TEST(SimProgram, ItsRecordBesideTheLinkGoesOnlyWhereTheRuleAllows)
{
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    ASSERT_TRUE(QDir().mkpath(config.filePath("orvelle/ports")));
    const std::string victim = config.filePath("victim").toStdString();
    QFile f(QString::fromStdString(victim));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write("keep") == 4);
    f.close();
    // Another user's link laid where the simulator keeps its record.
    const std::string record = config.filePath("orvelle/ports/COM1.pid").toStdString();
    ASSERT_EQ(::symlink(victim.c_str(), record.c_str()), 0);
    ASSERT_EQ(::lchown(record.c_str(), 65534, 65534), 0);

    TSimProcess sim(config, {"--quiet"});
    ASSERT_TRUE(sim.Process.waitForFinished(10000));
    EXPECT_EQ(sim.Process.exitCode(), 2);
    EXPECT_NE(sim.Process.readAllStandardError().indexOf("is a symbolic link of another user (uid 65534): not followed"), -1);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "keep");
    EXPECT_FALSE(Exists(config.filePath("orvelle/ports/COM1").toStdString()));
}
