#include "serial/ModemWatch.h"

#include "serial/CommNotifier.h"
#include "serial/LineEvents.h"

#include <linux/serial.h>
#include <pthread.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <system_error>

namespace {

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
        struct sigaction old { };
        if (::sigaction(ModemWakeSignal(), nullptr, &old) != 0)
            return false;
        if ((old.sa_flags & SA_SIGINFO) || old.sa_handler != SIG_DFL)
            return false;
        struct sigaction act { };
        act.sa_handler = ModemWakeHandler;
        sigemptyset(&act.sa_mask);
        act.sa_flags = 0;
        return ::sigaction(ModemWakeSignal(), &act, nullptr) == 0;
    }();
    return installed;
}

} // namespace

// ---------------------------------------------------------------------------
// Error counters

int TLineErrorCounters::Start(int Port)
{
    serial_icounter_struct count{};
    if (::ioctl(Port, TIOCGICOUNT, &count) != 0)
        return errno;
    FKept = true;
    Keep(count);
    return 0;
}

void TLineErrorCounters::Keep(const serial_icounter_struct& Count)
{
    FLastFrame = uint32_t(Count.frame);
    FLastOverrun = uint32_t(Count.overrun);
    FLastParity = uint32_t(Count.parity);
    FLastBrk = uint32_t(Count.brk);
    FLastBufOverrun = uint32_t(Count.buf_overrun);
}

int TLineErrorCounters::Take(int Port, uint32_t& Errors)
{
    Errors = 0;
    serial_icounter_struct now{};
    if (::ioctl(Port, TIOCGICOUNT, &now) != 0) {
        const int err = errno;
        if (err != EBADF)
            FKept = false;
        return err;
    }
    if (uint32_t(now.frame) != FLastFrame)
        Errors |= CE_FRAME;
    if (uint32_t(now.overrun) != FLastOverrun)
        Errors |= CE_OVERRUN;
    if (uint32_t(now.parity) != FLastParity)
        Errors |= CE_RXPARITY;
    if (uint32_t(now.brk) != FLastBrk)
        Errors |= CE_BREAK;
    if (uint32_t(now.buf_overrun) != FLastBufOverrun)
        Errors |= CE_RXOVER;
    Keep(now);
    return 0;
}

// ---------------------------------------------------------------------------
// Carrier and ring watch

TModemWatch::TModemWatch(int Port, TCommNotifier* Notifier)
    : FPort(Port)
    , FNotifier(Notifier)
{
}

TModemWatch::~TModemWatch()
{
    Stop();
}

bool TModemWatch::Start()
{
    // The first reading is taken here, so a change between the start and
    // the helper's first wait is not missed.
    serial_icounter_struct first{};
    if (::ioctl(FPort, TIOCGICOUNT, &first) != 0 || !ModemWakeInstalled())
        return false;
    try {
        FFinished = FDone.get_future();
        FThread = std::thread(&TModemWatch::Execute, this, first);
        ::pthread_setname_np(FThread.native_handle(), "ComModem");
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

bool TModemWatch::Running() const
{
    return FThread.joinable() && FFinished.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
}

void TModemWatch::Execute(serial_icounter_struct Last)
{
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, ModemWakeSignal());
    ::pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);

    while (!FStop.load()) {
        if (::ioctl(FPort, TIOCMIWAIT, TIOCM_CD | TIOCM_RNG) != 0) {
            if (errno == EINTR)
                continue;
            // Not supported here, or the device is gone (the read thread
            // sees that for itself).
            break;
        }
        serial_icounter_struct now{};
        if (::ioctl(FPort, TIOCGICOUNT, &now) != 0)
            break;
        uint32_t bits = 0;
        if (now.dcd != Last.dcd)
            bits |= ModemEventCarrier;
        if (now.rng != Last.rng)
            bits |= ModemEventRing;
        Last = now;
        if (bits != 0)
            PostNotification(FNotifier, NotifyModemStateChange, bits);
    }
    FDone.set_value();
}

void TModemWatch::Stop()
{
    if (!FThread.joinable())
        return;
    FStop.store(true);
    // A signal that arrives just before the helper enters its wait is lost,
    // so it is repeated until the helper says it has finished.
    do {
        ::pthread_kill(FThread.native_handle(), ModemWakeSignal());
    } while (FFinished.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready);
    FThread.join();
}
