// The link under real-world faults, through the window: late replies that
// must not pass for a later request's reply, and a reader that vanishes and
// comes back.
#include "app/MainForm.h"
#include "reader/ReaderLink.h"
#include "serial/Comm.h"
#include "sim/SimServer.h"
#include "support/FormFixture.h"
#include "support/PtyPeer.h"
#include "support/SessionProbe.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "widgets/RadioGroup.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

const QString Colon = QStringLiteral("\uFF1A");

int CountEntries(const char* Dir, const char* NamePrefix = nullptr)
{
    int N = 0;
    if (DIR* D = ::opendir(Dir)) {
        while (dirent* E = ::readdir(D)) {
            if (E->d_name[0] == '.')
                continue;
            if (NamePrefix) {
                std::ifstream Comm(std::string(Dir) + "/" + E->d_name + "/comm");
                std::string Name;
                std::getline(Comm, Name);
                if (Name.rfind(NamePrefix, 0) != 0)
                    continue;
            }
            ++N;
        }
        ::closedir(D);
    }
    return N;
}

// ------------------------------------------------------------ late replies

// The window on a scripted reader. Each exchange takes the next turn at its
// first wait step: the request is read, and the reply written at once, or
// (Late) only at the exchange's last step, which then hands out no event:
// the reply reaches the component after the exchange gave up.
class LateReply : public ::testing::Test {
protected:
    struct TTurn {
        size_t RequestLength;
        std::vector<uint8_t> Reply;
        bool Late = false;
        std::function<void()> Then = {};
    };

    void SetUp() override
    {
        TSessionProbe::Link(F.Form->Session()).WaitStep = [this](int Step, int Ms) {
            if (Step == 1) {
                if (Turns.empty()) {
                    ADD_FAILURE() << "an exchange the script does not expect";
                    Current = TTurn{0, {}};
                } else {
                    Current = Turns.front();
                    Turns.pop_front();
                }
                Requests.push_back(Peer.Read(Current.RequestLength, 5s));
                if (!Current.Late && !Current.Reply.empty())
                    Peer.Write(Current.Reply);
                if (Current.Then)
                    Current.Then();
            }
            if (Current.Late && Step * TReaderLink::WaitStepMs >= TSessionProbe::Link(F.Form->Session()).ReplyTimeout) {
                const uint64_t Before = TSessionProbe::Device(F.Form->Session()).ReceivedBytes();
                Peer.Write(Current.Reply);
                EXPECT_TRUE(WaitWithoutEvents([&] { return TSessionProbe::Device(F.Form->Session()).ReceivedBytes() >= Before + Current.Reply.size(); }));
                return;
            }
            TReaderLink::WaitWithEvents(Ms);
        };
        Turns.push_back({4, {}}); // nobody answers the link test
        F.Show();
        ASSERT_EQ(F.LinkPanel(), "Un-Linked");
        F.SetReplyTimeout(1000);
        Requests.clear();
        F.ClearLog();
    }

    PtyPeer Peer;
    TFormFixture F{[this] {
        TFormOptions O;
        O.Show = false;
        O.ReplyTimeoutMs = 100;
        O.Com1Target = Peer.SlavePath();
        return O;
    }()};
    std::deque<TTurn> Turns;
    TTurn Current{0, {}};
    std::vector<std::vector<uint8_t>> Requests;
};

const std::vector<uint8_t> NoCard = Bytes({0x02, 0x01, 0x03});

TEST_F(LateReply, ALateSearchReplyIsNotTheNextSearchsReply)
{
    // The first search's reply comes too late; then the card leaves the
    // field and the next search gets "no card".
    Turns = {{4, Bytes({0x03, 0x02, 0x01, 0x06}), true}, {4, NoCard}};
    F.Click(Ctl<QPushButton>(*F.Form, "Button9"));
    F.Click(Ctl<QPushButton>(*F.Form, "Button9"));

    EXPECT_EQ(F.LogLines(), QStringList({"Search card fail!", "Search card fail!"}));
    ASSERT_EQ(Requests.size(), 2u);
    EXPECT_EQ(Hex(Requests[1]), "03 02 00 05");
    EXPECT_TRUE(Turns.empty());
    // No beep went out.
    EXPECT_TRUE(Peer.ReadUntilQuiet(200ms, 2s).empty());
}

