// The records summed up per batch and station: counts by result and cause,
// the first and last record, the card times' median and 95th percentile,
// the rows left and the open claims. Each figure is counted by SQL over the
// ledger's own tables; only the rates and the total line are worked out
// here, from those figures.
#include "records/LedgerSql.h"

#include <QSqlQuery>

#include <map>
#include <set>

using namespace LedgerSql;

namespace {

// The rank of the p-th percentile (Percent/100) among N sorted values, N at
// least 1: the nearest rank, ceil(p * N), the value at that rank being the
// percentile itself (never one between two). In integer SQL, so that both
// databases give the same rank: the only place the rule is written.
QString NearestRank(int Percent, const QString& N) { return QStringLiteral("((%1 * %2 + 99) / 100)").arg(N).arg(Percent); }

// The done cards' median and 95th percentile durations, per batch and
// station (batch name, station, median, p95) or over all of them (median,
// p95).
QString CardTimesSql(const QStringList& Where, bool PerGroup)
{
    const QString partition = PerGroup ? QStringLiteral("PARTITION BY r.batch_id, r.station ") : QString();
    return QStringLiteral("SELECT %1MAX(CASE WHEN k = %2 THEN ms END), MAX(CASE WHEN k = %3 THEN ms END) FROM"
                          " (SELECT b.name AS batch, r.station AS station, r.duration_ms AS ms,"
                          " ROW_NUMBER() OVER (%4ORDER BY r.duration_ms) AS k, COUNT(*) OVER (%5) AS n"
                          " FROM ledger_records r JOIN ledger_batches b ON b.id = r.batch_id%6) d%7")
        .arg(PerGroup ? QStringLiteral("batch, station, ") : QString(), NearestRank(50, QStringLiteral("n")), NearestRank(95, QStringLiteral("n")),
            partition, partition.trimmed(), WhereText(Where + QStringList{QStringLiteral("r.result = 'done'")}),
            PerGroup ? QStringLiteral(" GROUP BY batch, station") : QString());
}

std::optional<qint64> MsOf(const QVariant& Value)
{
    if (Value.isNull())
        return std::nullopt;
    return Value.toLongLong();
}

// Done cards an hour between two stored times; none when they are the same
// instant (or not times).
std::optional<double> CardsPerHour(int Done, const QString& First, const QString& Last)
{
    const QDateTime first = QDateTime::fromString(First, Qt::ISODateWithMs);
    const QDateTime last = QDateTime::fromString(Last, Qt::ISODateWithMs);
    const qint64 span = first.msecsTo(last);
    if (!first.isValid() || !last.isValid() || span <= 0)
        return std::nullopt;
    return double(Done) * 3600000.0 / double(span);
}

// The lines in one order whatever the database's collation.
using TLineKey = std::pair<QString, QString>;

// Adds a line's counts to the total. The rows left are the batch's, the same
// on each of its stations' lines: counted once a batch.
void AddToTotal(TLedgerSummaryLine& Total, const TLedgerSummaryLine& Line, std::set<QString>& BatchesCounted)
{
    Total.Done += Line.Done;
    Total.Failed += Line.Failed;
    Total.Repeats += Line.Repeats;
    Total.OpenClaims += Line.OpenClaims;
    if (BatchesCounted.insert(Line.Batch).second)
        Total.RowsLeft += Line.RowsLeft;
}

} // namespace

struct TLedger::TSummaryRows {
    std::vector<QVariantList> Groups;   // batch, station, done, failed, repeats, first, last, rows left, open claims
    std::vector<QVariantList> Causes;   // batch, station, cause, failures
    std::vector<QVariantList> Times;    // batch, station, median, p95
    std::vector<QVariantList> AllTimes; // median, p95
};

