#include "cardtool/CardTool.h"

#include "cardtool/SignalPipe.h"
#include "protocol/PlainText.h"
#include "protocol/SafeFile.h"
#include "session/CardWords.h"
#include "session/LinkSession.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool AllDone(const TCardReport& Report)
{
    return std::all_of(Report.Sectors.begin(), Report.Sectors.end(),
        [](const TSectorReport& S) { return S.Outcome.Result == TSectorResult::Done; });
}

} // namespace

bool PrintOut(const std::string& Text)
{
    // A failed write leaves its error in the stream; fflush reports it too
    // when the bytes were only buffered.
    errno = 0;
    if (std::fputs(Text.c_str(), stdout) != EOF && std::fflush(stdout) == 0 && std::ferror(stdout) == 0)
        return true;
    const int error = errno;
    std::fprintf(stderr, "orvelle-card: the results could not be written to standard output: %s\n",
        error != 0 ? std::strerror(error) : "write error");
    return false;
}

TCardTool::TCardTool(const TCardOptions& Options)
    : FOptions(Options)
    , FBar(::isatty(STDERR_FILENO) == 1)
{
    FReport.Command = Options.Command;
    if (Options.Command == TCardCommand::Write || Options.Command == TCardCommand::Diff)
        FReport.Dump = Options.File;
}

TCardTool::~TCardTool() = default;

// ------------------------------------------------------------------ inputs

bool TCardTool::LoadInputs()
{
    TKeyList user;
    for (const std::string& file : FOptions.KeyFiles) {
        TFileError error;
        const std::optional<TKeyList> keys = ReadKeyFile(file, error);
        if (!keys) {
            Say(error.Text());
            return false;
        }
        AddKeys(user, *keys);
    }
    if (FOptions.Command == TCardCommand::Write || FOptions.Command == TCardCommand::Diff) {
        TFileError error;
        FDump = ReadDumpFile(FOptions.File, error);
        if (!FDump) {
            Say(error.Text());
            return false;
        }
    }
    if (FOptions.Command == TCardCommand::Read) {
        // Known before the card is read, so that no read is lost to it.
        std::string error;
        if (!SaveTarget(FOptions.File, error)) {
            Say(error);
            return false;
        }
    }
    FCandidates = JobKeys(user, FDump ? &*FDump : nullptr, true);
    return true;
}

// --------------------------------------------------------------------- run

int TCardTool::Run()
{
    int status = RunCommand();
    std::string text;
    if (FReportReady) {
        FReport.Exit = status;
        text = FOptions.Json ? JsonOf(FReport) : TableOf(FReport);
    } else if (FOptions.Json) {
        text = JsonErrorOf(FLastSaid.empty() ? "no results" : FLastSaid, status);
    }
    // Results nobody got are no success.
    if (!text.empty() && !PrintOut(text) && status == ExitDone)
        status = ExitNotDone;
    return status;
}

int TCardTool::RunCommand()
{
    if (!LoadInputs())
        return ExitUsage;
    FSignals = std::make_unique<TSignalPipe>([this] {
        FInterrupted = true;
        if (FJobs)
            FJobs->Cancel();
    });
    FSession = std::make_unique<TLinkSession>(static_cast<TSessionEvents&>(*this));
    TReaderSettings settings = FSession->Settings();
    settings.ReplyTimeout = FOptions.ReplyTimeoutMs;
    FSession->SetSettings(settings);
    FJobs = std::make_unique<TCardJobs>(*FSession, static_cast<TCardJobEvents&>(*this));
    if (!FSession->OpenNamedPort(FOptions.Port)) {
        // A port that did not open is told by the session.
        if (FSession->PortOpen())
            Say("the reader on " + FOptions.Port + (FDevice.empty() || FDevice == FOptions.Port ? "" : " (" + FDevice + ")")
                + " does not answer");
        return ExitNoReader;
    }

    TKeyMap keys;
    TSectorOutcomes mapped;
    if (!Interrupted()) {
        BeginJob("map keys");
        const std::optional<TMapResult> map = FJobs->MapKeys(FCandidates);
        EndJob();
        if (map && !map->Serial)
            return NoCard();
        if (map) {
            keys = map->Keys;
            mapped = map->Sectors;
            FReport.Serial = map->Serial;
        }
    }
    if (Interrupted()) {
        ReportNotRun(keys);
        if (FOptions.Command == TCardCommand::Keys) {
            for (size_t s = 0; s < keys.size(); ++s)
                FReport.Sectors[s].Outcome = mapped[s];
        }
        Print();
        return ExitNotDone;
    }
    switch (FOptions.Command) {
    case TCardCommand::Keys:
        for (size_t s = 0; s < keys.size(); ++s) {
            FReport.Sectors[s].Keys = keys[s];
            FReport.Sectors[s].Outcome = mapped[s];
        }
        Print();
        return AllDone(FReport) ? ExitDone : ExitNotDone;
    case TCardCommand::Read:
        return ReadCard(keys);
    case TCardCommand::Write:
        return WriteCard(keys);
    case TCardCommand::Diff:
        return DiffCard(keys);
    }
    return ExitNotDone;
}

