// Claims on a batch's rows: taken by a station for a card, resumed for a
// card whose station stopped, kept as leases by heartbeats, listed, and
// given back when a station has gone.
#include "records/LedgerSql.h"

using namespace LedgerSql;

bool TLedger::Beat(const QString& Station)
{
    return Exec(QStringLiteral("note station %1's heartbeat").arg(Station),
        QStringLiteral("INSERT INTO ledger_stations (name, heartbeat_at) VALUES (?, %1)"
                       " ON CONFLICT (name) DO UPDATE SET heartbeat_at = excluded.heartbeat_at")
            .arg(FSql.Clock()),
        {Station});
}

bool TLedger::Heartbeat(const QString& Station)
{
    FError.clear();
    if (!Usable(false))
        return false;
    return Retried([&]() { return Beat(Station); });
}

std::optional<TClaim> TLedger::Claim(const QString& Batch, const QString& Station, const TSerial& Serial, bool Again)
{
    FError.clear();
    FWorkedElsewhere.clear();
    if (!Usable(true))
        return std::nullopt;
    return Retried([&]() { return ClaimOnce(Batch, Station, Serial, Again); });
}

std::optional<TClaim> TLedger::ClaimOnce(const QString& Batch, const QString& Station, const TSerial& Serial, bool Again)
{
    if (!Begin())
        return std::nullopt;
    const auto abandon = [this]() {
        Rollback();
        return std::optional<TClaim>();
    };
    // The claim's station is alive: heard now, in the claim's transaction.
    if (!Beat(Station))
        return abandon();
    const std::optional<TBatchRow> batch = FindBatch(Batch);
    if (!batch)
        return abandon();
    const QString serial = SerialHex(Serial);
    TClaim claim;
    if (!ResumeClaim(batch->Id, Station, serial, claim))
        return abandon();
    if (!claim.Resumed && !NewClaim(*batch, Batch, Station, serial, Again, claim))
        return abandon();
    if (claim.Row > 0 && !ReadCells(batch->Id, Batch, claim))
        return abandon();
    if (!Notify(Batch) || !Commit())
        return abandon();
    return claim;
}

bool TLedger::ResumeClaim(qint64 BatchId, const QString& Station, const QString& Serial, TClaim& Claim)
{
    // The card's own unfinished claim: its station stopped mid-card, and
    // whichever station has the card now carries on with the same row, once
    // that station has been silent long enough to be judged gone.
    const auto unfinished = Select(QStringLiteral("look for card %1's unfinished claim").arg(Serial),
        QStringLiteral("SELECT c.id, c.row_no, c.station, %1 FROM ledger_claims c WHERE c.batch_id = ? AND c.serial = ? AND c.is_open = 1")
                .arg(FSql.AgeMsOf(QStringLiteral("(SELECT s.heartbeat_at FROM ledger_stations s WHERE s.name = c.station)")))
            + FSql.LockRows,
        {BatchId, Serial});
    if (!unfinished)
        return false;
    if (unfinished->empty())
        return true;
    const QVariantList& found = unfinished->front();
    const QString holder = found.value(2).toString();
    const QVariant heard = found.value(3);
    if (holder != Station && !heard.isNull() && heard.toLongLong() < qint64(StationSilentSeconds) * 1000) {
        FWorkedElsewhere = holder;
        Rollback();
        FError = QStringLiteral("card %1 is being prepared at station '%2': take it to that station or wait").arg(Serial, holder);
        return false;
    }
    Claim.Id = found.value(0).toLongLong();
    Claim.Row = found.value(1).toInt();
    Claim.Resumed = true;
    return Exec(QStringLiteral("take card %1's claim over").arg(Serial),
        QStringLiteral("UPDATE ledger_claims SET station = ?, claimed_at = ? WHERE id = ?"), {Station, Now(), Claim.Id});
}

