// Start-up, port selection, settings and the operation guard, through the
// real window on a real serial line (the reader simulator or a scripted peer).
#include "reader/ReaderLink.h"
#include "serial/Comm.h"
#include "support/FormFixture.h"
#include "support/PtyPeer.h"
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
    return {F.Button9, F.Button10, F.Button11, F.Button12, F.Button1, F.Button7, F.Button5, F.Button3,
        F.BtnWriteBlock0, F.Button6, F.Button4, F.Button13, F.Button14, F.Button15, F.Button18,
        F.Button24, F.Button22, F.Button20, F.Button19, F.Button23, F.Button21, F.Button25, F.Button26,
        F.Button27, F.Button29, F.Button30, F.Button31, F.BtnDownKeys, F.BtnChangeKey, F.BtnStartRead,
        F.BtnStartWrite};
}

std::vector<QPushButton*> TrailerButtons(TMainForm& F)
{
    return {F.Button8, F.Button16, F.Button17, F.Button28, F.Button32};
}

TEST(LinkStartUp, LinksOnFirstShow)
{
    TFormFixture F({.ReplyTimeoutMs = 3000, .Show = false});
    EXPECT_EQ(F.Form->windowTitle(), QStringLiteral("Orvelle"));
    EXPECT_EQ(F.LinkPanel(), QStringLiteral("Un-Link"));
    EXPECT_TRUE(F.Sim.Requests().empty());
    F.Show();
    EXPECT_EQ(F.LinkPanel(), QStringLiteral("Linked"));
    EXPECT_EQ(F.Form->MyDevice->CommName(), "COM1");
    EXPECT_TRUE(F.Form->MyDevice->IsOpen());
    EXPECT_EQ(FramesText(F.TakeAllFrames()), FramesText({LinkTestFrame, BeepFrame}));
    EXPECT_TRUE(F.Boxes.empty());

    // Showing again does not run the port selection again.
    F.Form->hide();
    F.Form->show();
    QCoreApplication::processEvents();
    EXPECT_TRUE(F.TakeAllFrames().empty());
}

