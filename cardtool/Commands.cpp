#include "cardtool/Commands.h"

#include "cardtool/CardOptions.h"
#include "cardtool/CardTool.h"
#include "serial/PortName.h"

#include <QCommandLineParser>

#include <initializer_list>

namespace {

// keys: --format is the form of the map --save writes, and a map has two.
QString KeyMapRules(const TCardOptions& Options, const QCommandLineParser& Parser)
{
    if (!Options.Format)
        return {};
    if (Options.SaveMap.empty())
        return QStringLiteral("--format belongs to keys only with --save.");
    if (*Options.Format != TDumpFormat::Binary && *Options.Format != TDumpFormat::Text)
        return QStringLiteral("a key map is saved as bin or text, not %1.").arg(Parser.value(QStringLiteral("format")));
    return {};
}

// ledger: the claims are listed or released, only released ones forced, and
// only the records filtered.
QString ClaimRules(const TCardOptions& Options, const QCommandLineParser& Parser)
{
    if (Options.Force && Options.ReleaseStation.isEmpty())
        return QStringLiteral("--force belongs to --release only.");
    if (Options.ListClaims && !Options.ReleaseStation.isEmpty())
        return QStringLiteral("--claims lists the claims and releases none: give it without --release.");
    for (const char* filter : {"station", "operator", "since", "until", "result", "summary", "report"}) {
        if (Parser.isSet(QLatin1String(filter)) && (Options.ListClaims || !Options.ReleaseStation.isEmpty()))
            return QStringLiteral("--%1 belongs to the records' export only: give it without --claims and --release.").arg(QLatin1String(filter));
    }
    // The report is a file of its own, the summary in it.
    if (!Options.ReportFile.empty() && (Options.Summary || Parser.isSet(QStringLiteral("json"))))
        return QStringLiteral("--report writes the summary and the charts to FILE: give it without --summary and --json.");
    return {};
}

// ports: --map links one port, and probes none.
QString PortsRules(const TCardOptions& Options, const QCommandLineParser& Parser)
{
    if (!Parser.isSet(QStringLiteral("map")))
        return {};
    if (!IsComName(Options.MapFile.empty() ? std::string() : QString::fromStdString(Options.MapFile).toUpper().toStdString()))
        return QStringLiteral("--map takes a COM name, COM1, COM2 ..., not '%1'.").arg(Parser.value(QStringLiteral("map")));
    if (Options.Paths.size() != 1)
        return QStringLiteral("ports --map COMn needs exactly one PATH, the device to link.");
    if (Parser.isSet(QStringLiteral("probe")))
        return QStringLiteral("--map links a port and probes none: give it without --probe.");
    return {};
}

} // namespace

// The rows name TCardTool's private members, which it opens to this table.
struct TCardCommands {
    static const TCardCommand Commands[];
    static const TCardOption Options[];
};

