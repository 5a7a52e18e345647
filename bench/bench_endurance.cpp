// Pace and memory of the loop tests against the reader simulator.
//
//   bench_endurance [--speed-cycles N] [--memory-cycles N] [--skip-speed] [--skip-memory]
//
// The simulator runs in a child process, so the figures of resident memory
// and CPU time are the program's own. The window is the real one, on Qt's
// offscreen platform, connected through a port map as an operator would.
//
// Speed: cycles per second of each test with the default settings (beep on,
// reply time-out 500 ms, read interval 100 ms), beside the floor that the
// line, the read interval and the 50 ms wait step allow.
//
// Memory: resident set size after 1,000 loop-read cycles and at the end of a
// longer run (10,000 by default). At the default settings a cycle takes
// about a second, so this phase shortens the serial component's read
// interval to 1 ms (the reader's replies are complete at once on the
// simulator, so nothing is split): every cycle still goes through the same
// search, authentication, read, beep, label and log steps, only the waits
// get shorter.
#include "app/MainForm.h"
#include "bench/BenchSupport.h"
#include "serial/Comm.h"
#include "sim/SimServer.h"
#include "support/SessionProbe.h"
#include "widgets/SpinEdit.h"

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

// A control of the window by its objectName (the bench fails loudly without it).
template <class T>
T* Ctl(const QObject& Form, const char* Name)
{
    T* control = Form.findChild<T*>(QLatin1String(Name));
    if (!control) {
        std::fprintf(stderr, "bench_endurance: the window has no control named %s\n", Name);
        std::exit(1);
    }
    return control;
}

QLabel* StatusPanel(const QObject& Form, size_t Index)
{
    return Ctl<QLabel>(Form, ("StatusPanel" + std::to_string(Index)).c_str());
}

using Clock = std::chrono::steady_clock;

double CpuSeconds()
{
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double Percentile(std::vector<double> Values, double P)
{
    if (Values.empty())
        return 0;
    std::sort(Values.begin(), Values.end());
    return Values[size_t(std::lround(P * double(Values.size() - 1)))];
}

// Request-to-request gaps as the reader sees them, from the simulator's own
// time stamps: SIGUSR1 marks the start of a run, SIGUSR2 reports the gaps
// since the mark on the pipe as one line "count median p90".
void ServeGapReports(const sim::TSimServer& Sim, int Out)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGUSR2);
    Clock::time_point mark = Clock::now();
    for (;;) {
        int sig = 0;
        if (::sigwait(&set, &sig) != 0)
            continue;
        if (sig == SIGUSR1) {
            mark = Clock::now();
            (void)!::write(Out, "\n", 1);
            continue;
        }
        std::vector<double> gaps;
        std::optional<Clock::time_point> last;
        for (const auto& r : Sim.Log()) {
            if (!r.FromProgram || r.When < mark)
                continue;
            if (last)
                gaps.push_back(std::chrono::duration<double, std::milli>(r.When - *last).count());
            last = r.When;
        }
        char line[128];
        const int n = std::snprintf(line, sizeof line, "%zu %.1f %.1f\n", gaps.size(), Percentile(gaps, 0.5),
            Percentile(gaps, 0.9));
        (void)!::write(Out, line, size_t(n));
    }
}

// The simulator in a child process; the child ends when the parent does.
pid_t StartSimulator(std::string& Path, int& Reports, pid_t& Pid)
{
    int fds[2];
    int rep[2];
    if (::pipe(fds) != 0 || ::pipe(rep) != 0)
        return -1;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGUSR2);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        ::close(rep[0]);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        // Blocked before the server thread starts, so only sigwait sees them.
        ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
        sim::TSimServer sim;
        const std::string& path = sim.DevicePath();
        (void)!::write(fds[1], path.c_str(), path.size() + 1);
        ::close(fds[1]);
        ServeGapReports(sim, rep[1]);
    }
    ::close(rep[1]);
    Reports = rep[0];
    Pid = pid;
    ::close(fds[1]);
    char buf[512] = {};
    size_t got = 0;
    while (got < sizeof buf - 1) {
        const ssize_t n = ::read(fds[0], buf + got, sizeof buf - 1 - got);
        if (n <= 0)
            break;
        got += size_t(n);
        if (std::memchr(buf, 0, got))
            break;
    }
    ::close(fds[0]);
    Path = buf;
    return pid;
}

