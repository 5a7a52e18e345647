#include "cardtool/CardTool.h"

#include "cardtool/BatchRun.h"
#include "cardtool/SignalPipe.h"
#include "cardtool/Version.h"
#include "protocol/PlainText.h"
#include "protocol/SafeFile.h"
#include "records/SessionRecorder.h"
#include "serial/OpenFailure.h"
#include "session/CardWords.h"
#include "session/LinkSession.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>

namespace {

bool AllDone(const TCardReport& Report)
{
    return std::all_of(Report.Sectors.begin(), Report.Sectors.end(),
        [](const TSectorReport& S) { return S.Outcome.Result == TSectorResult::Done; });
}

// Progress names the jobs in the command's words.
const char* const JobNames[] = {"map keys", "read", "write", "compare"};

} // namespace

TCardTool::TCardTool(const TCardOptions& Options)
    : FOptions(Options)
    , FBar(::isatty(STDERR_FILENO) == 1)
{
    FReport.Command = Options.Command;
    if (Options.Command->Operand == TCardOperand::DumpToRead)
        FReport.Dump = Options.File;
}

TCardTool::~TCardTool() = default;

// ------------------------------------------------------------------ inputs

bool TCardTool::LoadInputs()
{
    const TCardOperand operand = FOptions.Command->Operand;
    if (operand == TCardOperand::DumpToRead || operand == TCardOperand::Template) {
        TFileError error;
        FDump = ReadDumpFile(FOptions.File, error);
        if (!FDump) {
            Say(error.Text());
            return false;
        }
        // What cannot be undone is written only when asked for by name.
        if (const std::string locks = FOptions.Trailers && !FOptions.Permanent ? PermanentTrailersText(*FDump) : std::string();
            !locks.empty()) {
            Say("--trailers: " + locks + ": give --permanent if this is meant");
            return false;
        }
    }
    if (!FOptions.MapFile.empty()) {
        TFileError error;
        FStartMap = ReadKeyMapFile(FOptions.MapFile, error);
        if (!FStartMap) {
            Say(error.Text());
            return false;
        }
    }
    // Known before the card is read, so that no read is lost to it.
    for (const std::string& file : {operand == TCardOperand::DumpToSave ? FOptions.File : std::string(), FOptions.SaveMap}) {
        std::string error;
        if (!file.empty() && !SaveTarget(file, error)) {
            Say(error);
            return false;
        }
    }
    std::string error;
    std::vector<std::string> notes;
    std::optional<TKeyList> keys = KeysToTry({FOptions.KeyFiles, FOptions.BuiltInKeys, FStartMap ? &*FStartMap : nullptr},
        FDump ? &*FDump : nullptr, error, &notes);
    // Said, not taken for an error: a JSON error names what went wrong.
    for (const std::string& note : notes)
        std::fprintf(stderr, "orvelle-card: %s\n", PrintableText(note).c_str());
    if (!keys) {
        Say(error);
        return false;
    }
    FCandidates = std::move(*keys);
    return true;
}

int TCardTool::PrepareBatch()
{
    FBatch = std::make_unique<TBatchRun>(
        FOptions, [this](const std::string& Text) { Say(Text); },
        [this](const TTrailerChange& Change) { return ConfirmTrailer(Change); },
        [this](const std::string& Line) {
            if (FRecords)
                FRecords->Note(QString::fromStdString(Line));
        });
    return FBatch->Prepare(*FDump, FCandidates, FStartMap);
}

// --------------------------------------------------------------------- run

int TCardTool::Run()
{
    int status = RunCommand();
    std::string text;
    // batch and ledger print as they go: one document more only for an
    // error that ended them before anything was printed.
    const bool streams = FOptions.Command->Results == TCardResults::Streamed;
    if (FReportReady) {
        FReport.Exit = status;
        text = FOptions.Json ? JsonOf(FReport) : TableOf(FReport);
    } else if (FOptions.Json && (!streams || (status != ExitDone && status != ExitNotDone && !(FBatch && FBatch->Printed()) && !FPrinted))) {
        text = JsonErrorOf(FLastSaid.empty() ? "no results" : FLastSaid, status);
    }
    // Results nobody got are no success.
    if (!text.empty() && !PrintOut(text) && status == ExitDone)
        status = ExitNotDone;
    return status;
}

int TCardTool::RunCommand()
{
    const TCardCommand& command = *FOptions.Command;
    if (!command.UsesReader)
        return (this->*command.Run)();
    if (!LoadInputs())
        return ExitUsage;
    if (command.Prepare != nullptr) {
        if (const int status = (this->*command.Prepare)(); status != ExitDone)
            return status;
    }
    if (const int status = OpenReader(); status != ExitDone)
        return status;
    if (Interrupted()) {
        ReportNotRun(TKeyMap{});
        Print();
        return ExitNotDone;
    }
    return (this->*command.Run)();
}

