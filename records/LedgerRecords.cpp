// Each card's record: done or failed with its claim, shown again without
// one, or kept failed as claim-lost when its claim was no longer the
// station's.
#include "records/LedgerSql.h"

#include "records/Records.h"

using namespace LedgerSql;

namespace {

// When the card was worked, as stored: its own time, or now.
QString RecordTime(const TCardRecord& Card) { return UtcText(Card.Time.isValid() ? Card.Time : QDateTime::currentDateTimeUtc()); }

QString BlocksText(const std::vector<int>& Blocks)
{
    QJsonArray array;
    for (const int block : Blocks)
        array.append(block);
    return JsonText(array);
}

// A stored time as the station's operator reads it: the station's clock.
QString ClockText(const QVariant& Text)
{
    const QDateTime when = StoredTime(Text);
    return when.isValid() ? when.toLocalTime().toString(QStringLiteral("HH:mm:ss")) : QStringLiteral("an unknown time");
}

const QString InsertRecord = QStringLiteral(
    "INSERT INTO ledger_records (recorded_at, station, batch_id, serial, row_no, result, detail, blocks, duration_ms, claim_id, cause, operator)"
    " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");

} // namespace

// A card's claim as the ledger holds it when the card is recorded.
struct TLedger::THeldClaim {
    qint64 BatchId = 0;
    int Row = 0;
    bool Open = false;
    QString Station;
    QString ClosedHow; // recorded, released or forced
    QVariant ClosedAt;
    QVariant ClaimedAt;
    QString Batch; // its name, for the listeners
};

TRecordResult TLedger::Record(const TClaim& Claim, const TCardRecord& Card)
{
    FError.clear();
    if (!Usable(true))
        return TRecordResult::Failed;
    FDatabaseFailed = false;
    const TRecordResult result = RecordCard(Claim, Card);
    if (!Reconnected())
        return result;
    // A COMMIT lost with its connection may have landed: the card's record
    // is looked for before it is written again.
    const auto landed = Select(QStringLiteral("look for card %1's record").arg(SerialHex(Card.Serial)),
        QStringLiteral("SELECT cause, detail FROM ledger_records WHERE claim_id = ? AND serial = ? AND station = ? ORDER BY id DESC LIMIT 1"),
        {Claim.Id, SerialHex(Card.Serial), Card.Station});
    if (!landed)
        return TRecordResult::Failed;
    if (!landed->empty()) {
        if (landed->front().value(0).toString() != QLatin1String(FailCauseCode(TFailCause::ClaimLost)))
            return TRecordResult::Recorded;
        FError = QStringLiteral("ledger %1: card %2 was recorded failed (claim-lost): %3").arg(FPlaceText, SerialHex(Card.Serial), landed->front().value(1).toString());
        return TRecordResult::ClaimLost;
    }
    return RecordCard(Claim, Card);
}

bool TLedger::RecordRepeat(const TCardRecord& Card)
{
    FError.clear();
    if (!Usable(true))
        return false;
    return Retried([&]() {
        if (!Begin())
            return false;
        const auto batch = FindBatch(Card.Batch);
        if (!batch
            || !Exec(QStringLiteral("record card %1 shown again").arg(SerialHex(Card.Serial)),
                QStringLiteral("INSERT INTO ledger_records (recorded_at, station, batch_id, serial, row_no, result, detail, blocks, duration_ms, claim_id, cause, operator)"
                               " VALUES (?, ?, ?, ?, ?, 'repeat', ?, '[]', ?, NULL, '', ?)"),
                {RecordTime(Card), Card.Station, batch->Id, SerialHex(Card.Serial), Card.Row, Card.Detail, Card.DurationMs, Card.Operator})
            || !Notify(Card.Batch) || !Commit()) {
            Rollback();
            return false;
        }
        return true;
    });
}

TRecordResult TLedger::RecordCard(const TClaim& Claim, const TCardRecord& Card)
{
    const QString serial = SerialHex(Card.Serial);
    if (!Begin())
        return TRecordResult::Failed;
    const auto abandon = [this]() {
        Rollback();
        return TRecordResult::Failed;
    };
    const std::optional<THeldClaim> held = ReadHeldClaim(Claim, serial);
    if (!held)
        return abandon();
    const bool ours = Card.Station.isEmpty() || held->Station == Card.Station;
    if (!held->Open && held->ClosedHow == QStringLiteral("recorded") && ours) {
        FError = QStringLiteral("ledger %1: card %2's claim of row %3 was recorded already: not recorded again").arg(FPlaceText, serial, QString::number(held->Row));
        return abandon();
    }
    // The claim is no longer this station's: released meanwhile, or taken
    // over by another station while this one was silent (a station stopped
    // and continued). The card is recorded failed, with the true cause, and
    // no row changes.
    QString lostWhy;
    if (!held->Open && held->ClosedHow != QStringLiteral("recorded")) {
        lostWhy = QStringLiteral("released by `ledger --release%1` at %2")
                      .arg(held->ClosedHow == QStringLiteral("forced") ? QStringLiteral(" --force") : QString(), ClockText(held->ClosedAt));
    } else if (!ours) {
        // Taken over, and perhaps recorded there since.
        lostWhy = QStringLiteral("taken over by station '%1' at %2 while this station was silent").arg(held->Station, ClockText(held->ClaimedAt));
    }
    if (!lostWhy.isEmpty())
        return RecordClaimLost(Claim, Card, *held, lostWhy);
    if (!WriteRecord(Claim, Card, *held) || !Notify(held->Batch) || !Commit())
        return abandon();
    return TRecordResult::Recorded;
}

