#pragma once
// One request out, one reply back: all that the card operations need of a
// reader. The serial reader link is one; a reader in the same process (the
// simulator's engine, for tests that do not test the line) is another.

#include "protocol/Commands.h"

#include <cstdint>
#include <span>

class TReaderExchange {
public:
    virtual ~TReaderExchange() = default;

    // Sends Request and takes the reply: 0 when it came back with the
    // command code, 12 for a bad reply, 20 when nothing could be sent, 22
    // when nothing came in time, otherwise the reader's status byte.
    virtual int ExchangeFrame(const TRequest& Request) = 0;
    // The bytes of the last reply, for the decoders.
    virtual std::span<const uint8_t> Reply() const = 0;
};
