#pragma once
// TBatchJob: a production line on one reader. Card after card, until
// stopped, until Count cards are done or the moment the batch's rows run
// out: wait for a card not yet prepared in the batch, claim a data row for
// it in the ledger, map its keys (those that opened the previous card
// first), write the card's image (the template with its row over it), every
// block read back, record the card, and only then beep: once for done, twice
// for a card prepared before, three times for failed. Then wait until the
// card has left the field.
//
// The batch holds the session's operation guard from start to end, so no
// loop test or card job runs beside it; it therefore drives a relink itself,
// between cards, when the reader was unplugged. It runs inside Run(); the
// exchanges and its pauses pump events, so Stop() (a button, a signal)
// reaches it and ends it once the current card is finished, never in the
// middle of one. Meanwhile it tells the ledger every StationHeartbeatMs that
// the station lives, so its claim is not taken for a dead station's.
//
// Its files: a card's run (BatchJob.cpp), what is set up before the first card
// (BatchSetup.cpp), and the words of a result (BatchWords.cpp).

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
    QString Operator; // who works the station, kept with each card's record
    // The image of the card for a row claimed: the template with the row's
    // blocks over it. Digits it leaves unknown are not written. Every
    // trailer it knows was approved at start (DecideTrailers): none is asked
    // about during a card.
    std::function<TDumpImage(const TClaim& Claim)> CardImage;
    // The batch has data rows: it ends the moment they run out.
    bool HasRows = false;
    // The keys to try after those that opened the previous card.
    TKeyList Keys;
    // A saved map each card's mapping starts from (TCardJobs::MapKeys).
    std::optional<TKeyMap> StartMap;
    bool Trailers = false; // write the trailers CardImage knows
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
// A data file checked whole as it streams, its SHA-256 made in the same pass
// (Sha256); its rows counted, not held: BatchStartOf reads them again as the
// ledger stores them, and refuses a file changed meanwhile.
std::optional<TBatchData> ReadDataFile(const std::string& Path, TFileError& Error, const TDataFileOptions& Options = {});
// The image of each claimed card: the template with its row's cells, as the
// claim has them, over it (row 0, a batch without data: the template as it
// is).
std::function<TDumpImage(const TClaim&)> CardImages(const TDumpImage& Template, const std::optional<TBatchData>& Data);

// The template's trailer changes, each put to Ask once, before the first
// card; the template every card then gets: a declined trailer made unknown,
// so that no card writes it and none fails for it. None, with Error, for a
// trailer whose access bits contradict each other (it would lock its
// sector on every card).
std::optional<TDumpImage> DecideTrailers(const TDumpImage& Template, const std::function<bool(const TTrailerChange&)>& Ask,
    std::string& Error);
// What an approval of the template's trailers names ahead of the batch: the
// SHA-256, in lower-case hex, over each trailer DecideTrailers would ask
// about, its sector number (a byte) then its 16 bytes, in sector order. A
// template changed since the approval gives another digest.
QString TrailersDigest(const TDumpImage& Template);

// Who is logged in, as a batch's operator by default: the effective user's
// login name, else $USER, else "unknown".
QString LoginName();

// "done", "failed", "already prepared", "not recorded".
const char* BatchResultText(TBatchResult Result);

struct TBatchCard {
    TSerial Serial{};
    int Row = 0;
    TBatchResult Result = TBatchResult::Failed;
    TFailCause Cause = TFailCause::None;
    // For a failure: one plain cause and the action, "Sector 1 refused the
    // write — put this card aside"; the detail says what exactly.
    std::string Headline;
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

// The headline of a failure with Cause; Sector, the first sector it
// concerns (-1: none), Block the first block.
std::string FailureHeadline(TFailCause Cause, int Sector = -1, int Block = -1);

class TBatchEvents : public TCardJobEvents {
public:
    // A card was in the field when the batch started: it is prepared first.
    virtual void CardInField(const TSerial& /*Serial*/) { }
    // Waiting for a card to be placed.
    virtual void PlaceCard() { }
    // A card was found in the field, before the ledger is asked about it.
    virtual void CardSeen(const TSerial& /*Serial*/) { }
    // The reader's link dropped; the batch relinks between cards.
    virtual void ReaderGone() { }
    // The reader answers again.
    virtual void ReaderBack() { }
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
    RowsOut, // every data row is done
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
    // The cells of the row of the card at hand (claimed, or done before),
    // as the ledger keeps them: a data file's rows are not held.
    const QStringList& CardCells() const { return FCardCells; }
    // Why the ledger failed, when the batch ended so.
    const QString& LedgerError() const { return FLedgerError; }

private:
    // What the card jobs ask of the face: progress goes on to it; a trailer
    // left in the image was approved at start.
    class TJobEvents final : public TCardJobEvents {
    public:
        explicit TJobEvents(TBatchEvents& Face)
            : FFace(Face)
        {
        }
        void Progress(int Sector) override { FFace.Progress(Sector); }
        void SectorResult(int Sector, const TSectorOutcome& Outcome) override { FFace.SectorResult(Sector, Outcome); }
        void BlockWritten(int Block) override { FFace.BlockWritten(Block); }
        bool ConfirmTrailer(const TTrailerChange& /*Change*/) override { return true; }

    private:
        TBatchEvents& FFace;
    };

    // Waits for a card; none when the batch is stopping.
    std::optional<TSerial> WaitForCard();
    void WaitForRemoval(const TSerial& Serial);
    // Waits Ms with the event loop running; returns early when stopping.
    void Pause(int Ms);
    // Prepares the card on Claim; the record to make.
    TBatchCard Prepare(const TSerial& Serial, const TClaim& Claim);
    // One beep for done, two for a card prepared before, three for failed.
    void Signal(int Beeps);
    // While the reader's link is down: tells the face once, lets the
    // session relink (the batch holds its guard), tells the face it is back.
    void KeepLinked();
    // Why the card failed, from what the jobs found.
    void Explain(TBatchCard& Card, const TSectorOutcomes& Sectors) const;
    // The steps of one card on the reader, in order: a card prepared before
    // (Repeat), no row claimed for it (Unclaimed), or prepared (Prepare),
    // recorded (Record) and counted and signalled (Finish). Each gives the
    // batch's end, or none to go on with the next card.
    std::optional<TBatchEnd> CardOnReader(const TSerial& Serial);
    std::optional<TBatchEnd> Repeat(TBatchCard& Card);
    std::optional<TBatchEnd> Unclaimed(TBatchCard& Card);
    void Record(const TClaim& Claim, TBatchCard& Card);
    std::optional<TBatchEnd> Finish(const TBatchCard& Card);
    // The ledger failed before the card was written: the card on the reader
    // is told of, not left without a word; the batch ends.
    TBatchEnd NotRecorded(TBatchCard& Card);
    TBatchEnd LedgerFailed();
    // A record of this station and batch for Card, at this moment.
    TCardRecord RecordOf(const TBatchCard& Card, int Row, TCardOutcome Outcome) const;
    // The batch has data rows and none is left.
    bool RowsOut() const;

    TLinkSession& FSession;
    TBatchLedger& FLedger;
    TBatchEvents& FEvents;
    TJobEvents FJobEvents;
    TCardJobs FJobs;
    const TBatchSettings* FSettings = nullptr;
    bool FStop = false;
    TBatchCounters FCounters;
    QStringList FCardCells;
    QString FLedgerError;
    // The keys that opened the previous card, tried first on the next.
    TKeyList FPreviousKeys;
    bool FReaderGone = false;
    bool FFirstLook = false; // the batch's first search is yet to come
};
