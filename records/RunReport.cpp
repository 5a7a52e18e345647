#include "records/RunReport.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace {

// A run's report names: enough for runs stopped and started within a second.
constexpr int MaxSameSecondRuns = 100;

// Part per Whole times Scale with two decimals, or an empty cell where there
// is nothing to divide by (never "nan").
QString Ratio(int64_t Part, int64_t Whole, double Scale)
{
    return Whole > 0 ? QString::number(double(Part) * Scale / double(Whole), 'f', 2) : QString();
}

// The totals, then the rate over the interval since the row before and the
// percentages so far (RunReport.h says of what).
QString Row(const QDateTime& When, qint64 ElapsedMs, const TLoopTotals& Totals, qint64 IntervalMs, int64_t IntervalCycles)
{
    QString row = IsoTimeStamp(When);
    for (const int64_t value : {int64_t(ElapsedMs / 1000), Totals.Cycles, Totals.SearchFailures, Totals.AuthFailures,
             Totals.Reads, Totals.ReadErrors, Totals.VerifyErrors, Totals.Writes, Totals.WriteErrors})
        row += QLatin1Char(',') + QString::number(value);
    for (const QString& cell : {Ratio(IntervalCycles, IntervalMs, 60000.0), Ratio(Totals.SearchFailures, Totals.Cycles, 100.0),
             Ratio(Totals.AuthFailures, Totals.Cycles, 100.0), Ratio(Totals.ReadErrors, Totals.Reads + Totals.ReadErrors, 100.0),
             Ratio(Totals.VerifyErrors, Totals.Writes, 100.0), Ratio(Totals.WriteErrors, Totals.Writes + Totals.WriteErrors, 100.0)})
        row += QLatin1Char(',') + cell;
    return row + QLatin1Char('\n');
}

} // namespace

TRunReport::TRunReport(const QString& Folder, const TRunSettings& Settings, TRecordClock Clock, TRecordWarning OnWarning,
    TSteadyClock Steady)
    : FSettings(Settings)
    , FClock(std::move(Clock))
    , FOnWarning(std::move(OnWarning))
    , FSteady(std::move(Steady))
    , FStart(Now())
    , FSteadyStart(SteadyMs(FSteady))
{
    const QString base = Folder + QLatin1Char('/') + FStart.toString(QStringLiteral("yyyyMMdd-HHmmss")) + QLatin1Char('-') + KindName(Settings.Loop.Kind);
    QString reason = MakeFolderOf(base);
    // A name taken (by an earlier run, or by anything laid in its way) is
    // passed over: the report is always a new file.
    for (int n = 1; reason.isEmpty() && n <= MaxSameSecondRuns; ++n) {
        FCsv = base + (n > 1 ? QStringLiteral("-%1").arg(n) : QString()) + QStringLiteral(".csv");
        const QString taken = FromLocalPath(FFile.Open(LocalPath(FCsv), true));
        if (taken.isEmpty() || !FFile.Existed()) {
            reason = taken;
            break;
        }
        if (n == MaxSameSecondRuns)
            reason = taken;
    }
    if (reason.isEmpty()) {
        const QByteArray header = Header().toUtf8() + '\n';
        reason = FromLocalPath(FFile.Append({header.constData(), size_t(header.size())}));
    }
    if (reason.isEmpty())
        reason = FEvents.Open(EventsPath(FCsv));
    if (!reason.isEmpty())
        Fail(reason);
}

TRunReport::~TRunReport() = default;

QString TRunReport::Header()
{
    return QStringLiteral("time,elapsed_s,cycles,search_failures,auth_failures,reads,read_errors,verify_errors,writes,write_errors,"
                          "cycles_per_min,search_fail_pct,auth_fail_pct,read_error_pct,verify_error_pct,write_error_pct");
}

QString TRunReport::EventsPath(const QString& Csv) { return Csv.left(Csv.size() - 4) + QStringLiteral("-events.csv"); }

QString TRunReport::KindName(TLoopKind Kind) { return Kind == TLoopKind::Read ? QStringLiteral("loop-read") : QStringLiteral("loop-write"); }

QString TRunReport::CsvPath() const
{
    if (FFinished)
        return FResult;
    return FFailed ? QString() : FCsv;
}

QDateTime TRunReport::Now() const
{
    const QDateTime now = FClock ? FClock() : QDateTime();
    return now.isValid() ? now : QDateTime::currentDateTime();
}

qint64 TRunReport::ElapsedMs() const { return std::max<qint64>(0, SteadyMs(FSteady) - FSteadyStart); }

void TRunReport::Update(const TLoopTotals& Totals)
{
    if (FFailed || FFinished)
        return;
    const QDateTime now = Now();
    NoteEvents(now, Totals);
    const qint64 elapsed = ElapsedMs();
    const qint64 minute = elapsed / RowIntervalMs;
    if (FFailed || minute <= FLastMinute)
        return;
    FLastMinute = minute;
    WriteRow(now, elapsed, Totals);
}

