// The loop read and loop write tests of the "Others" page: endless cycles of
// search, authenticate, (write,) read, each outcome counted in the labels of
// the "Infomation：" group. A test runs inside its Start button's click and
// pumps window events between cycles, so the Stop buttons stay live.
#include "app/MainForm.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLocale>
#include <QPushButton>

#include "protocol/CardLayout.h"
#include "reader/ReaderLink.h"
#include "widgets/SpinEdit.h"

namespace {

// The exchanges' own wait step.
constexpr qint64 MinimumCycleMs = 50;

// A counter shows 1000000 once, then starts again from 1.
constexpr int32_t CounterWrapLimit = 1000000;

// The full-width colon that ends every caption of the group.
const QString Colon = QStringLiteral("\uFF1A");

QString CounterText(const char* Name, int32_t Value)
{
    return QString::fromLatin1(Name) + Colon + QString::asprintf("%.7d", Value);
}

// Counting rule shared by every counter: add one, show it, then wrap.
void Count(int32_t& Counter, QLabel* Label, const char* Name)
{
    ++Counter;
    Label->setText(CounterText(Name, Counter));
    if (Counter >= CounterWrapLimit)
        Counter = 0;
}

// A good read: the count and the data are shown before the count wraps.
void CountRead(int32_t& Counter, QLabel* SumLabel, QLabel* DataLabel, const QString& Data)
{
    ++Counter;
    SumLabel->setText(CounterText("read", Counter));
    DataLabel->setText(QStringLiteral("read data") + Colon + Data);
    if (Counter >= CounterWrapLimit)
        Counter = 0;
}

// Restores the Idle state of one test's buttons however its loop ends,
// an escaping exception included.
class TLoopButtons {
public:
    TLoopButtons(QPushButton* Start, QPushButton* Stop)
        : FStart(Start)
        , FStop(Stop)
    {
    }
    ~TLoopButtons()
    {
        FStart->setEnabled(true);
        FStop->setEnabled(false);
    }
    TLoopButtons(const TLoopButtons&) = delete;
    TLoopButtons& operator=(const TLoopButtons&) = delete;

private:
    QPushButton* FStart;
    QPushButton* FStop;
};

} // namespace

