// Card discovery through the real window and the reader simulator: the
// frames on the line, the log lines, the boxes, and the beeps.
#include "support/FormFixture.h"
#include "support/PtyPeer.h"

#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

using TFrames = std::vector<std::vector<uint8_t>>;

std::string Text(const TFrames& Frames) { return FramesText(Frames); }

class DiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        F.Sim.SetSerial({0x0A, 0x0B, 0x0C, 0x0D});
        F.TakeAllFrames(); // the start-up link test and beep
        F.ClearLog();
        Beeps = F.Sim.BeepCount();
    }

    int NewBeeps()
    {
        const int Now = F.Sim.BeepCount();
        const int New = Now - Beeps;
        Beeps = Now;
        return New;
    }

    TFormFixture F;
    int Beeps = 0;
};

TEST(DiscoveryStartUp, LinksAndBeeps)
{
    TFormFixture F;
    EXPECT_EQ(F.LinkPanel(), QStringLiteral("Linked"));
    EXPECT_EQ(Text(F.TakeAllFrames()), Text({Bytes({0x03, 0x12, 0x00, 0x15}), Bytes({0x02, 0x13, 0x15})}));
    EXPECT_EQ(F.Sim.BeepCount(), 1);
    EXPECT_TRUE(F.Boxes.empty());
}

TEST_F(DiscoveryTest, BasicButtonsInTurn)
{
    struct {
        QPushButton* Button;
        std::vector<uint8_t> Request;
        const char* Log;
        const char* CardType;
        const char* Serial;
    } const Steps[] = {
        {Ctl<QPushButton>(*F.Form, "Button9"), Bytes({0x03, 0x02, 0x00, 0x05}), "Search card successfule!", "MifareOne", ""},
        {Ctl<QPushButton>(*F.Form, "Button10"), Bytes({0x02, 0x03, 0x05}), "Anticollision success!", "MifareOne", "0A0B0C0D"},
        {Ctl<QPushButton>(*F.Form, "Button11"), Bytes({0x02, 0x04, 0x06}), "select card success!", "MifareOne", "0A0B0C0D"},
        {Ctl<QPushButton>(*F.Form, "Button12"), Bytes({0x02, 0x09, 0x0B}), "stop card success", "MifareOne", "0A0B0C0D"},
    };
    for (const auto& S : Steps) {
        F.Click(S.Button);
        EXPECT_EQ(Text(F.TakeAllFrames()), Text({S.Request, Bytes({0x02, 0x13, 0x15})})) << S.Log;
        EXPECT_EQ(F.LastLog(), QString::fromLatin1(S.Log));
        EXPECT_EQ(Ctl<QLineEdit>(*F.Form, "EdtCardType")->text(), QString::fromLatin1(S.CardType)) << S.Log;
        EXPECT_EQ(Ctl<QLineEdit>(*F.Form, "EdtSN")->text(), QString::fromLatin1(S.Serial)) << S.Log;
        EXPECT_EQ(NewBeeps(), 1) << S.Log;
    }
    EXPECT_EQ(F.LogLines().size(), 4);
    EXPECT_TRUE(F.Boxes.empty());

    // Searching again keeps the serial number the anticollision showed.
    F.Sim.SetSerial({0x00, 0x00, 0x00, 0x01});
    F.SetSearchAllCards(true); // the card is halted now
    F.Click(Ctl<QPushButton>(*F.Form, "Button9"));
    EXPECT_EQ(Text(F.TakeFrames()), Text({Bytes({0x03, 0x02, 0x01, 0x06})}));
    EXPECT_EQ(Ctl<QLineEdit>(*F.Form, "EdtSN")->text(), QStringLiteral("0A0B0C0D"));
    F.Click(Ctl<QPushButton>(*F.Form, "Button10"));
    EXPECT_EQ(Ctl<QLineEdit>(*F.Form, "EdtSN")->text(), QStringLiteral("00000001"));
}

