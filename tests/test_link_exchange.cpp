// The frame exchange over a real pseudo-terminal: frames on the wire, result
// codes, wait steps, and the mended faults (nested exchanges, late replies,
// replies in pieces, frames too short to carry a status).
#include "protocol/Commands.h"
#include "reader/ReaderLink.h"
#include "serial/Comm.h"
#include "support/PtyPeer.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

using namespace std::chrono_literals;

namespace {

class LinkExchange : public ::testing::Test {
protected:
    void SetUp() override
    {
        Device.SetCommName(Peer.SlavePath());
        // Count the chunks on their way to the link.
        Device.OnReceiveData = [this, ToLink = Device.OnReceiveData](TComm* Sender, const void* Data, uint16_t Length) {
            ++Chunks;
            ToLink(Sender, Data, Length);
        };
        ASSERT_NO_THROW(Device.OpenPort());
        // Real wait steps, counted; the peer's script runs at the first step.
        Link.WaitStep = [this](int, int Ms) {
            if (OnFirstStep) {
                auto Step = std::move(OnFirstStep);
                OnFirstStep = nullptr;
                Step();
            }
            ++Sleeps;
            TReaderLink::WaitWithEvents(Ms);
        };
        Link.ReplyTimeout = 3000;
    }

    // At the first wait step: read the request, then answer with Reply.
    void AnswerWith(std::vector<uint8_t> Reply, size_t RequestLength = 4)
    {
        OnFirstStep = [this, Reply, RequestLength] {
            Request = Peer.Read(RequestLength, 5s);
            if (!Reply.empty())
                Peer.Write(Reply);
        };
    }

    PtyPeer Peer;
    TComm Device;
    TReaderLink Link{Device};
    std::function<void()> OnFirstStep;
    std::vector<uint8_t> ReplyBytes() const { return {Link.Reply().begin(), Link.Reply().end()}; }
    bool TestLink() { return Link.ExchangeFrame(BuildLinkTest()) == ResultOk; }

