#include "serial/ReadThread.h"

#include "serial/CommNotifier.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <new>
#include <optional>

namespace {

using Clock = std::chrono::steady_clock;

// The largest time-out value. As the read interval it means "take what has
// arrived and return at once"; see IssueRead.
constexpr uint32_t TimeoutMax = 0xFFFFFFFFu;
// One read takes at most this many bytes.
constexpr size_t ReadBufferSize = 2048;

// Milliseconds until When, rounded up, for poll().
int MsUntil(Clock::time_point When, Clock::time_point Now)
{
    if (When <= Now)
        return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(When - Now).count();
    return int(std::min<long long>(left, INT_MAX));
}

} // namespace

TReadThread::TReadThread(const TThreadFields& Fields, const TCommTimeouts* Timeouts)
    : TPortThread(Fields, {"ComRead", 2, TCIFLUSH}) // the highest of the two
    , FTimeouts(Timeouts)
{
}

void TReadThread::Execute()
{
    if (IssueEventWait()) {
        while (IssueRead()) {
        }
    }
}

// Line errors (frame, overrun, parity, break, buffer overrun) are read from
// the driver's counters each time input arrives, since they come with
// received bytes, and posted before the chunk holding those bytes. Drivers
// without counters (pseudo-terminals among them) report no line errors and
// the port works without them. Carrier and ring changes are the component's
// modem-line watch's concern, not this thread's.
bool TReadThread::IssueEventWait()
{
    return FCounters.Start(FFields.Port) != EBADF; // the descriptor is gone: end quietly
}

bool TReadThread::ProcessLineEvent()
{
    if (!FCounters.Kept())
        return true;
    uint32_t errors = 0;
    if (FCounters.Take(FFields.Port, errors) == EBADF)
        return false;
    if (errors != 0)
        PostNotification(FFields.Notifier, NotifyReceiveError, errors);
    return true;
}

struct TReadThread::TChunk {
    uint8_t Bytes[ReadBufferSize];
    size_t Count = 0;
    Clock::time_point Start;
    Clock::time_point LastByte;
    // The receive generation the bytes were read in.
    uint64_t Generation = 0;
};

// One read of at most 2048 bytes, cut by the time-out properties:
// - interval I, totals M and C from the time-out properties;
// - the first byte is awaited without limit unless a total applies
//   (M * 2048 + C ms for the whole read);
// - after a byte, the read completes when more than I ms pass without the
//   next one (I = 0: no interval limit), or when the buffer is full;
// - I = TimeoutMax returns what has arrived at once (with M = TimeoutMax, C
//   bounds the wait for the first byte).
// - the first chunk after a purge completes as soon as FirstChunkWhole, when
//   set, says its bytes are whole (the layer above knows its frames: a reply
//   need not wait for the line to fall quiet behind it).
// A read that ends with no bytes delivers nothing and the next read starts:
// the thread then waits for the next byte instead of spinning.
// A purge of the receive side ends the chunk being collected: what it held is
// dropped, and bytes read after the purge start a fresh chunk.
bool TReadThread::IssueRead()
{
    TChunk chunk;
    chunk.Start = chunk.LastByte = Clock::now();
    chunk.Generation = FFields.Gate->Generation.load();
    for (;;) {
        const std::optional<int> timeout = NextWait(chunk, *FTimeouts);
        if (!timeout)
            break; // the read is complete
        pollfd p[2] = {{FFields.CloseEvent, POLLIN, 0}, {FFields.Port, POLLIN, 0}};
        const int ready = ::poll(p, 2, *timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            AskHangup();
            return false;
        }
        if (p[0].revents != 0)
            return false; // closing: the pending read is abandoned
        if (ready == 0)
            break; // a time limit ran out: the read completes with what it has
        if (p[1].revents & POLLNVAL)
            return false; // the descriptor is gone: end quietly
        if (!ProcessLineEvent())
            return false;
        switch (TakeBytes(chunk, p[1].revents)) {
        case TTaken::More: continue;
        case TTaken::Whole: return PassChunk(chunk);
        case TTaken::Closed: return false;
        case TTaken::Gone:
            // What did arrive is still delivered.
            PassChunk(chunk);
            AskHangup();
            return false;
        }
    }
    return PassChunk(chunk);
}

// How long the next wait of a read may last (-1: no limit), or none when the
// read is complete. The time-outs are taken afresh at every wake, so a change
// made while the port is open counts from the next byte on.
std::optional<int> TReadThread::NextWait(const TChunk& Chunk, const TCommTimeouts& Timeouts)
{
    const uint32_t interval = Timeouts.ReadInterval.load();
    const uint32_t multiplier = Timeouts.ReadTotalMultiplier.load();
    const uint32_t constant = Timeouts.ReadTotalConstant.load();
    const bool immediate = interval == TimeoutMax;
    if (Chunk.Count == ReadBufferSize || (Chunk.Count > 0 && immediate))
        return std::nullopt;
    std::optional<Clock::time_point> deadline;
    if (immediate && multiplier == TimeoutMax) {
        if (constant != 0 && constant != TimeoutMax)
            deadline = Chunk.Start + std::chrono::milliseconds(constant);
    } else if (multiplier != 0 || constant != 0) {
        deadline = Chunk.Start + std::chrono::milliseconds(uint64_t(multiplier) * ReadBufferSize + constant);
    }

    const Clock::time_point now = Clock::now();
    int timeout = -1;
    if (Chunk.Count > 0 && interval != 0)
        timeout = MsUntil(Chunk.LastByte + std::chrono::milliseconds(interval), now);
    if (deadline) {
        const int left = MsUntil(*deadline, now);
        timeout = timeout < 0 ? left : std::min(timeout, left);
    }
    return timeout;
}

// Reads what the port holds into the chunk, under the receive gate: a purge
// since the chunk began drops what it held first. Events are the port's poll
// events that woke the read.
TReadThread::TTaken TReadThread::TakeBytes(TChunk& Chunk, short Events)
{
    ssize_t n = 0;
    int err = 0;
    {
        std::lock_guard<std::mutex> lock(FFields.Gate->Lock);
        const uint64_t current = FFields.Gate->Generation.load();
        if (current != Chunk.Generation) {
            Chunk.Generation = current;
            Chunk.Count = 0;
        }
        n = ::read(FFields.Port, Chunk.Bytes + Chunk.Count, ReadBufferSize - Chunk.Count);
        err = errno;
    }
    if (n > 0) {
        FFields.Gate->Received.fetch_add(uint64_t(n));
        Chunk.Count += size_t(n);
        Chunk.LastByte = Clock::now();
        const TChunkWhole whole = FTimeouts->FirstChunkWhole.load();
        const bool first = Chunk.Generation != FPostedGeneration;
        return whole && first && whole(Chunk.Bytes, Chunk.Count) ? TTaken::Whole : TTaken::More;
    }
    if (n < 0 && (err == EAGAIN || err == EINTR) && !(Events & (POLLHUP | POLLERR)))
        return TTaken::More;
    if (n < 0 && err == EBADF)
        return TTaken::Closed;
    // End of file right after POLLIN, EIO, or a hang-up without data: the
    // device has gone.
    return TTaken::Gone;
}

bool TReadThread::PassChunk(const TChunk& Chunk)
{
    if (Chunk.Count == 0)
        return true;
    FPostedGeneration = Chunk.Generation;
    try {
        PostReceiveData(FFields.Notifier, TDataBlock::Copy(Chunk.Bytes, Chunk.Count), Chunk.Generation);
    } catch (const std::bad_alloc&) {
        AskHangup();
        return false;
    }
    return true;
}
