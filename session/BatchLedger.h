#pragma once
// What a production line needs of its ledger, whatever keeps it (an SQLite
// file, a PostgreSQL database shared by stations on several machines): the
// batch's data rows handed out one card at a time, atomically, and every
// card recorded. The line works through this; records/Ledger.h keeps it.
//
// Every call answers or fails: a failed call leaves the reason in Error()
// and the line stops ("FAILED: not recorded"), never guessing.

#include "protocol/Commands.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

// A batch's rows as they come, never all held: a data file of a million rows
// is read as it is stored. The source hands each row's cells to Take in the
// file's order, and stops when Take returns false; it returns false when not
// every row was given, with Error saying why when the rows themselves were
// at fault (a file that changed or went bad since it was checked). A start
// that is tried again calls it again, from the first row.
using TRowSink = std::function<bool(const QStringList& Cells)>;
using TRowSource = std::function<bool(const TRowSink& Take, QString& Error)>;

// Rows held already (a few, or a test's).
inline TRowSource RowsOf(std::vector<QStringList> Rows)
{
    return [held = std::move(Rows)](const TRowSink& Take, QString&) {
        for (const QStringList& cells : held) {
            if (!Take(cells))
                return false;
        }
        return true;
    };
}

// A batch as a station starts it: its name, the SHA-256 (hex) of its
// template and of its data file (empty without one), the data file's label
// columns and its rows, each the cells of one line, in the file's order.
struct TBatchStart {
    QString Name;
    QString TemplateSha256;
    QString DataSha256;
    QStringList Columns; // every column of the data file, in its order
    TRowSource Rows;     // none: a batch without data
    // The data file's rows may be used a second time, in another batch.
    bool ReuseData = false;
    QString DataName{}; // the data file's name, for messages
};

// A running station refreshes its own row every StationHeartbeatMs, idle or
// working; its claims count as held until it has been silent for
// StationSilentSeconds by the database's clock (at least three heartbeats).
constexpr int StationHeartbeatMs = 2000;
constexpr int StationSilentSeconds = 10;

// A card prepared in this batch before: its row, and when.
struct TPrepared {
    int Row = 0;
    QDateTime At;
    QStringList Cells{}; // the row's, as stored
};

// A row claimed for a card: its number (from 1, the data file's first row
// after the header; 0 in a batch without data) and its cells. Resumed: the
// card had an unfinished claim (its station stopped mid-card), and gets
// the same row again.
struct TClaim {
    qint64 Id = 0;
    int Row = 0;
    QStringList Cells;
    bool Resumed = false;
};

// One card's record. Repeat: a card prepared before in the batch, shown
// again; it holds no claim and changes no row.
enum class TCardOutcome { Done,
    Failed,
    Repeat };

// Why a card failed: a fixed list, stored as a code beside the detail.
enum class TFailCause { None,
    NoKey,         // no key opened a sector the card needs
    WriteRefused,  // a sector refused the write
    VerifyDiffers, // a block read back other than written
    CardLeft,      // the card left the field
    ReaderGone,    // the reader's link dropped
    ClaimLost,     // the card's claim was released meanwhile
    Ledger,        // the ledger could not be written
    Stopped };     // the batch was stopped mid-card
// "no-key", "write-refused", ...; empty for None.
const char* FailCauseCode(TFailCause Cause);
// The code back; None for an empty or unknown text.
TFailCause FailCauseOf(const QString& Code);

// How a Record call ended.
enum class TRecordResult { Recorded,
    ClaimLost, // recorded failed (claim-lost): the claim was released meanwhile; Error() says by whom
    Failed };  // nothing recorded; Error() says why
struct TCardRecord {
    QDateTime Time; // when the card was finished
    QString Station;
    QString Operator; // who worked the station
    QString Batch;
    TSerial Serial{};
    int Row = 0;
    TCardOutcome Outcome = TCardOutcome::Failed;
    TFailCause Cause = TFailCause::None;
    QString Detail;           // what failed, or empty
    std::vector<int> Written; // blocks written and read back the same
    qint64 DurationMs = 0;    // from the card's first search to its record
};

class TBatchLedger {
public:
    virtual ~TBatchLedger() = default;

    // Starts (or joins) Batch: its rows are stored the first time; a batch
    // of that name with another template or data file is refused.
    virtual bool StartBatch(const TBatchStart& Batch) = 0;
    // The card's done record in the batch, if any; none when it has none
    // (check Error() to tell a failure from "none").
    virtual std::optional<TPrepared> Prepared(const QString& Batch, const TSerial& Serial) = 0;
    // A row for Serial at Station: the card's own unfinished claim again
    // (its station silent, or this one), or else the first free row, never
    // one another station holds. A card another live station works is
    // refused (WorkedElsewhere names it). With
    // Again, the card's done row (no new row is used). None when no row is
    // left (Error() empty) or on failure.
    virtual std::optional<TClaim> Claim(const QString& Batch, const QString& Station, const TSerial& Serial, bool Again) = 0;
    // Records the card and ends its claim: done keeps the row with the card;
    // failed gives it back for the next card. A claim no longer held
    // (released meanwhile) is still recorded, as failed with the cause
    // claim-lost, and no row changes: ClaimLost.
    virtual TRecordResult Record(const TClaim& Claim, const TCardRecord& Card) = 0;
    // A card prepared before, shown again (Card.Outcome Repeat, Card.Row the
    // row it holds): recorded without a claim.
    virtual bool RecordRepeat(const TCardRecord& Card) = 0;
    // Station is alive: its row refreshed on the database's clock.
    virtual bool Heartbeat(const QString& Station) = 0;
    // After Claim gave none with an error: the station that works the card
    // this moment, when that was the reason; else empty.
    virtual QString WorkedElsewhere() const { return {}; }
    // After StartBatch failed: true when the files given were refused (a
    // data file of another batch, a changed one), not the database.
    virtual bool StartRefusedInput() const { return false; }
    // Rows not yet done nor claimed.
    virtual std::optional<int> RowsLeft(const QString& Batch) = 0;
    virtual QString Error() const = 0;
};
