#include "cardtool/Output.h"

#include "protocol/KeyFile.h"
#include "protocol/PlainText.h"
#include "records/Ledger.h"
#include "session/BatchJob.h"
#include "session/CardWords.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Built by appending: GCC 12's -O3 mistakes "literal" + std::string for an
// overlapping copy (-Wrestrict).
std::string Quoted(const std::string& Text)
{
    std::string out(1, '"');
    out += Text;
    out += '"';
    return out;
}

std::string KeyOrNull(const std::optional<TKey>& Key) { return Key ? Quoted(KeyText(*Key)) : "null"; }

std::string Numbers(const std::vector<int>& Blocks, const char* Separator)
{
    std::string out;
    for (const int block : Blocks) {
        if (!out.empty())
            out += Separator;
        out += std::to_string(block);
    }
    return out;
}

std::string JsonList(const std::vector<int>& Blocks)
{
    std::string out(1, '[');
    out += Numbers(Blocks, ", ");
    out += ']';
    return out;
}

// Left-aligned in Width, with two blanks after it.
std::string Cell(const std::string& Text, size_t Width)
{
    return Text + std::string(Text.size() < Width ? Width - Text.size() : 0, ' ') + "  ";
}

std::string Trimmed(std::string Line)
{
    while (!Line.empty() && Line.back() == ' ')
        Line.pop_back();
    return Line + "\n";
}

// What the blocks column says: the blocks the result is about, then what a
// write left alone.
std::string BlocksCell(const TCardReport& Report, const TSectorReport& Sector)
{
    std::string out = Numbers(Sector.Outcome.Blocks, " ");
    auto add = [&out](const std::string& Part) { out += (out.empty() ? "" : "; ") + Part; };
    if (Report.Command->Results == TCardResults::Written) {
        if (!Sector.Outcome.Unknown.empty())
            add("unknown " + Numbers(Sector.Outcome.Unknown, " "));
        if (Sector.Outcome.Trailer != TTrailerNote::None)
            add(TrailerNoteText(Sector.Outcome.Trailer));
    }
    return out;
}

// What the result is about: the card, and for write and diff the dump.
std::string Subject(const TCardReport& Report)
{
    std::string out = "card ";
    out += Report.Serial ? SerialText(*Report.Serial) : "-";
    if (!Report.Dump.empty()) {
        out += ", dump ";
        out += PrintableText(Report.Dump);
    }
    return out;
}

std::string NotComparedList(const std::vector<TNotCompared>& Blocks)
{
    std::string out(1, '[');
    for (size_t i = 0; i < Blocks.size(); ++i) {
        if (i > 0)
            out += ", ";
        out += "{\"block\": " + std::to_string(Blocks[i].Block) + ", \"reason\": ";
        out += Quoted(SectorResultText(Blocks[i].Reason));
        out += '}';
    }
    out += ']';
    return out;
}

} // namespace

bool PrintOut(const std::string& Text)
{
    // A failed write leaves its error in the stream; fflush reports it too
    // when the bytes were only buffered.
    errno = 0;
    if (std::fputs(Text.c_str(), stdout) != EOF && std::fflush(stdout) == 0 && std::ferror(stdout) == 0)
        return true;
    const int error = errno;
    // A reader that took what it wanted and closed the pipe (| head) is
    // no failure to tell; the status still says the output was cut.
    if (error == EPIPE)
        return false;
    std::fprintf(stderr, "orvelle-card: the results could not be written to standard output: %s\n",
        error != 0 ? std::strerror(error) : "write error");
    return false;
}

std::string TableOf(const TCardReport& Report)
{
    const bool diff = Report.Command->Results == TCardResults::Compared;
    constexpr size_t keyWidth = 12;
    // A readable key B is longer than a key: its column is as wide as it.
    std::array<std::string, SectorCount> keysB;
    size_t keyBWidth = keyWidth;
    for (size_t s = 0; s < Report.Sectors.size(); ++s) {
        keysB[s] = KeyCellText(Report.Sectors[s].Keys, true, Report.Trailers, int(s));
        keyBWidth = std::max(keyBWidth, keysB[s].size());
    }
    constexpr size_t resultWidth = 13; // "verify failed"
    std::string header = Cell("sector", 6) + Cell("key A", keyWidth) + Cell("key B", keyBWidth)
        + Cell("result", resultWidth) + (diff ? Cell("blocks", 12) + "differing" : "blocks");
    std::string out = Subject(Report) + "\n" + Trimmed(header);
    for (size_t s = 0; s < Report.Sectors.size(); ++s) {
        const TSectorReport& sector = Report.Sectors[s];
        std::string number = std::to_string(s);
        std::string line = Cell(std::string(6 - number.size(), ' ') + number, 6) + Cell(KeyCellText(sector.Keys, false, Report.Trailers, int(s)), keyWidth)
            + Cell(keysB[s], keyBWidth) + Cell(SectorResultText(sector.Outcome.Result), resultWidth);
        if (diff) {
            line += Cell(BlocksCell(Report, sector), 12) + Numbers(sector.Differing, " ");
        } else {
            line += BlocksCell(Report, sector);
        }
        out += Trimmed(line);
    }
    if (diff && Report.Compared)
        out += CompareText(*Report.Compared) + "\n";
    if (Report.Command->Results == TCardResults::Written && Report.NothingWritten)
        out += std::string(NothingWrittenText) + "\n";
    return out;
}

