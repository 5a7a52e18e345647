#pragma once
// The lines orvelle-sim prints, written by a thread of its own: a console
// that is not read (a paused pipe, a terminal stopped with Ctrl-S) never
// holds up whoever prints, least of all the line's thread. While the output
// is blocked, lines wait up to Limit bytes; any more are dropped, and once
// the output takes lines again it is told how many were dropped.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace sim {

class TConsoleOutput {
public:
    static constexpr size_t DefaultLimit = 64 * 1024;

    // Writes to the descriptors Out and Err, which stay the caller's.
    explicit TConsoleOutput(int Out = 1, int Err = 2, size_t Limit = DefaultLimit);
    ~TConsoleOutput(); // Close(0)

    TConsoleOutput(const TConsoleOutput&) = delete;
    TConsoleOutput& operator=(const TConsoleOutput&) = delete;

    // Queues Text and a newline for the output (or the error output); never
    // waits. An empty Text prints nothing.
    void Say(const std::string& Text, bool Error = false);
    // Lines dropped so far.
    uint64_t Dropped() const;
    // Writes what waits for at most Grace, then ends the thread. A thread
    // stuck in a write to a terminal that was stopped in the middle of it is
    // left for the process exit to end.
    void Close(std::chrono::milliseconds Grace);

private:
    struct TShared;
    std::shared_ptr<TShared> FShared;
    std::thread FThread;
};

} // namespace sim
