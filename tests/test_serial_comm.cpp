// The serial port component against a real pseudo-terminal: the test plays
// the reader on the master side.

#include "protocol/Frame.h"
#include "serial/Comm.h"
#include "serial/OpenFailure.h"
#include "support/PtyPeer.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

// Waits until exactly Expected of the component's threads are listed. A
// thread that has been joined can still be listed for a moment, so a count
// is always waited for, never read once.
bool ThreadCountIs(int Expected)
{
    return WaitUntil([&] { return ThreadCount() == Expected; });
}

// Bytes waiting at the master side, written by the component.
int PendingAtMaster(const PtyPeer& Peer)
{
    int count = 0;
    return ::ioctl(Peer.MasterFd(), FIONREAD, &count) == 0 ? count : 0;
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

TEST_F(SerialComm, OpenPortFailuresKeepTheirCauseLeaveItClosedAndALaterOpenWorks)
{
    char file[] = "/tmp/orvelle-serial-XXXXXX";
    const int fd = ::mkstemp(file);
    ASSERT_GE(fd, 0);
    ::close(fd);
    // Another component holds the pseudo-terminal until the last row.
    TComm holder;
    holder.SetCommName(Peer.SlavePath());
    holder.OpenPort();

    // The words end with the next step that fits the cause.
    const std::string seePorts = "; see orvelle-card ports";
    const std::string closeIt = "; close the other program";
    const struct {
        std::string Name;
        const char* Message;
        std::errc Cause;
        std::string Next;
    } cases[] = {
        {"/nonexistent/ttyX", "Error opening serial port", std::errc::no_such_file_or_directory, seePorts},
        {"LPT1", "Error opening serial port", std::errc::no_such_device, seePorts},
        {Peer.SlavePath(), "Error opening serial port", std::errc::device_or_resource_busy, closeIt},
        {"/dev/null", "File handle is not a comm handle ", std::errc::inappropriate_io_control_operation, seePorts},
        {file, "File handle is not a comm handle ", std::errc::inappropriate_io_control_operation, seePorts},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Comm.SetCommName(c.Name);
        try {
            Comm.OpenPort();
            ADD_FAILURE() << "opened";
        } catch (const ECommsError& e) {
            EXPECT_STREQ(e.what(), c.Message);
            EXPECT_EQ(e.code(), std::make_error_code(c.Cause)) << e.code().message();
            // What standard error gets: the cause, and only the advice that fits it.
            const std::string text = DescribeOpenFailure("COM1", c.Name, e);
            EXPECT_EQ(text, "cannot open COM1 (" + c.Name + "): " + std::make_error_code(c.Cause).message() + c.Next);
        }
        EXPECT_FALSE(Comm.IsOpen());
    }
    ::unlink(file);
    EXPECT_FALSE(Comm.WriteData("x", 1));

    // A permission error, which root never meets, adds the way into the
    // dialout group.
    for (const int err : {EACCES, EPERM}) {
        const std::string text
            = DescribeOpenFailure("COM1", "/dev/ttyUSB0", ECommsError(err, "Error opening serial port"));
        EXPECT_EQ(text.rfind("cannot open COM1 (/dev/ttyUSB0): " + std::generic_category().message(err) + ". ", 0), 0u)
            << text;
        EXPECT_NE(text.find("dialout"), std::string::npos) << text;
        EXPECT_NE(text.find("sudo usermod -aG dialout \"$USER\""), std::string::npos) << text;
    }
    // Who holds a busy port, where the lock says so.
    EXPECT_EQ(DescribeOpenFailure("COM2", "/dev/ttyUSB1", ECommsError(EBUSY, "Error opening serial port"), "pid 4242 (minicom)"),
        "cannot open COM2 (/dev/ttyUSB1): " + std::generic_category().message(EBUSY)
            + ", held by pid 4242 (minicom); close the other program");
    // A reader that does not answer on an open port: what to check.
    EXPECT_EQ(DescribeSilentReader("COM1", "/dev/ttyUSB0"),
        "the reader on COM1 (/dev/ttyUSB0) does not answer; check the reader's power and cable, and the port map "
        "(orvelle-card ports --probe)");
    EXPECT_EQ(DescribeSilentReader("/dev/ttyUSB0", "/dev/ttyUSB0").rfind("the reader on /dev/ttyUSB0 does not answer; ", 0), 0u);

    // No thread is left behind by the failures.
    holder.ClosePort();
    EXPECT_TRUE(ThreadCountIs(0)) << ThreadCount();
    Comm.SetCommName(Peer.SlavePath());
    EXPECT_EQ(OpenError(Comm), "opened");
    EXPECT_TRUE(Comm.IsOpen());
    EXPECT_TRUE(ThreadCountIs(2)) << ThreadCount();
    // Opening again is refused for the port this component holds itself.
    try {
        Comm.OpenPort();
        ADD_FAILURE() << "opened twice";
    } catch (const ECommsError& e) {
        EXPECT_EQ(e.code(), std::errc::device_or_resource_busy);
    }
}

// The carrier and ring watch is a thread of its own: it runs only for an
// owner that listens, on a line whose driver counts the modem lines.
// Pseudo-terminals do not; a real port to try, one whose line settings may
// be changed, can be named in ORVELLE_TEST_MODEM_PORT.
TEST_F(SerialComm, ModemWatchRunsOnlyForAHandlerSetAtOpenOnALineWithModemCounters)
{
    const char* modemPort = std::getenv("ORVELLE_TEST_MODEM_PORT");
    struct Case {
        std::string Port;
        bool Handler;
        bool Watched;
    };
    std::vector<Case> cases{{Peer.SlavePath(), false, false}, {Peer.SlavePath(), true, false}};
    if (modemPort && *modemPort) {
        cases.push_back({modemPort, false, false});
        cases.push_back({modemPort, true, true});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Port + (c.Handler ? " with a handler" : " without a handler"));
        Comm.SetCommName(c.Port);
        if (c.Handler)
            Comm.OnModemStateChange = [](TComm*, uint32_t) {};
        else
            Comm.OnModemStateChange = nullptr;
        Comm.OpenPort();
        EXPECT_EQ(Comm.ModemWatchRunning(), c.Watched);
        EXPECT_TRUE(ThreadCountIs(c.Watched ? 3 : 2)) << ThreadCount();
        // Setting a handler on the open port starts nothing.
        Comm.OnModemStateChange = [](TComm*, uint32_t) {};
        EXPECT_EQ(Comm.ModemWatchRunning(), c.Watched);
        Comm.ClosePort();
        EXPECT_FALSE(Comm.ModemWatchRunning());
        EXPECT_TRUE(ThreadCountIs(0)) << ThreadCount();
    }
    if (!modemPort || !*modemPort)
        GTEST_SKIP() << "no port with modem lines named in ORVELLE_TEST_MODEM_PORT; only pseudo-terminals tried";
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
    EXPECT_TRUE(ThreadCountIs(0)) << ThreadCount();

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

    Comm.OpenPort();
    EXPECT_FALSE(Comm.WriteData("abc", 0));
    EXPECT_FALSE(Comm.WriteData(nullptr, 3));
    Comm.ClosePort();
    Comm.ClosePort();
    EXPECT_FALSE(Comm.IsOpen());
    EXPECT_TRUE(ThreadCountIs(0)) << ThreadCount();
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
    // A long interval joins what the default one would split at a pause of
    // 150 ms. The interval is a minute, so no stall of this test can pass
    // for line silence: the chunk ends only when the read buffer is full.
    Comm.SetReadIntervalTimeout(60000);
    std::vector<uint8_t> joined = Bytes({0xA1, 0xA2});
    Peer.Write(joined);
    std::this_thread::sleep_for(150ms); // the pause on the line
    const auto rest = Pattern(2046);
    Peer.Write(rest);
    joined.insert(joined.end(), rest.begin(), rest.end());
    ASSERT_TRUE(WaitUntil([&] { return !Rec.Chunks.empty(); }, 20s));
    EXPECT_TRUE(Rec.Chunks[0] == joined) << Rec.Chunks[0].size();
    Rec.Chunks.clear();

    // Interval "return at once" with no totals: each arrival is delivered as
    // it comes. (That an idle line then costs nothing, with no zero-byte
    // reads, is measured by bench_serial_idle.)
    Comm.SetReadIntervalTimeout(0xFFFFFFFFu);
    Peer.Write(Bytes({0xB1}));
    ASSERT_TRUE(WaitUntil([&] { return Rec.All().size() == 1; }));
    Peer.Write(Bytes({0xB2}));
    ASSERT_TRUE(WaitUntil([&] { return Rec.All().size() == 2; }));

    // A total limit alone (no interval) ends a read that is not yet full.
    Comm.SetReadIntervalTimeout(0);
    Comm.SetReadTotalTimeoutConstant(200);
    Peer.Write(Bytes({0xC1}));
    ASSERT_TRUE(WaitUntil([&] { return Rec.All().size() == 3; }));
    Peer.Write(Bytes({0xC2, 0xC3}));
    ASSERT_TRUE(WaitUntil([&] { return Rec.All().size() == 5; }, 20s));
    EXPECT_EQ(Hex(Rec.All()), "B1 B2 C1 C2 C3");
}

