// Start-up, port selection, settings and the operation guard, through the
// real window on a real serial line (the reader simulator or a scripted peer).
#include "reader/CardReader.h"
#include "reader/ReaderLink.h"
#include "serial/Comm.h"
#include "support/FormFixture.h"
#include "support/PtyPeer.h"
#include "support/SessionProbe.h"
#include "widgets/RadioGroup.h"
#include "widgets/SpinEdit.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const std::vector<uint8_t> LinkTestFrame = Bytes({0x03, 0x12, 0x00, 0x15});
const std::vector<uint8_t> BeepFrame = Bytes({0x02, 0x13, 0x15});

std::vector<QPushButton*> GuardedButtons(TMainForm& F)
{
    return {Ctl<QPushButton>(F, "Button9"), Ctl<QPushButton>(F, "Button10"), Ctl<QPushButton>(F, "Button11"), Ctl<QPushButton>(F, "Button12"), Ctl<QPushButton>(F, "Button1"), Ctl<QPushButton>(F, "Button7"), Ctl<QPushButton>(F, "Button5"), Ctl<QPushButton>(F, "Button3"),
        Ctl<QPushButton>(F, "BtnWriteBlock0"), Ctl<QPushButton>(F, "Button6"), Ctl<QPushButton>(F, "Button4"), Ctl<QPushButton>(F, "Button13"), Ctl<QPushButton>(F, "Button14"), Ctl<QPushButton>(F, "Button15"), Ctl<QPushButton>(F, "Button18"),
        Ctl<QPushButton>(F, "Button24"), Ctl<QPushButton>(F, "Button22"), Ctl<QPushButton>(F, "Button20"), Ctl<QPushButton>(F, "Button19"), Ctl<QPushButton>(F, "Button23"), Ctl<QPushButton>(F, "Button21"), Ctl<QPushButton>(F, "Button25"), Ctl<QPushButton>(F, "Button26"),
        Ctl<QPushButton>(F, "Button27"), Ctl<QPushButton>(F, "Button29"), Ctl<QPushButton>(F, "Button30"), Ctl<QPushButton>(F, "Button31"), Ctl<QPushButton>(F, "BtnDownKeys"), Ctl<QPushButton>(F, "BtnChangeKey"), Ctl<QPushButton>(F, "BtnStartRead"),
        Ctl<QPushButton>(F, "BtnStartWrite")};
}

std::vector<QPushButton*> TrailerButtons(TMainForm& F)
{
    return {Ctl<QPushButton>(F, "Button8"), Ctl<QPushButton>(F, "Button16"), Ctl<QPushButton>(F, "Button17"), Ctl<QPushButton>(F, "Button28"), Ctl<QPushButton>(F, "Button32")};
}

TEST(LinkStartUp, LinksOnFirstShow)
{
    TFormFixture F({.ReplyTimeoutMs = 3000, .Show = false});
    EXPECT_EQ(F.Form->windowTitle(), QStringLiteral("Orvelle"));
    EXPECT_EQ(F.LinkPanel(), QStringLiteral("Un-Link"));
    EXPECT_TRUE(F.Sim.Requests().empty());
    F.Show();
    EXPECT_EQ(F.LinkPanel(), QStringLiteral("Linked"));
    EXPECT_EQ(TSessionProbe::Device(F.Form->Session()).CommName(), "COM1");
    EXPECT_TRUE(TSessionProbe::Device(F.Form->Session()).IsOpen());
    EXPECT_EQ(FramesText(F.TakeAllFrames()), FramesText({LinkTestFrame, BeepFrame}));
    EXPECT_TRUE(F.Boxes.empty());

    // Showing again does not run the port selection again.
    F.Form->hide();
    F.Form->show();
    QCoreApplication::processEvents();
    EXPECT_TRUE(F.TakeAllFrames().empty());
}

TEST(LinkStartUp, AStartPortIsOpenedByTheFirstShow)
{
    TFormFixture F({.ReplyTimeoutMs = 3000, .Show = false, .Com1Target = "/nonexistent/orvelle-tty"});
    F.MapPort(2, F.Sim.DevicePath());
    F.Form->SetStartPort(1); // orvelle --port COM2
    EXPECT_TRUE(F.Sim.Requests().empty()) << "only the choice, not the opening";
    F.Show();
    EXPECT_EQ(TSessionProbe::Device(F.Form->Session()).CommName(), "COM2");
    EXPECT_EQ(F.LinkPanel(), QStringLiteral("Linked"));
    EXPECT_TRUE(F.Boxes.empty()) << "COM1 was never tried";
}

