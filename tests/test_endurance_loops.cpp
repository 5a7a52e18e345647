// The loop read and loop write tests, driven through the real window against
// the reader simulator on a real pseudo-terminal.
#include "app/MainForm.h"
#include "serial/Comm.h"
#include "sim/SimServer.h"
#include "support/FormFixture.h"
#include "support/PtyPeer.h"
#include "support/SessionProbe.h"
#include "widgets/RadioGroup.h"
#include "widgets/SpinEdit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <vector>

namespace {

using Frame = std::vector<uint8_t>;

const QString Colon = QStringLiteral("\uFF1A");
QString Caption(const char* Name, const char* Value = "") { return QString::fromLatin1(Name) + Colon + QString::fromLatin1(Value); }

// Frames as hex text, so a failure shows what went to the reader.
std::string Text(const std::vector<Frame>& Frames) { return FramesText(Frames); }

// The block image that a write of a 32-digit pattern puts on the card.
std::array<uint8_t, 16> PatternBytes(int Counter)
{
    std::array<uint8_t, 16> b{};
    const QString text = QString::asprintf("%08d", Counter);
    for (int i = 0; i < 4; ++i)
        b[12 + i] = uint8_t(text.mid(2 * i, 2).toInt(nullptr, 16));
    return b;
}
QString PatternText(int Counter) { return QString::asprintf("000000000000000000000000%08d", Counter); }

#define EXPECT_FRAMES(Got, Want) EXPECT_EQ(Text(Got), Text(Want))

// The real window linked to the simulator, with stop helpers for the loops.
class EnduranceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(Fx.LinkPanel(), QStringLiteral("Linked"));
        Sim.ClearRequests();
    }

    std::vector<Frame> RequestsOf(uint8_t Command) const
    {
        std::vector<Frame> out;
        for (auto& r : Sim.Requests())
            if (r.size() > 1 && r[1] == Command)
                out.push_back(r);
        return out;
    }
    int CountOf(uint8_t Command) const { return int(RequestsOf(Command).size()); }

    // Clicks Stop from inside the running loop once Pred holds. The check
    // runs on a timer, which fires in the loop's own event pumping; a
    // watchdog stops a run that never meets Pred, and the test then fails.
    void StopWhen(std::function<bool()> Pred, std::function<void()> OnStop = {})
    {
        Poll = std::make_unique<QTimer>();
        Poll->setInterval(5);
        QObject::connect(Poll.get(), &QTimer::timeout, [this, Pred, OnStop] {
            if (Stopped || !Form->Session().LoopFlag)
                return;
            if (Pred()) {
                Stopped = true;
                if (OnStop)
                    OnStop();
                ASSERT_TRUE(Ctl<QPushButton>(*Form, "BtnStopRead")->isEnabled() || Ctl<QPushButton>(*Form, "BtnStopWrite")->isEnabled());
                (Ctl<QPushButton>(*Form, "BtnStopRead")->isEnabled() ? Ctl<QPushButton>(*Form, "BtnStopRead") : Ctl<QPushButton>(*Form, "BtnStopWrite"))->click();
            } else if (std::chrono::steady_clock::now() > Deadline) {
                Stopped = true;
                TimedOut = true;
                Form->BtnStopReadClick();
            }
        });
        Stopped = false;
        TimedOut = false;
        Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        Poll->start();
    }

    QStringList LogLines() const { return Fx.LogLines(); }

    // The real window linked to the simulator; a generous reply time-out, so
    // a slow machine never turns an answered request into a failure.
    TFormFixture Fx{TFormOptions{5000}};
    sim::TSimServer& Sim = Fx.Sim;
    std::unique_ptr<TMainForm>& Form = Fx.Form;
    std::vector<TMessageRecord>& Boxes = Fx.Boxes;
    std::unique_ptr<QTimer> Poll;
    bool Stopped = false;
    bool TimedOut = false;
    std::chrono::steady_clock::time_point Deadline;
};

// ------------------------------------------------------------ elapsed time

