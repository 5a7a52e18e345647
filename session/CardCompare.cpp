// A card compared with a dump, block by block, and why a block the dump knows
// was not compared.
#include "session/CardJobs.h"

#include <algorithm>

TBlockMatch CompareBlock(const TDumpImage& Card, const TDumpImage& Dump, int Block)
{
    const size_t b = size_t(Block);
    bool inDump = false;
    bool unseen = false;
    bool differs = false;
    for (size_t i = 0; i < size_t(BlockBytes); ++i) {
        const uint8_t wanted = Dump.Known[b][i];
        inDump = inDump || wanted != 0;
        unseen = unseen || (wanted & ~Card.Known[b][i]) != 0;
        differs = differs || ((Card.Data[b][i] ^ Dump.Data[b][i]) & wanted & Card.Known[b][i]) != 0;
    }
    if (!inDump)
        return TBlockMatch::NotInDump;
    return differs ? TBlockMatch::Differs : unseen ? TBlockMatch::NotCompared
                                                   : TBlockMatch::Same;
}

namespace {

// Why the card did not show a block the dump knows: what the sector's read
// came to, or for a trailer shown in part, the key not found (no key) or
// the access bits its key may not read (read denied).
TSectorResult WhyNotCompared(const TSectorOutcome& Sector, const TDumpImage& Card, const TDumpImage& Dump, int Block)
{
    const TSectorResult result = Sector.Result;
    if (result == TSectorResult::NoKey || result == TSectorResult::CardGone || result == TSectorResult::NotRun)
        return result;
    if (std::find(Sector.Blocks.begin(), Sector.Blocks.end(), Block) != Sector.Blocks.end() || !IsTrailer(Block))
        return TSectorResult::ReadDenied;
    const size_t b = size_t(Block);
    for (size_t i = AccessBitsOffset; i < size_t(TrailerKeyBOffset); ++i) {
        if ((Dump.Known[b][i] & ~Card.Known[b][i]) != 0)
            return TSectorResult::ReadDenied;
    }
    return TSectorResult::NoKey;
}

} // namespace

TCompareResult CompareCard(const TDumpImage& Card, const TSectorOutcomes& Sectors, const TDumpImage& Dump)
{
    TCompareResult result;
    result.Card = Card;
    result.Sectors = Sectors;
    for (int block = 0; block < CardBlocks; ++block) {
        const TBlockMatch match = CompareBlock(Card, Dump, block);
        result.Blocks[size_t(block)] = match;
        if (match == TBlockMatch::NotInDump)
            continue;
        ++result.Known;
        if (match == TBlockMatch::NotCompared) {
            result.NotCompared.push_back({block, WhyNotCompared(Sectors[size_t(SectorOf(block))], Card, Dump, block)});
            continue;
        }
        ++result.Compared;
        if (match == TBlockMatch::Differs)
            result.Differ.push_back(block);
    }
    return result;
}

bool TCompareResult::Agree() const
{
    // No known block at all proves nothing.
    return Serial && Known > 0 && Compared == Known && Differ.empty();
}