QString TMainForm::ElapsedText(qint64 Seconds, const QString& LongTimeFormat)
{
    if (Seconds < 0) // the clock was set back during the run
        Seconds = 0;
    const qint64 hours = Seconds / 3600;
    const int minutes = int(Seconds / 60 % 60);
    const int seconds = int(Seconds % 60);

    // Walk the format in QLocale's notation: quoted text is literal, runs of
    // one letter are fields. Hours come from the elapsed seconds so that a
    // run past a day keeps counting (26:03:15, not 02:03:15); a time zone or
    // an AM/PM marker means nothing for a duration and is dropped.
    QString out;
    const int n = LongTimeFormat.size();
    int i = 0;
    while (i < n) {
        const QChar c = LongTimeFormat[i];
        if (c == u'\'') {
            ++i;
            if (i < n && LongTimeFormat[i] == u'\'') { // '' is one quote
                out += u'\'';
                ++i;
                continue;
            }
            while (i < n) {
                if (LongTimeFormat[i] == u'\'') {
                    if (i + 1 < n && LongTimeFormat[i + 1] == u'\'') {
                        out += u'\'';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                out += LongTimeFormat[i++];
            }
            continue;
        }
        int run = 1;
        while (i + run < n && LongTimeFormat[i + run] == c)
            ++run;
        const char16_t l = c.unicode();
        if (l == u'h' || l == u'H') {
            out += QString::number(hours).rightJustified(run >= 2 ? 2 : 1, u'0');
        } else if (l == u'm') {
            out += QString::number(minutes).rightJustified(run >= 2 ? 2 : 1, u'0');
        } else if (l == u's') {
            out += QString::number(seconds).rightJustified(run >= 2 ? 2 : 1, u'0');
        } else if (l == u'z') {
            out += run >= 3 ? QStringLiteral("000") : QStringLiteral("0");
        } else if (l == u't' || l == u'a' || l == u'A' || l == u'p' || l == u'P') {
            // time zone, AM/PM: left out
        } else {
            out += QString(run, c);
        }
        i += run;
    }
    return out.simplified();
}

QDateTime TMainForm::LoopNow() const { return Now ? Now() : QDateTime::currentDateTime(); }

void TMainForm::ShowLoopStartTexts()
{
    LbQuerySum->setText(CounterText("search card", 0));
    LbCheckErrSum->setText(CounterText("verification error", 0));
    LbReadSum->setText(CounterText("read", 0));
    LbReadErrSum->setText(CounterText("error", 0));
    LbReadHex->setText(QStringLiteral("read data") + Colon);
    LbWriteSum->setText(CounterText("wrote", 0));
    LbWriteErrSum->setText(CounterText("error", 0));
    LbWriteHex->setText(QStringLiteral("wrote data") + Colon);
}

template <class TCycle>
void TMainForm::RunLoopTest(QPushButton* Start, QPushButton* Stop, TCycle&& Cycle)
{
    // The whole run is one operation: no other card operation and no second
    // test may start inside its exchanges, since they all share the one
    // exchange buffer. The Stop buttons, the settings and the log stay live.
    TOperationScope scope(this);
    if (!scope)
        return;

    LoopFlag = true;
    Start->setEnabled(false);
    Stop->setEnabled(true);
    TLoopButtons buttons(Start, Stop);

    ShowLoopStartTexts();
    QCoreApplication::processEvents();
    const QDateTime started = LoopNow();
    const QString timeFormat = QLocale::system().timeFormat(QLocale::LongFormat);

    while (LoopFlag) {
        QElapsedTimer cycleTime;
        cycleTime.start();
        QCoreApplication::processEvents();
        // No exchange waits here, so a port chosen during the last cycle can
        // be opened now.
        RunPendingPortChange();
        LbTimeSum->setText(QStringLiteral("time") + Colon
            + ElapsedText(started.secsTo(LoopNow()), timeFormat));
        Cycle();
        // With the port closed every exchange fails without waiting: unpaced,
        // the loop would spin a core and add log lines by the thousand each
        // second. One wait step per cycle keeps it at an exchange's pace.
        // The window stays live meanwhile; a timer that fires a little early
        // is made up for.
        for (qint64 spent = cycleTime.elapsed(); spent < MinimumCycleMs; spent = cycleTime.elapsed())
            TReaderLink::WaitWithEvents(int(MinimumCycleMs - spent));
    }
}

void TMainForm::BtnStartReadClick()
{
    // Read once: changing them during the run has no effect on it.
    const uint8_t keyType = uint8_t(CmbTestKeyType->currentIndex());
    const uint8_t block = uint8_t(EdtBlock->Value());
    const uint8_t sector = SectorOf(block);

    TLoopCounters c = LoopStartCounters;
    QString readText;
    RunLoopTest(BtnStartRead, BtnStopRead, [&] {
        if (!SearchCardSerial() || !AuthSector(keyType, sector)) {
            Count(c.SearchErr, LbQuerySum, "search card");
            return;
        }
        if (!ReadBlockHex(block, readText)) {
            Count(c.ReadErr, LbReadErrSum, "error");
            return;
        }
        CountRead(c.Read, LbReadSum, LbReadHex, readText);
        BeepReader();
        // The label keeps the last failure count until the next failure.
        c.SearchErr = 0;
    });
}

void TMainForm::BtnStartWriteClick()
{
    const uint8_t keyType = uint8_t(CmbTestKeyType->currentIndex());
    const uint8_t block = uint8_t(EdtBlock->Value());
    if (IsTrailer(block)) {
        // The sector trailer holds the keys and access bits: a test pattern
        // written there could lock the sector for good.
        MessageBox(QStringLiteral("control block, can not be tested"), QStringLiteral("message"), MessageFlags);
        return;
    }
    const uint8_t sector = SectorOf(block);

    TLoopCounters c = LoopStartCounters;
    QString readText;
    RunLoopTest(BtnStartWrite, BtnStopWrite, [&] {
        if (!SearchCardSerial() || !AuthSector(keyType, sector)) {
            Count(c.SearchErr, LbQuerySum, "search card");
            return;
        }
        // The write counter is below the wrap limit here, so the pattern is
        // always 32 digits; a failed write is retried with the same pattern.
        const QString pattern = QString::asprintf("0000000000000000000000000%.7d", c.Write);
        LbWriteHex->setText(QStringLiteral("wrote data") + Colon + pattern);
        if (!WriteBlockHex(block, pattern)) {
            Count(c.WriteErr, LbWriteErrSum, "error");
            return;
        }
        Count(c.Write, LbWriteSum, "wrote");
        if (!ReadBlockHex(block, readText)) {
            Count(c.ReadErr, LbReadErrSum, "error");
            return;
        }
        CountRead(c.Read, LbReadSum, LbReadHex, readText);
        if (readText == pattern) {
            BeepReader();
            c.SearchErr = 0;
        } else {
            Count(c.CheckErr, LbCheckErrSum, "verification error");
        }
    });
}

// Both Stop buttons: the running loop ends after its current cycle.
void TMainForm::BtnStopReadClick() { LoopFlag = false; }
