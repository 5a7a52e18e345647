#pragma once
// orvelle-card's production line: "batch" (card after card from a template,
// each with its data row, recorded in the ledger) and "ledger" (the records,
// or a station's unfinished claims given back). The inputs and the ledger
// are taken in before any port is opened; a card's line goes to standard
// error as it ends ("4012A3F1 row 17 done 2.9 s"), with --json its steps as
// JSON Lines events on standard output, each flushed as it happens.

#include "cardtool/CardOptions.h"
#include "protocol/BatchData.h"
#include "protocol/DumpFile.h"
#include "protocol/KeyFile.h"
#include "session/BatchJob.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

class TLedger;
class TLinkSession;

class TBatchRun final : private TBatchEvents {
public:
    // Say: a message for standard error, as the run's error should it end
    // without results. Confirm: a trailer's question on the terminal.
    // Journal: a line for the journal.
    TBatchRun(const TCardOptions& Options, std::function<void(const std::string&)> Say,
        std::function<bool(const TTrailerChange&)> Confirm, std::function<void(const std::string&)> Journal = nullptr);
    ~TBatchRun() override;
    TBatchRun(const TBatchRun&) = delete;
    TBatchRun& operator=(const TBatchRun&) = delete;

    // Before the port: the data file, the ledger, the batch started in it;
    // StartMap, a saved map each card's mapping starts from. 0, or the exit
    // status with the reason said.
    int Prepare(const TDumpImage& Template, const TKeyList& Keys, const std::optional<TKeyMap>& StartMap);
    // The batch on the session's reader, to its end; the exit status.
    int Run(TLinkSession& Session);
    // Ends the batch once the current card is finished.
    void Stop();
    // Something was printed on standard output: no further document.
    bool Printed() const { return FPrinted; }

    // "ledger": the records as CSV or JSON Lines, or a station's claims
    // given back; no port is opened.
    static int RunLedger(const TCardOptions& Options, const std::function<void(const std::string&)>& Say);

private:
    // Prepare's steps; a step that fails says why. The data file, if any.
    bool ReadData();
    // The template with --trailers' changes approved or left out; none
    // when they cannot be asked.
    std::optional<TDumpImage> ApprovedTemplate(const TDumpImage& Template);
    // --approve-trailers: every change taken when the template's trailers are
    // the ones approved, else none (refused).
    std::optional<TDumpImage> TrailersApproved(const TDumpImage& Template);
    // The ledger opened and the batch started in it: ExitDone or the exit
    // status.
    int StartInLedger();

    void CardInField(const TSerial& Serial) override;
    void PlaceCard() override;
    // --json: the card found, said once a card (one already in the field at
    // start is announced first).
    void CardSeen(const TSerial& Serial) override;
    void ReaderGone() override;
    void ReaderBack() override;
    void Writing(const TSerial& Serial, int Row) override;
    void TakeAway(const TSerial& Serial) override;
    void CardEnded(const TBatchCard& Card, const TBatchCounters& Counters) override;
    // A step for the operator: on a terminal only, a log file would fill.
    void Step(const std::string& Text) const;
    // Row's labels as "1002, Ada"; empty without labels.
    std::string LabelsOf(int Row) const;
    std::vector<std::string> CardLabels(int Row) const;
    // --json: an event's line on standard output; after a failed write no
    // more are tried (the failure was said once).
    void Event(const std::string& Json);

    TCardOptions FOptions;
    std::function<void(const std::string&)> FSay;
    std::function<bool(const TTrailerChange&)> FConfirm;
    std::function<void(const std::string&)> FJournal;
    std::unique_ptr<TLedger> FLedger;
    std::unique_ptr<TBatchJob> FJob;
    std::optional<TBatchData> FData;
    TBatchSettings FSettings;
    bool FPrinted = false;
    bool FOutLost = false;  // standard output could not be written
    bool FCardSaid = false; // the card on the reader had its "card" event
    bool FAnyFailed = false;
    bool FSteps = false; // standard error is a terminal
};