std::string JsonOf(const TCardReport& Report)
{
    const bool diff = Report.Command->Results == TCardResults::Compared;
    std::string out = "{\n  \"command\": \"" + std::string(Report.Command->Name) + "\",\n";
    out += "  \"interrupted\": " + std::string(Report.Interrupted ? "true" : "false") + ",\n";
    out += "  \"serial\": " + (Report.Serial ? Quoted(SerialText(*Report.Serial)) : std::string("null")) + ",\n";
    if (!Report.Dump.empty())
        out += "  \"dump\": " + JsonStringOf(Report.Dump) + ",\n";
    out += "  \"sectors\": [\n";
    for (size_t s = 0; s < Report.Sectors.size(); ++s) {
        const TSectorReport& sector = Report.Sectors[s];
        out += "    {\"sector\": " + std::to_string(s) + ", \"keyA\": " + KeyOrNull(sector.Keys.KeyA)
            + ", \"keyB\": " + KeyOrNull(sector.Keys.KeyB) + ", \"result\": \""
            + SectorResultText(sector.Outcome.Result) + "\", \"blocks\": " + JsonList(sector.Outcome.Blocks);
        if (Report.Command->Results == TCardResults::Written) {
            out += ", \"unknown\": " + JsonList(sector.Outcome.Unknown)
                + ", \"trailerDeclined\": " + (sector.Outcome.Trailer == TTrailerNote::Declined ? "true" : "false");
        }
        if (diff)
            out += ", \"differing\": " + JsonList(sector.Differing);
        out += s + 1 < Report.Sectors.size() ? "},\n" : "}\n";
    }
    out += "  ]";
    if (diff) {
        const TCompareResult none;
        const TCompareResult& compared = Report.Compared ? *Report.Compared : none;
        out += ",\n  \"agree\": " + std::string(compared.Agree() ? "true" : "false");
        out += ",\n  \"known\": " + std::to_string(compared.Known);
        out += ",\n  \"compared\": " + std::to_string(compared.Compared);
        out += ",\n  \"differ\": " + JsonList(compared.Differ);
        out += ",\n  \"notCompared\": " + NotComparedList(compared.NotCompared);
    }
    out += ",\n  \"exit\": ";
    out += std::to_string(Report.Exit);
    out += "\n}\n";
    return out;
}

std::string JsonErrorOf(const std::string& Error, int Exit)
{
    std::string out = "{\"error\": ";
    out += JsonStringOf(Error);
    out += ", \"exit\": ";
    out += std::to_string(Exit);
    out += "}\n";
    return out;
}

