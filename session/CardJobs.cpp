// The whole-card jobs. Every exchange goes through the session's typed card
// operations; a failed exchange leaves the card unselected (a refused
// authentication does so on the card itself), so the next step activates it
// again first, and a card that no search finds is gone for the rest of the job.
#include "session/CardJobs.h"

#include "reader/CardReader.h"
#include "reader/ReaderLink.h"
#include "serial/Comm.h"
#include "session/LinkSession.h"

#include <algorithm>

namespace {

constexpr int KeyA = 0;
constexpr int KeyB = 1;
// The component's read interval for the length of a job.
class TReadIntervalScope {
public:
    TReadIntervalScope(TComm& Device, uint32_t Ms)
        : FDevice(Device)
        , FSaved(Device.ReadIntervalTimeout())
    {
        if (Ms != 0)
            Device.SetReadIntervalTimeout(Ms);
    }
    ~TReadIntervalScope() { FDevice.SetReadIntervalTimeout(FSaved); }
    TReadIntervalScope(const TReadIntervalScope&) = delete;
    TReadIntervalScope& operator=(const TReadIntervalScope&) = delete;

private:
    TComm& FDevice;
    uint32_t FSaved;
};

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
    }
    return "?";
}

TBlockMatch CompareBlock(const TDumpImage& Card, const TDumpImage& Dump, int Block)
{
    const size_t b = size_t(Block);
    bool compared = false;
    bool differs = false;
    for (size_t i = 0; i < size_t(BlockBytes); ++i) {
        const uint8_t mask = Card.Known[b][i] & Dump.Known[b][i];
        compared = compared || mask != 0;
        differs = differs || ((Card.Data[b][i] ^ Dump.Data[b][i]) & mask) != 0;
    }
    return !compared ? TBlockMatch::NotCompared : differs ? TBlockMatch::Differs
                                                          : TBlockMatch::Same;
}

bool TCompareResult::Equal() const
{
    return std::none_of(Blocks.begin(), Blocks.end(), [](TBlockMatch M) { return M == TBlockMatch::Differs; });
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
    TOperationScope scope(FSession);
    if (!scope)
        return std::nullopt;
    FCancelled = false;
    FActive = false;
    FGone = false;
    FSerial.reset();
    TReadIntervalScope interval(FSession.Device(), JobReadIntervalMs);
    return Job();
}

