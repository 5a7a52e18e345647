#include "cardtool/CardTool.h"

#include "cardtool/SignalPipe.h"
#include "protocol/SafeFile.h"
#include "reader/ReaderLink.h"
#include "serial/Comm.h"
#include "session/LinkSession.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

void Say(const std::string& Text) { std::fprintf(stderr, "orvelle-card: %s\n", Text.c_str()); }

bool AllDone(const TCardReport& Report)
{
    return std::all_of(Report.Sectors.begin(), Report.Sectors.end(),
        [](const TSectorReport& S) { return S.Outcome.Result == TSectorResult::Done; });
}

} // namespace

TCardTool::TCardTool(const TCardOptions& Options)
    : FOptions(Options)
    , FBar(::isatty(STDERR_FILENO) == 1)
{
    FReport.Command = Options.Command;
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
        AddKeys(user, DumpKeys(*FDump));
    }
    if (FOptions.Command == TCardCommand::Read) {
        // Known before the card is read, so that no read is lost to it.
        std::string error;
        if (!SaveTarget(FOptions.File, error)) {
            Say(error);
            return false;
        }
    }
    FCandidates = CandidateKeys(user, true);
    return true;
}

// --------------------------------------------------------------------- run

int TCardTool::Run()
{
    if (!LoadInputs())
        return ExitUsage;
    FSignals = std::make_unique<TSignalPipe>([this] {
        FInterrupted = true;
        if (FJobs)
            FJobs->Cancel();
    });
    FSession = std::make_unique<TLinkSession>(static_cast<TSessionEvents&>(*this));
    FSession->Link().ReplyTimeout = FOptions.ReplyTimeoutMs;
    FJobs = std::make_unique<TCardJobs>(*FSession, static_cast<TCardJobEvents&>(*this));
    if (!FSession->OpenNamedPort(FOptions.Port)) {
        // A port that did not open is told by the session.
        if (FSession->Device().IsOpen())
            Say("the reader on " + FOptions.Port + (FDevice.empty() || FDevice == FOptions.Port ? "" : " (" + FDevice + ")")
                + " does not answer");
        return ExitNoReader;
    }

    TKeyMap keys;
    TSectorOutcomes mapped;
    if (!Interrupted()) {
        BeginJob("map keys");
        const std::optional<TKeyMap> map = FJobs->MapKeys(FCandidates, &mapped);
        EndJob();
        if (map)
            keys = *map;
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
        const bool binary = DumpFormatForName(FOptions.File) == TDumpFormat::Binary;
        if (binary && !image.AllKnown()) {
            std::string blocks;
            for (int block = 0; block < CardBlocks; ++block) {
                if (image.BlockKnown(block))
                    continue;
                if (!blocks.empty())
                    blocks += ' ';
                blocks += std::to_string(block);
            }
            Say(FOptions.File + ": the binary form cannot mark what is unknown: zeros stand for it in blocks "
                + blocks + " (the text form keeps it marked)");
        }
        std::string error;
        if (!WriteDumpFile(FOptions.File, image, binary ? TDumpFormat::Binary : TDumpFormat::Text, error)) {
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
    const std::optional<TSectorOutcomes> wrote = FJobs->WriteCard(*FDump, Keys, FOptions.Trailers);
    EndJob();
    const bool interrupted = !wrote || Interrupted();
    if (interrupted)
        ReportNotRun(Keys);
    bool declined = false;
    for (size_t s = 0; s < Keys.size(); ++s) {
        FReport.Sectors[s].Keys = Keys[s];
        if (wrote)
            FReport.Sectors[s].Outcome = (*wrote)[s];
        declined = declined || FReport.Sectors[s].TrailerDeclined;
    }
    Print();
    return !interrupted && !declined && AllDone(FReport) ? ExitDone : ExitNotDone;
}

int TCardTool::DiffCard(const TKeyMap& Keys)
{
    BeginJob("compare");
    const std::optional<TCompareResult> compared = FJobs->Compare(*FDump, Keys);
    EndJob();
    const bool interrupted = !compared || Interrupted();
    if (interrupted)
        ReportNotRun(Keys);
    bool complete = !interrupted;
    for (size_t s = 0; s < Keys.size(); ++s) {
        TSectorReport& sector = FReport.Sectors[s];
        sector.Keys = Keys[s];
        if (!compared)
            continue;
        sector.Outcome = compared->Sectors[s];
        // A sector the keys cannot read is never compared; one the card left
        // or a cancel cut short could still differ.
        const TSectorResult result = sector.Outcome.Result;
        complete = complete && result != TSectorResult::CardGone && result != TSectorResult::NotRun;
        for (int row = 0; row < BlocksPerSector; ++row) {
            const int block = BlockOf(int(s), row);
            if (compared->Blocks[size_t(block)] == TBlockMatch::Differs)
                sector.Differing.push_back(block);
        }
    }
    FReport.Agree = complete && compared->Equal();
    Print();
    return FReport.Agree ? ExitDone : ExitNotDone;
}

void TCardTool::Print()
{
    const std::string text = FOptions.Json ? JsonOf(FReport) : TableOf(FReport);
    if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
        FOutputLost = true;
        Say(std::string("cannot write the results to standard output: ") + std::strerror(errno));
    }
}

// ------------------------------------------------------------ confirmation

bool TCardTool::ConfirmTrailer(const TTrailerChange& Change)
{
    EndJob();
    std::fputs(TrailerChangeText(Change).c_str(), stderr);
    bool yes = false;
    if (Interrupted()) {
        yes = false;
    } else if (FOptions.Yes) {
        std::fputs("  confirmed by --yes\n", stderr);
        yes = true;
    } else if (::isatty(STDIN_FILENO) != 1) {
        std::fputs("  not written: standard input is no terminal to confirm on (--yes confirms)\n", stderr);
    } else {
        yes = AskOnTerminal(Change.Sector);
    }
    // A cancel while the question was open is no answer.
    if (!yes && !FInterrupted)
        FReport.Sectors[size_t(Change.Sector)].TrailerDeclined = true;
    return yes;
}

bool TCardTool::AskOnTerminal(int Sector)
{
    std::fprintf(stderr, "Write the trailer of sector %d? [y/N] ", Sector);
    std::fflush(stderr);
    std::string answer;
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
        if (answer.size() < 16)
            answer += char(std::tolower(static_cast<unsigned char>(c)));
    }
    answer.erase(0, answer.find_first_not_of(" \t"));
    answer.erase(answer.find_last_not_of(" \t\r") + 1);
    return answer == "y" || answer == "yes";
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
    std::fprintf(stderr, "\r%-8s [%s] sector %2d of %d", FJobName, bar.c_str(), Sector, SectorCount);
    std::fflush(stderr);
    FBarShown = true;
}

void TCardTool::Progress(int Number, int Of)
{
    if (FBar)
        DrawBar(Number - 1, Number);
    else
        std::fprintf(stderr, "%s: sector %d of %d\n", FJobName, Number, Of);
}

void TCardTool::SectorResult(int Sector, const TSectorOutcome& /*Outcome*/)
{
    if (FBar)
        DrawBar(Sector + 1, Sector + 1);
}

// ------------------------------------------------------------ the session

void TCardTool::PortOpened(const QString& /*ComName*/, const QString& Device) { FDevice = Device.toStdString(); }

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
