// The simulator over a real pseudo-terminal: what a program opening the
// device sees, frame by frame, faults included.
#include "sim/SimServer.h"
#include "support/PtyPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

using namespace std::chrono_literals;
using sim::TFault;
using sim::TFaultKind;
using sim::TSimServer;

namespace {

// The program's side of the line: the slave device opened raw.
class TLine {
public:
    explicit TLine(const std::string& Path)
    {
        Fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (Fd < 0)
            throw std::runtime_error("cannot open " + Path);
        termios tio{};
        ::tcgetattr(Fd, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(Fd, TCSANOW, &tio);
    }
    ~TLine() { ::close(Fd); }
    void Send(const std::vector<uint8_t>& B)
    {
        ASSERT_EQ(::write(Fd, B.data(), B.size()), ssize_t(B.size()));
    }
    // Reads until Count bytes came or Timeout passed.
    std::vector<uint8_t> Receive(size_t Count, std::chrono::milliseconds Timeout = 5s)
    {
        return ReadFrom(Fd, Count, Timeout);
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
    TSimServer server;
    TLine line(server.DevicePath());
    EXPECT_EQ(Hex(line.Exchange(Bytes({0x03, 0x12, 0x00, 0x15}), 4)), "03 12 00 15");
    EXPECT_EQ(Hex(line.Exchange(Bytes({0x03, 0x0A, 0x01, 0x0E}), 8)), "07 0A 01 12 34 56 78 26");
    EXPECT_EQ(Hex(line.Exchange(Bytes({0x02, 0x13, 0x15}), 3)), "02 13 15");
    EXPECT_EQ(Hex(line.Exchange(Bytes({0x03, 0x02, 0x00, 0x05}), 4)), "03 02 01 06");
    EXPECT_EQ(server.BeepCount(), 1);
    // A write request without its last byte (its checksum, 03), then
    // silence: the reader drops it after its inter-character time-out
    // instead of taking the link test's first byte for its checksum.
    std::vector<uint8_t> unfinished = {0x13, 0x07, 0x04};
    unfinished.resize(18, 0x11);
    unfinished.push_back(0xE6);
    line.Send(unfinished);
    ASSERT_TRUE(WaitUntil([&] { return server.Drops().UnfinishedRequests == 1; }));
    EXPECT_EQ(Hex(line.Exchange(Bytes({0x03, 0x12, 0x00, 0x15}), 4)), "03 12 00 15");
    EXPECT_EQ(Hex(server.Requests().back()), "03 12 00 15");
    server.ClearRequests();
    EXPECT_TRUE(server.Requests().empty());
    for (const auto& r : {Bytes({0x03, 0x12, 0x00, 0x15}), Bytes({0x03, 0x0A, 0x01, 0x0E}),
             Bytes({0x02, 0x13, 0x15}), Bytes({0x03, 0x02, 0x00, 0x05})})
        line.Exchange(r, r[0] == 0x03 && r[1] == 0x0A ? 8 : r.size());
    ASSERT_EQ(server.RequestsWithoutBeeps().size(), 3u);
    EXPECT_EQ(Hex(server.RequestsWithoutBeeps()[1]), "03 0A 01 0E");
    EXPECT_EQ(server.Requests().size(), 4u);
    // Each request and each reply is in the log, in order.
    const auto log = server.Log();
    ASSERT_EQ(log.size(), 18u);
    for (size_t i = 0; i < log.size(); ++i)
        EXPECT_EQ(log[i].FromProgram, i % 2 == 0) << i;
    EXPECT_LE(log[0].When, log[1].When);
}

TEST(SimLine, ProgramMayCloseAndReopenThePort)
{
    TSimServer server;
    for (int i = 0; i < 3; ++i) {
        TLine line(server.DevicePath());
        EXPECT_EQ(Hex(line.Exchange(Bytes({0x03, 0x12, 0x00, 0x15}), 4)), "03 12 00 15") << i;
    }
    EXPECT_EQ(server.Requests().size(), 3u);
}

namespace {

std::vector<uint8_t> Frame(std::vector<uint8_t> Body) { return Framed(std::move(Body)); }

std::array<uint8_t, 16> Filled(uint8_t V)
{
    std::array<uint8_t, 16> b;
    b.fill(V);
    return b;
}

std::vector<uint8_t> WriteReq(int Block, uint8_t V)
{
    std::vector<uint8_t> body = {0x07, uint8_t(Block)};
    for (int i = 0; i < 16; ++i)
        body.push_back(V);
    return Frame(body);
}

const std::vector<uint8_t> LinkTest = {0x03, 0x12, 0x00, 0x15};
const std::vector<uint8_t> ReadBlock4 = {0x03, 0x06, 0x04, 0x0D};

} // namespace

TEST(SimLine, RepliesNobodyReadsAreCappedAndDroppedWhenThePortCloses)
{
    TSimServer server;
    std::atomic<int> requests{0};
    server.SetObserver([&](const TSimServer::TRecord& R) { requests += R.FromProgram; });
    {
        TLine line(server.DevicePath());
        ASSERT_EQ(Hex(line.Exchange(Bytes({0x03, 0x0A, 0x00, 0x0D}), 8)), "07 0A 01 12 34 56 78 26");
        ASSERT_EQ(Hex(line.Exchange(Bytes({0x04, 0x05, 0x01, 0x00, 0x0A}), 3)), "02 05 07");
        // 19-byte replies to 4-byte requests, never read: far more than the
        // line and the backlog hold.
        std::vector<uint8_t> flood;
        for (int i = 0; i < 3000; ++i)
            flood.insert(flood.end(), ReadBlock4.begin(), ReadBlock4.end());
        for (size_t at = 0; at < flood.size();) {
            pollfd p{line.Fd, POLLOUT, 0};
            ::poll(&p, 1, 1000);
            const ssize_t n = ::write(line.Fd, flood.data() + at, flood.size() - at);
            at += n > 0 ? size_t(n) : 0;
        }
        ASSERT_TRUE(WaitUntil([&] { return requests == 3002; }));
        EXPECT_GT(server.Drops().Replies, 0u);
    }
    // The replies still waiting go with the program that closed the port.
    ASSERT_TRUE(WaitUntil([&] { return server.Drops().ClosedBacklogs == 1; }));
    TLine next(server.DevicePath());
    ::tcflush(next.Fd, TCIFLUSH); // what the line itself holds, as the program's open does
    EXPECT_EQ(Hex(next.Exchange(LinkTest, 4)), "03 12 00 15");
    EXPECT_TRUE(next.ReceiveFor(300ms).empty());
    server.SetObserver(nullptr);
}

TEST(SimLine, FaultsSpoilTheReplyAndOnlyAnErrorStatusStopsTheCard)
{
    TSimServer server;
    TLine line(server.DevicePath());
    ASSERT_EQ(Hex(line.Exchange(Bytes({0x03, 0x0A, 0x00, 0x0D}), 8)), "07 0A 01 12 34 56 78 26");
    ASSERT_EQ(Hex(line.Exchange(Frame({0x05, 0x01, 0x00}), 3)), "02 05 07");

    // The write is done; only its reply is lost.
    server.InjectFault(0x07, TFault{TFaultKind::NoReply});
    line.Send(WriteReq(4, 0x11));
    EXPECT_TRUE(line.ReceiveFor(600ms).empty());
    EXPECT_EQ(server.Block(4), Filled(0x11));

    server.InjectFault(0x06, TFault{TFaultKind::BadChecksum});
    std::vector<uint8_t> good = Frame({0x06, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
        0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11});
    std::vector<uint8_t> spoiled = good;
    spoiled.back() = uint8_t(spoiled.back() + 1);
    EXPECT_EQ(Hex(line.Exchange(ReadBlock4, 19)), Hex(spoiled));

    // A refusal is a refusal: the block keeps its bytes. A status equal to
    // the command code would read as success, so it is never sent.
    server.InjectFault(0x07, TFault{TFaultKind::ErrorStatus, 0, 0x42});
    EXPECT_EQ(Hex(line.Exchange(WriteReq(4, 0x22), 3)), "02 42 44");
    server.InjectFault(0x07, TFault{TFaultKind::ErrorStatus, 0, 0x07});
    EXPECT_EQ(Hex(line.Exchange(WriteReq(4, 0x22), 3)), "02 01 03");
    EXPECT_EQ(server.Block(4), Filled(0x11));

    server.InjectFault(0x06, TFault{TFaultKind::Short});
    line.Send(ReadBlock4);
    EXPECT_EQ(Hex(line.Receive(10)), Hex({good.begin(), good.begin() + 10}));
    EXPECT_TRUE(line.ReceiveFor(300ms).empty());

    server.InjectFault(0x12, TFault{TFaultKind::Noise});
    EXPECT_EQ(Hex(line.Exchange(LinkTest, 7)), "FF 5A 00 03 12 00 15");

    // Split: two pieces, the second a pause later.
    server.ClearRequests();
    const auto logStart = server.Log().size();
    server.InjectFault(0x06, TFault{TFaultKind::Split, 300});
    EXPECT_EQ(Hex(line.Exchange(ReadBlock4, 19)), Hex(good));
    const auto log = server.Log();
    ASSERT_EQ(log.size(), logStart + 3);
    EXPECT_EQ(Hex(log[logStart + 1].Bytes), Hex({good.begin(), good.begin() + 9}));
    EXPECT_EQ(Hex(log[logStart + 2].Bytes), Hex({good.begin() + 9, good.end()}));
    EXPECT_GE(log[logStart + 2].When - log[logStart + 1].When, 300ms);

    // Delay: the late reply does not hold up the next request's reply.
    server.InjectFault(0x06, TFault{TFaultKind::Delay, 800});
    line.Send(ReadBlock4);
    line.Send(LinkTest);
    EXPECT_EQ(Hex(line.Receive(4)), "03 12 00 15");
    EXPECT_EQ(Hex(line.Receive(19)), Hex(good));
    EXPECT_EQ(server.RequestsWithoutBeeps().size(), 3u);
}

TEST(SimLine, FaultsCountSkipAndClear)
{
    TSimServer server;
    TLine line(server.DevicePath());
    server.InjectFault(0x12, TFault{TFaultKind::NoReply}, 2, 1);
    server.InjectFault(0x13, TFault{TFaultKind::NoReply}, 5);
    EXPECT_EQ(Hex(line.Exchange(LinkTest, 4)), "03 12 00 15");
    // Beeps are not link tests; the 0x13 fault catches this one.
    line.Send(Bytes({0x02, 0x13, 0x15}));
    EXPECT_TRUE(line.ReceiveFor(300ms).empty());
    line.Send(LinkTest);
    EXPECT_TRUE(line.ReceiveFor(300ms).empty());
    line.Send(LinkTest);
    EXPECT_TRUE(line.ReceiveFor(300ms).empty());
    EXPECT_EQ(Hex(line.Exchange(LinkTest, 4)), "03 12 00 15");
    server.ClearFaults();
    EXPECT_EQ(Hex(line.Exchange(Bytes({0x02, 0x13, 0x15}), 3)), "02 13 15");
    EXPECT_EQ(server.BeepCount(), 2); // a lost reply still beeped
    EXPECT_EQ(server.Requests().size(), 6u);
    EXPECT_EQ(server.RequestsWithoutBeeps().size(), 4u);
}

TEST(SimLine, RandomFaultsFollowTheSeed)
{
    // The same seed spoils the same replies the same way.
    auto run = [](TSimServer& Server, uint32_t Seed) {
        Server.SetRandomFaults(0.5, Seed);
        TLine line(Server.DevicePath());
        std::vector<uint8_t> burst;
        for (int i = 0; i < 40; ++i)
            burst.insert(burst.end(), LinkTest.begin(), LinkTest.end());
        line.Send(burst);
        EXPECT_TRUE(WaitUntil([&] { return Server.Requests().size() == 40; }));
    };
    auto replies = [](const TSimServer& Server) {
        std::multiset<std::string> out;
        for (const auto& r : Server.Log())
            if (!r.FromProgram)
                out.insert(Hex(r.Bytes));
        return out;
    };
    TSimServer a, b, c;
    run(a, 7);
    run(b, 7);
    run(c, 8);
    // Delayed replies (up to a second) have all gone out once the logs agree.
    EXPECT_TRUE(WaitUntil([&] { return replies(a) == replies(b) && replies(a).size() >= 30; }));
    const auto got = replies(a);
    EXPECT_GT(got.count("03 12 00 15"), 5u);  // some clean
    EXPECT_LT(got.count("03 12 00 15"), 35u); // some spoiled
    EXPECT_TRUE(WaitUntil([&] { return replies(c).size() >= 30; }));
    EXPECT_NE(replies(c), got);
}

TEST(SimLine, PacedRepliesComeWholeInOrderAndNoSoonerThanTheLineCarriesThem)
{
    TSimServer server;
    server.SetPace(2);
    // The least a line at 9600 baud 8N1 takes: ten bit times for each byte
    // of the (first) request, 2 ms of processing, ten bit times for each
    // reply byte.
    auto paced = [](TLine& Line, const std::vector<uint8_t>& Request, size_t ReplySize, size_t FirstRequest = 0) {
        const auto start = std::chrono::steady_clock::now();
        const std::vector<uint8_t> reply = Line.Exchange(Request, ReplySize);
        const size_t lineBytes = (FirstRequest ? FirstRequest : Request.size()) + ReplySize;
        const std::chrono::duration<double> least = 2ms + double(lineBytes) * 10s / 9600.0;
        EXPECT_GE(std::chrono::steady_clock::now() - start, least) << Hex(Request);
        return Hex(reply);
    };
    {
        TLine line(server.DevicePath());
        const std::vector<uint8_t> search = Bytes({0x03, 0x0A, 0x01, 0x0E});
        EXPECT_EQ(paced(line, search, 8), "07 0A 01 12 34 56 78 26");
        const std::vector<uint8_t> auth = Frame({0x05, 0x01, 0x00});
        EXPECT_EQ(paced(line, auth, 3), "02 05 07");
        EXPECT_EQ(paced(line, WriteReq(4, 0x11), 3), "02 07 09");
        const std::vector<uint8_t> block = Frame({0x06, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
            0x11, 0x11, 0x11, 0x11, 0x11, 0x11});
        // Three requests at once: their replies follow one another.
        std::vector<uint8_t> burst = ReadBlock4;
        burst.insert(burst.end(), LinkTest.begin(), LinkTest.end());
        burst.insert(burst.end(), search.begin(), search.end());
        EXPECT_EQ(paced(line, burst, 31, ReadBlock4.size()), Hex(block) + " 03 12 00 15 07 0A 01 12 34 56 78 26");
        EXPECT_TRUE(line.ReceiveFor(100ms).empty());
        EXPECT_EQ(paced(line, auth, 3), "02 05 07");
        // Replies still on their way when the program closes the port go
        // with it: 200 requests of 4 bytes, 200 replies of 19, so the
        // replies fall behind.
        std::vector<uint8_t> reads;
        for (int i = 0; i < 200; ++i)
            reads.insert(reads.end(), ReadBlock4.begin(), ReadBlock4.end());
        line.Send(reads);
        ASSERT_TRUE(WaitUntil([&] {
            const auto log = server.Log();
            return std::count_if(log.begin(), log.end(), [](const auto& R) { return !R.FromProgram; }) >= 67;
        }));
    }
    ASSERT_TRUE(WaitUntil([&] { return server.Drops().ClosedBacklogs == 1; }));
    TLine next(server.DevicePath());
    ::tcflush(next.Fd, TCIFLUSH);
    EXPECT_EQ(paced(next, LinkTest, 4), "03 12 00 15");
    EXPECT_TRUE(next.ReceiveFor(300ms).empty());
}

TEST(SimDump, SaveAndLoadTheCardAsTheCommonDumpLayout)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string path = dir.filePath("card.mfd").toStdString();
    TSimServer server;
    std::array<uint8_t, 16> trailer = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xFF, 0x07,
        0x80, 0x69, 0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5};
    server.SetBlock(7, trailer);
    server.SetBlock(62, Filled(0x62));
    server.SetSerial({0xDE, 0xAD, 0xBE, 0xEF});
    ASSERT_TRUE(server.SaveDump(path));

