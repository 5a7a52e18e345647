// The line as a supervisor watches it: a batch's progress and, per station
// that worked in it, its state, last card and last failure, each counted
// by SQL; and the mark a watcher compares to learn that the ledger changed.
#include "records/LedgerSql.h"

#include <QSqlDriver>
#include <QSqlError>

#include <algorithm>

using namespace LedgerSql;

namespace {

// One row a station (every ? is the batch's key): who worked in the batch
// (its records, or an open claim in it), when it was heard, its open
// claims, its counts, its last record with that row's cells, its last
// failure. The records are read once (g), through the batch's index.
// %1: the heartbeat's age in ms; %2: the done cards' time an hour ago;
// %3: a record's time as stored; %4: a failure's cause; %5: the last
// record's operator, where the ledger keeps it.
const char* const StationsSql = "WITH g AS (SELECT station, SUM(CASE WHEN result = 'done' THEN 1 ELSE 0 END) AS done,"
                                " SUM(CASE WHEN result = 'failed' THEN 1 ELSE 0 END) AS failed,"
                                " SUM(CASE WHEN result = 'done' AND %3 >= %2 THEN 1 ELSE 0 END) AS last_hour,"
                                " MAX(id) AS last_id, MAX(CASE WHEN result = 'failed' THEN id END) AS failed_id"
                                " FROM ledger_records WHERE batch_id = ? GROUP BY station)"
                                " SELECT s.station, %1,"
                                " (SELECT COUNT(*) FROM ledger_claims c WHERE c.batch_id = ? AND c.station = s.station AND c.is_open = 1),"
                                " g.done, g.failed, g.last_hour, l.serial, l.row_no, w.cells, f.recorded_at, %4, f.detail%5"
                                " FROM (SELECT station FROM g UNION SELECT station FROM ledger_claims WHERE batch_id = ? AND is_open = 1) s"
                                " LEFT JOIN g ON g.station = s.station"
                                " LEFT JOIN ledger_records l ON l.id = g.last_id"
                                " LEFT JOIN ledger_rows w ON w.batch_id = l.batch_id AND w.row_no = l.row_no"
                                " LEFT JOIN ledger_records f ON f.id = g.failed_id"
                                " ORDER BY s.station";

// How a station stands: heard within the silence, with or without an open
// claim, or silent for whole minutes (at least one: it passed the silence).
QString StateOf(const QVariant& HeardMs, int OpenClaims)
{
    if (!HeardMs.isNull() && HeardMs.toLongLong() < qint64(StationSilentSeconds) * 1000)
        return OpenClaims > 0 ? QStringLiteral("working") : QStringLiteral("waiting");
    if (HeardMs.isNull())
        return QStringLiteral("silent");
    return QStringLiteral("silent %1 min").arg(std::max<qint64>(1, HeardMs.toLongLong() / 60000));
}

// The row's cells under the batch's label columns, "column: value".
QStringList LabelsOf(const QStringList& Columns, const QStringList& Cells)
{
    QStringList labels;
    for (qsizetype i = 0; i < Columns.size() && i < Cells.size(); ++i) {
        if (!IsCardDataColumn(Columns[i]))
            labels << Columns[i] + QStringLiteral(": ") + Cells[i];
    }
    return labels;
}

} // namespace

std::optional<TLineView> TLedger::Stations(const QString& Batch)
{
    FError.clear();
    if (!Usable(false))
        return std::nullopt;
    return Retried([&]() { return ReadLine(Batch); });
}

