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

// The median and 95th percentile of the card times in Counted (ms, n: n done
// cards of ms each), per Partition when it is given: the value at a rank is
// the smallest ms whose running count reaches it, so that the records are
// counted once by time instead of each sorted.
QString PercentilesSql(const QString& Counted, const QString& Partition)
{
    const QString over = Partition.isEmpty() ? QString() : QStringLiteral("PARTITION BY %1 ").arg(Partition);
    return QStringLiteral("SELECT %1MIN(CASE WHEN t.below >= %2 THEN t.ms END) AS median, MIN(CASE WHEN t.below >= %3 THEN t.ms END) AS p95 FROM"
                          " (SELECT %1ms, CAST(SUM(n) OVER (%4ORDER BY ms ROWS UNBOUNDED PRECEDING) AS BIGINT) AS below,"
                          " CAST(SUM(n) OVER (%5) AS BIGINT) AS total FROM %6) t%7")
        .arg(Partition.isEmpty() ? QString() : Partition + QStringLiteral(", "), NearestRank(50, QStringLiteral("t.total")),
            NearestRank(95, QStringLiteral("t.total")), over, over.trimmed(), Counted,
            Partition.isEmpty() ? QString() : QStringLiteral(" GROUP BY ") + Partition);
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

// The rows of ReadSummaryRows, each led by its kind.
enum class TSummaryRow { Count,
    Rows,
    Times,
    AllTimes };

} // namespace

struct TLedger::TSummaryRows {
    // Count: batch, station, result, cause, records, -, first, last
    // Rows: batch, station, -, -, rows left, open claims
    // Times: batch, station, -, -, median, p95
    // AllTimes: -, -, -, -, median, p95
    std::vector<QVariantList> All;
};

bool TLedger::ReadSummaryRows(const QStringList& Where, const QVariantList& Values, TSummaryRows& Rows)
{
    // One pass over the records: counted by batch, station, result, cause
    // and card time (in the order of ledger_records_summary, which has them
    // all, so that no record is sorted), then each figure taken from those
    // counts. A ledger of the first schema kept no cause.
    const bool causes = FSchema >= 2;
    const QString time = StoredUtcOf(FSql, QStringLiteral("r.recorded_at"));
    const QString counted = QStringLiteral("SELECT r.batch_id AS batch_id, r.station AS station, r.result AS result, %1 AS cause, r.duration_ms AS ms,"
                                           " COUNT(*) AS n, MIN(%2) AS first_at, MAX(%2) AS last_at FROM ledger_records r%3"
                                           " GROUP BY r.batch_id, r.station, r.result, %4r.duration_ms")
                                .arg(causes ? QStringLiteral("r.cause") : QStringLiteral("''"), time, WhereText(Where),
                                    causes ? QStringLiteral("r.cause, ") : QString());
    const QString done = QStringLiteral("(SELECT batch_id, station, ms, n FROM g WHERE result = 'done') d");
    // Rows left as RowsLeft counts them (kept on the batch, or counted in a
    // ledger of an older schema, only read); open claims of the line's
    // station in its batch.
    const QString sql
        = QStringLiteral("WITH g AS (%1)"
                         " SELECT %2, b.name, g.station, g.result, g.cause, CAST(SUM(g.n) AS BIGINT), NULL, MIN(g.first_at), MAX(g.last_at)"
                         " FROM g JOIN ledger_batches b ON b.id = g.batch_id GROUP BY g.batch_id, b.name, g.station, g.result, g.cause"
                         " UNION ALL SELECT %3, b.name, s.station, NULL, NULL,"
                         " %8,"
                         " (SELECT COUNT(*) FROM ledger_claims c WHERE c.batch_id = s.batch_id AND c.station = s.station AND c.is_open = 1), NULL, NULL"
                         " FROM (SELECT DISTINCT batch_id, station FROM g) s JOIN ledger_batches b ON b.id = s.batch_id"
                         " UNION ALL SELECT %4, b.name, p.station, NULL, NULL, p.median, p.p95, NULL, NULL FROM (%5) p JOIN ledger_batches b ON b.id = p.batch_id"
                         " UNION ALL SELECT %6, NULL, NULL, NULL, NULL, a.median, a.p95, NULL, NULL FROM (%7) a")
              .arg(counted)
              .arg(int(TSummaryRow::Count))
              .arg(int(TSummaryRow::Rows))
              .arg(int(TSummaryRow::Times))
              .arg(PercentilesSql(done, QStringLiteral("batch_id, station")))
              .arg(int(TSummaryRow::AllTimes))
              .arg(PercentilesSql(done, QString()))
              .arg(FSchema >= 3 ? QStringLiteral("b.rows_left")
                                : QStringLiteral("(SELECT COUNT(*) FROM ledger_rows w WHERE w.batch_id = s.batch_id AND w.done_serial IS NULL AND w.claim_id IS NULL)"));
    const auto all = Select(QStringLiteral("count the records"), sql, Values);
    if (!all)
        return false;
    Rows.All = *all;
    return true;
}

TLedgerSummary TLedger::SummaryOf(const TSummaryRows& Rows, bool LocalTimes)
{
    std::map<TLineKey, TLedgerSummaryLine> lines;
    std::map<TLineKey, std::pair<QString, QString>> spans; // stored UTC texts
    std::map<QString, int> totalCauses;
    std::map<TLineKey, std::map<QString, int>> lineCauses;
    const QVariantList* allTimes = nullptr;
    for (const QVariantList& row : Rows.All) {
        const auto kind = TSummaryRow(row.value(0).toInt());
        if (kind == TSummaryRow::AllTimes) {
            allTimes = &row;
            continue;
        }
        const TLineKey key{row.value(1).toString(), row.value(2).toString()};
        TLedgerSummaryLine& line = lines[key];
        line.Batch = key.first;
        line.Station = key.second;
        if (kind == TSummaryRow::Rows) {
            line.RowsLeft = row.value(5).toInt();
            line.OpenClaims = row.value(6).toInt();
        } else if (kind == TSummaryRow::Times) {
            line.MedianMs = MsOf(row.value(5));
            line.P95Ms = MsOf(row.value(6));
        } else {
            const QString result = row.value(3).toString();
            const int count = row.value(5).toInt();
            if (result == QLatin1String("done"))
                line.Done += count;
            else if (result == QLatin1String("failed")) {
                line.Failed += count;
                lineCauses[key][row.value(4).toString()] += count;
                totalCauses[row.value(4).toString()] += count;
            } else if (result == QLatin1String("repeat"))
                line.Repeats += count;
            auto& [first, last] = spans[key];
            const QString rowFirst = row.value(7).toString();
            const QString rowLast = row.value(8).toString();
            if (!rowFirst.isEmpty() && (first.isEmpty() || rowFirst < first))
                first = rowFirst;
            if (!rowLast.isEmpty() && (last.isEmpty() || rowLast > last))
                last = rowLast;
        }
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
    if (allTimes) {
        total.MedianMs = MsOf(allTimes->value(5));
        total.P95Ms = MsOf(allTimes->value(6));
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