TEST_F(LateReply, ALateBlockReadIsNotCountedInALoopRead)
{
    std::vector<uint8_t> ReadBody(17, 0xAB);
    ReadBody[0] = 0x06;
    // Cycle 1: search and authentication answered, the read's reply late.
    // The card is removed: cycle 2's search gets "no card", and the operator
    // stops the test.
    Turns = {{4, Framed({0x0A, 0x01, 0x12, 0x34, 0x56, 0x78})},
        {5, Framed({0x05})},
        {4, Framed(ReadBody), true},
        {4, NoCard, false, [this] { Ctl<QPushButton>(*F.Form, "BtnStopRead")->click(); }}};
    F.Click(Ctl<QPushButton>(*F.Form, "BtnStartRead"));

    EXPECT_TRUE(Turns.empty());
    ASSERT_EQ(Requests.size(), 4u);
    EXPECT_EQ(Hex(Requests[2]), "03 06 01 0A");
    EXPECT_EQ(Hex(Requests[3]), "03 0A 00 0D");
    EXPECT_EQ(Ctl<QLabel>(*F.Form, "LbReadSum")->text(), "read" + Colon + "0000000");
    EXPECT_EQ(Ctl<QLabel>(*F.Form, "LbReadErrSum")->text(), "error" + Colon + "0000001");
    EXPECT_EQ(Ctl<QLabel>(*F.Form, "LbQuerySum")->text(), "search card" + Colon + "0000001");
    EXPECT_EQ(Ctl<QLabel>(*F.Form, "LbReadHex")->text(), "read data" + Colon);
    EXPECT_EQ(F.LogLines(), QStringList({"Search card successful!", "Search card fail!"}));
}

// ------------------------------------------------------- vanished reader

// The window on a simulator that the test can unplug and plug in again, as
// orvelle-sim does when it quits and restarts: its port-map link goes and
// comes back, pointing at a new pseudo-terminal.
class VanishedReader : public ::testing::Test {
protected:
    void SetUp() override
    {
        Plug();
        F.Show();
        ASSERT_EQ(F.LinkPanel(), "Linked");
    }

    void Unplug()
    {
        std::filesystem::remove(PortMap() + "/COM1");
        Reader.reset();
    }
    void Plug()
    {
        Reader = std::make_unique<sim::TSimServer>();
        F.MapPort(1, Reader->DevicePath());
    }
    static std::string PortMap() { return std::string(std::getenv("XDG_CONFIG_HOME")) + "/orvelle/ports"; }
    bool PanelReads(const char* Text)
    {
        return WaitUntil([&] { return F.LinkPanel() == Text; }, 20s);
    }

    TFormFixture F{[] {
        TFormOptions O;
        O.Show = false;
        O.Com1Target = "";
        return O;
    }()};
    std::unique_ptr<sim::TSimServer> Reader;
};

TEST_F(VanishedReader, ShowsUnLinkedAndRelinksWhenBackWithNothingLeftBehind)
{
    const int Threads = CountEntries("/proc/self/task", "Com");
    const int Fds = CountEntries("/proc/self/fd");
    for (int Round = 0; Round < 4; ++Round) {
        Unplug();
        ASSERT_TRUE(PanelReads("Un-Linked")) << Round;
        EXPECT_FALSE(TSessionProbe::Device(F.Form->Session()).IsOpen());
        EXPECT_TRUE(F.Form->Session().WatchingForRelink());

        Plug();
        ASSERT_TRUE(PanelReads("Linked")) << Round;
        EXPECT_FALSE(F.Form->Session().WatchingForRelink());
        // Relinked as the port selection links: link test, then beep.
        EXPECT_EQ(FramesText(Reader->Requests()), "03 12 00 15 | 02 13 15") << Round;
    }
    F.ClearLog();
    F.Click(Ctl<QPushButton>(*F.Form, "Button9"));
    EXPECT_EQ(F.LastLog(), "Search card successfule!");

    EXPECT_TRUE(WaitUntil([&] { return CountEntries("/proc/self/task", "Com") == Threads; }));
    EXPECT_EQ(CountEntries("/proc/self/fd"), Fds);
}

