#pragma once
// TSessionRecorder: the records of a link session, kept from the session's
// own events whatever face drives it (the window, orvelle-card): the journal
// (the message log's lines, the port and the link panel, every loop run and
// every whole-card job with its port) and a run report for each loop test.
// It subscribes itself to the session and leaves it when it goes, writing
// the program's start and end lines. One thread, the session's.

#include "records/Journal.h"
#include "records/RunReport.h"
#include "session/SessionEvents.h"

#include <memory>

class TLinkSession;

class TSessionRecorder final : private TSessionEvents {
public:
    // Program names the process in the journal ("Orvelle", "orvelle-card").
    // Warning says why a record could not be written, once per file and cause.
    TSessionRecorder(TLinkSession& Session, const QString& Program, const QString& Version, TRecordWarning Warning,
        const QString& JournalFolder = JournalDirectory(), const QString& RunsFolder = RunsDirectory());
    ~TSessionRecorder() override;
    TSessionRecorder(const TSessionRecorder&) = delete;
    TSessionRecorder& operator=(const TSessionRecorder&) = delete;

    // A line of the face's own (a file opened or saved): to the journal.
    void Note(const QString& Line);
    // A warning the face shows: to the journal too, which may take it.
    void Warn(const QString& Warning);

    // A loop run's record ended: the report's path when it is whole, else
    // why not (Problem).
    std::function<void(const QString& Report, const QString& Problem)> OnRunRecorded;

private:
    void Log(const QString& Line) override;
    void LinkStateChanged(const QString& Text) override;
    void PortOpened(const QString& ComName, const QString& Device) override;
    void PortOpenFailed(const QString& ComName, const QString& Reason, const QString& Detail) override;
    void ReaderSilent(const QString& ComName, const QString& Words) override;
    void LoopRunStarted(const TLoopSettings& Settings) override;
    void LoopCycleEnded(const TLoopTotals& Totals) override;
    void LoopRunEnded(const TLoopSettings& Settings, const TLoopTotals& Totals) override;
    void CardJobEnded(const TCardJobRecord& Record) override;

    TLinkSession& FSession;
    QString FProgram;
    QString FVersion;
    TRecordWarning FWarning;
    QString FRunsFolder;
    TJournal FJournal;
    std::unique_ptr<TRunReport> FRunReport;
    TRunSettings FRunSettings; // of the run being recorded
    TLoopTotals FLastTotals;
    QString FDevice;     // what the port led to, when it opened
    bool FLinked = true; // as the link panel said last
};
