// The simulator over a real pseudo-terminal: what a program opening the
// device sees, frame by frame, faults included.
#include "sim/SimServer.h"
#include "support/PtyPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;
using sim::Fault;
using sim::FaultKind;
using sim::SimServer;

namespace {

// The program's side of the line: the slave device opened raw.
class Line {
public:
    explicit Line(const std::string& Path)
    {
        Fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (Fd < 0)
            throw std::runtime_error("cannot open " + Path);
        termios tio{};
        ::tcgetattr(Fd, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(Fd, TCSANOW, &tio);
    }
    ~Line() { ::close(Fd); }
    void Send(const std::vector<uint8_t>& B)
    {
        ASSERT_EQ(::write(Fd, B.data(), B.size()), ssize_t(B.size()));
    }
    // Reads until Count bytes came or Timeout passed.
    std::vector<uint8_t> Receive(size_t Count, std::chrono::milliseconds Timeout = 5s)
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
            uint8_t buf[64];
            const ssize_t n = ::read(Fd, buf, std::min(sizeof buf, Count - out.size()));
            if (n > 0)
                out.insert(out.end(), buf, buf + n);
        }
        return out;
    }
    // Whatever arrives within Window (used to show that nothing came).
    std::vector<uint8_t> ReceiveFor(std::chrono::milliseconds Window) { return Receive(1000, Window); }
    std::vector<uint8_t> Exchange(const std::vector<uint8_t>& Request, size_t ReplySize)
    {
        Send(Request);
        return Receive(ReplySize);
    }
    int Fd = -1;
};

} // namespace

TEST(SimLine, AnswersTheBasicCommands)
{
    SimServer server;
    Line line(server.DevicePath());
    EXPECT_EQ(Hex(line.Exchange(Bytes({0x03, 0x12, 0x00, 0x15}), 4)), "03 12 00 15");
    EXPECT_EQ(Hex(line.Exchange(Bytes({0x03, 0x0A, 0x01, 0x0E}), 8)), "07 0A 01 12 34 56 78 26");
    EXPECT_EQ(Hex(line.Exchange(Bytes({0x02, 0x13, 0x15}), 3)), "02 13 15");
    EXPECT_EQ(Hex(line.Exchange(Bytes({0x03, 0x02, 0x00, 0x05}), 4)), "03 02 01 06");
    EXPECT_EQ(server.BeepCount(), 1);
    ASSERT_EQ(server.RequestsWithoutBeeps().size(), 3u);
    EXPECT_EQ(Hex(server.RequestsWithoutBeeps()[1]), "03 0A 01 0E");
    EXPECT_EQ(server.Requests().size(), 4u);
    // Each request and each reply is in the log, in order.
    const auto log = server.Log();
    ASSERT_EQ(log.size(), 8u);
    for (size_t i = 0; i < log.size(); ++i)
        EXPECT_EQ(log[i].FromProgram, i % 2 == 0) << i;
    EXPECT_LE(log[0].When, log[1].When);
}

TEST(SimLine, ProgramMayCloseAndReopenThePort)
{
    SimServer server;
    for (int i = 0; i < 3; ++i) {
        Line line(server.DevicePath());
        EXPECT_EQ(Hex(line.Exchange(Bytes({0x03, 0x12, 0x00, 0x15}), 4)), "03 12 00 15") << i;
    }
    EXPECT_EQ(server.Requests().size(), 3u);
}
