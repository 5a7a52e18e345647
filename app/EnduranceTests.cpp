// The loop tests of the "Others" page: the session runs the cycles, the
// window shows each outcome in the labels of the "Infomation：" group. A test
// runs inside its Start button's click and pumps window events between
// cycles, so the Stop buttons stay live.
#include "app/MainForm.h"

#include <QComboBox>
#include <QLabel>
#include <QLocale>
#include <QPushButton>

#include "widgets/SpinEdit.h"

namespace {

// The full-width colon that ends every caption of the group.
const QString Colon = QStringLiteral("\uFF1A");

QString CounterText(const char* Name, int32_t Value)
{
    return QString::fromLatin1(Name) + Colon + QString::asprintf("%.7d", Value);
}

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

void TMainForm::LoopStarted(TLoopKind Kind)
{
    const bool read = Kind == TLoopKind::Read;
    (read ? BtnStartRead : BtnStartWrite)->setEnabled(false);
    (read ? BtnStopRead : BtnStopWrite)->setEnabled(true);
    FLoopTimeFormat = QLocale::system().timeFormat(QLocale::LongFormat);
    LbQuerySum->setText(CounterText("search card", 0));
    LbCheckErrSum->setText(CounterText("verification error", 0));
    LbReadSum->setText(CounterText("read", 0));
    LbReadErrSum->setText(CounterText("error", 0));
    LbReadHex->setText(QStringLiteral("read data") + Colon);
    LbWriteSum->setText(CounterText("wrote", 0));
    LbWriteErrSum->setText(CounterText("error", 0));
    LbWriteHex->setText(QStringLiteral("wrote data") + Colon);
}

void TMainForm::LoopTime(qint64 ElapsedSeconds)
{
    LbTimeSum->setText(QStringLiteral("time") + Colon + ElapsedText(ElapsedSeconds, FLoopTimeFormat));
}

void TMainForm::LoopCounted(TLoopCounter Counter, int32_t Value)
{
    switch (Counter) {
    case TLoopCounter::SearchErr:
        LbQuerySum->setText(CounterText("search card", Value));
        break;
    case TLoopCounter::Read:
        LbReadSum->setText(CounterText("read", Value));
        break;
    case TLoopCounter::ReadErr:
        LbReadErrSum->setText(CounterText("error", Value));
        break;
    case TLoopCounter::Write:
        LbWriteSum->setText(CounterText("wrote", Value));
        break;
    case TLoopCounter::WriteErr:
        LbWriteErrSum->setText(CounterText("error", Value));
        break;
    case TLoopCounter::CheckErr:
        LbCheckErrSum->setText(CounterText("verification error", Value));
        break;
    }
}

void TMainForm::LoopReadData(const QString& Hex) { LbReadHex->setText(QStringLiteral("read data") + Colon + Hex); }

void TMainForm::LoopWriteData(const QString& Hex) { LbWriteHex->setText(QStringLiteral("wrote data") + Colon + Hex); }

void TMainForm::LoopEnded(TLoopKind Kind)
{
    const bool read = Kind == TLoopKind::Read;
    (read ? BtnStartRead : BtnStartWrite)->setEnabled(true);
    (read ? BtnStopRead : BtnStopWrite)->setEnabled(false);
}

// Key type and block are read once: changing them during the run has no
// effect on it.
void TMainForm::BtnStartReadClick()
{
    FSession->RunLoopRead(uint8_t(CmbTestKeyType->currentIndex()), uint8_t(EdtBlock->Value()));
}

void TMainForm::BtnStartWriteClick()
{
    FSession->RunLoopWrite(uint8_t(CmbTestKeyType->currentIndex()), uint8_t(EdtBlock->Value()));
}

// Both Stop buttons: the running loop ends after its current cycle.
void TMainForm::BtnStopReadClick() { FSession->StopLoop(); }
