#include "cardtool/CardCommandLine.h"

#include "cardtool/Version.h"
#include "protocol/PlainText.h"
#include "serial/PortName.h"

#include <QCommandLineParser>
#include <QFile>

namespace {

std::string LocalName(const QString& Name) { return QFile::encodeName(Name).toStdString(); }

TCardOptions Failed(const QString& Why)
{
    TCardOptions result;
    result.Action = TCardOptions::Error;
    // An argument may be a file name with an escape sequence in it.
    result.Why = QString::fromLocal8Bit(PrintableText(Why.toLocal8Bit().toStdString()));
    result.Text = QStringLiteral("orvelle-card: %1\nTry 'orvelle-card --help' for more.\n").arg(result.Why);
    return result;
}

// --json among the options, which end at "--".
bool AskedForJson(const QStringList& Args)
{
    for (qsizetype i = 1; i < Args.size() && Args.at(i) != QLatin1String("--"); ++i) {
        if (Args.at(i) == QLatin1String("--json"))
            return true;
    }
    return false;
}

} // namespace

const char* CardCommandName(TCardCommand Command)
{
    switch (Command) {
    case TCardCommand::Keys:
        return "keys";
    case TCardCommand::Read:
        return "read";
    case TCardCommand::Write:
        return "write";
    case TCardCommand::Diff:
        return "diff";
    }
    return "?";
}

QString CardUsage()
{
    return QStringLiteral(
        "Usage: orvelle-card [--port COMn|PATH] [--keys FILE]... [--no-builtin-keys] [--json]\n"
        "                    [--timeout MS] COMMAND\n"
        "Whole-card work on the MIFARE Classic 1K card in a card reader/encoder on a serial port.\n"
        "\n"
        "Commands:\n"
        "  keys                 find a key A and a key B for every sector\n"
        "  read FILE            read the card into the dump FILE: the binary form (1024 bytes)\n"
        "                       when the name ends in .bin or .mfd, else the text form\n"
        "  write FILE [--trailers] [--yes]\n"
        "                       write the dump FILE onto the card, every block read back;\n"
        "                       block 0 never, sector trailers only with --trailers\n"
        "  diff FILE            compare the card with the dump FILE, block by block\n"
        "\n"
        "Every command first maps the keys: each sector is tried, for write and diff first\n"
        "with the keys the dump's trailers state in full, then with those of the --keys files\n"
        "and the built-in default keys, each key once. A job in the same run reuses the map\n"
        "while the same card stays in the field. A dump is read by its content: 1024\n"
        "bytes, or the text form (a line \"+Sector: N\", then four blocks of 32 hex digits,\n"
        "'-' for unknown).\n"
        "\n"
        "Options:\n"
        "  --port COMn|PATH     the reader's port: COMn through the port map\n"
        "                       ${XDG_CONFIG_HOME:-~/.config}/orvelle/ports/COMn, else\n"
        "                       /dev/ttyS{n-1}; or a device path (default COM1)\n"
        "  --keys FILE          a key file: 12 hex digits a line, '#' starts a comment;\n"
        "                       may be given more than once\n"
        "  --no-builtin-keys    try only the --keys files' keys (and, for write and diff,\n"
        "                       the dump's)\n"
        "  --json               results as JSON instead of a table: exactly one document on\n"
        "                       every exit of a command, {\"error\": \"...\", \"exit\": N} when\n"
        "                       there are no results\n"
        "  --timeout MS         the reply time-out, 50 to 60000 milliseconds (default 500)\n"
        "  --trailers           write: the sector trailers too, each after a confirmation\n"
        "                       that shows the rights it gives\n"
        "  --yes                write: answer yes to every confirmation\n"
        "  -h, --help           show this help and exit\n"
        "  -v, --version        show the version and exit\n"
        "\n"
        "Progress goes to standard error, results to standard output. A confirmation is asked\n"
        "on the terminal; when standard input is no terminal and --yes is not given, it is\n"
        "answered no. SIGINT, SIGTERM, SIGHUP or SIGPIPE (a closed pipe on standard output or\n"
        "error) stops the job between two exchanges with the reader. Each job is recorded with\n"
        "its port, card, dump and result in the journal the window keeps,\n"
        "${XDG_STATE_HOME:-~/.local/state}/orvelle/journal/YYYY-MM-DD.log.\n"
        "\n"
        "Exit status:\n"
        "  0  every sector done (diff: the card and the dump agree)\n"
        "  1  some sectors not done, a trailer not confirmed, the job interrupted, the dump\n"
        "     not saved, or the results not written to standard output (diff: they differ,\n"
        "     or the card was not compared to the end)\n"
        "  2  bad usage or a bad input file: nothing was sent to the reader\n"
        "  3  the port could not be opened, or the reader does not answer\n"
        "  4  no card in the reader's field\n");
}