    std::vector<uint8_t> Request;
    int Sleeps = 0;
    int Chunks = 0;
};

TEST_F(LinkExchange, BeepAndLinkTestFramesOnTheWire)
{
    Link.ReplyTimeout = 100; // the peer stays silent: 22 after two steps
    EXPECT_EQ(Link.ExchangeFrame(BuildBeep()), 22);
    EXPECT_EQ(Hex(Peer.Read(3, 5s)), Hex(Bytes({0x02, 0x13, 0x15})));
    EXPECT_EQ(Sleeps, 2);

    Link.ReplyTimeout = 3000;
    AnswerWith(Bytes({0x03, 0x12, 0x00, 0x15}));
    EXPECT_TRUE(TestLink());
    EXPECT_EQ(Hex(Request), Hex(Bytes({0x03, 0x12, 0x00, 0x15})));
    EXPECT_EQ(Link.ReplyLength(), 4);
}

TEST_F(LinkExchange, ResultCodes)
{
    // Taken: a frame that checks, at the start or, after bytes that do not
    // check, one that ends the line and answers the command. Otherwise 12 at
    // once, with the first frame's bytes as the reply.
    // A 2048-byte burst claiming L = 255: 254 ones plus 0xFF do not sum to
    // 0x01, and nothing after it checks.
    std::vector<uint8_t> Burst(2048, 0x01);
    Burst[0] = 0xFF;
    struct {
        const char* Name;
        std::vector<uint8_t> Line;
        int Result;
        bool Taken;
        std::vector<uint8_t> Reply;
    } const Cases[] = {
        {"same command code", Bytes({0x03, 0x12, 0x00, 0x15}), 0, true, Bytes({0x03, 0x12, 0x00, 0x15})},
        {"reader status 5", Bytes({0x03, 0x05, 0x00, 0x08}), 5, true, Bytes({0x03, 0x05, 0x00, 0x08})},
        {"byte 1 zero", Bytes({0x03, 0x00, 0x00, 0x03}), 0, true, Bytes({0x03, 0x00, 0x00, 0x03})},
        {"status 22 from the reader", Bytes({0x02, 0x16, 0x18}), 22, true, Bytes({0x02, 0x16, 0x18})},
        {"longer reply", Bytes({0x07, 0x12, 0x01, 0x12, 0x34, 0x56, 0x78, 0x2E}), 0, true,
            Bytes({0x07, 0x12, 0x01, 0x12, 0x34, 0x56, 0x78, 0x2E})},
        {"bad checksum, right code", Bytes({0x03, 0x12, 0x00, 0x16}), 12, false, Bytes({0x03, 0x12, 0x00, 0x16})},
        // No status byte: byte 1 would be the request's own command code.
        {"length 1", Bytes({0x01, 0x01}), 12, false, Bytes({0x01, 0x01})},
        {"length 0", Bytes({0x00}), 12, false, Bytes({0x00})},
        {"bytes beyond the frame dropped", Bytes({0x03, 0x12, 0x00, 0x15, 0xAA, 0xBB, 0xCC}), 0, true,
            Bytes({0x03, 0x12, 0x00, 0x15})},
        {"burst", Burst, 12, false, std::vector<uint8_t>(Burst.begin(), Burst.begin() + 256)},
        {"a late reply's tail, then the reply", Bytes({0x01, 0x06, 0x03, 0x12, 0x00, 0x15}), 0, true,
            Bytes({0x03, 0x12, 0x00, 0x15})},
        {"bad checksum, then the reply", Bytes({0x03, 0x12, 0x00, 0x16, 0x03, 0x12, 0x00, 0x15}), 0, true,
            Bytes({0x03, 0x12, 0x00, 0x15})},
        // Behind bytes that do not check, a refusal at the end is the
        // reader's answer; a frame of status 0 is not taken that way.
        {"a late reply's tail, then status 5", Bytes({0x01, 0x06, 0x03, 0x05, 0x00, 0x08}), 5, true,
            Bytes({0x03, 0x05, 0x00, 0x08})},
        {"a late reply's tail, then status 0", Bytes({0x01, 0x06, 0x03, 0x00, 0x00, 0x03}), 12, false,
            Bytes({0x01, 0x06})},
    };
    // A time-out of 60 steps, of which only the first answers. A reply that
    // is taken ends that step the moment it is in, though the step is an
    // hour long (a wait that ran its step out would hang the test); a bad
    // one is known as soon as its chunk is in, so no second step follows.
    Link.ReplyTimeout = 3000;
    for (const auto& C : Cases) {
        Sleeps = 0;
        Link.WaitStep = [&](int Step, int) {
            ++Sleeps;
            if (Step > 1)
                return;
            Request = Peer.Read(4, 5s);
            const int Before = Chunks;
            Peer.Write(C.Line);
            if (C.Taken)
                TReaderLink::WaitWithEvents(3'600'000);
            else
                EXPECT_TRUE(WaitUntil([&] { return Chunks > Before; })) << C.Name;
        };
        EXPECT_EQ(Link.ExchangeFrame(BuildLinkTest()), C.Result) << C.Name;
        EXPECT_EQ(Hex(Request), Hex(Bytes({0x03, 0x12, 0x00, 0x15}))) << C.Name;
        EXPECT_EQ(Hex(ReplyBytes()), Hex(C.Reply)) << C.Name;
        EXPECT_EQ(Sleeps, 1) << C.Name;
    }
}

TEST_F(LinkExchange, SilenceAndWaitSteps)
{
    struct {
        int32_t Timeout;
        int Sleeps;
    } const Cases[] = {{120, 3}, {500, 10}, {100, 2}, {50, 1}, {51, 2}, {0, 0}, {-1, 0}, {-500, 0}};
    for (const auto& C : Cases) {
        Sleeps = 0;
        Link.ReplyTimeout = C.Timeout;
        Link.WaitStep = [this](int Step, int Ms) {
            EXPECT_EQ(Ms, 50);
            EXPECT_EQ(Step, ++Sleeps);
        };
        EXPECT_EQ(Link.ExchangeFrame(BuildLinkTest()), 22) << C.Timeout;
        EXPECT_EQ(Sleeps, C.Sleeps) << C.Timeout;
        // The frame went out even when nothing was waited for.
        EXPECT_EQ(Hex(Peer.Read(4, 5s)), Hex(Bytes({0x03, 0x12, 0x00, 0x15}))) << C.Timeout;
    }
}

TEST_F(LinkExchange, TheWaitEndsWithoutAReply)
{
    // A handler in step 2 of a 30 s wait ends it: the hang-up handler with
    // EndWait, at once even in an hour-long step, or a port closed alone,
    // seen when the step ends. Either gives 22 after that step instead of
    // 600 of them.
    constexpr int Hour = 3'600'000;
    struct {
        const char* Name;
        std::function<void()> Handler;
        int StepMs;
    } const Cases[] = {
        {"EndWait", [this] { Link.EndWait(); }, Hour},
        {"port closed, then EndWait", [this] {
             Device.ClosePort();
             Link.EndWait();
         },
            Hour},
        {"port closed", [this] { Device.ClosePort(); }, TReaderLink::WaitStepMs},
    };
    Link.ReplyTimeout = 30000;
    for (const auto& C : Cases) {
        Sleeps = 0;
        Link.WaitStep = [&](int Step, int) {
            ++Sleeps;
            if (Step == 1)
                Request = Peer.Read(4, 5s);
            if (Step == 2) {
                QTimer::singleShot(0, C.Handler);
                TReaderLink::WaitWithEvents(C.StepMs);
            }
        };
        EXPECT_EQ(Link.ExchangeFrame(BuildLinkTest()), 22) << C.Name;
        EXPECT_EQ(Sleeps, 2) << C.Name;
        EXPECT_EQ(Hex(Request), "03 12 00 15") << C.Name;
        if (!Device.IsOpen()) {
            ASSERT_NO_THROW(Device.OpenPort());
        }
    }

    // With no exchange waiting, EndWait leaves the next one alone.
    Link.EndWait();
    Link.WaitStep = [this](int, int Ms) {
        if (++Sleeps == 1)
            Peer.Write(Bytes({0x03, 0x12, 0x00, 0x15}));
        TReaderLink::WaitWithEvents(Ms);
    };
    Sleeps = 0;
    EXPECT_TRUE(TestLink());
}

TEST_F(LinkExchange, ClosedPortGives20AtOnce)
{
    Device.ClosePort();
    EXPECT_EQ(Link.ExchangeFrame(BuildLinkTest()), 20);
    EXPECT_EQ(Sleeps, 0);
    EXPECT_FALSE(TestLink());
    EXPECT_EQ(Sleeps, 0);
}

TEST_F(LinkExchange, NestedExchangeIsRefused)
{
    int Nested = -1;
    OnFirstStep = [this, &Nested] {
        Request = Peer.Read(4, 5s);
        // A handler running inside the wait tries an exchange of its own.
        Nested = Link.ExchangeFrame(BuildBeep());
        Peer.Write(Bytes({0x03, 0x12, 0x00, 0x15}));
    };
    EXPECT_EQ(Link.ExchangeFrame(BuildLinkTest()), 0);
    EXPECT_EQ(Nested, 20);
    EXPECT_FALSE(Link.Busy());
    // Only the outer request reached the line.
    EXPECT_EQ(Hex(Request), Hex(Bytes({0x03, 0x12, 0x00, 0x15})));
    EXPECT_TRUE(Peer.ReadUntilQuiet(300ms, 2s).empty());
}

TEST_F(LinkExchange, LateRepliesNeverPassForTheNextOne)
{
    const auto LinkOk = Bytes({0x03, 0x12, 0x00, 0x15});
    const auto Status5 = Bytes({0x03, 0x05, 0x00, 0x08});

    // The reader is too slow for the first exchange; its reply comes between
    // exchanges and the event loop hands it out while nothing waits.
    Link.ReplyTimeout = 150;
    AnswerWith({});
    EXPECT_FALSE(TestLink());
    Peer.Write(LinkOk);
    ASSERT_TRUE(WaitUntil([this] { return Chunks == 1; }));
    EXPECT_EQ(Link.ReplyLength(), 0); // nothing waited for it

    // A late reply the component has taken in but not handed out when the
    // next request goes out: still being collected (read interval 100 ms),
    // or already queued (an immediate read). The reader's true answer to the
    // new request, status 5, is what counts.
    struct {
        const char* Name;
        uint32_t ReadInterval;
    } const Stages[] = {{"collecting", 100}, {"queued", 0xFFFFFFFFu}};
    for (const auto& S : Stages) {
        Device.SetReadIntervalTimeout(S.ReadInterval);
        const uint64_t Before = Device.ReceivedBytes();
        Peer.Write(LinkOk);
        ASSERT_TRUE(WaitWithoutEvents([&] { return Device.ReceivedBytes() >= Before + LinkOk.size(); })) << S.Name;
        Link.ReplyTimeout = 3000;
        AnswerWith(Status5);
        EXPECT_EQ(Link.ExchangeFrame(BuildLinkTest()), 5) << S.Name;
        EXPECT_EQ(Hex(Request), Hex(LinkOk)) << S.Name;
        EXPECT_EQ(Hex(ReplyBytes()), Hex(Status5)) << S.Name;
    }
    Device.SetReadIntervalTimeout(100);

    // A late reply straddling the next request: its head arrives before the
    // request and is dropped, its tail after it, ahead of the true reply.
    // The tail cannot pass for a reply; the reply or refusal that ends the
    // line behind it is taken.
    struct {
        const char* Name;
        TRequest Request;
        std::vector<uint8_t> Head, Line;
        int Result;
        std::vector<uint8_t> Reply;
    } const Straddling[] = {
        {"tail 01 06, then the search's reply", BuildSearchCard(1), Bytes({0x03, 0x02}),
            Bytes({0x01, 0x06, 0x03, 0x02, 0x01, 0x06}), 0, Bytes({0x03, 0x02, 0x01, 0x06})},
        {"tail claiming more than comes, then a refusal", BuildSearchCardSerial(1), Bytes({0x07, 0x0A, 0x01}),
            Bytes({0x12, 0x34, 0x56, 0x78, 0x26, 0x03, 0x01, 0x00, 0x04}), 1, Bytes({0x03, 0x01, 0x00, 0x04})},
    };
    for (const auto& S : Straddling) {
        Link.ReplyTimeout = 150;
        AnswerWith({});
        EXPECT_EQ(Link.ExchangeFrame(S.Request), 22) << S.Name;
        const uint64_t Before = Device.ReceivedBytes();
        Peer.Write(S.Head);
        ASSERT_TRUE(WaitWithoutEvents([&] { return Device.ReceivedBytes() >= Before + S.Head.size(); })) << S.Name;
        Link.ReplyTimeout = 700;
        AnswerWith(S.Line);
        EXPECT_EQ(Link.ExchangeFrame(S.Request), S.Result) << S.Name;
        EXPECT_EQ(Hex(ReplyBytes()), Hex(S.Reply)) << S.Name;
    }
}

TEST_F(LinkExchange, ReplyInPieces)
{
    // A pause longer than the read interval splits the reply into two chunks.
    OnFirstStep = [this] {
        Request = Peer.Read(4, 5s);
        EXPECT_EQ(Hex(Request), Hex(Bytes({0x03, 0x0A, 0x01, 0x0E})));
        Peer.Write(Bytes({0x07, 0x0A, 0x01}));
        std::this_thread::sleep_for(250ms);
        Peer.Write(Bytes({0x12, 0x34, 0x56, 0x78, 0x26}));
    };
    EXPECT_EQ(Link.ExchangeFrame(BuildSearchCardSerial(1)), 0);
    EXPECT_EQ(Chunks, 2);
    EXPECT_EQ(Hex(ReplyBytes()), Hex(Bytes({0x07, 0x0A, 0x01, 0x12, 0x34, 0x56, 0x78, 0x26})));

    // A reply still short of its L + 1 bytes at the time-out is a bad reply.
    Link.ReplyTimeout = 700;
    AnswerWith(Bytes({0x07, 0x0A, 0x01, 0x12}));
    EXPECT_EQ(Link.ExchangeFrame(BuildSearchCardSerial(1)), 12);
    EXPECT_EQ(Link.ReplyLength(), 4);
}

} // namespace