TEST(EnduranceElapsed, KeepsCountingHoursPastADayInTheLocaleLayout)
{
    const qint64 t = 26 * 3600 + 3 * 60 + 15;
    EXPECT_EQ(TMainForm::ElapsedText(t, QStringLiteral("HH:mm:ss t")), QStringLiteral("26:03:15"));
    EXPECT_EQ(TMainForm::ElapsedText(t, QStringLiteral("h:mm:ss AP t")), QStringLiteral("26:03:15"));
    EXPECT_EQ(TMainForm::ElapsedText(t, QStringLiteral("t HH.mm.ss")), QStringLiteral("26.03.15"));
    EXPECT_EQ(TMainForm::ElapsedText(t, QStringLiteral("H 'h' mm 'min' ss 's'")), QStringLiteral("26 h 03 min 15 s"));
    EXPECT_EQ(TMainForm::ElapsedText(t, QStringLiteral("HH''mm''ss")), QStringLiteral("26'03'15"));
    EXPECT_EQ(TMainForm::ElapsedText(t, QStringLiteral("H 'o''clock' m")), QStringLiteral("26 o'clock 3"));
    EXPECT_EQ(TMainForm::ElapsedText(5, QStringLiteral("HH:mm:ss t")), QStringLiteral("00:00:05"));
    EXPECT_EQ(TMainForm::ElapsedText(5, QStringLiteral("H:m:s")), QStringLiteral("0:0:5"));
    EXPECT_EQ(TMainForm::ElapsedText(123 * 3600 + 59 * 60 + 59, QStringLiteral("hh:mm:ss")), QStringLiteral("123:59:59"));
    // A clock set back during a run shows no negative time.
    EXPECT_EQ(TMainForm::ElapsedText(-30, QStringLiteral("HH:mm:ss")), QStringLiteral("00:00:00"));
}

// ------------------------------------------------------------ loop read

TEST_F(EnduranceTest, ReadLoopCountsGoodCyclesAndFinishesTheCycleStoppedInAWait)
{
    std::array<uint8_t, 16> data{};
    for (int i = 0; i < 16; ++i)
        data[size_t(i)] = uint8_t(0xA0 + i);
    Sim.SetBlock(5, data);
    Ctl<TSpinEdit>(*Form, "EdtBlock")->setValue(5);
    Ctl<QComboBox>(*Form, "CmbTestKeyType")->setCurrentIndex(0);

    bool startsDisabled = false, stopEnabled = false, cardOpsLocked = false, settingsLive = false, sectorLive = false;
    // Stop while the third cycle's search waits for its reply: that cycle
    // still authenticates, reads and beeps before the loop ends.
    StopWhen([&] { return CountOf(0x0A) == 3; },
        [&] {
            startsDisabled = !Ctl<QPushButton>(*Form, "BtnStartRead")->isEnabled() && !Ctl<QPushButton>(*Form, "BtnStartWrite")->isEnabled();
            // The other test's Stop stays as it was: that test is idle.
            stopEnabled = Ctl<QPushButton>(*Form, "BtnStopRead")->isEnabled() && !Ctl<QPushButton>(*Form, "BtnStopWrite")->isEnabled();
            cardOpsLocked = !Ctl<QPushButton>(*Form, "Button9")->isEnabled() && !Ctl<QPushButton>(*Form, "Button1")->isEnabled();
            settingsLive = Ctl<QCheckBox>(*Form, "ChkBeep")->isEnabled() && Ctl<TSpinEdit>(*Form, "EdtMS")->isEnabled();
            SectorRadio(*Form, 5)->click();
            sectorLive = TMainForm::Tag(Ctl<QGroupBox>(*Form, "GbSec1")) == 5;
            // Read once at Start: these wait for the next run.
            Ctl<TSpinEdit>(*Form, "EdtBlock")->setValue(6);
            Ctl<QComboBox>(*Form, "CmbTestKeyType")->setCurrentIndex(1);
        });
    ASSERT_TRUE(Ctl<QPushButton>(*Form, "BtnStartRead")->isEnabled());
    Ctl<QPushButton>(*Form, "BtnStartRead")->click();
    ASSERT_FALSE(TimedOut);

    const Frame search = WithSum({0x03, 0x0A, 0x00});
    const Frame auth = WithSum({0x04, 0x05, 0x01, 0x00});
    const Frame read = WithSum({0x03, 0x06, 0x05});
    const Frame beep = WithSum({0x02, 0x13});
    std::vector<Frame> cycles;
    for (int i = 0; i < 3; ++i)
        cycles.insert(cycles.end(), {search, auth, read, beep});
    EXPECT_FRAMES(Sim.Requests(), cycles);

    EXPECT_EQ(Ctl<QLabel>(*Form, "LbReadSum")->text(), Caption("read", "0000003"));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbReadHex")->text(), Caption("read data", "A0A1A2A3A4A5A6A7A8A9AAABACADAEAF"));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbQuerySum")->text(), Caption("search card", "0000000"));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbReadErrSum")->text(), Caption("error", "0000000"));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbCheckErrSum")->text(), Caption("verification error", "0000000"));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbWriteSum")->text(), Caption("wrote", "0000000"));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbWriteErrSum")->text(), Caption("error", "0000000"));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbWriteHex")->text(), Caption("wrote data"));
    EXPECT_TRUE(Ctl<QLabel>(*Form, "LbTimeSum")->text().startsWith(Caption("time")));
    EXPECT_EQ(LogLines().count(QStringLiteral("Search card successful!")), 3);

    EXPECT_TRUE(startsDisabled);
    EXPECT_TRUE(stopEnabled);
    EXPECT_TRUE(cardOpsLocked);
    EXPECT_TRUE(settingsLive);
    EXPECT_TRUE(sectorLive);
    EXPECT_TRUE(Ctl<QPushButton>(*Form, "BtnStartRead")->isEnabled());
    EXPECT_TRUE(Ctl<QPushButton>(*Form, "BtnStartWrite")->isEnabled());
    EXPECT_FALSE(Ctl<QPushButton>(*Form, "BtnStopRead")->isEnabled());
    EXPECT_FALSE(Ctl<QPushButton>(*Form, "BtnStopWrite")->isEnabled());
    EXPECT_TRUE(Ctl<QPushButton>(*Form, "Button9")->isEnabled());
    EXPECT_FALSE(Form->Session().OperationRunning());
    EXPECT_FALSE(Form->Session().LoopFlag);

    // The next Start reads the new block and key type, from zero.
    Sim.ClearRequests();
    Ctl<QComboBox>(*Form, "CmbTestKeyType")->setCurrentIndex(0);
    StopWhen([&] { return CountOf(0x06) == 1; });
    Ctl<QPushButton>(*Form, "BtnStartRead")->click();
    ASSERT_FALSE(TimedOut);
    EXPECT_FRAMES(RequestsOf(0x06), std::vector<Frame>{WithSum({0x03, 0x06, 0x06})});
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbReadSum")->text(), Caption("read", "0000001"));
}