    QFile f(QString::fromStdString(path));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    ASSERT_EQ(bytes.size(), 1024);
    auto at = [&](int Offset, int N) {
        return Hex({reinterpret_cast<const uint8_t*>(bytes.constData()) + Offset,
            reinterpret_cast<const uint8_t*>(bytes.constData()) + Offset + N});
    };
    EXPECT_EQ(at(0, 5), "DE AD BE EF 22"); // serial number and BCC first
    EXPECT_EQ(at(7 * 16, 16), Hex({trailer.begin(), trailer.end()}));
    EXPECT_EQ(at(62 * 16, 16), Hex(std::vector<uint8_t>(16, 0x62)));
    EXPECT_EQ(at(63 * 16, 16), "FF FF FF FF FF FF FF 07 80 69 FF FF FF FF FF FF");

    // Load restores every block, the serial number with them.
    TSimServer other;
    ASSERT_TRUE(other.LoadDump(path));
    for (int b = 0; b < 64; ++b)
        EXPECT_EQ(other.Block(b), server.Block(b)) << b;
    EXPECT_EQ(other.Serial(), (std::array<uint8_t, 4>{0xDE, 0xAD, 0xBE, 0xEF}));
    TLine line(other.DevicePath());
    EXPECT_EQ(Hex(line.Exchange(Bytes({0x03, 0x0A, 0x00, 0x0D}), 8)), "07 0A 01 DE AD BE EF 4A");

