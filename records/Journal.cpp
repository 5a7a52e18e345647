#include "records/Journal.h"

#include "records/RunReport.h"

#include <QCoreApplication>
#include <QStringList>

TJournal::TJournal(const QString& Folder, TRecordClock Clock)
    : FFolder(Folder)
    , FClock(std::move(Clock))
{
}

QString TJournal::PathFor(const QDate& Day) const
{
    return FFolder + QLatin1Char('/') + Day.toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".log");
}

void TJournal::Write(const QString& Line)
{
    QDateTime now = FClock ? FClock() : QDateTime::currentDateTime();
    if (!now.isValid())
        now = QDateTime::currentDateTime();
    if (now.date() != FDay) {
        FFile.Close();
        FDay = now.date();
        FFailed = false;
    }
    if (FFailed)
        return;
    // Removed or renamed meanwhile (by hand, by a clean-up): every later line
    // would go into a file nobody finds.
    if (FFile.IsOpen() && FFile.Moved())
        FFile.Close();
    if (!FFile.IsOpen()) {
        const QString path = PathFor(FDay);
        QString reason = MakeFolderOf(path);
        if (reason.isEmpty())
            reason = FromLocalPath(FFile.Open(LocalPath(path)));
        if (!reason.isEmpty())
            return Fail(reason);
    }
    // A text of several lines gets a stamp on each, as the log shows them
    // one a line; all of it goes out in one write.
    const QString stamp = IsoTimeStamp(now) + QLatin1Char(' ');
    QString text;
    for (const QString& part : Line.split(QLatin1Char('\n')))
        text += stamp + part + QLatin1Char('\n');
    const QByteArray bytes = text.toUtf8();
    const std::string reason = FFile.Append({bytes.constData(), size_t(bytes.size())});
    if (!reason.empty())
        Fail(FromLocalPath(reason));
}

void TJournal::Fail(const QString& Reason)
{
    FFailed = true;
    FFile.Close();
    // Once for each file and cause: a day's file that fails as the last one
    // did is still news, a second failure of one file for one cause is not.
    const QString said = PathFor(FDay) + QLatin1Char('\n') + Reason;
    if (FSaid.contains(said))
        return;
    FSaid.insert(said);
    if (OnWarning)
        OnWarning(QStringLiteral("Journal not written: ") + Reason);
}

namespace JournalText {

namespace {

QString KindText(TLoopKind Kind) { return Kind == TLoopKind::Read ? QStringLiteral("Loop read") : QStringLiteral("Loop write"); }

QString SettingsText(const TRunSettings& Settings)
{
    QString port = Settings.Port;
    if (!Settings.Device.isEmpty())
        port += QStringLiteral(" (%1)").arg(Settings.Device);
    return QStringLiteral("block %1, stored key %2, port %3, reply time-out %4 ms, beep %5, search mode %6")
        .arg(Settings.Loop.Block)
        .arg(Settings.Loop.KeyType == 0 ? QLatin1Char('A') : QLatin1Char('B'))
        .arg(port)
        .arg(Settings.ReplyTimeoutMs)
        .arg(Settings.Beep ? QStringLiteral("on") : QStringLiteral("off"))
        .arg(Settings.SearchMode);
}

} // namespace

QString ProgramStarted(const QString& Program, const QString& Version)
{
    return QStringLiteral("%1 %2 started (process %3)").arg(Program, Version).arg(QCoreApplication::applicationPid());
}
QString ProgramEnded(const QString& Program, const QString& Version)
{
    return QStringLiteral("%1 %2 ended").arg(Program, Version);
}
QString PortOpened(const QString& ComName, const QString& Device) { return QStringLiteral("Port %1 opened: %2").arg(ComName, Device); }
QString PortOpenFailed(const QString& ComName, const QString& Reason) { return QStringLiteral("Port %1 not opened: %2").arg(ComName, Reason); }
QString ReaderSilent(const QString& ComName, const QString& Words) { return QStringLiteral("Port %1 not linked: %2").arg(ComName, Words); }
QString LinkPanel(const QString& Text) { return QStringLiteral("Link panel: %1").arg(Text); }

QString LoopStarted(const TRunSettings& Settings)
{
    return KindText(Settings.Loop.Kind) + QStringLiteral(" started: ") + SettingsText(Settings);
}

QString LoopStopped(const TRunSettings& Settings, const TLoopTotals& Totals)
{
    return KindText(Settings.Loop.Kind) + QStringLiteral(" stopped: ") + SettingsText(Settings)
        + QStringLiteral("; %1 cycles, %2 search failures, %3 auth failures, %4 reads, %5 read errors, "
                         "%6 verify errors, %7 writes, %8 write errors")
              .arg(Totals.Cycles)
              .arg(Totals.SearchFailures)
              .arg(Totals.AuthFailures)
              .arg(Totals.Reads)
              .arg(Totals.ReadErrors)
              .arg(Totals.VerifyErrors)
              .arg(Totals.Writes)
              .arg(Totals.WriteErrors);
}

} // namespace JournalText
