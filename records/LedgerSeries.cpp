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
    const QStringList done = Where + QStringList{QStringLiteral("r.result = 'done'")};
    // The 95th percentile by its nearest rank, as the summary takes it.
    const auto p95 = Select(QStringLiteral("read the card times"),
        QStringLiteral("SELECT MAX(CASE WHEN k = ((95 * n + 99) / 100) THEN ms END) FROM"
                       " (SELECT r.duration_ms AS ms, ROW_NUMBER() OVER (ORDER BY r.duration_ms) AS k, COUNT(*) OVER () AS n"
                       " FROM ledger_records r%1) d")
            .arg(WhereText(done)),
        Values);
    if (!p95)
        return false;
    if (p95->empty() || p95->front().value(0).isNull())
        return true; // no done card: no histogram
    const qint64 width = BinWidth(p95->front().value(0).toLongLong());
    const qint64 top = width * HistogramBins;
    const auto counts = Select(QStringLiteral("count the card times"),
        QStringLiteral("SELECT CASE WHEN r.duration_ms >= %1 THEN %2 WHEN r.duration_ms < 0 THEN 0 ELSE r.duration_ms / %3 END, COUNT(*)"
                       " FROM ledger_records r%4 GROUP BY 1")
            .arg(top)
            .arg(HistogramBins)
            .arg(width)
            .arg(WhereText(done)),
        Values);
    if (!counts)
        return false;
    Series.DurationCounts.assign(HistogramBins + 1, 0);
    for (int bin = 0; bin < HistogramBins; ++bin)
        Series.DurationBins << QStringLiteral("%1-%2 s").arg(Seconds(bin * width, width), Seconds((bin + 1) * width, width));
    Series.DurationBins << QStringLiteral(">= %1 s").arg(Seconds(top, width));
    for (const QVariantList& row : *counts)
        Series.DurationCounts[size_t(std::clamp(row.value(0).toInt(), 0, HistogramBins))] += row.value(1).toInt();
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
