// orvelle-sim: the card reader/encoder on a pseudo-terminal, for running and
// testing Orvelle without a reader on the desk.
#include "sim/SimProgram.h"
#include "sim/SimServer.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

std::mutex OutputLock;
std::atomic<bool> Quiet{false};

void Say(const std::string& Text)
{
    if (Text.empty())
        return;
    std::lock_guard lock(OutputLock);
    std::fputs(Text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

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
    if (opt.Help) {
        std::fputs(SimHelpText().c_str(), stdout);
        return ExitOk;
    }
    Quiet = opt.Quiet;

    // The signals are taken through a descriptor, blocked before the server
    // thread starts so that thread inherits the mask and never sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    if (::pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) {
        std::fprintf(stderr, "orvelle-sim: cannot block signals\n");
        return ExitFailure;
    }
    const int sigFd = ::signalfd(-1, &signals, SFD_CLOEXEC);
    if (sigFd < 0) {
        std::fprintf(stderr, "orvelle-sim: signalfd: %s\n", std::strerror(errno));
        return ExitFailure;
    }
    // Printing to a closed pipe must not kill us with the link left behind.
    ::signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<TSimServer> server;
    try {
        server = std::make_unique<TSimServer>();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orvelle-sim: %s\n", e.what());
        return ExitFailure;
    }
    if (!opt.CardFile.empty() && !server->LoadDump(opt.CardFile)) {
        std::fprintf(stderr, "orvelle-sim: cannot load a 1024-byte card dump from %s\n", opt.CardFile.c_str());
        return ExitUsage;
    }
    if (opt.Serial)
        server->SetSerial(*opt.Serial);
    for (const auto& f : opt.Faults)
        server->InjectFault(f.Command, f.Fault, f.Count > 0 ? f.Count : INT_MAX);
    if (opt.RandomProbability > 0)
        server->SetRandomFaults(opt.RandomProbability, opt.Seed);

    std::string link;
    if (!PlacePortLink(opt.Port, server->DevicePath(), link, error)) {
        std::fprintf(stderr, "orvelle-sim: %s\n", error.c_str());
        return ExitUsage;
    }
    server->SetObserver([](const TSimServer::TRecord& r) {
        if (!Quiet)
            Say(Stamp() + (r.FromProgram ? " -> " : " <- ") + DescribeFrame(r.Bytes, r.FromProgram));
    });
    Say("orvelle-sim: reader on " + server->DevicePath() + ", linked as " + link);
    Say("orvelle-sim: type help for the console commands");

    bool quit = false;
    bool stdinOpen = true;
    std::string pending;
    while (!quit) {
        pollfd p[2] = {{sigFd, POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (p[0].revents & POLLIN) {
            signalfd_siginfo si{};
            if (::read(sigFd, &si, sizeof si) == ssize_t(sizeof si))
                Say(std::string("orvelle-sim: ") + ::strsignal(int(si.ssi_signo)) + ", closing");
            break;
        }
        if (p[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[512];
            const ssize_t n = ::read(0, buf, sizeof buf);
            if (n <= 0) {
                // No console (run in the background, or input ended): go on
                // serving until a signal.
                stdinOpen = false;
                continue;
            }
            pending.append(buf, size_t(n));
            for (size_t nl; !quit && (nl = pending.find('\n')) != std::string::npos;) {
                const std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                bool q = Quiet;
                Say(RunConsoleCommand(*server, line, quit, q));
                Quiet = q;
            }
            if (pending.size() > 4096)
                pending.clear(); // no line that long is a command
        }
    }

    server->SetObserver(nullptr);
    RemovePortLink(link, server->DevicePath());
    int rc = ExitOk;
    if (!opt.SaveFile.empty()) {
        if (server->SaveDump(opt.SaveFile)) {
            Say("orvelle-sim: card saved to " + opt.SaveFile);
        } else {
            std::fprintf(stderr, "orvelle-sim: cannot save the card to %s\n", opt.SaveFile.c_str());
            rc = ExitFailure;
        }
    }
    server.reset();
    ::close(sigFd);
    return rc;
}
