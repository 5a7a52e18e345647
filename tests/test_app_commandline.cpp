// The program's command line: the parsed choices, and the program itself
// answering --help, --version and a bad option without a display or a port.
#include "app/CommandLine.h"
#include "app/Version.h"
#include "support/TestPaths.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

TEST(CommandLine, ChoicesAndMistakes)
{
    struct TCase {
        QStringList Args;
        TCommandLine::TAction Action;
        int PortIndex;
        const char* TextHas;
    };
    const TCase cases[] = {
        {{}, TCommandLine::Run, 0, ""},
        {{"--port", "COM3"}, TCommandLine::Run, 2, ""},
        {{"--port=com2"}, TCommandLine::Run, 1, ""},
        {{"-platform", "offscreen", "-reverse", "--port", "COM4"}, TCommandLine::Run, 3, ""},
        {{"--help"}, TCommandLine::Help, 0, "Usage: orvelle [options]"},
        {{"-v"}, TCommandLine::Version, 0, "orvelle "},
        {{"--port", "COM5"}, TCommandLine::Error, 0, "Unknown port 'COM5'"},
        {{"--port"}, TCommandLine::Error, 0, "Missing value after '--port'"},
        {{"--bogus"}, TCommandLine::Error, 0, "Unknown option 'bogus'"},
        {{"COM2"}, TCommandLine::Error, 0, "Unexpected argument 'COM2'"},
        {{"--ledger", "line.sqlite"}, TCommandLine::Error, 0, "give --line with it"},
    };
    for (const TCase& c : cases) {
        const TCommandLine got = ParseCommandLine(QStringList{"orvelle"} + c.Args);
        const std::string name = c.Args.join(' ').toStdString();
        EXPECT_EQ(got.Action, c.Action) << name;
        EXPECT_EQ(got.PortIndex, c.PortIndex) << name;
        EXPECT_TRUE(got.Text.contains(QLatin1String(c.TextHas))) << name << ": " << got.Text.toStdString();
        if (c.Action == TCommandLine::Error) {
            EXPECT_TRUE(got.Text.contains("Usage: orvelle")) << name << ": the usage follows a mistake";
        }
    }
    EXPECT_EQ(ParseCommandLine({"orvelle", "--version"}).Text, QStringLiteral("orvelle %1\n").arg(OrvelleVersion));
    // The line window alone, on a ledger named or the default one.
    for (const QStringList& args : {QStringList{"--line", "--ledger", "postgresql://line@/ledger"}, QStringList{"--line"}}) {
        const TCommandLine got = ParseCommandLine(QStringList{"orvelle"} + args);
        EXPECT_EQ(got.Action, TCommandLine::Run) << got.Text.toStdString();
        EXPECT_TRUE(got.Line);
        EXPECT_EQ(got.Ledger, args.size() > 1 ? args[2] : QString());
    }
    EXPECT_FALSE(ParseCommandLine({"orvelle"}).Line);
}

TEST(CommandLine, TheProgramAnswersWithoutADisplay)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    struct TCase {
        QStringList Args;
        int Exit;
        const char* Out;
        const char* Err;
    };
    const TCase cases[] = {
        {{"--help"}, 0, "--port <NAME>", ""},
        {{"--version"}, 0, "orvelle ", ""},
        {{"--bogus"}, 2, "", "Unknown option 'bogus'"},
        {{"--port", "COM1"}, 2, "", "no graphical display"},
        {{"-style", "fusion", "--port", "COM1"}, 2, "", "no graphical display"},
    };
    for (const TCase& c : cases) {
        QProcess program;
        program.setProcessEnvironment(env);
        program.start(QCoreApplication::applicationDirPath() + "/../orvelle", c.Args);
        ASSERT_TRUE(program.waitForFinished(60000)) << c.Args.join(' ').toStdString();
        EXPECT_EQ(program.exitCode(), c.Exit) << c.Args.join(' ').toStdString();
        EXPECT_TRUE(program.readAllStandardOutput().contains(c.Out)) << c.Args.join(' ').toStdString();
        EXPECT_TRUE(program.readAllStandardError().contains(c.Err)) << c.Args.join(' ').toStdString();
    }
}

