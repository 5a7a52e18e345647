// CPU time taken by an open, idle serial port: the threads should sleep in
// their waits, so the figure should stay near zero.

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
    rusage u {};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec)
        + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;

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
    try {
        comm.OpenPort();
    } catch (const ECommsError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }

    const double before = CpuSeconds();
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    app.exec();
    const double used = CpuSeconds() - before;
    comm.ClosePort();

    std::printf("idle open port, %d s: %.4f s CPU (user+sys), %.3f%% of one core\n", seconds, used,
                100.0 * used / seconds);
    ::close(slave);
    ::close(master);
    return 0;
}
