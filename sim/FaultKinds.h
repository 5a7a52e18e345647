#pragma once
// The faults the reader can be told to put on its replies; SimServer.h tells
// what each kind looks like on the line.

#include "sim/ReaderStatus.h"

#include <cstdint>

namespace sim {

enum class TFaultKind { NoReply,
    BadChecksum,
    ErrorStatus,
    Delay,
    Split,
    Short,
    Noise };
constexpr int FaultKindCount = 7;
static_assert(int(TFaultKind::Noise) + 1 == FaultKindCount, "random faults pick among all kinds");

struct TFault {
    TFaultKind Kind;
    int DelayMs = 0;               // Delay: reply this late; Split: pause between the two halves
    uint8_t Status = StatusNoCard; // ErrorStatus: the status byte sent (never 0, never the request's code)
};

} // namespace sim
