#include "serial/CommThreads.h"

#include <QCoreApplication>

#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <new>
#include <optional>
#include <system_error>

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------
// Blocks and notifications

TDataBlock TDataBlock::Copy(const void* Data, size_t Count)
{
    TDataBlock block;
    block.Bytes.reset(new uint8_t[Count + 1]()); // zero-filled: the extra byte stays 0
    std::memcpy(block.Bytes.get(), Data, Count);
    block.Count = Count;
    return block;
}

void PostNotification(TCommNotifier* Notifier, QEvent::Type Type, uint32_t Param)
{
    auto* message = new TCommMessage(Type, Param);
    TCommMessage::Posted();
    QCoreApplication::postEvent(Notifier, message);
}

void PostReceiveData(TCommNotifier* Notifier, TDataBlock&& Block, uint64_t Generation)
{
    auto* message = new TCommMessage(std::move(Block), Generation);
    TCommMessage::Posted();
    QCoreApplication::postEvent(Notifier, message);
}

void TCommNotifier::Release()
{
    FReleased = true;
    FOwner = nullptr;
    if (FDispatching == 0)
        delete this; // pending notifications go with it, blocks included
}

bool TCommNotifier::event(QEvent* Message)
{
    TCommMessage::TakeOver();
    const int type = Message->type();
    if (type < NotifyReceiveData || type > NotifySendDataEmpty)
        return QObject::event(Message);
    if (FReleased)
        return true;
    // A handler may destroy the component; the notifier then outlives this
    // call and goes once the outermost dispatch is over.
    ++FDispatching;
    FOwner->HandleNotification(Message);
    --FDispatching;
    if (FReleased && FDispatching == 0)
        deleteLater();
    return true;
}

bool CloseSignalled(int CloseEvent)
{
    pollfd p{CloseEvent, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLNVAL));
}

namespace {

// Asks the scheduler for a better place for the calling thread. An
// unprivileged process may not raise its priority; whatever it gets is fine.
void AskPriority(int Steps)
{
    const pid_t tid = ::gettid();
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, id_t(tid));
    if (nice == -1 && errno != 0)
        return;
    ::setpriority(PRIO_PROCESS, id_t(tid), nice - Steps);
}

// Milliseconds until When, rounded up, for poll().
int MsUntil(Clock::time_point When, Clock::time_point Now)
{
    if (When <= Now)
        return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(When - Now).count();
    return int(std::min<long long>(left, INT_MAX));
}

// The modem-line watch blocks in TIOCMIWAIT, which nothing but a signal
// interrupts. It uses one real-time signal with an empty handler installed
// without SA_RESTART; when the program already handles that signal itself,
// carrier and ring are simply not watched.
int ModemWakeSignal()
{
    return SIGRTMIN + 5;
}

void ModemWakeHandler(int) { }

bool ModemWakeInstalled()
{
    static const bool installed = [] {
        struct sigaction old {};
        if (::sigaction(ModemWakeSignal(), nullptr, &old) != 0)
            return false;
        if ((old.sa_flags & SA_SIGINFO) || old.sa_handler != SIG_DFL)
            return false;
        struct sigaction act {};
        act.sa_handler = ModemWakeHandler;
        sigemptyset(&act.sa_mask);
        act.sa_flags = 0;
        return ::sigaction(ModemWakeSignal(), &act, nullptr) == 0;
    }();
    return installed;
}

} // namespace

// ---------------------------------------------------------------------------
// Read thread

TReadThread::TReadThread(const TThreadFields& Fields, const TCommTimeouts* Timeouts)
    : F(Fields), FTimeouts(Timeouts)
{
}

TReadThread::~TReadThread()
{
    WaitFor();
}

void TReadThread::Resume()
{
    FThread = std::thread(&TReadThread::Execute, this);
    ::pthread_setname_np(FThread.native_handle(), "ComRead");
}

void TReadThread::WaitFor()
{
    if (FThread.joinable())
        FThread.join();
}

void TReadThread::AskHangup()
{
    PostNotification(F.Notifier, NotifyRequestHangup, F.Session);
}

void TReadThread::Execute()
{
    AskPriority(2); // highest
    if (IssueEventWait()) {
        while (IssueRead()) {
        }
    }
    ::tcflush(F.Port, TCIFLUSH);
    EndEventWait();
}

