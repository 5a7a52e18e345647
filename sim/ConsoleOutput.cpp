#include "sim/ConsoleOutput.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace sim {

namespace {

// A pipe takes this much at once without waiting once poll says it has room.
constexpr size_t ChunkBytes = 512;

struct TLine {
    std::string Text; // with its newline
    bool Error = false;
    uint64_t Dropped = 0; // not 0: stands for that many dropped lines
};

} // namespace

struct TConsoleOutput::TShared {
    int Out = 1, Err = 2, Stop = -1;
    size_t Limit = DefaultLimit;
    std::mutex Lock;
    std::condition_variable Changed;
    std::deque<TLine> Lines;
    size_t Bytes = 0;
    uint64_t DroppedTotal = 0;
    bool Dropping = false;
    bool Closing = false;
    bool Done = false;

    ~TShared() { ::close(Stop); }

    void Run();
    // All of Text, unless Stop is signalled or the output fails.
    bool Write(int Fd, const std::string& Text) const;
};

bool TConsoleOutput::TShared::Write(int Fd, const std::string& Text) const
{
    for (size_t at = 0; at < Text.size();) {
        pollfd p[2] = {{Fd, POLLOUT, 0}, {Stop, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (p[1].revents & POLLIN)
            return false;
        if (p[0].revents & (POLLERR | POLLNVAL))
            return false;
        const ssize_t n = ::write(Fd, Text.data() + at, std::min(ChunkBytes, Text.size() - at));
        if (n > 0)
            at += size_t(n);
        else if (n < 0 && errno != EINTR && errno != EAGAIN)
            return false; // gone (a closed pipe): nothing more can be shown
    }
    return true;
}

void TConsoleOutput::TShared::Run()
{
    bool broken = false;
    std::unique_lock lock(Lock);
    for (;;) {
        Changed.wait(lock, [this] { return !Lines.empty() || Closing; });
        if (Lines.empty())
            break;
        TLine line = std::move(Lines.front());
        Lines.pop_front();
        Bytes -= line.Text.size();
        lock.unlock();
        if (line.Dropped)
            line.Text = "orvelle-sim: " + std::to_string(line.Dropped)
                + " lines were dropped here: the output was not being read\n";
        if (!broken && !Write(line.Error ? Err : Out, line.Text))
            broken = true;
        lock.lock();
        if (broken && Closing)
            break;
    }
    Done = true;
    Changed.notify_all();
}

TConsoleOutput::TConsoleOutput(int Out, int Err, size_t Limit)
    : FShared(std::make_shared<TShared>())
{
    FShared->Out = Out;
    FShared->Err = Err;
    FShared->Limit = Limit;
    FShared->Stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // The thread keeps the shared part alive should it have to be left.
    FThread = std::thread([shared = FShared] { shared->Run(); });
}

TConsoleOutput::~TConsoleOutput() { Close(std::chrono::milliseconds(0)); }

void TConsoleOutput::Say(const std::string& Text, bool Error)
{
    if (Text.empty())
        return;
    TShared& shared = *FShared;
    std::lock_guard lock(shared.Lock);
    if (shared.Closing)
        return;
    if (shared.Dropping && shared.Bytes <= shared.Limit / 2)
        shared.Dropping = false;
    if (shared.Dropping || shared.Bytes + Text.size() + 1 > shared.Limit) {
        // Once full, lines are dropped until half the room is free, so a
        // run of dropped lines gets one note.
        shared.Dropping = true;
        ++shared.DroppedTotal;
        if (shared.Lines.empty() || shared.Lines.back().Dropped == 0)
            shared.Lines.push_back({{}, false, 0});
        ++shared.Lines.back().Dropped;
    } else {
        shared.Lines.push_back({Text + "\n", Error, 0});
        shared.Bytes += Text.size() + 1;
    }
    shared.Changed.notify_all();
}

uint64_t TConsoleOutput::Dropped() const
{
    std::lock_guard lock(FShared->Lock);
    return FShared->DroppedTotal;
}

void TConsoleOutput::Close(std::chrono::milliseconds Grace)
{
    std::unique_lock lock(FShared->Lock);
    if (!FShared->Closing) {
        FShared->Closing = true;
        FShared->Changed.notify_all();
    }
    if (!FShared->Changed.wait_for(lock, Grace, [this] { return FShared->Done; })) {
        // Out of time: the write under way gives up, what waits is dropped.
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t r = ::write(FShared->Stop, &one, sizeof one);
        FShared->Changed.wait_for(lock, std::chrono::milliseconds(200), [this] { return FShared->Done; });
    }
    const bool done = FShared->Done;
    lock.unlock();
    if (!FThread.joinable())
        return;
    if (done)
        FThread.join();
    else
        FThread.detach();
}

} // namespace sim