void TRunReport::NoteEvents(const QDateTime& When, const TLoopTotals& Totals)
{
    if (Totals.Cycles <= FCycleTotals.Cycles)
        return;
    const QString reason = FEvents.Cycle(Totals.Cycles, When, LoopFailures(FSettings.Loop, FCycleTotals, Totals, FLinked));
    FCycleTotals = Totals;
    if (!reason.isEmpty())
        Fail(reason);
}

QString TRunReport::Finish(const TLoopTotals& Totals)
{
    if (FFinished)
        return FResult;
    FFinished = true;
    if (FFailed)
        return FResult;
    const qint64 elapsed = ElapsedMs();
    const QDateTime stop = Now();
    // The last cycle's events, the last row, then the events' open run.
    NoteEvents(stop, Totals);
    if (!FFailed)
        WriteRow(stop, elapsed, Totals);
    if (const QString events = FFailed ? QString() : FEvents.Finish(); !events.isEmpty())
        Fail(events);
    if (FFailed)
        return FResult;
    const std::string closed = FFile.Close();
    if (!closed.empty())
        Fail(FromLocalPath(closed));
    if (FFailed)
        return FResult;
    WriteSummary(stop, elapsed, Totals);
    // The path only of a report that is whole.
    if (!FFailed)
        FResult = FCsv;
    return FResult;
}

void TRunReport::WriteRow(const QDateTime& When, qint64 ElapsedMs, const TLoopTotals& Totals)
{
    const QByteArray row = Row(When, ElapsedMs, Totals, ElapsedMs - FLastRowMs, Totals.Cycles - FLastRowCycles).toUtf8();
    FLastRowMs = ElapsedMs;
    FLastRowCycles = Totals.Cycles;
    const std::string reason = FFile.Append({row.constData(), size_t(row.size())});
    if (!reason.empty())
        Fail(FromLocalPath(reason));
}

void TRunReport::WriteSummary(const QDateTime& Stop, qint64 ElapsedMs, const TLoopTotals& Totals)
{
    const QString& csv = FCsv;
    const qint64 elapsedMs = ElapsedMs;
    QJsonObject settings{
        {QStringLiteral("block"), FSettings.Loop.Block},
        {QStringLiteral("key"), FSettings.Loop.KeyType == 0 ? QStringLiteral("A") : QStringLiteral("B")},
        {QStringLiteral("port"), FSettings.Port},
        {QStringLiteral("reply_timeout_ms"), FSettings.ReplyTimeoutMs},
        {QStringLiteral("beep"), FSettings.Beep},
        {QStringLiteral("search_mode"), FSettings.SearchMode},
    };
    if (!FSettings.Device.isEmpty())
        settings.insert(QStringLiteral("device"), FSettings.Device);
    const QJsonObject totals{
        {QStringLiteral("cycles"), qint64(Totals.Cycles)},
        {QStringLiteral("search_failures"), qint64(Totals.SearchFailures)},
        {QStringLiteral("auth_failures"), qint64(Totals.AuthFailures)},
        {QStringLiteral("reads"), qint64(Totals.Reads)},
        {QStringLiteral("read_errors"), qint64(Totals.ReadErrors)},
        {QStringLiteral("verify_errors"), qint64(Totals.VerifyErrors)},
        {QStringLiteral("writes"), qint64(Totals.Writes)},
        {QStringLiteral("write_errors"), qint64(Totals.WriteErrors)},
    };
    const QJsonObject summary{
        {QStringLiteral("kind"), KindName(FSettings.Loop.Kind)},
        {QStringLiteral("report"), QFileInfo(csv).fileName()},
        {QStringLiteral("settings"), settings},
        {QStringLiteral("start"), IsoTimeStamp(FStart)},
        {QStringLiteral("stop"), IsoTimeStamp(Stop)},
        {QStringLiteral("elapsed_s"), double(elapsedMs) / 1000.0},
        {QStringLiteral("totals"), totals},
        {QStringLiteral("cycles_per_minute"), elapsedMs > 0 ? double(Totals.Cycles) * 60000.0 / double(elapsedMs) : 0.0},
    };
    // Written to a new file and renamed over the name: whole or absent.
    const QByteArray json = QJsonDocument(summary).toJson();
    std::string error;
    if (!ReplaceFile(LocalPath(csv.left(csv.size() - 4) + QStringLiteral(".json")),
            {reinterpret_cast<const uint8_t*>(json.constData()), size_t(json.size())}, error))
        Fail(FromLocalPath(error));
}

void TRunReport::Fail(const QString& Reason)
{
    const bool first = !FFailed;
    FFailed = true;
    FFile.Close();
    FEvents.Close();
    if (!first)
        return;
    FProblem = Reason;
    if (FOnWarning)
        FOnWarning(QStringLiteral("Report not written: ") + Reason);
}
