// Mapping a card's keys: each sector's key A and key B looked for among the
// candidates, and the map made while reading (MapAndRead).
#include "session/CardJobSteps.h"

#include <array>
#include <iterator>

using namespace CardJobSteps;

std::optional<TMapResult> TCardJobs::MapKeys(std::span<const TKey> Candidates, const TKeyMap* Start)
{
    return Run([&] { return MapAll(Candidates, Start); });
}

TCardJobs::TOpen TCardJobs::FindKey(int Sector, int KeyType, std::vector<TKey>& Order, std::optional<TKey>& Found,
    const TKeyMap* Start)
{
    // The start map's key first, once; then a copy of the order, since a key
    // found moves to its front.
    const std::optional<TKey> first = Start ? KeyOf((*Start)[size_t(Sector)], KeyType) : std::nullopt;
    std::vector<TKey> tries;
    tries.reserve(Order.size() + 1);
    if (first)
        tries.push_back(*first);
    std::copy_if(Order.begin(), Order.end(), std::back_inserter(tries), [&](const TKey& Key) { return Key != first; });
    for (const TKey& key : tries) {
        if (Stopping())
            break;
        TOpen open = Open(Sector, KeyType, key);
        // Only the card's own refusal rules a key out.
        if (open == TOpen::Refused && LineFault())
            open = Open(Sector, KeyType, key);
        if (open == TOpen::Gone)
            return open;
        if (open == TOpen::Ok) {
            Found = key;
            // Cards often share a key across sectors: a key that opened one
            // sector is tried first on the next, the list's order otherwise
            // kept.
            if (const auto at = std::find(Order.begin(), Order.end(), key); at != Order.end())
                std::rotate(Order.begin(), at, at + 1);
            return open;
        }
    }
    return TOpen::Refused;
}

namespace {

// Where the trailer lets key A read key B, key B is data and opens nothing:
// trying every candidate as key B is no use.
bool KeyBIsData(const std::optional<TBlockData>& Trailer)
{
    const TAccessConditions access = Trailer ? TrailerAccess(*Trailer) : TAccessConditions{};
    return access.Consistent && KeyBReadable(access.Cond[TrailerRow]);
}

} // namespace

void TCardJobs::EndMapSector(const TSectorKeys& Found, bool SearchB, TSectorOutcome& Out)
{
    // Cancelled before every key was tried: the sector is not mapped.
    if (Stopping() && !(Found.KeyA && (Found.KeyB || !SearchB)))
        Out.Result = TSectorResult::NotRun;
    // Every key refused: by a card still there, or by none at all.
    else if (!Found.KeyA && !Found.KeyB)
        Fail(Out, Activate() == TOpen::Gone ? TSectorResult::CardGone : TSectorResult::NoKey, -1);
}

TMapResult TCardJobs::MapAll(std::span<const TKey> Candidates, const TKeyMap* Start)
{
    TMapResult result;
    if (!Begin(result))
        return result;
    std::vector<TKey> order(Candidates.begin(), Candidates.end());
    result.Sectors = EverySector([&](int Sector) {
        TSectorOutcome out;
        out.Result = TSectorResult::Done;
        TSectorKeys& found = result.Keys[size_t(Sector)];
        bool searchB = true;
        std::optional<TBlockData> trailer; // as key A read it
        if (FindKey(Sector, KeyA, order, found.KeyA, Start) == TOpen::Gone) {
            Fail(out, TSectorResult::CardGone, -1);
            return out;
        }
        if (found.KeyA && !Stopping()) {
            trailer = ReadBlock(TrailerOf(Sector));
            if (FGone) {
                Fail(out, TSectorResult::CardGone, -1);
                return out;
            }
            searchB = !KeyBIsData(trailer);
        }
        if (searchB && FindKey(Sector, KeyB, order, found.KeyB, Start) == TOpen::Gone) {
            Fail(out, TSectorResult::CardGone, -1);
            return out;
        }
        if (trailer)
            SeeTrailer(result.Trailers, Sector, *trailer, KeyA, *found.KeyA, found);
        EndMapSector(found, searchB, out);
        return out;
    });
    return result;
}

// What a map-and-read saw of a sector's blocks, row by row.
struct TCardJobs::TSectorReads {
    std::array<std::optional<TBlockData>, BlocksPerSector> Data;
    std::array<int, BlocksPerSector> ReadBy{}; // the key type that read each block
    std::array<bool, BlocksPerSector> Tried{};
};