TEST_F(DiscoveryTest, FailuresLeaveTheBoxesAndDoNotBeep)
{
    F.Click(Ctl<QPushButton>(*F.Form, "Button9"));
    F.Click(Ctl<QPushButton>(*F.Form, "Button10"));
    F.TakeAllFrames();
    NewBeeps();
    F.ClearLog();

    F.Sim.RemoveCard();
    struct {
        QPushButton* Button;
        const char* Log;
    } const Steps[] = {
        {Ctl<QPushButton>(*F.Form, "Button9"), "Search card fail!"},
        {Ctl<QPushButton>(*F.Form, "Button10"), "Anticollision fail"},
        {Ctl<QPushButton>(*F.Form, "Button11"), "select card fail"},
        {Ctl<QPushButton>(*F.Form, "Button12"), "stop card fail"},
    };
    for (const auto& S : Steps) {
        F.Click(S.Button);
        EXPECT_EQ(F.LastLog(), QString::fromLatin1(S.Log));
        EXPECT_EQ(F.TakeAllFrames().size(), 1u) << S.Log; // no beep frame
    }
    EXPECT_EQ(NewBeeps(), 0);
    EXPECT_EQ(Ctl<QLineEdit>(*F.Form, "EdtCardType")->text(), QStringLiteral("MifareOne"));
    EXPECT_EQ(Ctl<QLineEdit>(*F.Form, "EdtSN")->text(), QStringLiteral("0A0B0C0D"));
    EXPECT_TRUE(F.Boxes.empty());
}

TEST_F(DiscoveryTest, HaltedCardWantsAllCards)
{
    F.Sim.HaltCard();
    F.Click(Ctl<QPushButton>(*F.Form, "Button9"));
    EXPECT_EQ(F.LastLog(), QStringLiteral("Search card fail!"));
    EXPECT_EQ(Text(F.TakeFrames()), Text({Bytes({0x03, 0x02, 0x00, 0x05})}));

    F.SetSearchAllCards(true);
    F.Click(Ctl<QPushButton>(*F.Form, "Button9"));
    EXPECT_EQ(F.LastLog(), QStringLiteral("Search card successfule!"));
    EXPECT_EQ(Text(F.TakeFrames()), Text({Bytes({0x03, 0x02, 0x01, 0x06})}));

    // The search with serial number follows the same setting.
    F.Sim.HaltCard();
    F.SetSearchAllCards(false);
    EXPECT_FALSE(F.Form->Session().SearchCardSerial());
    F.SetSearchAllCards(true);
    EXPECT_TRUE(F.Form->Session().SearchCardSerial());
    EXPECT_EQ(Text(F.TakeFrames()), Text({Bytes({0x03, 0x0A, 0x00, 0x0D}), Bytes({0x03, 0x0A, 0x01, 0x0E})}));
    EXPECT_EQ(F.LogLines().mid(F.LogLines().size() - 2),
        QStringList({QStringLiteral("Search card fail!"), QStringLiteral("Search card successful!")}));
    EXPECT_EQ(Ctl<QLineEdit>(*F.Form, "EdtSN")->text(), QStringLiteral("0A0B0C0D"));
    EXPECT_EQ(Ctl<QLineEdit>(*F.Form, "EdtCardType")->text(), QStringLiteral("MifareOne"));
    EXPECT_EQ(NewBeeps(), 1); // the one button press; the search alone does not beep
}

TEST_F(DiscoveryTest, BeepOffMeansOneFrameAPress)
{
    F.SetBeep(false);
    for (QPushButton* B : {Ctl<QPushButton>(*F.Form, "Button9"), Ctl<QPushButton>(*F.Form, "Button10"), Ctl<QPushButton>(*F.Form, "Button11"), Ctl<QPushButton>(*F.Form, "Button12")}) {
        F.Click(B);
        EXPECT_EQ(F.TakeAllFrames().size(), 1u) << B->objectName().toStdString();
    }
    EXPECT_EQ(NewBeeps(), 0);
    EXPECT_EQ(F.LastLog(), QStringLiteral("stop card success"));
}

