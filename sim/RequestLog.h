#pragma once
// What went over the line: every request frame, and every frame in and out
// with its time. A reader left serving a loop test for days must not eat the
// memory: past HistoryLimit entries the older half of either list goes. Not
// thread-safe: the owner locks.

#include "sim/LineRecord.h"

#include <chrono>
#include <cstdint>
#include <vector>

namespace sim {

class TRequestLog {
public:
    using TRecord = TLineRecord;
    using TTimePoint = std::chrono::steady_clock::time_point;
    static constexpr size_t HistoryLimit = 200000;

    // Both return the record made, for the observer.
    TRecord AddRequest(TTimePoint When, const std::vector<uint8_t>& Frame);
    TRecord AddSent(TTimePoint When, const std::vector<uint8_t>& Bytes);

    const std::vector<std::vector<uint8_t>>& Requests() const { return FRequests; }
    // The requests with another command code than Command.
    std::vector<std::vector<uint8_t>> RequestsWithout(uint8_t Command) const;
    void ClearRequests() { FRequests.clear(); }
    const std::vector<TRecord>& Records() const { return FRecords; }

private:
    std::vector<std::vector<uint8_t>> FRequests;
    std::vector<TRecord> FRecords;
};

} // namespace sim