TEST_F(VanishedReader, ALoopTestCountsFailuresMeanwhileAndGoesOnAfterTheRelink)
{
    // Driven from a timer that fires in the loop's own event processing.
    enum { Reading,
        Unplugged,
        Plugged,
        Done } Stage
        = Reading;
    int ReadsBefore = 0;
    QTimer Driver;
    const auto Deadline = std::chrono::steady_clock::now() + 120s;
    QObject::connect(&Driver, &QTimer::timeout, [&] {
        const int Reads = Ctl<QLabel>(*F.Form, "LbReadSum")->text().mid(5).toInt();
        if (std::chrono::steady_clock::now() > Deadline) {
            ADD_FAILURE() << "stuck at stage " << Stage;
            Stage = Done;
        } else if (Stage == Reading && Reads >= 2) {
            ReadsBefore = Reads;
            Unplug();
            Stage = Unplugged;
        } else if (Stage == Unplugged && F.LinkPanel() == "Un-Linked"
            && Ctl<QLabel>(*F.Form, "LbQuerySum")->text() != "search card" + Colon + "0000000") {
            Plug();
            Stage = Plugged;
        } else if (Stage == Plugged && Reads >= ReadsBefore + 2) {
            Stage = Done;
        }
        if (Stage == Done)
            Ctl<QPushButton>(*F.Form, "BtnStopRead")->click();
    });
    Driver.start(10);
    F.Click(Ctl<QPushButton>(*F.Form, "BtnStartRead"));

    EXPECT_EQ(Stage, Done);
    EXPECT_EQ(F.LinkPanel(), "Linked");
    // The new reader heard the link test first, then the loop's cycles.
    const auto Requests = Reader->Requests();
    ASSERT_GE(Requests.size(), 2u);
    EXPECT_EQ(Hex(Requests[0]), "03 12 00 15");
    EXPECT_TRUE(Ctl<QPushButton>(*F.Form, "BtnStartRead")->isEnabled());
    // The run's events name the outage as the link's, not as cards not found.
    const std::filesystem::path runs = F.Home().StateFolder() + "/runs";
    std::string events;
    for (const auto& file : std::filesystem::directory_iterator(runs))
        if (file.path().string().ends_with("-loop-read-events.csv"))
            events = (std::ostringstream() << std::ifstream(file.path()).rdbuf()).str();
    EXPECT_TRUE(events.starts_with("time,cycle,kind,count,detail\n")) << events;
    EXPECT_NE(events.find(",link,"), std::string::npos) << events;
    EXPECT_NE(events.find(",reader not linked\n"), std::string::npos) << events;
    EXPECT_EQ(events.find(",no-card,"), std::string::npos) << events;
}

TEST_F(VanishedReader, ChoosingAnotherPortEndsTheWatch)
{
    Unplug();
    ASSERT_TRUE(PanelReads("Un-Linked"));
    ASSERT_TRUE(F.Form->Session().WatchingForRelink());
    // With its link gone, COM1 names its default device (/dev/ttyS0, present
    // on many machines); the watch must not take that for the reader.
    WaitUntil([] { return false; }, 2500ms);
    EXPECT_FALSE(TSessionProbe::Device(F.Form->Session()).IsOpen());
    EXPECT_TRUE(F.Form->Session().WatchingForRelink());

    F.MapPort(2, "/nonexistent/orvelle-test-port");
    Ctl<TRadioGroup>(*F.Form, "RgPort")->SetItemIndex(1);
    EXPECT_FALSE(F.Form->Session().WatchingForRelink());
    EXPECT_EQ(F.Boxes.size(), 1u);
}

TEST(VanishedReaderAtStart, APortThatNeverOpenedIsNotWatched)
{
    TFormFixture F{[] {
        TFormOptions O;
        O.Com1Target = "/nonexistent/orvelle-test-port";
        return O;
    }()};
    ASSERT_EQ(F.Boxes.size(), 1u);
    EXPECT_EQ(F.Boxes[0].Text, "Can not open port!");
    EXPECT_EQ(F.LinkPanel(), "Un-Linked");
    EXPECT_FALSE(F.Form->Session().WatchingForRelink());
}

} // namespace
