#include "session/BatchJob.h"

#include "session/CardWords.h"
#include "session/LinkSession.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>

namespace {

// A file's SHA-256 in hex, empty when it cannot be read.
QString Sha256Of(const std::string& Path)
{
    QFile file(QFile::decodeName(Path.c_str()));
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return {};
    return QString::fromLatin1(hash.result().toHex());
}

} // namespace

TBatchStart BatchStartOf(const QString& Name, const std::string& TemplatePath, const std::string& DataPath,
    const std::optional<TBatchData>& Data)
{
    TBatchStart start;
    const std::string named = DataPath.empty() ? TemplatePath : DataPath;
    start.Name = Name.isEmpty() ? QFileInfo(QFile::decodeName(named.c_str())).fileName() : Name;
    start.TemplateSha256 = Sha256Of(TemplatePath);
    if (!Data)
        return start;
    start.DataSha256 = Sha256Of(DataPath);
    for (const std::string& column : Data->Columns)
        start.Columns << QString::fromStdString(column);
    for (const std::vector<std::string>& row : Data->Rows) {
        QStringList cells;
        for (const std::string& cell : row)
            cells << QString::fromStdString(cell);
        start.Rows.push_back(cells);
    }
    return start;
}

std::function<TDumpImage(const TClaim&)> CardImages(const TDumpImage& Template, const std::optional<TBatchData>& Data)
{
    return [Template, Data](const TClaim& Claim) {
        return Data && Claim.Row > 0 ? ApplyRow(Template, *Data, size_t(Claim.Row - 1)) : Template;
    };
}

const char* FailCauseCode(TFailCause Cause)
{
    switch (Cause) {
    case TFailCause::None:
        return "";
    case TFailCause::NoKey:
        return "no-key";
    case TFailCause::WriteRefused:
        return "write-refused";
    case TFailCause::VerifyDiffers:
        return "verify-differs";
    case TFailCause::CardLeft:
        return "card-left";
    case TFailCause::ReaderGone:
        return "reader-gone";
    case TFailCause::ClaimLost:
        return "claim-lost";
    case TFailCause::Ledger:
        return "ledger";
    case TFailCause::Stopped:
        return "stopped";
    }
    return "";
}

TFailCause FailCauseOf(const QString& Code)
{
    for (const TFailCause cause : {TFailCause::NoKey, TFailCause::WriteRefused, TFailCause::VerifyDiffers, TFailCause::CardLeft,
             TFailCause::ReaderGone, TFailCause::ClaimLost, TFailCause::Ledger, TFailCause::Stopped}) {
        if (Code == QLatin1String(FailCauseCode(cause)))
            return cause;
    }
    return TFailCause::None;
}

const char* BatchResultText(TBatchResult Result)
{
    switch (Result) {
    case TBatchResult::Done:
        return "done";
    case TBatchResult::Failed:
        return "failed";
    case TBatchResult::AlreadyPrepared:
        return "already prepared";
    case TBatchResult::NotRecorded:
        return "not recorded";
    }
    return "";
}

TBatchJob::TBatchJob(TLinkSession& Session, TBatchLedger& Ledger, TBatchEvents& Events)
    : FSession(Session)
    , FLedger(Ledger)
    , FEvents(Events)
    , FJobs(Session, Events)
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

