#include "cardtool/CardCommandLine.h"

#include "cardtool/Version.h"
#include "protocol/PlainText.h"
#include "serial/PortName.h"

#include <QCommandLineParser>
#include <QFile>

#include <algorithm>
#include <initializer_list>

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
    case TCardCommand::Batch:
        return "batch";
    case TCardCommand::Ledger:
        return "ledger";
    }
    return "?";
}

QString CardUsage()
{
    return QStringLiteral(
        "Usage: orvelle-card [--port COMn|PATH] [--keys FILE]... [--map FILE] [--no-builtin-keys]\n"
        "                    [--json] [--timeout MS] COMMAND\n"
        "Whole-card work on the MIFARE Classic 1K card in a card reader/encoder on a serial port.\n"
        "\n"
        "Commands:\n"
        "  keys [--save FILE [--format bin|text]]\n"
        "                       find a key A and a key B for every sector; --save writes the\n"
        "                       map found: a line a sector, \"SECTOR KEYA KEYB\", '-' for a key\n"
        "                       not found, or the binary key map (192 bytes: the keys A of\n"
        "                       sectors 0 to 15, then their keys B) when the name ends in .bin,\n"
        "                       .mfd, .raw or .dump and every key was found\n"
        "  read FILE [--format bin|text|eml|json]\n"
        "                       read the card into the dump FILE, in the form its name asks\n"
        "                       for: binary (1024 bytes) for .bin, .mfd, .raw and .dump, the\n"
        "                       .eml form (64 lines of 32 hex digits) for .eml, the JSON form\n"
        "                       for .json, else the text form; all but the text form only\n"
        "                       when every digit was read\n"
        "  write FILE [--trailers] [--yes]\n"
        "                       write the dump FILE onto the card, every block read back;\n"
        "                       block 0 never, sector trailers only with --trailers\n"
        "  diff FILE            compare the card with the dump FILE, block by block\n"
        "  batch TEMPLATE [--data FILE] [--ledger FILE|URL] [--batch NAME] [--station NAME]\n"
        "        [--count N] [--trailers] [--yes] [--again] [--reuse-data]\n"
        "        [--label NAME]... [--labels-only] [--ledger-password-file FILE]\n"
        "                       a production line: card after card, each written from the\n"
        "                       template with its data row over it, every block read back,\n"
        "                       recorded in the ledger, then one beep (done), two (done\n"
        "                       before) or three (failed); the next card once this one\n"
        "                       is taken away; ends with the last data row\n"
        "  ledger [--ledger FILE|URL] [--batch NAME] [--json] [--local]\n"
        "         [--release STATION [--force]] [--claims] [--ledger-password-file FILE]\n"
        "                       the ledger's records as CSV (--json: JSON Lines), the open\n"
        "                       claims (--claims), or the unfinished claims of a silent\n"
        "                       station given back; opens no port, makes no ledger, and\n"
        "                       only reads one to print it; a CSV cell beginning with =,\n"
        "                       +, -, @, a tab or a carriage return gets a leading ' so\n"
        "                       that no spreadsheet runs it\n"
        "\n"
        "Every command first maps the keys: each sector is tried, for write and diff first\n"
        "with the keys the dump's trailers state in full, then with those of the --keys files\n"
        "and the built-in default keys, each key once (--map: a saved map's keys of a sector\n"
        "first, then the rest). A job in the same run reuses the map while the same card\n"
        "stays in the field. A dump is read by its content: 1024 bytes, the text form (a line\n"
        "\"+Sector: N\", then four blocks of 32 hex digits, '-' for unknown; a sector left out\n"
        "is unknown; '#' starts a comment line), the .eml form, or the JSON form (its \"blocks\"\n"
        "object, \"0\" to \"63\"). A dump of a 4K, 2K or Mini card is refused.\n"
        "\n"
        "Options:\n"
        "  --port COMn|PATH     the reader's port: COMn through the port map\n"
        "                       ${XDG_CONFIG_HOME:-~/.config}/orvelle/ports/COMn, else\n"
        "                       /dev/ttyS{n-1}; or a device path (default COM1)\n"
        "  --keys FILE          a key file: 12 hex digits a line, '#' starts a comment; or\n"
        "                       a binary key map of 192 bytes; may be given more than once\n"
        "  --map FILE           keys, read, write, diff, batch: a key map saved by keys --save\n"
        "                       (either form); each sector is tried with its keys first, and\n"
        "                       only a key it lacks, or one that does not open the sector, is\n"
        "                       looked for among the others\n"
        "  --save FILE          keys: save the map found\n"
        "  --format FORM        read: the dump's form, bin, text, eml or json; keys --save: the\n"
        "                       map's, bin or text (default: by the file's name)\n"
        "  --no-builtin-keys    try only the --keys files' keys (and, for write and diff,\n"
        "                       the dump's)\n"
        "  --json               results as JSON instead of a table: exactly one document on\n"
        "                       every exit of a command, {\"error\": \"...\", \"exit\": N} when\n"
        "                       there are no results\n"
        "  --timeout MS         the reply time-out, 50 to 60000 milliseconds (default 500)\n"
        "  --trailers           write, batch: the sector trailers too, each after a\n"
        "                       confirmation that shows the rights it gives (batch: each\n"
        "                       asked once before the first card; --yes or a terminal)\n"
        "  --yes                write, batch: answer yes to every confirmation\n"
        "  --data FILE          batch: a CSV file, a header line then a row a card; columns\n"
        "                       'block N' (32 hex digits) and 'value N' (a value block) are\n"
        "                       written (also 'Block4', 'block 04'), the others are labels\n"
        "                       kept in the ledger; refused before the port opens: a header\n"
        "                       separated by ';' or a tab, a near miss of a data column\n"
        "                       ('blok 4', 'vaule 8'), no data column, no rows, an empty\n"
        "                       line among the rows, and a template block partly known that\n"
        "                       no data column writes; what each card gets is said at start\n"
        "  --label NAME         batch: keep the column NAME, a near miss of a data column, as\n"
        "                       a label; may be given more than once\n"
        "  --labels-only        batch: take a data file without a data column: every card\n"
        "                       gets the template as it is, its labels kept in the ledger\n"
        "  --ledger FILE|URL    an SQLite file (default\n"
        "                       ${XDG_DATA_HOME:-~/.local/share}/orvelle/ledger.sqlite) or\n"
        "                       postgresql://[USER@]HOST[:PORT]/DBNAME[?host=DIR]; a file,\n"
        "                       its -wal, -shm and -journal and its folder must be yours and\n"
        "                       writable by you alone (ledger: another user's file is read)\n"
        "  --ledger-password-file FILE\n"
        "                       batch, ledger: the PostgreSQL password, the first line of\n"
        "                       FILE, a file of yours of mode 0600; else PGPASSWORD or\n"
        "                       ~/.pgpass. A password in the address is refused\n"
        "  --batch NAME         the batch (default: the data file's name, else the\n"
        "                       template's)\n"
        "  --station NAME       batch: this reader's name in the ledger (default: host:port)\n"
        "  --count N            batch: stop after N cards done\n"
        "  --again              batch: rewrite a card prepared before, with its own row\n"
        "  --reuse-data         batch: use a data file that is another batch's already\n"
        "  --release STATION    ledger: give STATION's unfinished claims back, once it has\n"
        "                       been silent (no heartbeat) for 10 s\n"
        "  --force              ledger --release: give them back even from a live station\n"
        "  --claims             ledger: list the open claims (batch, row, serial, station,\n"
        "                       since, last heartbeat), releasing nothing\n"
        "  --local              ledger: times in local time with their offset (default:\n"
        "                       UTC, ending in Z)\n"
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
        "  4  no card in the reader's field\n"
        "  5  batch, ledger: the ledger could not be opened, read or written (ledger: also\n"
        "     a ledger file that is not there)\n");
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
    const QCommandLineOption data(QStringLiteral("data"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption label(QStringLiteral("label"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption labelsOnly(QStringLiteral("labels-only"), QString());
    const QCommandLineOption ledger(QStringLiteral("ledger"), QString(), QStringLiteral("FILE|URL"));
    const QCommandLineOption batch(QStringLiteral("batch"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption station(QStringLiteral("station"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption count(QStringLiteral("count"), QString(), QStringLiteral("N"));
    const QCommandLineOption again(QStringLiteral("again"), QString());
    const QCommandLineOption release(QStringLiteral("release"), QString(), QStringLiteral("STATION"));
    const QCommandLineOption force(QStringLiteral("force"), QString());
    const QCommandLineOption claims(QStringLiteral("claims"), QString());
    const QCommandLineOption reuseData(QStringLiteral("reuse-data"), QString());
    const QCommandLineOption local(QStringLiteral("local"), QString());
    const QCommandLineOption passwordFile(QStringLiteral("ledger-password-file"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption map(QStringLiteral("map"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption save(QStringLiteral("save"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption format(QStringLiteral("format"), QString(), QStringLiteral("FORM"));
    parser.addOptions({help, version, port, keys, json, timeout, trailers, yes, noBuiltIn, data, ledger, batch, station,
        count, again, release, map, save, format, label, labelsOnly});
    parser.addOptions({force, claims, reuseData, local, passwordFile});
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
    const QString commands = QStringLiteral("keys, read FILE, write FILE, diff FILE, batch TEMPLATE or ledger");
    if (words.isEmpty())
        return Failed(QStringLiteral("no command: %1.").arg(commands));
    const QString& command = words.first();
    if (command == QLatin1String("keys"))
        result.Command = TCardCommand::Keys;
    else if (command == QLatin1String("read"))
        result.Command = TCardCommand::Read;
    else if (command == QLatin1String("write"))
        result.Command = TCardCommand::Write;
    else if (command == QLatin1String("diff"))
        result.Command = TCardCommand::Diff;
    else if (command == QLatin1String("batch"))
        result.Command = TCardCommand::Batch;
    else if (command == QLatin1String("ledger"))
        result.Command = TCardCommand::Ledger;
    else
        return Failed(QStringLiteral("unknown command '%1': %2.").arg(command, commands));
    const TCardCommand c = result.Command;
    const qsizetype wanted = c == TCardCommand::Keys || c == TCardCommand::Ledger ? 1 : 2;
    const QString fileName = c == TCardCommand::Batch ? QStringLiteral("TEMPLATE") : QStringLiteral("a dump FILE");
    if (words.size() < wanted)
        return Failed(QStringLiteral("%1 needs %2.").arg(command, fileName));
    if (words.size() > wanted)
        return Failed(QStringLiteral("unexpected argument '%1'.").arg(words.at(wanted)));
    if (wanted == 2) {
        if (words.at(1).isEmpty())
            return Failed(QStringLiteral("%1 needs %2.").arg(command, fileName));
        result.File = LocalName(words.at(1));
    }
    // Each option where it means something, and nowhere else.
    const struct {
        const QCommandLineOption* Option;
        std::initializer_list<TCardCommand> Commands;
        const char* Where;
    } belongs[] = {
        {&trailers, {TCardCommand::Write, TCardCommand::Batch}, "write and batch"},
        {&yes, {TCardCommand::Write, TCardCommand::Batch}, "write and batch"},
        {&data, {TCardCommand::Batch}, "batch"},
        {&label, {TCardCommand::Batch}, "batch"},
        {&labelsOnly, {TCardCommand::Batch}, "batch"},
        {&station, {TCardCommand::Batch}, "batch"},
        {&count, {TCardCommand::Batch}, "batch"},
        {&again, {TCardCommand::Batch}, "batch"},
        {&ledger, {TCardCommand::Batch, TCardCommand::Ledger}, "batch and ledger"},
        {&batch, {TCardCommand::Batch, TCardCommand::Ledger}, "batch and ledger"},
        {&release, {TCardCommand::Ledger}, "ledger"},
        {&force, {TCardCommand::Ledger}, "ledger"},
        {&claims, {TCardCommand::Ledger}, "ledger"},
        {&reuseData, {TCardCommand::Batch}, "batch"},
        {&local, {TCardCommand::Ledger}, "ledger"},
        {&passwordFile, {TCardCommand::Batch, TCardCommand::Ledger}, "batch and ledger"},
        {&save, {TCardCommand::Keys}, "keys"},
        {&format, {TCardCommand::Keys, TCardCommand::Read}, "keys and read"},
        {&map, {TCardCommand::Keys, TCardCommand::Read, TCardCommand::Write, TCardCommand::Diff, TCardCommand::Batch},
            "the commands that use a reader"},
        {&port, {TCardCommand::Keys, TCardCommand::Read, TCardCommand::Write, TCardCommand::Diff, TCardCommand::Batch},
            "the commands that use a reader"},
        {&keys, {TCardCommand::Keys, TCardCommand::Read, TCardCommand::Write, TCardCommand::Diff, TCardCommand::Batch},
            "the commands that use a reader"},
        {&noBuiltIn, {TCardCommand::Keys, TCardCommand::Read, TCardCommand::Write, TCardCommand::Diff, TCardCommand::Batch},
            "the commands that use a reader"},
        {&timeout, {TCardCommand::Keys, TCardCommand::Read, TCardCommand::Write, TCardCommand::Diff, TCardCommand::Batch},
            "the commands that use a reader"},
    };
    for (const auto& b : belongs) {
        if (parser.isSet(*b.Option) && std::find(b.Commands.begin(), b.Commands.end(), c) == b.Commands.end())
            return Failed(QStringLiteral("--%1 belongs to %2 only.").arg(b.Option->names().first(), QLatin1String(b.Where)));
    }
    if (parser.isSet(data)) {
        if (parser.value(data).isEmpty())
            return Failed(QStringLiteral("--data needs a FILE."));
        result.DataFile = LocalName(parser.value(data));
    }
    for (const QCommandLineOption* option : {&label, &labelsOnly}) {
        if (parser.isSet(*option) && !parser.isSet(data))
            return Failed(QStringLiteral("--%1 is about the --data file: give one.").arg(option->names().first()));
    }
    for (const QString& name : parser.values(label)) {
        if (name.trimmed().isEmpty())
            return Failed(QStringLiteral("--label needs a NAME."));
        result.DataOptions.Labels.push_back(name.toStdString());
    }
    result.DataOptions.LabelsOnly = parser.isSet(labelsOnly);
    for (const QCommandLineOption* file : {&map, &save}) {
        if (parser.isSet(*file) && parser.value(*file).isEmpty())
            return Failed(QStringLiteral("--%1 needs a FILE.").arg(file->names().first()));
    }
    result.MapFile = LocalName(parser.value(map));
    result.SaveMap = LocalName(parser.value(save));
    if (parser.isSet(format)) {
        const QString form = parser.value(format);
        result.Format = DumpFormatNamed(form.toStdString());
        if (!result.Format)
            return Failed(QStringLiteral("--format takes bin, text, eml or json, not '%1'.").arg(form));
        if (c == TCardCommand::Keys && !parser.isSet(save))
            return Failed(QStringLiteral("--format belongs to keys only with --save."));
        if (c == TCardCommand::Keys && *result.Format != TDumpFormat::Binary && *result.Format != TDumpFormat::Text)
            return Failed(QStringLiteral("a key map is saved as bin or text, not %1.").arg(form));
    }
    result.LedgerSpec = parser.value(ledger);
    result.BatchName = parser.value(batch);
    result.Station = parser.value(station);
    result.ReleaseStation = parser.value(release);
    if (parser.isSet(release) && result.ReleaseStation.isEmpty())
        return Failed(QStringLiteral("--release needs a STATION."));
    result.Force = parser.isSet(force);
    result.ListClaims = parser.isSet(claims);
    result.ReuseData = parser.isSet(reuseData);
    if (result.Force && !parser.isSet(release))
        return Failed(QStringLiteral("--force belongs to --release only."));
    if (result.ListClaims && parser.isSet(release))
        return Failed(QStringLiteral("--claims lists the claims and releases none: give it without --release."));
    if (parser.isSet(count)) {
        bool ok = false;
        result.Count = parser.value(count).toInt(&ok);
        if (!ok || result.Count < 1)
            return Failed(QStringLiteral("--count takes a number of cards from 1, not '%1'.").arg(parser.value(count)));
    }
    result.Again = parser.isSet(again);
    result.LocalTimes = parser.isSet(local);
    if (parser.isSet(passwordFile) && parser.value(passwordFile).isEmpty())
        return Failed(QStringLiteral("--ledger-password-file needs a FILE."));
    result.LedgerPasswordFile = LocalName(parser.value(passwordFile));

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
