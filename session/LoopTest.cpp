// The loop read and loop write tests: endless cycles of search, authenticate,
// (write,) read, each outcome counted. A test runs inside the call that
// started it and pumps events between cycles, so a Stop, a port choice or a
// close reaches it.
#include "session/LinkSession.h"

#include "protocol/CardLayout.h"
#include "reader/CardReader.h"
#include "reader/HexText.h"
#include "reader/ReaderLink.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>

namespace {

// Counting rule shared by every counter: add one, show it, then wrap.
void Count(TSessionEvents& Events, TLoopCounter Which, int32_t& Counter)
{
    ++Counter;
    Events.LoopCounted(Which, Counter);
    if (Counter >= TLinkSession::CounterWrapLimit)
        Counter = 0;
}

// A good read: the count and the data are shown before the count wraps.
void CountRead(TSessionEvents& Events, int32_t& Counter, const QString& Data)
{
    ++Counter;
    Events.LoopCounted(TLoopCounter::Read, Counter);
    Events.LoopReadData(Data);
    if (Counter >= TLinkSession::CounterWrapLimit)
        Counter = 0;
}

// Ends the run's events however its loop ends, an escaping exception included.
class TLoopEnd {
public:
    TLoopEnd(TSessionEvents& Events, const TLoopSettings& Settings, const TLoopTotals& Totals)
        : FEvents(Events)
        , FSettings(Settings)
        , FTotals(Totals)
    {
    }
    ~TLoopEnd()
    {
        FEvents.LoopEnded(FSettings.Kind);
        FEvents.LoopRunEnded(FSettings, FTotals);
    }
    TLoopEnd(const TLoopEnd&) = delete;
    TLoopEnd& operator=(const TLoopEnd&) = delete;

private:
    TSessionEvents& FEvents;
    const TLoopSettings& FSettings;
    const TLoopTotals& FTotals;
};

} // namespace

template <class TCycle>
void TLinkSession::RunLoop(const TLoopSettings& Settings, TCycle&& Cycle)
{
    // The whole run is one operation: no other card operation and no second
    // test may start inside its exchanges. Stop, the settings and the log stay
    // live.
    TOperationScope scope(*this);
    if (!scope)
        return;

    LoopFlag = true;
    TLoopTotals totals;
    FListeners.LoopStarted(Settings.Kind);
    FListeners.LoopRunStarted(Settings);
    TLoopEnd end(FListeners, Settings, totals);
    QCoreApplication::processEvents();
    // On the steady clock: a clock set back mid-run must not take time away.
    const qint64 started = SteadyMs(FSteady);

    while (LoopFlag) {
        QElapsedTimer cycleTime;
        cycleTime.start();
        QCoreApplication::processEvents();
        // No exchange waits here, so a port chosen or a device come back
        // during the last cycle can be opened now.
        RunPendingPortChange();
        FListeners.LoopTime((SteadyMs(FSteady) - started) / 1000);
        Cycle(totals);
        ++totals.Cycles;
        FListeners.LoopCycleEnded(totals);
        // With the port closed every exchange fails without waiting: unpaced,
        // the loop would spin a core and add log lines by the thousand. One
        // wait step per cycle keeps it at an exchange's pace; while a vanished
        // reader is watched for, a cycle lasts a reply time-out, as it would
        // with a silent reader, so an outage counts as it always did. A timer
        // that fires a little early is made up for.
        const qint64 minimum = WatchingForRelink() ? std::max<qint64>(FLink->ReplyTimeout, TReaderLink::WaitStepMs)
                                                   : TReaderLink::WaitStepMs;
        for (qint64 spent = cycleTime.elapsed(); spent < minimum && LoopFlag; spent = cycleTime.elapsed())
            TReaderLink::WaitWithEvents(int(std::min<qint64>(minimum - spent, TReaderLink::WaitStepMs)));
    }
}

bool TLinkSession::FindAndAuthenticate(uint8_t Sector, uint8_t KeyType, TLoopCounters& Counters, TLoopTotals& Totals)
{
    if (!SearchCardSerial())
        ++Totals.SearchFailures;
    else if (!AuthSector(KeyType, Sector))
        ++Totals.AuthFailures;
    else
        return true;
    Count(FListeners, TLoopCounter::SearchErr, Counters.SearchErr);
    return false;
}

std::optional<QString> TLinkSession::ReadAndCount(uint8_t Block, TLoopCounters& Counters, TLoopTotals& Totals)
{
    const std::optional<TBlockData> data = FReader->ReadBlock(Block);
    if (!data) {
        ++Totals.ReadErrors;
        Count(FListeners, TLoopCounter::ReadErr, Counters.ReadErr);
        return std::nullopt;
    }
    ++Totals.Reads;
    QString text = BytesToHex(data->data(), BlockBytes);
    CountRead(FListeners, Counters.Read, text);
    return text;
}

void TLinkSession::RunLoopRead(uint8_t KeyType, uint8_t Block)
{
    const uint8_t sector = uint8_t(SectorOf(Block));
    TLoopCounters counters = FLoopStartCounters;
    RunLoop({TLoopKind::Read, Block, KeyType}, [&](TLoopTotals& totals) {
        if (!FindAndAuthenticate(sector, KeyType, counters, totals) || !ReadAndCount(Block, counters, totals))
            return;
        BeepReader();
        // The label keeps the last failure count until the next failure.
        counters.SearchErr = 0;
    });
}

void TLinkSession::RunLoopWrite(uint8_t KeyType, uint8_t Block)
{
    if (IsTrailer(Block)) {
        FListeners.MessageBox(QStringLiteral("control block, can not be tested"), QStringLiteral("message"), MessageFlags);
        return;
    }
    const uint8_t sector = uint8_t(SectorOf(Block));
    TLoopCounters counters = FLoopStartCounters;
    RunLoop({TLoopKind::Write, Block, KeyType}, [&](TLoopTotals& totals) {
        if (!FindAndAuthenticate(sector, KeyType, counters, totals))
            return;
        // The write counter is below the wrap limit here, so the pattern is
        // always 32 digits; a failed write is retried with the same pattern.
        const QString pattern = QString::asprintf("0000000000000000000000000%.7d", counters.Write);
        FListeners.LoopWriteData(pattern);
        TBlockData image{};
        HexToBytes(pattern, image.data(), BlockBytes);
        if (!FReader->WriteBlock(Block, image)) {
            ++totals.WriteErrors;
            Count(FListeners, TLoopCounter::WriteErr, counters.WriteErr);
            return;
        }
        ++totals.Writes;
        Count(FListeners, TLoopCounter::Write, counters.Write);
        const std::optional<QString> readText = ReadAndCount(Block, counters, totals);
        if (!readText)
            return;
        if (*readText == pattern) {
            BeepReader();
            counters.SearchErr = 0;
        } else {
            ++totals.VerifyErrors;
            Count(FListeners, TLoopCounter::CheckErr, counters.CheckErr);
        }
    });
}