std::optional<TSerial> TBatchJob::WaitForCard()
{
    while (!Stopping()) {
        if (const std::optional<TCardId> card = FSession.FindAnyCard())
            return card->Serial;
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

void TBatchJob::Signal(bool Done)
{
    for (int beep = 0; beep < (Done ? 1 : 3); ++beep)
        FSession.BeepReader();
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
        return card;
    }
    const bool whole = std::none_of(map->Sectors.begin(), map->Sectors.end(), [](const TSectorOutcome& Sector) {
        return Sector.Result == TSectorResult::NotRun || Sector.Result == TSectorResult::CardGone;
    });
    if (!whole) {
        card.Detail = "keys not mapped: " + SectorResultsText(map->Sectors);
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
    return card;
}

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
    const auto ledgerFailed = [this] {
        FLedgerError = FLedger.Error();
        return TBatchEnd::LedgerFailed;
    };
    FCounters.RowsLeft = FLedger.RowsLeft(Settings.Batch);
    if (!FCounters.RowsLeft)
        return ledgerFailed();
    int done = 0;
    for (;;) {
        FEvents.PlaceCard();
        const std::optional<TSerial> serial = WaitForCard();
        if (!serial)
            return TBatchEnd::Stopped;
        const qint64 started = SteadyMs(FSession.Steady);
        TBatchCard card;
        card.Serial = *serial;
        // The ledger failed before the card was written: the card on the
        // reader is told of, not left without a word.
        const auto notRecorded = [&](TBatchCard& Card) {
            Card.Result = TBatchResult::NotRecorded;
            Card.Detail = FLedger.Error().toStdString();
            ++FCounters.Failed;
            FEvents.CardEnded(Card, FCounters);
            Signal(false);
            return ledgerFailed();
        };
        if (!Settings.Again) {
            card.Prior = FLedger.Prepared(Settings.Batch, *serial);
            if (!card.Prior && !FLedger.Error().isEmpty()) {
                return notRecorded(card);
            }
            if (card.Prior) {
                card.Result = TBatchResult::AlreadyPrepared;
                card.Row = card.Prior->Row;
                // The operator reads local time, with its offset, whatever
                // offset it was kept with.
                const QDateTime at = card.Prior->At;
                card.Detail = at.toOffsetFromUtc(at.toLocalTime().offsetFromUtc()).toString(Qt::ISODateWithMs).toStdString();
                ++FCounters.AlreadyPrepared;
                FEvents.CardEnded(card, FCounters);
                Signal(false);
                WaitForRemoval(*serial);
                continue;
            }
        }
        const std::optional<TClaim> claim = FLedger.Claim(Settings.Batch, Settings.Station, *serial, Settings.Again);
        if (!claim) {
            if (FLedger.Error().isEmpty())
                return TBatchEnd::RowsOut;
            return notRecorded(card);
        }
        FEvents.Writing(*serial, claim->Row);
        card = Prepare(*serial, *claim);
        card.DurationMs = SteadyMs(FSession.Steady) - started;

        TCardRecord record;
        record.Time = QDateTime::currentDateTime();
        record.Station = Settings.Station;
        record.Batch = Settings.Batch;
        record.Serial = *serial;
        record.Row = claim->Row;
        record.Outcome = card.Result == TBatchResult::Done ? TCardOutcome::Done : TCardOutcome::Failed;
        record.Detail = QString::fromStdString(card.Detail);
        record.Written = card.Written;
        record.DurationMs = card.DurationMs;
        if (FLedger.Record(*claim, record) != TRecordResult::Recorded) {
            const bool broken = !FLedger.Error().isEmpty();
            card.Result = broken ? TBatchResult::NotRecorded : TBatchResult::Failed;
            card.Detail = broken ? FLedger.Error().toStdString() : "not recorded: the row was given back meanwhile";
        }
        if (card.Result == TBatchResult::Done) {
            ++FCounters.Done;
            ++done;
        } else {
            ++FCounters.Failed;
        }
        if (card.Result != TBatchResult::NotRecorded)
            FCounters.RowsLeft = FLedger.RowsLeft(Settings.Batch);
        // Only a recorded card is signalled done.
        Signal(card.Result == TBatchResult::Done);
        FEvents.CardEnded(card, FCounters);
        if (card.Result == TBatchResult::NotRecorded || !FCounters.RowsLeft)
            return ledgerFailed();
        // The last card of a count ends the batch at once.
        if (Settings.Count > 0 && done >= Settings.Count)
            return TBatchEnd::CountReached;
        WaitForRemoval(*serial);
    }
}