TEST_F(EnduranceTest, ReadLoopCountsFailuresAndKeepsTheLastSearchCountShown)
{
    Ctl<TSpinEdit>(*Form, "EdtBlock")->setValue(3); // a trailer is read like any block
    // Cycle 1: no card. 2: authentication refused. 3: good. 4: read refused.
    // 5: no card again, counted from 1 since the good cycle. 6: good.
    Sim.InjectFault(0x0A, {sim::TFaultKind::ErrorStatus, 0, sim::StatusNoCard}, 1, 0);
    Sim.InjectFault(0x05, {sim::TFaultKind::ErrorStatus, 0, sim::StatusAuthFailed}, 1, 0);
    Sim.InjectFault(0x06, {sim::TFaultKind::ErrorStatus, 0, sim::StatusNotAuth}, 1, 1);
    Sim.InjectFault(0x0A, {sim::TFaultKind::ErrorStatus, 0, sim::StatusNoCard}, 1, 3); // counted after the one above

    std::vector<QString> querySeen;
    StopWhen([&] {
        if (querySeen.empty() || querySeen.back() != Ctl<QLabel>(*Form, "LbQuerySum")->text())
            querySeen.push_back(Ctl<QLabel>(*Form, "LbQuerySum")->text());
        return CountOf(0x06) == 3;
    });
    Ctl<QPushButton>(*Form, "BtnStartRead")->click();
    ASSERT_FALSE(TimedOut);

    EXPECT_EQ(CountOf(0x0A), 6);
    EXPECT_EQ(CountOf(0x05), 4);
    EXPECT_FRAMES(RequestsOf(0x06), std::vector<Frame>(3, WithSum({0x03, 0x06, 0x03})));
    EXPECT_EQ(CountOf(0x13), 2);
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbReadSum")->text(), Caption("read", "0000002"));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbReadErrSum")->text(), Caption("error", "0000001"));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbQuerySum")->text(), Caption("search card", "0000001"));
    // 1 and 2 before the good cycle; after it the label kept 2 until the
    // next failure showed 1.
    ASSERT_GE(querySeen.size(), 3u);
    EXPECT_NE(std::find(querySeen.begin(), querySeen.end(), Caption("search card", "0000002")), querySeen.end());
    EXPECT_EQ(querySeen.back(), Caption("search card", "0000001"));
    EXPECT_EQ(LogLines().count(QStringLiteral("Search card fail!")), 2);
    EXPECT_EQ(LogLines().count(QStringLiteral("Search card successful!")), 4);
}

