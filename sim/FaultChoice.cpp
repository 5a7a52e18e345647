#include "sim/FaultChoice.h"

#include <algorithm>

namespace sim {

void FaultChoice::Inject(uint8_t Command, Fault F, int Count, int Skip)
{
    if (Count <= 0)
        return;
    FEntries.push_back({Command, F, Count, std::max(0, Skip)});
}

void FaultChoice::SetRandom(double Probability, uint32_t Seed)
{
    FProbability = std::clamp(Probability, 0.0, 1.0);
    FRandom.seed(Seed);
}

void FaultChoice::Clear()
{
    FEntries.clear();
    FProbability = 0;
}

std::optional<Fault> FaultChoice::Take(uint8_t Command)
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
        const Fault f = it->F;
        if (--it->Count <= 0)
            FEntries.erase(it);
        return f;
    }
    if (FProbability > 0 && std::uniform_real_distribution<double>(0, 1)(FRandom) < FProbability)
        return Fault{FaultKind(std::uniform_int_distribution<int>(0, FaultKindCount - 1)(FRandom))};
    return std::nullopt;
}

} // namespace sim
