// orvelle-sim: the card reader/encoder on a pseudo-terminal, for running and
// testing Orvelle without a reader on the desk.
#include "sim/CardDump.h"
#include "sim/ConsoleOutput.h"
#include "sim/PacedLine.h"
#include "sim/SimProgram.h"
#include "sim/SimServer.h"
#include "sim/Version.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

// A signal ends the serving loop: the handler only notes it and wakes the
// loop through a pipe. It runs on the main thread alone (the helper threads
// start with the signals blocked), and without SA_RESTART, so that no call
// of the main thread can hold a signal off.
volatile sig_atomic_t GotSignal = 0;
int SignalPipe[2] = {-1, -1};

void OnSignal(int Signal)
{
    GotSignal = Signal;
    const int saved = errno;
    [[maybe_unused]] const ssize_t n = ::write(SignalPipe[1], "", 1);
    errno = saved;
}

constexpr int EndSignals[] = {SIGINT, SIGTERM, SIGHUP};

// How long the output may take to show its last lines at exit.
constexpr auto ExitGrace = std::chrono::seconds(1);

std::string Stamp()
{
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    ::localtime_r(&ts.tv_sec, &local);
    char b[32];
    std::snprintf(b, sizeof b, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min, local.tm_sec,
        ts.tv_nsec / 1000000);
    return b;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace sim;
    TSimOptions opt;
    std::string error;
    if (!ParseSimOptions({argv + 1, argv + argc}, opt, error)) {
        std::fprintf(stderr, "orvelle-sim: %s\n", error.c_str());
        return ExitUsage;
    }
    if (opt.Help || opt.Version) {
        const std::string text = opt.Help ? SimHelpText() : std::string("orvelle-sim ") + OrvelleVersion + "\n";
        // A full disk under standard output is no success.
        if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
            std::perror("orvelle-sim: standard output");
            return ExitFailure;
        }
        return ExitOk;
    }
    // Found out now, not at exit with the session's card lost.
    if (!opt.SaveFile.empty() && !SaveTarget(opt.SaveFile, error)) {
        std::fprintf(stderr, "orvelle-sim: cannot save the card to %s: %s\n", opt.SaveFile.c_str(), error.c_str());
        return ExitUsage;
    }
    if (::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "orvelle-sim: pipe: %s\n", std::strerror(errno));
        return ExitFailure;
    }
    // Printing to a closed pipe must not kill us with the link left behind.
    ::signal(SIGPIPE, SIG_IGN);

    // The helper threads inherit the blocked signals, so they never take one.
    sigset_t signals, old;
    sigemptyset(&signals);
    for (const int s : EndSignals)
        sigaddset(&signals, s);
    ::pthread_sigmask(SIG_BLOCK, &signals, &old);
    auto output = std::make_unique<TConsoleOutput>();
    std::unique_ptr<TSimServer> server;
    try {
        server = std::make_unique<TSimServer>();
    } catch (const std::exception& e) {
        error = e.what();
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (!server) {
        output->Say("orvelle-sim: " + error, true);
        output->Close(ExitGrace);
        return ExitFailure;
    }
    struct sigaction action { };
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (const int s : EndSignals)
        ::sigaction(s, &action, nullptr);

    if (!opt.CardFile.empty() && !server->LoadDump(opt.CardFile, &error)) {
        output->Say("orvelle-sim: cannot load the card: " + error, true);
        output->Close(ExitGrace);
        return ExitUsage;
    }
    if (opt.Serial)
        server->SetSerial(*opt.Serial);
    for (const auto& f : opt.Faults)
        server->InjectFault(f.Command, f.Fault, f.Count > 0 ? f.Count : INT_MAX);
    if (opt.RandomProbability > 0)
        server->SetRandomFaults(opt.RandomProbability, opt.Seed);
    server->SetPace(opt.PaceMs);

    std::string link;
    if (!PlacePortLink(opt.Port, server->DevicePath(), link, error)) {
        output->Say("orvelle-sim: " + error, true);
        output->Close(ExitGrace);
        return ExitUsage;
    }
    std::atomic<bool> quiet{opt.Quiet};
    TConsoleOutput& out = *output;
    server->SetObserver([&out, &quiet](const TSimServer::TRecord& r) {
        if (!quiet)
            out.Say(Stamp() + (r.FromProgram ? " -> " : " <- ") + DescribeFrame(r.Bytes, r.FromProgram));
    });
    server->SetNoticeObserver([&out](const std::string& Text) { out.Say(Stamp() + " -- " + Text); });
    out.Say("orvelle-sim: reader on " + server->DevicePath() + ", linked as " + link);
    if (opt.PaceMs > 0)
        out.Say("orvelle-sim: replies paced at " + std::to_string(PaceBaud) + " baud, " + std::to_string(opt.PaceMs)
            + " ms processing time");
    out.Say("orvelle-sim: type help for the console commands");

    bool quit = false;
    bool stdinOpen = true;
    TConsoleLines console;
    while (!quit && !GotSignal) {
        pollfd p[2] = {{SignalPipe[0], POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR)
            break;
        if (GotSignal)
            break;
        if (p[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[512];
            const ssize_t n = ::read(0, buf, sizeof buf);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0) {
                // No console (run in the background, or input ended): go on
                // serving until a signal.
                stdinOpen = false;
                continue;
            }
            for (const auto& line : console.Feed(buf, size_t(n))) {
                if (line.TooLong) {
                    out.Say("orvelle-sim: a line longer than " + std::to_string(TConsoleLines::MaxLine)
                        + " bytes is no command; ignored");
                    continue;
                }
                bool q = quiet;
                out.Say(RunConsoleCommand(*server, line.Text, quit, q));
                quiet = q;
                if (quit)
                    break;
            }
        }
    }
    if (GotSignal)
        out.Say(std::string("orvelle-sim: ") + ::strsignal(GotSignal) + ", closing");

    server->SetObserver(nullptr);
    server->SetNoticeObserver(nullptr);
    RemovePortLink(link, server->DevicePath());
    int rc = ExitOk;
    if (!opt.SaveFile.empty()) {
        if (server->SaveDump(opt.SaveFile, &error)) {
            out.Say("orvelle-sim: card saved to " + opt.SaveFile);
        } else {
            out.Say("orvelle-sim: cannot save the card to " + opt.SaveFile + ": " + error, true);
            rc = ExitFailure;
        }
    }
    server.reset();
    if (const uint64_t dropped = out.Dropped())
        out.Say("orvelle-sim: " + std::to_string(dropped) + " lines were dropped in all: the output was not being read");
    output->Close(ExitGrace);
    return rc;
}
