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

// Signals the simulator child and reads its one-line answer.
std::string AskSimulator(pid_t Pid, int Reports, int Signal)
{
    ::kill(Pid, Signal);
    std::string line;
    char c = 0;
    while (::read(Reports, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

// Runs one test by its Start button until its read counter shows Cycles,
// calling Each at every change of the counter. The Stop is clicked from a
// timer that fires in the loop's own event pumping, as an operator would.
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

struct TBenchOptions {
    int SpeedCycles = 20;
    int MemoryCycles = 10000;
    bool Speed = true;
    bool Memory = true;
};

// False, with the usage printed, on an option it does not know.
bool ParseOptions(int argc, char** argv, TBenchOptions& Out)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--speed-cycles" && i + 1 < argc)
            Out.SpeedCycles = std::max(1, std::atoi(argv[++i]));
        else if (a == "--memory-cycles" && i + 1 < argc)
            Out.MemoryCycles = std::max(1, std::atoi(argv[++i]));
        else if (a == "--skip-speed")
            Out.Speed = false;
        else if (a == "--skip-memory")
            Out.Memory = false;
        else {
            std::fprintf(stderr, "usage: %s [--speed-cycles N] [--memory-cycles N] [--skip-speed] [--skip-memory]\n", argv[0]);
            return false;
        }
    }
    return true;
}

// The window's settings and journal in Config, with the simulator's device
// as COM1 in its port map, as an operator would link it.
void PrepareConfig(const QTemporaryDir& Config, const std::string& SimPath)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::setenv("XDG_CONFIG_HOME", Config.path().toLocal8Bit().constData(), 1);
    // The window's journal goes there too, not to the user's records.
    ::setenv("XDG_STATE_HOME", Config.path().toLocal8Bit().constData(), 1);
    std::filesystem::create_directories(Config.path().toStdString() + "/orvelle/ports");
    std::filesystem::create_symlink(SimPath, Config.path().toStdString() + "/orvelle/ports/COM1");
}

// The floor of each exchange of a cycle. Request sizes are the frame
// format's; reply sizes are the shortest frames that carry what is read
// (search 8, read 19, others 3).
struct TFloors {
    double Search, Auth, Read, Write, Beep;
    double ReadCycle() const { return Search + Auth + Read + Beep; }
    double WriteCycle() const { return Search + Auth + Write + Read + Beep; }
};

TFloors FloorsAt(double LineScale)
{
    return {ExchangeFloorMs(4, 8, 100, LineScale), ExchangeFloorMs(5, 3, 100, LineScale), ExchangeFloorMs(4, 19, 100, LineScale),
        ExchangeFloorMs(20, 3, 100, LineScale), ExchangeFloorMs(3, 3, 100, LineScale)};
}

// The loop read's pace against the floor of its wait steps, and the gaps
// between requests as the reader saw them ("count median p90").
void PrintReadSteps(int Cycles, double Seconds, const std::string& Gaps)
{
    // Search, authenticate, read and beep, each answered within the 100 ms
    // read interval and so seen after three steps.
    const double stepFloorMs = 4 * 3 * 50.0;
    size_t count = 0;
    double median = 0, p90 = 0;
    std::sscanf(Gaps.c_str(), "%zu %lf %lf", &count, &median, &p90);
    std::printf("              against 4 exchanges of 3 wait steps (%.0f ms a cycle): %.3f of that floor\n",
        stepFloorMs, (Cycles / Seconds) / (1000.0 / stepFloorMs));
    std::printf("              request-to-request gaps at the reader: %zu, median %.1f ms, p90 %.1f ms\n",
        count, median, p90);
}

