// The whole-card jobs. Every exchange goes through the session's typed card
// operations; a failed exchange leaves the card unselected (a refused
// authentication does so on the card itself), so the next step activates it
// again first, and a card that no search finds is gone for the rest of the job.
#include "session/CardJobSteps.h"

#include "protocol/Frame.h"
#include "reader/CardReader.h"

using namespace CardJobSteps;

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

bool TCardJobs::Begin(TJobResult& Result)
{
    if (!FActive && Activate() != TOpen::Ok)
        return false;
    Result.Serial = FSerial;
    return true;
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
