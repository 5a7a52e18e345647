#include "sim/RequestLog.h"

namespace sim {

namespace {

template <class T>
void Trim(std::vector<T>& Entries)
{
    if (Entries.size() > TRequestLog::HistoryLimit)
        Entries.erase(Entries.begin(), Entries.begin() + ptrdiff_t(TRequestLog::HistoryLimit / 2));
}

} // namespace

TRequestLog::TRecord TRequestLog::AddRequest(TTimePoint When, const std::vector<uint8_t>& Frame)
{
    FRequests.push_back(Frame);
    FRecords.push_back({When, true, Frame});
    TRecord made = FRecords.back();
    Trim(FRequests);
    Trim(FRecords);
    return made;
}

TRequestLog::TRecord TRequestLog::AddSent(TTimePoint When, const std::vector<uint8_t>& Bytes)
{
    FRecords.push_back({When, false, Bytes});
    TRecord made = FRecords.back();
    Trim(FRecords);
    return made;
}

std::vector<std::vector<uint8_t>> TRequestLog::RequestsWithout(uint8_t Command) const
{
    std::vector<std::vector<uint8_t>> out;
    for (const auto& r : FRequests)
        if (r.size() < 2 || r[1] != Command)
            out.push_back(r);
    return out;
}

} // namespace sim
