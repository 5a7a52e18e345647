#include "cardtool/BatchRun.h"

#include "cardtool/Output.h"
#include "cardtool/ShiftReport.h"
#include "protocol/PlainText.h"
#include "records/Ledger.h"
#include "session/CardWords.h"
#include "session/LinkSession.h"

#include <QFile>
#include <QSysInfo>

#include <unistd.h>

#include <cstdio>

namespace {

// The ledger's password from --ledger-password-file, or libpq's own sources;
// false when the file is refused (said through Say).
bool LedgerPassword(const TCardOptions& Options, const std::function<void(const std::string&)>& Say, TLedgerAccess& Access)
{
    if (Options.LedgerPasswordFile.empty())
        return true;
    QString why;
    const std::optional<QString> password = ReadLedgerPassword(Options.LedgerPasswordFile, why);
    if (!password) {
        Say(why.toStdString());
        return false;
    }
    Access.Password = *password;
    return true;
}

// Why a batch ended, in its "complete" event.
const char* EndText(TBatchEnd End)
{
    switch (End) {
    case TBatchEnd::Stopped:
        return "stopped";
    case TBatchEnd::CountReached:
        return "count reached";
    case TBatchEnd::RowsOut:
        return "rows out";
    case TBatchEnd::LedgerFailed:
        return "ledger failed";
    case TBatchEnd::Refused:
        return "refused";
    }
    return "";
}

std::string Seconds(qint64 Ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", double(Ms) / 1000.0);
    return text;
}

// ledger --claims: a line (or a JSON object) a claim, on standard output.
int ListClaims(TLedger& Ledger, bool Json, const std::function<void(const std::string&)>& Say)
{
    const auto claims = Ledger.OpenClaims();
    if (!claims) {
        Say("the claims cannot be read: " + Ledger.Error().toStdString());
        return ExitLedgerFailed;
    }
    for (const TOpenClaim& claim : *claims) {
        if (!PrintOut(ClaimLine(claim, Json)))
            return ExitNotDone;
    }
    return ExitDone;
}

// ledger --release: a station's unfinished claims given back, each said on
// standard error.
int ReleaseClaims(TLedger& Ledger, const TCardOptions& Options, const std::function<void(const std::string&)>& Say)
{
    const std::string station = PrintableText(Options.ReleaseStation.toStdString());
    const auto released = Ledger.ReleaseStation(Options.ReleaseStation, Options.Force);
    if (!released) {
        Say("the claims cannot be released: " + Ledger.Error().toStdString());
        return Ledger.ReleaseRefused() ? ExitNotDone : ExitLedgerFailed;
    }
    const bool live = !released->empty() && released->front().SilentMs >= 0 && released->front().SilentMs < qint64(StationSilentSeconds) * 1000;
    if (live)
        std::fprintf(stderr, "orvelle-card: station '%s' was heard %lld s ago: its claims released by --force\n", station.c_str(),
            static_cast<long long>(released->front().SilentMs / 1000));
    for (const TOpenClaim& claim : *released) {
        std::fprintf(stderr, "orvelle-card: released batch %s row %d card %s, claimed since %s\n",
            PrintableText(claim.Batch.toStdString()).c_str(), claim.Row, PrintableText(claim.Serial.toStdString()).c_str(),
            UtcTime(claim.Since).c_str());
    }
    std::fprintf(stderr, "orvelle-card: %d unfinished %s of %s given back\n", int(released->size()),
        released->size() == 1 ? "claim" : "claims", station.c_str());
    return ExitDone;
}

// ledger: the records, CSV or JSON Lines, on standard output.
int PrintRecords(TLedger& Ledger, const TCardOptions& Options, const std::function<void(const std::string&)>& Say)
{
    bool printed = true;
    if (!Ledger.Export(
            TLedgerFilter{.Batch = Options.BatchName, .Station = Options.Station, .Since = Options.Since, .Until = Options.Until, .Result = Options.Result, .Operator = Options.Operator},
            Options.Json,
            [&printed](const std::string& Line) {
                printed = PrintOut(Line);
                return printed;
            },
            Options.LocalTimes)) {
        if (!printed)
            return ExitNotDone;
        Say("the ledger cannot be read: " + Ledger.Error().toStdString());
        return ExitLedgerFailed;
    }
    return ExitDone;
}

// ledger --summary: the filtered records counted, as a table or one JSON
// document, on standard output.
int PrintSummary(TLedger& Ledger, const TCardOptions& Options, const std::function<void(const std::string&)>& Say)
{
    const std::optional<TLedgerSummary> summary = Ledger.Summary(
        TLedgerFilter{.Batch = Options.BatchName, .Station = Options.Station, .Since = Options.Since, .Until = Options.Until, .Result = Options.Result, .Operator = Options.Operator},
        Options.LocalTimes);
    if (!summary) {
        Say("the ledger cannot be summed up: " + Ledger.Error().toStdString());
        return ExitLedgerFailed;
    }
    return PrintOut(Options.Json ? SummaryJson(*summary) : SummaryText(*summary)) ? ExitDone : ExitNotDone;
}

} // namespace

