#include "support/PtyPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

PtyPeer::PtyPeer()
{
    char name[256] = {};
    if (::openpty(&FMaster, &FSlaveKeep, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    FSlavePath = name;
    // Raw on both sides so no byte is translated or echoed.
    termios tio{};
    if (::tcgetattr(FSlaveKeep, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(FSlaveKeep, TCSANOW, &tio);
    }
    ::fcntl(FMaster, F_SETFL, ::fcntl(FMaster, F_GETFL) | O_NONBLOCK);
    ::fcntl(FMaster, F_SETFD, FD_CLOEXEC);
    ::fcntl(FSlaveKeep, F_SETFD, FD_CLOEXEC);
}

PtyPeer::~PtyPeer()
{
    CloseMaster();
    if (FSlaveKeep >= 0)
        ::close(FSlaveKeep);
}

void PtyPeer::CloseMaster()
{
    if (FMaster >= 0) {
        ::close(FMaster);
        FMaster = -1;
    }
}

void PtyPeer::Write(const std::vector<uint8_t>& Data)
{
    size_t done = 0;
    while (done < Data.size()) {
        const ssize_t n = ::write(FMaster, Data.data() + done, Data.size() - done);
        if (n > 0) {
            done += size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{FMaster, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else {
            throw std::runtime_error("pty write failed");
        }
    }
}

std::vector<uint8_t> PtyPeer::Read(size_t Count, std::chrono::milliseconds Timeout)
{
    return ReadFrom(FMaster, Count, Timeout);
}

std::vector<uint8_t> ReadFrom(int Fd, size_t Count, std::chrono::milliseconds Timeout)
{
    std::vector<uint8_t> out;
    const auto deadline = std::chrono::steady_clock::now() + Timeout;
    while (out.size() < Count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{Fd, POLLIN, 0};
        if (::poll(&p, 1, int(left.count())) <= 0)
            continue;
        uint8_t buf[4096];
        const ssize_t n = ::read(Fd, buf, std::min(sizeof buf, Count - out.size()));
        if (n > 0)
            out.insert(out.end(), buf, buf + n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return out;
}

std::vector<uint8_t> PtyPeer::ReadUntilQuiet(std::chrono::milliseconds Quiet,
    std::chrono::milliseconds Timeout)
{
    std::vector<uint8_t> out;
    const auto deadline = std::chrono::steady_clock::now() + Timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{FMaster, POLLIN, 0};
        if (::poll(&p, 1, int(Quiet.count())) <= 0)
            break;
        uint8_t buf[4096];
        const ssize_t n = ::read(FMaster, buf, sizeof buf);
        if (n > 0)
            out.insert(out.end(), buf, buf + n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return out;
}

std::vector<uint8_t> Bytes(std::initializer_list<int> List)
{
    std::vector<uint8_t> out;
    for (int v : List)
        out.push_back(uint8_t(v));
    return out;
}

std::string Hex(const std::vector<uint8_t>& Data)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < Data.size(); ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", Data[i]);
        s += b;
    }
    return s;
}

std::vector<uint8_t> WithSum(std::vector<uint8_t> Frame)
{
    uint8_t Sum = 0;
    for (uint8_t b : Frame)
        Sum = uint8_t(Sum + b);
    Frame.push_back(Sum);
    return Frame;
}

std::vector<uint8_t> Framed(std::vector<uint8_t> Body)
{
    Body.insert(Body.begin(), uint8_t(Body.size() + 1));
    return WithSum(std::move(Body));
}

std::string TerminalSettings(int Master)
{
    termios t{};
    if (::tcgetattr(Master, &t) != 0)
        return "(none)";
    return std::to_string(t.c_iflag) + " " + std::to_string(t.c_oflag) + " " + std::to_string(t.c_cflag) + " "
        + std::to_string(t.c_lflag);
}

std::string PendingOn(int Master)
{
    std::string bytes;
    char buffer[256];
    for (ssize_t n; (n = ::read(Master, buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, size_t(n));
    return bytes;
}
