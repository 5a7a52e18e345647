// The link test sent to many ports at once: the only frame the serial layer
// builds, so that "which port is the reader on?" is answered in one reply
// time-out whatever the number of ports.
#include "serial/PortScan.h"

#include "protocol/Commands.h"
#include "protocol/Frame.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

struct TProbe {
    TProbeResult Result;
    int Fd = -1;
    termios Saved{};
    std::vector<uint8_t> Pending; // of the request, not yet written
    TReplyAssembler Reply;
    bool Done = false;
};

void Finish(TProbe& Probe, TProbeAnswer Answer, const std::string& Words)
{
    Probe.Result.Answer = Answer;
    Probe.Result.Words = Words;
    Probe.Done = true;
}

// Opens the port and sets 9600 8N1 raw, keeping what it had; false with the
// result said when it cannot be.
bool OpenForProbe(TProbe& Probe, const TRequest& Request)
{
    const char* path = Probe.Result.Path.c_str();
    Probe.Fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (Probe.Fd < 0) {
        Finish(Probe, TProbeAnswer::CannotOpen, std::strerror(errno));
        return false;
    }
    // The component and the programs that lock ports take this lock: one
    // that holds it now is in the middle of its own exchanges.
    if (::flock(Probe.Fd, LOCK_EX | LOCK_NB) != 0) {
        Finish(Probe, TProbeAnswer::CannotOpen, "held by another program");
        ::close(Probe.Fd);
        Probe.Fd = -1;
        return false;
    }
    if (::tcgetattr(Probe.Fd, &Probe.Saved) != 0) {
        const int err = errno;
        Finish(Probe, TProbeAnswer::CannotOpen, err == ENOTTY ? "not a terminal" : std::strerror(err));
        ::close(Probe.Fd);
        Probe.Fd = -1;
        return false;
    }
    termios raw = Probe.Saved;
    ::cfmakeraw(&raw);
    raw.c_cflag &= ~tcflag_t(CSTOPB | PARENB | CRTSCTS | CSIZE);
    raw.c_cflag |= CS8 | CLOCAL | CREAD;
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    ::cfsetispeed(&raw, B9600);
    ::cfsetospeed(&raw, B9600);
    if (::tcsetattr(Probe.Fd, TCSANOW, &raw) != 0) {
        Finish(Probe, TProbeAnswer::CannotOpen, std::string("tcsetattr: ") + std::strerror(errno));
        ::close(Probe.Fd);
        Probe.Fd = -1;
        return false;
    }
    // What the line held before the request is no answer to it.
    ::tcflush(Probe.Fd, TCIFLUSH);
    Probe.Pending.assign(Request.Frame.begin(), Request.Frame.begin() + Request.Length + 1);
    Probe.Reply.Start(Request.Command());
    return true;
}

void WritePending(TProbe& Probe)
{
    const ssize_t n = ::write(Probe.Fd, Probe.Pending.data(), Probe.Pending.size());
    if (n > 0)
        Probe.Pending.erase(Probe.Pending.begin(), Probe.Pending.begin() + n);
    else if (n < 0 && errno != EAGAIN && errno != EINTR)
        Finish(Probe, TProbeAnswer::CannotOpen, std::string("write: ") + std::strerror(errno));
}

void ReadReply(TProbe& Probe, uint8_t Command)
{
    uint8_t bytes[MaxFrameBytes];
    const ssize_t n = ::read(Probe.Fd, bytes, sizeof bytes);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        Finish(Probe, TProbeAnswer::Silent, "the device went away");
        return;
    }
    if (n < 0 || !Probe.Reply.Feed({bytes, size_t(n)})) {
        if (Probe.Reply.Failed())
            Finish(Probe, TProbeAnswer::Silent, "something answers, but not as a reader does");
        return;
    }
    // A refusal is a reader's answer too; only a broken frame is not.
    if (CheckReply(Probe.Reply.Bytes(), Command) == ResultBadReply)
        Finish(Probe, TProbeAnswer::Silent, "something answers, but not as a reader does");
    else
        Finish(Probe, TProbeAnswer::Answers, "reader answers");
}

// One poll over every port still waiting, until all are done or Deadline.
void AwaitReplies(std::vector<TProbe>& Probes, uint8_t Command, std::chrono::steady_clock::time_point Deadline)
{
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<TProbe*> owners;
        for (TProbe& probe : Probes) {
            if (probe.Done || probe.Fd < 0)
                continue;
            fds.push_back({probe.Fd, short(POLLIN | (probe.Pending.empty() ? 0 : POLLOUT)), 0});
            owners.push_back(&probe);
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
        if (fds.empty() || left.count() <= 0)
            return;
        const int ready = ::poll(fds.data(), fds.size(), int(left.count()));
        if (ready < 0 && errno != EINTR)
            return;
        for (size_t i = 0; ready > 0 && i < fds.size(); ++i) {
            TProbe& probe = *owners[i];
            if (fds[i].revents & POLLOUT)
                WritePending(probe);
            if (!probe.Done && (fds[i].revents & POLLIN))
                ReadReply(probe, Command);
            else if (!probe.Done && (fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)))
                Finish(probe, TProbeAnswer::Silent, "the device went away");
        }
    }
}

void Close(TProbe& Probe)
{
    if (Probe.Fd < 0)
        return;
    // Unsent bytes would hold close() up for as long as the driver lets a
    // closing port drain.
    ::tcflush(Probe.Fd, TCIOFLUSH);
    ::tcsetattr(Probe.Fd, TCSANOW, &Probe.Saved);
    ::close(Probe.Fd);
    Probe.Fd = -1;
}

} // namespace

std::vector<TProbeResult> ProbePorts(const std::vector<std::string>& Paths, int ReplyTimeoutMs)
{
    return ProbePorts(Paths, ReplyTimeoutMs, "/proc/locks");
}

std::vector<TProbeResult> ProbePorts(const std::vector<std::string>& Paths, int ReplyTimeoutMs,
    const std::string& Locks)
{
    TRequest request = BuildLinkTest();
    SealFrame(request.Frame.data());
    std::vector<TProbe> probes(Paths.size());
    for (size_t i = 0; i < Paths.size(); ++i) {
        TProbe& probe = probes[i];
        probe.Result.Path = Paths[i];
        // A holder named by the locks file is not disturbed at all.
        if (const std::string holder = HolderOf(Paths[i], Locks); !holder.empty())
            Finish(probe, TProbeAnswer::CannotOpen, "held by " + holder);
        else if (OpenForProbe(probe, request))
            WritePending(probe);
    }
    AwaitReplies(probes, request.Command(), std::chrono::steady_clock::now() + std::chrono::milliseconds(ReplyTimeoutMs));
    std::vector<TProbeResult> results;
    for (TProbe& probe : probes) {
        Close(probe);
        if (!probe.Done)
            Finish(probe, TProbeAnswer::Silent, "silent");
        results.push_back(probe.Result);
    }
    return results;
}
