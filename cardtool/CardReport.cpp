#include "cardtool/CardReport.h"

#include "protocol/KeyFile.h"
#include "protocol/PlainText.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string KeyOrDash(const std::optional<TKey>& Key) { return Key ? KeyText(*Key) : "-"; }

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
    if (Report.Command == TCardCommand::Write) {
        if (!Sector.Outcome.Unknown.empty())
            add("unknown " + Numbers(Sector.Outcome.Unknown, " "));
        if (Sector.TrailerDeclined)
            add("trailer not confirmed");
    }
    return out;
}

// C1 C2 C3 as three binary digits.
std::string Bits(uint8_t Cond) { return {char('0' + ((Cond >> 2) & 1)), char('0' + ((Cond >> 1) & 1)), char('0' + (Cond & 1))}; }

std::string Hex2(uint8_t Byte)
{
    char text[3];
    std::snprintf(text, sizeof text, "%02X", Byte);
    return text;
}

} // namespace

std::string TableOf(const TCardReport& Report)
{
    const bool diff = Report.Command == TCardCommand::Diff;
    constexpr size_t keyWidth = 12;
    constexpr size_t resultWidth = 13; // "verify failed"
    std::string header = Cell("sector", 6) + Cell("key A", keyWidth) + Cell("key B", keyWidth)
        + Cell("result", resultWidth) + (diff ? Cell("blocks", 12) + "differing" : "blocks");
    std::string out = Trimmed(header);
    std::vector<int> differing;
    for (size_t s = 0; s < Report.Sectors.size(); ++s) {
        const TSectorReport& sector = Report.Sectors[s];
        std::string number = std::to_string(s);
        std::string line = Cell(std::string(6 - number.size(), ' ') + number, 6) + Cell(KeyOrDash(sector.Keys.KeyA), keyWidth)
            + Cell(KeyOrDash(sector.Keys.KeyB), keyWidth) + Cell(SectorResultText(sector.Outcome.Result), resultWidth);
        if (diff) {
            line += Cell(BlocksCell(Report, sector), 12) + Numbers(sector.Differing, " ");
            differing.insert(differing.end(), sector.Differing.begin(), sector.Differing.end());
        } else {
            line += BlocksCell(Report, sector);
        }
        out += Trimmed(line);
    }
    if (diff) {
        if (!differing.empty())
            out += "the card differs from the dump in blocks " + Numbers(differing, ", ") + "\n";
        else if (Report.Agree)
            out += "the card and the dump agree\n";
        else
            out += "no block differs, but the card was not compared to the end\n";
    }
    return out;
}

std::string JsonOf(const TCardReport& Report)
{
    const bool diff = Report.Command == TCardCommand::Diff;
    std::string out = "{\n  \"command\": \"" + std::string(CardCommandName(Report.Command)) + "\",\n";
    out += "  \"interrupted\": " + std::string(Report.Interrupted ? "true" : "false") + ",\n";
    out += "  \"sectors\": [\n";
    std::vector<int> differing;
    for (size_t s = 0; s < Report.Sectors.size(); ++s) {
        const TSectorReport& sector = Report.Sectors[s];
        out += "    {\"sector\": " + std::to_string(s) + ", \"keyA\": " + KeyOrNull(sector.Keys.KeyA)
            + ", \"keyB\": " + KeyOrNull(sector.Keys.KeyB) + ", \"result\": \""
            + SectorResultText(sector.Outcome.Result) + "\", \"blocks\": " + JsonList(sector.Outcome.Blocks);
        if (Report.Command == TCardCommand::Write) {
            out += ", \"unknown\": " + JsonList(sector.Outcome.Unknown)
                + ", \"trailerDeclined\": " + (sector.TrailerDeclined ? "true" : "false");
        }
        if (diff) {
            out += ", \"differing\": " + JsonList(sector.Differing);
            differing.insert(differing.end(), sector.Differing.begin(), sector.Differing.end());
        }
        out += s + 1 < Report.Sectors.size() ? "},\n" : "}\n";
    }
    out += "  ]";
    if (diff) {
        out += ",\n  \"differing\": " + JsonList(differing);
        out += ",\n  \"agree\": " + std::string(Report.Agree ? "true" : "false");
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

std::string TrailerChangeText(const TTrailerChange& Change)
{
    const TBlockData& t = Change.Trailer;
    TKey keyA{};
    TKey keyB{};
    std::copy_n(t.begin(), KeyBytes, keyA.begin());
    std::copy_n(t.begin() + TrailerKeyBOffset, KeyBytes, keyB.begin());
    const TConditionSet& c = Change.Access.Cond;
    std::string out = "Sector " + std::to_string(Change.Sector) + ": the trailer, block "
        + std::to_string(TrailerOf(Change.Sector)) + ", becomes key A " + KeyText(keyA) + ", access bits "
        + Hex2(t[AccessBitsOffset]) + " " + Hex2(t[AccessBitsOffset + 1]) + " " + Hex2(t[AccessBitsOffset + 2])
        + ", byte 9 " + Hex2(t[AccessBitsOffset + 3]) + ", key B " + KeyText(keyB) + "\n";
    out += "  conditions C1 C2 C3: blocks " + Bits(c[0]) + " " + Bits(c[1]) + " " + Bits(c[2]) + ", trailer "
        + Bits(c[TrailerRow]) + "\n";
    for (int row = 0; row < TrailerRow; ++row)
        out += "  block " + std::to_string(BlockOf(Change.Sector, row)) + ": " + DataRightsText(Change.DataRights[size_t(row)]) + "\n";
    out += "  trailer: " + TrailerRightsText(Change.TrailerRights) + "\n";
    return out;
}
