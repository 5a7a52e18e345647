// How long `orvelle-card ports --probe` takes: the link test sent to many
// ports at once must end within one reply time-out plus 200 ms, however many
// are silent. Each round probes one simulated reader and N pseudo-terminals
// nobody reads (their bytes are drained between rounds).
//   bench_ports_probe [rounds, default 10] [reply time-out in ms, default 500]

#include "serial/PortScan.h"
#include "sim/SimServer.h"

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct TSilentPty {
    int Master = -1;
    int Slave = -1; // kept open so the terminal stays while the probe opens it
    std::string Path;
};

TSilentPty OpenSilent()
{
    TSilentPty pty;
    char name[256] = {};
    if (::openpty(&pty.Master, &pty.Slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        std::exit(1);
    }
    ::fcntl(pty.Master, F_SETFL, ::fcntl(pty.Master, F_GETFL) | O_NONBLOCK);
    pty.Path = name;
    return pty;
}

void Drain(int Fd)
{
    char buffer[256];
    while (::read(Fd, buffer, sizeof buffer) > 0) {
    }
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 10;
    const int timeoutMs = argc > 2 ? std::atoi(argv[2]) : 500;
    if (rounds <= 0 || timeoutMs <= 0) {
        std::fprintf(stderr, "usage: bench_ports_probe [rounds] [reply time-out ms]\n");
        return 2;
    }
    sim::TSimServer sim;
    std::printf("probe of 1 simulated reader + N silent terminals, reply time-out %d ms, goal <= %d ms\n",
        timeoutMs, timeoutMs + 200);
    for (const int silentCount : {0, 1, 8, 32}) {
        std::vector<TSilentPty> silent;
        std::vector<std::string> paths{sim.DevicePath()};
        for (int i = 0; i < silentCount; ++i) {
            silent.push_back(OpenSilent());
            paths.push_back(silent.back().Path);
        }
        std::vector<double> ms;
        int answered = 0;
        for (int round = 0; round < rounds; ++round) {
            const auto start = std::chrono::steady_clock::now();
            const std::vector<TProbeResult> results = ProbePorts(paths, timeoutMs);
            ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
            answered += int(std::count_if(results.begin(), results.end(),
                [](const TProbeResult& R) { return R.Answer == TProbeAnswer::Answers; }));
            for (const TSilentPty& pty : silent)
                Drain(pty.Master);
        }
        std::sort(ms.begin(), ms.end());
        std::printf("N = %2d: median %.1f ms, max %.1f ms, %d of %d answers from the reader\n", silentCount,
            ms[ms.size() / 2], ms.back(), answered, rounds);
        for (const TSilentPty& pty : silent) {
            ::close(pty.Slave);
            ::close(pty.Master);
        }
    }
    return 0;
}
