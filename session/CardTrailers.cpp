// The trailer as whole-card work sees it: what a read of it shows, and what
// writing a dump's trailer would change.
#include "session/CardJobs.h"

#include "session/CardJobSteps.h"

using namespace CardJobSteps;

void SeeTrailer(TDumpImage& Image, int Sector, const TBlockData& Read, int KeyType, const TKey& OpenedWith,
    const TSectorKeys& Keys)
{
    const int block = TrailerOf(Sector);
    // Key A never reads back: the key that opened the sector is it. The
    // access bits and the free byte read back for whichever key opened it.
    if (KeyType == KeyA)
        Image.SetBytes(block, 0, OpenedWith.data(), KeyBytes);
    else if (Keys.KeyA)
        Image.SetBytes(block, 0, Keys.KeyA->data(), KeyBytes);
    const TAccessConditions access = TrailerAccess(Read);
    // Key B sees the access bits only where the trailer lets it.
    if (KeyType == KeyA || (access.Consistent && Allows(TrailerBlockRights(access.Cond[TrailerRow]).AccessRead, KeyB)))
        Image.SetBytes(block, AccessBitsOffset, Read.data() + AccessBitsOffset, TrailerKeyBOffset - AccessBitsOffset);
    if (access.Consistent && KeyBReadable(access.Cond[TrailerRow]) && KeyType == KeyA)
        Image.SetBytes(block, TrailerKeyBOffset, Read.data() + TrailerKeyBOffset, KeyBytes);
    else if (Keys.KeyB)
        Image.SetBytes(block, TrailerKeyBOffset, Keys.KeyB->data(), KeyBytes);
}

TTrailerPlan PlanTrailer(int Sector, const TDumpImage& Dump, const TDumpImage& Card, TTrailerChange* Change)
{
    const size_t block = TrailerOf(Sector);
    // Never lock a sector with a key nobody knows.
    if (!Dump.BlockKnown(int(block)))
        return TTrailerPlan::Unknown;
    const TBlockData& wanted = Dump.Data[block];
    const TAccessConditions access = TrailerAccess(wanted);
    if (!access.Consistent)
        return TTrailerPlan::Inconsistent;
    // Only a trailer known whole is the same; one known in part may differ.
    if (Card.BlockKnown(int(block)) && Card.Data[block] == wanted)
        return TTrailerPlan::Unchanged;
    if (Change) {
        *Change = TTrailerChange{};
        Change->Sector = Sector;
        Change->Now = Card.Data[block];
        Change->NowKnown = Card.Known[block];
        Change->Trailer = wanted;
        Change->Access = access;
        for (int row = 0; row < TrailerRow; ++row)
            Change->DataRights[size_t(row)] = EffectiveDataRights(access.Cond[size_t(row)], access.Cond[TrailerRow]);
        Change->TrailerRights = TrailerBlockRights(access.Cond[TrailerRow]);
    }
    return TTrailerPlan::Change;
}

std::vector<TTrailerChange> TrailerChanges(const TDumpImage& Dump, const TDumpImage& Card)
{
    std::vector<TTrailerChange> changes;
    for (int sector = 0; sector < SectorCount; ++sector) {
        TTrailerChange change;
        if (PlanTrailer(sector, Dump, Card, &change) == TTrailerPlan::Change)
            changes.push_back(change);
    }
    return changes;
}
