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
#include <utility>
#include <vector>

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

// Help or version on standard output; gives the exit code.
int PrintInfo(const sim::TSimOptions& Opt)
{
    const std::string text = Opt.Help ? sim::SimHelpText() : std::string("orvelle-sim ") + OrvelleVersion + "\n";
    // A full disk under standard output is no success.
    if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
        std::perror("orvelle-sim: standard output");
        return sim::ExitFailure;
    }
    return sim::ExitOk;
}

// The pipe that wakes the serving loop on a signal. Error says why not.
bool OpenSignalPipe(std::string& Error)
{
    if (::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        Error = std::strerror(errno);
        return false;
    }
    // Printing to a closed pipe must not kill us with the link left behind.
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

// Starts the output's and the server's threads with the end signals blocked,
// so that they inherit the mask and never take one. Server stays empty when
// it could not start (Error says why); the output always starts.
void StartThreads(std::unique_ptr<sim::TConsoleOutput>& Output, std::unique_ptr<sim::TSimServer>& Server,
    std::string& Error)
{
    sigset_t signals, old;
    sigemptyset(&signals);
    for (const int s : EndSignals)
        sigaddset(&signals, s);
    ::pthread_sigmask(SIG_BLOCK, &signals, &old);
    Output = std::make_unique<sim::TConsoleOutput>();
    try {
        Server = std::make_unique<sim::TSimServer>();
    } catch (const std::exception& e) {
        Error = e.what();
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// From here on an end signal ends the serving loop.
void CatchEndSignals()
{
    struct sigaction action { };
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (const int s : EndSignals)
        ::sigaction(s, &action, nullptr);
}

// Says Text on the error output, lets it show, and gives Code to exit with.
int Fail(sim::TConsoleOutput& Out, const std::string& Text, int Code)
{
    Out.Say(Text, true);
    Out.Close(ExitGrace);
    return Code;
}

// The card's serial number, the faults and the pace the options ask for.
void ApplyOptions(sim::TSimServer& Server, const sim::TSimOptions& Opt)
{
    if (Opt.Serial)
        Server.SetSerial(*Opt.Serial);
    for (const auto& f : Opt.Faults)
        Server.InjectFault(f.Command, f.Fault, f.Count > 0 ? f.Count : INT_MAX);
    if (Opt.RandomProbability > 0)
        Server.SetRandomFaults(Opt.RandomProbability, Opt.Seed);
    Server.SetPace(Opt.PaceMs);
}

// Every frame (unless Quiet) and every notice of the line, stamped, on the
// console; then where the reader is.
void ShowLine(sim::TSimServer& Server, sim::TConsoleOutput& Out, std::atomic<bool>& Quiet, const std::string& Link,
    int PaceMs)
{
    Server.SetObserver([&Out, &Quiet](const sim::TSimServer::TRecord& r) {
        if (!Quiet)
            Out.Say(Stamp() + (r.FromProgram ? " -> " : " <- ") + sim::DescribeFrame(r.Bytes, r.FromProgram));
    });
    Server.SetNoticeObserver([&Out](const std::string& Text) { Out.Say(Stamp() + " -- " + Text); });
    Out.Say("orvelle-sim: reader on " + Server.DevicePath() + ", linked as " + Link);
    if (PaceMs > 0)
        Out.Say("orvelle-sim: replies paced at " + std::to_string(sim::PaceBaud) + " baud, " + std::to_string(PaceMs)
            + " ms processing time");
    Out.Say("orvelle-sim: type help for the console commands");
}

// Runs the typed Lines in order; true when one of them says quit.
bool RunTypedLines(sim::TSimServer& Server, sim::TConsoleOutput& Out, const std::vector<sim::TConsoleLines::TLine>& Lines,
    std::atomic<bool>& Quiet)
{
    for (const auto& line : Lines) {
        if (line.TooLong) {
            Out.Say("orvelle-sim: a line longer than " + std::to_string(sim::TConsoleLines::MaxLine)
                + " bytes is no command; ignored");
            continue;
        }
        bool quit = false;
        bool quiet = Quiet;
        Out.Say(sim::RunConsoleCommand(Server, line.Text, quit, quiet));
        Quiet = quiet;
        if (quit)
            return true;
    }
    return false;
}

// Serves until "quit" at the console or an end signal.
void ServeConsole(sim::TSimServer& Server, sim::TConsoleOutput& Out, std::atomic<bool>& Quiet)
{
    bool quit = false;
    bool stdinOpen = true;
    sim::TConsoleLines console;
    while (!quit && !GotSignal) {
        pollfd p[2] = {{SignalPipe[0], POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR)
            break;
        if (GotSignal)
            break;
        if (!(p[1].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
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
        quit = RunTypedLines(Server, Out, console.Feed(buf, size_t(n)), Quiet);
    }
    if (GotSignal)
        Out.Say(std::string("orvelle-sim: ") + ::strsignal(GotSignal) + ", closing");
}

// Stops the line, takes the link away and saves the card when asked to;
// gives the exit code.
int Finish(std::unique_ptr<sim::TSimServer> Server, sim::TConsoleOutput& Out, const std::string& Link,
    const std::string& SaveFile)
{
    Server->SetObserver(nullptr);
    Server->SetNoticeObserver(nullptr);
    sim::RemovePortLink(Link, Server->DevicePath());
    int rc = sim::ExitOk;
    if (!SaveFile.empty()) {
        std::string error;
        if (Server->SaveDump(SaveFile, &error)) {
            Out.Say("orvelle-sim: card saved to " + SaveFile);
        } else {
            Out.Say("orvelle-sim: cannot save the card to " + SaveFile + ": " + error, true);
            rc = sim::ExitFailure;
        }
    }
    Server.reset();
    if (const uint64_t dropped = Out.Dropped())
        Out.Say("orvelle-sim: " + std::to_string(dropped) + " lines were dropped in all: the output was not being read");
    Out.Close(ExitGrace);
    return rc;
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
    if (opt.Help || opt.Version)
        return PrintInfo(opt);
    // Found out now, not at exit with the session's card lost.
    if (!opt.SaveFile.empty() && !SaveTarget(opt.SaveFile, error)) {
        std::fprintf(stderr, "orvelle-sim: cannot save the card to %s: %s\n", opt.SaveFile.c_str(), error.c_str());
        return ExitUsage;
    }
    if (!OpenSignalPipe(error)) {
        std::fprintf(stderr, "orvelle-sim: pipe: %s\n", error.c_str());
        return ExitFailure;
    }
    std::unique_ptr<TConsoleOutput> output;
    std::unique_ptr<TSimServer> server;
    StartThreads(output, server, error);
    if (!server)
        return Fail(*output, "orvelle-sim: " + error, ExitFailure);
    CatchEndSignals();
    if (!opt.CardFile.empty() && !server->LoadDump(opt.CardFile, &error))
        return Fail(*output, "orvelle-sim: cannot load the card: " + error, ExitUsage);
    ApplyOptions(*server, opt);
    std::string link;
    if (!PlacePortLink(opt.Port, server->DevicePath(), link, error))
        return Fail(*output, "orvelle-sim: " + error, ExitUsage);
    std::atomic<bool> quiet{opt.Quiet};
    ShowLine(*server, *output, quiet, link, opt.PaceMs);
    ServeConsole(*server, *output, quiet);
    return Finish(std::move(server), *output, link, opt.SaveFile);
}
