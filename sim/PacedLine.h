#pragma once
// Replies over the line as a real one carries them: at 9600 baud, 8 data
// bits, no parity and 1 stop bit a byte takes ten bit times, 1.04 ms, and it
// reaches the program only once its stop bit is in. Bytes follow one another
// with no gap while there are any; a reply that falls due while the line is
// busy waits for it. Not thread-safe: the serving thread alone uses it.

#include "sim/Faults.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

constexpr int PaceBaud = 9600;
// Ten bit times, rounded up: a paced line is never faster than a real one.
constexpr TClock::duration ByteTime = std::chrono::nanoseconds((10 * 1'000'000'000LL + PaceBaud - 1) / PaceBaud);

class TPacedLine {
public:
    // Bytes that may start at Due (no later than now), behind any still on
    // the line.
    void Add(TClock::time_point Due, const std::vector<uint8_t>& Bytes);
    // Appends to Out the bytes wholly arrived by Now.
    void TakeDue(TClock::time_point Now, std::vector<uint8_t>& Out);
    // Appends every byte at once (pacing turned off).
    void TakeAll(std::vector<uint8_t>& Out);
    // When the next byte is in; none while the line is idle.
    std::optional<TClock::time_point> NextDue() const;
    size_t Bytes() const { return FBytes.size(); }
    void Clear() { FBytes.clear(); }

private:
    std::vector<uint8_t> FBytes; // on the line, in order
    TClock::time_point FStart{}; // when FBytes' first byte starts: the last one sent ended then
};

} // namespace sim
