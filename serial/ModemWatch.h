#pragma once
// Line events of a port whose driver keeps counters (pseudo-terminals do
// not): the error counters, read each time input arrives since errors come
// with received bytes, and the carrier/ring watch, a small helper thread
// that waits for changes of those modem lines.

#include <atomic>
#include <cstdint>
#include <future>
#include <thread>

struct serial_icounter_struct;

class TCommNotifier;

// The driver's frame, overrun, parity, break and buffer-overrun counters.
class TLineErrorCounters {
public:
    // Takes the first reading: 0, or the errno of a failure (the counters
    // are then not kept).
    int Start(int Port);
    bool Kept() const { return FKept; }
    // Puts the counters that moved since the last reading into Errors as
    // CE_* bits; returns 0, or the errno of a failure. A failure other than
    // EBADF ends the counting: the read itself finds out about a vanished
    // device.
    int Take(int Port, uint32_t& Errors);

private:
    // Remembers the counts the next Take compares with.
    void Keep(const serial_icounter_struct& Count);

    bool FKept = false;
    uint32_t FLastFrame = 0, FLastOverrun = 0, FLastParity = 0, FLastBrk = 0, FLastBufOverrun = 0;
};

// The helper thread waiting for carrier and ring changes; it posts each one
// as a modem state change. Started, queried and stopped by the owner's
// thread only.
class TModemWatch {
public:
    TModemWatch(int Port, TCommNotifier* Notifier);
    ~TModemWatch(); // stops the helper

    TModemWatch(const TModemWatch&) = delete;
    TModemWatch& operator=(const TModemWatch&) = delete;

    // Starts the helper where the driver counts the modem lines and the
    // helper can be woken; false when it did not start (only carrier and
    // ring then go unreported).
    bool Start();
    // True from a successful Start until the helper ends: on Stop, or by
    // itself when the device is gone or cannot wait for line changes.
    bool Running() const;
    // Wakes the helper and waits for it to end; nothing when it never started.
    void Stop();

private:
    void Execute(serial_icounter_struct Last);

    int FPort;
    TCommNotifier* FNotifier;
    std::thread FThread;
    std::atomic<bool> FStop{false};
    std::promise<void> FDone;
    std::future<void> FFinished;
};
