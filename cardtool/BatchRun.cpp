#include "cardtool/BatchRun.h"

#include "cardtool/CardReport.h"
#include "cardtool/CardTool.h"
#include "protocol/PlainText.h"
#include "records/Ledger.h"
#include "session/CardWords.h"
#include "session/LinkSession.h"

#include <QFile>
#include <QSysInfo>

#include <unistd.h>

#include <cstdio>

namespace {

std::string Seconds(qint64 Ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", double(Ms) / 1000.0);
    return text;
}

std::string UtcTime(const QDateTime& When)
{
    return When.isValid() ? When.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'")).toStdString() : std::string();
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
        const std::string heard = claim.LastHeard.isValid() ? UtcTime(claim.LastHeard) : std::string();
        std::string line;
        if (Json) {
            line = "{\"batch\":" + JsonStringOf(claim.Batch.toStdString()) + ",\"row\":" + std::to_string(claim.Row)
                + ",\"serial\":" + JsonStringOf(claim.Serial.toStdString()) + ",\"station\":" + JsonStringOf(claim.Station.toStdString())
                + ",\"since\":" + JsonStringOf(UtcTime(claim.Since)) + ",\"last_heartbeat\":" + (heard.empty() ? "null" : JsonStringOf(heard))
                + ",\"silent_ms\":" + (claim.SilentMs < 0 ? "null" : std::to_string(claim.SilentMs)) + "}\n";
        } else {
            line = "batch " + PrintableText(claim.Batch.toStdString()) + ", row " + std::to_string(claim.Row) + ", card "
                + PrintableText(claim.Serial.toStdString()) + ", station '" + PrintableText(claim.Station.toStdString()) + "', since "
                + UtcTime(claim.Since) + ", last heartbeat "
                + (heard.empty() ? std::string("never") : heard + " (" + std::to_string(claim.SilentMs / 1000) + " s ago)") + "\n";
        }
        if (!PrintOut(line))
            return ExitNotDone;
    }
    return ExitDone;
}

} // namespace

TBatchRun::TBatchRun(const TCardOptions& Options, std::function<void(const std::string&)> Say,
    std::function<bool(const TTrailerChange&)> Confirm)
    : FOptions(Options)
    , FSay(std::move(Say))
    , FConfirm(std::move(Confirm))
{
}

TBatchRun::~TBatchRun() = default;

int TBatchRun::Prepare(const TDumpImage& Template, const TKeyList& Keys, const std::optional<TKeyMap>& StartMap)
{
    if (!FOptions.DataFile.empty()) {
        TFileError error;
        FData = ReadBatchData(FOptions.DataFile, error);
        if (!FData) {
            FSay(error.Text());
            return ExitUsage;
        }
    }
    QString why;
    FLedger = TLedger::Open(FOptions.LedgerSpec, QStringLiteral("orvelle-card"), why);
    if (!FLedger) {
        FSay("the ledger cannot be opened: " + why.toStdString());
        return ExitLedgerFailed;
    }
    TBatchStart start = BatchStartOf(FOptions.BatchName, FOptions.File, FOptions.DataFile, FData);
    start.ReuseData = FOptions.ReuseData;
    if (!FLedger->StartBatch(start)) {
        FSay("the batch cannot be started: " + FLedger->Error().toStdString());
        // The files given were refused: bad input, not a ledger that failed.
        return FLedger->StartRefusedInput() ? ExitUsage : ExitLedgerFailed;
    }
    FSettings.Batch = start.Name;
    FSettings.Station = FOptions.Station;
    FSettings.Keys = Keys;
    FSettings.StartMap = StartMap;
    FSettings.Trailers = FOptions.Trailers;
    FSettings.Again = FOptions.Again;
    FSettings.Count = FOptions.Count;
    FSettings.CardImage = CardImages(Template, FData);
    return ExitDone;
}

int TBatchRun::Run(TLinkSession& Session)
{
    if (FSettings.Station.isEmpty())
        FSettings.Station = QSysInfo::machineHostName() + QLatin1Char(':') + QString::fromStdString(Session.PortName());
    FJob = std::make_unique<TBatchJob>(Session, *FLedger, static_cast<TBatchEvents&>(*this));
    const TBatchEnd end = FJob->Run(FSettings);
    const TBatchCounters& counters = FJob->Counters();
    std::fprintf(stderr, "orvelle-card: batch %s: %d done, %d failed, %d already prepared%s\n",
        PrintableText(FSettings.Batch.toStdString()).c_str(), counters.Done, counters.Failed, counters.AlreadyPrepared,
        end == TBatchEnd::RowsOut ? ", no data row left" : "");
    switch (end) {
    case TBatchEnd::LedgerFailed:
        FSay("the ledger failed: " + FJob->LedgerError().toStdString());
        return ExitLedgerFailed;
    case TBatchEnd::Refused:
        FSay("refused: another operation is running");
        return ExitNotDone;
    case TBatchEnd::Stopped:
    case TBatchEnd::CountReached:
    case TBatchEnd::RowsOut:
        break;
    }
    return FAnyFailed ? ExitNotDone : ExitDone;
}