// Cycles per second of the loop read and the loop write at the default
// settings, beside their floors.
void MeasureSpeed(TMainForm& Form, pid_t SimPid, int SimReports, int Cycles)
{
    const TFloors line = FloorsAt(1.0);
    // A pseudo-terminal moves the bytes at once: only the read interval and
    // the wait steps remain.
    const TFloors pty = FloorsAt(0.0);

    AskSimulator(SimPid, SimReports, SIGUSR1);
    const double tr = RunCycles(Form, Ctl<QPushButton>(Form, "BtnStartRead"), Ctl<QPushButton>(Form, "BtnStopRead"), Cycles);
    const int nr = CounterOf(Ctl<QLabel>(Form, "LbReadSum"));
    const std::string readGaps = AskSimulator(SimPid, SimReports, SIGUSR2);
    const double tw = RunCycles(Form, Ctl<QPushButton>(Form, "BtnStartWrite"), Ctl<QPushButton>(Form, "BtnStopWrite"), Cycles);
    const int nw = CounterOf(Ctl<QLabel>(Form, "LbReadSum"));
    std::printf("speed (default settings: beep on, time-out 500 ms, read interval 100 ms)\n");
    std::printf("  loop read : %3d cycles in %6.2f s = %.3f cycles/s (%.0f ms a cycle)\n", nr, tr, nr / tr, 1000.0 * tr / nr);
    std::printf("              floor on a 9600-baud line %.0f ms = %.3f cycles/s; on the pseudo-terminal %.0f ms = %.3f cycles/s\n",
        line.ReadCycle(), 1000.0 / line.ReadCycle(), pty.ReadCycle(), 1000.0 / pty.ReadCycle());
    PrintReadSteps(nr, tr, readGaps);
    std::printf("  loop write: %3d cycles in %6.2f s = %.3f cycles/s (%.0f ms a cycle)\n", nw, tw, nw / tw, 1000.0 * tw / nw);
    std::printf("              floor on a 9600-baud line %.0f ms = %.3f cycles/s; on the pseudo-terminal %.0f ms = %.3f cycles/s\n",
        line.WriteCycle(), 1000.0 / line.WriteCycle(), pty.WriteCycle(), 1000.0 / pty.WriteCycle());
    std::printf("  floor per exchange on the line: search %.0f, authenticate %.0f, read %.0f, write %.0f, beep %.0f ms\n"
                "  (line time + 100 ms read interval, seen at the end of the 50 ms wait step it falls in; on the\n"
                "  pseudo-terminal a read completing right at 100 ms often makes the second step's end instead)\n",
        line.Search, line.Auth, line.Read, line.Write, line.Beep);
    std::fflush(stdout);
}

// Resident memory and CPU time over a long loop read with a 1 ms read
// interval, a line every 2,000 cycles (and at 1,000 and the last).
void MeasureMemory(TMainForm& Form, int Cycles)
{
    TSessionProbe::Device(Form.Session()).SetReadIntervalTimeout(1);
    Ctl<QPlainTextEdit>(Form, "MmoMsg")->clear();
    QCoreApplication::processEvents();
    const long rss0 = RssKiB();
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    std::printf("memory (read interval 1 ms, otherwise default settings; loop read, block 1)\n");
    std::printf("  %8s %10s %12s %12s %10s\n", "cycles", "seconds", "VmRSS KiB", "grown KiB", "CPU s");
    std::printf("  %8d %10.1f %12ld %12ld %10.2f\n", 0, 0.0, rss0, 0L, 0.0);
    std::fflush(stdout);
    auto report = [&](int n) {
        if (n == 1000 || n == Cycles || (n % 2000 == 0)) {
            std::printf("  %8d %10.1f %12ld %12ld %10.2f\n", n,
                std::chrono::duration<double>(Clock::now() - t0).count(), RssKiB(), RssKiB() - rss0,
                CpuSeconds() - cpu0);
            std::fflush(stdout);
        }
    };
    RunCycles(Form, Ctl<QPushButton>(Form, "BtnStartRead"), Ctl<QPushButton>(Form, "BtnStopRead"), Cycles, report);
    std::printf("  log lines at the end: %d\n", Ctl<QPlainTextEdit>(Form, "MmoMsg")->blockCount());
}

// The window linked to the simulator and measured; gives the exit code.
int MeasureWindow(const TBenchOptions& Options, pid_t SimPid, int SimReports)
{
    TMainForm form;
    form.show();
    if (!WaitFor([&] { return StatusPanel(form, 1)->text() == QStringLiteral("Linked") && !form.Session().OperationRunning(); },
            std::chrono::seconds(30))) {
        std::fprintf(stderr, "bench_endurance: the window did not link to the simulator\n");
        form.close();
        return 1;
    }
    Ctl<TSpinEdit>(form, "EdtBlock")->setValue(1);
    if (Options.Speed)
        MeasureSpeed(form, SimPid, SimReports, Options.SpeedCycles);
    if (Options.Memory)
        MeasureMemory(form, Options.MemoryCycles);
    form.close();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    TBenchOptions options;
    if (!ParseOptions(argc, argv, options))
        return 2;

    std::string simPath;
    int simReports = -1;
    pid_t simPid = -1;
    StartSimulator(simPath, simReports, simPid);
    if (simPid < 0 || simPath.empty()) {
        std::fprintf(stderr, "bench_endurance: the simulator did not start\n");
        return 1;
    }

    QTemporaryDir config;
    PrepareConfig(config, simPath);
    QApplication app(argc, argv);
    const int rc = MeasureWindow(options, simPid, simReports);
    ::kill(simPid, SIGTERM);
    ::waitpid(simPid, nullptr, 0);
    return rc;
}
