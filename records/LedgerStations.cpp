// The line as a supervisor watches it: a batch's progress and, per station
// that worked in it, its state, last card and last failure, each counted
// by SQL; and the mark a watcher compares to learn that the ledger changed.
#include "records/LedgerSql.h"

#include <QSqlDriver>
#include <QSqlError>

#include <algorithm>
#include <limits>
#include <map>
#include <set>

using namespace LedgerSql;

// A look does not count the whole batch again: the records up to Cut are
// counted once and kept, those after it counted at each look, by key (the
// key's order, not the batch's index, which would visit the whole batch).
// Cut trails the newest record by TailRecords: a station's record may be
// committed after one with a later key (PostgreSQL hands keys out at the
// insert), never that far behind. The last hour is counted from the first
// record that was in it at the previous look.
struct TLedger::TLineCounts {
    struct TStation {
        int Done = 0;
        int Failed = 0;
        qint64 LastId = 0;
        qint64 FailedId = 0;
    };
    qint64 BatchId = -1;
    qint64 Cut = 0;
    qint64 HourFloor = 0;             // no done card of the last hour before it
    std::map<QString, TStation> Kept; // the records up to Cut
};

namespace {

constexpr qint64 TailRecords = 1000;

// The batch's records with keys in a range, counted by station.
const char* const CountsSql = "SELECT station, SUM(CASE WHEN result = 'done' THEN 1 ELSE 0 END), SUM(CASE WHEN result = 'failed' THEN 1 ELSE 0 END),"
                              " MAX(id), MAX(CASE WHEN result = 'failed' THEN id END)"
                              " FROM ledger_records WHERE id > ? AND id <= ? AND +batch_id = ? GROUP BY station";

// %1: a record's time as stored; %2: an hour ago, by the database's clock.
const char* const LastHourSql = "SELECT station, COUNT(*), MIN(id) FROM ledger_records"
                                " WHERE id >= ? AND +batch_id = ? AND result = 'done' AND %1 >= %2 GROUP BY station";
// The records named (%1: their keys' placeholders) with their rows' cells.
// %2: a failure's cause; %3: the operator, where the ledger keeps them.
const char* const RecordsSql = "SELECT r.id, r.serial, r.row_no, w.cells, r.recorded_at, %2, r.detail, %3"
                               " FROM ledger_records r LEFT JOIN ledger_rows w ON w.batch_id = r.batch_id AND w.row_no = r.row_no WHERE r.id IN (%1)";

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
    TLineView view;
    view.Batch = Batch;
    // The rows are numbered from 1: the last one's number is their count,
    // and the done ones are counted through their index.
    const auto rows = Select(QStringLiteral("count batch %1's rows").arg(Batch),
        QStringLiteral("SELECT (SELECT MAX(row_no) FROM ledger_rows WHERE batch_id = ?),"
                       " (SELECT COUNT(*) FROM ledger_rows WHERE batch_id = ? AND done_serial IS NOT NULL)"),
        {id, id});
    if (!rows || rows->empty())
        return std::nullopt;
    view.Rows = rows->front().value(0).toInt();
    view.RowsDone = rows->front().value(1).toInt();