TEST(CommandLine, APlatformNamedOnTheCommandLineNeedsNoDisplay)
{
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    // A private port map whose COM2 leads nowhere, and a private journal.
    env.insert("XDG_CONFIG_HOME", home.filePath("config"));
    env.insert("XDG_STATE_HOME", home.filePath("state"));
    ASSERT_TRUE(QDir().mkpath(home.filePath("config/orvelle/ports")));
    ASSERT_TRUE(QFile::link(home.filePath("no-such-device"), home.filePath("config/orvelle/ports/COM2")));
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(QCoreApplication::applicationDirPath() + "/../orvelle", {"-platform", "offscreen", "--port", "COM2"});
    ASSERT_TRUE(program.waitForStarted(60000));
    // The window is up once it has said so in its journal.
    const QDir journal(home.filePath("state/orvelle/journal"));
    const auto started = [&] {
        for (const QString& day : journal.entryList({"*.log"}, QDir::Files)) {
            QFile file(journal.filePath(day));
            if (file.open(QIODevice::ReadOnly) && file.readAll().contains(" started (process "))
                return true;
        }
        return false;
    };
    const QDeadlineTimer deadline(60000);
    while (!started() && program.state() == QProcess::Running && !deadline.hasExpired())
        program.waitForFinished(20);
    EXPECT_TRUE(started()) << program.readAllStandardError().toStdString();
    EXPECT_EQ(program.state(), QProcess::Running);
    program.kill();
    program.waitForFinished(60000);
}

// The three programs answer the common options alike, and every option a
// program's --help names is in its manual page and the README.
TEST(CommandLine, TheThreeProgramsAnswerAlikeAndTheirPagesNameEveryOption)
{
    const auto read = [](const QString& Path) {
        QFile file(Path);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << Path.toStdString();
        // The manual pages write a dash as \-.
        return QString::fromUtf8(file.readAll()).replace(QStringLiteral("\\-"), QStringLiteral("-"));
    };
    const QString readme = read(SourceFile("README.md"));
    const QStringList programs{"orvelle", "orvelle-card", "orvelle-sim"};
    const auto run = [](const QString& Program, const QString& Option) {
        QProcess program;
        program.start(QCoreApplication::applicationDirPath() + "/../" + Program, {Option});
        EXPECT_TRUE(program.waitForFinished(60000)) << Program.toStdString() << " " << Option.toStdString();
        EXPECT_EQ(program.exitCode(), 0) << Program.toStdString() << " " << Option.toStdString();
        return QString::fromLocal8Bit(program.readAllStandardOutput());
    };
    for (const QString& name : programs) {
        SCOPED_TRACE(name.toStdString());
        const QString help = run(name, "--help");
        EXPECT_EQ(run(name, "-h"), help);
        EXPECT_EQ(run(name, "--version"), name + " " + OrvelleVersion + "\n");
        EXPECT_EQ(run(name, "-v"), name + " " + OrvelleVersion + "\n");
        for (const char* common : {"-h, --help", "-v, --version"})
            EXPECT_TRUE(help.contains(QLatin1String(common))) << common;

        const QString page = read(SourceFile(QStringLiteral("packaging/man/%1.1.in").arg(name)));
        QRegularExpressionMatchIterator options = QRegularExpression(R"((?<![\w-])--[a-z][a-z-]*)").globalMatch(help);
        while (options.hasNext()) {
            const QString option = options.next().captured();
            EXPECT_TRUE(page.contains(option)) << "man page: " << option.toStdString();
            EXPECT_TRUE(readme.contains(option)) << "README: " << option.toStdString();
        }
        const QString seeAlso = page.mid(page.indexOf(".SH SEE ALSO"));
        for (const QString& other : programs)
            EXPECT_EQ(seeAlso.contains(".BR " + other + " (1)"), other != name) << other.toStdString();
    }
    // The card tool's synopsis, commands and options as its --help gives them.
    const QString help = run("orvelle-card", "--help");
    for (const QString& line : help.left(help.indexOf("\n\nProgress goes")).split('\n'))
        EXPECT_TRUE(readme.contains(line)) << line.toStdString();
}

TEST(CommandLine, AFullStandardOutputIsNoSuccess)
{
    for (const char* binary : {"orvelle", "orvelle-card", "orvelle-sim"}) {
        for (const char* option : {"--help", "--version"}) {
            QProcess program;
            program.setStandardOutputFile("/dev/full");
            program.start(QCoreApplication::applicationDirPath() + "/../" + binary, {option});
            ASSERT_TRUE(program.waitForFinished(60000)) << binary << " " << option;
            EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << binary << " " << option;
            EXPECT_EQ(program.exitCode(), 1) << binary << " " << option;
            EXPECT_TRUE(program.readAllStandardError().contains("standard output: No space left on device")) << binary << " " << option;
        }
    }
}

} // namespace