int TCardTool::OpenReader()
{
    FSignals = std::make_unique<TSignalPipe>([this] {
        FInterrupted = true;
        if (FWork)
            FWork->Cancel();
        // A batch ends after the card it is preparing.
        if (FBatch)
            FBatch->Stop();
    });
    FSession = std::make_unique<TLinkSession>(static_cast<TSessionEvents&>(*this));
    // The journal the window keeps, with a line for each job of this run.
    FRecords = std::make_unique<TSessionRecorder>(*FSession, QStringLiteral("orvelle-card"),
        QLatin1String(CardToolVersion), [](const QString& Warning) {
            std::fprintf(stderr, "orvelle-card: %s\n", PrintableText(Warning.toStdString()).c_str());
        });
    TReaderSettings settings = FSession->Settings();
    settings.ReplyTimeout = FOptions.ReplyTimeoutMs;
    FSession->SetSettings(settings);
    FWork = std::make_unique<TCardWork>(*FSession, static_cast<TCardWorkEvents&>(*this));
    FWork->StartFrom(FStartMap);
    FWork->SetNoKeyStep(NoKeyStepCardTool);
    if (FSession->OpenNamedPort(FOptions.Port))
        return ExitDone;
    // A port that did not open is told by the session.
    if (FSession->PortOpen())
        Say(DescribeSilentReader(FOptions.Port, FDevice));
    return ExitNoReader;
}

int TCardTool::RunBatch() { return FBatch->Run(*FSession); }

