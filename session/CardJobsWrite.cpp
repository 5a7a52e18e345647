// Writing a dump onto a card: the data blocks of each sector, every one read
// back, then each trailer that differs and was approved.
#include "session/CardJobSteps.h"

#include "reader/CardReader.h"

#include <array>
#include <vector>

using namespace CardJobSteps;

bool TCardJobs::WriteAndVerify(int Block, const TBlockData& Data, TSectorOutcome& Out)
{
    const bool written = FSession.Reader().WriteBlock(uint8_t(Block), Data);
    if (written)
        FEvents.BlockWritten(Block);
    else
        FActive = false;
    // Read back also after a failed write: a reply lost on the line may
    // follow a write the card did carry out.
    const std::optional<TBlockData> back = ReadBlock(Block);
    if (FGone) {
        Fail(Out, TSectorResult::CardGone, Block);
        return false;
    }
    if (back && *back == Data) {
        Out.Written.push_back(Block);
        return true;
    }
    Fail(Out, written ? TSectorResult::VerifyFailed : TSectorResult::WriteRefused, Block);
    return false;
}

namespace {

// What of a sector a write takes on: the data blocks the dump knows in full
// (never block 0, the manufacturer's), and its trailer when asked for and
// known in full.
struct TSectorWrite {
    std::vector<int> Blocks;
    bool Trailer = false;
};

// Out gets the blocks left alone because the dump does not know all their digits.
TSectorWrite PlanSectorWrite(int Sector, const TDumpImage& Dump, bool Trailer, TSectorOutcome& Out)
{
    TSectorWrite plan;
    for (int row = 0; row < TrailerRow; ++row) {
        const int block = BlockOf(Sector, row);
        if (block == 0)
            continue;
        if (Dump.BlockKnown(block))
            plan.Blocks.push_back(block);
        else
            Out.Unknown.push_back(block);
    }
    const int trailer = TrailerOf(Sector);
    plan.Trailer = Trailer && Dump.BlockKnown(trailer);
    if (Trailer && !plan.Trailer)
        Out.Unknown.push_back(trailer);
    return plan;
}

} // namespace

TSectorOutcome TCardJobs::WriteSector(int Sector, const TDumpImage& Dump, TSectorKeys& Keys, bool Trailer, TDumpImage& Seen)
{
    TSectorOutcome out;
    out.Result = TSectorResult::Done;
    const TSectorWrite plan = PlanSectorWrite(Sector, Dump, Trailer, out);
    if (plan.Blocks.empty() && !plan.Trailer) {
        out.Result = TSectorResult::NothingToWrite;
        return out;
    }
    int keyType = KeyA;
    const TOpen open = OpenAny(Sector, Keys, keyType);
    if (open != TOpen::Ok) {
        Fail(out, open == TOpen::Gone ? TSectorResult::CardGone : TSectorResult::NoKey, -1);
        return out;
    }
    // The access bits tell which key may write what; both keys may read them.
    const int trailer = TrailerOf(Sector);
    const std::optional<TBlockData> current = ReadBlock(trailer);
    if (FGone) {
        Fail(out, TSectorResult::CardGone, -1);
        return out;
    }
    if (current)
        SeeTrailer(Seen, Sector, *current, keyType, FAuthKey, Keys);
    const TAccessConditions access = current ? TrailerAccess(*current) : TAccessConditions{};
    WriteDataBlocks(plan.Blocks, Dump, Keys, access, keyType, out);
    if (plan.Trailer && !FGone) {
        if (Stopping())
            CutShort(out, std::array{trailer});
        else
            WriteTrailer(Sector, Dump, Keys, access, Seen, keyType, out);
    }
    // Only a trailer was to be written, and it was the card's own or not
    // confirmed.
    if (out.Result == TSectorResult::Done && out.Written.empty())
        out.Result = TSectorResult::NothingToWrite;
    return out;
}

void TCardJobs::WriteDataBlocks(const std::vector<int>& Blocks, const TDumpImage& Dump, const TSectorKeys& Keys,
    const TAccessConditions& Access, int& KeyType, TSectorOutcome& Out)
{
    for (size_t i = 0; i < Blocks.size(); ++i) {
        const int block = Blocks[i];
        if (FGone)
            break;
        if (Stopping()) {
            CutShort(Out, std::span(Blocks).subspan(i));
            break;
        }
        if (Access.Consistent
            && !UseKeyFor(EffectiveDataRights(Access.Cond[size_t(RowOf(block))], Access.Cond[TrailerRow]).Write, Keys, KeyType)) {
            Fail(Out, TSectorResult::WriteRefused, block);
            continue;
        }
        if (Reopen() != TOpen::Ok) {
            Fail(Out, FGone ? TSectorResult::CardGone : TSectorResult::WriteRefused, block);
            continue;
        }
        WriteAndVerify(block, Dump.Data[size_t(block)], Out);
    }
}

