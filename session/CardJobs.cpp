// The whole-card jobs. Every exchange goes through the session's typed card
// operations; a failed exchange leaves the card unselected (a refused
// authentication does so on the card itself), so the next step activates it
// again first, and a card that no search finds is gone for the rest of the job.
#include "session/CardJobs.h"

#include "reader/CardReader.h"
#include "reader/ReaderLink.h"
#include "session/JobLineScope.h"
#include "session/LinkSession.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

constexpr int KeyA = 0;
constexpr int KeyB = 1;
uint8_t Source(int KeyType) { return KeyType == KeyA ? KeySources::TypedA : KeySources::TypedB; }

const std::optional<TKey>& KeyOf(const TSectorKeys& Keys, int KeyType) { return KeyType == KeyA ? Keys.KeyA : Keys.KeyB; }

// A sector's first failure is its result; a card gone outweighs any.
void Fail(TSectorOutcome& Out, TSectorResult Result, int Block)
{
    if (Out.Result == TSectorResult::Done || Result == TSectorResult::CardGone)
        Out.Result = Result;
    if (Block >= 0 && std::find(Out.Blocks.begin(), Out.Blocks.end(), Block) == Out.Blocks.end())
        Out.Blocks.push_back(Block);
}

// Cancelled inside a sector: a sector not done in full is not done; Blocks
// gets those not reached. A failure found before stays the result.
void CutShort(TSectorOutcome& Out, std::span<const int> NotReached)
{
    if (Out.Result == TSectorResult::Done)
        Out.Result = TSectorResult::NotRun;
    Out.Blocks.insert(Out.Blocks.end(), NotReached.begin(), NotReached.end());
}

// A key out of trailer bytes.
TKey KeyAt(const TBlockData& Trailer, int Offset)
{
    TKey key{};
    std::copy_n(Trailer.begin() + Offset, KeyBytes, key.begin());
    return key;
}

} // namespace

const char* SectorResultText(TSectorResult Result)
{
    switch (Result) {
    case TSectorResult::NotRun:
        return "not run";
    case TSectorResult::Done:
        return "done";
    case TSectorResult::NoKey:
        return "no key";
    case TSectorResult::ReadDenied:
        return "read denied";
    case TSectorResult::WriteRefused:
        return "write refused";
    case TSectorResult::VerifyFailed:
        return "verify failed";
    case TSectorResult::CardGone:
        return "card gone";
    case TSectorResult::NothingToWrite:
        return "nothing to write";
    }
    return "?";
}

TKeyList JobKeys(std::span<const TKey> FileKeys, const TDumpImage* Dump, bool BuiltIn)
{
    TKeyList keys = Dump ? DumpKeys(*Dump) : TKeyList{};
    AddKeys(keys, FileKeys);
    return CandidateKeys(keys, BuiltIn);
}

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

bool TWriteResult::Wrote() const
{
    return std::any_of(Sectors.begin(), Sectors.end(), [](const TSectorOutcome& S) { return !S.Written.empty(); });
}

bool TWriteResult::Complete() const
{
    return Wrote() && std::all_of(Sectors.begin(), Sectors.end(), [](const TSectorOutcome& S) {
        return (S.Result == TSectorResult::Done || S.Result == TSectorResult::NothingToWrite)
            && S.Trailer != TTrailerNote::Declined;
    });
}

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

TCardJobs::TCardJobs(TLinkSession& Session, TCardJobEvents& Events)
    : FSession(Session)
    , FEvents(Events)
{
}

// ------------------------------------------------------------ the exchanges

TCardJobs::TOpen TCardJobs::Activate()
{
    if (FGone)
        return TOpen::Gone;
    std::optional<TCardId> card = FSession.Reader().SearchCardSerial(SearchModes::AllCards);
    // A reply lost on the line is no empty field: ask once more.
    if (!card && LineFault())
        card = FSession.Reader().SearchCardSerial(SearchModes::AllCards);
    // Another card in the field is not the one the job began with.
    if (!card || (FSerial && card->Serial != *FSerial)) {
        FGone = true;
        return TOpen::Gone;
    }
    FSerial = card->Serial;
    FActive = true;
    return TOpen::Ok;
}

