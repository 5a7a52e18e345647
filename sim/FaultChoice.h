#pragma once
// Which request gets which fault: the faults set for a command code, skipped
// and counted, then random faults from a seeded generator, so one seed
// spoils the same replies the same way every run. Not thread-safe: the owner
// locks.

#include "sim/FaultKinds.h"

#include <cstdint>
#include <optional>
#include <random>
#include <vector>

namespace sim {

class TFaultChoice {
public:
    // The next Count requests with this code, after Skip of them.
    void Inject(uint8_t Command, TFault Fault, int Count, int Skip);
    // Probability per request, clamped to 0..1.
    void SetRandom(double Probability, uint32_t Seed);
    // Drops the set faults and stops the random ones.
    void Clear();

    // The fault for a request with this code, if any; counts it.
    std::optional<TFault> Take(uint8_t Command);

private:
    struct TEntry {
        uint8_t Command;
        TFault Fault;
        int Count;
        int Skip;
    };
    std::vector<TEntry> FEntries;
    double FProbability = 0;
    std::mt19937 FRandom;
};

} // namespace sim