bool TLedger::ReadSummaryRows(const QStringList& Where, const QVariantList& Values, TSummaryRows& Rows)
{
    // Rows left as RowsLeft counts them; open claims of the line's station
    // in its batch.
    const QString utc = FSql.UtcOf(QStringLiteral("r.recorded_at"));
    const auto groups = Select(QStringLiteral("count the records"),
        QStringLiteral("SELECT b.name, r.station, SUM(CASE WHEN r.result = 'done' THEN 1 ELSE 0 END), SUM(CASE WHEN r.result = 'failed' THEN 1 ELSE 0 END),"
                       " SUM(CASE WHEN r.result = 'repeat' THEN 1 ELSE 0 END), MIN(%1), MAX(%1),"
                       " (SELECT COUNT(*) FROM ledger_rows w WHERE w.batch_id = r.batch_id AND w.done_serial IS NULL AND w.claim_id IS NULL),"
                       " (SELECT COUNT(*) FROM ledger_claims c WHERE c.batch_id = r.batch_id AND c.station = r.station AND c.is_open = 1)"
                       " FROM ledger_records r JOIN ledger_batches b ON b.id = r.batch_id%2 GROUP BY r.batch_id, b.name, r.station")
            .arg(utc, WhereText(Where)),
        Values);
    if (!groups)
        return false;
    // A ledger of the first schema kept no cause.
    const auto causes = Select(QStringLiteral("count the failures"),
        QStringLiteral("SELECT b.name, r.station, %1, COUNT(*) FROM ledger_records r JOIN ledger_batches b ON b.id = r.batch_id%2 GROUP BY b.name, r.station%3")
            .arg(FSchema >= 2 ? QStringLiteral("r.cause") : QStringLiteral("''"), WhereText(Where + QStringList{QStringLiteral("r.result = 'failed'")}),
                FSchema >= 2 ? QStringLiteral(", r.cause") : QString()),
        Values);
    if (!causes)
        return false;
    const auto times = Select(QStringLiteral("read the card times"), CardTimesSql(Where, true), Values);
    if (!times)
        return false;
    const auto allTimes = Select(QStringLiteral("read the card times"), CardTimesSql(Where, false), Values);
    if (!allTimes)
        return false;
    Rows = {*groups, *causes, *times, *allTimes};
    return true;
}

TLedgerSummary TLedger::SummaryOf(const TSummaryRows& Rows, bool LocalTimes)
{
    std::map<TLineKey, TLedgerSummaryLine> lines;
    std::map<TLineKey, std::pair<QString, QString>> spans; // stored UTC texts
    for (const QVariantList& row : Rows.Groups) {
        const TLineKey key{row.value(0).toString(), row.value(1).toString()};
        TLedgerSummaryLine& line = lines[key];
        line.Batch = key.first;
        line.Station = key.second;
        line.Done = row.value(2).toInt();
        line.Failed = row.value(3).toInt();
        line.Repeats = row.value(4).toInt();
        spans[key] = {row.value(5).toString(), row.value(6).toString()};
        line.RowsLeft = row.value(7).toInt();
        line.OpenClaims = row.value(8).toInt();
    }
    std::map<QString, int> totalCauses;
    std::map<TLineKey, std::map<QString, int>> lineCauses;
    for (const QVariantList& row : Rows.Causes) {
        const int count = row.value(3).toInt();
        lineCauses[{row.value(0).toString(), row.value(1).toString()}][row.value(2).toString()] += count;
        totalCauses[row.value(2).toString()] += count;
    }
    for (const QVariantList& row : Rows.Times) {
        const auto line = lines.find({row.value(0).toString(), row.value(1).toString()});
        if (line == lines.end())
            continue;
        line->second.MedianMs = MsOf(row.value(2));
        line->second.P95Ms = MsOf(row.value(3));
    }
    TLedgerSummary summary;
    TLedgerSummaryLine& total = summary.Total;
    std::set<QString> batchesCounted;
    QString first;
    QString last;
    for (auto& [key, line] : lines) {
        const auto& [lineFirst, lineLast] = spans[key];
        line.FailedByCause.assign(lineCauses[key].begin(), lineCauses[key].end());
        line.CardsPerHour = CardsPerHour(line.Done, lineFirst, lineLast);
        line.First = ExportTime(lineFirst, LocalTimes);
        line.Last = ExportTime(lineLast, LocalTimes);
        AddToTotal(total, line, batchesCounted);
        if (first.isEmpty() || lineFirst < first)
            first = lineFirst;
        if (last.isEmpty() || lineLast > last)
            last = lineLast;
        summary.Groups.push_back(line);
    }
    total.FailedByCause.assign(totalCauses.begin(), totalCauses.end());
    total.CardsPerHour = CardsPerHour(total.Done, first, last);
    total.First = first.isEmpty() ? QString() : ExportTime(first, LocalTimes);
    total.Last = last.isEmpty() ? QString() : ExportTime(last, LocalTimes);
    if (!Rows.AllTimes.empty()) {
        total.MedianMs = MsOf(Rows.AllTimes.front().value(0));
        total.P95Ms = MsOf(Rows.AllTimes.front().value(1));
    }
    return summary;
}

std::optional<TLedgerSummary> TLedger::Summary(const TLedgerFilter& Filter, bool LocalTimes)
{
    FError.clear();
    QStringList where;
    QVariantList values;
    TSummaryRows rows;
    if (!FilterRecords(Filter, where, values) || !ReadSummaryRows(where, values, rows))
        return std::nullopt;
    return SummaryOf(rows, LocalTimes);
}