void TCardJobs::ReadRest(int Sector, int KeyType, TSectorReads& Reads)
{
    for (int row = 0; row < BlocksPerSector && !Stopping() && !FGone; ++row) {
        if (Reads.Data[size_t(row)])
            continue;
        Reads.Tried[size_t(row)] = true;
        Reads.Data[size_t(row)] = ReadBlock(BlockOf(Sector, row));
        Reads.ReadBy[size_t(row)] = KeyType;
    }
}

void TCardJobs::KeepReads(int Sector, const TSectorReads& Reads, TMapResult& Map, TDumpImage& Image, TSectorOutcome& Out)
{
    const TSectorKeys& found = Map.Keys[size_t(Sector)];
    const bool notMapped = Map.Sectors[size_t(Sector)].Result == TSectorResult::NotRun;
    std::vector<int> notReached;
    for (int row = 0; row < BlocksPerSector; ++row) {
        const int block = BlockOf(Sector, row);
        const std::optional<TBlockData>& read = Reads.Data[size_t(row)];
        if (!read) {
            // Cancelled before a key that might read it was tried.
            if (!Reads.Tried[size_t(row)] || (Stopping() && notMapped))
                notReached.push_back(block);
            else
                Fail(Out, TSectorResult::ReadDenied, block);
        } else if (!IsTrailer(block)) {
            Image.SetBlock(block, *read);
        } else {
            const int keyType = Reads.ReadBy[size_t(row)];
            SeeTrailer(Image, Sector, *read, keyType, *KeyOf(found, keyType), found);
            SeeTrailer(Map.Trailers, Sector, *read, keyType, *KeyOf(found, keyType), found);
        }
    }
    if (!notReached.empty())
        CutShort(Out, notReached);
}

TSectorOutcome TCardJobs::MapReadSector(int Sector, std::vector<TKey>& Order, const TKeyMap* Start, TMapResult& Map,
    TDumpImage& Image)
{
    TSectorOutcome out;
    out.Result = TSectorResult::Done;
    TSectorOutcome& mapped = Map.Sectors[size_t(Sector)];
    mapped.Result = TSectorResult::Done;
    TSectorKeys& found = Map.Keys[size_t(Sector)];
    const auto gone = [&] {
        Fail(out, TSectorResult::CardGone, -1);
        Fail(mapped, TSectorResult::CardGone, -1);
        return out;
    };
    TSectorReads reads;
    if (FindKey(Sector, KeyA, Order, found.KeyA, Start) == TOpen::Gone)
        return gone();
    bool searchB = true;
    if (found.KeyA) {
        // Read while key A has the sector open: no second authentication.
        ReadRest(Sector, KeyA, reads);
        if (FGone)
            return gone();
        searchB = !KeyBIsData(reads.Data[TrailerRow]);
    }
    if (searchB && !Stopping()) {
        if (FindKey(Sector, KeyB, Order, found.KeyB, Start) == TOpen::Gone)
            return gone();
        // What key A could not read, key B may.
        if (found.KeyB) {
            ReadRest(Sector, KeyB, reads);
            if (FGone)
                return gone();
        }
    }
    EndMapSector(found, searchB, mapped);
    if (!found.KeyA && !found.KeyB) {
        out.Result = mapped.Result;
        return out;
    }
    KeepReads(Sector, reads, Map, Image, out);
    return out;
}

std::optional<TMapReadResult> TCardJobs::MapAndRead(std::span<const TKey> Candidates, const TKeyMap* Start)
{
    return Run([&] {
        TMapReadResult result;
        if (!Begin(result.Read))
            return result;
        result.Map.Serial = result.Read.Serial;
        std::vector<TKey> order(Candidates.begin(), Candidates.end());
        result.Read.Sectors = EverySector(
            [&](int Sector) { return MapReadSector(Sector, order, Start, result.Map, result.Read.Image); });
        // Sectors not tried because the card had gone.
        for (int sector = 0; sector < SectorCount; ++sector) {
            if (result.Read.Sectors[size_t(sector)].Result == TSectorResult::CardGone)
                result.Map.Sectors[size_t(sector)].Result = TSectorResult::CardGone;
        }
        return result;
    });
}
