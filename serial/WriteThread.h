#pragma once
// The write thread and its request queue: WriteData hands blocks over, the
// thread writes them to the port whole and in order.

#include "serial/CommNotifier.h"
#include "serial/ThreadFields.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

// Requests from WriteData to the write thread, in order. The small lock only
// guards the queue itself; the eventfd wakes the thread.
class TWriteQueue {
public:
    TWriteQueue(); // throws std::system_error when no eventfd can be had
    ~TWriteQueue();

    TWriteQueue(const TWriteQueue&) = delete;
    TWriteQueue& operator=(const TWriteQueue&) = delete;

    // False once the thread has ended (the block is then released by the caller).
    bool Post(TDataBlock& Block, std::atomic<bool>& SendEmpty);
    // The next block, or none; on none the send-empty flag is set under the
    // same lock, so it is never True while a block waits.
    bool TakeOrMarkEmpty(TDataBlock& Block, std::atomic<bool>& SendEmpty);
    // Refuses further posts and drops what is queued.
    void Shut();
    int WakeFd() const { return FWake; }
    void ClearWake();

private:
    std::mutex FLock;
    std::deque<TDataBlock> FBlocks;
    bool FShut = false;
    int FWake = -1;
};

class TWriteThread : public TPortThread {
public:
    TWriteThread(const TThreadFields& Fields, std::atomic<bool>* SendEmpty);
    ~TWriteThread() override { WaitFor(); }

    // Hands a block to the thread's queue; false once the thread has ended.
    bool Post(TDataBlock& Block) { return FQueue.Post(Block, *FSendEmpty); }

private:
    void Execute() override;
    bool WriteBlock(const uint8_t* Block, size_t Length);

    std::atomic<bool>* FSendEmpty;
    TWriteQueue FQueue;
};