bool TCardTool::Interrupted()
{
    // A signal that came after the last exchange waits in the pipe.
    if (!FInterrupted && FSignals)
        FSignals->Take();
    return FInterrupted;
}

int TCardTool::NoCard()
{
    // No card, no sectors: a table of them would send the operator looking
    // for keys.
    Say(NoCardText);
    return ExitNoCard;
}

void TCardTool::ReportNotRun(const TKeyMap& Keys)
{
    FReport.Interrupted = FInterrupted;
    for (size_t s = 0; s < Keys.size(); ++s) {
        FReport.Sectors[s].Keys = Keys[s];
        FReport.Sectors[s].Outcome = TSectorOutcome{};
    }
    if (FInterrupted)
        Say("interrupted");
}

int TCardTool::ReadCard(const TKeyMap& Keys)
{
    BeginJob("read");
    const std::optional<TReadResult> read = FJobs->ReadCard(Keys);
    EndJob();
    if (read && !read->Serial)
        return NoCard();
    if (!read || Interrupted()) {
        ReportNotRun(Keys);
        if (read) {
            for (size_t s = 0; s < Keys.size(); ++s)
                FReport.Sectors[s].Outcome = read->Sectors[s];
        }
        Say(FOptions.File + " not written");
        Print();
        return ExitNotDone;
    }
    for (size_t s = 0; s < Keys.size(); ++s) {
        FReport.Sectors[s].Keys = Keys[s];
        FReport.Sectors[s].Outcome = read->Sectors[s];
    }
    int status = AllDone(FReport) ? ExitDone : ExitNotDone;
    const TDumpImage& image = read->Image;
    const bool nothing = std::all_of(image.Known.begin(), image.Known.end(), [](const TBlockData& K) { return K == TBlockData{}; });
    if (nothing) {
        // An earlier dump of that name is worth more than one of nothing.
        Say("no block could be read: " + FOptions.File + " not written");
        status = ExitNotDone;
    } else {
        // A binary dump of a card not read in full is refused there.
        std::string error;
        if (!WriteDumpFile(FOptions.File, image, DumpFormatForName(FOptions.File), error)) {
            Say(error);
            status = ExitNotDone;
        }
    }
    Print();
    return status;
}

int TCardTool::WriteCard(TKeyMap& Keys)
{
    BeginJob("write");
    const std::optional<TWriteResult> wrote = FJobs->WriteCard(*FDump, Keys, FOptions.Trailers);
    EndJob();
    if (wrote && !wrote->Serial)
        return NoCard();
    const bool interrupted = !wrote || Interrupted();
    if (interrupted)
        ReportNotRun(Keys);
    for (size_t s = 0; s < Keys.size(); ++s) {
        FReport.Sectors[s].Keys = Keys[s];
        if (wrote)
            FReport.Sectors[s].Outcome = wrote->Sectors[s];
    }
    FReport.NothingWritten = !wrote || !wrote->Wrote();
    Print();
    return !interrupted && wrote->Complete() ? ExitDone : ExitNotDone;
}

int TCardTool::DiffCard(const TKeyMap& Keys)
{
    BeginJob("compare");
    const std::optional<TCompareResult> compared = FJobs->Compare(*FDump, Keys);
    EndJob();
    if (compared && !compared->Serial)
        return NoCard();
    if (!compared || Interrupted())
        ReportNotRun(Keys);
    for (size_t s = 0; s < Keys.size(); ++s) {
        TSectorReport& sector = FReport.Sectors[s];
        sector.Keys = Keys[s];
        if (!compared)
            continue;
        sector.Outcome = compared->Sectors[s];
        for (int row = 0; row < BlocksPerSector; ++row) {
            const int block = BlockOf(int(s), row);
            if (compared->Blocks[size_t(block)] == TBlockMatch::Differs)
                sector.Differing.push_back(block);
        }
    }
    // Only what was compared counts: a sector cut short is not compared.
    FReport.Compared = compared;
    Print();
    return compared && compared->Agree() ? ExitDone : ExitNotDone;
}