TEST_F(EnduranceTest, CountersShowTheWrapLimitOnceThenStartAgainAtOne)
{
    TSessionProbe::LoopStartCounters(Form->Session()).SearchErr = 999999;
    TSessionProbe::LoopStartCounters(Form->Session()).ReadErr = 999999;
    TSessionProbe::LoopStartCounters(Form->Session()).Read = 999999;
    // Cycles 1 and 2: no card. 3: read refused. 4 and 5: good.
    Sim.InjectFault(0x0A, {sim::TFaultKind::ErrorStatus, 0, sim::StatusNoCard}, 2, 0);
    Sim.InjectFault(0x06, {sim::TFaultKind::ErrorStatus, 0, sim::StatusNotAuth}, 1, 0);
    std::vector<QString> seen;
    auto note = [&](QLabel* L) {
        if (std::find(seen.begin(), seen.end(), L->text()) == seen.end())
            seen.push_back(L->text());
    };
    StopWhen([&] {
        note(Ctl<QLabel>(*Form, "LbQuerySum"));
        note(Ctl<QLabel>(*Form, "LbReadSum"));
        note(Ctl<QLabel>(*Form, "LbReadErrSum"));
        return CountOf(0x06) == 3;
    });
    Ctl<QPushButton>(*Form, "BtnStartRead")->click();
    ASSERT_FALSE(TimedOut);

    auto shown = [&](const QString& T) { return std::find(seen.begin(), seen.end(), T) != seen.end(); };
    EXPECT_TRUE(shown(Caption("search card", "1000000")));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbQuerySum")->text(), Caption("search card", "0000001"));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbReadErrSum")->text(), Caption("error", "1000000"));
    EXPECT_TRUE(shown(Caption("read", "1000000")));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbReadSum")->text(), Caption("read", "0000001"));
    TSessionProbe::LoopStartCounters(Form->Session()) = {};
}

// ------------------------------------------------------------ loop write