    // Anything but 1024 bytes is refused and the card stays as it was.
    const std::string shortPath = dir.filePath("short.mfd").toStdString();
    QFile s(QString::fromStdString(shortPath));
    ASSERT_TRUE(s.open(QIODevice::WriteOnly));
    s.write(bytes.left(1000));
    s.close();
    other.SetBlock(1, Filled(0x01));
    EXPECT_FALSE(other.LoadDump(shortPath));
    EXPECT_FALSE(other.LoadDump(dir.filePath("missing.mfd").toStdString()));
    EXPECT_EQ(other.Block(1), Filled(0x01));
    EXPECT_FALSE(other.SaveDump(dir.filePath("no/such/dir/card.mfd").toStdString()));
    // Out of range block and key numbers are refused loudly, not read wild.
    EXPECT_THROW(other.Block(64), std::out_of_range);
    EXPECT_THROW(other.SetStoredKey(2, 0, {}), std::out_of_range);
}

TEST(SimDump, SavesOnlyToRegularFilesAndTouchesNothingElse)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    auto at = [&](const char* Name) { return dir.filePath(Name).toStdString(); };
    auto put = [&](const char* Name, const QByteArray& Bytes) {
        QFile f(dir.filePath(Name));
        return f.open(QIODevice::WriteOnly) && f.write(Bytes) == Bytes.size();
    };
    auto content = [&](const char* Name) {
        QFile f(dir.filePath(Name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)");
    };
    auto kind = [&](const char* Name) {
        struct stat st { };
        return ::lstat(at(Name).c_str(), &st) == 0 ? int(st.st_mode & S_IFMT) : 0;
    };
    // Bystanders: a file a link leads to, the user's own FILE.tmp, and a
    // FILE.tmp that is a link to another file of the user's.
    ASSERT_TRUE(put("kept.bin", "old") && put("card.bin", "old") && put("card.bin.tmp", "mine")
        && put("victim", "keep") && put("other.bin", "old"));
    ASSERT_EQ(::symlink(at("kept.bin").c_str(), at("link.bin").c_str()), 0);
    ASSERT_EQ(::symlink(at("victim").c_str(), at("other.bin.tmp").c_str()), 0);
    ASSERT_EQ(::symlink(at("nowhere").c_str(), at("dangling").c_str()), 0);
    ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0600), 0);
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder"));
    // Another user's link to the user's file, and the user's link to another
    // user's file (tests run as root: chown makes the other user's).
    ASSERT_TRUE(put("theirs", "keep"));
    ASSERT_EQ(::symlink(at("victim").c_str(), at("planted.bin").c_str()), 0);
    ASSERT_EQ(::lchown(at("planted.bin").c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown(at("theirs").c_str(), 65534, 65534), 0);
    ASSERT_EQ(::symlink(at("theirs").c_str(), at("to-theirs.bin").c_str()), 0);

    TSimServer server;
    server.SetSerial({0xDE, 0xAD, 0xBE, 0xEF});
    const struct {
        const char* Name;
        const char* Refusal; // in the error text; none: saved
    } rows[] = {
        {"card.bin", nullptr},
        {"other.bin", nullptr},
        {"link.bin", nullptr}, // written through the link
        {"fifo", "is a FIFO, not a regular file"},
        {"folder", "is a folder, not a regular file"},
        {"dangling", "leads to no file"},
        {"planted.bin", "is a symbolic link of another user (uid 65534): not followed"},
        {"to-theirs.bin", "which belongs to another user (uid 65534): not followed"},
    };
    for (const auto& row : rows) {
        const int kindBefore = kind(row.Name);
        std::string error;
        EXPECT_EQ(server.SaveDump(at(row.Name), &error), !row.Refusal) << row.Name << ": " << error;
        EXPECT_EQ(kind(row.Name), kindBefore) << row.Name;
        if (row.Refusal)
            EXPECT_NE(error.find(row.Refusal), std::string::npos) << row.Name << ": " << error;
        else
            EXPECT_EQ(content(row.Name).left(4), QByteArray::fromHex("DEADBEEF")) << row.Name;
    }
    EXPECT_EQ(content("card.bin.tmp"), "mine");
    EXPECT_EQ(content("victim"), "keep");
    EXPECT_EQ(content("theirs"), "keep");
    EXPECT_EQ(content("kept.bin").size(), 1024);
    // No file of our own is left behind.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name),
        (QStringList{"card.bin", "card.bin.tmp", "dangling", "fifo", "folder", "kept.bin", "link.bin", "other.bin",
            "other.bin.tmp", "planted.bin", "theirs", "to-theirs.bin", "victim"}));
}
