#pragma once
// Replies waiting for their time on the line: a late reply may go out after
// the reply to a later request. Pieces due at the same time keep the order
// they were added in. Not thread-safe: the serving thread alone uses it.

#include "sim/Faults.h"

#include <optional>
#include <vector>

namespace sim {

class TReplyQueue {
public:
    void Add(TTimedBytes Piece);
    // The pieces due by Now, in order, taken off the queue.
    std::vector<TTimedBytes> TakeDue(TClock::time_point Now);
    // When the next piece falls due; none while nothing waits.
    std::optional<TClock::time_point> NextDue() const;
    // The bytes of every piece waiting.
    size_t Bytes() const { return FBytes; }
    void Clear();

private:
    std::vector<TTimedBytes> FPieces; // in due order
    size_t FBytes = 0;
};

} // namespace sim
