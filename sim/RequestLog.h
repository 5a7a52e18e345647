#pragma once
// What went over the line: every request frame, and every frame in and out
// with its time. A reader left serving a loop test for days must not eat the
// memory: past HistoryLimit entries the older half of either list goes. Not
// thread-safe: the owner locks.

#include "sim/SimServer.h"

#include <chrono>
#include <cstdint>
#include <vector>

namespace sim {

class RequestLog {
public:
    using Record = SimServer::Record;
    using TimePoint = std::chrono::steady_clock::time_point;
    static constexpr size_t HistoryLimit = 200000;

    // Both return the record made, for the observer.
    Record AddRequest(TimePoint When, const std::vector<uint8_t>& Frame);
    Record AddSent(TimePoint When, const std::vector<uint8_t>& Bytes);

    const std::vector<std::vector<uint8_t>>& Requests() const { return FRequests; }
    // The requests with another command code than Command.
    std::vector<std::vector<uint8_t>> RequestsWithout(uint8_t Command) const;
    void ClearRequests() { FRequests.clear(); }
    const std::vector<Record>& Records() const { return FRecords; }

private:
    std::vector<std::vector<uint8_t>> FRequests;
    std::vector<Record> FRecords;
};

} // namespace sim
