#include "sim/PtyLine.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace sim {

namespace {
// How long a master that reports a hang-up (nobody holds the slave side) is
// left alone before the next look.
constexpr int QuietPollMs = 100;
} // namespace

TPtyLine::TPtyLine()
{
    char name[256] = {};
    int slave = -1;
    if (::openpty(&FMaster, &slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error(std::string("openpty failed: ") + std::strerror(errno));
    FPath = name;
    // Raw, so nothing the program sends is echoed back or translated before
    // the program sets the line up itself; the settings outlast this close.
    termios tio{};
    if (::tcgetattr(slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
    }
    ::close(slave);
    ::fcntl(FMaster, F_SETFL, ::fcntl(FMaster, F_GETFL) | O_NONBLOCK);
    ::fcntl(FMaster, F_SETFD, FD_CLOEXEC);
    FWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FWake < 0) {
        const int err = errno;
        ::close(FMaster);
        throw std::runtime_error(std::string("eventfd failed: ") + std::strerror(err));
    }
}

TPtyLine::~TPtyLine()
{
    Stop();
    ::close(FWake);
    ::close(FMaster);
}

void TPtyLine::Start(THandlers Handlers)
{
    FHandlers = std::move(Handlers);
    FThread = std::thread([this] { Serve(); });
}

void TPtyLine::Stop()
{
    if (!FThread.joinable())
        return;
    // The wake descriptor is only ever written to stop the thread.
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t r = ::write(FWake, &one, sizeof one);
    FThread.join();
}

void TPtyLine::Flush()
{
    while (!FOut.empty()) {
        const ssize_t n = ::write(FMaster, FOut.data(), FOut.size());
        if (n > 0) {
            FOut.erase(FOut.begin(), FOut.begin() + n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break; // EAGAIN: the poll waits for room
        }
    }
}

void TPtyLine::Serve()
{
    using TClock = std::chrono::steady_clock;
    bool hungUp = false;      // the program's side is closed
    bool masterQuiet = false; // and so the master is left alone a while
    std::optional<TClock::time_point> nextDue;
    for (;;) {
        int timeout = -1;
        if (nextDue) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*nextDue - TClock::now());
            timeout = int(std::max<int64_t>(0, left.count()));
        }
        if (masterQuiet)
            timeout = timeout < 0 ? QuietPollMs : std::min(timeout, QuietPollMs);
        pollfd p[2] = {{masterQuiet ? -1 : FMaster, short(POLLIN | (FOut.empty() ? 0 : POLLOUT)), 0},
            {FWake, POLLIN, 0}};
        const int rc = ::poll(p, 2, timeout);
        if (rc < 0 && errno != EINTR)
            break;
        if (p[1].revents & POLLIN)
            break;
        // A look at the master that shows no hang-up: the slave side is open.
        const bool looked = !masterQuiet && rc >= 0;
        masterQuiet = false;
        if (p[0].revents & (POLLHUP | POLLERR)) {
            // Nobody holds the slave side: what the program that closed it
            // left unanswered must not reach the next one to open it.
            masterQuiet = true;
            if (!hungUp) {
                hungUp = true;
                const size_t unwritten = FOut.size();
                FOut.clear();
                FHandlers.HungUp(unwritten);
            }
        } else if (looked) {
            hungUp = false;
        }
        if (p[0].revents & POLLIN) {
            uint8_t buf[256];
            ssize_t n;
            // Requests of a program that has closed the port are dropped.
            do
                n = ::read(FMaster, buf, sizeof buf);
            while (hungUp && n > 0);
            if (n > 0)
                FHandlers.Received(buf, size_t(n));
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                masterQuiet = true;
        }
        nextDue = FHandlers.TakeDue(FOut);
        Flush();
        FHandlers.Written();
    }
}

} // namespace sim
