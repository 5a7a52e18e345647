// A ledger's batches: started once with their rows, joined by the next
// stations with the same files, and asked for their rows left and for a
// card prepared in them.
#include "records/LedgerSql.h"

#include <QSqlError>
#include <QSqlQuery>

using namespace LedgerSql;

bool TLedger::StartBatch(const TBatchStart& Batch)
{
    FError.clear();
    FStartRefusedInput = false;
    if (Batch.Name.isEmpty()) {
        FError = QStringLiteral("ledger %1: a batch needs a name").arg(FPlaceText);
        return false;
    }
    if (!Usable(false))
        return false;
    return Retried([&]() { return StartBatchOnce(Batch); });
}

bool TLedger::StartBatchOnce(const TBatchStart& Batch)
{
    if (!Begin())
        return false;
    const auto stored = Select(QStringLiteral("read batch %1").arg(Batch.Name),
        QStringLiteral("SELECT template_sha256, data_sha256 FROM ledger_batches WHERE name = ?") + FSql.LockRows, {Batch.Name});
    if (!stored)
        return false;
    if (!stored->empty()) {
        Rollback();
        return JoinBatch(Batch, stored->front().value(0).toString(), stored->front().value(1).toString());
    }
    if (!DataFileFree(Batch))
        return false;
    const auto inserted = Select(QStringLiteral("start batch %1").arg(Batch.Name),
        QStringLiteral("INSERT INTO ledger_batches (name, template_sha256, data_sha256, columns, created_at) VALUES (?, ?, ?, ?, ?)"
                       " ON CONFLICT (name) DO NOTHING RETURNING id"),
        {Batch.Name, Batch.TemplateSha256, Batch.DataSha256, JsonText(QJsonArray::fromStringList(Batch.Columns)), Now()});
    if (!inserted)
        return false;
    if (inserted->empty()) {
        // Another station started it this moment: joined as above.
        Rollback();
        return StartBatchOnce(Batch);
    }
    // The first start: the rows go in with the batch, so every station
    // takes them from here.
    if (!StoreRows(Batch, inserted->front().value(0).toLongLong()) || !StartRowsLeft(inserted->front().value(0).toLongLong()) || !Commit()) {
        Rollback();
        return false;
    }
    return true;
}

bool TLedger::RefuseStart(const QString& Why)
{
    Rollback();
    FStartRefusedInput = true;
    FError = Why;
    return false;
}

bool TLedger::JoinBatch(const TBatchStart& Batch, const QString& TemplateSha, const QString& DataSha)
{
    if (TemplateSha != Batch.TemplateSha256)
        return RefuseStart(QStringLiteral("ledger %1: batch %2 was started with another template (SHA-256 %3, this one's is %4):"
                                          " give the batch its own files or another name (--batch)")
                               .arg(FPlaceText, Batch.Name, TemplateSha, Batch.TemplateSha256));
    if (DataSha != Batch.DataSha256) {
        const auto described = [](const QString& Sha) {
            return Sha.isEmpty() ? QStringLiteral("no data file") : QStringLiteral("the data file of SHA-256 ") + Sha;
        };
        return RefuseStart(QStringLiteral("ledger %1: batch %2 was started with %3, not with %4: restore the data file it was started with,"
                                          " or start a new batch with another name (--batch NAME)")
                               .arg(FPlaceText, Batch.Name, described(DataSha), described(Batch.DataSha256)));
    }
    return true;
}

bool TLedger::DataFileFree(const TBatchStart& Batch)
{
    // A data file's rows used by two batches would prepare two cards alike.
    if (Batch.DataSha256.isEmpty() || Batch.ReuseData)
        return true;
    const auto other = Select(QStringLiteral("look for the data file's batch"),
        QStringLiteral("SELECT name FROM ledger_batches WHERE data_sha256 = ? ORDER BY id LIMIT 1"), {Batch.DataSha256});
    if (!other)
        return false;
    if (other->empty())
        return true;
    const QString data = Batch.DataName.isEmpty() ? QStringLiteral("the data file") : Batch.DataName;
    return RefuseStart(QStringLiteral("%1 is already batch %2: its rows would be used twice (to mean it, give --reuse-data)")
                           .arg(data, other->front().value(0).toString()));
}

