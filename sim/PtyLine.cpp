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
// How long a master that reported a hang-up is left alone before the next look.
constexpr int QuietPollMs = 100;
} // namespace

TPtyLine::TPtyLine()
{
    char name[256] = {};
    if (::openpty(&FMaster, &FSlaveKeep, name, nullptr, nullptr) != 0)
        throw std::runtime_error(std::string("openpty failed: ") + std::strerror(errno));
    FPath = name;
    // Raw, so nothing the program sends is echoed back or translated before
    // the program sets the line up itself.
    termios tio{};
    if (::tcgetattr(FSlaveKeep, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(FSlaveKeep, TCSANOW, &tio);
    }
    ::fcntl(FMaster, F_SETFL, ::fcntl(FMaster, F_GETFL) | O_NONBLOCK);
    ::fcntl(FMaster, F_SETFD, FD_CLOEXEC);
    ::fcntl(FSlaveKeep, F_SETFD, FD_CLOEXEC);
    FWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FWake < 0) {
        const int err = errno;
        ::close(FMaster);
        ::close(FSlaveKeep);
        throw std::runtime_error(std::string("eventfd failed: ") + std::strerror(err));
    }
}

TPtyLine::~TPtyLine()
{
    Stop();
    ::close(FWake);
    ::close(FMaster);
    ::close(FSlaveKeep);
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
    bool masterQuiet = false; // the master reported a hang-up: leave it alone a while
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
        masterQuiet = false;
        if (p[1].revents & POLLIN)
            break;
        if (p[0].revents & POLLIN) {
            uint8_t buf[256];
            const ssize_t n = ::read(FMaster, buf, sizeof buf);
            if (n > 0)
                FHandlers.Received(buf, size_t(n));
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                masterQuiet = true;
        } else if (p[0].revents & (POLLHUP | POLLERR)) {
            // Nobody holds the slave side; we keep it open, so this should
            // not last, but never spin on it.
            masterQuiet = true;
        }
        nextDue = FHandlers.TakeDue(FOut);
        Flush();
        FHandlers.Written();
    }
}

} // namespace sim
