// How long exchanges take against a reader that answers at once, beside the
// floor the line and the serial component allow.
//
// First, link tests: wall time and wait steps of single link-test
// exchanges.
//
// Second, loop read: the four exchanges of a loop-read cycle (search with
// serial number, authenticate with stored key A, read the block, beep) run
// back to back through TCardReader, as the loop test runs them, first with
// the second core idle, then with a thread spinning on it. Reported: median
// and p90 of the single exchanges, and cycles per second beside the floor.
//
// The floor: the read completes 100 ms (the read interval) after the reply's
// last byte, so an exchange cannot take less than that, and a cycle of four
// exchanges not less than 400 ms (2.5 cycles/s). A 9600-baud line adds 2 x
// 4.2 ms for a 4-byte request and reply; a pseudo-terminal has no line time.
// Goal: p90 <= read interval + 10 ms and at least 0.95 of the floor's cycles.
//
// Usage: bench_link_exchange [link-test runs] [loop-read cycles]   (default 60 and 40)
#include "protocol/Commands.h"
#include "reader/CardReader.h"
#include "reader/ReaderLink.h"
#include "serial/Comm.h"
#include "sim/SimServer.h"

#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double ReadIntervalMs = 100;
constexpr double FloorCycleMs = 4 * ReadIntervalMs;

double MsSince(Clock::time_point Start) { return std::chrono::duration<double, std::milli>(Clock::now() - Start).count(); }

double Percentile(std::vector<double> Values, double P)
{
    if (Values.empty())
        return 0;
    std::sort(Values.begin(), Values.end());
    return Values[size_t(std::lround(P * double(Values.size() - 1)))];
}

// Keeps one core busy while it lives: the second core of a two-core machine
// taken by some other program.
class TSpinLoad {
public:
    TSpinLoad()
        : FThread([this] {
            volatile unsigned long spins = 0;
            while (!FStop.load(std::memory_order_relaxed))
                spins = spins + 1;
        })
    {
    }
    ~TSpinLoad()
    {
        FStop = true;
        FThread.join();
    }

private:
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

void LinkTests(TReaderLink& Link, int Runs)
{
    int steps = 0;
    Link.WaitStep = [&](int, int Ms) {
        ++steps;
        TReaderLink::WaitWithEvents(Ms);
    };
    std::vector<double> ms;
    std::vector<int> stepCounts;
    int failures = 0;
    for (int i = 0; i < Runs; ++i) {
        steps = 0;
        const auto start = Clock::now();
        if (Link.ExchangeFrame(BuildLinkTest()) != ResultOk) {
            ++failures;
            continue;
        }
        ms.push_back(MsSince(start));
        stepCounts.push_back(steps);
    }
    Link.WaitStep = [](int, int Ms) { TReaderLink::WaitWithEvents(Ms); };
    if (ms.empty()) {
        std::printf("link tests: none succeeded\n");
        return;
    }
    double mean = 0;
    for (double v : ms)
        mean += v;
    mean /= double(ms.size());
    double variance = 0;
    for (double v : ms)
        variance += (v - mean) * (v - mean);
    std::sort(stepCounts.begin(), stepCounts.end());
    std::printf("link-test exchanges: %zu ok, %d failed\n", ms.size(), failures);
    std::printf("  wall time (ms): median %.1f  min %.1f  p10 %.1f  p90 %.1f  max %.1f  mean %.1f  sd %.1f\n",
        Percentile(ms, 0.5), Percentile(ms, 0), Percentile(ms, 0.1), Percentile(ms, 0.9), Percentile(ms, 1), mean,
        std::sqrt(variance / double(ms.size())));
    std::printf("  wait steps: min %d  median %d  max %d\n", stepCounts.front(), stepCounts[stepCounts.size() / 2],
        stepCounts.back());
}

// Loop-read cycles; true when every exchange succeeded.
bool LoopRead(TReaderLink& Link, int Cycles, const char* Case)
{
    TCardReader reader(Link);
    constexpr uint8_t Block = 1;
    std::vector<double> exchangeMs;
    int failures = 0;
    auto timed = [&](auto&& Exchange) {
        const auto start = Clock::now();
        const bool ok = Exchange();
        exchangeMs.push_back(MsSince(start));
        if (!ok)
            ++failures;
        return ok;
    };
    const auto start = Clock::now();
    for (int i = 0; i < Cycles; ++i) {
        timed([&] { return reader.SearchCardSerial(SearchModes::IdleCards).has_value(); });
        timed([&] { return reader.Authenticate(SectorOf(Block), KeySources::StoredA); });
        timed([&] { return reader.ReadBlock(Block).has_value(); });
        timed([&] {
            reader.Beep();
            return true;
        });
    }
    const double cycleMs = MsSince(start) / Cycles;
    const double perSecond = 1000.0 / cycleMs;
    const double p90 = Percentile(exchangeMs, 0.9);
    std::printf("loop read, %s: %d cycles, %d failed exchanges\n", Case, Cycles, failures);
    std::printf("  exchange (ms): median %.1f  p90 %.1f  max %.1f   goal p90 <= %.0f\n", Percentile(exchangeMs, 0.5),
        p90, Percentile(exchangeMs, 1), ReadIntervalMs + 10);
    std::printf("  cycle %.1f ms, %.2f cycles/s = %.2f of the floor (%.0f ms, %.2f/s)   goal >= 0.95\n", cycleMs,
        perSecond, FloorCycleMs / cycleMs, FloorCycleMs, 1000.0 / FloorCycleMs);
    return failures == 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(5, std::atoi(argv[1])) : 60;
    const int cycles = argc > 2 ? std::max(5, std::atoi(argv[2])) : 40;

    sim::TSimServer simulator; // answers each request as soon as it is whole
    TComm device;
    device.SetCommName(simulator.DevicePath());
    device.SetDtrControl(TDtrControl::DtrDisable);
    device.SetRtsControl(TRtsControl::RtsDisable);
    TReaderLink link(device);
    try {
        device.OpenPort();
    } catch (const std::exception& E) {
        std::fprintf(stderr, "cannot open %s: %s\n", simulator.DevicePath().c_str(), E.what());
        return 1;
    }
    link.ReplyTimeout = 3000;

    LinkTests(link, runs);
    bool ok = LoopRead(link, cycles, "second core idle");
    {
        TSpinLoad load;
        ok = LoopRead(link, cycles, "second core busy") && ok;
    }
    return ok ? 0 : 1;
}
