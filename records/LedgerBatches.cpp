// A ledger's batches: started once with their rows, joined by the next
// stations with the same files, and asked for their rows left and for a
// card prepared in them.
#include "records/LedgerSql.h"

#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

using namespace LedgerSql;

namespace {

// Texts as an SQL array's text: each one quoted, its quotes and backslashes
// escaped, so that no cell is read as NULL, cut at a comma or a brace.
QString ArrayText(const QStringList& Texts)
{
    QString text = QStringLiteral("{");
    for (const QString& one : Texts) {
        if (text.size() > 1)
            text += QLatin1Char(',');
        text += QLatin1Char('"');
        for (const QChar c : one) {
            if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
                text += QLatin1Char('\\');
            text += c;
        }
        text += QLatin1Char('"');
    }
    text += QLatin1Char('}');
    return text;
}

} // namespace

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
    // A lock held past the wait at a start is another station storing this
    // batch's rows (or starting another batch): its batch row appears once
    // it commits, and this station then joins it.
    QElapsedTimer waited;
    waited.start();
    bool told = false;
    for (;;) {
        FLockTimedOut = false;
        if (Retried([&]() { return StartBatchOnce(Batch); }))
            return true;
        if (!FLockTimedOut || waited.elapsed() >= StartWaitMs)
            return false;
        if (!told && FStartWaiting)
            FStartWaiting(QStringLiteral("ledger %1: another station is starting batch %2 this moment; waiting for it to store its rows,"
                                         " then joining it (up to %3 minutes)")
                              .arg(FPlaceText, Batch.Name)
                              .arg(StartWaitMs / 60000));
        told = true;
        if (!FStartPause) {
            QThread::msleep(StartRetryMs);
        } else if (!FStartPause(StartRetryMs)) {
            FError = QStringLiteral("ledger %1: the start of batch %2 was given up while another station was starting it").arg(FPlaceText, Batch.Name);
            return false;
        }
    }
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
    // The batch itself, started by another station since it was looked for,
    // is no other batch: the insert meets it and joins it.
    if (Batch.DataSha256.isEmpty() || Batch.ReuseData)
        return true;
    const auto other = Select(QStringLiteral("look for the data file's batch"),
        QStringLiteral("SELECT name FROM ledger_batches WHERE data_sha256 = ? AND name <> ? ORDER BY id LIMIT 1"), {Batch.DataSha256, Batch.Name});
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
    if (!Batch.Rows)
        return true;
    // One statement prepared once, for a row or for a chunk of them.
    const bool chunked = !FSql.StoreRowsChunk.isEmpty();
    QSqlQuery query(QSqlDatabase::database(FConnection, false));
    const QString sql = chunked ? FSql.StoreRowsChunk : QStringLiteral("INSERT INTO ledger_rows (batch_id, row_no, cells) VALUES (?, ?, ?)");
    if (!query.prepare(sql)) {
        FDatabaseFailed = true;
        FError = QStringLiteral("ledger %1: cannot store the rows of batch %2: %3").arg(FPlaceText, Batch.Name, DriverText(query.lastError()));
        return false;
    }
    int given = 0;     // rows the source gave
    int first = 1;     // the first row not stored yet
    QStringList cells; // the rows given since, as stored
    const auto store = [&]() {
        query.bindValue(0, Id);
        if (chunked) {
            QStringList numbers;
            for (int row = first; row <= given; ++row)
                numbers << QString::number(row);
            query.bindValue(1, QStringLiteral("{%1}").arg(numbers.join(QLatin1Char(','))));
            query.bindValue(2, ArrayText(cells));
        } else {
            query.bindValue(1, first);
            query.bindValue(2, cells.front());
        }
        if (!query.exec()) {
            FDatabaseFailed = true;
            FLockTimedOut = LockWaitedOut(query.lastError());
            FError = QStringLiteral("ledger %1: cannot store row %2 of batch %3: %4").arg(FPlaceText, QString::number(first), Batch.Name, DriverText(query.lastError()));
            return false;
        }
        first = given + 1;
        cells.clear();
        return true;
    };
    QString fault;
    const bool all = Batch.Rows(
        [&](const QStringList& Cells) {
            ++given;
            cells << JsonText(QJsonArray::fromStringList(Cells));
            return cells.size() < FSql.RowsAStatement || store();
        },
        fault);
    const bool stored = all && (cells.isEmpty() || store());
    query.finish();
    if (!fault.isEmpty())
        return RefuseStart(QStringLiteral("batch %1: %2").arg(Batch.Name, fault));
    if (stored && given > 0 && !FSql.RowsStored.isEmpty())
        return Exec(QStringLiteral("count the rows of batch %1").arg(Batch.Name), FSql.RowsStored);
    return stored;
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
            QStringLiteral("SELECT r.row_no, r.recorded_at, w.cells FROM ledger_records r JOIN ledger_batches b ON b.id = r.batch_id"
                           " LEFT JOIN ledger_rows w ON w.batch_id = r.batch_id AND w.row_no = r.row_no"
                           " WHERE b.name = ? AND r.serial = ? AND r.result = 'done' ORDER BY r.id DESC LIMIT 1"),
            {Batch, SerialHex(Serial)});
        if (!found || found->empty())
            return std::nullopt;
        // Stored in UTC; shown on this station's clock.
        return TPrepared{found->front().value(0).toInt(), StoredTime(found->front().value(1)).toLocalTime(), ListOf(found->front().value(2).toString())};
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
