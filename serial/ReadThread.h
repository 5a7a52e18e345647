#pragma once
// The read thread: takes bytes from the port in chunks cut by the read
// time-outs and posts them to the notifier, with the line errors that came
// with them; a purge of the receive side and a vanished device are its other
// concerns.

#include "serial/LineSettings.h"
#include "serial/ModemWatch.h"
#include "serial/ThreadFields.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

// What a purge of the receive side and the read thread agree on. Every read
// from the port happens under the lock together with a look at the
// generation, and a purge advances the generation and flushes the driver's
// input under the same lock: bytes read before the purge carry the old
// generation, bytes read after it were still in no queue when it ran.
struct TReceiveGate {
    std::mutex Lock;
    std::atomic<uint64_t> Generation{0};
    // Bytes taken from the line since the component was made.
    std::atomic<uint64_t> Received{0};
};

// The read time-outs as the read thread sees them (see TLineSettings). The
// component stores them; the thread takes them afresh each time it wakes
// during a read.
struct TCommTimeouts {
    std::atomic<uint32_t> ReadInterval{0};
    std::atomic<uint32_t> ReadTotalMultiplier{0};
    std::atomic<uint32_t> ReadTotalConstant{0};
    // The first chunk after a purge of the receive side ends as soon as
    // this says it is whole, without waiting for the interval's quiet.
    std::atomic<TChunkWhole> FirstChunkWhole{nullptr};
};

class TReadThread : public TPortThread {
public:
    TReadThread(const TThreadFields& Fields, const TCommTimeouts* Timeouts);
    ~TReadThread() override { WaitFor(); }

private:
    // One read: the chunk being collected and what times it.
    struct TChunk;
    // How taking the bytes that are there went.
    enum class TTaken { More,
        Whole,
        Closed,
        Gone };

    void Execute() override;
    bool IssueEventWait();
    bool ProcessLineEvent();
    bool IssueRead();
    static std::optional<int> NextWait(const TChunk& Chunk, const TCommTimeouts& Timeouts);
    TTaken TakeBytes(TChunk& Chunk, short Events);
    bool PassChunk(const TChunk& Chunk);

    const TCommTimeouts* FTimeouts;
    TLineErrorCounters FCounters;
    // The generation of the last chunk posted: a chunk of another one is the
    // first since a purge.
    uint64_t FPostedGeneration = ~uint64_t(0);
};
