#include "sim/ReplyQueue.h"

#include <algorithm>

namespace sim {

void ReplyQueue::Add(TimedBytes Piece)
{
    const auto at = std::upper_bound(FPieces.begin(), FPieces.end(), Piece.Due,
        [](Clock::time_point Due, const TimedBytes& P) { return Due < P.Due; });
    FPieces.insert(at, std::move(Piece));
}

std::vector<std::vector<uint8_t>> ReplyQueue::TakeDue(Clock::time_point Now)
{
    size_t due = 0;
    while (due < FPieces.size() && FPieces[due].Due <= Now)
        ++due;
    std::vector<std::vector<uint8_t>> out;
    out.reserve(due);
    for (size_t i = 0; i < due; ++i)
        out.push_back(std::move(FPieces[i].Bytes));
    FPieces.erase(FPieces.begin(), FPieces.begin() + ptrdiff_t(due));
    return out;
}

std::optional<Clock::time_point> ReplyQueue::NextDue() const
{
    if (FPieces.empty())
        return std::nullopt;
    return FPieces.front().Due;
}

} // namespace sim
