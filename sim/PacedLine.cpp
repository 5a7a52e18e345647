#include "sim/PacedLine.h"

#include <algorithm>

namespace sim {

void TPacedLine::Add(TClock::time_point Due, const std::vector<uint8_t>& Bytes)
{
    // An idle line starts the bytes when they are due; a busy one sends them
    // right behind what it carries.
    if (FBytes.empty())
        FStart = std::max(FStart, Due);
    FBytes.insert(FBytes.end(), Bytes.begin(), Bytes.end());
}

void TPacedLine::TakeDue(TClock::time_point Now, std::vector<uint8_t>& Out)
{
    if (FBytes.empty() || Now <= FStart)
        return;
    const size_t arrived = std::min(FBytes.size(), size_t((Now - FStart) / ByteTime));
    Out.insert(Out.end(), FBytes.begin(), FBytes.begin() + ptrdiff_t(arrived));
    FBytes.erase(FBytes.begin(), FBytes.begin() + ptrdiff_t(arrived));
    FStart += ptrdiff_t(arrived) * ByteTime;
}

void TPacedLine::TakeAll(std::vector<uint8_t>& Out)
{
    Out.insert(Out.end(), FBytes.begin(), FBytes.end());
    FBytes.clear();
}

std::optional<TClock::time_point> TPacedLine::NextDue() const
{
    if (FBytes.empty())
        return std::nullopt;
    return FStart + ByteTime;
}

} // namespace sim