TBatchRun::TBatchRun(const TCardOptions& Options, std::function<void(const std::string&)> Say,
    std::function<bool(const TTrailerChange&)> Confirm, std::function<void(const std::string&)> Journal)
    : FOptions(Options)
    , FSay(std::move(Say))
    , FConfirm(std::move(Confirm))
    , FJournal(std::move(Journal))
    , FSteps(::isatty(STDERR_FILENO) == 1)
{
}

TBatchRun::~TBatchRun() = default;

int TBatchRun::Prepare(const TDumpImage& Template, const TKeyList& Keys, const std::optional<TKeyMap>& StartMap)
{
    if (!ReadData())
        return ExitUsage;
    std::string refused;
    const std::optional<TBatchPlan> plan = PlanBatch(Template, FData, FOptions.Trailers, refused);
    if (!plan) {
        FSay(refused);
        return ExitUsage;
    }
    const std::optional<TDumpImage> image = ApprovedTemplate(Template);
    if (!image)
        return ExitUsage;
    if (const int status = StartInLedger(); status != ExitDone)
        return status;
    FSettings.Station = FOptions.Station;
    FSettings.Operator = FOptions.Operator.isEmpty() ? LoginName() : FOptions.Operator;
    FSettings.Keys = Keys;
    FSettings.StartMap = StartMap;
    FSettings.Again = FOptions.Again;
    FSettings.Count = FOptions.Count;
    FSettings.HasRows = FData.has_value();
    FSettings.Trailers = FOptions.Trailers;
    FSettings.CardImage = CardImages(*image, FData);
    for (const std::string& line : plan->Lines)
        std::fprintf(stderr, "orvelle-card: %s\n", PrintableText(line).c_str());
    return ExitDone;
}

bool TBatchRun::ReadData()
{
    if (FOptions.DataFile.empty())
        return true;
    TFileError error;
    FData = ReadDataFile(FOptions.DataFile, error, FOptions.DataOptions);
    if (!FData)
        FSay(error.Text());
    return FData.has_value();
}

std::optional<TDumpImage> TBatchRun::ApprovedTemplate(const TDumpImage& Template)
{
    if (!FOptions.Trailers)
        return Template;
    // Decided before the first card, never between two: a trailer declined
    // halfway would leave cards written but failed.
    if (!FOptions.ApprovedTrailers.isEmpty())
        return TrailersApproved(Template);
    if (!FOptions.Yes && ::isatty(STDIN_FILENO) != 1) {
        FSay("--trailers: standard input is no terminal to confirm the trailers on: run the batch on a terminal, or add --yes");
        return std::nullopt;
    }
    std::string error;
    std::optional<TDumpImage> decided = DecideTrailers(Template, FConfirm, error);
    if (!decided)
        FSay(error);
    return decided;
}

std::optional<TDumpImage> TBatchRun::TrailersApproved(const TDumpImage& Template)
{
    // Approved ahead, as a window's stations are: these trailers and no
    // other question (nothing else in a batch asks one).
    const QString digest = TrailersDigest(Template);
    if (digest != FOptions.ApprovedTrailers) {
        FSay("the template's trailers are not the ones approved (SHA-256 " + digest.toStdString() + ", approved "
            + FOptions.ApprovedTrailers.toStdString() + "): approve them again");
        return std::nullopt;
    }
    std::string error;
    std::optional<TDumpImage> decided = DecideTrailers(
        Template, [](const TTrailerChange&) { return true; }, error);
    if (!decided)
        FSay(error);
    return decided;
}

int TBatchRun::StartInLedger()
{
    // A refused password file is a bad input file, like a bad data file.
    TLedgerAccess access;
    if (!LedgerPassword(FOptions, FSay, access))
        return ExitUsage;
    QString why;
    FLedger = TLedger::Open(FOptions.LedgerSpec, QStringLiteral("orvelle-card"), why, access);
    if (!FLedger) {
        FSay("the ledger cannot be opened: " + why.toStdString());
        return ExitLedgerFailed;
    }
    TBatchStart start = BatchStartOf(FOptions.BatchName, FOptions.File, FOptions.DataFile, FData);
    start.ReuseData = FOptions.ReuseData;
    FLedger->OnStartWaiting([this](const QString& Why) { FSay(Why.toStdString()); });
    if (!FLedger->StartBatch(start)) {
        FSay("the batch cannot be started: " + FLedger->Error().toStdString());
        // The files given were refused: bad input, not a ledger that failed.
        return FLedger->StartRefusedInput() ? ExitUsage : ExitLedgerFailed;
    }
    FSettings.Batch = start.Name;
    return ExitDone;
}

