// The records as series for the charts: done cards per station and 10
// minutes, failures by cause, a histogram of card times, yield per station.
// SQL counts; here the counts are laid out on a continuous time axis and the
// histogram's bins are chosen.
#include "records/LedgerSql.h"

#include <algorithm>
#include <map>

using namespace LedgerSql;

namespace {

constexpr qint64 BucketSeconds = 600;
// A stored time's first 15 characters, 2026-12-08T06:0, are its 10-minute
// bucket in both databases (stored times are UTC texts of one shape).
const QString BucketSql = QStringLiteral("substr(r.recorded_at, 1, 15)");

QDateTime BucketStart(const QString& Prefix)
{
    return QDateTime::fromString(Prefix + QStringLiteral("0:00Z"), Qt::ISODate);
}

QString BucketName(const QDateTime& Start, bool LocalTimes)
{
    if (!LocalTimes)
        return Start.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm")) + QLatin1Char('Z');
    const QDateTime local = Start.toLocalTime();
    const int offset = local.offsetFromUtc() / 60;
    const int magnitude = offset < 0 ? -offset : offset;
    return local.toString(QStringLiteral("yyyy-MM-ddTHH:mm")) + (offset < 0 ? QLatin1Char('-') : QLatin1Char('+')) + QStringLiteral("%1:%2").arg(magnitude / 60, 2, 10, QLatin1Char('0')).arg(magnitude % 60, 2, 10, QLatin1Char('0'));
}

// The card-time histogram has HistogramBins bins of one width from 0, the
// width the smallest 1, 2 or 5 times a power of ten (ms) with which they
// reach the 95th percentile, and one bin more for the slower cards: a few
// slow cards do not squeeze the rest into one bar.
constexpr int HistogramBins = 8;

qint64 BinWidth(qint64 P95Ms)
{
    for (qint64 power = 10;; power *= 10)
        for (const qint64 step : {1, 2, 5})
            if (step * power * HistogramBins > P95Ms)
                return step * power;
}

QString Seconds(qint64 Ms, qint64 Width)
{
    const int decimals = Width >= 1000 ? 0 : Width >= 100 ? 1
                                                          : 2;
    return QString::number(double(Ms) / 1000.0, 'f', decimals);
}

} // namespace

