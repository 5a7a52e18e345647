#pragma once
// TCardTool: one run of orvelle-card. It takes in every input file before
// the port is opened (a bad one sends nothing), opens the port and tests the
// link, maps the keys, runs the command's card job, and prints the results.
// Progress and confirmations go to standard error, results to standard
// output. Made and run on the thread of the QCoreApplication: the exchanges
// run the event loop while they wait, and that is where SIGINT, SIGTERM,
// SIGHUP and SIGPIPE come in and cancel the job between two exchanges.

#include "cardtool/CardOptions.h"
#include "cardtool/Output.h"
#include "protocol/DumpFile.h"
#include "protocol/KeyFile.h"
#include "session/CardWork.h"
#include "session/SessionEvents.h"

#include <memory>
#include <optional>
#include <string>

class TBatchRun;
class TLinkSession;
class TSessionRecorder;
class TSignalPipe;

class TCardTool : private TSessionEvents, private TCardWorkEvents {
public:
    explicit TCardTool(const TCardOptions& Options);
    ~TCardTool() override;
    TCardTool(const TCardTool&) = delete;
    TCardTool& operator=(const TCardTool&) = delete;

    // Runs the command and prints its results; the exit status. With --json
    // exactly one document: the results, or the error that left none.
    int Run();

private:
    // The command table names the commands' members: Prepare and Run.
    friend struct TCardCommands;

    int RunCommand();
    // The signals, the session and the journal, then the port opened and
    // the link tested; ExitDone or ExitNoReader.
    int OpenReader();
    // Says Text on standard error, as the run's error should it end without
    // results.
    void Say(const std::string& Text);
    // The key files and the dump, and for read the file to save to; false
    // with the error printed.
    bool LoadInputs();
    // batch: the data file, the ledger and the batch, before the port; 0 or
    // the exit status.
    int PrepareBatch();
    // Every sector "not run" with the keys known so far; for a job
    // interrupted before the command's own job began.
    void ReportNotRun(const TKeyMap& Keys);
    // The keys mapped so far.
    TKeyMap Keys() const;
    // A job found no card: said, and no table.
    int NoCard();
    // The exit status of a sequence whose job did not run, with its report;
    // none when it ran.
    template <class TResult>
    std::optional<int> NotRun(const TWorkRun<TResult>& Run);
    int MapCard();
    // keys --save: the map found, in the form asked for; false, with the
    // reason said, when it was not written.
    bool SaveMap(const TMapResult& Map);
    int ReadCard();
    int WriteCard();
    int DiffCard();
    int RunBatch();
    // ledger: no port, no inputs of its own.
    int PrintLedger();
    // ports: the devices, the port map, a probe or a link (PortsCommand.cpp).
    int ListPorts();
    // loop-report: a loop run's page (LoopReportCommand.cpp).
    int MakeLoopReport();
    // The report is the run's result: Run prints it, JSON or a table on
    // standard output, once the exit status is known.
    void Print();
    // A signal came (now or earlier): the job is cancelled.
    bool Interrupted();
    // y, n, a (yes to the rest), q (no to the rest); no when the input ends
    // or a signal comes.
    bool AskOnTerminal(int Sector);
    // A line typed on standard input, trimmed and in lower case; false when
    // the input ended or a signal came.
    bool ReadAnswer(std::string& Answer);

    // Progress on standard error: a bar redrawn in place on a terminal,
    // plain lines elsewhere.
    void EndJob();
    void DrawBar(int Done, int Sector);

    // TSessionEvents
    void PortOpened(const QString& ComName, const QString& Device) override;
    void PortOpenFailed(const QString& ComName, const QString& Reason, const QString& Detail) override;
    void LinkStateChanged(const QString& Text) override;
    void CardJobEnded(const TCardJobRecord& Record) override;
    // TCardWorkEvents
    void JobStarted(TCardJob Job) override;
    void Progress(int Sector) override;
    void SectorResult(int Sector, const TSectorOutcome& Outcome) override;
    bool ConfirmTrailer(const TTrailerChange& Change) override;

    TCardOptions FOptions;
    TKeyList FCandidates;
    std::optional<TDumpImage> FDump;
    std::optional<TKeyMap> FStartMap; // --map
    TCardReport FReport;
    bool FReportReady = false;
    bool FPrinted = false; // the command printed its one document itself
    std::string FLastSaid;
    std::unique_ptr<TSignalPipe> FSignals;
    std::unique_ptr<TLinkSession> FSession;
    std::unique_ptr<TSessionRecorder> FRecords;
    std::unique_ptr<TCardWork> FWork;
    std::unique_ptr<TBatchRun> FBatch;
    bool FInterrupted = false;
    // The answer given for the rest of the trailers (a or q).
    std::optional<bool> FAnswerRest;
    // The device the port led to, for the messages.
    std::string FDevice;
    bool FLinked = false;
    // Progress.
    bool FBar = false; // standard error is a terminal
    const char* FJobName = "";
    bool FBarShown = false;
};
