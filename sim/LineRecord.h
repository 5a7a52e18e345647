#pragma once
// One frame in or out of the line with its time, as the request log keeps it
// and TSimServer hands it to its observer. A header of its own, so that the
// log needs nothing else of the server.

#include <chrono>
#include <cstdint>
#include <vector>

namespace sim {

struct TLineRecord {
    std::chrono::steady_clock::time_point When;
    bool FromProgram;
    std::vector<uint8_t> Bytes;
};

} // namespace sim