void TBatchRun::Stop()
{
    if (FJob)
        FJob->Stop();
}

void TBatchRun::PlaceCard()
{
    // Once on a terminal; a log file would fill with it.
    if (!FSaidPlace && ::isatty(STDERR_FILENO) == 1)
        std::fputs("place a card on the reader (Ctrl-C ends the batch)\n", stderr);
    FSaidPlace = true;
}

void TBatchRun::CardEnded(const TBatchCard& Card, const TBatchCounters& /*Counters*/)
{
    const std::string serial = SerialText(Card.Serial);
    if (Card.Result == TBatchResult::AlreadyPrepared) {
        std::fprintf(stderr, "%s already prepared: row %d at %s\n", serial.c_str(), Card.Row, Card.Detail.c_str());
    } else {
        // "not recorded" is a failure as loud as any: the card may pass for done.
        std::string detail;
        if (!Card.Detail.empty()) {
            detail = ": ";
            detail += PrintableText(Card.Detail);
        }
        std::fprintf(stderr, "%s row %d %s%s %s\n", serial.c_str(), Card.Row,
            Card.Result == TBatchResult::NotRecorded ? "FAILED: not recorded" : BatchResultText(Card.Result), detail.c_str(),
            Seconds(Card.DurationMs).c_str());
    }
    if (Card.Result == TBatchResult::Failed || Card.Result == TBatchResult::NotRecorded)
        FAnyFailed = true;
    if (!FOptions.Json)
        return;
    std::string written;
    for (const int block : Card.Written) {
        if (!written.empty())
            written += ',';
        written += std::to_string(block);
    }
    FPrinted = true;
    PrintOut("{\"serial\":\"" + serial + "\",\"row\":" + std::to_string(Card.Row) + ",\"result\":\""
        + BatchResultText(Card.Result) + "\",\"station\":" + JsonStringOf(FSettings.Station.toStdString())
        + ",\"batch\":" + JsonStringOf(FSettings.Batch.toStdString()) + ",\"detail\":" + JsonStringOf(Card.Detail)
        + ",\"written\":[" + written + "],\"duration_ms\":" + std::to_string(Card.DurationMs) + "}\n");
}

bool TBatchRun::ConfirmTrailer(const TTrailerChange& Change)
{
    // Asked on the first card that needs it, then the same for every card.
    for (const auto& [asked, answer] : FAnswers) {
        if (asked.Sector == Change.Sector && asked.Trailer == Change.Trailer)
            return answer;
    }
    const bool answer = FConfirm(Change);
    FAnswers.emplace_back(Change, answer);
    return answer;
}

int TBatchRun::RunLedger(const TCardOptions& Options, const std::function<void(const std::string&)>& Say)
{
    QString why;
    const std::unique_ptr<TLedger> ledger = TLedger::Open(Options.LedgerSpec, QStringLiteral("orvelle-card"), why);
    if (!ledger) {
        Say("the ledger cannot be opened: " + why.toStdString());
        return ExitLedgerFailed;
    }
    if (Options.ListClaims)
        return ListClaims(*ledger, Options.Json, Say);
    if (!Options.ReleaseStation.isEmpty()) {
        const std::string station = PrintableText(Options.ReleaseStation.toStdString());
        const auto released = ledger->ReleaseStation(Options.ReleaseStation, Options.Force);
        if (!released) {
            Say("the claims cannot be released: " + ledger->Error().toStdString());
            return ledger->ReleaseRefused() ? ExitNotDone : ExitLedgerFailed;
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
    bool printed = true;
    if (!ledger->Export(Options.BatchName, Options.Json, [&printed](const std::string& Line) {
            printed = PrintOut(Line);
            return printed;
        })) {
        if (!printed)
            return ExitNotDone;
        Say("the ledger cannot be read: " + ledger->Error().toStdString());
        return ExitLedgerFailed;
    }
    return ExitDone;
}