std::string JsonStringOf(std::string_view Text)
{
    std::string out(1, '"');
    for (const char c : PrintableText(Text)) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

std::string BatchEventJson(const char* Event, const std::string& Fields)
{
    return std::string("{\"event\":\"") + Event + '"' + (Fields.empty() ? "" : "," + Fields) + "}\n";
}

std::string BatchCardJson(const TBatchCard& Card, const std::string& Station, const std::string& Operator, const std::string& Batch)
{
    std::string written;
    for (const int block : Card.Written) {
        if (!written.empty())
            written += ',';
        written += std::to_string(block);
    }
    // A card prepared before is no failure; one not recorded is.
    const char* event = "failed";
    if (Card.Result == TBatchResult::Done)
        event = "done";
    else if (Card.Result == TBatchResult::AlreadyPrepared)
        event = "repeat";
    return BatchEventJson(event,
        "\"serial\":\"" + SerialText(Card.Serial) + "\",\"row\":" + std::to_string(Card.Row) + ",\"result\":\""
            + BatchResultText(Card.Result) + "\",\"cause\":\"" + FailCauseCode(Card.Cause) + "\",\"station\":" + JsonStringOf(Station)
            + ",\"operator\":" + JsonStringOf(Operator) + ",\"batch\":" + JsonStringOf(Batch) + ",\"detail\":" + JsonStringOf(Card.Detail) + ",\"written\":[" + written
            + "],\"duration_ms\":" + std::to_string(Card.DurationMs));
}

std::string ClaimLine(const TOpenClaim& Claim, bool Json)
{
    const std::string heard = Claim.LastHeard.isValid() ? UtcTime(Claim.LastHeard) : std::string();
    if (Json) {
        return "{\"batch\":" + JsonStringOf(Claim.Batch.toStdString()) + ",\"row\":" + std::to_string(Claim.Row)
            + ",\"serial\":" + JsonStringOf(Claim.Serial.toStdString()) + ",\"station\":" + JsonStringOf(Claim.Station.toStdString())
            + ",\"since\":" + JsonStringOf(UtcTime(Claim.Since)) + ",\"last_heartbeat\":" + (heard.empty() ? "null" : JsonStringOf(heard))
            + ",\"silent_ms\":" + (Claim.SilentMs < 0 ? "null" : std::to_string(Claim.SilentMs)) + "}\n";
    }
    return "batch " + PrintableText(Claim.Batch.toStdString()) + ", row " + std::to_string(Claim.Row) + ", card "
        + PrintableText(Claim.Serial.toStdString()) + ", station '" + PrintableText(Claim.Station.toStdString()) + "', since "
        + UtcTime(Claim.Since) + ", last heartbeat "
        + (heard.empty() ? std::string("never") : heard + " (" + std::to_string(Claim.SilentMs / 1000) + " s ago)") + "\n";
}

std::string UtcTime(const QDateTime& When)
{
    return When.isValid() ? When.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'")).toStdString() : std::string();
}

namespace {

// The summary's cards an hour, one decimal.
std::string PerHour(const std::optional<double>& Rate)
{
    if (!Rate)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", *Rate);
    return text;
}

std::string MsOrDash(const std::optional<qint64>& Ms) { return Ms ? std::to_string(*Ms) : "-"; }

std::vector<std::string> SummaryCells(const TLedgerSummaryLine& Line, bool Total)
{
    std::string causes;
    for (const auto& [code, count] : Line.FailedByCause) {
        if (!causes.empty())
            causes += ',';
        causes += code.isEmpty() ? std::string("-") : PrintableText(code.toStdString());
        causes += ':';
        causes += std::to_string(count);
    }
    const auto orDash = [](const QString& Text) { return Text.isEmpty() ? std::string("-") : PrintableText(Text.toStdString()); };
    return {Total ? std::string("total") : orDash(Line.Batch), Total ? std::string() : orDash(Line.Station), std::to_string(Line.Done),
        std::to_string(Line.Failed), causes.empty() ? std::string("-") : causes, std::to_string(Line.Repeats), orDash(Line.First), orDash(Line.Last),
        PerHour(Line.CardsPerHour), MsOrDash(Line.MedianMs), MsOrDash(Line.P95Ms), std::to_string(Line.RowsLeft), std::to_string(Line.OpenClaims)};
}

QJsonObject SummaryObject(const TLedgerSummaryLine& Line, bool Total)
{
    QJsonObject causes;
    for (const auto& [code, count] : Line.FailedByCause)
        causes.insert(code, count);
    const auto orNull = [](const auto& Value) { return Value ? QJsonValue(double(*Value)) : QJsonValue(QJsonValue::Null); };
    const auto timeOrNull = [](const QString& Text) { return Text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(Text); };
    QJsonObject object{
        {QStringLiteral("done"), Line.Done},
        {QStringLiteral("failed"), Line.Failed},
        {QStringLiteral("failed_by_cause"), causes},
        {QStringLiteral("repeats"), Line.Repeats},
        {QStringLiteral("first"), timeOrNull(Line.First)},
        {QStringLiteral("last"), timeOrNull(Line.Last)},
        {QStringLiteral("cards_per_hour"), orNull(Line.CardsPerHour)},
        {QStringLiteral("median_ms"), orNull(Line.MedianMs)},
        {QStringLiteral("p95_ms"), orNull(Line.P95Ms)},
        {QStringLiteral("rows_left"), Line.RowsLeft},
        {QStringLiteral("open_claims"), Line.OpenClaims},
    };
    if (!Total) {
        object.insert(QStringLiteral("batch"), Line.Batch);
        object.insert(QStringLiteral("station"), Line.Station);
    }
    return object;
}

} // namespace

std::string AlignedTable(const std::vector<std::vector<std::string>>& Rows)
{
    std::vector<size_t> widths;
    for (const auto& row : Rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    }
    std::string out;
    for (const auto& row : Rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i)
            line += row[i] + std::string(i + 1 < row.size() ? widths[i] - row[i].size() + 2 : 0, ' ');
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out += line + "\n";
    }
    return out;
}

std::string SummaryText(const TLedgerSummary& Summary)
{
    std::vector<std::vector<std::string>> rows{
        {"batch", "station", "done", "failed", "causes", "repeats", "first", "last", "cards/h", "median_ms", "p95_ms", "rows_left", "open_claims"}};
    for (const TLedgerSummaryLine& line : Summary.Groups)
        rows.push_back(SummaryCells(line, false));
    rows.push_back(SummaryCells(Summary.Total, true));
    return AlignedTable(rows);
}

std::string SummaryJson(const TLedgerSummary& Summary)
{
    QJsonArray groups;
    for (const TLedgerSummaryLine& line : Summary.Groups)
        groups.append(SummaryObject(line, false));
    const QJsonObject document{{QStringLiteral("groups"), groups}, {QStringLiteral("total"), SummaryObject(Summary.Total, true)}};
    return QJsonDocument(document).toJson(QJsonDocument::Indented).toStdString();
}
