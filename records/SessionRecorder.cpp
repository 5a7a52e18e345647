#include "records/SessionRecorder.h"

#include "session/CardJobs.h"
#include "session/LinkSession.h"

TSessionRecorder::TSessionRecorder(TLinkSession& Session, const QString& Program, const QString& Version,
    TRecordWarning Warning, const QString& JournalFolder, const QString& RunsFolder)
    : FSession(Session)
    , FProgram(Program)
    , FVersion(Version)
    , FWarning(std::move(Warning))
    , FRunsFolder(RunsFolder)
    , FJournal(JournalFolder)
{
    FJournal.OnWarning = [this](const QString& Text) {
        if (FWarning)
            FWarning(Text);
    };
    FJournal.Write(JournalText::ProgramStarted(FProgram, FVersion));
    FSession.Listeners().Add(*this);
}

TSessionRecorder::~TSessionRecorder()
{
    FSession.Listeners().Remove(*this);
    // A run still recorded when the face goes ends with what it counted.
    if (FRunReport) {
        FJournal.Write(JournalText::LoopStopped(FRunSettings, FLastTotals));
        FRunReport->Finish(FLastTotals);
    }
    FJournal.Write(JournalText::ProgramEnded(FProgram, FVersion));
}

void TSessionRecorder::Note(const QString& Line) { FJournal.Write(Line); }

void TSessionRecorder::Warn(const QString& Warning)
{
    // A journal that failed has said so itself and takes nothing more today.
    FJournal.Write(Warning);
}

void TSessionRecorder::Log(const QString& Line) { FJournal.Write(Line); }

void TSessionRecorder::LinkStateChanged(const QString& Text)
{
    FJournal.Write(JournalText::LinkPanel(Text));
    FLinked = Text == QLatin1String("Linked");
    if (FRunReport)
        FRunReport->SetLinked(FLinked);
}

void TSessionRecorder::PortOpened(const QString& ComName, const QString& Device)
{
    FDevice = Device;
    FJournal.Write(JournalText::PortOpened(ComName, Device));
}

void TSessionRecorder::PortOpenFailed(const QString& ComName, const QString& Reason, const QString& Detail)
{
    FDevice.clear();
    // The whole sentence, device and next step included, when there is one.
    FJournal.Write(JournalText::PortOpenFailed(ComName, Detail.isEmpty() ? Reason : Detail));
}

void TSessionRecorder::ReaderSilent(const QString& ComName, const QString& Words)
{
    FJournal.Write(JournalText::ReaderSilent(ComName, Words));
}

void TSessionRecorder::LoopRunStarted(const TLoopSettings& Settings)
{
    const TReaderSettings reader = FSession.Settings();
    FRunSettings = TRunSettings{};
    FRunSettings.Loop = Settings;
    FRunSettings.Port = QString::fromStdString(FSession.PortName());
    FRunSettings.Device = FDevice;
    FRunSettings.ReplyTimeoutMs = reader.ReplyTimeout;
    FRunSettings.Beep = reader.Beep;
    FRunSettings.SearchMode = reader.SearchMode;
    FLastTotals = TLoopTotals{};
    FJournal.Write(JournalText::LoopStarted(FRunSettings));
    FRunReport = std::make_unique<TRunReport>(
        FRunsFolder, FRunSettings, TRecordClock{},
        [this](const QString& Warning) {
            if (FWarning)
                FWarning(Warning);
            FJournal.Write(Warning);
        },
        FSession.Steady());
    FRunReport->SetLinked(FLinked);
}

void TSessionRecorder::LoopCycleEnded(const TLoopTotals& Totals)
{
    FLastTotals = Totals;
    if (FRunReport)
        FRunReport->Update(Totals);
}

void TSessionRecorder::LoopRunEnded(const TLoopSettings& /*Settings*/, const TLoopTotals& Totals)
{
    // The settings the run started with: the "Setting" page may have changed since.
    FJournal.Write(JournalText::LoopStopped(FRunSettings, Totals));
    if (!FRunReport)
        return;
    const QString report = FRunReport->Finish(Totals);
    const QString problem = FRunReport->Problem();
    FRunReport.reset();
    if (OnRunRecorded)
        OnRunRecorded(report, problem);
}

void TSessionRecorder::CardJobEnded(const TCardJobRecord& Record)
{
    // The log shows the line as it is; the journal adds the port and its
    // device, which a later reader of the journal cannot see.
    QString port = QString::fromStdString(FSession.PortName());
    if (!FDevice.isEmpty())
        port += QStringLiteral(": ") + FDevice;
    FJournal.Write(QString::fromStdString(Record.Line) + QStringLiteral(" (port %1)").arg(port));
}
