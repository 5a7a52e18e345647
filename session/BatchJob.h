#pragma once
// TBatchJob: a production line on one reader. Card after card, until
// stopped, until Count cards are done or until the batch's rows run out:
// wait for a card not yet prepared in the batch, claim a data row for it in
// the ledger, map its keys (those that opened the previous card first),
// write the card's image (the template with its row over it), every block
// read back, record the card, and only then beep: once for done, three times
// for failed. Then wait until the card has left the field.
//
// The batch holds the session's operation guard from start to end, so no
// loop test or card job runs beside it. It runs inside Run(); the exchanges
// and its pauses pump events, so Stop() (a button, a signal) reaches it and
// ends it once the current card is finished, never in the middle of one.

#include "protocol/BatchData.h"
#include "session/BatchLedger.h"
#include "session/CardJobs.h"

#include <QString>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class TLinkSession;

struct TBatchSettings {
    QString Batch;
    QString Station;
    // The image of the card for a row claimed: the template with the row's
    // blocks over it. Digits it leaves unknown are not written.
    std::function<TDumpImage(const TClaim& Claim)> CardImage;
    // The keys to try after those that opened the previous card.
    TKeyList Keys;
    // A saved map each card's mapping starts from (TCardJobs::MapKeys).
    std::optional<TKeyMap> StartMap;
    bool Trailers = false; // write the trailers too, as confirmed once
    bool Again = false;    // rewrite a card prepared before, with its own row
    int Count = 0;         // cards to do in this run; 0: no limit
    // How long to wait between two searches for a card placed or taken away.
    int PollMs = 150;
};

enum class TBatchResult { Done,
    Failed,
    AlreadyPrepared, // not written: it was prepared before (row, time in Prior)
    NotRecorded };   // the ledger failed: the batch stops

// A batch as its files give it: named Name, or else after the data file, or
// else the template (the file's name, without its folder); the files'
// SHA-256, the data file's columns and rows. Paths in the system's encoding.
TBatchStart BatchStartOf(const QString& Name, const std::string& TemplatePath, const std::string& DataPath,
    const std::optional<TBatchData>& Data);
// The image of each claimed card: the template with its row over it (row 0,
// a batch without data: the template as it is).
std::function<TDumpImage(const TClaim&)> CardImages(const TDumpImage& Template, const std::optional<TBatchData>& Data);

// "done", "failed", "already prepared", "not recorded".
const char* BatchResultText(TBatchResult Result);

struct TBatchCard {
    TSerial Serial{};
    int Row = 0;
    TBatchResult Result = TBatchResult::Failed;
    std::string Detail; // what failed; for already prepared, when
    std::vector<int> Written;
    qint64 DurationMs = 0;
    std::optional<TPrepared> Prior;
};

// The counters a face shows.
struct TBatchCounters {
    int Done = 0;
    int Failed = 0;
    int AlreadyPrepared = 0;
    std::optional<int> RowsLeft;
};

class TBatchEvents : public TCardJobEvents {
public:
    // Waiting for a card to be placed.
    virtual void PlaceCard() { }
    // A card is being prepared, with its row.
    virtual void Writing(const TSerial& /*Serial*/, int /*Row*/) { }
    // A card's end, as recorded; the counters after it.
    virtual void CardEnded(const TBatchCard& /*Card*/, const TBatchCounters& /*Counters*/) { }
    // Waiting for the card to be taken away.
    virtual void TakeAway(const TSerial& /*Serial*/) { }
};

// Why a batch ended.
enum class TBatchEnd { Stopped,
    CountReached,
    RowsOut,
    LedgerFailed,
    Refused }; // another operation held the session

class TBatchJob {
public:
    TBatchJob(TLinkSession& Session, TBatchLedger& Ledger, TBatchEvents& Events);

    // The batch must have been started in the ledger.
    TBatchEnd Run(const TBatchSettings& Settings);
    // Ends the batch once the card being prepared is finished.
    void Stop() { FStop = true; }
    bool Stopping() const;

    const TBatchCounters& Counters() const { return FCounters; }
    // Why the ledger failed, when the batch ended so.
    const QString& LedgerError() const { return FLedgerError; }

private:
    // Waits for a card; none when the batch is stopping.
    std::optional<TSerial> WaitForCard();
    void WaitForRemoval(const TSerial& Serial);
    // Waits Ms with the event loop running; returns early when stopping.
    void Pause(int Ms);
    // Prepares the card on Claim; the record to make.
    TBatchCard Prepare(const TSerial& Serial, const TClaim& Claim);
    // Three beeps for a failed card, one for done.
    void Signal(bool Done);

    TLinkSession& FSession;
    TBatchLedger& FLedger;
    TBatchEvents& FEvents;
    TCardJobs FJobs;
    const TBatchSettings* FSettings = nullptr;
    bool FStop = false;
    TBatchCounters FCounters;
    QString FLedgerError;
    // The keys that opened the previous card, tried first on the next.
    TKeyList FPreviousKeys;
};
