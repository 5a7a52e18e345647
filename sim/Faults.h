#pragma once
// What a fault makes of a reply: a pure function of the reply, the fault and
// the time, so the serving thread only queues what it returns.

#include "sim/FaultKinds.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

using TClock = std::chrono::steady_clock;

// Bytes for the line, to go out once Due has come.
struct TTimedBytes {
    TClock::time_point Due;
    std::vector<uint8_t> Bytes;
};

// Whether the card carries the command out under Fault (none: no fault).
// Only ErrorStatus, the reader refusing, stops it.
bool CarriesOut(const std::optional<TFault>& Fault);

struct TFaultedReply {
    bool CarriedOut = true;
    std::vector<TTimedBytes> Pieces; // in due order; none when the reply is lost
};

// What goes on the line for a request with code Command that Fault (none: no
// fault) hits at Now. Reply is what the engine answered; it is not looked at
// when the command is not carried out (pass it empty then).
TFaultedReply ApplyFault(const std::vector<uint8_t>& Reply, uint8_t Command, const std::optional<TFault>& Fault,
    TClock::time_point Now);

} // namespace sim
