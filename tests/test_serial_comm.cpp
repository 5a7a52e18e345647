// The serial port component against a real pseudo-terminal: the test plays
// the reader on the master side.

#include "serial/Comm.h"
#include "support/PtyPeer.h"

#include <gtest/gtest.h>

#include <QThread>

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

std::string OpenError(TComm& Comm)
{
    try {
        Comm.OpenPort();
    } catch (const ECommsError& e) {
        return e.what();
    }
    return "opened";
}

// The component's own threads still running (they name themselves Com...).
int ThreadCount()
{
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
            std::string name;
            std::getline(comm, name);
            if (name.rfind("Com", 0) == 0)
                ++n;
        }
        ::closedir(d);
    }
    return n;
}

double CpuSeconds()
{
    rusage u {};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec)
        + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::vector<uint8_t> Pattern(size_t Count, int Seed = 0)
{
    std::vector<uint8_t> out(Count);
    for (size_t i = 0; i < Count; ++i)
        out[i] = uint8_t((i * 7 + size_t(Seed)) % 251 + 1); // never 0
    return out;
}

// Records every event the component fires, with the thread it ran on.
struct Recorder {
    std::vector<std::vector<uint8_t>> Chunks;
    std::vector<bool> ZeroAfter;
    int SendEmpty = 0;
    int Hangups = 0;
    bool OffThread = false;

    void Attach(TComm& Comm)
    {
        QThread* home = QThread::currentThread();
        Comm.OnReceiveData = [this, home](TComm*, const void* Buffer, uint16_t Length) {
            OffThread |= QThread::currentThread() != home;
            auto* p = static_cast<const uint8_t*>(Buffer);
            Chunks.emplace_back(p, p + Length);
            ZeroAfter.push_back(p[Length] == 0);
        };
        Comm.OnSendDataEmpty = [this, home](TComm*) {
            OffThread |= QThread::currentThread() != home;
            ++SendEmpty;
        };
        Comm.OnRequestHangup = [this, home](TComm*) {
            OffThread |= QThread::currentThread() != home;
            ++Hangups;
        };
    }
    std::vector<uint8_t> All() const
    {
        std::vector<uint8_t> out;
        for (const auto& c : Chunks)
            out.insert(out.end(), c.begin(), c.end());
        return out;
    }
};

class SerialComm : public ::testing::Test {
protected:
    void SetUp() override
    {
        Comm.SetCommName(Peer.SlavePath());
        // The values the main window's port uses.
        Comm.SetDtrControl(TDtrControl::DtrDisable);
        Comm.SetRtsControl(TRtsControl::RtsDisable);
        Rec.Attach(Comm);
    }

    PtyPeer Peer;
    TComm Comm;
    Recorder Rec;
};

} // namespace

TEST_F(SerialComm, OpenPortFailuresLeaveItClosedAndALaterOpenWorks)
{
    Comm.SetCommName("/nonexistent/ttyX");
    EXPECT_EQ(OpenError(Comm), "Error opening serial port");
    EXPECT_FALSE(Comm.IsOpen());

    Comm.SetCommName("LPT1");
    EXPECT_EQ(OpenError(Comm), "Error opening serial port");

    Comm.SetCommName("/dev/null");
    EXPECT_EQ(OpenError(Comm), "File handle is not a comm handle ");
    EXPECT_FALSE(Comm.IsOpen());

    char path[] = "/tmp/orvelle-serial-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    Comm.SetCommName(path);
    EXPECT_EQ(OpenError(Comm), "File handle is not a comm handle ");
    EXPECT_FALSE(Comm.IsOpen());
    ::unlink(path);

    EXPECT_FALSE(Comm.WriteData("x", 1));

    // No thread is left behind by the failures.
    const int threads = ThreadCount();
    Comm.SetCommName(Peer.SlavePath());
    EXPECT_EQ(OpenError(Comm), "opened");
    EXPECT_TRUE(Comm.IsOpen());
    EXPECT_EQ(ThreadCount(), threads + 2);
}

