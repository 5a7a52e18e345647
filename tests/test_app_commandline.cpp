// The program's command line: the parsed choices, and the program itself
// answering --help, --version and a bad option without a display or a port.
#include "app/CommandLine.h"
#include "app/Version.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>

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

} // namespace
