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
#include <optional>
#include <vector>

// A batch as a station starts it: its name, the SHA-256 (hex) of its
// template and of its data file (empty without one), the data file's label
// columns and its rows, each the cells of one line, in the file's order.
struct TBatchStart {
    QString Name;
    QString TemplateSha256;
    QString DataSha256;
    QStringList Columns; // every column of the data file, in its order
    std::vector<QStringList> Rows;
};

// A card prepared in this batch before: its row, and when.
struct TPrepared {
    int Row = 0;
    QDateTime At;
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

// One card's record.
enum class TCardOutcome { Done,
    Failed };
struct TCardRecord {
    QDateTime Time; // when the card was finished
    QString Station;
    QString Batch;
    TSerial Serial{};
    int Row = 0;
    TCardOutcome Outcome = TCardOutcome::Failed;
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
    // A row for Serial at Station: the card's own unfinished claim again,
    // or else the first free row, never one another station holds. With
    // Again, the card's done row (no new row is used). None when no row is
    // left (Error() empty) or on failure.
    virtual std::optional<TClaim> Claim(const QString& Batch, const QString& Station, const TSerial& Serial, bool Again) = 0;
    // Records the card and ends its claim: done keeps the row with the card;
    // failed gives it back for the next card. False, with nothing recorded,
    // when the claim is no longer held (given back meanwhile).
    virtual bool Record(const TClaim& Claim, const TCardRecord& Card) = 0;
    // Rows not yet done nor claimed.
    virtual std::optional<int> RowsLeft(const QString& Batch) = 0;
    virtual QString Error() const = 0;
};
