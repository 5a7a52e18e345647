// The link session on its own, with no window: the loop counters (on the
// simulator's reader engine in the same process), a port change during a
// loop, a close during an exchange, and a reader that goes away and comes
// back, on the reader simulator or a scripted pseudo-terminal.
#include "reader/CardReader.h"
#include "reader/ReaderLink.h"
#include "serial/Comm.h"
#include "session/LinkSession.h"
#include "sim/SimServer.h"
#include "support/ChildProcess.h"
#include "support/InProcessReader.h"
#include "support/PrivateHome.h"
#include "support/PtyPeer.h"
#include "support/SessionProbe.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using Frames = std::vector<std::vector<uint8_t>>;

namespace {

const std::vector<uint8_t> LinkTestFrame = Bytes({0x03, 0x12, 0x00, 0x15});
const std::vector<uint8_t> BeepFrame = Bytes({0x02, 0x13, 0x15});

const char* CounterName(TLoopCounter Counter)
{
    switch (Counter) {
    case TLoopCounter::SearchErr:
        return "search";
    case TLoopCounter::Read:
        return "read";
    case TLoopCounter::ReadErr:
        return "read error";
    case TLoopCounter::Write:
        return "write";
    case TLoopCounter::WriteErr:
        return "write error";
    case TLoopCounter::CheckErr:
        return "verify error";
    }
    return "?";
}

// Everything the session says, as text in order, and a hook on counting.
struct TRecorder : TSessionEvents {
    std::vector<std::string> Said;
    std::function<void(TLoopCounter, int32_t)> OnCount;

    void Log(const QString& Line) override { Said.push_back("log " + Line.toStdString()); }
    void MessageBox(const QString& Text, const QString& Caption, int Flags) override
    {
        Said.push_back("box " + Text.toStdString() + " / " + Caption.toStdString() + " / " + std::to_string(Flags));
    }
    void LinkStateChanged(const QString& Text) override { Said.push_back("panel " + Text.toStdString()); }
    void LoopStarted(TLoopKind) override { Said.push_back("started"); }
    void LoopCounted(TLoopCounter Counter, int32_t Value) override
    {
        Said.push_back(std::string(CounterName(Counter)) + " " + std::to_string(Value));
        if (OnCount)
            OnCount(Counter, Value);
    }
    void LoopEnded(TLoopKind) override { Said.push_back("ended"); }
    void CloseReady() override { Said.push_back("close"); }
    void PortOpenFailed(const QString& ComName, const QString& Reason, const QString& /*Detail*/) override
    {
        Refusals.push_back(ComName.toStdString() + ": " + Reason.toStdString());
    }
    std::vector<std::string> Refusals;
    void ReaderSilent(const QString& ComName, const QString& Words) override
    {
        Said.push_back("silent " + ComName.toStdString() + ": " + Words.toStdString());
    }

    // What was said, without the log lines.
    std::vector<std::string> Events() const
    {
        std::vector<std::string> out;
        for (const std::string& s : Said)
            if (s.rfind("log ", 0) != 0)
                out.push_back(s);
        return out;
    }
};

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Ports.Map(1, Sim.DevicePath());
        Session.SetSettings({.ReplyTimeout = 3000}); // generous: the machine is shared
        Session.ChoosePort(0);
        ASSERT_EQ(Said.Events(), std::vector<std::string>{"panel Linked"});
        Said.Said.clear();
        Sim.ClearRequests();
    }

    TPrivateHome Ports;
    sim::TSimServer Sim;
    TRecorder Said;
    TLinkSession Session{Said};
};

// The loop tests' counting and patterns, where the line is not under test:
// the session's exchanges go to the simulator's reader engine in the same
// process.
class SessionLoopTest : public ::testing::Test {
protected:
    void SetUp() override { Session.UseReader(Reader); }

    TInProcessReader Reader;
    TRecorder Said;
    TLinkSession Session{Said};
};