void TCardTool::Print() { FReportReady = true; }

void TCardTool::Say(const std::string& Text)
{
    // File names and whatever a file said may hold escape sequences.
    FLastSaid = PrintableText(Text);
    std::fprintf(stderr, "orvelle-card: %s\n", FLastSaid.c_str());
}

// ------------------------------------------------------------ confirmation

bool TCardTool::ConfirmTrailer(const TTrailerChange& Change)
{
    EndJob();
    std::fputs(TrailerChangeText(Change).c_str(), stderr);
    // A cancel while the question was open is no answer: the job stops.
    if (Interrupted())
        return false;
    if (FOptions.Yes) {
        std::fputs("  confirmed by --yes\n", stderr);
        return true;
    }
    if (FAnswerRest) {
        std::fputs(*FAnswerRest ? "  yes, as answered for the rest\n" : "  no, as answered for the rest\n", stderr);
        return *FAnswerRest;
    }
    if (::isatty(STDIN_FILENO) != 1) {
        std::fputs("  not written: standard input is no terminal to confirm on (--yes confirms)\n", stderr);
        return false;
    }
    return AskOnTerminal(Change.Sector);
}

bool TCardTool::AskOnTerminal(int Sector)
{
    // What was typed before the question is no answer to it.
    ::tcflush(STDIN_FILENO, TCIFLUSH);
    for (;;) {
        std::fprintf(stderr, "Write the trailer of sector %d? y yes, n no, a yes to the rest, q no to the rest [n] ", Sector);
        std::fflush(stderr);
        std::string answer;
        if (!ReadAnswer(answer))
            return false;
        if (answer.empty() || answer == "n" || answer == "no")
            return false;
        if (answer == "y" || answer == "yes")
            return true;
        if (answer == "a" || answer == "q") {
            FAnswerRest = answer == "a";
            return *FAnswerRest;
        }
    }
}

bool TCardTool::ReadAnswer(std::string& Answer)
{
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {FSignals->ReadFd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            std::fputs("\n", stderr);
            Interrupted();
            return false;
        }
        if (fds[0].revents == 0)
            continue;
        char c = 0;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) { // the input ended: no
            std::fputs("\n", stderr);
            return false;
        }
        if (c == '\n')
            break;
        if (Answer.size() < 16)
            Answer += char(std::tolower(static_cast<unsigned char>(c)));
    }
    Answer.erase(0, Answer.find_first_not_of(" \t"));
    Answer.erase(Answer.find_last_not_of(" \t\r") + 1);
    return true;
}

// ---------------------------------------------------------------- progress

void TCardTool::BeginJob(const char* Name)
{
    FJobName = Name;
    FBarShown = false;
}

void TCardTool::EndJob()
{
    if (FBarShown)
        std::fputs("\n", stderr);
    FBarShown = false;
}

void TCardTool::DrawBar(int Done, int Sector)
{
    const std::string bar = std::string(size_t(Done), '#') + std::string(size_t(SectorCount - Done), '-');
    std::fprintf(stderr, "\r%-8s [%s] %-20s", FJobName, bar.c_str(), ProgressText(Sector).c_str());
    std::fflush(stderr);
    FBarShown = true;
}

void TCardTool::Progress(int Sector)
{
    if (FBar)
        DrawBar(Sector, Sector);
    else
        std::fprintf(stderr, "%s: %s\n", FJobName, ProgressText(Sector).c_str());
}

void TCardTool::SectorResult(int Sector, const TSectorOutcome& /*Outcome*/)
{
    if (FBar)
        DrawBar(Sector + 1, Sector);
}

// ------------------------------------------------------------ the session

void TCardTool::PortOpened(const QString& /*ComName*/, const QString& Device) { FDevice = Device.toStdString(); }

void TCardTool::PortOpenFailed(const QString& ComName, const QString& Reason)
{
    // The session told standard error why; this is the run's error.
    FLastSaid = PrintableText("cannot open " + ComName.toStdString() + ": " + Reason.toStdString());
}

void TCardTool::LinkStateChanged(const QString& Text)
{
    // Only a link that was up can be lost; a silent reader at the start is
    // told by Run.
    if (FLinked && Text == QLatin1String("Un-Linked")) {
        EndJob();
        Say("the port's device went away (Un-Linked)");
    }
    FLinked = Text == QLatin1String("Linked");
}
