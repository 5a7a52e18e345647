#include "sim/RequestLog.h"

namespace sim {

namespace {

template <class T>
void Trim(std::vector<T>& Entries)
{
    if (Entries.size() > RequestLog::HistoryLimit)
        Entries.erase(Entries.begin(), Entries.begin() + ptrdiff_t(RequestLog::HistoryLimit / 2));
}

} // namespace

RequestLog::Record RequestLog::AddRequest(TimePoint When, const std::vector<uint8_t>& Frame)
{
    FRequests.push_back(Frame);
    FRecords.push_back({When, true, Frame});
    Record made = FRecords.back();
    Trim(FRequests);
    Trim(FRecords);
    return made;
}

RequestLog::Record RequestLog::AddSent(TimePoint When, const std::vector<uint8_t>& Bytes)
{
    FRecords.push_back({When, false, Bytes});
    Record made = FRecords.back();
    Trim(FRecords);
    return made;
}

std::vector<std::vector<uint8_t>> RequestLog::RequestsWithout(uint8_t Command) const
{
    std::vector<std::vector<uint8_t>> out;
    for (const auto& r : FRequests)
        if (r.size() < 2 || r[1] != Command)
            out.push_back(r);
    return out;
}

} // namespace sim