std::optional<TTrailerChange> TCardJobs::ApproveTrailer(int Sector, const TDumpImage& Dump, const TDumpImage& Seen,
    TSectorOutcome& Out)
{
    const int block = TrailerOf(Sector);
    TTrailerChange change;
    switch (PlanTrailer(Sector, Dump, Seen, &change)) {
    case TTrailerPlan::Unknown:
        return std::nullopt;
    case TTrailerPlan::Inconsistent:
        Fail(Out, TSectorResult::WriteRefused, block);
        return std::nullopt;
    case TTrailerPlan::Unchanged:
        Out.Trailer = TTrailerNote::Unchanged;
        return std::nullopt;
    case TTrailerPlan::Change:
        break;
    }
    const bool approved = FEvents.ConfirmTrailer(change);
    // Cancelled while the question was open: the sector is not done.
    if (Stopping()) {
        CutShort(Out, std::array{block});
        return std::nullopt;
    }
    if (!approved) {
        Out.Trailer = TTrailerNote::Declined;
        return std::nullopt;
    }
    return change;
}

void TCardJobs::WriteTrailer(int Sector, const TDumpImage& Dump, TSectorKeys& Keys, const TAccessConditions& Current,
    TDumpImage& Seen, int& KeyType, TSectorOutcome& Out)
{
    const std::optional<TTrailerChange> change = ApproveTrailer(Sector, Dump, Seen, Out);
    if (!change)
        return;
    const int block = TrailerOf(Sector);
    const TBlockData& wanted = change->Trailer;
    if (Current.Consistent && !UseKeyFor(TrailerBlockRights(Current.Cond[TrailerRow]).AccessWrite, Keys, KeyType)) {
        Fail(Out, TSectorResult::WriteRefused, block);
        return;
    }
    if (Reopen() != TOpen::Ok) {
        Fail(Out, FGone ? TSectorResult::CardGone : TSectorResult::WriteRefused, block);
        return;
    }
    const bool written = FSession.Reader().WriteBlock(uint8_t(block), wanted);
    if (written)
        FEvents.BlockWritten(block);
    KeyType = KeyA;
    if (!TrailerReadsBack(*change, written, Out))
        return;
    Keys.KeyA = KeyAt(wanted, 0);
    Keys.KeyB = KeyAt(wanted, TrailerKeyBOffset);
    Out.Written.push_back(block);
    Seen.SetBlock(block, wanted);
}

bool TCardJobs::TrailerReadsBack(const TTrailerChange& Change, bool Written, TSectorOutcome& Out)
{
    // From now on the sector opens with the new key A, which reads back the
    // access bits and, where readable, key B.
    const int block = TrailerOf(Change.Sector);
    const TBlockData& wanted = Change.Trailer;
    FActive = false;
    if (Open(Change.Sector, KeyA, KeyAt(wanted, 0)) == TOpen::Gone) {
        Fail(Out, TSectorResult::CardGone, block);
        return false;
    }
    const std::optional<TBlockData> back = FActive ? ReadBlock(block) : std::nullopt;
    if (FGone) {
        Fail(Out, TSectorResult::CardGone, block);
        return false;
    }
    const int shown = KeyBReadable(Change.Access.Cond[TrailerRow]) ? BlockBytes : TrailerKeyBOffset;
    const bool same = back && std::equal(back->begin() + AccessBitsOffset, back->begin() + shown, wanted.begin() + AccessBitsOffset);
    if (!same) {
        Fail(Out, Written ? TSectorResult::VerifyFailed : TSectorResult::WriteRefused, block);
        return false;
    }
    return true;
}

std::optional<TWriteResult> TCardJobs::WriteCard(const TDumpImage& Dump, TKeyMap& Keys, bool Trailers)
{
    return Run([&] {
        TWriteResult result;
        if (Begin(result)) {
            result.Sectors = EverySector(
                [&](int Sector) { return WriteSector(Sector, Dump, Keys[size_t(Sector)], Trailers, result.Trailers); });
        }
        return result;
    });
}