bool TLedger::NewClaim(const TBatchRow& Batch, const QString& BatchName, const QString& Station, const QString& Serial, bool Again, TClaim& Claim)
{
    const std::optional<int> row = RowToClaim(Batch, BatchName, Serial, Again);
    if (!row)
        return false;
    Claim.Row = *row;
    const auto id = Select(QStringLiteral("claim row %1").arg(Claim.Row),
        QStringLiteral("INSERT INTO ledger_claims (batch_id, row_no, station, serial, claimed_at, is_open) VALUES (?, ?, ?, ?, ?, 1) RETURNING id"),
        {Batch.Id, Claim.Row, Station, Serial, Now()});
    if (!id || id->empty())
        return false;
    Claim.Id = id->front().value(0).toLongLong();
    if (Claim.Row == 0)
        return true;
    int held = 0;
    if (!Exec(QStringLiteral("hold row %1").arg(Claim.Row),
            QStringLiteral("UPDATE ledger_rows SET claim_id = ? WHERE batch_id = ? AND row_no = ? AND claim_id IS NULL"),
            {Claim.Id, Batch.Id, Claim.Row}, &held))
        return false;
    if (held != 1) {
        FError = QStringLiteral("ledger %1: row %2 of batch %3 is held by another claim").arg(FPlaceText, QString::number(Claim.Row), BatchName);
        return false;
    }
    return MoveRowsLeft(Batch.Id, Claim.Row, -1);
}

std::optional<int> TLedger::RowToClaim(const TBatchRow& Batch, const QString& BatchName, const QString& Serial, bool Again)
{
    const auto done = Select(QStringLiteral("look for card %1's row").arg(Serial),
        QStringLiteral("SELECT row_no FROM ledger_records WHERE batch_id = ? AND serial = ? AND result = 'done' ORDER BY id DESC LIMIT 1"),
        {Batch.Id, Serial});
    if (!done)
        return std::nullopt;
    if (!done->empty()) {
        if (Again)
            return done->front().value(0).toInt();
        FError = QStringLiteral("ledger %1: card %2 was prepared in batch %3 already, with row %4")
                     .arg(FPlaceText, Serial, BatchName, done->front().value(0).toString());
        return std::nullopt;
    }
    if (!Batch.HasData)
        return 0;
    // Rows another station is claiming this moment are locked, and
    // passed over rather than waited for. The conditions are the free rows
    // index's own, so that both databases read the first entry of that index
    // rather than step over every row used before.
    const auto free = Select(QStringLiteral("find a free row"),
        QStringLiteral("SELECT row_no FROM ledger_rows WHERE batch_id = ? AND claim_id IS NULL AND done_serial IS NULL ORDER BY row_no LIMIT 1")
            + FSql.LockRowsSkipping,
        {Batch.Id});
    if (!free || free->empty())
        return std::nullopt; // empty: no row left, and no error
    return free->front().value(0).toInt();
}

bool TLedger::ReadCells(qint64 BatchId, const QString& BatchName, TClaim& Claim)
{
    const auto cells = Select(QStringLiteral("read row %1").arg(Claim.Row),
        QStringLiteral("SELECT cells FROM ledger_rows WHERE batch_id = ? AND row_no = ?"), {BatchId, Claim.Row});
    if (!cells)
        return false;
    if (cells->empty()) {
        FError = QStringLiteral("ledger %1: batch %2 has no row %3").arg(FPlaceText, BatchName, QString::number(Claim.Row));
        return false;
    }
    Claim.Cells = ListOf(cells->front().value(0).toString());
    return true;
}

std::optional<std::vector<TOpenClaim>> TLedger::OpenClaims()
{
    FError.clear();
    return Retried([&]() { return ReadClaims(QString(), false); });
}

std::optional<std::vector<TOpenClaim>> TLedger::ReadClaims(const QString& Station, bool ForUpdate)
{
    // A ledger left on version 1 (open claims kept it there) has no
    // heartbeats: its stations count as never heard.
    const QString heard = FSchema >= 2 ? QStringLiteral("(SELECT s.heartbeat_at FROM ledger_stations s WHERE s.name = c.station)") : QStringLiteral("NULL");
    QString sql = QStringLiteral("SELECT b.name, c.row_no, c.serial, c.station, c.claimed_at, %1, %2, c.id, c.batch_id"
                                 " FROM ledger_claims c JOIN ledger_batches b ON b.id = c.batch_id WHERE c.is_open = 1")
                      .arg(heard, FSchema >= 2 ? FSql.AgeMsOf(heard) : QStringLiteral("NULL"));
    QVariantList values;
    if (!Station.isEmpty()) {
        sql += QStringLiteral(" AND c.station = ?");
        values << Station;
    }
    sql += QStringLiteral(" ORDER BY c.id");
    if (ForUpdate)
        sql += FSql.LockClaims;
    const auto rows = Select(QStringLiteral("read the open claims"), sql, values);
    if (!rows)
        return std::nullopt;
    std::vector<TOpenClaim> claims;
    FClaimIds.clear();
    for (const QVariantList& row : *rows) {
        TOpenClaim claim;
        claim.Batch = row.value(0).toString();
        claim.Row = row.value(1).toInt();
        claim.Serial = row.value(2).toString();
        claim.Station = row.value(3).toString();
        // Version 1's times carry their station's offset: read alike.
        claim.Since = StoredTime(row.value(4));
        claim.LastHeard = row.value(5).isNull() ? QDateTime() : StoredTime(row.value(5));
        claim.SilentMs = row.value(6).isNull() ? -1 : row.value(6).toLongLong();
        claims.push_back(claim);
        FClaimIds.push_back({row.value(7).toLongLong(), row.value(8).toLongLong()});
    }
    return claims;
}

