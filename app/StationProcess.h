#pragma once
// TStationProcess: one station of the line run from the window, as its own
// `orvelle-card batch --json` process. The window starts it, reads its JSON
// Lines events as they come, stops it with SIGINT (the batch then ends after
// the card in hand, as on Ctrl-C) and runs the same command again after a
// crash, when the same station name resumes its claim. Each station is a
// process of its own, so one that fails takes no other with it.

#include <QDeadlineTimer>
#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

// What a station runs: the batch command's values. Paths as the user gave
// them; the password never goes on the command line (others may read it in
// /proc), only into the child's environment.
struct TStationCommand {
    QString Port; // COMn or a device path
    QString Template;
    QString Data; // empty: a batch without a data file
    QString Batch;
    QString Station;
    QString Operator;
    QString Ledger;           // empty: the program's default ledger
    QString ApprovedTrailers; // the trailers' digest approved; empty: no --trailers
    bool Permanent = false;   // with them, trailers that lock for good (--permanent)
    QString Password;         // the PostgreSQL password; empty: libpq's own sources
    int ReplyTimeoutMs = 0;   // 0: the program's default
    // The program run; empty: orvelle-card beside this program, else on PATH.
    QString Program;
};

// The arguments of Command's batch, in the order the usage gives them.
QStringList StationArguments(const TStationCommand& Command);
// orvelle-card beside the running program, else the one on PATH; empty when
// there is none.
QString CardProgramPath();

class TStationProcess : public QObject {
    Q_OBJECT

public:
    enum class TState { Starting, // started, no event yet
        Running,
        Stopping,            // SIGINT sent, the card in hand being finished
        Finished,            // the batch's end reported and a clean exit
        EndedUnexpectedly }; // a crash, a refusal or another exit

    // How long a station being destroyed is given to finish its card.
    static constexpr int DestroyWaitMs = 5000;

    explicit TStationProcess(TStationCommand Command, QObject* Parent = nullptr);
    // A station still running is asked to stop and given a moment; past it,
    // QProcess kills it (its claim is taken over once it is silent).
    ~TStationProcess() override;

    void Start();
    // SIGINT: the batch ends once the card being prepared is finished.
    void Stop();
    // The same command again, once this run has ended.
    void Restart();
    // Waits, until Deadline at most, for a run asked to stop to end; false
    // when it still runs.
    bool WaitEnded(const QDeadlineTimer& Deadline);

    TState State() const { return FState; }
    const TStationCommand& Command() const { return FCommand; }
    // The exit status once ended (-1: killed by a signal or never run).
    int ExitStatus() const { return FExitStatus; }
    // The last line on standard error, or why the program did not start.
    const QString& LastError() const { return FLastError; }
    const QJsonObject& LastEvent() const { return FLastEvent; }
    qint64 ProcessId() const { return FProcess.processId(); }

signals:
    // One JSON Lines event as the batch printed it ("event": waiting, card,
    // writing, done, failed, repeat, remove, complete, and its fields).
    void EventArrived(const QJsonObject& Event);
    void StateChanged(TStationProcess::TState State);

private:
    void ReadOut();
    void ReadErr();
    void Ended(int ExitCode, QProcess::ExitStatus Status);
    void SetState(TState State);
    // SIGINT to the child, when there is one.
    void Interrupt();

    TStationCommand FCommand;
    QProcess FProcess;
    TState FState = TState::Finished;
    int FExitStatus = -1;
    QString FLastError;
    QJsonObject FLastEvent;
    QByteArray FOutPending;
    QByteArray FErrPending;
    bool FCompleted = false; // a "complete" event came in this run
};

// "starting", "running", "stopping", "finished", "ended unexpectedly".
QString StationStateText(TStationProcess::TState State);