TEST_F(SerialComm, TheFirstChunkAfterAPurgeEndsWhereItsOwnRuleSaysItIsWhole)
{
    // A minute's interval: no chunk below ends by line silence in this test.
    Comm.SetReadIntervalTimeout(60000);
    Comm.SetFirstChunkWhole(&StartsWithWholeFrame);
    Comm.OpenPort();
    const std::vector<uint8_t> frame = Bytes({0x03, 0x00, 0x05, 0x08});
    const std::vector<uint8_t> spoilt = Bytes({0x03, 0x00, 0x05, 0x09});
    const auto fill = Pattern(2044); // to the read buffer's 2048 bytes
    const struct {
        const char* What;
        bool Purge;
        std::vector<uint8_t> First;
        size_t Chunk; // bytes of the chunk handed on
    } cases[] = {
        {"a whole frame that checks, first after the purge", true, frame, 4},
        {"the same frame again, with no purge before it", false, frame, 2048},
        {"a frame that does not check", true, spoilt, 2048},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        Rec.Chunks.clear();
        if (c.Purge)
            Comm.PurgeInput();
        const uint64_t before = Comm.ReceivedBytes();
        Peer.Write(c.First);
        if (c.Chunk > c.First.size()) {
            // Taken on its own first, so that the rule sees it alone.
            ASSERT_TRUE(WaitWithoutEvents([&] { return Comm.ReceivedBytes() == before + c.First.size(); }));
            Peer.Write(fill);
        }
        ASSERT_TRUE(WaitUntil([&] { return !Rec.Chunks.empty(); }, 20s));
        EXPECT_EQ(Rec.Chunks[0].size(), c.Chunk);
        EXPECT_TRUE(std::equal(c.First.begin(), c.First.end(), Rec.Chunks[0].begin()));
    }
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

    // Closing ends the write thread, so all it ever posted is queued now:
    // there was no third one.
    Comm.ClosePort();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(Rec.SendEmpty, 2);
    EXPECT_FALSE(Rec.OffThread);

    // Every open starts with one.
    Comm.OpenPort();
    ASSERT_TRUE(WaitUntil([&] { return Rec.SendEmpty == 3; }));
}