TEST_F(SessionLoopTest, LoopReadCountsEveryOutcomeAndWrapsAtAMillion)
{
    TSessionProbe::LoopStartCounters(Session).Read = 999999;
    Said.OnCount = [&](TLoopCounter Counter, int32_t Value) {
        EXPECT_FALSE(Session.BeginOperation()) << "the loop holds the guard";
        if (Counter == TLoopCounter::Read && Value == 1)
            Reader.Engine.Card.Remove();
        if (Counter == TLoopCounter::SearchErr && Value == 2)
            Session.StopLoop();
    };
    Session.RunLoopRead(0, 9);

    EXPECT_EQ(Said.Events(),
        (std::vector<std::string>{"started", "read 1000000", "read 1", "search 1", "search 2", "ended"}));
    const std::vector<uint8_t> search = Bytes({0x03, 0x0A, 0x00, 0x0D});
    const std::vector<uint8_t> auth = Bytes({0x04, 0x05, 0x02, 0x00, 0x0B});
    const std::vector<uint8_t> read = Bytes({0x03, 0x06, 0x09, 0x12});
    EXPECT_EQ(Reader.RequestsWithoutBeeps(), (Frames{search, auth, read, search, auth, read, search, search}));
    EXPECT_EQ(Reader.Engine.Beeps, 2);
    EXPECT_FALSE(Session.OperationRunning());
    EXPECT_FALSE(Session.LoopFlag);
}

TEST_F(SessionLoopTest, LoopWriteRefusesATrailerAndVerifiesEachPattern)
{
    Session.RunLoopWrite(0, 7);
    EXPECT_EQ(Said.Events(), std::vector<std::string>{"box control block, can not be tested / message / 64"});
    EXPECT_TRUE(Reader.Requests.empty());

    Said.Said.clear();
    Said.OnCount = [&](TLoopCounter Counter, int32_t Value) {
        if (Counter == TLoopCounter::Read && Value == 2)
            Session.StopLoop();
    };
    Session.RunLoopWrite(0, 6);
    EXPECT_EQ(Said.Events(), (std::vector<std::string>{"started", "write 1", "read 1", "write 2", "read 2", "ended"}));
    TBlockData second{};
    second[15] = 0x01; // the pattern of the second cycle: the write counter 1
    EXPECT_EQ(Reader.Engine.Card.Raw(6), second);
}

TEST_F(SessionTest, APortChosenDuringALoopOpensBetweenCycles)
{
    sim::TSimServer other;
    Ports.Map(2, other.DevicePath());
    Said.OnCount = [&](TLoopCounter, int32_t Value) {
        if (Value == 1) {
            Session.ChoosePort(1);
            EXPECT_EQ(TSessionProbe::Device(Session).CommName(), "COM1") << "not while the cycle's chain runs";
        } else {
            Session.StopLoop();
        }
    };
    Session.RunLoopRead(0, 1);

    EXPECT_EQ(TSessionProbe::Device(Session).CommName(), "COM2");
    EXPECT_EQ(Sim.RequestsWithoutBeeps().size(), 3u) << "one cycle on COM1";
    const Frames onOther = other.Requests();
    ASSERT_GE(onOther.size(), 2u);
    EXPECT_EQ(Frames(onOther.begin(), onOther.begin() + 2), (Frames{LinkTestFrame, BeepFrame}));
    EXPECT_EQ(other.RequestsWithoutBeeps().size(), 4u) << "the link test, then the second cycle";
}

TEST_F(SessionTest, ClosingDuringAnExchangeDropsAPendingPortChange)
{
    sim::TSimServer other;
    Ports.Map(2, other.DevicePath());
    Sim.InjectFault(0x0A, sim::TFault{sim::TFaultKind::Delay, 300});
    const auto step = TSessionProbe::Link(Session).WaitStep;
    TSessionProbe::Link(Session).WaitStep = [&](int N, int Ms) {
        if (N == 1) {
            Session.ChoosePort(1);
            EXPECT_FALSE(Session.RequestClose()) << "an exchange waits";
        }
        step(N, Ms);
    };
    {
        TOperationScope scope(Session);
        ASSERT_TRUE(scope);
        EXPECT_TRUE(Session.SearchCardSerial());
        EXPECT_TRUE(Said.Events().empty());
    }
    TSessionProbe::Link(Session).WaitStep = step;

    EXPECT_EQ(Said.Events(), std::vector<std::string>{"close"});
    EXPECT_EQ(TSessionProbe::Device(Session).CommName(), "COM1");
    EXPECT_TRUE(other.Requests().empty());
    EXPECT_TRUE(Session.RequestClose()) << "nothing runs now";
}

