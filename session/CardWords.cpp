#include "session/CardWords.h"

#include <algorithm>
#include <cstdio>

const char* const NoCardText = "no card in the reader's field";
const char* const NothingWrittenText = "nothing was written";
const char* const NoKeyOpensText = "no key opens any sector of this card";
const char* const NoKeyStepCardTool = "add a key file with --keys";
const char* const NoKeyStepWindow = "choose a key file beside \"Key file\" on the Card page";

bool NoKeyOpens(const TSectorOutcomes& Sectors)
{
    return std::all_of(Sectors.begin(), Sectors.end(), [](const TSectorOutcome& S) { return S.Result == TSectorResult::NoKey; });
}

namespace {

std::string Hex(const uint8_t* Bytes, int Count)
{
    std::string out;
    for (int i = 0; i < Count; ++i) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02X", Bytes[i]);
        out += digits;
    }
    return out;
}

// The bytes as hex digits when every digit is known, else "unknown".
std::string KnownHex(const TBlockData& Data, const TBlockData& Known, int Offset, int Count)
{
    for (int i = Offset; i < Offset + Count; ++i) {
        if (Known[size_t(i)] != 0xFF)
            return "unknown";
    }
    return Hex(Data.data() + Offset, Count);
}

std::string Blocks(const std::vector<int>& Numbers)
{
    std::string out = Numbers.size() == 1 ? "block " : "blocks ";
    for (size_t i = 0; i < Numbers.size(); ++i) {
        if (i > 0)
            out += ", ";
        out += std::to_string(Numbers[i]);
    }
    return out;
}

// One side of a trailer change: its bytes, then the rights in words, data
// blocks of equal rights on one line.
std::string TrailerLines(const char* Label, int Sector, const TBlockData& Data, const TBlockData& Known)
{
    std::string out = std::string("  ") + Label + ": key A " + KnownHex(Data, Known, 0, KeyBytes) + ", access bits "
        + KnownHex(Data, Known, AccessBitsOffset, 3) + ", byte 9 " + KnownHex(Data, Known, AccessBitsOffset + 3, 1)
        + ", key B " + KnownHex(Data, Known, TrailerKeyBOffset, KeyBytes) + "\n";
    const std::string indent(std::string(Label).size() + 4, ' ');
    if (KnownHex(Data, Known, AccessBitsOffset, 3) == "unknown")
        return out;
    const TAccessConditions access = TrailerAccess(Data);
    if (!access.Consistent)
        return out + indent + "access bits inconsistent: the sector is locked\n";
    int row = 0;
    while (row < TrailerRow) {
        const TDataRights rights = EffectiveDataRights(access.Cond[size_t(row)], access.Cond[TrailerRow]);
        int last = row;
        while (last + 1 < TrailerRow
            && EffectiveDataRights(access.Cond[size_t(last) + 1], access.Cond[TrailerRow]) == rights)
            ++last;
        out += indent + (last == row ? "block " + std::to_string(BlockOf(Sector, row)) : "blocks " + std::to_string(BlockOf(Sector, row)) + " to " + std::to_string(BlockOf(Sector, last)))
            + ": " + DataRightsText(rights) + "\n";
        row = last + 1;
    }
    return out + indent + "trailer: " + TrailerRightsText(TrailerBlockRights(access.Cond[TrailerRow])) + "\n";
}

} // namespace

std::string SerialText(const TSerial& Serial) { return Hex(Serial.data(), int(Serial.size())); }

std::string KeyCellText(const TSectorKeys& Keys, bool KeyB, const TDumpImage& Trailers, int Sector)
{
    const TBlockData& data = Trailers.Data[TrailerOf(Sector)];
    const TBlockData& known = Trailers.Known[TrailerOf(Sector)];
    if (KeyB && KnownHex(data, known, AccessBitsOffset, 3) != "unknown") {
        const TAccessConditions access = TrailerAccess(data);
        const std::string shown = KnownHex(data, known, TrailerKeyBOffset, KeyBytes);
        if (access.Consistent && KeyBReadable(access.Cond[TrailerRow]) && shown != "unknown")
            return shown + " (readable)";
    }
    const std::optional<TKey>& key = KeyB ? Keys.KeyB : Keys.KeyA;
    return key ? KeyText(*key) : "-";
}

