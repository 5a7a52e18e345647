#include "records/RunReport.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>

namespace {

// A run's report names: enough for runs stopped and started within a second.
constexpr int MaxSameSecondRuns = 100;

QString Row(const QDateTime& When, qint64 ElapsedSeconds, const TLoopTotals& Totals)
{
    QString row = IsoTimeStamp(When);
    for (const int64_t value : {int64_t(ElapsedSeconds), Totals.Cycles, Totals.SearchFailures, Totals.AuthFailures,
             Totals.Reads, Totals.ReadErrors, Totals.VerifyErrors, Totals.Writes, Totals.WriteErrors})
        row += QLatin1Char(',') + QString::number(value);
    return row + QLatin1Char('\n');
}

} // namespace

TRunReport::TRunReport(const QString& Folder, const TRunSettings& Settings, TRecordClock Clock, TRecordWarning OnWarning)
    : FSettings(Settings)
    , FClock(std::move(Clock))
    , FOnWarning(std::move(OnWarning))
    , FStart(Now())
{
    const QString base = Folder + QLatin1Char('/') + FStart.toString(QStringLiteral("yyyyMMdd-HHmmss")) + QLatin1Char('-') + KindName(Settings.Loop.Kind);
    QString reason;
    for (int n = 1; n <= MaxSameSecondRuns; ++n) {
        reason = FFile.Open(base + (n > 1 ? QStringLiteral("-%1").arg(n) : QString()) + QStringLiteral(".csv"), true);
        if (reason.isEmpty() || !FFile.Existed())
            break;
    }
    if (reason.isEmpty())
        reason = FFile.Append(Header().toUtf8() + '\n');
    if (!reason.isEmpty())
        Fail(reason);
}

TRunReport::~TRunReport() = default;

QString TRunReport::Header()
{
    return QStringLiteral("time,elapsed_s,cycles,search_failures,auth_failures,reads,read_errors,verify_errors,writes,write_errors");
}

QString TRunReport::KindName(TLoopKind Kind) { return Kind == TLoopKind::Read ? QStringLiteral("loop-read") : QStringLiteral("loop-write"); }

QString TRunReport::CsvPath() const
{
    if (FFinished)
        return FResult;
    return FFailed ? QString() : FFile.Path();
}

QDateTime TRunReport::Now() const
{
    const QDateTime now = FClock ? FClock() : QDateTime();
    return now.isValid() ? now : QDateTime::currentDateTime();
}

void TRunReport::Update(const TLoopTotals& Totals)
{
    if (FFailed || FFinished)
        return;
    const QDateTime now = Now();
    const qint64 minute = FStart.msecsTo(now) / RowIntervalMs;
    if (minute <= FLastMinute)
        return;
    FLastMinute = minute;
    WriteRow(now, Totals);
}

QString TRunReport::Finish(const TLoopTotals& Totals)
{
    if (FFinished)
        return FResult;
    FFinished = true;
    if (FFailed)
        return FResult;
    const QDateTime stop = Now();
    WriteRow(stop, Totals);
    FFile.Close();
    if (FFailed)
        return FResult;
    FResult = FFile.Path();
    WriteSummary(stop, Totals);
    return FResult;
}

void TRunReport::WriteRow(const QDateTime& When, const TLoopTotals& Totals)
{
    const QString reason = FFile.Append(Row(When, std::max<qint64>(0, FStart.msecsTo(When) / 1000), Totals).toUtf8());
    if (!reason.isEmpty())
        Fail(reason);
}

void TRunReport::WriteSummary(const QDateTime& Stop, const TLoopTotals& Totals)
{
    const QString csv = FFile.Path();
    const qint64 elapsedMs = std::max<qint64>(0, FStart.msecsTo(Stop));
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
    // Written to a temporary file and renamed over the name: whole or absent.
    QSaveFile file(csv.left(csv.size() - 4) + QStringLiteral(".json"));
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(summary).toJson()) < 0 || !file.commit())
        Fail(file.fileName() + QStringLiteral(": ") + file.errorString());
}

void TRunReport::Fail(const QString& Reason)
{
    const bool first = !FFailed;
    FFailed = true;
    FFile.Close();
    if (first && FOnWarning)
        FOnWarning(QStringLiteral("Run report not written: ") + Reason);
}