std::optional<std::vector<TOpenClaim>> TLedger::ReleaseStation(const QString& Station, bool Force)
{
    FError.clear();
    FReleaseRefused = false;
    return Retried([&]() -> std::optional<std::vector<TOpenClaim>> {
        if (!Begin())
            return std::nullopt;
        const auto abandon = [this]() {
            Rollback();
            return std::optional<std::vector<TOpenClaim>>();
        };
        auto claims = ReadClaims(Station, true);
        if (!claims)
            return abandon();
        // Heard within the silence: it may be writing a card this moment.
        const qint64 heard = claims->empty() ? -1 : claims->front().SilentMs;
        const bool live = heard >= 0 && heard < qint64(StationSilentSeconds) * 1000;
        if (live && !Force) {
            Rollback();
            FReleaseRefused = true;
            FError = QStringLiteral("ledger %1: station '%2' was heard %3 s ago (at %4) and may be preparing a card this moment:"
                                    " its claims are released once it has been silent for %5 s, or at once with --force")
                         .arg(FPlaceText, Station, QString::number(heard / 1000), claims->front().LastHeard.toLocalTime().toString(QStringLiteral("HH:mm:ss")),
                             QString::number(StationSilentSeconds));
            return std::nullopt;
        }
        const QString how = live ? QStringLiteral("forced") : QStringLiteral("released");
        QStringList batches;
        for (size_t i = 0; i < FClaimIds.size(); ++i) {
            const auto [claimId, batchId] = FClaimIds[i];
            int given = 0;
            if (!Exec(QStringLiteral("release station %1's claims").arg(Station),
                    FSchema >= 2 ? QStringLiteral("UPDATE ledger_claims SET is_open = 0, closed_at = %1, closed_how = '%2' WHERE id = ?").arg(FSql.Clock(), how)
                                 : QStringLiteral("UPDATE ledger_claims SET is_open = 0, closed_at = ? WHERE id = ?"),
                    FSchema >= 2 ? QVariantList{claimId} : QVariantList{Now(), claimId})
                || !Exec(QStringLiteral("give a row of station %1 back").arg(Station),
                    QStringLiteral("UPDATE ledger_rows SET claim_id = NULL WHERE batch_id = ? AND claim_id = ?"), {batchId, claimId}, &given)
                || (given > 0 && FSchema >= 3 && !MoveRowsLeft(batchId, (*claims)[i].Row, +1)))
                return abandon();
            if (!batches.contains((*claims)[i].Batch))
                batches << (*claims)[i].Batch;
        }
        for (const QString& batch : batches) {
            if (!Notify(batch))
                return abandon();
        }
        if (!Commit())
            return abandon();
        return claims;
    });
}

bool TLedger::MoveRowsLeft(qint64 BatchId, int Row, int Delta)
{
    // Kept as rows change hands because a count of the free rows costs a
    // step over every row of the batch, on each card of a million-row batch.
    // A done row is never free: taking it again (--again) or giving it back
    // leaves the count as it is.
    return Exec(QStringLiteral("count the rows left"),
        QStringLiteral("UPDATE ledger_batches SET rows_left = rows_left + ? WHERE id = ?"
                       " AND EXISTS (SELECT 1 FROM ledger_rows w WHERE w.batch_id = ? AND w.row_no = ? AND w.done_serial IS NULL)"),
        {Delta, BatchId, BatchId, Row});
}

bool TLedger::Notify(const QString& Batch)
{
    return FSql.Notify.isEmpty() || Exec(QStringLiteral("tell the listeners of batch %1").arg(Batch), FSql.Notify, {Batch});
}