// A scripted reader that goes away and comes back: each exchange takes the
// next turn at its first wait step, so nothing depends on the machine's pace.
class SessionRelinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Ports.Map(1, First->SlavePath());
        Session.SetSettings({.ReplyTimeout = 500});
        TSessionProbe::Link(Session).WaitStep = [this](int N, int Ms) {
            if (N == 1 && Turn)
                Turn();
            TReaderLink::WaitWithEvents(Ms);
            Steps = N;
        };
        Turn = [this] { Answer(*First, true); };
        Session.ChoosePort(0);
        ASSERT_EQ(Said.Events(), std::vector<std::string>{"panel Linked"});
        Said.Said.clear();
        Requests.clear();
    }

    // Reads the request on Peer and answers it with its echo, as the reader
    // does for the link test and the beep, when Reply says so.
    void Answer(PtyPeer& Peer, bool Reply)
    {
        std::vector<uint8_t> request = Peer.Read(1, 5s);
        if (request.empty())
            return;
        const std::vector<uint8_t> rest = Peer.Read(request[0], 5s);
        request.insert(request.end(), rest.begin(), rest.end());
        Requests.push_back(request);
        if (Reply)
            Peer.Write(request);
    }

    TPrivateHome Ports;
    std::unique_ptr<PtyPeer> First = std::make_unique<PtyPeer>();
    TRecorder Said;
    TLinkSession Session{Said};
    std::function<void()> Turn;
    Frames Requests;
    int Steps = 0;
};

TEST_F(SessionRelinkTest, AWaitEndsWhenThePortGoesAndTheLinkTestRepeatsUntilTheReaderAnswers)
{
    // The reader vanishes while an exchange waits for it: the exchange ends
    // at once, not after its 30 s.
    Session.SetSettings({.ReplyTimeout = 30000});
    Turn = [this] {
        Answer(*First, false);
        First->CloseMaster();
    };
    EXPECT_FALSE(Session.SearchCardSerial());
    EXPECT_EQ(TSessionProbe::Reader(Session).LastResult(), ResultNoReply);
    EXPECT_LT(Steps, 200) << "the wait ran on after the hang-up";
    EXPECT_EQ(Said.Events(), std::vector<std::string>{"panel Un-Linked"});
    EXPECT_TRUE(Session.WatchingForRelink());

    // It comes back on a new device but answers only its third link test.
    Session.SetSettings({.ReplyTimeout = 500});
    PtyPeer second;
    int linkTests = 0;
    Turn = [&] { Answer(second, ++linkTests >= 3); };
    Ports.Map(1, second.SlavePath());
    ASSERT_TRUE(WaitUntil([&] { return Said.Events().back() == "panel Linked"; }, 30s));
    EXPECT_EQ(linkTests, 4) << "three link tests, then the beep";
    EXPECT_EQ(Requests.back(), BeepFrame);
    EXPECT_TRUE(TSessionProbe::Device(Session).IsOpen());
    EXPECT_FALSE(Session.RelinkActive());
}

TEST_F(SessionRelinkTest, AnOutageCountsOneSearchFailurePerReplyTimeout)
{
    using Clock = std::chrono::steady_clock;
    std::vector<Clock::time_point> failures;
    Said.OnCount = [&](TLoopCounter Counter, int32_t) {
        if (Counter != TLoopCounter::SearchErr)
            return;
        failures.push_back(Clock::now());
        if (failures.size() == 1)
            Turn = nullptr; // the first failure came from the hang-up itself
        if (failures.size() == 4)
            Session.StopLoop();
    };
    // Nothing answers the search: the reader has gone.
    Turn = [this] {
        Answer(*First, false);
        First->CloseMaster();
    };
    Session.RunLoopRead(0, 1);

    ASSERT_EQ(failures.size(), 4u);
    // A cycle with the port closed lasts a reply time-out, as with a silent
    // reader; a slow machine only makes it longer.
    for (size_t i = 2; i < failures.size(); ++i)
        EXPECT_GE(failures[i] - failures[i - 1], 450ms) << "cycle " << i;
}

void NonBlocking(int Fd) { ::fcntl(Fd, F_SETFL, ::fcntl(Fd, F_GETFL) | O_NONBLOCK); }