TEST_F(EnduranceTest, WriteLoopWritesNumberedPatternsAndCountsEveryOutcome)
{
    Ctl<TSpinEdit>(*Form, "EdtBlock")->setValue(9);
    // 1 good; 2 no card; 3 authentication refused; 4 write refused; 5 the
    // same pattern again, read-back refused; 6 read-back differs; 7 good;
    // 8 no card; 9 good.
    Sim.InjectFault(0x0A, {sim::TFaultKind::ErrorStatus, 0, sim::StatusNoCard}, 1, 1);
    Sim.InjectFault(0x05, {sim::TFaultKind::ErrorStatus, 0, sim::StatusAuthFailed}, 1, 1);
    Sim.InjectFault(0x07, {sim::TFaultKind::ErrorStatus, 0, sim::StatusAccessDenied}, 1, 1);
    Sim.InjectFault(0x06, {sim::TFaultKind::ErrorStatus, 0, sim::StatusNotAuth}, 1, 1);
    Sim.InjectFault(0x0A, {sim::TFaultKind::ErrorStatus, 0, sim::StatusNoCard}, 1, 5); // counted after the one above
    // Cycle 6: the card's block changes between the write and the read-back.
    // The simulator has carried a write out when its observer sees the
    // request, and the read-back can only follow the write's reply.
    std::array<uint8_t, 16> spoilt{};
    spoilt[15] = 0x99;
    std::atomic<int> writesSeen{0};
    std::atomic<bool> spoiltDone{false};
    Sim.SetObserver([&](const sim::TSimServer::TRecord& R) {
        if (R.FromProgram && R.Bytes.size() > 1 && R.Bytes[1] == 0x07 && ++writesSeen == 4) {
            Sim.SetBlock(9, spoilt);
            spoiltDone = true;
        }
    });

    StopWhen([&] { return CountOf(0x06) == 5; });
    ASSERT_TRUE(Ctl<QPushButton>(*Form, "BtnStartWrite")->isEnabled());
    Ctl<QPushButton>(*Form, "BtnStartWrite")->click();
    Sim.SetObserver(nullptr);
    ASSERT_FALSE(TimedOut);
    ASSERT_TRUE(spoiltDone);

    std::vector<QString> written;
    for (auto& w : RequestsOf(0x07)) {
        ASSERT_EQ(w.size(), 20u);
        EXPECT_EQ(w[2], 9);
        written.push_back(QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(w.data() + 3), 16).toHex().toUpper()));
    }
    const std::vector<QString> expected{PatternText(0), PatternText(1), PatternText(1), PatternText(2),
        PatternText(3), PatternText(4)};
    EXPECT_EQ(written, expected);
    EXPECT_EQ(CountOf(0x0A), 9);
    EXPECT_EQ(CountOf(0x13), 3);
    EXPECT_EQ(Sim.Block(9), PatternBytes(4));

    EXPECT_EQ(Ctl<QLabel>(*Form, "LbWriteSum")->text(), Caption("wrote", "0000005"));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbWriteErrSum")->text(), Caption("error", "0000001"));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbWriteHex")->text(), Caption("wrote data") + PatternText(4));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbReadSum")->text(), Caption("read", "0000004"));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbReadErrSum")->text(), Caption("error", "0000001"));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbReadHex")->text(), Caption("read data") + PatternText(4));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbCheckErrSum")->text(), Caption("verification error", "0000001"));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbQuerySum")->text(), Caption("search card", "0000001"));
    EXPECT_TRUE(Ctl<QPushButton>(*Form, "BtnStartWrite")->isEnabled());
    EXPECT_FALSE(Ctl<QPushButton>(*Form, "BtnStopWrite")->isEnabled());

    // A read run afterwards starts every label afresh.
    Sim.ClearFaults();
    StopWhen([&] { return CountOf(0x06) == 6; });
    Ctl<QPushButton>(*Form, "BtnStartRead")->click();
    ASSERT_FALSE(TimedOut);
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbReadSum")->text(), Caption("read", "0000001"));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbWriteSum")->text(), Caption("wrote", "0000000"));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbWriteHex")->text(), Caption("wrote data"));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbCheckErrSum")->text(), Caption("verification error", "0000000"));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbQuerySum")->text(), Caption("search card", "0000000"));
}

TEST_F(EnduranceTest, WritePatternWrapsWithTheWriteCounter)
{
    Ctl<TSpinEdit>(*Form, "EdtBlock")->setValue(1);
    TSessionProbe::LoopStartCounters(Form->Session()).Write = 999999;
    StopWhen([&] { return CountOf(0x06) == 2; });
    Ctl<QPushButton>(*Form, "BtnStartWrite")->click();
    ASSERT_FALSE(TimedOut);
    TSessionProbe::LoopStartCounters(Form->Session()) = {};

    std::vector<Frame> writes = RequestsOf(0x07);
    ASSERT_EQ(writes.size(), 2u);
    const auto last = PatternBytes(999999);
    EXPECT_EQ(Frame(writes[0].begin() + 3, writes[0].end() - 1), Frame(last.begin(), last.end()));
    EXPECT_EQ(Frame(writes[1].begin() + 3, writes[1].end() - 1), Frame(16, 0));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbWriteSum")->text(), Caption("wrote", "0000001"));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbCheckErrSum")->text(), Caption("verification error", "0000000"));
}

