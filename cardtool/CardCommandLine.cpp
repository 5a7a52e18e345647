#include "cardtool/CardCommandLine.h"

#include "cardtool/Commands.h"
#include "cardtool/Version.h"
#include "protocol/PlainText.h"
#include "records/Ledger.h"
#include "serial/PortName.h"

#include <QCommandLineParser>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <initializer_list>
#include <utility>

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

TCardOptions Answered(TCardOptions::TAction Action, const QString& Text)
{
    TCardOptions result;
    result.Action = Action;
    result.Text = Text;
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

// "a, b and c" (Last: "and"), "a, b or c".
QString Listed(const QStringList& Names, const char* Last)
{
    if (Names.size() < 2)
        return Names.join(QString());
    return Names.first(Names.size() - 1).join(QStringLiteral(", ")) + QLatin1Char(' ') + QLatin1String(Last) + QLatin1Char(' ')
        + Names.last();
}

// ------------------------------------------------------------------ usage

// The prose around the tables' entries in --help. Long on purpose: the text
// as --help shows it, a line of it a line.
const char* const UsageHead = "Usage: orvelle-card [--port COMn|PATH] [--keys FILE]... [--map FILE] [--no-builtin-keys]\n"
                              "                    [--json] [--timeout MS] COMMAND\n"
                              "Whole-card work on the MIFARE Classic 1K card in a card reader/encoder on a serial port.\n"
                              "\n"
                              "Commands:\n";
const char* const UsageMiddle = "\n"
                                "Every command first maps the keys: each sector is tried, for write and diff first\n"
                                "with the keys the dump's trailers state in full, then with those of the --keys files\n"
                                "and the built-in default keys, each key once (--map: a saved map's keys of a sector\n"
                                "first, then the rest). A job in the same run reuses the map while the same card\n"
                                "stays in the field. A dump is read by its content: 1024 bytes, the text form (a line\n"
                                "\"+Sector: N\", then four blocks of 32 hex digits, '-' for unknown; a sector left out\n"
                                "is unknown; '#' starts a comment line), the .eml form, or the JSON form (its \"blocks\"\n"
                                "object, \"0\" to \"63\"). A dump of a 4K, 2K or Mini card is refused.\n"
                                "\n"
                                "Options:\n";
const char* const UsageTail = "\n"
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
                              "     a ledger file that is not there)\n"
                              "  6  loop-report: the run's files could not be read; no page was written\n";

// An entry of --help: the synopsis, then the help in its column, its first
// line beside the synopsis's last when two blanks fit between them.
QString UsageEntry(const QString& Synopsis, const QString& Help)
{
    constexpr qsizetype column = 23;
    QStringList lines;
    for (const QString& line : Synopsis.split(QLatin1Char('\n')))
        lines << QStringLiteral("  ") + line;
    QStringList help = Help.split(QLatin1Char('\n'));
    if (lines.last().size() <= column - 2)
        lines.last() = lines.last().leftJustified(column) + help.takeFirst();
    for (const QString& line : help)
        lines << QString(column, QLatin1Char(' ')) + line;
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QString OptionSynopsis(const TCardOption& Option)
{
    QString out = QStringLiteral("--") + QLatin1String(Option.Name);
    if (Option.Short != 0)
        out = QStringLiteral("-%1, ").arg(QLatin1Char(Option.Short)) + out;
    if (Option.Value != nullptr)
        out += QLatin1Char(' ') + QLatin1String(Option.Value);
    return out;
}

// ------------------------------------------------------------ the command

QString OperandName(TCardOperand Operand)
{
    return Operand == TCardOperand::Template ? QStringLiteral("TEMPLATE") : Operand == TCardOperand::Run ? QStringLiteral("RUN")
                                                                                                         : QStringLiteral("FILE");
}

// "keys, read FILE, write FILE, diff FILE, batch TEMPLATE or ledger".
QString CommandList()
{
    QStringList names;
    for (const TCardCommand& command : CardCommands()) {
        QString name = QLatin1String(command.Name);
        if (command.Operand != TCardOperand::None && command.Operand != TCardOperand::Paths)
            name += QLatin1Char(' ') + OperandName(command.Operand);
        names << name;
    }
    return Listed(names, "or");
}

using TStep = QString (*)(const QCommandLineParser& Parser, TCardOptions& Result);

// The command and its operand.
QString ReadCommand(const QCommandLineParser& Parser, TCardOptions& Result)
{
    const QStringList words = Parser.positionalArguments();
    if (words.isEmpty())
        return QStringLiteral("no command: %1.").arg(CommandList());
    const QString& name = words.first();
    Result.Command = FindCardCommand(name);
    if (Result.Command == nullptr)
        return QStringLiteral("unknown command '%1': %2.").arg(name, CommandList());
    const TCardOperand operand = Result.Command->Operand;
    if (operand == TCardOperand::Paths) {
        for (const QString& path : words.mid(1))
            Result.Paths.push_back(LocalName(path));
        return {};
    }
    const qsizetype wanted = operand == TCardOperand::None ? 1 : 2;
    QString needs = QStringLiteral("%1 needs %2.").arg(name, operand == TCardOperand::DumpToRead || operand == TCardOperand::DumpToSave ? QStringLiteral("a dump FILE") : OperandName(operand));
    if (words.size() < wanted)
        return needs;
    if (words.size() > wanted)
        return QStringLiteral("unexpected argument '%1'.").arg(words.at(wanted));
    if (wanted == 2) {
        if (words.at(1).isEmpty())
            return needs;
        Result.File = LocalName(words.at(1));
    }
    return {};
}

bool BelongsTo(const TCardOption& Option, const TCardCommand& Command)
{
    switch (Option.Scope) {
    case TCardOption::Everywhere:
        return true;
    case TCardOption::Reader:
        // ... and the commands that list it (ports --map).
        if (Command.UsesReader)
            return true;
        break;
    case TCardOption::Listed:
        break;
    }
    return std::any_of(Command.Options.begin(), Command.Options.end(), [&Option](const char* Name) { return qstrcmp(Name, Option.Name) == 0; });
}

// "write and batch", or "the commands that use a reader".
QString WhereItBelongs(const TCardOption& Option)
{
    QStringList names;
    for (const TCardCommand& command : CardCommands()) {
        if (BelongsTo(Option, command) && !(Option.Scope == TCardOption::Reader && command.UsesReader))
            names << QLatin1String(command.Name);
    }
    if (Option.Scope == TCardOption::Reader)
        names.prepend(QStringLiteral("the commands that use a reader"));
    return Listed(names, "and");
}

// Each option where it means something, and nowhere else.
QString CheckBelongs(const QCommandLineParser& Parser, TCardOptions& Result)
{
    for (const TCardOption& option : CardOptionTable()) {
        if (Parser.isSet(QLatin1String(option.Name)) && !BelongsTo(option, *Result.Command))
            return QStringLiteral("--%1 belongs to %2 only.").arg(QLatin1String(option.Name), WhereItBelongs(option));
    }
    return {};
}

// ------------------------------------------------------------ the values

// A FILE that must not be empty when given; "" when not given.
QString ReadFileValue(const QCommandLineParser& Parser, const char* Option, std::string& File)
{
    const QString name = QLatin1String(Option);
    if (Parser.isSet(name) && Parser.value(name).isEmpty())
        return QStringLiteral("--%1 needs a FILE.").arg(name);
    File = LocalName(Parser.value(name));
    return {};
}

// batch: the data file and how it is taken.
QString ReadDataFile(const QCommandLineParser& Parser, TCardOptions& Result)
{
    if (QString why = ReadFileValue(Parser, "data", Result.DataFile); !why.isEmpty())
        return why;
    for (const char* option : {"label", "labels-only"}) {
        if (Parser.isSet(QLatin1String(option)) && !Parser.isSet(QStringLiteral("data")))
            return QStringLiteral("--%1 is about the --data file: give one.").arg(QLatin1String(option));
    }
    for (const QString& name : Parser.values(QStringLiteral("label"))) {
        if (name.trimmed().isEmpty())
            return QStringLiteral("--label needs a NAME.");
        Result.DataOptions.Labels.push_back(name.toStdString());
    }
    Result.DataOptions.LabelsOnly = Parser.isSet(QStringLiteral("labels-only"));
    return {};
}

// --map, --save, --output, and the form --format names.
QString ReadMapAndForm(const QCommandLineParser& Parser, TCardOptions& Result)
{
    for (const auto& [option, file] : {std::pair{"map", &Result.MapFile}, std::pair{"save", &Result.SaveMap}, std::pair{"output", &Result.OutputFile}}) {
        if (QString why = ReadFileValue(Parser, option, *file); !why.isEmpty())
            return why;
    }
    if (!Parser.isSet(QStringLiteral("format")))
        return {};
    const QString form = Parser.value(QStringLiteral("format"));
    Result.Format = DumpFormatNamed(form.toStdString());
    if (!Result.Format)
        return QStringLiteral("--format takes bin, text, eml or json, not '%1'.").arg(form);
    return {};
}

// The ledger and what is done with it.
QString ReadLedgerNames(const QCommandLineParser& Parser, TCardOptions& Result)
{
    Result.LedgerSpec = Parser.value(QStringLiteral("ledger"));
    Result.BatchName = Parser.value(QStringLiteral("batch"));
    Result.Station = Parser.value(QStringLiteral("station"));
    Result.Operator = Parser.value(QStringLiteral("operator"));
    Result.ReleaseStation = Parser.value(QStringLiteral("release"));
    if (Parser.isSet(QStringLiteral("release")) && Result.ReleaseStation.isEmpty())
        return QStringLiteral("--release needs a STATION.");
    Result.Force = Parser.isSet(QStringLiteral("force"));
    Result.ListClaims = Parser.isSet(QStringLiteral("claims"));
    Result.LocalTimes = Parser.isSet(QStringLiteral("local"));
    Result.Summary = Parser.isSet(QStringLiteral("summary"));
    return ReadFileValue(Parser, "report", Result.ReportFile);
}

// ledger: which records are exported. The times are read against one now.
QString ReadRecordFilter(const QCommandLineParser& Parser, TCardOptions& Result)
{
    const QDateTime now = QDateTime::currentDateTime();
    for (const auto& [option, when] : {std::pair{"since", &Result.Since}, std::pair{"until", &Result.Until}}) {
        const QString name = QLatin1String(option);
        if (!Parser.isSet(name))
            continue;
        QString why;
        *when = ParseLedgerTime(Parser.value(name), now, why);
        if (!when->isValid())
            return QStringLiteral("--%1: %2").arg(name, why);
    }
    if (Result.Since.isValid() && Result.Until.isValid() && Result.Since >= Result.Until)
        return QStringLiteral("--since is not before --until: no record could be between them (--until is exclusive).");
    Result.Result = Parser.value(QStringLiteral("result"));
    if (Parser.isSet(QStringLiteral("result")) && !QStringList{QStringLiteral("done"), QStringLiteral("failed"), QStringLiteral("repeat")}.contains(Result.Result))
        return QStringLiteral("--result takes done, failed or repeat, not '%1'.").arg(Result.Result);
    return {};
}

// The command's own rule between its options.
QString CheckCommandRules(const QCommandLineParser& Parser, TCardOptions& Result)
{
    return Result.Command->Check != nullptr ? Result.Command->Check(Result, Parser) : QString();
}

// batch: which cards, and how many.
QString ReadCardsToDo(const QCommandLineParser& Parser, TCardOptions& Result)
{
    const QString count = Parser.value(QStringLiteral("count"));
    if (Parser.isSet(QStringLiteral("count"))) {
        bool ok = false;
        Result.Count = count.toInt(&ok);
        if (!ok || Result.Count < 1)
            return QStringLiteral("--count takes a number of cards from 1, not '%1'.").arg(count);
    }
    Result.Again = Parser.isSet(QStringLiteral("again"));
    Result.ReuseData = Parser.isSet(QStringLiteral("reuse-data"));
    return {};
}

QString ReadPasswordFile(const QCommandLineParser& Parser, TCardOptions& Result)
{
    return ReadFileValue(Parser, "ledger-password-file", Result.LedgerPasswordFile);
}

QString ReadPort(const QCommandLineParser& Parser, TCardOptions& Result)
{
    if (!Parser.isSet(QStringLiteral("port")))
        return {};
    const QString name = Parser.value(QStringLiteral("port"));
    // A name with a '/' is a device path; anything else must be a COM
    // name of the port map, in either case.
    const bool path = name.contains(QLatin1Char('/'));
    Result.Port = path ? LocalName(name) : name.toUpper().toStdString();
    if (!path && !IsComName(Result.Port))
        return QStringLiteral("unknown port '%1': COM1, COM2, ... or a device path.").arg(name);
    return {};
}

// The keys to try and how long a reply is waited for.
QString ReadKeysAndTimeout(const QCommandLineParser& Parser, TCardOptions& Result)
{
    for (const QString& file : Parser.values(QStringLiteral("keys")))
        Result.KeyFiles.push_back(LocalName(file));
    Result.BuiltInKeys = !Parser.isSet(QStringLiteral("no-builtin-keys"));
    if (!Parser.isSet(QStringLiteral("timeout")))
        return {};
    const QString value = Parser.value(QStringLiteral("timeout"));
    bool ok = false;
    const int ms = value.toInt(&ok);
    if (!ok || ms < MinReplyTimeoutMs || ms > MaxReplyTimeoutMs)
        return QStringLiteral("--timeout takes %1 to %2 milliseconds, not '%3'.").arg(MinReplyTimeoutMs).arg(MaxReplyTimeoutMs).arg(value);
    Result.ReplyTimeoutMs = ms;
    return {};
}

// batch --approve-trailers: a SHA-256, and only beside --trailers.
QString ReadApprovedTrailers(const QCommandLineParser& Parser, TCardOptions& Result)
{
    if (!Parser.isSet(QStringLiteral("approve-trailers")))
        return {};
    const QString digest = Parser.value(QStringLiteral("approve-trailers"));
    static const QRegularExpression sha256(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    if (!sha256.match(digest).hasMatch())
        return QStringLiteral("--approve-trailers takes a SHA-256 of 64 hex digits, not '%1'.").arg(digest);
    if (!Parser.isSet(QStringLiteral("trailers")))
        return QStringLiteral("--approve-trailers approves the trailers --trailers writes: give both.");
    Result.ApprovedTrailers = digest.toLower();
    return {};
}

QString ReadSwitches(const QCommandLineParser& Parser, TCardOptions& Result)
{
    Result.Json = Parser.isSet(QStringLiteral("json"));
    Result.Trailers = Parser.isSet(QStringLiteral("trailers"));
    Result.Yes = Parser.isSet(QStringLiteral("yes"));
    Result.Probe = Parser.isSet(QStringLiteral("probe"));
    Result.Permanent = Parser.isSet(QStringLiteral("permanent"));
    if (Result.Permanent && !Result.Trailers)
        return QStringLiteral("--permanent lets --trailers write a trailer that locks for good: give both.");
    return ReadApprovedTrailers(Parser, Result);
}

TCardOptions Parse(const QStringList& Args)
{
    QCommandLineParser parser;
    for (const TCardOption& option : CardOptionTable()) {
        QStringList names{QLatin1String(option.Name)};
        if (option.Short != 0)
            names.prepend(QString(QLatin1Char(option.Short)));
        parser.addOption(QCommandLineOption(names, QString(), option.Value != nullptr ? QLatin1String(option.Value) : QString()));
    }
    if (!parser.parse(Args))
        return Failed(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        return Answered(TCardOptions::Help, CardUsage());
    if (parser.isSet(QStringLiteral("version")))
        return Answered(TCardOptions::Version, QStringLiteral("orvelle-card %1\n").arg(QLatin1String(CardToolVersion)));
    TCardOptions result;
    QString why;
    // In the order their mistakes are told: the first one is.
    for (const TStep step : {ReadCommand, CheckBelongs, ReadDataFile, ReadMapAndForm, ReadLedgerNames, CheckCommandRules,
             ReadRecordFilter, ReadCardsToDo, ReadPasswordFile, ReadPort, ReadKeysAndTimeout, ReadSwitches}) {
        if (why.isEmpty())
            why = step(parser, result);
    }
    return why.isEmpty() ? result : Failed(why);
}

} // namespace

QString CardUsage()
{
    QString commands;
    for (const TCardCommand& command : CardCommands())
        commands += UsageEntry(QLatin1String(command.Synopsis), QLatin1String(command.Help));
    QString options;
    for (const TCardOption& option : CardOptionTable())
        options += UsageEntry(OptionSynopsis(option), QLatin1String(option.Help));
    return QLatin1String(UsageHead) + commands + QLatin1String(UsageMiddle) + options + QLatin1String(UsageTail);
}

TCardOptions ParseCardCommandLine(const QStringList& Args)
{
    TCardOptions result = Parse(Args);
    // The error too is one JSON document for a caller that asked for JSON.
    if (result.Action == TCardOptions::Error)
        result.Json = AskedForJson(Args);
    return result;
}