TEST_F(SerialComm, ClosePortReturnsWhileAWriteIsHeldUp)
{
    // A close that waited for the line would never return here; the test
    // then runs into its time-out.
    Comm.OpenPort();
    // The peer reads nothing, so the write thread waits for room: the first
    // block is more than the pseudo-terminal holds, and it has begun once
    // bytes of it wait at the master side.
    const auto big = Pattern(60000);
    ASSERT_TRUE(Comm.WriteData(big.data(), uint16_t(big.size())));
    ASSERT_TRUE(Comm.WriteData(big.data(), uint16_t(big.size())));
    ASSERT_TRUE(WaitUntil([&] { return PendingAtMaster(Peer) > 0; }));

    Comm.ClosePort();
    EXPECT_FALSE(Comm.IsOpen());
    EXPECT_TRUE(Comm.SendDataEmpty());

    // XON/XOFF flow control holding the line: same.
    Peer.ReadUntilQuiet(200ms, 5s);
    Comm.SetOutx_XonXoffFlow(true);
    Comm.OpenPort();
    // The terminal takes input in order: once the byte after the XOFF has
    // reached the component, the XOFF has stopped its output.
    const uint64_t before = Comm.ReceivedBytes();
    Peer.Write(Bytes({0x13, 0x42})); // XOFF, then a byte to see it by
    ASSERT_TRUE(WaitUntil([&] { return Comm.ReceivedBytes() == before + 1; }));
    ASSERT_TRUE(Comm.WriteData("held", 4));
    Comm.ClosePort();
    EXPECT_FALSE(Comm.IsOpen());
}

TEST_F(SerialComm, NotificationsPostedBeforeCloseAreStillDelivered)
{
    Comm.SetReadIntervalTimeout(0xFFFFFFFFu); // deliver at once
    Comm.OpenPort();
    Peer.Write(Bytes({0x55, 0x66}));
    // No event processing here: the chunk waits in the queue. A read that
    // returns at once posts its chunk right after taking the bytes, and
    // closing joins the read thread, so the chunk is queued by then.
    ASSERT_TRUE(WaitWithoutEvents([&] { return Comm.ReceivedBytes() == 2; }));
    Comm.ClosePort();
    EXPECT_TRUE(Rec.Chunks.empty());
    ASSERT_TRUE(WaitUntil([&] { return !Rec.Chunks.empty(); }));
    EXPECT_EQ(Hex(Rec.All()), "55 66");
}