bool TLedger::StoreRows(const TBatchStart& Batch, qint64 Id)
{
    // One statement prepared once: a data file may have many rows.
    QSqlQuery query(QSqlDatabase::database(FConnection, false));
    if (!query.prepare(QStringLiteral("INSERT INTO ledger_rows (batch_id, row_no, cells) VALUES (?, ?, ?)"))) {
        FDatabaseFailed = true;
        FError = QStringLiteral("ledger %1: cannot store the rows of batch %2: %3").arg(FPlaceText, Batch.Name, DriverText(query.lastError()));
        return false;
    }
    for (size_t i = 0; i < Batch.Rows.size(); ++i) {
        query.bindValue(0, Id);
        query.bindValue(1, int(i + 1));
        query.bindValue(2, JsonText(QJsonArray::fromStringList(Batch.Rows[i])));
        if (!query.exec()) {
            FDatabaseFailed = true;
            FError = QStringLiteral("ledger %1: cannot store row %2 of batch %3: %4").arg(FPlaceText, QString::number(i + 1), Batch.Name, DriverText(query.lastError()));
            query.finish();
            return false;
        }
    }
    query.finish();
    return true;
}

std::optional<TLedger::TBatchRow> TLedger::FindBatch(const QString& Name)
{
    const auto found = Select(QStringLiteral("look for batch %1").arg(Name),
        QStringLiteral("SELECT id, data_sha256 FROM ledger_batches WHERE name = ?"), {Name});
    if (!found)
        return std::nullopt;
    if (found->empty()) {
        FError = QStringLiteral("ledger %1: no batch named %2").arg(FPlaceText, Name);
        return std::nullopt;
    }
    return TBatchRow{found->front().value(0).toLongLong(), !found->front().value(1).toString().isEmpty()};
}

std::optional<TPrepared> TLedger::Prepared(const QString& Batch, const TSerial& Serial)
{
    FError.clear();
    if (!Usable(false))
        return std::nullopt;
    return Retried([&]() -> std::optional<TPrepared> {
        const auto found = Select(QStringLiteral("look for card %1").arg(SerialHex(Serial)),
            QStringLiteral("SELECT r.row_no, r.recorded_at FROM ledger_records r JOIN ledger_batches b ON b.id = r.batch_id"
                           " WHERE b.name = ? AND r.serial = ? AND r.result = 'done' ORDER BY r.id DESC LIMIT 1"),
            {Batch, SerialHex(Serial)});
        if (!found || found->empty())
            return std::nullopt;
        // Stored in UTC; shown on this station's clock.
        return TPrepared{found->front().value(0).toInt(), StoredTime(found->front().value(1)).toLocalTime()};
    });
}

std::optional<int> TLedger::RowsLeft(const QString& Batch)
{
    FError.clear();
    if (!Usable(false))
        return std::nullopt;
    return Retried([&]() -> std::optional<int> {
        // Kept on the batch; a ledger of an older schema, only read, counts them.
        const auto left = Select(QStringLiteral("count the rows left"),
            QStringLiteral("SELECT b.id, %1 FROM ledger_batches b WHERE b.name = ?")
                .arg(FSchema >= 3 ? QStringLiteral("b.rows_left")
                                  : QStringLiteral("(SELECT COUNT(*) FROM ledger_rows r WHERE r.batch_id = b.id AND r.done_serial IS NULL AND r.claim_id IS NULL)")),
            {Batch});
        if (!left)
            return std::nullopt;
        if (left->empty()) {
            FError = QStringLiteral("ledger %1: no batch named %2").arg(FPlaceText, Batch);
            return std::nullopt;
        }
        return left->front().value(1).toInt();
    });
}
