#include "records/RunEvents.h"

#include "protocol/CardLayout.h"
#include "records/Records.h"

#include <algorithm>

std::vector<TRunEvent> LoopFailures(const TLoopSettings& Settings, const TLoopTotals& Before, const TLoopTotals& After, bool Linked)
{
    // No commas in a detail: the file stays five plain columns.
    const QString block = QStringLiteral("block %1").arg(Settings.Block);
    const struct {
        int64_t TLoopTotals::*Counter;
        const char* Kind;
        QString Detail;
    } kinds[] = {
        {&TLoopTotals::SearchFailures, "no-card", QStringLiteral("no card found")},
        {&TLoopTotals::AuthFailures, "authentication",
            QStringLiteral("sector %1 key %2").arg(SectorOf(Settings.Block)).arg(Settings.KeyType == 0 ? QLatin1Char('A') : QLatin1Char('B'))},
        {&TLoopTotals::WriteErrors, "write", block},
        {&TLoopTotals::ReadErrors, "read", block},
        {&TLoopTotals::VerifyErrors, "verification", block + QStringLiteral(" read back other data")},
    };
    std::vector<TRunEvent> failures;
    for (const auto& kind : kinds) {
        const qint64 moved = After.*kind.Counter - Before.*kind.Counter;
        if (moved > 0)
            failures.push_back({QLatin1String(kind.Kind), kind.Detail, moved});
    }
    // A reader that is not there fails every step: what failed says nothing.
    if (!Linked && !failures.empty())
        return {{QStringLiteral("link"), QStringLiteral("reader not linked"), std::max<qint64>(1, After.Cycles - Before.Cycles)}};
    return failures;
}

QString TRunEvents::Header() { return QStringLiteral("time,cycle,kind,count,detail"); }

QString TRunEvents::Open(const QString& Path)
{
    QString reason = FromLocalPath(FFile.Open(LocalPath(Path), true));
    if (reason.isEmpty()) {
        const QByteArray header = Header().toUtf8() + '\n';
        reason = FromLocalPath(FFile.Append({header.constData(), size_t(header.size())}));
    }
    return reason;
}

QString TRunEvents::Cycle(qint64 Cycle, const QDateTime& When, const std::vector<TRunEvent>& Failures)
{
    QString reason;
    if (Failures.empty()) {
        if (FOpen)
            reason = Write();
        return reason;
    }
    for (const TRunEvent& failure : Failures) {
        const qint64 first = std::max<qint64>(1, Cycle - failure.Count + 1);
        if (FOpen && failure.Kind == FRun.Kind && failure.Detail == FRun.Detail && first <= FLastCycle + 1) {
            FRun.Count += failure.Count;
            FLastCycle = Cycle;
            continue;
        }
        if (FOpen && reason.isEmpty())
            reason = Write();
        FOpen = true;
        FRun = failure;
        FFirstCycle = first;
        FLastCycle = Cycle;
        FFirstTime = When;
    }
    return reason;
}

QString TRunEvents::Finish()
{
    QString reason = FOpen ? Write() : QString();
    const std::string closed = FFile.Close();
    if (reason.isEmpty() && !closed.empty())
        reason = FromLocalPath(closed);
    return reason;
}

QString TRunEvents::Write()
{
    FOpen = false;
    const QByteArray row = QStringLiteral("%1,%2,%3,%4,%5\n").arg(IsoTimeStamp(FFirstTime)).arg(FFirstCycle).arg(FRun.Kind).arg(FRun.Count).arg(FRun.Detail).toUtf8();
    return FromLocalPath(FFile.Append({row.constData(), size_t(row.size())}));
}