TEST_F(SessionTest, ThePortChosenAgainIsTestedAgainAndASilentReaderSaysWhatToCheck)
{
    // The same port once more: closed, opened and tested again.
    Session.ChoosePort(0);
    EXPECT_EQ(Sim.Requests(), (Frames{LinkTestFrame, BeepFrame}));
    EXPECT_TRUE(TSessionProbe::Device(Session).IsOpen());

    // COM2 leads to a terminal with no reader behind it.
    PtyPeer silent;
    Ports.Map(2, silent.SlavePath());
    Session.SetSettings({.ReplyTimeout = 300});
    Session.ChoosePort(1);
    EXPECT_EQ(Said.Events(),
        (std::vector<std::string>{"panel Un-Linked",
            "silent COM2: the reader on COM2 (" + silent.SlavePath()
                + ") does not answer; check the reader's power and cable, and the port map (orvelle-card ports --probe)"}));
}

TEST_F(SessionTest, AStaleSimulatorLinkIsRefusedAsAPortThatDoesNotOpen)
{
    // The simulator ended; its pseudo-terminal went to another program.
    PtyPeer taken;
    NonBlocking(taken.MasterFd());
    const std::string found = TerminalSettings(taken.MasterFd());
    const long ended = EndedProcessId();
    Ports.Map(3, taken.SlavePath());
    Ports.RecordSimulator(3, ended, taken.SlavePath(), 99);
    Session.ChoosePort(2);
    EXPECT_EQ(Said.Events(), (std::vector<std::string>{"panel Un-Linked", "box Can not open port! / Message / 64"}));
    const std::string cause
        = "COM3 points at a reader simulator that has ended (process " + std::to_string(ended) + "): start it again or remove the link";
    EXPECT_EQ(Said.Refusals, std::vector<std::string>{"COM3: " + cause});
    EXPECT_FALSE(TSessionProbe::Device(Session).IsOpen());
    EXPECT_FALSE(Session.RelinkActive());
    EXPECT_EQ(PendingOn(taken.MasterFd()), "");
    EXPECT_EQ(TerminalSettings(taken.MasterFd()), found);
}

TEST_F(SessionTest, APortIsLeftWithTheSettingsItHadWhenOpened)
{
    PtyPeer peer;
    NonBlocking(peer.MasterFd());
    const std::string found = TerminalSettings(peer.MasterFd());
    Ports.Map(3, peer.SlavePath());
    Session.ChoosePort(2); // opened raw, the link test unanswered
    EXPECT_TRUE(TSessionProbe::Device(Session).IsOpen());
    EXPECT_NE(TerminalSettings(peer.MasterFd()), found) << "raw while open";
    Session.ChoosePort(0); // closed again
    EXPECT_EQ(TerminalSettings(peer.MasterFd()), found);
}

TEST_F(SessionRelinkTest, TheRelinkWatchDoesNotFollowAStaleSimulatorLink)
{
    Turn = [this] {
        Answer(*First, false);
        First->CloseMaster();
    };
    EXPECT_FALSE(Session.SearchCardSerial());
    ASSERT_TRUE(Session.WatchingForRelink());

    // The link names a device a simulator recorded before it ended.
    PtyPeer taken;
    NonBlocking(taken.MasterFd());
    const std::string found = TerminalSettings(taken.MasterFd());
    Ports.Map(1, taken.SlavePath());
    Ports.RecordSimulator(1, EndedProcessId(), taken.SlavePath(), 99);
    Turn = nullptr;
    int checks = 0;
    QObject::connect(Session.findChild<QTimer*>(), &QTimer::timeout, [&] { ++checks; });
    ASSERT_TRUE(WaitUntil([&] { return checks >= 2; }, 30s));
    EXPECT_FALSE(TSessionProbe::Device(Session).IsOpen());
    EXPECT_TRUE(Session.WatchingForRelink());
    EXPECT_EQ(PendingOn(taken.MasterFd()), "");
    EXPECT_EQ(TerminalSettings(taken.MasterFd()), found);

    // Its simulator started again (a record of a process that runs): followed.
    Ports.RecordSimulator(1, long(::getpid()), taken.SlavePath());
    ASSERT_TRUE(WaitUntil([&] { return TSessionProbe::Device(Session).IsOpen(); }, 30s));
}

} // namespace
