#include "serial/WriteThread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

// ---------------------------------------------------------------------------
// Write queue

TWriteQueue::TWriteQueue()
{
    FWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FWake < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

TWriteQueue::~TWriteQueue()
{
    ::close(FWake);
}

bool TWriteQueue::Post(TDataBlock& Block, std::atomic<bool>& SendEmpty)
{
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (FShut)
            return false;
        // Cleared before the block is visible, so the thread's store of True
        // on an empty queue always comes after it.
        SendEmpty.store(false);
        FBlocks.push_back(std::move(Block));
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(FWake, &one, sizeof one);
    return true;
}

bool TWriteQueue::TakeOrMarkEmpty(TDataBlock& Block, std::atomic<bool>& SendEmpty)
{
    std::lock_guard<std::mutex> lock(FLock);
    if (FBlocks.empty()) {
        SendEmpty.store(true);
        return false;
    }
    Block = std::move(FBlocks.front());
    FBlocks.pop_front();
    return true;
}

void TWriteQueue::Shut()
{
    std::deque<TDataBlock> dropped;
    {
        std::lock_guard<std::mutex> lock(FLock);
        FShut = true;
        dropped.swap(FBlocks);
    }
}

void TWriteQueue::ClearWake()
{
    uint64_t value = 0;
    [[maybe_unused]] const ssize_t n = ::read(FWake, &value, sizeof value);
}

// ---------------------------------------------------------------------------
// Write thread

TWriteThread::TWriteThread(const TThreadFields& Fields, std::atomic<bool>* SendEmpty)
    : TPortThread(Fields, {"ComWrite", 1, TCOFLUSH}) // above normal
    , FSendEmpty(SendEmpty)
{
}

void TWriteThread::Execute()
{
    bool notifyEmpty = true;
    for (;;) {
        TDataBlock block;
        if (!FQueue.TakeOrMarkEmpty(block, *FSendEmpty)) {
            // Once at start, then once each time the queue runs dry after
            // at least one block.
            if (notifyEmpty) {
                PostNotification(FFields.Notifier, NotifySendDataEmpty);
                notifyEmpty = false;
            }
            pollfd p[2] = {{FFields.CloseEvent, POLLIN, 0}, {FQueue.WakeFd(), POLLIN, 0}};
            if (::poll(p, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                AskHangup();
                break;
            }
            if (p[0].revents != 0)
                break;
            FQueue.ClearWake();
            continue;
        }
        if (CloseSignalled(FFields.CloseEvent))
            break; // the block is released with it
        const bool written = WriteBlock(block.Bytes.get(), block.Count);
        block = TDataBlock();
        if (!written)
            break;
        notifyEmpty = true;
    }
    FQueue.Shut(); // WriteData fails from now on; what was queued is released
    FSendEmpty->store(true);
}

// Writes the whole block, waiting for room (or for flow control to let go)
// together with the close event. The write time-outs are kept but not
// applied: a write that timed out would be retried with the same remainder
// anyway, so it comes to waiting on until the close event.
bool TWriteThread::WriteBlock(const uint8_t* Block, size_t Length)
{
    size_t offset = 0;
    size_t remaining = Length;
    while (remaining > 0) {
        const ssize_t n = ::write(FFields.Port, Block + offset, remaining);
        const int err = errno;
        if (n > 0) {
            offset += size_t(n);
            remaining -= size_t(n);
            continue;
        }
        if (n < 0 && err == EINTR)
            continue;
        if (n < 0 && err == EBADF)
            return false;
        if (n < 0 && err != EAGAIN) {
            AskHangup();
            return false;
        }
        pollfd p[2] = {{FFields.CloseEvent, POLLIN, 0}, {FFields.Port, POLLOUT, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            AskHangup();
            return false;
        }
        if (p[0].revents != 0)
            return false; // closing: the block is abandoned
        if (p[1].revents & POLLNVAL)
            return false;
        if ((p[1].revents & (POLLHUP | POLLERR)) && !(p[1].revents & POLLOUT)) {
            AskHangup();
            return false;
        }
    }
    return true;
}
