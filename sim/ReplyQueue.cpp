#include "sim/ReplyQueue.h"

#include <algorithm>

namespace sim {

void TReplyQueue::Add(TTimedBytes Piece)
{
    const auto at = std::upper_bound(FPieces.begin(), FPieces.end(), Piece.Due,
        [](TClock::time_point Due, const TTimedBytes& Queued) { return Due < Queued.Due; });
    FBytes += Piece.Bytes.size();
    FPieces.insert(at, std::move(Piece));
}

void TReplyQueue::Clear()
{
    FPieces.clear();
    FBytes = 0;
}

std::vector<TTimedBytes> TReplyQueue::TakeDue(TClock::time_point Now)
{
    size_t due = 0;
    while (due < FPieces.size() && FPieces[due].Due <= Now)
        ++due;
    std::vector<TTimedBytes> out;
    out.reserve(due);
    for (size_t i = 0; i < due; ++i) {
        FBytes -= FPieces[i].Bytes.size();
        out.push_back(std::move(FPieces[i]));
    }
    FPieces.erase(FPieces.begin(), FPieces.begin() + ptrdiff_t(due));
    return out;
}

std::optional<TClock::time_point> TReplyQueue::NextDue() const
{
    if (FPieces.empty())
        return std::nullopt;
    return FPieces.front().Due;
}

} // namespace sim