// The help texts are long: they are the --help text, a line of it a line.
const TCardCommand TCardCommands::Commands[] = {
    {.Name = "keys",
        .Operand = TCardOperand::None,
        .Synopsis = "keys [--save FILE [--format bin|text]]",
        .Help = "find a key A and a key B for every sector; --save writes the\n"
                "map found: a line a sector, \"SECTOR KEYA KEYB\", '-' for a key\n"
                "not found, or the binary key map (192 bytes: the keys A of\n"
                "sectors 0 to 15, then their keys B) when the name ends in .bin,\n"
                ".mfd, .raw or .dump and every key was found",
        .Options = {"save", "format"},
        .UsesReader = true,
        .Results = TCardResults::Sectors,
        .Check = KeyMapRules,
        .Run = &TCardTool::MapCard},
    {.Name = "read",
        .Operand = TCardOperand::DumpToSave,
        .Synopsis = "read FILE [--format bin|text|eml|json]",
        .Help = "read the card into the dump FILE, in the form its name asks\n"
                "for: binary (1024 bytes) for .bin, .mfd, .raw and .dump, the\n"
                ".eml form (64 lines of 32 hex digits) for .eml, the JSON form\n"
                "for .json, else the text form; all but the text form only\n"
                "when every digit was read",
        .Options = {"format"},
        .UsesReader = true,
        .Results = TCardResults::Sectors,
        .Run = &TCardTool::ReadCard},
    {.Name = "write",
        .Operand = TCardOperand::DumpToRead,
        .Synopsis = "write FILE [--trailers] [--yes]",
        .Help = "write the dump FILE onto the card, every block read back;\n"
                "block 0 never, sector trailers only with --trailers",
        .Options = {"trailers", "yes", "permanent"},
        .UsesReader = true,
        .Results = TCardResults::Written,
        .Run = &TCardTool::WriteCard},
    {.Name = "diff",
        .Operand = TCardOperand::DumpToRead,
        .Synopsis = "diff FILE",
        .Help = "compare the card with the dump FILE, block by block",
        .UsesReader = true,
        .Results = TCardResults::Compared,
        .Run = &TCardTool::DiffCard},
    {.Name = "batch",
        .Operand = TCardOperand::Template,
        .Synopsis = "batch TEMPLATE [--data FILE] [--ledger FILE|URL] [--batch NAME] [--station NAME]\n"
                    "      [--operator NAME] [--count N] [--trailers [--approve-trailers SHA256]] [--yes]\n"
                    "      [--again] [--reuse-data] [--label NAME]... [--labels-only]\n"
                    "      [--ledger-password-file FILE]",
        .Help = "a production line: card after card, each written from the\n"
                "template with its data row over it, every block read back,\n"
                "recorded in the ledger, then one beep (done), two (done\n"
                "before) or three (failed); the next card once this one\n"
                "is taken away; ends with the last data row",
        .Options = {"trailers", "yes", "data", "label", "labels-only", "ledger", "ledger-password-file", "batch", "station",
            "operator", "count", "again", "reuse-data", "approve-trailers", "permanent"},
        .UsesReader = true,
        .Results = TCardResults::Streamed,
        .Prepare = &TCardTool::PrepareBatch,
        .Run = &TCardTool::RunBatch},
    {.Name = "ledger",
        .Operand = TCardOperand::None,
        .Synopsis = "ledger [--ledger FILE|URL] [--batch NAME] [--station NAME] [--operator NAME]\n"
                    "       [--since TIME] [--until TIME] [--result done|failed|repeat] [--json] [--local]\n"
                    "       [--summary] [--report FILE.html]\n"
                    "       [--release STATION [--force]] [--claims] [--ledger-password-file FILE]",
        .Help = "the ledger's records as CSV (--json: JSON Lines), all of\n"
                "them unless --batch, --station, --operator, --result, --since\n"
                "or --until narrow them (together: the records that pass all),\n"
                "the open claims (--claims), or the unfinished claims of a\n"
                "silent station given back; opens no port, makes no ledger,\n"
                "and only reads one to print it; a CSV cell beginning with =,\n"
                "+, -, @, a tab or a carriage return gets a leading ' so\n"
                "that no spreadsheet runs it; --summary counts them per\n"
                "batch and station instead",
        .Options = {"ledger", "ledger-password-file", "batch", "station", "operator", "since", "until", "result", "release", "force", "claims",
            "local", "summary", "report"},
        .UsesReader = false,
        .Results = TCardResults::Streamed,
        .Check = ClaimRules,
        .Run = &TCardTool::PrintLedger},
    {.Name = "ports",
        .Operand = TCardOperand::Paths,
        .Synopsis = "ports [--probe] [PATH...]\n"
                    "ports --map COMn PATH",
        .Help = "the serial devices (the /dev/serial/by-id names first, then\n"
                "ttyUSB, ttyACM, the ttyS with hardware behind them, and each\n"
                "PATH), what the system says of them, who holds them, and the\n"
                "port map's COM links; opens no port. --probe sends the link\n"
                "test at 9600 8N1 to the free USB devices, the map's targets\n"
                "and each PATH at once (a ttyS only when mapped or named) and\n"
                "exits 3 when no reader answers; --map links COMn to PATH (by\n"
                "its by-id name when it has one) and exits 1 when it did not",
        .Options = {"probe", "map", "timeout"},
        .UsesReader = false,
        .Results = TCardResults::Streamed,
        .Check = PortsRules,
        .Run = &TCardTool::ListPorts},
    {.Name = "loop-report",
        .Operand = TCardOperand::Run,
        .Synopsis = "loop-report RUN [-o FILE.html]",
        .Help = "the report page of a loop run the window recorded: RUN is\n"
                "its CSV (or the same name without .csv); one HTML file with\n"
                "nothing beside it: the run's settings and totals, its\n"
                "cycles per minute, its failed cycles per minute by kind and\n"
                "its events; written beside the run (.html) unless -o says;\n"
                "opens no port",
        .Options = {"output"},
        .UsesReader = false,
        .Results = TCardResults::Streamed,
        .Run = &TCardTool::MakeLoopReport},
};

