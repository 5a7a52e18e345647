#pragma once
// The master side of a pseudo-terminal, served by a thread of its own: what
// the program writes is handed on as it comes, and whatever falls due goes
// out as fast as the line takes it. The slave side is not held open in
// here, so the master sees the program close its port (a hang-up); the
// program may open it again.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sim {

class TPtyLine {
public:
    // All four run on the line's thread.
    struct THandlers {
        // Bytes the program wrote.
        std::function<void(const uint8_t* Data, size_t Size)> Received;
        // Appends the bytes due by now to Out; returns when more fall due.
        std::function<std::optional<std::chrono::steady_clock::time_point>(std::vector<uint8_t>& Out)> TakeDue;
        // The bytes of the last TakeDue were handed to the line.
        std::function<void()> Written;
        // The program closed its port; the Unwritten bytes were dropped.
        std::function<void(size_t Unwritten)> HungUp;
    };

    TPtyLine();  // openpty(); throws std::runtime_error on failure
    ~TPtyLine(); // Stop(), then closes the pty

    TPtyLine(const TPtyLine&) = delete;
    TPtyLine& operator=(const TPtyLine&) = delete;

    void Start(THandlers Handlers);
    // Ends the thread; no handler runs after it returns.
    void Stop();

    const std::string& Path() const { return FPath; } // the slave device

private:
    void Serve();
    // Writes what it can of FOut without waiting.
    void Flush();

    THandlers FHandlers;
    std::string FPath;
    int FMaster = -1;
    int FWake = -1;
    std::vector<uint8_t> FOut; // due, not yet written
    std::thread FThread;
};

} // namespace sim