TCardJobs::TOpen TCardJobs::Open(int Sector, int KeyType, const TKey& Key)
{
    if (!FActive) {
        if (const TOpen a = Activate(); a != TOpen::Ok)
            return a;
    }
    FAuthSector = Sector;
    FAuthKeyType = KeyType;
    FAuthKey = Key;
    if (FSession.Reader().Authenticate(uint8_t(Sector), Source(KeyType), &Key))
        return TOpen::Ok;
    FActive = false;
    return TOpen::Refused;
}

TCardJobs::TOpen TCardJobs::OpenAny(int Sector, const TSectorKeys& Keys, int& KeyType)
{
    KeyType = Keys.KeyA ? KeyA : KeyB;
    const std::optional<TKey>& key = KeyOf(Keys, KeyType);
    if (!key)
        return TOpen::Refused;
    const TOpen open = Open(Sector, KeyType, *key);
    // A card taken away refuses every key: tell the two apart.
    return open == TOpen::Refused ? (Activate() == TOpen::Gone ? TOpen::Gone : TOpen::Refused) : open;
}

TCardJobs::TOpen TCardJobs::Reopen()
{
    if (FActive)
        return TOpen::Ok;
    return Open(FAuthSector, FAuthKeyType, FAuthKey);
}

std::optional<TBlockData> TCardJobs::ReadBlock(int Block)
{
    // One more try after a failure: a reply lost on the line is not a refusal.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (Reopen() != TOpen::Ok)
            return std::nullopt;
        if (std::optional<TBlockData> data = FSession.Reader().ReadBlock(uint8_t(Block)))
            return data;
        FActive = false;
    }
    return std::nullopt;
}

template <class TJob>
auto TCardJobs::Run(TJob&& Job) -> std::optional<decltype(Job())>
{
    std::optional<TOperationScope> scope;
    if (!GuardHeld) {
        scope.emplace(FSession);
        if (!*scope)
            return std::nullopt;
    }
    FCancelled = false;
    FActive = FStartOn.has_value();
    FGone = false;
    FSerial = std::exchange(FStartOn, std::nullopt);
    const TJobLineScope line(FSession, JobReadIntervalMs);
    return Job();
}

template <class TSectorJob>
TSectorOutcomes TCardJobs::EverySector(TSectorJob&& Job)
{
    TSectorOutcomes outcomes;
    for (int sector = 0; sector < SectorCount && !Stopping(); ++sector) {
        FEvents.Progress(sector);
        if (Stopping())
            break;
        TSectorOutcome& out = outcomes[size_t(sector)];
        if (FGone)
            out.Result = TSectorResult::CardGone;
        else
            out = Job(sector);
        FEvents.SectorResult(sector, out);
    }
    return outcomes;
}

// --------------------------------------------------------------- map keys

bool TCardJobs::Begin(TJobResult& Result)
{
    if (!FActive && Activate() != TOpen::Ok)
        return false;
    Result.Serial = FSerial;
    return true;
}

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

// ----------------------------------------------------------------- reading

TSectorOutcome TCardJobs::ReadSector(int Sector, const TSectorKeys& Keys, TDumpImage& Image)
{
    TSectorOutcome out;
    out.Result = TSectorResult::Done;
    int keyType = KeyA;
    const TOpen open = OpenAny(Sector, Keys, keyType);
    if (open != TOpen::Ok) {
        Fail(out, open == TOpen::Gone ? TSectorResult::CardGone : TSectorResult::NoKey, -1);
        return out;
    }
    int row = 0;
    for (; row < BlocksPerSector && !Stopping(); ++row) {
        const int block = BlockOf(Sector, row);
        std::optional<TBlockData> data = ReadBlock(block);
        // A block one key may not read the other may: it stays the key for
        // the blocks after it.
        if (!data && !FGone && !Stopping() && SwitchKey(Keys, keyType))
            data = ReadBlock(block);
        if (!data) {
            Fail(out, FGone ? TSectorResult::CardGone : TSectorResult::ReadDenied, block);
            if (FGone)
                break;
            continue;
        }
        if (!IsTrailer(block)) {
            Image.SetBlock(block, *data);
            continue;
        }
        SeeTrailer(Image, Sector, *data, keyType, FAuthKey, Keys);
    }
    if (row < BlocksPerSector && !FGone) {
        std::vector<int> notReached;
        for (; row < BlocksPerSector; ++row)
            notReached.push_back(BlockOf(Sector, row));
        CutShort(out, notReached);
    }
    return out;
}

