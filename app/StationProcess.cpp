#include "app/StationProcess.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include <algorithm>

#include <signal.h>

namespace {

// The batch's exit statuses that a station's end may have: done, and done
// with cards failed (each of them said in its own event).
constexpr int ExitDone = 0;
constexpr int ExitCardsFailed = 1;

} // namespace

QStringList StationArguments(const TStationCommand& Command)
{
    QStringList args{QStringLiteral("--json"), QStringLiteral("--port"), Command.Port};
    if (Command.ReplyTimeoutMs > 0)
        args << QStringLiteral("--timeout") << QString::number(Command.ReplyTimeoutMs);
    args << QStringLiteral("batch") << Command.Template;
    if (!Command.Data.isEmpty())
        args << QStringLiteral("--data") << Command.Data;
    if (!Command.Batch.isEmpty())
        args << QStringLiteral("--batch") << Command.Batch;
    if (!Command.Station.isEmpty())
        args << QStringLiteral("--station") << Command.Station;
    if (!Command.Operator.isEmpty())
        args << QStringLiteral("--operator") << Command.Operator;
    if (!Command.Ledger.isEmpty())
        args << QStringLiteral("--ledger") << Command.Ledger;
    if (!Command.ApprovedTrailers.isEmpty())
        args << QStringLiteral("--trailers") << QStringLiteral("--approve-trailers") << Command.ApprovedTrailers;
    if (!Command.ApprovedTrailers.isEmpty() && Command.Permanent)
        args << QStringLiteral("--permanent");
    return args;
}

QString CardProgramPath()
{
    QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/orvelle-card");
    if (QFileInfo(beside).isExecutable())
        return beside;
    return QStandardPaths::findExecutable(QStringLiteral("orvelle-card"));
}

QString StationStateText(TStationProcess::TState State)
{
    switch (State) {
    case TStationProcess::TState::Starting:
        return QStringLiteral("starting");
    case TStationProcess::TState::Running:
        return QStringLiteral("running");
    case TStationProcess::TState::Stopping:
        return QStringLiteral("stopping");
    case TStationProcess::TState::Finished:
        return QStringLiteral("finished");
    case TStationProcess::TState::EndedUnexpectedly:
        return QStringLiteral("ended unexpectedly");
    }
    return {};
}

TStationProcess::TStationProcess(TStationCommand Command, QObject* Parent)
    : QObject(Parent)
    , FCommand(std::move(Command))
{
    connect(&FProcess, &QProcess::readyReadStandardOutput, this, &TStationProcess::ReadOut);
    connect(&FProcess, &QProcess::readyReadStandardError, this, &TStationProcess::ReadErr);
    connect(&FProcess, &QProcess::finished, this, &TStationProcess::Ended);
    connect(&FProcess, &QProcess::errorOccurred, this, [this](QProcess::ProcessError Error) {
        // A program that never ran has no finished() to come.
        if (Error != QProcess::FailedToStart)
            return;
        FLastError = QStringLiteral("orvelle-card cannot be run: %1").arg(FProcess.errorString());
        FExitStatus = -1;
        SetState(TState::EndedUnexpectedly);
    });
}

TStationProcess::~TStationProcess()
{
    // Quietly: nobody is left to hear of this end.
    FProcess.disconnect(this);
    if (FProcess.state() == QProcess::NotRunning)
        return;
    Interrupt();
    FProcess.waitForFinished(DestroyWaitMs);
}

void TStationProcess::Start()
{
    if (FProcess.state() != QProcess::NotRunning)
        return;
    FExitStatus = -1;
    FLastError.clear();
    FLastEvent = {};
    FOutPending.clear();
    FErrPending.clear();
    FCompleted = false;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!FCommand.Password.isEmpty())
        environment.insert(QStringLiteral("PGPASSWORD"), FCommand.Password);
    FProcess.setProcessEnvironment(environment);
    // Its questions would wait for an answer nobody gives: standard input is
    // closed, and a batch on no terminal asks none.
    FProcess.setStandardInputFile(QProcess::nullDevice());
    SetState(TState::Starting);
    const QString program = FCommand.Program.isEmpty() ? CardProgramPath() : FCommand.Program;
    if (program.isEmpty()) {
        FLastError = QStringLiteral("orvelle-card is neither beside this program nor on PATH");
        SetState(TState::EndedUnexpectedly);
        return;
    }
    FProcess.start(program, StationArguments(FCommand));
}

void TStationProcess::Stop()
{
    if (FProcess.state() == QProcess::NotRunning || FState == TState::Stopping)
        return;
    SetState(TState::Stopping);
    Interrupt();
}

bool TStationProcess::WaitEnded(const QDeadlineTimer& Deadline)
{
    return FProcess.state() == QProcess::NotRunning || FProcess.waitForFinished(int(std::max<qint64>(Deadline.remainingTime(), 0)));
}

void TStationProcess::Interrupt()
{
    // Never pid 0 or below: kill() would signal this program's own group.
    if (const qint64 pid = FProcess.processId(); pid > 0)
        ::kill(pid_t(pid), SIGINT);
}

void TStationProcess::Restart()
{
    if (FState == TState::Finished || FState == TState::EndedUnexpectedly)
        Start();
}

void TStationProcess::ReadOut()
{
    FOutPending += FProcess.readAllStandardOutput();
    for (qsizetype end = FOutPending.indexOf('\n'); end >= 0; end = FOutPending.indexOf('\n')) {
        const QByteArray line = FOutPending.left(end).trimmed();
        FOutPending.remove(0, end + 1);
        const QJsonDocument document = QJsonDocument::fromJson(line);
        // The document of an error that ended the run before any event is
        // no event: its text is the last error already, on standard error.
        if (!document.isObject() || !document.object().contains(QStringLiteral("event")))
            continue;
        FLastEvent = document.object();
        if (FLastEvent.value(QStringLiteral("event")).toString() == QStringLiteral("complete"))
            FCompleted = true;
        if (FState == TState::Starting)
            SetState(TState::Running);
        emit EventArrived(FLastEvent);
    }
}

void TStationProcess::ReadErr()
{
    FErrPending += FProcess.readAllStandardError();
    const qsizetype end = FErrPending.lastIndexOf('\n');
    if (end < 0)
        return;
    const QList<QByteArray> lines = FErrPending.left(end).split('\n');
    FErrPending.remove(0, end + 1);
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        if (!line->trimmed().isEmpty()) {
            FLastError = QString::fromUtf8(line->trimmed());
            break;
        }
    }
}

void TStationProcess::Ended(int ExitCode, QProcess::ExitStatus Status)
{
    ReadOut();
    ReadErr();
    if (!FErrPending.trimmed().isEmpty())
        FLastError = QString::fromUtf8(FErrPending.trimmed());
    FErrPending.clear();
    const bool stopping = FState == TState::Stopping;
    FExitStatus = Status == QProcess::NormalExit ? ExitCode : -1;
    // A batch that said its end and exited with it ran its course, failed
    // cards and all; so did one stopped before its first event.
    const bool clean = Status == QProcess::NormalExit && (ExitCode == ExitDone || (FCompleted && ExitCode == ExitCardsFailed));
    const bool stoppedEarly = stopping && Status == QProcess::CrashExit && !FCompleted;
    SetState(clean || stoppedEarly ? TState::Finished : TState::EndedUnexpectedly);
}

void TStationProcess::SetState(TState State)
{
    if (FState == State)
        return;
    FState = State;
    emit StateChanged(State);
}
