#pragma once
// The reader's card operations as typed calls over one link: each builds its
// request, runs one exchange and decodes the reply, checking that the reply
// truly carries the bytes it reads. A failure is an empty result or false;
// what the operator is told is the caller's business.

#include "protocol/Commands.h"

#include <cstdint>
#include <optional>

class TReaderLink;

class TCardReader {
public:
    explicit TCardReader(TReaderLink& Link)
        : FLink(Link)
    {
    }

    // The search mode is the link's setting at the time of the call, unless
    // the caller names its own (a job that must find any card, without
    // touching the operator's setting).
    std::optional<uint8_t> SearchCard(); // card type code
    std::optional<TCardId> SearchCardSerial(std::optional<uint8_t> Mode = std::nullopt);
    std::optional<TSerial> Anticollision();
    bool SelectCard();
    bool HaltCard();
    // The key travels in the frame (L = 10) only for a typed-key source (2,
    // 3) given a Key; otherwise the request names the source alone (L = 4).
    bool Authenticate(uint8_t Sector, uint8_t Source, const TKey* Key = nullptr);
    std::optional<TBlockData> ReadBlock(uint8_t Block);
    // A sector trailer whose access bits disagree with their inverted copies
    // would lock the sector for good: it is refused without being sent.
    bool WriteBlock(uint8_t Block, const TBlockData& Data);
    bool ValueOperation(uint8_t Operation, uint8_t Block, uint32_t Amount);
    bool DownloadKey(uint8_t KeyType, uint8_t Sector, const TKey& Key);

    // The result code of the last exchange (0, 12, 20, 22 or the reader's
    // status); ResultBadReply also when a reply lacked the bytes it needs.
    int LastResult() const { return FLastResult; }

private:
    bool Exchange(const TRequest& Request);

    TReaderLink& FLink;
    int FLastResult = 0;
};