const TCardOption TCardCommands::Options[] = {
    {"port", 0, "COMn|PATH",
        "the reader's port: COMn through the port map\n"
        "${XDG_CONFIG_HOME:-~/.config}/orvelle/ports/COMn, else\n"
        "/dev/ttyS{n-1}; or a device path (default COM1)",
        TCardOption::Reader},
    {"keys", 0, "FILE",
        "a key file: 12 hex digits a line, '#' starts a comment; or\n"
        "a binary key map of 192 bytes; may be given more than once",
        TCardOption::Reader},
    {"map", 0, "FILE",
        "keys, read, write, diff, batch: a key map saved by keys --save\n"
        "(either form); each sector is tried with its keys first, and\n"
        "only a key it lacks, or one that does not open the sector, is\n"
        "looked for among the others; ports --map COMn PATH: the COM\n"
        "name linked to PATH",
        TCardOption::Reader},
    {"probe", 0, nullptr, "ports: send each port the link test", TCardOption::Listed},
    {"save", 0, "FILE", "keys: save the map found", TCardOption::Listed},
    {"format", 0, "FORM",
        "read: the dump's form, bin, text, eml or json; keys --save: the\n"
        "map's, bin or text (default: by the file's name)",
        TCardOption::Listed},
    {"no-builtin-keys", 0, nullptr,
        "try only the --keys files' keys (and, for write and diff,\n"
        "the dump's)",
        TCardOption::Reader},
    {"json", 0, nullptr,
        "results as JSON instead of a table: one document on every\n"
        "exit of a command, {\"error\": \"...\", \"exit\": N} when there\n"
        "are no results; batch and ledger: JSON Lines as they go\n"
        "(ledger --summary: one document)",
        TCardOption::Everywhere},
    {"timeout", 0, "MS", "the reply time-out, 50 to 60000 milliseconds (default 500)", TCardOption::Reader},
    {"trailers", 0, nullptr,
        "write, batch: the sector trailers too, each after a\n"
        "confirmation that shows the rights it gives (batch: each\n"
        "asked once before the first card; --yes or a terminal)",
        TCardOption::Listed},
    {"yes", 0, nullptr, "write, batch: answer yes to every confirmation", TCardOption::Listed},
    {"approve-trailers", 0, "SHA256",
        "batch --trailers: the template's trailer changes approved\n"
        "ahead, without asking, while their digest is SHA256 (a\n"
        "SHA-256 over each trailer's sector and 16 bytes); another\n"
        "template's trailers are refused before the port opens",
        TCardOption::Listed},
    {"permanent", 0, nullptr,
        "write, batch --trailers: write a trailer too that takes\n"
        "something away for good (keys or access bits no key can\n"
        "change again, a block no key can read); without it such a\n"
        "trailer is refused before the port opens",
        TCardOption::Listed},
    {"data", 0, "FILE",
        "batch: a CSV file, a header line then a row a card; columns\n"
        "'block N' (32 hex digits) and 'value N' (a value block) are\n"
        "written (also 'Block4', 'block 04'), the others are labels\n"
        "kept in the ledger; refused before the port opens: a header\n"
        "separated by ';' or a tab, a near miss of a data column\n"
        "('blok 4', 'vaule 8'), no data column, no rows, an empty\n"
        "line among the rows, and a template block partly known that\n"
        "no data column writes; what each card gets is said at start",
        TCardOption::Listed},
    {"label", 0, "NAME",
        "batch: keep the column NAME, a near miss of a data column, as\n"
        "a label; may be given more than once",
        TCardOption::Listed},
    {"labels-only", 0, nullptr,
        "batch: take a data file without a data column: every card\n"
        "gets the template as it is, its labels kept in the ledger",
        TCardOption::Listed},
    {"ledger", 0, "FILE|URL",
        "an SQLite file (default\n"
        "${XDG_DATA_HOME:-~/.local/share}/orvelle/ledger.sqlite) or\n"
        "postgresql://[USER@]HOST[:PORT]/DBNAME[?host=DIR]; a file,\n"
        "its -wal, -shm and -journal and its folder must be yours and\n"
        "writable by you alone (ledger: another user's file is read)",
        TCardOption::Listed},
    {"ledger-password-file", 0, "FILE",
        "batch, ledger: the PostgreSQL password, the first line of\n"
        "FILE, a file of yours of mode 0600; else PGPASSWORD or\n"
        "~/.pgpass. A password in the address is refused",
        TCardOption::Listed},
    {"batch", 0, "NAME",
        "the batch (default: the data file's name, else the\n"
        "template's)",
        TCardOption::Listed},
    {"station", 0, "NAME",
        "batch: this reader's name in the ledger (default: host:port);\n"
        "ledger: only the records of station NAME",
        TCardOption::Listed},
    {"operator", 0, "NAME",
        "batch: who works this station, recorded with each card\n"
        "(default: your login name); ledger: only the records of\n"
        "operator NAME",
        TCardOption::Listed},
    {"count", 0, "N", "batch: stop after N cards done", TCardOption::Listed},
    {"again", 0, nullptr, "batch: rewrite a card prepared before, with its own row", TCardOption::Listed},
    {"reuse-data", 0, nullptr, "batch: use a data file that is another batch's already", TCardOption::Listed},
    {"release", 0, "STATION",
        "ledger: give STATION's unfinished claims back, once it has\n"
        "been silent (no heartbeat) for 10 s",
        TCardOption::Listed},
    {"force", 0, nullptr, "ledger --release: give them back even from a live station", TCardOption::Listed},
    {"claims", 0, nullptr,
        "ledger: list the open claims (batch, row, serial, station,\n"
        "since, last heartbeat), releasing nothing",
        TCardOption::Listed},
    {"since", 0, "TIME",
        "ledger: only the records from TIME on: an ISO 8601 date (the\n"
        "start of that local day) or date-time (local unless it ends\n"
        "in Z or an offset such as +01:00), today, yesterday, or a\n"
        "time ago, -8h or -30m",
        TCardOption::Listed},
    {"until", 0, "TIME", "ledger: only the records before TIME (as --since)", TCardOption::Listed},
    {"result", 0, "RESULT", "ledger: only the records of RESULT, done, failed or repeat", TCardOption::Listed},
    {"summary", 0, nullptr,
        "ledger: the records counted per batch and station, then a\n"
        "total: done, failed (and by cause), repeats, first and last,\n"
        "cards per hour, median and 95th percentile card time, rows\n"
        "left, open claims; --json: one document",
        TCardOption::Listed},
    {"report", 0, "FILE",
        "ledger: write the shift report to FILE, one HTML page with\n"
        "nothing beside it that prints on A4: the filters, the\n"
        "summary's total and a table a station, and charts of the\n"
        "cards per 10 minutes, failures by cause, card times and\n"
        "yield per station; not with --summary or --json",
        TCardOption::Listed},
    {"output", 'o', "FILE", "loop-report: the page's file (default: RUN's name, .html)", TCardOption::Listed},
    {"local", 0, nullptr,
        "ledger: times in local time with their offset (default:\n"
        "UTC, ending in Z)",
        TCardOption::Listed},
    {"help", 'h', nullptr, "show this help and exit", TCardOption::Everywhere},
    {"version", 'v', nullptr, "show the version and exit", TCardOption::Everywhere},
};

std::span<const TCardCommand> CardCommands() { return TCardCommands::Commands; }

std::span<const TCardOption> CardOptionTable() { return TCardCommands::Options; }

const TCardCommand* FindCardCommand(const QString& Name)
{
    for (const TCardCommand& command : CardCommands()) {
        if (Name == QLatin1String(command.Name))
            return &command;
    }
    return nullptr;
}
