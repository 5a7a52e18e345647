#include "sim/FaultChoice.h"

#include <algorithm>

namespace sim {

void TFaultChoice::Inject(uint8_t Command, TFault Fault, int Count, int Skip)
{
    if (Count <= 0)
        return;
    FEntries.push_back({Command, Fault, Count, std::max(0, Skip)});
}

void TFaultChoice::SetRandom(double Probability, uint32_t Seed)
{
    FProbability = std::clamp(Probability, 0.0, 1.0);
    FRandom.seed(Seed);
}

void TFaultChoice::Clear()
{
    FEntries.clear();
    FProbability = 0;
}

std::optional<TFault> TFaultChoice::Take(uint8_t Command)
{
    // The first entry for the code decides; a skipped request is not
    // offered to the random faults.
    for (auto it = FEntries.begin(); it != FEntries.end(); ++it) {
        if (it->Command != Command)
            continue;
        if (it->Skip > 0) {
            --it->Skip;
            return std::nullopt;
        }
        const TFault f = it->Fault;
        if (--it->Count <= 0)
            FEntries.erase(it);
        return f;
    }
    if (FProbability > 0 && std::uniform_real_distribution<double>(0, 1)(FRandom) < FProbability)
        return TFault{TFaultKind(std::uniform_int_distribution<int>(0, FaultKindCount - 1)(FRandom))};
    return std::nullopt;
}

} // namespace sim