TEST_F(SerialComm, AnotherLineDisciplineGivesNoCommBuffer)
{
    // Only a discipline the kernel already has is tried, so nothing gets
    // loaded for the test.
    std::ifstream ldiscs("/proc/tty/ldiscs");
    std::string all((std::istreambuf_iterator<char>(ldiscs)), std::istreambuf_iterator<char>());
    if (all.find("n_null") == std::string::npos)
        GTEST_SKIP() << "no second line discipline registered";
    const int fd = ::open(Peer.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int discipline = 27; // N_NULL
    if (::ioctl(fd, TIOCSETD, &discipline) != 0) {
        ::close(fd);
        GTEST_SKIP() << "line discipline cannot be changed here";
    }
    EXPECT_EQ(OpenError(Comm), "Cannot setup comm buffer");
    EXPECT_FALSE(Comm.IsOpen());
    EXPECT_EQ(ThreadCount(), 0);

    discipline = N_TTY;
    ASSERT_EQ(::ioctl(fd, TIOCSETD, &discipline), 0);
    ::close(fd);
    EXPECT_EQ(OpenError(Comm), "opened");
}

TEST_F(SerialComm, SecondOpenIsRefusedAndTheFirstPortKeepsWorking)
{
    Comm.OpenPort();
    EXPECT_EQ(OpenError(Comm), "This serial port already opened");
    EXPECT_TRUE(Comm.IsOpen());

    // The port is held: neither a second component nor CommName changes get in.
    TComm other;
    other.SetCommName(Peer.SlavePath());
    EXPECT_EQ(OpenError(other), "Error opening serial port");
    EXPECT_FALSE(other.IsOpen());
    Comm.SetCommName("/dev/null");

    ASSERT_TRUE(Comm.WriteData("\x03\x01\x04", 3));
    EXPECT_EQ(Hex(Peer.Read(3, 10s)), "03 01 04");

    // Once released, the other component may have it.
    Comm.ClosePort();
    EXPECT_EQ(OpenError(other), "opened");
}

TEST_F(SerialComm, ClosePortIsSafeTwiceAndWriteDataRefusesWhatItCannotQueue)
{
    Comm.ClosePort(); // closed already: nothing
    EXPECT_FALSE(Comm.WriteData("abc", 3));

    const int threads = ThreadCount();
    Comm.OpenPort();
    EXPECT_FALSE(Comm.WriteData("abc", 0));
    EXPECT_FALSE(Comm.WriteData(nullptr, 3));
    Comm.ClosePort();
    Comm.ClosePort();
    EXPECT_FALSE(Comm.IsOpen());
    EXPECT_EQ(ThreadCount(), threads);
    EXPECT_FALSE(Comm.WriteData("abc", 3));
    EXPECT_TRUE(Comm.SendDataEmpty());

    // Nothing of the refused writes reached the line.
    EXPECT_TRUE(Peer.ReadUntilQuiet(300ms, 2s).empty());

    // Open again after a close: the way the port setting is changed.
    Comm.OpenPort();
    ASSERT_TRUE(Comm.WriteData("\x7f", 1));
    EXPECT_EQ(Hex(Peer.Read(1, 10s)), "7F");
}

TEST_F(SerialComm, WrittenBlocksReachTheLineWholeAndInOrder)
{
    Comm.OpenPort();
    std::vector<uint8_t> expected;
    for (int i = 0; i < 60; ++i) {
        const auto block = Pattern(size_t(1 + i * 37 % 700), i);
        ASSERT_TRUE(Comm.WriteData(block.data(), uint16_t(block.size())));
        expected.insert(expected.end(), block.begin(), block.end());
    }
    const auto got = Peer.Read(expected.size(), 20s);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
    EXPECT_TRUE(Peer.ReadUntilQuiet(300ms, 2s).empty());
}

TEST_F(SerialComm, ReceivedBytesArriveInChunksEndedByLineSilence)
{
    Comm.OpenPort();

    // One burst: one call, with the zero byte after the data in the block.
    Peer.Write(Bytes({0x09, 0x00, 0x04, 0x00, 0x12, 0x34, 0x56}));
    ASSERT_TRUE(WaitUntil([&] { return Rec.Chunks.size() == 1; }));
    EXPECT_EQ(Hex(Rec.Chunks[0]), "09 00 04 00 12 34 56");
    EXPECT_TRUE(Rec.ZeroAfter[0]);

    // A pause longer than the read interval splits a reply in two.
    Peer.Write(Bytes({1, 2, 3}));
    ASSERT_TRUE(WaitUntil([&] { return Rec.Chunks.size() == 2; }));
    Peer.Write(Bytes({4, 5}));
    ASSERT_TRUE(WaitUntil([&] { return Rec.Chunks.size() == 3; }));
    EXPECT_EQ(Hex(Rec.Chunks[1]), "01 02 03");
    EXPECT_EQ(Hex(Rec.Chunks[2]), "04 05");

    // A long stream comes in chunks of at most 2048 bytes, all of it, in order.
    Rec.Chunks.clear();
    Rec.ZeroAfter.clear();
    const auto stream = Pattern(5000);
    Peer.Write(stream);
    ASSERT_TRUE(WaitUntil([&] { return Rec.All().size() >= stream.size(); }, 20s));
    EXPECT_TRUE(Rec.All() == stream);
    EXPECT_GE(Rec.Chunks.size(), 3u);
    for (size_t i = 0; i < Rec.Chunks.size(); ++i) {
        EXPECT_LE(Rec.Chunks[i].size(), 2048u);
        EXPECT_TRUE(Rec.ZeroAfter[i]);
    }
    EXPECT_FALSE(Rec.OffThread);
}

TEST_F(SerialComm, ReadTimeoutsSetWhileOpenShapeTheNextChunks)
{
    Comm.OpenPort();
    // A long interval joins what a short pause would split.
    Comm.SetReadIntervalTimeout(2000);
    Peer.Write(Bytes({0xA1, 0xA2}));
    std::this_thread::sleep_for(150ms);
    Peer.Write(Bytes({0xA3}));
    ASSERT_TRUE(WaitUntil([&] { return !Rec.Chunks.empty(); }, 20s));
    EXPECT_EQ(Hex(Rec.Chunks[0]), "A1 A2 A3");

    // Interval "return at once" with no totals: each arrival is delivered as
    // it comes, and an idle line costs nothing (no zero-byte spinning).
    Comm.SetReadIntervalTimeout(0xFFFFFFFFu);
    Peer.Write(Bytes({0xB1}));
    ASSERT_TRUE(WaitUntil([&] { return Rec.All().size() == 4; }));
    Peer.Write(Bytes({0xB2}));
    ASSERT_TRUE(WaitUntil([&] { return Rec.All().size() == 5; }));
    const double before = CpuSeconds();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(CpuSeconds() - before, 0.3);

    // A total limit alone (no interval) ends a read that is not yet full.
    Comm.SetReadIntervalTimeout(0);
    Comm.SetReadTotalTimeoutConstant(200);
    Peer.Write(Bytes({0xC1}));
    ASSERT_TRUE(WaitUntil([&] { return Rec.All().size() == 6; }));
    Peer.Write(Bytes({0xC2, 0xC3}));
    ASSERT_TRUE(WaitUntil([&] { return Rec.All().size() == 8; }, 20s));
    EXPECT_EQ(Hex(Rec.All()), "A1 A2 A3 B1 B2 C1 C2 C3");
}

TEST_F(SerialComm, SendDataEmptyFiresAtOpenAndOnceAfterABackToBackRun)
{
    Comm.OpenPort();
    EXPECT_TRUE(Comm.SendDataEmpty());
    ASSERT_TRUE(WaitUntil([&] { return Rec.SendEmpty == 1; }));

    // The first block is larger than the pseudo-terminal holds, so it cannot
    // be finished before the peer reads: the other two wait in the queue.
    const auto big = Pattern(60000, 3);
    const auto b2 = Pattern(10, 4);
    const auto b3 = Pattern(20, 5);
    ASSERT_TRUE(Comm.WriteData(big.data(), uint16_t(big.size())));
    ASSERT_TRUE(Comm.WriteData(b2.data(), uint16_t(b2.size())));
    ASSERT_TRUE(Comm.WriteData(b3.data(), uint16_t(b3.size())));
    EXPECT_FALSE(Comm.SendDataEmpty());

    const auto got = Peer.Read(big.size() + b2.size() + b3.size(), 20s);
    ASSERT_EQ(got.size(), big.size() + b2.size() + b3.size());
    ASSERT_TRUE(WaitUntil([&] { return Rec.SendEmpty == 2; }));
    EXPECT_TRUE(Comm.SendDataEmpty());
    WaitUntil([] { return false; }, 500ms);
    EXPECT_EQ(Rec.SendEmpty, 2);
    EXPECT_FALSE(Rec.OffThread);

    // Every open starts with one.
    Comm.ClosePort();
    Comm.OpenPort();
    ASSERT_TRUE(WaitUntil([&] { return Rec.SendEmpty == 3; }));
}

TEST_F(SerialComm, ClosePortReturnsWhileAWriteIsHeldUp)
{
    Comm.OpenPort();
    // The peer reads nothing, so the write thread waits for room.
    const auto big = Pattern(60000);
    ASSERT_TRUE(Comm.WriteData(big.data(), uint16_t(big.size())));
    ASSERT_TRUE(Comm.WriteData(big.data(), uint16_t(big.size())));
    std::this_thread::sleep_for(200ms);

    const auto start = std::chrono::steady_clock::now();
    Comm.ClosePort();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_FALSE(Comm.IsOpen());
    EXPECT_TRUE(Comm.SendDataEmpty());

    // XON/XOFF flow control holding the line: same.
    Peer.ReadUntilQuiet(200ms, 5s);
    Comm.SetOutx_XonXoffFlow(true);
    Comm.OpenPort();
    Peer.Write(Bytes({0x13})); // XOFF
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(Comm.WriteData("held", 4));
    const auto start2 = std::chrono::steady_clock::now();
    Comm.ClosePort();
    EXPECT_LT(std::chrono::steady_clock::now() - start2, 5s);
}

TEST_F(SerialComm, NotificationsPostedBeforeCloseAreStillDelivered)
{
    Comm.SetReadIntervalTimeout(0xFFFFFFFFu); // deliver at once
    Comm.OpenPort();
    Peer.Write(Bytes({0x55, 0x66}));
    // No event processing here: the chunk waits in the queue. (The read
    // passes it on within milliseconds; the pause is generous for a busy
    // machine.)
    std::this_thread::sleep_for(3s);
    Comm.ClosePort();
    EXPECT_TRUE(Rec.Chunks.empty());
    ASSERT_TRUE(WaitUntil([&] { return !Rec.Chunks.empty(); }));
    EXPECT_EQ(Hex(Rec.All()), "55 66");
}

TEST_F(SerialComm, DataWithoutAHandlerIsDroppedAndReleased)
{
    // Under the address sanitizer a block that is never freed shows as a leak.
    Comm.OnReceiveData = nullptr;
    Comm.OpenPort();
    Peer.Write(Pattern(3000));
    WaitUntil([] { return false; }, 1500ms);

    // Nothing of it is kept for a handler assigned later.
    Rec.Attach(Comm);
    Peer.Write(Bytes({0xEE, 0xEF}));
    ASSERT_TRUE(WaitUntil([&] { return !Rec.Chunks.empty(); }));
    WaitUntil([] { return false; }, 300ms);
    EXPECT_EQ(Hex(Rec.All()), "EE EF");
}

TEST_F(SerialComm, AVanishedDeviceAsksForHangupOnceWithoutSpinning)
{
    const int threads = ThreadCount();
    Comm.OpenPort();
    ASSERT_TRUE(WaitUntil([&] { return Rec.SendEmpty == 1; }));
    Peer.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return Rec.Hangups == 1; }));
    const double before = CpuSeconds();
    WaitUntil([] { return false; }, 1500ms);
    EXPECT_LT(CpuSeconds() - before, 0.5);
    EXPECT_EQ(Rec.Hangups, 1);
    EXPECT_FALSE(Rec.OffThread);

    // The read thread has ended; the component stays open until closed.
    EXPECT_EQ(ThreadCount(), threads + 1);
    EXPECT_TRUE(Comm.IsOpen());

    // A write meets the dead line: the write thread ends as well, and from
    // then on nothing more is accepted.
    ASSERT_TRUE(Comm.WriteData("x", 1));
    ASSERT_TRUE(WaitUntil([&] { return Rec.Hangups == 2; }));
    ASSERT_TRUE(WaitUntil([&] { return ThreadCount() == threads; }));
    EXPECT_FALSE(Comm.WriteData("y", 1));
    EXPECT_TRUE(Comm.SendDataEmpty());

    Comm.ClosePort();
    EXPECT_FALSE(Comm.IsOpen());
    EXPECT_EQ(Rec.Hangups, 2);
}