TEST(LinkStartUp, DefaultsAndSettings)
{
    TFormFixture F({.ReplyTimeoutMs = 0, .Show = false});
    TReaderLink& L = TSessionProbe::Link(F.Form->Session());
    const TReaderSettings& S = F.Form->Session().Settings();
    EXPECT_EQ(S, TReaderSettings({.Beep = true, .SearchMode = 0, .ReplyTimeout = 500}));
    EXPECT_EQ(L.ReplyTimeout, 500);

    F.SetBeep(false);
    EXPECT_FALSE(S.Beep);
    // With the beep setting off nothing is sent and no time passes.
    F.TakeAllFrames();
    F.Form->Session().BeepReader();
    EXPECT_TRUE(F.TakeAllFrames().empty());
    F.SetBeep(true);
    EXPECT_TRUE(S.Beep);
    F.SetSearchAllCards(true);
    EXPECT_EQ(S.SearchMode, 1);
    F.SetSearchAllCards(false);
    EXPECT_EQ(S.SearchMode, 0);

    F.SetReplyTimeout(3000);
    EXPECT_EQ(L.ReplyTimeout, 3000);
    // An empty box does not convert: the time-out becomes the minimum.
    Ctl<TSpinEdit>(*F.Form, "EdtMS")->setFocus();
    QTest::keyClick(Ctl<TSpinEdit>(*F.Form, "EdtMS"), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(Ctl<TSpinEdit>(*F.Form, "EdtMS"), Qt::Key_Backspace);
    EXPECT_EQ(Ctl<TSpinEdit>(*F.Form, "EdtMS")->text(), QString());
    EXPECT_EQ(L.ReplyTimeout, 100);
    QTest::keyClicks(Ctl<TSpinEdit>(*F.Form, "EdtMS"), QStringLiteral("250"));
    EXPECT_EQ(L.ReplyTimeout, 250);
}

TEST(LinkStartUp, SilentReaderIsUnLinked)
{
    PtyPeer Peer;
    TFormFixture F({.ReplyTimeoutMs = 300, .Show = false, .Com1Target = Peer.SlavePath()});
    F.Show();
    EXPECT_EQ(F.LinkPanel(), QStringLiteral("Un-Linked"));
    EXPECT_EQ(Hex(Peer.ReadUntilQuiet(300ms, 5s)), Hex(LinkTestFrame)); // and no beep
    EXPECT_TRUE(F.Boxes.empty());
    EXPECT_TRUE(TSessionProbe::Device(F.Form->Session()).IsOpen());
}

TEST(LinkStartUp, MissingPortAndPortChoice)
{
    TFormFixture F({.ReplyTimeoutMs = 3000, .Show = false, .Com1Target = "/nonexistent/orvelle-tty"});
    F.Show();
    EXPECT_EQ(F.Boxes, (std::vector<TMessageRecord>{{QStringLiteral("Can not open port!"), QStringLiteral("Message"), 64}}));
    // A closed port is never "Linked".
    EXPECT_EQ(F.LinkPanel(), QStringLiteral("Un-Linked"));
    EXPECT_FALSE(TSessionProbe::Device(F.Form->Session()).IsOpen());
    // Every exchange fails at once until a port opens.
    F.Click(Ctl<QPushButton>(*F.Form, "Button9"));
    EXPECT_EQ(F.LastLog(), QStringLiteral("Search card fail!"));
    EXPECT_EQ(TSessionProbe::Reader(F.Form->Session()).LastResult(), 20);

    // "COM3" is the simulator.
    F.MapPort(3, F.Sim.DevicePath());
    Ctl<TRadioGroup>(*F.Form, "RgPort")->SetItemIndex(2);
    EXPECT_EQ(TSessionProbe::Device(F.Form->Session()).CommName(), "COM3");
    EXPECT_EQ(F.LinkPanel(), QStringLiteral("Linked"));
    EXPECT_EQ(FramesText(F.TakeAllFrames()), FramesText({LinkTestFrame, BeepFrame}));

    // "COM4" cannot be opened: the old port is closed, and so "Un-Linked".
    F.MapPort(4, "/nonexistent/orvelle-tty");
    F.Boxes.clear();
    Ctl<TRadioGroup>(*F.Form, "RgPort")->Button(3)->click();
    EXPECT_EQ(TSessionProbe::Device(F.Form->Session()).CommName(), "COM4");
    EXPECT_EQ(F.Boxes.size(), 1u);
    EXPECT_EQ(F.LinkPanel(), QStringLiteral("Un-Linked"));
    EXPECT_FALSE(TSessionProbe::Device(F.Form->Session()).IsOpen());
}

// Everything a handler could do while a chain waits for the reader.
TEST(LinkGuard, OneChainAtATime)
{
    TFormFixture F;
    F.MapPort(2, F.Sim.DevicePath());
    F.TakeAllFrames();
    F.ClearLog();
    TMainForm& W = *F.Form;
    for (QPushButton* B : TrailerButtons(W))
        EXPECT_FALSE(B->isEnabled()) << B->objectName().toStdString();
    const bool StopReadEnabled = Ctl<QPushButton>(W, "BtnStopRead")->isEnabled();
    const bool StopWriteEnabled = Ctl<QPushButton>(W, "BtnStopWrite")->isEnabled();

    // The search's reply comes late enough for the probe to run in the wait.
    F.Sim.InjectFault(0x02, sim::TFault{sim::TFaultKind::Delay, 800});
    bool Probed = false;
    auto Step = TSessionProbe::Link(W.Session()).WaitStep;
    TSessionProbe::Link(W.Session()).WaitStep = [&](int N, int Ms) {
        Step(N, Ms);
        if (Probed)
            return;
        Probed = true;
        for (QPushButton* B : GuardedButtons(W))
            EXPECT_FALSE(B->isEnabled()) << B->objectName().toStdString();
        for (QPushButton* B : TrailerButtons(W))
            EXPECT_FALSE(B->isEnabled()) << B->objectName().toStdString();
        EXPECT_EQ(Ctl<QPushButton>(W, "BtnStopRead")->isEnabled(), StopReadEnabled);
        EXPECT_EQ(Ctl<QPushButton>(W, "BtnStopWrite")->isEnabled(), StopWriteEnabled);

        // Other chains are refused, pressed or called.
        QTest::mouseClick(Ctl<QPushButton>(W, "Button10"), Qt::LeftButton);
        W.Session().RunBasic(TBasicOp::Select);
        W.BtnStartReadClick();
        EXPECT_FALSE(W.Session().BeginOperation());
        EXPECT_FALSE(TSessionProbe::Reader(W.Session()).SelectCard());
        EXPECT_EQ(TSessionProbe::Reader(W.Session()).LastResult(), 20);

        // Settings, selectors and the log still work.
        F.SetBeep(false);
        EXPECT_FALSE(W.Session().Settings().Beep);
        F.SetBeep(true);
        F.SetSearchAllCards(true);
        EXPECT_EQ(W.Session().Settings().SearchMode, 1);
        F.SetReplyTimeout(2950);
        EXPECT_EQ(W.Session().Settings().ReplyTimeout, 2950);
        SectorRadio(W, 3)->click();
        EXPECT_EQ(TMainForm::Tag(Ctl<QGroupBox>(W, "GbSec1")), 3);
        W.Log(QStringLiteral("typed during the wait"));

        // A port change waits for the chain; closing too, and closing wins.
        Ctl<TRadioGroup>(W, "RgPort")->SetItemIndex(1);
        EXPECT_EQ(TSessionProbe::Device(W.Session()).CommName(), "COM1");
        W.Session().LoopFlag = true;
        EXPECT_FALSE(W.close());
        EXPECT_FALSE(W.Session().LoopFlag);
        EXPECT_TRUE(W.isVisible());
    };
    F.Click(Ctl<QPushButton>(W, "Button9"));
    TSessionProbe::Link(W.Session()).WaitStep = Step;
    EXPECT_TRUE(Probed);

    EXPECT_EQ(F.LogLines(), QStringList({QStringLiteral("typed during the wait"), QStringLiteral("Search card successfule!")}));
    // The search and its beep; the port change was dropped for the close.
    EXPECT_EQ(FramesText(F.TakeAllFrames()), FramesText({Bytes({0x03, 0x02, 0x00, 0x05}), BeepFrame}));
    EXPECT_EQ(TSessionProbe::Device(W.Session()).CommName(), "COM1");
    for (QPushButton* B : GuardedButtons(W))
        EXPECT_TRUE(B->isEnabled()) << B->objectName().toStdString();
    for (QPushButton* B : TrailerButtons(W))
        EXPECT_FALSE(B->isEnabled()) << B->objectName().toStdString();
    // The close asked for during the wait happens now.
    EXPECT_TRUE(WaitUntil([&] { return !W.isVisible(); }));
}

TEST(LinkGuard, PendingPortChangeBetweenLoopCycles)
{
    TFormFixture F;
    F.MapPort(2, F.Sim.DevicePath());
    F.TakeAllFrames();
    TMainForm& W = *F.Form;

    // As a loop test holds the guard across its cycles.
    ASSERT_TRUE(W.Session().BeginOperation());
    Ctl<TRadioGroup>(W, "RgPort")->SetItemIndex(1);
    EXPECT_EQ(TSessionProbe::Device(W.Session()).CommName(), "COM1");
    EXPECT_TRUE(F.TakeAllFrames().empty());
    W.Session().RunPendingPortChange();
    EXPECT_EQ(TSessionProbe::Device(W.Session()).CommName(), "COM2");
    EXPECT_EQ(FramesText(F.TakeAllFrames()), FramesText({LinkTestFrame, BeepFrame}));
    W.Session().RunPendingPortChange(); // nothing left to do
    W.Session().EndOperation();
    EXPECT_TRUE(F.TakeAllFrames().empty());
    EXPECT_TRUE(Ctl<QPushButton>(W, "Button9")->isEnabled());

    // Without a pending change, EndOperation changes nothing.
    ASSERT_TRUE(W.Session().BeginOperation());
    W.Session().EndOperation();
    EXPECT_TRUE(F.TakeAllFrames().empty());
    EXPECT_TRUE(W.close());
}

} // namespace
