#pragma once
// The faults the reader can be told to put on its replies (SimServer.h tells
// what each kind looks like on the line), and what one makes of a reply: a
// pure function of the reply, the fault and the time, so the serving thread
// only queues what it returns.

#include "sim/ReaderStatus.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

enum class FaultKind { NoReply, BadChecksum, ErrorStatus, Delay, Split, Short, Noise };
constexpr int FaultKindCount = 7;

struct Fault {
    FaultKind Kind;
    int DelayMs = 0;               // Delay: reply this late; Split: pause between the two halves
    uint8_t Status = StatusNoCard; // ErrorStatus: the status byte sent (never 0, never the request's code)
};

using Clock = std::chrono::steady_clock;

// Bytes for the line, to go out once Due has come.
struct TimedBytes {
    Clock::time_point Due;
    std::vector<uint8_t> Bytes;
};

// Whether the card carries the command out under Fault (none: no fault).
// Only ErrorStatus, the reader refusing, stops it.
bool CarriesOut(const std::optional<Fault>& F);

struct FaultedReply {
    bool CarriedOut = true;
    std::vector<TimedBytes> Pieces; // in due order; none when the reply is lost
};

// What goes on the line for a request with code Command that Fault (none: no
// fault) hits at Now. Reply is what the engine answered; it is not looked at
// when the command is not carried out (pass it empty then).
FaultedReply ApplyFault(const std::vector<uint8_t>& Reply, uint8_t Command, const std::optional<Fault>& F,
                        Clock::time_point Now);

} // namespace sim