std::string CompareText(const TCompareResult& Result)
{
    if (Result.Agree())
        return "card and dump agree";
    std::string out = std::to_string(Result.Compared) + " of " + std::to_string(Result.Known)
        + " known blocks compared, " + std::to_string(Result.Differ.size()) + " differ";
    if (!Result.Differ.empty())
        out += ": " + Blocks(Result.Differ);
    if (Result.Known == 0)
        out += ": the dump knows no block";
    // The blocks not compared, grouped by why, in the order the reasons first come.
    std::vector<TSectorResult> reasons;
    for (const TNotCompared& n : Result.NotCompared) {
        if (std::find(reasons.begin(), reasons.end(), n.Reason) == reasons.end())
            reasons.push_back(n.Reason);
    }
    for (size_t r = 0; r < reasons.size(); ++r) {
        std::vector<int> blocks;
        for (const TNotCompared& n : Result.NotCompared) {
            if (n.Reason == reasons[r])
                blocks.push_back(n.Block);
        }
        out += (r == 0 ? "; not compared: " : ", ") + Blocks(blocks) + " " + SectorResultText(reasons[r]);
    }
    return out;
}

std::string TrailerNoteText(TTrailerNote Note)
{
    switch (Note) {
    case TTrailerNote::None:
        return {};
    case TTrailerNote::Unchanged:
        return "trailer unchanged";
    case TTrailerNote::Declined:
        return "trailer not confirmed";
    }
    return {};
}

std::string TrailerChangeText(const TTrailerChange& Change)
{
    TBlockData all;
    all.fill(0xFF);
    return "Sector " + std::to_string(Change.Sector) + ", trailer block " + std::to_string(TrailerOf(Change.Sector)) + "\n"
        + TrailerLines("now", Change.Sector, Change.Now, Change.NowKnown)
        + TrailerLines("new", Change.Sector, Change.Trailer, all);
}

std::string PermanentText(const TTrailerChange& Change)
{
    const std::vector<std::string> locks = PermanentLocks(Change.Access.Cond, Change.Sector);
    if (locks.empty())
        return {};
    std::string out = "sector " + std::to_string(Change.Sector) + ": ";
    for (size_t i = 0; i < locks.size(); ++i)
        out += (i > 0 ? "; " : "") + locks[i];
    return out;
}

std::string PermanentTrailersText(const TDumpImage& Dump)
{
    std::string out;
    // Against a card of which nothing is known: every trailer the dump knows
    // in full may be written.
    for (const TTrailerChange& change : TrailerChanges(Dump, TDumpImage{})) {
        const std::string words = PermanentText(change);
        if (!words.empty())
            out += (out.empty() ? "" : "; ") + words;
    }
    return out;
}

std::string ProgressText(int Sector)
{
    return "sector " + std::to_string(Sector) + " (" + std::to_string(Sector + 1) + " of " + std::to_string(SectorCount) + ")";
}

std::string SectorResultsText(const TSectorOutcomes& Sectors)
{
    int done = 0;
    int notRun = 0;
    std::vector<std::pair<TSectorResult, std::vector<int>>> others;
    std::vector<int> declined;
    for (int sector = 0; sector < SectorCount; ++sector) {
        const TSectorOutcome& outcome = Sectors[size_t(sector)];
        if (outcome.Trailer == TTrailerNote::Declined)
            declined.push_back(sector);
        if (outcome.Result == TSectorResult::Done) {
            ++done;
            continue;
        }
        if (outcome.Result == TSectorResult::NotRun) {
            ++notRun;
            continue;
        }
        auto at = std::find_if(others.begin(), others.end(), [&outcome](const auto& O) { return O.first == outcome.Result; });
        if (at == others.end())
            at = others.insert(others.end(), {outcome.Result, {}});
        at->second.push_back(sector);
    }
    const auto list = [](const std::vector<int>& Numbers) {
        std::string text;
        for (const int n : Numbers)
            text += (text.empty() ? "" : ", ") + std::to_string(n);
        return text;
    };
    std::string text = std::to_string(done) + (done == 1 ? " sector done" : " sectors done");
    for (const auto& [result, numbers] : others)
        text += std::string(", ") + (numbers.size() == 1 ? "sector " : "sectors ") + list(numbers) + " " + SectorResultText(result);
    if (notRun > 0)
        text += ", " + std::to_string(notRun) + " not run";
    if (!declined.empty())
        text += ", " + TrailerNoteText(TTrailerNote::Declined) + (declined.size() == 1 ? " in sector " : " in sectors ") + list(declined);
    return text;
}