bool WaitFor(const std::function<bool()>& Pred, std::chrono::seconds Timeout)
{
    const auto deadline = Clock::now() + Timeout;
    while (!Pred()) {
        if (Clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

int CounterOf(const QLabel* Label)
{
    const QString t = Label->text();
    return t.mid(t.indexOf(QChar(0xFF1A)) + 1).toInt();
}

// Runs one test by its Start button until its read counter shows Cycles,
// calling Each at every change of the counter. The Stop is clicked from a
// timer that fires in the loop's own event pumping, as an operator would.
std::string AskSimulator(pid_t Pid, int Reports, int Signal)
{
    ::kill(Pid, Signal);
    std::string line;
    char c = 0;
    while (::read(Reports, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

double RunCycles(TMainForm& Form, QPushButton* Start, QPushButton* Stop, int Cycles,
    const std::function<void(int)>& Each = {})
{
    QTimer poll;
    poll.setInterval(5);
    int last = 0;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!Form.Session().LoopFlag)
            return;
        const int n = CounterOf(Ctl<QLabel>(Form, "LbReadSum"));
        if (n != last) {
            last = n;
            if (Each)
                Each(n);
            if (n >= Cycles)
                Stop->click();
        }
    });
    poll.start();
    const auto t0 = Clock::now();
    Start->click();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Floor of one exchange: the request and reply on the line at 9600 baud
// (10 bits a byte), then 100 ms of silence before the read completes; the
// reply is taken in during the wait step in which it arrives and seen at
// that step's end.
double ExchangeFloorMs(int RequestBytes, int ReplyBytes, double IntervalMs, double LineScale)
{
    const double lineMs = LineScale * (RequestBytes + ReplyBytes) * 10.0 * 1000.0 / 9600.0;
    const double readyMs = lineMs + IntervalMs;
    return std::floor(readyMs / 50.0) * 50.0 + 50.0;
}

} // namespace

int main(int argc, char** argv)
{
    int speedCycles = 20;
    int memoryCycles = 10000;
    bool speed = true, memory = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--speed-cycles" && i + 1 < argc)
            speedCycles = std::max(1, std::atoi(argv[++i]));
        else if (a == "--memory-cycles" && i + 1 < argc)
            memoryCycles = std::max(1, std::atoi(argv[++i]));
        else if (a == "--skip-speed")
            speed = false;
        else if (a == "--skip-memory")
            memory = false;
        else {
            std::fprintf(stderr, "usage: %s [--speed-cycles N] [--memory-cycles N] [--skip-speed] [--skip-memory]\n", argv[0]);
            return 2;
        }
    }

    std::string simPath;
    int simReports = -1;
    pid_t simPid = -1;
    StartSimulator(simPath, simReports, simPid);
    if (simPid < 0 || simPath.empty()) {
        std::fprintf(stderr, "bench_endurance: the simulator did not start\n");
        return 1;
    }

    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QTemporaryDir config;
    ::setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);
    // The window's journal goes there too, not to the user's records.
    ::setenv("XDG_STATE_HOME", config.path().toLocal8Bit().constData(), 1);
    std::filesystem::create_directories(config.path().toStdString() + "/orvelle/ports");
    std::filesystem::create_symlink(simPath, config.path().toStdString() + "/orvelle/ports/COM1");

    QApplication app(argc, argv);
    int rc = 0;
    {
        TMainForm form;
        form.show();
        if (!WaitFor([&] { return StatusPanel(form, 1)->text() == QStringLiteral("Linked") && !form.Session().OperationRunning(); },
                std::chrono::seconds(30))) {
            std::fprintf(stderr, "bench_endurance: the window did not link to the simulator\n");
            rc = 1;
        }
        Ctl<TSpinEdit>(form, "EdtBlock")->setValue(1);

        if (rc == 0 && speed) {
            // Request sizes are the protocol's; reply sizes are the shortest
            // frames that carry what is read (search 8, read 19, others 3).
            auto floors = [](double BaudScale, double& Search, double& Auth, double& Read, double& Write, double& Beep) {
                Search = ExchangeFloorMs(4, 8, 100, BaudScale);
                Auth = ExchangeFloorMs(5, 3, 100, BaudScale);
                Read = ExchangeFloorMs(4, 19, 100, BaudScale);
                Write = ExchangeFloorMs(20, 3, 100, BaudScale);
                Beep = ExchangeFloorMs(3, 3, 100, BaudScale);
            };
            double search, auth, read, write, beep;
            floors(1.0, search, auth, read, write, beep);
            const double readFloor = search + auth + read + beep;
            const double writeFloor = search + auth + write + read + beep;
            // A pseudo-terminal moves the bytes at once: only the read
            // interval and the wait steps remain.
            double ps, pa, pr, pw, pb;
            floors(0.0, ps, pa, pr, pw, pb);
            const double readFloorPty = ps + pa + pr + pb;
            const double writeFloorPty = ps + pa + pw + pr + pb;

            AskSimulator(simPid, simReports, SIGUSR1);
            const double tr = RunCycles(form, Ctl<QPushButton>(form, "BtnStartRead"), Ctl<QPushButton>(form, "BtnStopRead"), speedCycles);
            const int nr = CounterOf(Ctl<QLabel>(form, "LbReadSum"));
            const std::string readGaps = AskSimulator(simPid, simReports, SIGUSR2);
            const double tw = RunCycles(form, Ctl<QPushButton>(form, "BtnStartWrite"), Ctl<QPushButton>(form, "BtnStopWrite"), speedCycles);
            const int nw = CounterOf(Ctl<QLabel>(form, "LbReadSum"));
            std::printf("speed (default settings: beep on, time-out 500 ms, read interval 100 ms)\n");
            std::printf("  loop read : %3d cycles in %6.2f s = %.3f cycles/s (%.0f ms a cycle)\n", nr, tr, nr / tr, 1000.0 * tr / nr);
            std::printf("              floor on a 9600-baud line %.0f ms = %.3f cycles/s; on the pseudo-terminal %.0f ms = %.3f cycles/s\n",
                readFloor, 1000.0 / readFloor, readFloorPty, 1000.0 / readFloorPty);
            {
                // Search, authenticate, read and beep, each answered within
                // the 100 ms read interval and so seen after three steps.
                const double stepFloorMs = 4 * 3 * 50.0;
                size_t count = 0;
                double median = 0, p90 = 0;
                std::sscanf(readGaps.c_str(), "%zu %lf %lf", &count, &median, &p90);
                std::printf("              against 4 exchanges of 3 wait steps (%.0f ms a cycle): %.3f of that floor\n",
                    stepFloorMs, (nr / tr) / (1000.0 / stepFloorMs));
                std::printf("              request-to-request gaps at the reader: %zu, median %.1f ms, p90 %.1f ms\n",
                    count, median, p90);
            }
            std::printf("  loop write: %3d cycles in %6.2f s = %.3f cycles/s (%.0f ms a cycle)\n", nw, tw, nw / tw, 1000.0 * tw / nw);
            std::printf("              floor on a 9600-baud line %.0f ms = %.3f cycles/s; on the pseudo-terminal %.0f ms = %.3f cycles/s\n",
                writeFloor, 1000.0 / writeFloor, writeFloorPty, 1000.0 / writeFloorPty);
            std::printf("  floor per exchange on the line: search %.0f, authenticate %.0f, read %.0f, write %.0f, beep %.0f ms\n"
                        "  (line time + 100 ms read interval, seen at the end of the 50 ms wait step it falls in; on the\n"
                        "  pseudo-terminal a read completing right at 100 ms often makes the second step's end instead)\n",
                search, auth, read, write, beep);
            std::fflush(stdout);
        }

        if (rc == 0 && memory) {
            TSessionProbe::Device(form.Session()).SetReadIntervalTimeout(1);
            Ctl<QPlainTextEdit>(form, "MmoMsg")->clear();
            QCoreApplication::processEvents();
            const long rss0 = RssKiB();
            const double cpu0 = CpuSeconds();
            const auto t0 = Clock::now();
            std::printf("memory (read interval 1 ms, otherwise default settings; loop read, block 1)\n");
            std::printf("  %8s %10s %12s %12s %10s\n", "cycles", "seconds", "VmRSS KiB", "grown KiB", "CPU s");
            std::printf("  %8d %10.1f %12ld %12ld %10.2f\n", 0, 0.0, rss0, 0L, 0.0);
            std::fflush(stdout);
            auto report = [&](int n) {
                if (n == 1000 || n == memoryCycles || (n % 2000 == 0)) {
                    std::printf("  %8d %10.1f %12ld %12ld %10.2f\n", n,
                        std::chrono::duration<double>(Clock::now() - t0).count(), RssKiB(), RssKiB() - rss0,
                        CpuSeconds() - cpu0);
                    std::fflush(stdout);
                }
            };
            RunCycles(form, Ctl<QPushButton>(form, "BtnStartRead"), Ctl<QPushButton>(form, "BtnStopRead"), memoryCycles, report);
            std::printf("  log lines at the end: %d\n", Ctl<QPlainTextEdit>(form, "MmoMsg")->blockCount());
        }
        form.close();
    }
    ::kill(simPid, SIGTERM);
    ::waitpid(simPid, nullptr, 0);
    return rc;
}