TEST(LinkStartUp, DefaultsAndSettings)
{
    TFormFixture F({.ReplyTimeoutMs = 0, .Show = false});
    TReaderLink& L = *F.Form->Link;
    EXPECT_EQ(L.ReplyTimeout, 500);
    EXPECT_TRUE(L.BeepSetting);
    EXPECT_EQ(L.SearchMode, 0);

    F.SetBeep(false);
    EXPECT_FALSE(L.BeepSetting);
    F.SetBeep(true);
    EXPECT_TRUE(L.BeepSetting);
    F.SetSearchAllCards(true);
    EXPECT_EQ(L.SearchMode, 1);
    F.SetSearchAllCards(false);
    EXPECT_EQ(L.SearchMode, 0);

    F.SetReplyTimeout(3000);
    EXPECT_EQ(L.ReplyTimeout, 3000);
    // An empty box does not convert: the time-out becomes the minimum.
    F.Form->EdtMS->setFocus();
    QTest::keyClick(F.Form->EdtMS, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(F.Form->EdtMS, Qt::Key_Backspace);
    EXPECT_EQ(F.Form->EdtMS->text(), QString());
    EXPECT_EQ(L.ReplyTimeout, 100);
    QTest::keyClicks(F.Form->EdtMS, QStringLiteral("250"));
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
    EXPECT_TRUE(F.Form->MyDevice->IsOpen());
}

TEST(LinkStartUp, MissingPortAndPortChoice)
{
    TFormFixture F({.ReplyTimeoutMs = 3000, .Show = false, .Com1Target = "/nonexistent/orvelle-tty"});
    F.Show();
    EXPECT_EQ(F.Boxes, (std::vector<TMessageRecord>{{QStringLiteral("Can not open port!"), QStringLiteral("Message"), 64}}));
    EXPECT_EQ(F.LinkPanel(), QStringLiteral("Un-Link"));
    EXPECT_FALSE(F.Form->MyDevice->IsOpen());
    // Every exchange fails at once until a port opens.
    F.Click(F.Form->Button9);
    EXPECT_EQ(F.LastLog(), QStringLiteral("Search card fail!"));
    {
        TOperationScope Scope(F.Form.get());
        EXPECT_EQ(F.Form->ExchangeFrame(BuildBeep()), 20);
    }

    // "COM3" is the simulator.
    F.MapPort(3, F.Sim.DevicePath());
    F.Form->RgPort->SetItemIndex(2);
    EXPECT_EQ(F.Form->MyDevice->CommName(), "COM3");
    EXPECT_EQ(F.LinkPanel(), QStringLiteral("Linked"));
    EXPECT_EQ(FramesText(F.TakeAllFrames()), FramesText({LinkTestFrame, BeepFrame}));

    // "COM4" cannot be opened: the panel keeps "Linked", the old port is closed.
    F.MapPort(4, "/nonexistent/orvelle-tty");
    F.Boxes.clear();
    F.Form->RgPort->Button(3)->click();
    EXPECT_EQ(F.Form->MyDevice->CommName(), "COM4");
    EXPECT_EQ(F.Boxes.size(), 1u);
    EXPECT_EQ(F.LinkPanel(), QStringLiteral("Linked"));
    EXPECT_FALSE(F.Form->MyDevice->IsOpen());
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
    const bool StopReadEnabled = W.BtnStopRead->isEnabled();
    const bool StopWriteEnabled = W.BtnStopWrite->isEnabled();

    // The search's reply comes late enough for the probe to run in the wait.
    F.Sim.InjectFault(0x02, sim::Fault{sim::FaultKind::Delay, 800});
    bool Probed = false;
    auto Step = W.Link->WaitStep;
    W.Link->WaitStep = [&](int N, int Ms) {
        Step(N, Ms);
        if (Probed)
            return;
        Probed = true;
        for (QPushButton* B : GuardedButtons(W))
            EXPECT_FALSE(B->isEnabled()) << B->objectName().toStdString();
        for (QPushButton* B : TrailerButtons(W))
            EXPECT_FALSE(B->isEnabled()) << B->objectName().toStdString();
        EXPECT_EQ(W.BtnStopRead->isEnabled(), StopReadEnabled);
        EXPECT_EQ(W.BtnStopWrite->isEnabled(), StopWriteEnabled);

        // Other chains are refused, pressed or called.
        QTest::mouseClick(W.Button10, Qt::LeftButton);
        W.Button11Click();
        W.BtnStartReadClick();
        EXPECT_FALSE(W.BeginOperation());
        EXPECT_EQ(W.ExchangeFrame(BuildBeep()), 20);

        // Settings, selectors and the log still work.
        F.SetBeep(false);
        EXPECT_FALSE(W.Link->BeepSetting);
        F.SetBeep(true);
        F.SetSearchAllCards(true);
        EXPECT_EQ(W.Link->SearchMode, 1);
        F.SetReplyTimeout(2950);
        EXPECT_EQ(W.Link->ReplyTimeout, 2950);
        W.SectorRadios[3]->click();
        EXPECT_EQ(TMainForm::Tag(W.GbSec1), 3);
        W.Log(QStringLiteral("typed during the wait"));

        // A port change waits for the chain; closing too.
        W.RgPort->SetItemIndex(1);
        EXPECT_EQ(W.MyDevice->CommName(), "COM1");
        W.LoopFlag = true;
        EXPECT_FALSE(W.close());
        EXPECT_FALSE(W.LoopFlag);
        EXPECT_TRUE(W.isVisible());
    };
    F.Click(W.Button9);
    W.Link->WaitStep = Step;
    EXPECT_TRUE(Probed);

    EXPECT_EQ(F.LogLines(), QStringList({QStringLiteral("typed during the wait"), QStringLiteral("Search card successfule!")}));
    // The search, its beep, then the postponed port change on COM2.
    EXPECT_EQ(FramesText(F.TakeAllFrames()),
        FramesText({Bytes({0x03, 0x02, 0x00, 0x05}), BeepFrame, LinkTestFrame, BeepFrame}));
    EXPECT_EQ(W.MyDevice->CommName(), "COM2");
    EXPECT_EQ(F.LinkPanel(), QStringLiteral("Linked"));
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
    ASSERT_TRUE(W.BeginOperation());
    W.RgPort->SetItemIndex(1);
    EXPECT_EQ(W.MyDevice->CommName(), "COM1");
    EXPECT_TRUE(F.TakeAllFrames().empty());
    W.RunPendingPortChange();
    EXPECT_EQ(W.MyDevice->CommName(), "COM2");
    EXPECT_EQ(FramesText(F.TakeAllFrames()), FramesText({LinkTestFrame, BeepFrame}));
    W.RunPendingPortChange(); // nothing left to do
    W.EndOperation();
    EXPECT_TRUE(F.TakeAllFrames().empty());
    EXPECT_TRUE(W.Button9->isEnabled());

    // Without a pending change, EndOperation changes nothing.
    ASSERT_TRUE(W.BeginOperation());
    W.EndOperation();
    EXPECT_TRUE(F.TakeAllFrames().empty());
    EXPECT_TRUE(W.close());
}

} // namespace