int TCardTool::PrintLedger()
{
    return TBatchRun::RunLedger(FOptions, [this](const std::string& Text) { Say(Text); });
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

TKeyMap TCardTool::Keys() const { return FWork->KeyMap().value_or(TKeyMap{}); }

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

template <class TResult>
std::optional<int> TCardTool::NotRun(const TWorkRun<TResult>& Run)
{
    if (Run.Map)
        FReport.Serial = Run.Map->Serial;
    if (Run.Result)
        FReport.Serial = Run.Result->Serial;
    switch (Run.End) {
    case TWorkEnd::Done:
        return std::nullopt;
    case TWorkEnd::NoCard:
        return NoCard();
    case TWorkEnd::Refused:
        Say("refused: another operation is running");
        break;
    case TWorkEnd::MapNotWhole:
        Say("the card left the reader's field while its keys were mapped");
        break;
    case TWorkEnd::Stopped:
    case TWorkEnd::Declined:
        break;
    }
    // The job did not run: its sectors are "not run", with the keys known.
    ReportNotRun(Keys());
    if (FOptions.Command->Operand == TCardOperand::DumpToSave)
        Say(FOptions.File + " not written");
    if (!FOptions.SaveMap.empty())
        Say(FOptions.SaveMap + " not written");
    Print();
    return ExitNotDone;
}

int TCardTool::MapCard()
{
    const TWorkRun<TMapResult> map = FWork->MapKeys(FCandidates);
    EndJob();
    if (const std::optional<int> status = NotRun(map))
        return *status;
    for (size_t s = 0; s < SectorCount; ++s) {
        FReport.Sectors[s].Keys = map.Result->Keys[s];
        FReport.Sectors[s].Outcome = map.Result->Sectors[s];
    }
    FReport.Interrupted = Interrupted();
    if (FReport.Interrupted)
        Say("interrupted");
    const bool saved = FOptions.SaveMap.empty() || SaveMap(*map.Result);
    Print();
    return AllDone(FReport) && !FReport.Interrupted && saved ? ExitDone : ExitNotDone;
}

bool TCardTool::SaveMap(const TMapResult& Map)
{
    const std::string& path = FOptions.SaveMap;
    // A map cut short would pass for one whose keys were looked for.
    if (FReport.Interrupted) {
        Say(path + " not written");
        return false;
    }
    TKeyMap keys = Map.Keys;
    bool any = false;
    for (int s = 0; s < SectorCount; ++s) {
        // A key B that key A may read is no key the mapping looks for, but
        // the trailer showed it: the map keeps it as the card's.
        const TBlockData& known = Map.Trailers.Known[TrailerOf(s)];
        TSectorKeys& sector = keys[size_t(s)];
        if (!sector.KeyB && std::all_of(known.begin() + TrailerKeyBOffset, known.end(), [](uint8_t B) { return B == 0xFF; })) {
            TKey key{};
            std::copy_n(Map.Trailers.Data[TrailerOf(s)].begin() + TrailerKeyBOffset, KeyBytes, key.begin());
            sector.KeyB = key;
        }
        any = any || sector.KeyA || sector.KeyB;
    }
    std::string error = "no key was found";
    const bool binary = FOptions.Format.value_or(DumpFormatForName(path)) == TDumpFormat::Binary;
    if (!any || !WriteKeyMapFile(path, keys, binary, error)) {
        Say(error + ": " + path + " not written");
        return false;
    }
    return true;
}

int TCardTool::ReadCard()
{
    const TWorkRun<TReadResult> read = FWork->Read(FCandidates, FOptions.File);
    EndJob();
    if (const std::optional<int> status = NotRun(read))
        return *status;
    const TKeyMap keys = Keys();
    for (size_t s = 0; s < SectorCount; ++s) {
        FReport.Sectors[s].Keys = keys[s];
        FReport.Sectors[s].Outcome = read.Result->Sectors[s];
    }
    if (Interrupted()) {
        // A card read in part is no dump of it.
        FReport.Interrupted = true;
        Say("interrupted");
        Say(FOptions.File + " not written");
        Print();
        return ExitNotDone;
    }
    int status = AllDone(FReport) ? ExitDone : ExitNotDone;
    std::string error;
    TDumpImage image = read.Result->Image;
    image.Serial.assign(read.Result->Serial->begin(), read.Result->Serial->end());
    if (!SaveCardDump(FOptions.File, image, error, FOptions.Format)) {
        Say(error + ": " + FOptions.File + " not written");
        status = ExitNotDone;
    }
    Print();
    return status;
}

int TCardTool::WriteCard()
{
    const TWorkRun<TWriteResult> wrote = FWork->Write(*FDump, FCandidates, FOptions.Trailers, FOptions.File);
    EndJob();
    if (const std::optional<int> status = NotRun(wrote)) {
        FReport.NothingWritten = true;
        return *status;
    }
    const TKeyMap keys = Keys();
    for (size_t s = 0; s < SectorCount; ++s) {
        FReport.Sectors[s].Keys = keys[s];
        FReport.Sectors[s].Outcome = wrote.Result->Sectors[s];
    }
    FReport.Interrupted = Interrupted();
    if (FReport.Interrupted)
        Say("interrupted");
    FReport.NothingWritten = !wrote.Result->Wrote();
    Print();
    return !FReport.Interrupted && wrote.Result->Complete() ? ExitDone : ExitNotDone;
}

int TCardTool::DiffCard()
{
    const TWorkRun<TCompareResult> compared = FWork->Compare(*FDump, FCandidates, FOptions.File);
    EndJob();
    if (const std::optional<int> status = NotRun(compared))
        return *status;
    const TKeyMap keys = Keys();
    for (size_t s = 0; s < SectorCount; ++s) {
        TSectorReport& sector = FReport.Sectors[s];
        sector.Keys = keys[s];
        sector.Outcome = compared.Result->Sectors[s];
        for (int row = 0; row < BlocksPerSector; ++row) {
            const int block = BlockOf(int(s), row);
            if (compared.Result->Blocks[size_t(block)] == TBlockMatch::Differs)
                sector.Differing.push_back(block);
        }
    }
    FReport.Interrupted = Interrupted();
    if (FReport.Interrupted)
        Say("interrupted");
    // Only what was compared counts: a sector cut short is not compared.
    FReport.Compared = compared.Result;
    Print();
    return compared.Result->Agree() ? ExitDone : ExitNotDone;
}

void TCardTool::Print()
{
    // A key B the trailers showed is told as the window tells it.
    if (FWork)
        FReport.Trailers = FWork->MapTrailers();
    FReportReady = true;
}

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

void TCardTool::JobStarted(TCardJob Job)
{
    EndJob();
    FJobName = JobNames[size_t(Job)];
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

void TCardTool::PortOpenFailed(const QString& ComName, const QString& Reason, const QString& Detail)
{
    std::fprintf(stderr, "orvelle-card: %s\n", PrintableText(Detail.toLocal8Bit().toStdString()).c_str());
    // The run's error, for the JSON document.
    FLastSaid = PrintableText("cannot open " + ComName.toStdString() + ": " + Reason.toStdString());
}

void TCardTool::CardJobEnded(const TCardJobRecord& Record)
{
    // The table says "no key" sector by sector; what to do is said once.
    if (Record.Serial && NoKeyOpens(Record.Sectors)) {
        EndJob();
        Say(std::string(NoKeyOpensText) + ": " + NoKeyStepCardTool);
    }
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