// Line events. Errors (frame, overrun, parity, break, buffer overrun) are read
// from the driver's counters each time input arrives, since they come with
// received bytes. Carrier and ring changes are waited for by a small helper
// thread. Drivers without counters (pseudo-terminals among them) report no
// line events and the port works without them. Errors and modem changes come
// from separate sources, so no single notification carries both; errors
// that came with received bytes are posted before the chunk holding them.
bool TReadThread::IssueEventWait()
{
    serial_icounter_struct count {};
    if (::ioctl(F.Port, TIOCGICOUNT, &count) != 0) {
        const int err = errno;
        if (err == EBADF)
            return false; // the handle is gone: end quietly
        return true;
    }
    FHaveCounters = true;
    FLastFrame = uint32_t(count.frame);
    FLastOverrun = uint32_t(count.overrun);
    FLastParity = uint32_t(count.parity);
    FLastBrk = uint32_t(count.brk);
    FLastBufOverrun = uint32_t(count.buf_overrun);
    if (ModemWakeInstalled()) {
        try {
            FModemWatchFinished = FModemWatchDone.get_future();
            FModemWatch = std::thread(&TReadThread::WatchModemLines, this);
            ::pthread_setname_np(FModemWatch.native_handle(), "ComModem");
        } catch (const std::system_error&) {
            // Without the helper only carrier and ring go unreported.
        }
    }
    return true;
}

void TReadThread::WatchModemLines()
{
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, ModemWakeSignal());
    ::pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);

    serial_icounter_struct last {};
    if (::ioctl(F.Port, TIOCGICOUNT, &last) == 0) {
        while (!FModemWatchStop.load()) {
            if (::ioctl(F.Port, TIOCMIWAIT, TIOCM_CD | TIOCM_RNG) != 0) {
                if (errno == EINTR)
                    continue;
                // Not supported here, or the device is gone (the read
                // thread sees that for itself).
                break;
            }
            serial_icounter_struct now {};
            if (::ioctl(F.Port, TIOCGICOUNT, &now) != 0)
                break;
            uint32_t bits = 0;
            if (now.dcd != last.dcd)
                bits |= ModemEventCarrier;
            if (now.rng != last.rng)
                bits |= ModemEventRing;
            last = now;
            if (bits != 0)
                PostNotification(F.Notifier, NotifyModemStateChange, bits);
        }
    }
    FModemWatchDone.set_value();
}

void TReadThread::EndEventWait()
{
    if (!FModemWatch.joinable())
        return;
    FModemWatchStop.store(true);
    // A signal that arrives just before the helper enters its wait is lost,
    // so it is repeated until the helper says it has finished.
    do {
        ::pthread_kill(FModemWatch.native_handle(), ModemWakeSignal());
    } while (FModemWatchFinished.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready);
    FModemWatch.join();
}

bool TReadThread::ProcessLineEvent()
{
    if (!FHaveCounters)
        return true;
    serial_icounter_struct now {};
    if (::ioctl(F.Port, TIOCGICOUNT, &now) != 0) {
        const int err = errno;
        if (err == EBADF)
            return false;
        FHaveCounters = false; // the read itself finds out about a vanished device
        return true;
    }
    uint32_t errors = 0;
    if (uint32_t(now.frame) != FLastFrame)
        errors |= CE_FRAME;
    if (uint32_t(now.overrun) != FLastOverrun)
        errors |= CE_OVERRUN;
    if (uint32_t(now.parity) != FLastParity)
        errors |= CE_RXPARITY;
    if (uint32_t(now.brk) != FLastBrk)
        errors |= CE_BREAK;
    if (uint32_t(now.buf_overrun) != FLastBufOverrun)
        errors |= CE_RXOVER;
    FLastFrame = uint32_t(now.frame);
    FLastOverrun = uint32_t(now.overrun);
    FLastParity = uint32_t(now.parity);
    FLastBrk = uint32_t(now.brk);
    FLastBufOverrun = uint32_t(now.buf_overrun);
    if (errors != 0)
        PostNotification(F.Notifier, NotifyReceiveError, errors);
    return true;
}

