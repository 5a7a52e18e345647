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

std::string Seconds(qint64 Ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", double(Ms) / 1000.0);
    return text;
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
    const TBatchStart start = BatchStartOf(FOptions.BatchName, FOptions.File, FOptions.DataFile, FData);
    if (!FLedger->StartBatch(start)) {
        FSay("the batch cannot be started: " + FLedger->Error().toStdString());
        return ExitLedgerFailed;
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
    if (!Options.ReleaseStation.isEmpty()) {
        const int released = ledger->ReleaseStation(Options.ReleaseStation);
        if (released < 0) {
            Say("the claims cannot be released: " + ledger->Error().toStdString());
            return ExitLedgerFailed;
        }
        std::fprintf(stderr, "orvelle-card: %d unfinished %s of %s given back\n", released,
            released == 1 ? "claim" : "claims", PrintableText(Options.ReleaseStation.toStdString()).c_str());
        return ExitDone;
    }
    bool printed = true;
    if (!ledger->Export(
            Options.BatchName, Options.Json,
            [&printed](const std::string& Line) {
                printed = PrintOut(Line);
                return printed;
            },
            Options.LocalTimes)) {
        if (!printed)
            return ExitNotDone;
        Say("the ledger cannot be read: " + ledger->Error().toStdString());
        return ExitLedgerFailed;
    }
    return ExitDone;
}
