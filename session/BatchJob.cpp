#include "session/BatchJob.h"

#include "session/CardWords.h"
#include "session/JobLineScope.h"
#include "session/LinkSession.h"

#include <QEventLoop>
#include <QTimer>

#include "protocol/CardLayout.h"

#include <algorithm>

TBatchJob::TBatchJob(TLinkSession& Session, TBatchLedger& Ledger, TBatchEvents& Events)
    : FSession(Session)
    , FLedger(Ledger)
    , FEvents(Events)
    , FJobEvents(Events)
    , FJobs(Session, FJobEvents)
{
    // The batch holds the guard for its whole length.
    FJobs.GuardHeld = true;
}

bool TBatchJob::Stopping() const { return FStop || FSession.CloseRequested(); }

void TBatchJob::Pause(int Ms)
{
    if (Stopping())
        return;
    QEventLoop loop;
    QTimer::singleShot(Ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void TBatchJob::KeepLinked()
{
    // A hung-up port starts the relink watch; it ends once the reader
    // answers its link test again.
    if (FSession.RelinkActive()) {
        if (!FReaderGone) {
            FReaderGone = true;
            FEvents.ReaderGone();
        }
        // The relink watch found the device again, or the reader is to be
        // tested again: only the guard's holder may run it.
        FSession.RunPendingPortChange();
    }
    if (FReaderGone && !FSession.RelinkActive()) {
        FReaderGone = false;
        FEvents.ReaderBack();
    }
}

std::optional<TSerial> TBatchJob::WaitForCard()
{
    while (!Stopping()) {
        KeepLinked();
        if (!FReaderGone) {
            const std::optional<TCardId> card = FSession.FindAnyCard();
            // A card on the reader before Start is prepared like any other,
            // but not without a word.
            if (card && FFirstLook)
                FEvents.CardInField(card->Serial);
            FFirstLook = false;
            if (card)
                return card->Serial;
        }
        Pause(FSettings->PollMs);
    }
    return std::nullopt;
}

void TBatchJob::WaitForRemoval(const TSerial& Serial)
{
    FEvents.TakeAway(Serial);
    // Gone when no card answers, or another card does. A stop ends the wait:
    // the card is finished, only not yet taken away.
    while (!Stopping()) {
        const std::optional<TCardId> card = FSession.FindAnyCard();
        if (!card || card->Serial != Serial)
            return;
        Pause(FSettings->PollMs);
    }
}

void TBatchJob::Signal(int Beeps)
{
    for (int beep = 0; beep < Beeps; ++beep)
        FSession.BeepReader();
}

void TBatchJob::Explain(TBatchCard& Card, const TSectorOutcomes& Sectors) const
{
    // The first sector that went wrong names the cause; a reader that went
    // away, a stop or a card that left outrank what they caused.
    int sector = -1;
    int block = -1;
    TFailCause cause = TFailCause::None;
    for (size_t s = 0; s < Sectors.size() && cause == TFailCause::None; ++s) {
        const TSectorOutcome& outcome = Sectors[s];
        const int first = outcome.Blocks.empty() ? -1 : outcome.Blocks.front();
        switch (outcome.Result) {
        case TSectorResult::NoKey:
        case TSectorResult::ReadDenied:
            cause = TFailCause::NoKey;
            break;
        case TSectorResult::WriteRefused:
            cause = TFailCause::WriteRefused;
            break;
        case TSectorResult::VerifyFailed:
            cause = TFailCause::VerifyDiffers;
            break;
        case TSectorResult::CardGone:
        case TSectorResult::NotRun:
            cause = TFailCause::CardLeft;
            break;
        case TSectorResult::Done:
        case TSectorResult::NothingToWrite:
            continue;
        }
        sector = int(s);
        block = first;
    }
    if (cause == TFailCause::None || cause == TFailCause::CardLeft) {
        if (FSession.RelinkActive() || FReaderGone)
            cause = TFailCause::ReaderGone;
        else if (Stopping())
            cause = TFailCause::Stopped;
        else
            cause = TFailCause::CardLeft;
    }
    Card.Cause = cause;
    Card.Headline = FailureHeadline(cause, sector, block);
}

TBatchCard TBatchJob::Prepare(const TSerial& Serial, const TClaim& Claim)
{
    TBatchCard card;
    card.Serial = Serial;
    card.Row = Claim.Row;
    TKeyList candidates = FPreviousKeys;
    AddKeys(candidates, FSettings->Keys);
    // The search that found the card selected it; only the ledger was asked since.
    FJobs.StartOn(Serial);
    const std::optional<TMapResult> map = FJobs.MapKeys(candidates, FSettings->StartMap ? &*FSettings->StartMap : nullptr);
    if (!map || !map->Serial || *map->Serial != Serial) {
        card.Detail = !map ? "refused, another operation is running" : "card gone";
        Explain(card, {});
        return card;
    }
    const bool whole = std::none_of(map->Sectors.begin(), map->Sectors.end(), [](const TSectorOutcome& Sector) {
        return Sector.Result == TSectorResult::NotRun || Sector.Result == TSectorResult::CardGone;
    });
    if (!whole) {
        card.Detail = "keys not mapped: " + SectorResultsText(map->Sectors);
        Explain(card, map->Sectors);
        return card;
    }
    // Fresh cards of one lot share their keys: this card's first on the next.
    FPreviousKeys.clear();
    for (const TSectorKeys& keys : map->Keys) {
        for (const std::optional<TKey>& key : {keys.KeyA, keys.KeyB})
            if (key)
                AddKeys(FPreviousKeys, std::span<const TKey>(&*key, 1));
    }
    TKeyMap keys = map->Keys;
    const std::optional<TWriteResult> written = FJobs.WriteCard(FSettings->CardImage(Claim), keys, FSettings->Trailers);
    if (!written || !written->Serial) {
        card.Detail = !written ? "refused, another operation is running" : "card gone";
        Explain(card, {});
        return card;
    }
    for (const TSectorOutcome& sector : written->Sectors)
        card.Written.insert(card.Written.end(), sector.Written.begin(), sector.Written.end());
    std::sort(card.Written.begin(), card.Written.end());
    if (written->Complete()) {
        card.Result = TBatchResult::Done;
        return card;
    }
    card.Detail = SectorResultsText(written->Sectors);
    if (!written->Wrote())
        card.Detail += std::string("; ") + NothingWrittenText;
    Explain(card, written->Sectors);
    return card;
}

TBatchEnd TBatchJob::LedgerFailed()
{
    FLedgerError = FLedger.Error();
    return TBatchEnd::LedgerFailed;
}

bool TBatchJob::RowsOut() const { return FSettings->HasRows && FCounters.RowsLeft && *FCounters.RowsLeft == 0; }

TBatchEnd TBatchJob::Run(const TBatchSettings& Settings)
{
    TOperationScope scope(FSession);
    if (!scope)
        return TBatchEnd::Refused;
    // Searches and beeps between the cards too take their replies as soon as they are whole.
    const TJobLineScope line(FSession, FJobs.JobReadIntervalMs);
    FSettings = &Settings;
    FStop = false;
    FCounters = TBatchCounters{};
    FLedgerError.clear();
    FPreviousKeys.clear();
    FReaderGone = false;
    // The station lives while the batch runs, idle or working: the timer
    // fires between exchanges, never inside a ledger call.
    QTimer heartbeat;
    heartbeat.setInterval(StationHeartbeatMs);
    QObject::connect(&heartbeat, &QTimer::timeout, [this] { FLedger.Heartbeat(FSettings->Station); });
    if (!FLedger.Heartbeat(Settings.Station))
        return LedgerFailed();
    heartbeat.start();
    FCounters.RowsLeft = FLedger.RowsLeft(Settings.Batch);
    if (!FCounters.RowsLeft)
        return LedgerFailed();
    if (RowsOut())
        return TBatchEnd::RowsOut;
    FFirstLook = true;
    for (;;) {
        FEvents.PlaceCard();
        const std::optional<TSerial> serial = WaitForCard();
        if (!serial)
            return TBatchEnd::Stopped;
        FEvents.CardSeen(*serial);
        if (const std::optional<TBatchEnd> end = CardOnReader(*serial))
            return *end;
    }
}

std::optional<TBatchEnd> TBatchJob::CardOnReader(const TSerial& Serial)
{
    const qint64 started = SteadyMs(FSession.Steady());
    TBatchCard card;
    card.Serial = Serial;
    if (!FSettings->Again) {
        card.Prior = FLedger.Prepared(FSettings->Batch, Serial);
        if (!card.Prior && !FLedger.Error().isEmpty())
            return NotRecorded(card);
        if (card.Prior)
            return Repeat(card);
    }
    const std::optional<TClaim> claim = FLedger.Claim(FSettings->Batch, FSettings->Station, Serial, FSettings->Again);
    if (!claim)
        return Unclaimed(card);
    FCardCells = claim->Cells;
    FEvents.Writing(Serial, claim->Row);
    card = Prepare(Serial, *claim);
    card.DurationMs = SteadyMs(FSession.Steady()) - started;
    Record(*claim, card);
    return Finish(card);
}

TCardRecord TBatchJob::RecordOf(const TBatchCard& Card, int Row, TCardOutcome Outcome) const
{
    TCardRecord record;
    record.Time = QDateTime::currentDateTimeUtc();
    record.Station = FSettings->Station;
    record.Operator = FSettings->Operator;
    record.Batch = FSettings->Batch;
    record.Serial = Card.Serial;
    record.Row = Row;
    record.Outcome = Outcome;
    return record;
}

TBatchEnd TBatchJob::NotRecorded(TBatchCard& Card)
{
    Card.Result = TBatchResult::NotRecorded;
    Card.Cause = TFailCause::Ledger;
    Card.Headline = FailureHeadline(TFailCause::Ledger);
    Card.Detail = FLedger.Error().toStdString();
    ++FCounters.Failed;
    FEvents.CardEnded(Card, FCounters);
    Signal(3);
    return LedgerFailed();
}

std::optional<TBatchEnd> TBatchJob::Repeat(TBatchCard& Card)
{
    // Not a failure: the card has its data. Kept as a repeat, so the ledger
    // knows it came back.
    Card.Result = TBatchResult::AlreadyPrepared;
    Card.Row = Card.Prior->Row;
    FCardCells = Card.Prior->Cells;
    // The operator reads local time, with its offset, whatever offset it was
    // kept with.
    const QDateTime at = Card.Prior->At;
    Card.Detail = at.toOffsetFromUtc(at.toLocalTime().offsetFromUtc()).toString(Qt::ISODateWithMs).toStdString();
    if (!FLedger.RecordRepeat(RecordOf(Card, Card.Row, TCardOutcome::Repeat)))
        return NotRecorded(Card);
    ++FCounters.AlreadyPrepared;
    FEvents.CardEnded(Card, FCounters);
    Signal(2);
    WaitForRemoval(Card.Serial);
    return std::nullopt;
}

std::optional<TBatchEnd> TBatchJob::Unclaimed(TBatchCard& Card)
{
    if (FLedger.Error().isEmpty())
        return TBatchEnd::RowsOut;
    const QString elsewhere = FLedger.WorkedElsewhere();
    if (elsewhere.isEmpty())
        return NotRecorded(Card);
    // Another station works this very card: it is refused here, and the
    // other station's claim stays as it is.
    Card.Result = TBatchResult::Failed;
    Card.Headline = "Card is being prepared at station " + elsewhere.toStdString() + " \u2014 take it there";
    Card.Detail = FLedger.Error().toStdString();
    ++FCounters.Failed;
    FEvents.CardEnded(Card, FCounters);
    Signal(3);
    WaitForRemoval(Card.Serial);
    return std::nullopt;
}

void TBatchJob::Record(const TClaim& Claim, TBatchCard& Card)
{
    TCardRecord record = RecordOf(Card, Claim.Row, Card.Result == TBatchResult::Done ? TCardOutcome::Done : TCardOutcome::Failed);
    record.Cause = Card.Cause;
    record.Detail = QString::fromStdString(Card.Detail);
    record.Written = Card.Written;
    record.DurationMs = Card.DurationMs;
    switch (FLedger.Record(Claim, record)) {
    case TRecordResult::Recorded:
        return;
    case TRecordResult::ClaimLost:
        // Recorded as failed: the row went to another card meanwhile.
        Card.Result = TBatchResult::Failed;
        Card.Cause = TFailCause::ClaimLost;
        break;
    case TRecordResult::Failed:
        Card.Result = TBatchResult::NotRecorded;
        Card.Cause = TFailCause::Ledger;
        break;
    }
    Card.Headline = FailureHeadline(Card.Cause);
    Card.Detail = FLedger.Error().toStdString();
}

std::optional<TBatchEnd> TBatchJob::Finish(const TBatchCard& Card)
{
    if (Card.Result == TBatchResult::Done)
        ++FCounters.Done;
    else
        ++FCounters.Failed;
    // A card recorded stays as recorded, whatever a later count says.
    std::optional<int> left;
    if (Card.Result != TBatchResult::NotRecorded)
        left = FLedger.RowsLeft(FSettings->Batch);
    if (left)
        FCounters.RowsLeft = left;
    // Only a recorded card is signalled done.
    Signal(Card.Result == TBatchResult::Done ? 1 : 3);
    FEvents.CardEnded(Card, FCounters);
    if (Card.Result == TBatchResult::NotRecorded || !left)
        return LedgerFailed();
    // The last card of a count, or of the rows, ends the batch at once.
    if (FSettings->Count > 0 && FCounters.Done >= FSettings->Count)
        return TBatchEnd::CountReached;
    if (RowsOut())
        return TBatchEnd::RowsOut;
    WaitForRemoval(Card.Serial);
    return std::nullopt;
}
