#pragma once
// The two worker threads of TComm and what they share with it: the
// notification object on the user-interface thread, the notifications they
// post to it, the write thread's request queue and the read time-outs.

#include "serial/Comm.h"

#include <QEvent>
#include <QObject>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

// Message numbers keep the classic WM_USER + n values, counted from QEvent::User.
constexpr int CommUserBase = 1024;
constexpr QEvent::Type NotifyReceiveData = QEvent::Type(QEvent::User + CommUserBase + 1);
constexpr QEvent::Type NotifyReceiveError = QEvent::Type(QEvent::User + CommUserBase + 2);
constexpr QEvent::Type NotifyRequestHangup = QEvent::Type(QEvent::User + CommUserBase + 3);
constexpr QEvent::Type NotifyModemStateChange = QEvent::Type(QEvent::User + CommUserBase + 4);
constexpr QEvent::Type NotifySendDataEmpty = QEvent::Type(QEvent::User + CommUserBase + 5);

constexpr uint32_t MaxDword = 0xFFFFFFFFu;
// One read takes at most this many bytes.
constexpr size_t ReadBufferSize = 2048;

// A zero-filled block of Count + 1 bytes: the data, then one uncounted zero.
struct TDataBlock {
    std::unique_ptr<uint8_t[]> Bytes;
    size_t Count = 0;

    static TDataBlock Copy(const void* Data, size_t Count); // throws std::bad_alloc
};

// One notification. Whatever block it carries is freed with it, so a block
// lives until its handler has returned, and also when nobody handles it.
class TCommMessage : public QEvent {
public:
    TCommMessage(QEvent::Type Type, uint32_t Param) : QEvent(Type), Param(Param) { }
    TCommMessage(TDataBlock&& Block, uint64_t Generation)
        : QEvent(NotifyReceiveData), Generation(Generation), Block(std::move(Block))
    {
    }
    ~TCommMessage() override { TakeOver(); }

    // The event queue's own lock hands a message over between threads, but
    // it is invisible to race checkers; this release/acquire pair states the
    // same hand-off in terms they see. Posted() after the message is filled
    // in, TakeOver() before the receiving side touches it.
    static void Posted() { Handoff.fetch_add(1, std::memory_order_release); }
    static void TakeOver() { (void)Handoff.load(std::memory_order_acquire); }

    uint32_t Param = 0;
    // Received data: the receive generation the bytes were read in.
    uint64_t Generation = 0;
    TDataBlock Block;

private:
    static inline std::atomic<uint64_t> Handoff{0};
};

// The hidden notification window: a plain object on the constructing thread
// that the threads post to; its event() runs TComm::HandleNotification.
class TCommNotifier : public QObject {
public:
    explicit TCommNotifier(TComm* Owner) : FOwner(Owner) { }

    // The owner goes away; the notifier may be inside one of its handlers.
    void Release();

    bool event(QEvent* Message) override;

private:
    TComm* FOwner;
    int FDispatching = 0;
    bool FReleased = false;
};

// Posting to the notifier from any thread. Posting cannot fail here: the
// event queue grows as needed.
void PostNotification(TCommNotifier* Notifier, QEvent::Type Type, uint32_t Param = 0);
void PostReceiveData(TCommNotifier* Notifier, TDataBlock&& Block, uint64_t Generation);

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

// The five time-outs as the threads see them. ApplyTimeouts stores them; the
// read thread takes them afresh each time it wakes during a read.
struct TCommTimeouts {
    std::atomic<uint32_t> ReadInterval{0};
    std::atomic<uint32_t> ReadTotalMultiplier{0};
    std::atomic<uint32_t> ReadTotalConstant{0};
    std::atomic<uint32_t> WriteTotalMultiplier{0};
    std::atomic<uint32_t> WriteTotalConstant{0};
};

// What both threads are given before they start.
struct TThreadFields {
    int Port = -1;
    int CloseEvent = -1;
    TCommNotifier* Notifier = nullptr;
    TReceiveGate* Gate = nullptr;
    // Which opening of the port the threads serve; a hang-up names it.
    uint32_t Session = 0;
};

class TReadThread {
public:
    TReadThread(const TThreadFields& Fields, const TCommTimeouts* Timeouts);
    ~TReadThread(); // joins

    // Starts the thread (throws std::system_error when it cannot).
    void Resume();
    // Waits for the thread to end; it ends once the close event is signalled.
    void WaitFor();

private:
    void Execute();
    bool IssueEventWait();
    void EndEventWait();
    void WatchModemLines();
    bool ProcessLineEvent();
    bool IssueRead();
    bool PassChunk(const uint8_t* Buffer, size_t Count, uint64_t Generation);
    void AskHangup();

    TThreadFields F;
    const TCommTimeouts* FTimeouts;
    std::thread FThread;

    // Line events: the driver's counters, where the driver keeps them.
    bool FHaveCounters = false;
    uint32_t FLastFrame = 0, FLastOverrun = 0, FLastParity = 0, FLastBrk = 0, FLastBufOverrun = 0;
    std::thread FModemWatch;
    std::atomic<bool> FModemWatchStop{false};
    std::promise<void> FModemWatchDone;
    std::future<void> FModemWatchFinished;
};

// Requests from WriteData to the write thread, in order. The small lock only
// guards the queue itself; the eventfd wakes the thread.
class TWriteQueue {
public:
    TWriteQueue(); // throws std::system_error when no eventfd can be had
    ~TWriteQueue();

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

class TWriteThread {
public:
    TWriteThread(const TThreadFields& Fields, std::atomic<bool>* SendEmpty);
    ~TWriteThread(); // joins

    void Resume();
    void WaitFor();
    // The thread's message queue (PostThreadMessage stands behind this).
    bool Post(TDataBlock& Block) { return FQueue.Post(Block, *FSendEmpty); }

private:
    void Execute();
    bool WriteBlock(const uint8_t* Block, size_t Length);
    void AskHangup();

    TThreadFields F;
    std::atomic<bool>* FSendEmpty;
    TWriteQueue FQueue;
    std::thread FThread;
};

// True when the close event has been signalled (checked without waiting).
bool CloseSignalled(int CloseEvent);