template <class TSectorJob>
TSectorOutcomes TCardJobs::EverySector(TSectorJob&& Job)
{
    TSectorOutcomes outcomes;
    for (int sector = 0; sector < SectorCount && !Stopping(); ++sector) {
        FEvents.Progress(sector + 1, SectorCount);
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

std::optional<TKeyMap> TCardJobs::MapKeys(std::span<const TKey> Candidates, TSectorOutcomes* Outcomes)
{
    return Run([&] { return MapAll(Candidates, Outcomes); });
}

TKeyMap TCardJobs::MapAll(std::span<const TKey> Candidates, TSectorOutcomes* Outcomes)
{
    TKeyMap map;
    // Cards often share a key across sectors: a key that opened one sector
    // is tried first on the next, the list's order otherwise kept.
    std::vector<TKey> order(Candidates.begin(), Candidates.end());
    const auto tryFirst = [&](const TKey& Key) {
        const auto at = std::find(order.begin(), order.end(), Key);
        std::rotate(order.begin(), at, at + 1);
    };
    const TSectorOutcomes outcomes = EverySector([&](int Sector) {
        TSectorOutcome out;
        out.Result = TSectorResult::Done;
        TSectorKeys& found = map[size_t(Sector)];
        bool searchB = true;
        for (int keyType : {KeyA, KeyB}) {
            if (keyType == KeyB && !searchB)
                break;
            // A copy: a key found moves to the front of the order.
            for (const TKey& key : std::vector<TKey>(order)) {
                if (Stopping())
                    break;
                TOpen open = Open(Sector, keyType, key);
                // Only the card's own refusal rules a key out.
                if (open == TOpen::Refused && LineFault())
                    open = Open(Sector, keyType, key);
                if (open == TOpen::Gone) {
                    Fail(out, TSectorResult::CardGone, -1);
                    return out;
                }
                if (open == TOpen::Ok) {
                    (keyType == KeyA ? found.KeyA : found.KeyB) = key;
                    tryFirst(key);
                    break;
                }
            }
            if (keyType == KeyA && found.KeyA && !Stopping()) {
                // Where the trailer lets key A read key B, key B is data and
                // opens nothing: trying every candidate as key B is no use.
                const std::optional<TBlockData> trailer = ReadBlock(TrailerOf(Sector));
                if (FGone) {
                    Fail(out, TSectorResult::CardGone, -1);
                    return out;
                }
                const TAccessConditions access = trailer ? TrailerAccess(*trailer) : TAccessConditions{};
                searchB = !(access.Consistent && KeyBReadable(access.Cond[TrailerRow]));
            }
        }
        // Cancelled before every key was tried: the sector is not mapped.
        if (Stopping() && !(found.KeyA && (found.KeyB || !searchB)))
            out.Result = TSectorResult::NotRun;
        // Every key refused: by a card still there, or by none at all.
        else if (!found.KeyA && !found.KeyB)
            Fail(out, Activate() == TOpen::Gone ? TSectorResult::CardGone : TSectorResult::NoKey, -1);
        return out;
    });
    if (Outcomes)
        *Outcomes = outcomes;
    return map;
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
        // Key A never reads back: the key that opened the sector is it. The
        // access bits and the free byte read back for whichever key opened it.
        if (keyType == KeyA)
            Image.SetBytes(block, 0, FAuthKey.data(), KeyBytes);
        else if (Keys.KeyA)
            Image.SetBytes(block, 0, Keys.KeyA->data(), KeyBytes);
        const TAccessConditions access = TrailerAccess(*data);
        // Key B sees the access bits only where the trailer lets it.
        if (keyType == KeyA || (access.Consistent && Allows(TrailerBlockRights(access.Cond[TrailerRow]).AccessRead, KeyB)))
            Image.SetBytes(block, AccessBitsOffset, data->data() + AccessBitsOffset, TrailerKeyBOffset - AccessBitsOffset);
        if (access.Consistent && KeyBReadable(access.Cond[TrailerRow]) && keyType == KeyA)
            Image.SetBytes(block, TrailerKeyBOffset, data->data() + TrailerKeyBOffset, KeyBytes);
        else if (Keys.KeyB)
            Image.SetBytes(block, TrailerKeyBOffset, Keys.KeyB->data(), KeyBytes);
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
    result.Sectors = EverySector([&](int Sector) { return ReadSector(Sector, Keys[size_t(Sector)], result.Image); });
    return result;
}

std::optional<TReadResult> TCardJobs::ReadCard(const TKeyMap& Keys)
{
    return Run([&] { return ReadAll(Keys); });
}

// ---------------------------------------------------------------- comparing

std::optional<TCompareResult> TCardJobs::Compare(const TDumpImage& Dump, const TKeyMap& Keys)
{
    return Run([&] {
        const TReadResult card = ReadAll(Keys);
        TCompareResult result;
        for (int block = 0; block < CardBlocks; ++block)
            result.Blocks[size_t(block)] = CompareBlock(card.Image, Dump, block);
        result.Sectors = card.Sectors;
        result.Card = card.Image;
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
    if (back && *back == Data)
        return true;
    Fail(Out, written ? TSectorResult::VerifyFailed : TSectorResult::WriteRefused, Block);
    return false;
}

TSectorOutcome TCardJobs::WriteSector(int Sector, const TDumpImage& Dump, TSectorKeys& Keys, bool Trailer)
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
    if (blocks.empty() && !Trailer)
        return out;
    int keyType = KeyA;
    const TOpen open = OpenAny(Sector, Keys, keyType);
    if (open != TOpen::Ok) {
        Fail(out, open == TOpen::Gone ? TSectorResult::CardGone : TSectorResult::NoKey, -1);
        return out;
    }
    // The access bits tell which key may write what; both keys may read them.
    const std::optional<TBlockData> current = ReadBlock(TrailerOf(Sector));
    if (FGone) {
        Fail(out, TSectorResult::CardGone, -1);
        return out;
    }
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
    if (Trailer && !FGone) {
        if (Stopping())
            CutShort(out, std::array{int(TrailerOf(Sector))});
        else
            WriteTrailer(Sector, Dump, Keys, access, keyType, out);
    }
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

bool TCardJobs::WriteTrailer(int Sector, const TDumpImage& Dump, TSectorKeys& Keys, const TAccessConditions& Current,
    int& KeyType, TSectorOutcome& Out)
{
    const int block = TrailerOf(Sector);
    const TBlockData& wanted = Dump.Data[size_t(block)];
    // Never lock a sector with a key nobody knows.
    if (!Dump.BlockKnown(block)) {
        Out.Unknown.push_back(block);
        return false;
    }
    TTrailerChange change;
    change.Sector = Sector;
    change.Trailer = wanted;
    change.Access = TrailerAccess(wanted);
    if (!change.Access.Consistent) {
        Fail(Out, TSectorResult::WriteRefused, block);
        return false;
    }
    for (int row = 0; row < TrailerRow; ++row)
        change.DataRights[size_t(row)] = EffectiveDataRights(change.Access.Cond[size_t(row)], change.Access.Cond[TrailerRow]);
    change.TrailerRights = TrailerBlockRights(change.Access.Cond[TrailerRow]);
    if (!FEvents.ConfirmTrailer(change))
        return false;
    if (Stopping()) {
        CutShort(Out, std::array{block});
        return false;
    }
    if (Current.Consistent && !UseKeyFor(TrailerBlockRights(Current.Cond[TrailerRow]).AccessWrite, Keys, KeyType)) {
        Fail(Out, TSectorResult::WriteRefused, block);
        return false;
    }
    if (Reopen() != TOpen::Ok) {
        Fail(Out, FGone ? TSectorResult::CardGone : TSectorResult::WriteRefused, block);
        return false;
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
        return false;
    }
    const std::optional<TBlockData> back = FActive ? ReadBlock(block) : std::nullopt;
    if (FGone) {
        Fail(Out, TSectorResult::CardGone, block);
        return false;
    }
    const int shown = KeyBReadable(change.Access.Cond[TrailerRow]) ? BlockBytes : TrailerKeyBOffset;
    const bool same = back && std::equal(back->begin() + AccessBitsOffset, back->begin() + shown, wanted.begin() + AccessBitsOffset);
    if (!same) {
        Fail(Out, written ? TSectorResult::VerifyFailed : TSectorResult::WriteRefused, block);
        return false;
    }
    Keys.KeyA = newA;
    Keys.KeyB = newB;
    return true;
}

std::optional<TSectorOutcomes> TCardJobs::WriteCard(const TDumpImage& Dump, TKeyMap& Keys, bool Trailers)
{
    return Run([&] { return EverySector([&](int Sector) { return WriteSector(Sector, Dump, Keys[size_t(Sector)], Trailers); }); });
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
