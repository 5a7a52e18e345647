#include "app/CommandLine.h"

#include "app/Version.h"

#include <QCommandLineParser>

namespace {

const QStringList PortNames{QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"),
    QStringLiteral("COM4")};

// Qt's own options (-platform NAME, -style NAME, ...) are the application's
// to take: known here, so they are no mistake, and left out of the help.
void KnowQtOptions(QCommandLineParser& Parser)
{
    for (const char* name : {"platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "qwindowicon",
             "qwindowtitle", "session", "style", "stylesheet", "display", "geometry", "title", "name", "fontengine",
             "dialogs"}) {
        QCommandLineOption qtOption(QLatin1String(name), QString(), QStringLiteral("value"));
        qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
        Parser.addOption(qtOption);
    }
    for (const char* name : {"reverse", "widgetcount", "nograb", "dograb", "sync"}) {
        QCommandLineOption qtSwitch{QString::fromLatin1(name)};
        qtSwitch.setFlags(QCommandLineOption::HiddenFromHelp);
        Parser.addOption(qtSwitch);
    }
}

} // namespace

TCommandLine ParseCommandLine(const QStringList& Args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Prepares and tests MIFARE Classic cards with a card reader/encoder on a serial port.\n"
        "COM1 to COM4 are looked up in ${XDG_CONFIG_HOME:-~/.config}/orvelle/ports/COMn, else /dev/ttyS0..3."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help and exit."));
    const QCommandLineOption version(
        {QStringLiteral("v"), QStringLiteral("version")}, QStringLiteral("Show the version and exit."));
    const QCommandLineOption port(QStringLiteral("port"),
        QStringLiteral("Start on port NAME (COM1 to COM4) instead of COM1, for this run."), QStringLiteral("NAME"));
    parser.addOption(help);
    parser.addOption(version);
    parser.addOption(port);
    const QCommandLineOption line(QStringLiteral("line"), QStringLiteral("Show only the production line's window (no port is opened)."));
    const QCommandLineOption ledger(QStringLiteral("ledger"),
        QStringLiteral("The line window's ledger: an SQLite FILE or a postgresql:// URL (default: the default ledger file)."), QStringLiteral("FILE|URL"));
    parser.addOption(line);
    parser.addOption(ledger);
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    QCommandLineOption platform(QStringLiteral("platform"), QString(), QStringLiteral("value"));
    platform.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(platform);
    KnowQtOptions(parser);

    TCommandLine result;
    // Read before any application object exists, so the parser cannot know
    // the program's name by itself.
    QString usage = parser.helpText();
    usage = QStringLiteral("Usage: orvelle") + usage.mid(usage.indexOf(QStringLiteral(" [options]")));
    if (!parser.parse(Args)) {
        result.Action = TCommandLine::Error;
        result.Text = parser.errorText() + QStringLiteral("\n\n") + usage;
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        result.Action = TCommandLine::Error;
        result.Text = QStringLiteral("Unexpected argument '%1'.\n\n").arg(parser.positionalArguments().first()) + usage;
        return result;
    }
    if (parser.isSet(help)) {
        result.Action = TCommandLine::Help;
        result.Text = usage;
        return result;
    }
    if (parser.isSet(version)) {
        result.Action = TCommandLine::Version;
        result.Text = QStringLiteral("orvelle %1\n").arg(QLatin1String(OrvelleVersion));
        return result;
    }
    result.Platform = parser.value(platform);
    result.Line = parser.isSet(line);
    result.Ledger = parser.value(ledger);
    if (parser.isSet(ledger) && !result.Line) {
        result.Action = TCommandLine::Error;
        result.Text = QStringLiteral("--ledger is for the line window: give --line with it.\n\n") + usage;
        return result;
    }
    if (parser.isSet(port)) {
        const QString name = parser.value(port).toUpper();
        result.PortIndex = int(PortNames.indexOf(name));
        if (result.PortIndex < 0) {
            result.Action = TCommandLine::Error;
            result.Text = QStringLiteral("Unknown port '%1': choose COM1, COM2, COM3 or COM4.\n\n").arg(parser.value(port)) + usage;
            result.PortIndex = 0;
        }
    }
    return result;
}