TEST_F(DiscoveryTest, InjectedFaultsAreFailures)
{
    F.SetReplyTimeout(600);
    struct {
        sim::TFaultKind Kind;
        const char* Name;
    } const Faults[] = {
        {sim::TFaultKind::NoReply, "no reply"},
        {sim::TFaultKind::BadChecksum, "bad checksum"},
        {sim::TFaultKind::Short, "half a reply"},
        {sim::TFaultKind::ErrorStatus, "reader status"},
    };
    for (const auto& Fl : Faults) {
        F.Sim.InjectFault(0x02, sim::TFault{Fl.Kind});
        F.Click(Ctl<QPushButton>(*F.Form, "Button9"));
        EXPECT_EQ(F.LastLog(), QStringLiteral("Search card fail!")) << Fl.Name;
        F.Sim.InjectFault(0x0A, sim::TFault{Fl.Kind});
        EXPECT_FALSE(F.Form->Session().SearchCardSerial()) << Fl.Name;
        EXPECT_EQ(F.LastLog(), QStringLiteral("Search card fail!")) << Fl.Name;
    }
    EXPECT_EQ(NewBeeps(), 0);
    EXPECT_EQ(Ctl<QLineEdit>(*F.Form, "EdtCardType")->text(), QString());

    // A reply split by a pause longer than the read interval still counts.
    F.SetReplyTimeout(3000);
    F.Sim.InjectFault(0x0A, sim::TFault{sim::TFaultKind::Split, 250});
    EXPECT_TRUE(F.Form->Session().SearchCardSerial());
    EXPECT_EQ(Ctl<QLineEdit>(*F.Form, "EdtSN")->text(), QStringLiteral("0A0B0C0D"));
}

// Replies that pass the checksum but stop before the bytes the operation
// reads: a scripted reader on a pseudo-terminal, since a sound one never
// sends them.
TEST(DiscoveryShortReply, CountedAsFailure)
{
    PtyPeer Peer;
    TFormFixture F({.ReplyTimeoutMs = 3000, .Show = false, .Com1Target = Peer.SlavePath()});
    Ctl<QLineEdit>(*F.Form, "EdtCardType")->setText(QStringLiteral("old type"));
    Ctl<QLineEdit>(*F.Form, "EdtSN")->setText(QStringLiteral("old sn"));
    F.SetReplyTimeout(150);
    F.Show(); // the link test goes unanswered
    EXPECT_EQ(F.LinkPanel(), QStringLiteral("Un-Linked"));
    Peer.Read(4, 5s);
    F.SetReplyTimeout(3000);

    struct {
        std::function<bool()> Run;
        std::vector<uint8_t> Reply;
        const char* Log;
    } const Cases[] = {
        {[&] { return F.Form->Session().SearchCard(); }, Bytes({0x02, 0x02, 0x04}), "Search card fail!"},
        {[&] { return F.Form->Session().SearchCardSerial(); }, Bytes({0x03, 0x0A, 0x01, 0x0E}), "Search card fail!"},
        {[&] { return F.Form->Session().SearchCardSerial(); }, Bytes({0x06, 0x0A, 0x01, 0x12, 0x34, 0x56, 0xFD}),
            "Search card fail!"},
        {[&] { return F.Form->Session().AnticollCard(); }, Bytes({0x05, 0x03, 0x12, 0x34, 0x56, 0xA4}), "Anticollision fail"},
    };
    for (const auto& C : Cases) {
        std::thread Reader([&] {
            if (Peer.Read(3, 5s).size() >= 3) {
                Peer.ReadUntilQuiet(50ms, 1s);
                Peer.Write(C.Reply);
            }
        });
        EXPECT_FALSE(C.Run()) << C.Log;
        Reader.join();
        EXPECT_EQ(F.LastLog(), QString::fromLatin1(C.Log));
        EXPECT_EQ(Ctl<QLineEdit>(*F.Form, "EdtCardType")->text(), QStringLiteral("old type"));
        EXPECT_EQ(Ctl<QLineEdit>(*F.Form, "EdtSN")->text(), QStringLiteral("old sn"));
    }

    // The same reader with the whole reply: taken.
    std::thread Reader([&] {
        Peer.Read(4, 5s);
        Peer.Write(Bytes({0x07, 0x0A, 0x04, 0x12, 0x34, 0x56, 0x78, 0x29}));
    });
    EXPECT_TRUE(F.Form->Session().SearchCardSerial());
    Reader.join();
    EXPECT_EQ(F.LastLog(), QStringLiteral("Search card successful!"));
    EXPECT_EQ(Ctl<QLineEdit>(*F.Form, "EdtCardType")->text(), QStringLiteral("unknow type"));
    EXPECT_EQ(Ctl<QLineEdit>(*F.Form, "EdtSN")->text(), QStringLiteral("12345678"));
}

} // namespace