TEST_F(EnduranceTest, WriteLoopRefusesATrailerBlockAndChangesNothingElse)
{
    for (QLabel* l : {Ctl<QLabel>(*Form, "LbQuerySum"), Ctl<QLabel>(*Form, "LbReadSum"), Ctl<QLabel>(*Form, "LbWriteSum"), Ctl<QLabel>(*Form, "LbWriteHex")})
        l->setText(QStringLiteral("untouched"));
    for (int block : {3, 7, 63}) {
        Boxes.clear();
        for (bool flag : {false, true}) {
            Form->Session().LoopFlag = flag;
            Ctl<TSpinEdit>(*Form, "EdtBlock")->setValue(block);
            Ctl<QPushButton>(*Form, "BtnStartWrite")->click();
            ASSERT_EQ(Boxes.size(), 1u) << block;
            EXPECT_EQ(Boxes[0], (TMessageRecord{QStringLiteral("control block, can not be tested"), QStringLiteral("message"), 64}));
            Boxes.clear();
            EXPECT_EQ(Form->Session().LoopFlag, flag);
            EXPECT_TRUE(Ctl<QPushButton>(*Form, "BtnStartWrite")->isEnabled());
            EXPECT_FALSE(Ctl<QPushButton>(*Form, "BtnStopWrite")->isEnabled());
        }
    }
    Form->Session().LoopFlag = false;
    for (QLabel* l : {Ctl<QLabel>(*Form, "LbQuerySum"), Ctl<QLabel>(*Form, "LbReadSum"), Ctl<QLabel>(*Form, "LbWriteSum"), Ctl<QLabel>(*Form, "LbWriteHex")})
        EXPECT_EQ(l->text(), QStringLiteral("untouched"));
    // Nothing went to the reader: a link test afterwards is the first request.
    EXPECT_TRUE(Form->Session().TestLink());
    EXPECT_FRAMES(Sim.Requests(), std::vector<Frame>{WithSum({0x03, 0x12, 0x00})});
}

// ------------------------------------------------------------ one run at a time

TEST_F(EnduranceTest, NoSecondTestOrCardOperationRunsInsideARun)
{
    Ctl<TSpinEdit>(*Form, "EdtBlock")->setValue(2);
    int nestedWrites = -1;
    StopWhen([&] { return CountOf(0x06) == 2; },
        [&] {
            // Should a nested run start after all, this ends it, so
            // the test fails instead of hanging.
            QTimer::singleShot(3000, Form.get(), [this] { Form->BtnStopReadClick(); });
            // Straight to the handlers, as if a click got through.
            Form->BtnStartWriteClick();
            Form->Session().RunBasic(TBasicOp::Search);
            nestedWrites = CountOf(0x07) + CountOf(0x02);
        });
    Ctl<QPushButton>(*Form, "BtnStartRead")->click();
    ASSERT_FALSE(TimedOut);
    EXPECT_EQ(nestedWrites, 0);
    EXPECT_EQ(CountOf(0x07), 0);
    EXPECT_EQ(CountOf(0x02), 0);
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbReadSum")->text(), Caption("read", "0000002"));
    EXPECT_FALSE(Form->Session().OperationRunning());
}

TEST_F(EnduranceTest, APortChosenDuringARunIsOpenedBetweenCycles)
{
    sim::TSimServer second;
    Fx.MapPort(2, second.DevicePath());
    auto secondOf = [&](uint8_t Command) {
        int n = 0;
        for (auto& r : second.Requests())
            n += r.size() > 1 && r[1] == Command;
        return n;
    };
    bool chosen = false;
    StopWhen([&] {
        if (!chosen && CountOf(0x06) == 1) {
            chosen = true;
            Ctl<TRadioGroup>(*Form, "RgPort")->Button(1)->click(); // during the first cycle's read
        }
        return secondOf(0x06) == 1;
    });
    Ctl<QPushButton>(*Form, "BtnStartRead")->click();
    ASSERT_FALSE(TimedOut);

    const Frame search = WithSum({0x03, 0x0A, 0x00});
    const Frame auth = WithSum({0x04, 0x05, 0x00, 0x00});
    const Frame read = WithSum({0x03, 0x06, 0x01});
    const Frame beep = WithSum({0x02, 0x13});
    // The first cycle ends on the old port; the link test and its beep go
    // out on the new one before the next cycle.
    EXPECT_FRAMES(Sim.Requests(), (std::vector<Frame>{search, auth, read, beep}));
    EXPECT_FRAMES(second.Requests(), (std::vector<Frame>{WithSum({0x03, 0x12, 0x00}), beep, search, auth, read, beep}));
    EXPECT_EQ(StatusPanel(*Form, 1)->text(), QStringLiteral("Linked"));
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbReadSum")->text(), Caption("read", "0000002"));
    Form->close();
    Form.reset();
}