TEST_F(SerialComm, PurgeInputDropsWhatCameBeforeAndStartsAFreshChunk)
{
    // Where the early bytes are when the purge comes.
    const struct {
        const char* Held;
        uint32_t ReadInterval;
    } cases[] = {
        // Still being collected: a minute of silence would end the chunk.
        {"in the chunk being collected", 60000},
        // Posted: a read that returns at once posts its chunk straight away.
        {"in a posted chunk", 0xFFFFFFFFu},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Held);
        Rec.Chunks.clear();
        Comm.SetReadIntervalTimeout(c.ReadInterval);
        Comm.OpenPort();
        const uint64_t before = Comm.ReceivedBytes();
        Peer.Write(Bytes({1, 2, 3}));
        // No event is handed out before the purge.
        ASSERT_TRUE(WaitWithoutEvents([&] { return Comm.ReceivedBytes() == before + 3; }));
        Comm.PurgeInput();

        Comm.SetReadIntervalTimeout(0xFFFFFFFFu);
        Peer.Write(Bytes({4, 5}));
        // Anything older would be handed out first.
        ASSERT_TRUE(WaitUntil([&] { return Rec.All().size() >= 2; }));
        EXPECT_EQ(Hex(Rec.All()), "04 05");
        Comm.ClosePort();
    }
}

TEST_F(SerialComm, DataWithoutAHandlerIsDroppedAndReleased)
{
    // Under the address sanitizer a block that is never freed shows as a leak.
    Comm.OnReceiveData = nullptr;
    Comm.OpenPort();
    const auto stream = Pattern(3000);
    Peer.Write(stream);
    ASSERT_TRUE(WaitUntil([&] { return Comm.ReceivedBytes() == stream.size(); }));
    // Closing ends the read thread, so whatever it posted is queued now;
    // handing it out finds no handler.
    Comm.ClosePort();
    QCoreApplication::sendPostedEvents();

    // Nothing of it is kept for a handler assigned later. Anything kept
    // would come first: notifications are handed out in posting order.
    Rec.Attach(Comm);
    Comm.OpenPort();
    Peer.Write(Bytes({0xEE, 0xEF}));
    ASSERT_TRUE(WaitUntil([&] { return Rec.All().size() >= 2; }));
    EXPECT_EQ(Hex(Rec.All()), "EE EF");
}

// What a hung-up port costs while it stays open (no spinning) is measured by
// bench_serial_idle.
TEST_F(SerialComm, AVanishedDeviceAsksForHangupOnce)
{
    ASSERT_TRUE(ThreadCountIs(0)) << ThreadCount();
    Comm.OpenPort();
    ASSERT_TRUE(WaitUntil([&] { return Rec.SendEmpty == 1; }));
    Peer.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return Rec.Hangups == 1; }));

    // The read thread has ended; the component stays open until closed.
    ASSERT_TRUE(ThreadCountIs(1)) << ThreadCount();
    EXPECT_TRUE(Comm.IsOpen());
    // With the read thread gone, all it posted is queued: one hang-up only.
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(Rec.Hangups, 1);
    EXPECT_FALSE(Rec.OffThread);

    // A write meets the dead line: the write thread ends as well, and from
    // then on nothing more is accepted.
    ASSERT_TRUE(Comm.WriteData("x", 1));
    ASSERT_TRUE(WaitUntil([&] { return Rec.Hangups == 2; }));
    ASSERT_TRUE(ThreadCountIs(0)) << ThreadCount();
    EXPECT_FALSE(Comm.WriteData("y", 1));
    EXPECT_TRUE(Comm.SendDataEmpty());

    Comm.ClosePort();
    EXPECT_FALSE(Comm.IsOpen());
    EXPECT_EQ(Rec.Hangups, 2);
}

TEST(SerialCommLifetime, DestroyingAnOpenComponentEndsItsThreads)
{
    PtyPeer peer;
    ASSERT_TRUE(ThreadCountIs(0)) << ThreadCount();
    {
        TComm comm;
        comm.SetCommName(peer.SlavePath());
        comm.SetReadIntervalTimeout(0xFFFFFFFFu); // a chunk is posted as soon as it is read
        comm.OpenPort();
        EXPECT_TRUE(ThreadCountIs(2)) << ThreadCount();
        ASSERT_TRUE(comm.WriteData("bye", 3));
        EXPECT_EQ(Hex(peer.Read(3, 10s)), "62 79 65");
        // A notification is left pending when the component goes.
        peer.Write(Bytes({1, 2, 3}));
        ASSERT_TRUE(WaitWithoutEvents([&] { return comm.ReceivedBytes() == 3; }));
    }
    EXPECT_TRUE(ThreadCountIs(0)) << ThreadCount();
    // Pending notifications went with it: handing out what is queued finds none.
    QCoreApplication::sendPostedEvents();
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
    EXPECT_TRUE(ThreadCountIs(0)) << ThreadCount();
    // Whatever was still queued for it goes without firing anything; the
    // port is closed, so later bytes reach nobody.
    peer.Write(Bytes({0x33}));
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, 1);
}