namespace {

TCardOptions Parse(const QStringList& Args)
{
    QCommandLineParser parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")}, QString());
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("PORT"));
    const QCommandLineOption keys(QStringLiteral("keys"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption json(QStringLiteral("json"), QString());
    const QCommandLineOption timeout(QStringLiteral("timeout"), QString(), QStringLiteral("MS"));
    const QCommandLineOption trailers(QStringLiteral("trailers"), QString());
    const QCommandLineOption yes(QStringLiteral("yes"), QString());
    const QCommandLineOption noBuiltIn(QStringLiteral("no-builtin-keys"), QString());
    parser.addOptions({help, version, port, keys, json, timeout, trailers, yes, noBuiltIn});
    if (!parser.parse(Args))
        return Failed(parser.errorText());
    if (parser.isSet(help)) {
        TCardOptions result;
        result.Action = TCardOptions::Help;
        result.Text = CardUsage();
        return result;
    }
    if (parser.isSet(version)) {
        TCardOptions result;
        result.Action = TCardOptions::Version;
        result.Text = QStringLiteral("orvelle-card %1\n").arg(QLatin1String(CardToolVersion));
        return result;
    }

    TCardOptions result;
    const QStringList words = parser.positionalArguments();
    if (words.isEmpty())
        return Failed(QStringLiteral("no command: keys, read FILE, write FILE or diff FILE."));
    const QString& command = words.first();
    if (command == QLatin1String("keys"))
        result.Command = TCardCommand::Keys;
    else if (command == QLatin1String("read"))
        result.Command = TCardCommand::Read;
    else if (command == QLatin1String("write"))
        result.Command = TCardCommand::Write;
    else if (command == QLatin1String("diff"))
        result.Command = TCardCommand::Diff;
    else
        return Failed(QStringLiteral("unknown command '%1': keys, read FILE, write FILE or diff FILE.").arg(command));
    const qsizetype wanted = result.Command == TCardCommand::Keys ? 1 : 2;
    if (words.size() < wanted)
        return Failed(QStringLiteral("%1 needs a dump FILE.").arg(command));
    if (words.size() > wanted)
        return Failed(QStringLiteral("unexpected argument '%1'.").arg(words.at(wanted)));
    if (wanted == 2) {
        if (words.at(1).isEmpty())
            return Failed(QStringLiteral("%1 needs a dump FILE.").arg(command));
        result.File = LocalName(words.at(1));
    }
    if (result.Command != TCardCommand::Write) {
        for (const QCommandLineOption* only : {&trailers, &yes}) {
            if (parser.isSet(*only))
                return Failed(QStringLiteral("--%1 belongs to write only.").arg(only->names().first()));
        }
    }

    if (parser.isSet(port)) {
        const QString name = parser.value(port);
        // A name with a '/' is a device path; anything else must be a COM
        // name of the port map, in either case.
        result.Port = name.contains(QLatin1Char('/')) ? LocalName(name) : name.toUpper().toStdString();
        if (!name.contains(QLatin1Char('/')) && !IsComName(result.Port))
            return Failed(QStringLiteral("unknown port '%1': COM1, COM2, ... or a device path.").arg(name));
    }
    for (const QString& file : parser.values(keys))
        result.KeyFiles.push_back(LocalName(file));
    if (parser.isSet(timeout)) {
        bool ok = false;
        const int ms = parser.value(timeout).toInt(&ok);
        if (!ok || ms < MinReplyTimeoutMs || ms > MaxReplyTimeoutMs)
            return Failed(QStringLiteral("--timeout takes %1 to %2 milliseconds, not '%3'.")
                              .arg(MinReplyTimeoutMs)
                              .arg(MaxReplyTimeoutMs)
                              .arg(parser.value(timeout)));
        result.ReplyTimeoutMs = ms;
    }
    result.Json = parser.isSet(json);
    result.Trailers = parser.isSet(trailers);
    result.Yes = parser.isSet(yes);
    result.BuiltInKeys = !parser.isSet(noBuiltIn);
    return result;
}

} // namespace

TCardOptions ParseCardCommandLine(const QStringList& Args)
{
    TCardOptions result = Parse(Args);
    // The error too is one JSON document for a caller that asked for JSON.
    if (result.Action == TCardOptions::Error)
        result.Json = AskedForJson(Args);
    return result;
}
