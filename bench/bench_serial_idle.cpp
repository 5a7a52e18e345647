// CPU time taken by an open serial port that has nothing to do: idle with the
// default read interval, idle with reads that return at once (no zero-byte
// reads may follow one another), and hung up (the device gone, the component
// still open). The threads should sleep in their waits, so every figure
// should stay near zero.
//   bench_serial_idle [seconds per measurement, default 10]

#include "serial/Comm.h"

#include <QCoreApplication>
#include <QTimer>

#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

double CpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec)
        + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs the event loop for Seconds and prints the CPU time the process took.
void Measure(QCoreApplication& App, const char* What, int Seconds)
{
    const double before = CpuSeconds();
    QTimer::singleShot(Seconds * 1000, &App, &QCoreApplication::quit);
    App.exec();
    const double used = CpuSeconds() - before;
    std::printf("%s, %d s: %.4f s CPU (user+sys), %.3f%% of one core\n", What, Seconds, used,
        100.0 * used / Seconds);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: bench_serial_idle [seconds]\n");
        return 2;
    }

    int master = -1, slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }

    TComm comm;
    comm.SetCommName(name);
    comm.SetDtrControl(TDtrControl::DtrDisable);
    comm.SetRtsControl(TRtsControl::RtsDisable);
    int hangups = 0;
    comm.OnRequestHangup = [&](TComm*) { ++hangups; };
    try {
        comm.OpenPort();
    } catch (const ECommsError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }

    Measure(app, "idle open port", seconds);
    comm.SetReadIntervalTimeout(0xFFFFFFFFu);
    Measure(app, "idle open port, reads return at once", seconds);

    // The far end goes away; the component stays open, as it does until its
    // owner acts on the hang-up request.
    ::close(master);
    ::close(slave);
    Measure(app, "hung-up port, still open", seconds);
    comm.ClosePort();
    if (hangups != 1) {
        std::fprintf(stderr, "expected one hang-up request, got %d\n", hangups);
        return 1;
    }
    return 0;
}