    // Kept only once every figure was read.
    TLineCounts counts = FLineCounts && FLineCounts->BatchId == id.toLongLong() ? *FLineCounts : TLineCounts{id.toLongLong(), 0, 0, {}};
    using TStationCounts = std::map<QString, TLineCounts::TStation>;
    const auto addCounts = [](TStationCounts& Counts, const std::vector<QVariantList>& Rows) {
        for (const QVariantList& row : Rows) {
            auto& station = Counts[row.value(0).toString()];
            station.Done += row.value(1).toInt();
            station.Failed += row.value(2).toInt();
            station.LastId = std::max(station.LastId, row.value(3).toLongLong());
            station.FailedId = std::max(station.FailedId, row.value(4).toLongLong());
        }
    };
    const QString what = QStringLiteral("count batch %1's records").arg(Batch);
    const auto newest = Select(what, QStringLiteral("SELECT MAX(id) FROM ledger_records"));
    if (!newest || newest->empty())
        return std::nullopt;
    const qint64 newestId = newest->front().value(0).toLongLong();
    if (newestId - counts.Cut > 2 * TailRecords) {
        const auto kept = Select(what, QString::fromLatin1(CountsSql), {counts.Cut, newestId - TailRecords, id});
        if (!kept)
            return std::nullopt;
        addCounts(counts.Kept, *kept);
        counts.Cut = newestId - TailRecords;
    }
    const auto tail = Select(what, QString::fromLatin1(CountsSql), {counts.Cut, std::numeric_limits<qint64>::max(), id});
    if (!tail)
        return std::nullopt;
    TStationCounts stations = counts.Kept;
    addCounts(stations, *tail);
    // A ledger of the first schema kept no heartbeats nor causes, and
    // times with their station's offset; one before the third no operators.
    const bool second = FSchema >= 2;
    const auto lastHour = Select(QStringLiteral("count batch %1's last hour").arg(Batch),
        QString::fromLatin1(LastHourSql).arg(second ? QStringLiteral("recorded_at") : FSql.UtcOf(QStringLiteral("recorded_at")), FSql.Clock(-3600)),
        {counts.HourFloor, id});
    const auto open = Select(QStringLiteral("read batch %1's open claims").arg(Batch),
        QStringLiteral("SELECT station, COUNT(*) FROM ledger_claims WHERE batch_id = ? AND is_open = 1 GROUP BY station"), {id});
    const auto heard = second ? Select(QStringLiteral("read the stations' heartbeats"),
                           QStringLiteral("SELECT name, %1 FROM ledger_stations").arg(FSql.AgeMsOf(QStringLiteral("heartbeat_at"))))
                              : std::optional<std::vector<QVariantList>>(std::vector<QVariantList>());
    if (!lastHour || !open || !heard)
        return std::nullopt;
    std::map<QString, int> hourDone;
    std::map<QString, int> openClaims;
    std::map<QString, QVariant> heardMs;
    counts.HourFloor = counts.Cut + 1;
    for (const QVariantList& row : *lastHour) {
        hourDone[row.value(0).toString()] = row.value(1).toInt();
        counts.HourFloor = std::min(counts.HourFloor, row.value(2).toLongLong());
    }
    for (const QVariantList& row : *open)
        openClaims[row.value(0).toString()] = row.value(1).toInt();
    for (const QVariantList& row : *heard)
        heardMs[row.value(0).toString()] = row.value(1);

    // Each station's last record and last failure, by key.
    QStringList marks;
    QVariantList keys;
    for (const auto& [name, station] : stations) {
        for (qint64 key : {station.LastId, station.FailedId}) {
            if (key > 0) {
                marks << QStringLiteral("?");
                keys << key;
            }
        }
    }
    std::map<qint64, QVariantList> records;
    if (!keys.isEmpty()) {
        const auto found = Select(QStringLiteral("read batch %1's last cards").arg(Batch),
            QString::fromLatin1(RecordsSql)
                .arg(marks.join(QStringLiteral(", ")), second ? QStringLiteral("r.cause") : QStringLiteral("''"),
                    FSchema >= 3 ? QStringLiteral("r.operator") : QStringLiteral("''")),
            keys);
        if (!found)
            return std::nullopt;
        for (const QVariantList& row : *found)
            records[row.value(0).toLongLong()] = row;
    }

    std::set<QString> names;
    for (const auto& [name, station] : stations)
        names.insert(name);
    for (const auto& [name, claims] : openClaims)
        names.insert(name);
    for (const QString& name : names) {
        const TLineCounts::TStation figures = stations.count(name) ? stations.at(name) : TLineCounts::TStation();
        TLineStation station;
        station.Name = name;
        station.State = StateOf(heardMs.count(name) ? heardMs.at(name) : QVariant(), openClaims.count(name) ? openClaims.at(name) : 0);
        station.Done = figures.Done;
        station.Failed = figures.Failed;
        station.DoneLastHour = hourDone.count(name) ? hourDone.at(name) : 0;
        if (station.Done + station.Failed > 0)
            station.Yield = double(station.Done) / double(station.Done + station.Failed);
        if (const auto last = records.find(figures.LastId); last != records.end()) {
            station.LastSerial = last->second.value(1).toString();
            station.LastRow = last->second.value(2).toInt();
            station.LastLabels = LabelsOf(columns, ListOf(last->second.value(3).toString()));
            station.Operator = last->second.value(7).toString();
        }
        if (const auto failure = records.find(figures.FailedId); failure != records.end()) {
            station.LastFailureAt = StoredTime(failure->second.value(4));
            station.LastFailureCause = failure->second.value(5).toString();
            station.LastFailureDetail = failure->second.value(6).toString();
        }
        view.Stations.push_back(station);
    }
    FLineCounts = std::make_shared<TLineCounts>(std::move(counts));
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