int TBatchRun::Run(TLinkSession& Session)
{
    if (FSettings.Station.isEmpty())
        FSettings.Station = QSysInfo::machineHostName() + QLatin1Char(':') + QString::fromStdString(Session.PortName());
    std::fprintf(stderr, "orvelle-card: batch %s at station %s, operator %s\n", PrintableText(FSettings.Batch.toStdString()).c_str(),
        PrintableText(FSettings.Station.toStdString()).c_str(), PrintableText(FSettings.Operator.toStdString()).c_str());
    FJob = std::make_unique<TBatchJob>(Session, *FLedger, static_cast<TBatchEvents&>(*this));
    const TBatchEnd end = FJob->Run(FSettings);
    const TBatchCounters& counters = FJob->Counters();
    if (end == TBatchEnd::RowsOut || end == TBatchEnd::CountReached)
        std::fprintf(stderr, "Batch complete: %d done, %d failed\n", counters.Done, counters.Failed);
    std::fprintf(stderr, "orvelle-card: batch %s: %d done, %d failed, %d already prepared%s\n",
        PrintableText(FSettings.Batch.toStdString()).c_str(), counters.Done, counters.Failed, counters.AlreadyPrepared,
        end == TBatchEnd::RowsOut ? ", no data row left" : "");
    int status = FAnyFailed ? ExitNotDone : ExitDone;
    switch (end) {
    case TBatchEnd::LedgerFailed:
        FSay("the ledger failed: " + FJob->LedgerError().toStdString());
        status = ExitLedgerFailed;
        break;
    case TBatchEnd::Refused:
        // Nothing ran: the error's document says so, not an event.
        FSay("refused: another operation is running");
        return ExitNotDone;
    case TBatchEnd::Stopped:
    case TBatchEnd::CountReached:
    case TBatchEnd::RowsOut:
        break;
    }
    const std::string error = end == TBatchEnd::LedgerFailed ? JsonStringOf(FJob->LedgerError().toStdString()) : "null";
    Event(BatchEventJson("complete",
        "\"done\":" + std::to_string(counters.Done) + ",\"failed\":" + std::to_string(counters.Failed) + ",\"already_prepared\":"
            + std::to_string(counters.AlreadyPrepared) + ",\"ended\":\"" + EndText(end) + "\",\"error\":" + error
            + ",\"exit\":" + std::to_string(status)));
    // Events nobody got are no success.
    return FOutLost && status == ExitDone ? ExitNotDone : status;
}

void TBatchRun::Stop()
{
    if (FJob)
        FJob->Stop();
}

void TBatchRun::Step(const std::string& Text) const
{
    if (FSteps)
        std::fprintf(stderr, "%s\n", Text.c_str());
}

std::vector<std::string> TBatchRun::CardLabels(int Row) const
{
    // The card's cells as its claim (or its done row) brought them.
    std::vector<std::string> labels;
    const QStringList* cells = FJob ? &FJob->CardCells() : nullptr;
    if (!FData || Row < 1 || !cells || cells->size() != qsizetype(FData->Kinds.size()))
        return labels;
    for (size_t c = 0; c < FData->Kinds.size(); ++c) {
        if (FData->Kinds[c].Kind == TColumnKind::Label)
            labels.push_back(cells->at(qsizetype(c)).toStdString());
    }
    return labels;
}

std::string TBatchRun::LabelsOf(int Row) const
{
    std::string text;
    for (const std::string& label : CardLabels(Row)) {
        if (!text.empty())
            text += ", ";
        text += PrintableText(label);
    }
    return text;
}

void TBatchRun::Event(const std::string& Json)
{
    if (!FOptions.Json || FOutLost)
        return;
    FPrinted = true;
    FOutLost = !PrintOut(Json);
}

void TBatchRun::CardSeen(const TSerial& Serial)
{
    if (FCardSaid)
        return;
    FCardSaid = true;
    Event(BatchEventJson("card", "\"serial\":\"" + SerialText(Serial) + '"'));
}

void TBatchRun::CardInField(const TSerial& Serial)
{
    CardSeen(Serial);
    Step("card " + SerialText(Serial) + " is in the field: it will be prepared");
}