std::optional<TLedger::THeldClaim> TLedger::ReadHeldClaim(const TClaim& Claim, const QString& Serial)
{
    const auto held = Select(QStringLiteral("look for card %1's claim").arg(Serial),
        QStringLiteral("SELECT batch_id, row_no, serial, is_open, station, closed_how, closed_at, claimed_at,"
                       " (SELECT b.name FROM ledger_batches b WHERE b.id = batch_id) FROM ledger_claims WHERE id = ?")
            + FSql.LockRows,
        {Claim.Id});
    if (!held)
        return std::nullopt;
    if (held->empty()) {
        FError = QStringLiteral("ledger %1: card %2 has no claim of row %3 in the ledger: not recorded").arg(FPlaceText, Serial, QString::number(Claim.Row));
        return std::nullopt;
    }
    const QVariantList& claim = held->front();
    const THeldClaim found{claim.value(0).toLongLong(), claim.value(1).toInt(), claim.value(3).toInt() != 0, claim.value(4).toString(),
        claim.value(5).toString(), claim.value(6), claim.value(7), claim.value(8).toString()};
    if (claim.value(2).toString() != Serial) {
        FError = QStringLiteral("ledger %1: the claim of row %2 is card %3's, not card %4's: not recorded")
                     .arg(FPlaceText, QString::number(found.Row), claim.value(2).toString(), Serial);
        return std::nullopt;
    }
    return found;
}

TRecordResult TLedger::RecordClaimLost(const TClaim& Claim, const TCardRecord& Card, const THeldClaim& Held, const QString& Why)
{
    const QString serial = SerialHex(Card.Serial);
    const QString detail = QStringLiteral("claim lost: ") + Why + (Card.Detail.isEmpty() ? QString() : QStringLiteral("; ") + Card.Detail);
    if (!Exec(QStringLiteral("record card %1").arg(serial), InsertRecord,
            {RecordTime(Card), Card.Station, Held.BatchId, serial, Held.Row, QStringLiteral("failed"), detail, BlocksText(Card.Written), Card.DurationMs,
                Claim.Id, QString::fromLatin1(FailCauseCode(TFailCause::ClaimLost)), Card.Operator})
        || !Notify(Held.Batch) || !Commit()) {
        Rollback();
        return TRecordResult::Failed;
    }
    FError = QStringLiteral("ledger %1: card %2's claim of row %3 was %4: recorded failed (claim-lost)").arg(FPlaceText, serial, QString::number(Held.Row), Why);
    return TRecordResult::ClaimLost;
}

bool TLedger::WriteRecord(const TClaim& Claim, const TCardRecord& Card, const THeldClaim& Held)
{
    const bool done = Card.Outcome == TCardOutcome::Done;
    const QString serial = SerialHex(Card.Serial);
    const QString when = RecordTime(Card);
    if (!Exec(QStringLiteral("record card %1").arg(serial), InsertRecord,
            {when, Card.Station, Held.BatchId, serial, Held.Row, done ? QStringLiteral("done") : QStringLiteral("failed"), Card.Detail,
                BlocksText(Card.Written), Card.DurationMs, Claim.Id, done ? QString() : QString::fromLatin1(FailCauseCode(Card.Cause)), Card.Operator})
        || !Exec(QStringLiteral("close card %1's claim").arg(serial),
            QStringLiteral("UPDATE ledger_claims SET is_open = 0, closed_at = ?, closed_how = 'recorded' WHERE id = ?"), {when, Claim.Id}))
        return false;
    if (Held.Row <= 0)
        return true;
    // Done keeps the row with the card; failed gives it back.
    int changed = 0;
    const bool ok = done
        ? Exec(QStringLiteral("give row %1 to card %2").arg(QString::number(Held.Row), serial),
            QStringLiteral("UPDATE ledger_rows SET claim_id = NULL, done_serial = ? WHERE batch_id = ? AND row_no = ? AND claim_id = ?"),
            {serial, Held.BatchId, Held.Row, Claim.Id}, &changed)
        : Exec(QStringLiteral("give row %1 back").arg(Held.Row),
            QStringLiteral("UPDATE ledger_rows SET claim_id = NULL WHERE batch_id = ? AND row_no = ? AND claim_id = ?"),
            {Held.BatchId, Held.Row, Claim.Id}, &changed);
    if (!ok)
        return false;
    if (changed != 1) {
        FError = QStringLiteral("ledger %1: row %2 is not held by card %3's claim: not recorded").arg(FPlaceText, QString::number(Held.Row), serial);
        return false;
    }
    return done || MoveRowsLeft(Held.BatchId, Held.Row, +1);
}