// One read of at most 2048 bytes, timed like a classic comm read:
// - interval I, totals M and C from the time-out properties;
// - the first byte is awaited without limit unless a total applies
//   (M * 2048 + C ms for the whole read);
// - after a byte, the read completes when more than I ms pass without the
//   next one (I = 0: no interval limit), or when the buffer is full;
// - I = MAXDWORD returns what has arrived at once (with M = MAXDWORD, C
//   bounds the wait for the first byte).
// A read that ends with no bytes delivers nothing and the next read starts:
// the thread then waits for the next byte instead of spinning.
// A purge of the receive side ends the chunk being collected: what it held is
// dropped, and bytes read after the purge start a fresh chunk.
bool TReadThread::IssueRead()
{
    uint8_t buffer[ReadBufferSize];
    const Clock::time_point start = Clock::now();
    size_t count = 0;
    uint64_t generation = F.Gate->Generation.load();
    Clock::time_point lastByte = start;
    while (count < ReadBufferSize) {
        // Taken afresh at every wake, so a change made while the port is
        // open counts from the next byte on.
        const uint32_t interval = FTimeouts->ReadInterval.load();
        const uint32_t multiplier = FTimeouts->ReadTotalMultiplier.load();
        const uint32_t constant = FTimeouts->ReadTotalConstant.load();
        const bool immediate = interval == MaxDword;
        if (count > 0 && immediate)
            break;
        std::optional<Clock::time_point> deadline;
        if (immediate && multiplier == MaxDword) {
            if (constant != 0 && constant != MaxDword)
                deadline = start + std::chrono::milliseconds(constant);
        } else if (multiplier != 0 || constant != 0) {
            deadline = start + std::chrono::milliseconds(uint64_t(multiplier) * ReadBufferSize + constant);
        }

        const Clock::time_point now = Clock::now();
        int timeout = -1;
        if (count > 0 && interval != 0)
            timeout = MsUntil(lastByte + std::chrono::milliseconds(interval), now);
        if (deadline) {
            const int left = MsUntil(*deadline, now);
            timeout = timeout < 0 ? left : std::min(timeout, left);
        }
        pollfd p[2] = {{F.CloseEvent, POLLIN, 0}, {F.Port, POLLIN, 0}};
        const int ready = ::poll(p, 2, timeout);
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
            return false; // the handle is gone: end quietly
        if (!ProcessLineEvent())
            return false;
        ssize_t n = 0;
        int err = 0;
        {
            std::lock_guard<std::mutex> lock(F.Gate->Lock);
            const uint64_t current = F.Gate->Generation.load();
            if (current != generation) {
                generation = current;
                count = 0;
            }
            n = ::read(F.Port, buffer + count, ReadBufferSize - count);
            err = errno;
        }
        if (n > 0) {
            F.Gate->Received.fetch_add(uint64_t(n));
            count += size_t(n);
            lastByte = Clock::now();
            continue;
        }
        if (n < 0 && (err == EAGAIN || err == EINTR) && !(p[1].revents & (POLLHUP | POLLERR)))
            continue;
        if (n < 0 && err == EBADF)
            return false;
        // End of file right after POLLIN, EIO, or a hang-up without data:
        // the device has gone. What did arrive is still delivered.
        PassChunk(buffer, count, generation);
        AskHangup();
        return false;
    }
    return PassChunk(buffer, count, generation);
}

bool TReadThread::PassChunk(const uint8_t* Buffer, size_t Count, uint64_t Generation)
{
    if (Count == 0)
        return true;
    try {
        PostReceiveData(F.Notifier, TDataBlock::Copy(Buffer, Count), Generation);
    } catch (const std::bad_alloc&) {
        AskHangup();
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Write queue and write thread

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

TWriteThread::TWriteThread(const TThreadFields& Fields, std::atomic<bool>* SendEmpty)
    : F(Fields), FSendEmpty(SendEmpty)
{
}

TWriteThread::~TWriteThread()
{
    WaitFor();
}

void TWriteThread::Resume()
{
    FThread = std::thread(&TWriteThread::Execute, this);
    ::pthread_setname_np(FThread.native_handle(), "ComWrite");
}

void TWriteThread::WaitFor()
{
    if (FThread.joinable())
        FThread.join();
}

void TWriteThread::AskHangup()
{
    PostNotification(F.Notifier, NotifyRequestHangup, F.Session);
}

void TWriteThread::Execute()
{
    AskPriority(1); // above normal
    bool notifyEmpty = true;
    for (;;) {
        TDataBlock block;
        if (!FQueue.TakeOrMarkEmpty(block, *FSendEmpty)) {
            // Once at start, then once each time the queue runs dry after
            // at least one block.
            if (notifyEmpty) {
                PostNotification(F.Notifier, NotifySendDataEmpty);
                notifyEmpty = false;
            }
            pollfd p[2] = {{F.CloseEvent, POLLIN, 0}, {FQueue.WakeFd(), POLLIN, 0}};
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
        if (CloseSignalled(F.CloseEvent))
            break; // the block is released with it
        const bool written = WriteBlock(block.Bytes.get(), block.Count);
        block = TDataBlock();
        if (!written)
            break;
        notifyEmpty = true;
    }
    FQueue.Shut(); // WriteData fails from now on; what was queued is released
    ::tcflush(F.Port, TCOFLUSH);
    FSendEmpty->store(true);
}

// Writes the whole block, waiting for room (or for flow control to let go)
// together with the close event. The write time-outs are kept but not
// applied: a timed-out classic write is retried with the same remainder
// anyway, so waiting on until the close event is what it amounts to.
bool TWriteThread::WriteBlock(const uint8_t* Block, size_t Length)
{
    size_t offset = 0;
    size_t remaining = Length;
    while (remaining > 0) {
        const ssize_t n = ::write(F.Port, Block + offset, remaining);
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
        pollfd p[2] = {{F.CloseEvent, POLLIN, 0}, {F.Port, POLLOUT, 0}};
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
