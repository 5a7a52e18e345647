#pragma once
// The reader's card operations as typed calls over one link: each builds its
// request, runs one exchange and decodes the reply, checking that the reply
// truly carries the bytes it reads. A failure is an empty result or false;
// what the operator is told is the caller's business.

#include "protocol/Commands.h"

#include <cstdint>
#include <optional>

class TReaderExchange;

class TCardReader {
public:
    explicit TCardReader(TReaderExchange& Exchange)
        : FExchange(&Exchange)
    {
    }
    // Another reader from the next exchange on.
    void SetExchange(TReaderExchange& Exchange) { FExchange = &Exchange; }

    bool TestLink();
    bool Beep();
    // Mode: SearchModes (idle cards only, or every card).
    std::optional<uint8_t> SearchCard(uint8_t Mode); // card type code
    std::optional<TCardId> SearchCardSerial(uint8_t Mode);
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

    TReaderExchange* FExchange;
    int FLastResult = 0;
};
