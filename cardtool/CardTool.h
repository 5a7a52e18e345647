#pragma once
// TCardTool: one run of orvelle-card. It takes in every input file before
// the port is opened (a bad one sends nothing), opens the port and tests the
// link, maps the keys, runs the command's card job, and prints the results.
// Progress and confirmations go to standard error, results to standard
// output. Made and run on the thread of the QCoreApplication: the exchanges
// run the event loop while they wait, and that is where SIGINT and SIGTERM
// come in and cancel the job between two exchanges.

#include "cardtool/CardCommandLine.h"
#include "cardtool/CardReport.h"
#include "protocol/DumpFile.h"
#include "protocol/KeyFile.h"
#include "session/CardJobs.h"
#include "session/SessionEvents.h"

#include <memory>
#include <optional>
#include <string>

class TLinkSession;
class TSignalPipe;

// The exit statuses.
enum TCardExit : int {
    ExitDone = 0,
    ExitNotDone = 1,
    ExitUsage = 2,
    ExitNoReader = 3
};

class TCardTool : private TSessionEvents, private TCardJobEvents {
public:
    explicit TCardTool(const TCardOptions& Options);
    ~TCardTool() override;
    TCardTool(const TCardTool&) = delete;
    TCardTool& operator=(const TCardTool&) = delete;

    // Runs the command; the exit status.
    int Run();
    // The results could not be written to standard output (a full disk):
    // the run must not end with success.
    bool OutputLost() const { return FOutputLost; }

private:
    // The key files and the dump, and for read the file to save to; false
    // with the error printed.
    bool LoadInputs();
    // Every sector "not run" with the keys known so far; for a job
    // interrupted before the command's own job began.
    void ReportNotRun(const TKeyMap& Keys);
    int ReadCard(const TKeyMap& Keys);
    int WriteCard(TKeyMap& Keys);
    int DiffCard(const TKeyMap& Keys);
    // Prints the report: JSON or a table on standard output.
    void Print();
    // A signal came (now or earlier): the job is cancelled.
    bool Interrupted();
    bool AskOnTerminal(int Sector);

    // Progress on standard error: a bar redrawn in place on a terminal,
    // plain lines elsewhere.
    void BeginJob(const char* Name);
    void EndJob();
    void DrawBar(int Done, int Sector);

    // TSessionEvents
    void PortOpened(const QString& ComName, const QString& Device) override;
    void LinkStateChanged(const QString& Text) override;
    // TCardJobEvents
    void Progress(int Number, int Of) override;
    void SectorResult(int Sector, const TSectorOutcome& Outcome) override;
    bool ConfirmTrailer(const TTrailerChange& Change) override;

    TCardOptions FOptions;
    TKeyList FCandidates;
    std::optional<TDumpImage> FDump;
    TCardReport FReport;
    std::unique_ptr<TSignalPipe> FSignals;
    std::unique_ptr<TLinkSession> FSession;
    std::unique_ptr<TCardJobs> FJobs;
    bool FInterrupted = false;
    bool FOutputLost = false;
    // The device the port led to, for the messages.
    std::string FDevice;
    bool FLinked = false;
    // Progress.
    bool FBar = false; // standard error is a terminal
    const char* FJobName = "";
    bool FBarShown = false;
};