TEST(SerialCommLifetime, DestroyingAnOpenComponentEndsItsThreads)
{
    PtyPeer peer;
    const int threads = ThreadCount();
    {
        TComm comm;
        comm.SetCommName(peer.SlavePath());
        comm.OpenPort();
        EXPECT_EQ(ThreadCount(), threads + 2);
        ASSERT_TRUE(comm.WriteData("bye", 3));
        EXPECT_EQ(Hex(peer.Read(3, 10s)), "62 79 65");
        peer.Write(Bytes({1, 2, 3}));
        std::this_thread::sleep_for(300ms);
    }
    EXPECT_EQ(ThreadCount(), threads);
    // Pending notifications went with it.
    WaitUntil([] { return false; }, 300ms);
}

TEST(SerialCommLifetime, ThreadsReportOnTheConstructingThread)
{
    PtyPeer peer;
    TComm comm;
    comm.SetCommName(peer.SlavePath());
    std::thread::id seen;
    int calls = 0;
    comm.OnReceiveData = [&](TComm* Sender, const void*, uint16_t) {
        EXPECT_EQ(Sender, &comm);
        seen = std::this_thread::get_id();
        ++calls;
    };
    comm.OpenPort();
    peer.Write(Bytes({0x42}));
    ASSERT_TRUE(WaitUntil([&] { return calls == 1; }));
    EXPECT_EQ(seen, std::this_thread::get_id());
}

TEST(SerialCommLifetime, AHandlerMayDestroyTheComponent)
{
    PtyPeer peer;
    auto* comm = new TComm;
    comm->SetCommName(peer.SlavePath());
    int calls = 0;
    comm->OnReceiveData = [&](TComm* Sender, const void* Buffer, uint16_t Length) {
        ++calls;
        EXPECT_EQ(Length, 2);
        EXPECT_EQ(static_cast<const uint8_t*>(Buffer)[1], 0x22);
        delete Sender; // the port closes and its threads end right here
    };
    comm->OpenPort();
    peer.Write(Bytes({0x11, 0x22}));
    ASSERT_TRUE(WaitUntil([&] { return calls == 1; }));
    EXPECT_EQ(ThreadCount(), 0);
    // Whatever was still queued for it goes without firing anything.
    peer.Write(Bytes({0x33}));
    WaitUntil([] { return false; }, 500ms);
    EXPECT_EQ(calls, 1);
}