TEST_F(EnduranceTest, WithThePortClosedEveryCycleCountsASearchFailureAtAnExchangesPace)
{
    TSessionProbe::Device(Form->Session()).ClosePort();
    Fx.ClearLog();
    // Stopped from a timer, a second or so later (the machine may be slow).
    QTimer::singleShot(1000, Ctl<QPushButton>(*Form, "BtnStopRead"), [this] { Ctl<QPushButton>(*Form, "BtnStopRead")->click(); });
    const auto t0 = std::chrono::steady_clock::now();
    Ctl<QPushButton>(*Form, "BtnStartRead")->click();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();

    const QString shown = Ctl<QLabel>(*Form, "LbQuerySum")->text();
    const int failures = shown.mid(shown.indexOf(Colon) + 1).toInt();
    EXPECT_GE(failures, 1);
    // One 50 ms step a cycle at least: no spinning.
    EXPECT_LE(failures, ms / 50 + 1) << ms << " ms";
    EXPECT_EQ(LogLines().count(QStringLiteral("Search card fail!")), failures);
    EXPECT_EQ(LogLines().size(), failures);
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbReadSum")->text(), Caption("read", "0000000"));
    EXPECT_TRUE(Sim.Requests().empty());
}

TEST_F(EnduranceTest, StopInTheFirstPumpEndsTheRunBeforeAnyCycle)
{
    Ctl<QLabel>(*Form, "LbReadSum")->setText(QStringLiteral("before"));
    QTimer::singleShot(0, Ctl<QPushButton>(*Form, "BtnStopRead"), [this] { Ctl<QPushButton>(*Form, "BtnStopRead")->click(); });
    Ctl<QPushButton>(*Form, "BtnStartRead")->click();
    EXPECT_FALSE(Form->Session().LoopFlag);
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbReadSum")->text(), Caption("read", "0000000"));
    EXPECT_TRUE(Ctl<QPushButton>(*Form, "BtnStartRead")->isEnabled());
    EXPECT_FALSE(Ctl<QPushButton>(*Form, "BtnStopRead")->isEnabled());
    // Nothing went to the reader: a link test afterwards is the first request.
    EXPECT_TRUE(Form->Session().TestLink());
    EXPECT_FRAMES(Sim.Requests(), std::vector<Frame>{WithSum({0x03, 0x12, 0x00})});
}

TEST_F(EnduranceTest, AnErrorInsideTheLoopRestoresTheButtonsAndPassesOn)
{
    int calls = 0;
    TSessionProbe::SetSteady(Form->Session(), [&] {
        if (++calls == 3)
            throw std::runtime_error("clock gone");
        return SteadyMs({});
    });
    StopWhen([] { return false; }); // only the watchdog
    EXPECT_THROW(Form->BtnStartReadClick(), std::runtime_error);
    ASSERT_FALSE(TimedOut);
    TSessionProbe::SetSteady(Form->Session(), {});
    EXPECT_TRUE(Form->Session().LoopFlag); // left as it was
    Form->Session().LoopFlag = false;
    EXPECT_TRUE(Ctl<QPushButton>(*Form, "BtnStartRead")->isEnabled());
    EXPECT_FALSE(Ctl<QPushButton>(*Form, "BtnStopRead")->isEnabled());
    EXPECT_FALSE(Form->Session().OperationRunning());
    EXPECT_TRUE(Ctl<QPushButton>(*Form, "Button9")->isEnabled());
}

TEST_F(EnduranceTest, ElapsedTimeKeepsCountingPastADay)
{
    // The steady clock's start is arbitrary: far from zero here. The run
    // starts before its first search; the second cycle finds it 26 h later.
    TSessionProbe::SetSteady(Form->Session(), [&] { return CountOf(0x0A) == 0 ? 5000123 : 5000123 + qint64(94995) * 1000; });
    StopWhen([&] { return CountOf(0x06) == 2; });
    Ctl<QPushButton>(*Form, "BtnStartRead")->click();
    TSessionProbe::SetSteady(Form->Session(), {});
    ASSERT_FALSE(TimedOut);
    const QString format = QLocale::system().timeFormat(QLocale::LongFormat);
    EXPECT_EQ(Ctl<QLabel>(*Form, "LbTimeSum")->text(), QStringLiteral("time") + Colon + TMainForm::ElapsedText(94995, format));
    // 26 h 23 min 15 s, whatever the separators.
    EXPECT_TRUE(Ctl<QLabel>(*Form, "LbTimeSum")->text().contains(QStringLiteral("26"))) << Ctl<QLabel>(*Form, "LbTimeSum")->text().toStdString();
    EXPECT_TRUE(Ctl<QLabel>(*Form, "LbTimeSum")->text().contains(QStringLiteral("23"))) << Ctl<QLabel>(*Form, "LbTimeSum")->text().toStdString();
}

} // namespace