TReadResult TCardJobs::ReadAll(const TKeyMap& Keys)
{
    TReadResult result;
    if (Begin(result))
        result.Sectors = EverySector([&](int Sector) { return ReadSector(Sector, Keys[size_t(Sector)], result.Image); });
    return result;
}

std::optional<TReadResult> TCardJobs::ReadCard(const TKeyMap& Keys)
{
    return Run([&] { return ReadAll(Keys); });
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
    std::array<std::optional<TBlockData>, BlocksPerSector> data;
    std::array<int, BlocksPerSector> readBy{}; // the key type that read each block
    std::array<bool, BlocksPerSector> tried{};
    // Reads the blocks not read yet with the key the sector is open with.
    const auto readRest = [&](int KeyType) {
        for (int row = 0; row < BlocksPerSector && !Stopping() && !FGone; ++row) {
            if (data[size_t(row)])
                continue;
            tried[size_t(row)] = true;
            data[size_t(row)] = ReadBlock(BlockOf(Sector, row));
            readBy[size_t(row)] = KeyType;
        }
    };
    if (FindKey(Sector, KeyA, Order, found.KeyA, Start) == TOpen::Gone)
        return gone();
    bool searchB = true;
    if (found.KeyA) {
        // Read while key A has the sector open: no second authentication.
        readRest(KeyA);
        if (FGone)
            return gone();
        searchB = !KeyBIsData(data[TrailerRow]);
    }
    if (searchB && !Stopping()) {
        if (FindKey(Sector, KeyB, Order, found.KeyB, Start) == TOpen::Gone)
            return gone();
        // What key A could not read, key B may.
        if (found.KeyB) {
            readRest(KeyB);
            if (FGone)
                return gone();
        }
    }
    EndMapSector(found, searchB, mapped);
    if (!found.KeyA && !found.KeyB) {
        out.Result = mapped.Result;
        return out;
    }
    std::vector<int> notReached;
    for (int row = 0; row < BlocksPerSector; ++row) {
        const int block = BlockOf(Sector, row);
        const std::optional<TBlockData>& read = data[size_t(row)];
        if (!read) {
            // Cancelled before a key that might read it was tried.
            if (!tried[size_t(row)] || (Stopping() && mapped.Result == TSectorResult::NotRun))
                notReached.push_back(block);
            else
                Fail(out, TSectorResult::ReadDenied, block);
        } else if (!IsTrailer(block)) {
            Image.SetBlock(block, *read);
        } else {
            const int keyType = readBy[size_t(row)];
            SeeTrailer(Image, Sector, *read, keyType, *KeyOf(found, keyType), found);
            SeeTrailer(Map.Trailers, Sector, *read, keyType, *KeyOf(found, keyType), found);
        }
    }
    if (!notReached.empty())
        CutShort(out, notReached);
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

// ---------------------------------------------------------------- comparing

std::optional<TCompareResult> TCardJobs::Compare(const TDumpImage& Dump, const TKeyMap& Keys)
{
    return Run([&] {
        const TReadResult card = ReadAll(Keys);
        TCompareResult result = CompareCard(card.Image, card.Sectors, Dump);
        result.Serial = card.Serial;
        return result;
    });
}

// ----------------------------------------------------------------- writing

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

TSectorOutcome TCardJobs::WriteSector(int Sector, const TDumpImage& Dump, TSectorKeys& Keys, bool Trailer, TDumpImage& Seen)
{
    TSectorOutcome out;
    out.Result = TSectorResult::Done;
    std::vector<int> blocks;
    for (int row = 0; row < TrailerRow; ++row) {
        const int block = BlockOf(Sector, row);
        if (block == 0)
            continue; // the manufacturer block
        if (Dump.BlockKnown(block))
            blocks.push_back(block);
        else
            out.Unknown.push_back(block);
    }
    const int trailer = TrailerOf(Sector);
    const bool trailerKnown = Trailer && Dump.BlockKnown(trailer);
    if (Trailer && !trailerKnown)
        out.Unknown.push_back(trailer);
    if (blocks.empty() && !trailerKnown) {
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
    const std::optional<TBlockData> current = ReadBlock(trailer);
    if (FGone) {
        Fail(out, TSectorResult::CardGone, -1);
        return out;
    }
    if (current)
        SeeTrailer(Seen, Sector, *current, keyType, FAuthKey, Keys);
    const TAccessConditions access = current ? TrailerAccess(*current) : TAccessConditions{};
    for (size_t i = 0; i < blocks.size(); ++i) {
        const int block = blocks[i];
        if (FGone)
            break;
        if (Stopping()) {
            CutShort(out, std::span(blocks).subspan(i));
            break;
        }
        if (access.Consistent
            && !UseKeyFor(EffectiveDataRights(access.Cond[size_t(RowOf(block))], access.Cond[TrailerRow]).Write, Keys, keyType)) {
            Fail(out, TSectorResult::WriteRefused, block);
            continue;
        }
        if (Reopen() != TOpen::Ok) {
            Fail(out, FGone ? TSectorResult::CardGone : TSectorResult::WriteRefused, block);
            continue;
        }
        WriteAndVerify(block, Dump.Data[size_t(block)], out);
    }
    if (trailerKnown && !FGone) {
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

bool TCardJobs::UseKeyFor(TKeys Who, const TSectorKeys& Keys, int& KeyType)
{
    if (Allows(Who, KeyType))
        return true;
    // Nothing is sent that the card must refuse.
    return Allows(Who, 1 - KeyType) && SwitchKey(Keys, KeyType);
}

bool TCardJobs::SwitchKey(const TSectorKeys& Keys, int& KeyType)
{
    const int other = 1 - KeyType;
    const std::optional<TKey>& key = KeyOf(Keys, other);
    if (!key)
        return false;
    KeyType = other;
    // Authenticates with the other key before the next exchange.
    FActive = false;
    FAuthKeyType = other;
    FAuthKey = *key;
    return true;
}

void TCardJobs::WriteTrailer(int Sector, const TDumpImage& Dump, TSectorKeys& Keys, const TAccessConditions& Current,
    TDumpImage& Seen, int& KeyType, TSectorOutcome& Out)
{
    const int block = TrailerOf(Sector);
    TTrailerChange change;
    switch (PlanTrailer(Sector, Dump, Seen, &change)) {
    case TTrailerPlan::Unknown:
        return;
    case TTrailerPlan::Inconsistent:
        Fail(Out, TSectorResult::WriteRefused, block);
        return;
    case TTrailerPlan::Unchanged:
        Out.Trailer = TTrailerNote::Unchanged;
        return;
    case TTrailerPlan::Change:
        break;
    }
    const bool approved = FEvents.ConfirmTrailer(change);
    // Cancelled while the question was open: the sector is not done.
    if (Stopping()) {
        CutShort(Out, std::array{block});
        return;
    }
    if (!approved) {
        Out.Trailer = TTrailerNote::Declined;
        return;
    }
    const TBlockData& wanted = change.Trailer;
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
    // From now on the sector opens with the new key A, which reads back the
    // access bits and, where readable, key B.
    const TKey newA = KeyAt(wanted, 0);
    const TKey newB = KeyAt(wanted, TrailerKeyBOffset);
    FActive = false;
    KeyType = KeyA;
    if (Open(Sector, KeyA, newA) == TOpen::Gone) {
        Fail(Out, TSectorResult::CardGone, block);
        return;
    }
    const std::optional<TBlockData> back = FActive ? ReadBlock(block) : std::nullopt;
    if (FGone) {
        Fail(Out, TSectorResult::CardGone, block);
        return;
    }
    const int shown = KeyBReadable(change.Access.Cond[TrailerRow]) ? BlockBytes : TrailerKeyBOffset;
    const bool same = back && std::equal(back->begin() + AccessBitsOffset, back->begin() + shown, wanted.begin() + AccessBitsOffset);
    if (!same) {
        Fail(Out, written ? TSectorResult::VerifyFailed : TSectorResult::WriteRefused, block);
        return;
    }
    Keys.KeyA = newA;
    Keys.KeyB = newB;
    Out.Written.push_back(block);
    Seen.SetBlock(block, wanted);
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

bool TCardJobs::LineFault() const
{
    const int result = FSession.Reader().LastResult();
    return result == ResultBadReply || result == ResultNoReply;
}

bool TCardJobs::Stopping()
{
    // Closing the session stops a job as Cancel does.
    if (FSession.CloseRequested())
        FCancelled = true;
    return FCancelled;
}