void TBatchRun::PlaceCard()
{
    const bool counted = FSettings.HasRows && FJob && FJob->Counters().RowsLeft;
    const std::string left = counted ? std::to_string(*FJob->Counters().RowsLeft) : std::string();
    Step("place a card" + (counted ? " (" + left + " rows left)" : std::string()) + "; Ctrl-C ends the batch");
    FCardSaid = false;
    Event(BatchEventJson("waiting", "\"rows_left\":" + (counted ? left : std::string("null"))));
}

void TBatchRun::ReaderGone()
{
    // Always said: a batch that waits without a word looks hung in a log too.
    std::fputs("Reader gone \u2014 reconnecting\n", stderr);
    if (FJournal)
        FJournal("Batch " + FSettings.Batch.toStdString() + ": reader gone, reconnecting");
}

void TBatchRun::ReaderBack()
{
    std::fputs("Reader back: linked\n", stderr);
    if (FJournal)
        FJournal("Batch " + FSettings.Batch.toStdString() + ": reader back");
}

void TBatchRun::Writing(const TSerial& Serial, int Row)
{
    const std::string labels = LabelsOf(Row);
    Step("writing " + SerialText(Serial) + " row " + std::to_string(Row) + (labels.empty() ? "" : " (" + labels + ")"));
    if (!FOptions.Json)
        return;
    std::string list;
    for (const std::string& label : CardLabels(Row)) {
        if (!list.empty())
            list += ',';
        list += JsonStringOf(label);
    }
    Event(BatchEventJson("writing", "\"serial\":\"" + SerialText(Serial) + "\",\"row\":" + std::to_string(Row) + ",\"labels\":[" + list + "]"));
}

void TBatchRun::TakeAway(const TSerial& Serial)
{
    Step("take the card away");
    Event(BatchEventJson("remove", "\"serial\":\"" + SerialText(Serial) + '"'));
}

void TBatchRun::CardEnded(const TBatchCard& Card, const TBatchCounters& /*Counters*/)
{
    const std::string serial = SerialText(Card.Serial);
    const std::string labels = LabelsOf(Card.Row);
    const std::string labelText = labels.empty() ? "" : " (" + labels + ")";
    std::string line;
    if (Card.Result == TBatchResult::AlreadyPrepared) {
        line = serial + " already prepared: row " + std::to_string(Card.Row) + labelText + " at " + Card.Detail;
    } else if (Card.Result == TBatchResult::Done) {
        line = serial + " row " + std::to_string(Card.Row) + " done" + labelText + " " + Seconds(Card.DurationMs);
    } else {
        // "not recorded" is a failure as loud as any: the card may pass for done.
        line = serial + " row " + std::to_string(Card.Row) + " FAILED: " + Card.Headline + " " + Seconds(Card.DurationMs);
    }
    std::fprintf(stderr, "%s\n", line.c_str());
    if (!Card.Detail.empty() && Card.Result != TBatchResult::AlreadyPrepared && Card.Result != TBatchResult::Done)
        std::fprintf(stderr, "  %s\n", PrintableText(Card.Detail).c_str());
    if (FJournal)
        FJournal("Batch " + FSettings.Batch.toStdString() + ": " + line + (Card.Detail.empty() ? "" : " (" + Card.Detail + ")"));
    if (Card.Result == TBatchResult::Failed || Card.Result == TBatchResult::NotRecorded)
        FAnyFailed = true;
    Event(BatchCardJson(Card, FSettings.Station.toStdString(), FSettings.Operator.toStdString(), FSettings.Batch.toStdString()));
}

int TBatchRun::RunLedger(const TCardOptions& Options, const std::function<void(const std::string&)>& Say)
{
    // Printing only reads: a missing ledger is not made, and one the user
    // may only read is printed. Giving claims back writes, to a ledger that
    // must be there. A ledger that is not there is a ledger failure (5), as
    // with any other ledger that cannot be opened, not a bad command line.
    TLedgerAccess access;
    access.ReadOnly = Options.ReleaseStation.isEmpty();
    access.MustExist = true;
    if (!LedgerPassword(Options, Say, access))
        return ExitUsage;
    QString why;
    const std::unique_ptr<TLedger> ledger = TLedger::Open(Options.LedgerSpec, QStringLiteral("orvelle-card"), why, access);
    if (!ledger) {
        Say("the ledger cannot be opened: " + why.toStdString());
        return ExitLedgerFailed;
    }
    if (Options.ListClaims)
        return ListClaims(*ledger, Options.Json, Say);
    if (!Options.ReleaseStation.isEmpty())
        return ReleaseClaims(*ledger, Options, Say);
    if (Options.Summary)
        return PrintSummary(*ledger, Options, Say);
    if (!Options.ReportFile.empty())
        return WriteShiftReport(*ledger, Options, Say);
    return PrintRecords(*ledger, Options, Say);
}