std::optional<TLineView> TLedger::ReadLine(const QString& Batch)
{
    const auto batch = Select(QStringLiteral("look for batch %1").arg(Batch), QStringLiteral("SELECT id, columns FROM ledger_batches WHERE name = ?"), {Batch});
    if (!batch)
        return std::nullopt;
    if (batch->empty()) {
        FError = QStringLiteral("ledger %1: no batch named %2").arg(FPlaceText, Batch);
        return std::nullopt;
    }
    const QVariant id = batch->front().value(0);
    const QStringList columns = ListOf(batch->front().value(1).toString());
    // The rows are numbered from 1: the last one's number is their count,
    // and the done ones are counted through their index.
    const auto rows = Select(QStringLiteral("count batch %1's rows").arg(Batch),
        QStringLiteral("SELECT (SELECT MAX(row_no) FROM ledger_rows WHERE batch_id = ?),"
                       " (SELECT COUNT(*) FROM ledger_rows WHERE batch_id = ? AND done_serial IS NOT NULL)"),
        {id, id});
    if (!rows)
        return std::nullopt;
    // A ledger of the first schema kept no heartbeats nor causes, and
    // times with their station's offset; one before the third no operators.
    const bool second = FSchema >= 2;
    const QString heard = QStringLiteral("(SELECT %1 FROM ledger_stations h WHERE h.name = s.station)").arg(FSql.AgeMsOf(QStringLiteral("h.heartbeat_at")));
    const auto stations = Select(QStringLiteral("read batch %1's stations").arg(Batch),
        QString::fromLatin1(StationsSql)
            .arg(second ? heard : QStringLiteral("NULL"), FSql.Clock(-3600), second ? QStringLiteral("recorded_at") : FSql.UtcOf(QStringLiteral("recorded_at")),
                second ? QStringLiteral("f.cause") : QStringLiteral("''"), FSchema >= 3 ? QStringLiteral(", l.operator") : QString()),
        {id, id, id});
    if (!stations)
        return std::nullopt;
    TLineView view;
    view.Batch = Batch;
    if (!rows->empty()) {
        view.Rows = rows->front().value(0).toInt();
        view.RowsDone = rows->front().value(1).toInt();
    }
    for (const QVariantList& row : *stations) {
        TLineStation station;
        station.Name = row.value(0).toString();
        station.State = StateOf(row.value(1), row.value(2).toInt());
        station.Done = row.value(3).toInt();
        station.Failed = row.value(4).toInt();
        station.DoneLastHour = row.value(5).toInt();
        station.LastSerial = row.value(6).toString();
        station.LastRow = row.value(7).toInt();
        station.LastLabels = LabelsOf(columns, ListOf(row.value(8).toString()));
        if (station.Done + station.Failed > 0)
            station.Yield = double(station.Done) / double(station.Done + station.Failed);
        if (!row.value(9).isNull())
            station.LastFailureAt = StoredTime(row.value(9));
        station.LastFailureCause = row.value(10).toString();
        station.LastFailureDetail = row.value(11).toString();
        station.Operator = row.value(12).toString();
        view.Stations.push_back(station);
    }
    return view;
}

std::optional<QStringList> TLedger::Batches()
{
    FError.clear();
    const auto rows = Retried([&]() { return Select(QStringLiteral("list the batches"), QStringLiteral("SELECT name FROM ledger_batches ORDER BY id DESC")); });
    if (!rows)
        return std::nullopt;
    QStringList names;
    for (const QVariantList& row : *rows)
        names << row.value(0).toString();
    return names;
}

bool TLedger::Notifies() const { return !FSql.Notify.isEmpty(); }

bool TLedger::Subscribe()
{
    FError.clear();
    if (!Notifies() || !Ready(QStringLiteral("listen for the stations")))
        return false;
    // The driver forgets its subscriptions when its connection closes.
    QSqlDriver* driver = QSqlDatabase::database(FConnection, false).driver();
    const QString channel = QString::fromLatin1(LineChannel);
    if (driver->subscribedToNotifications().contains(channel) || driver->subscribeToNotification(channel))
        return true;
    FError = QStringLiteral("ledger %1: cannot listen for the stations: %2").arg(FPlaceText, DriverText(driver->lastError()));
    return false;
}

std::optional<QString> TLedger::ChangeMark()
{
    FError.clear();
    const auto rows = Retried([&]() { return Select(QStringLiteral("look for changes"), FSql.ChangeMark); });
    if (!rows)
        return std::nullopt;
    QStringList parts;
    for (const QVariant& value : rows->empty() ? QVariantList() : rows->front())
        parts << value.toString();
    return parts.join(QLatin1Char('/'));
}