bool TLedger::ReadDurationBins(const QStringList& Where, const QVariantList& Values, TLedgerSeries& Series)
{
    // The done cards counted by card time in one pass (in the order of
    // ledger_records_summary, so that no record is sorted), each row with
    // the 95th percentile by its nearest rank, as the summary takes it: the
    // smallest time whose running count reaches the rank.
    const QString cause = FSchema >= 2 ? QStringLiteral("r.cause, ") : QString();
    const auto times = Select(QStringLiteral("read the card times"),
        QStringLiteral("WITH g AS (SELECT r.result AS result, r.duration_ms AS ms, COUNT(*) AS n FROM ledger_records r%1"
                       " GROUP BY r.batch_id, r.station, r.result, %2r.duration_ms),"
                       " d AS (SELECT ms, CAST(SUM(n) AS BIGINT) AS n FROM g WHERE result = 'done' GROUP BY ms)"
                       " SELECT d.ms, d.n, (SELECT MIN(CASE WHEN t.below >= ((95 * t.total + 99) / 100) THEN t.ms END) FROM"
                       " (SELECT ms, CAST(SUM(n) OVER (ORDER BY ms ROWS UNBOUNDED PRECEDING) AS BIGINT) AS below,"
                       " CAST(SUM(n) OVER () AS BIGINT) AS total FROM d) t) FROM d")
            .arg(WhereText(Where), cause),
        Values);
    if (!times)
        return false;
    if (times->empty() || times->front().value(2).isNull())
        return true; // no done card: no histogram
    const qint64 width = BinWidth(times->front().value(2).toLongLong());
    const qint64 top = width * HistogramBins;
    Series.DurationCounts.assign(HistogramBins + 1, 0);
    for (int bin = 0; bin < HistogramBins; ++bin)
        Series.DurationBins << QStringLiteral("%1-%2 s").arg(Seconds(bin * width, width), Seconds((bin + 1) * width, width));
    Series.DurationBins << QStringLiteral(">= %1 s").arg(Seconds(top, width));
    for (const QVariantList& row : *times) {
        const qint64 ms = row.value(0).toLongLong();
        const qint64 bin = ms >= top ? HistogramBins : std::max<qint64>(ms, 0) / width;
        Series.DurationCounts[size_t(bin)] += row.value(1).toInt();
    }
    return true;
}
std::optional<TLedgerSeries> TLedger::Series(const TLedgerFilter& Filter, bool LocalTimes)
{
    FError.clear();
    QStringList where;
    QVariantList values;
    if (!FilterRecords(Filter, where, values))
        return std::nullopt;
    const auto groups = Select(QStringLiteral("count the records"),
        QStringLiteral("SELECT %1, r.station, SUM(CASE WHEN r.result = 'done' THEN 1 ELSE 0 END), SUM(CASE WHEN r.result = 'failed' THEN 1 ELSE 0 END)"
                       " FROM ledger_records r%2 GROUP BY %1, r.station")
            .arg(BucketSql, WhereText(where)),
        values);
    if (!groups)
        return std::nullopt;
    // A ledger of the first schema kept no cause.
    const auto causes = Select(QStringLiteral("count the failures"),
        QStringLiteral("SELECT %1, COUNT(*) FROM ledger_records r%2%3")
            .arg(FSchema >= 2 ? QStringLiteral("r.cause") : QStringLiteral("''"), WhereText(where + QStringList{QStringLiteral("r.result = 'failed'")}),
                FSchema >= 2 ? QStringLiteral(" GROUP BY r.cause") : QString()),
        values);
    if (!causes)
        return std::nullopt;
    TLedgerSeries series;
    if (!ReadDurationBins(where, values, series))
        return std::nullopt;

    // Every bucket from the first to the last, so that a quiet 10 minutes
    // shows as a gap.
    std::map<QString, std::map<QDateTime, int>> doneByStation;
    std::map<QString, std::pair<int, int>> doneAndFailed;
    QDateTime first;
    QDateTime last;
    for (const QVariantList& row : *groups) {
        const QDateTime bucket = BucketStart(row.value(0).toString());
        if (!bucket.isValid())
            continue;
        const QString station = row.value(1).toString();
        doneByStation[station][bucket] += row.value(2).toInt();
        doneAndFailed[station].first += row.value(2).toInt();
        doneAndFailed[station].second += row.value(3).toInt();
        if (!first.isValid() || bucket < first)
            first = bucket;
        if (!last.isValid() || bucket > last)
            last = bucket;
    }
    std::vector<QDateTime> buckets;
    for (QDateTime bucket = first; first.isValid() && bucket <= last; bucket = bucket.addSecs(BucketSeconds)) {
        buckets.push_back(bucket);
        series.Buckets << BucketName(bucket, LocalTimes);
    }
    for (const auto& [station, done] : doneByStation) {
        TChartSeries line{station, {}};
        for (const QDateTime& bucket : buckets) {
            const auto found = done.find(bucket);
            line.Values.push_back(found == done.end() ? 0.0 : double(found->second));
        }
        series.CardsPer10Min.push_back(std::move(line));
    }
    for (const auto& [station, counts] : doneAndFailed)
        if (counts.first + counts.second > 0)
            series.YieldByStation.emplace_back(station, double(counts.first) / double(counts.first + counts.second));

    for (const QVariantList& row : *causes)
        if (row.value(1).toInt() > 0)
            series.FailuresByCause.emplace_back(row.value(0).toString(), row.value(1).toInt());
    std::sort(series.FailuresByCause.begin(), series.FailuresByCause.end(),
        [](const auto& A, const auto& B) { return A.second != B.second ? A.second > B.second : A.first < B.first; });
    return series;
}
