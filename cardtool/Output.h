#pragma once
// What orvelle-card prints on standard output and the exit status it ends
// with: the results as a table or as JSON, the batch's and the ledger's
// lines, and the one writer that puts them out. Plain text builders, so that
// the shapes stay in one place.
//
// The JSON shape (one object; every key always present for its command):
//   {"command": "keys"|"read"|"write"|"diff",
//    "interrupted": false,
//    "serial": "8 hex digits", the card's, or null when no card was mapped,
//    write and diff: "dump": the dump file,
//    "sectors": [{"sector": 0..15,
//                 "keyA": "12 hex digits" or null, "keyB": ... or null,
//                 "result": a SectorResultText word,
//                 "blocks": [card block numbers the result is about],
//                 write only: "unknown": [blocks left alone, the dump not
//                   knowing all their digits], "trailerDeclined": bool,
//                 diff only: "differing": [blocks of the sector that differ]}
//                ... 16 of them],
//    diff only: "agree": bool, "known": the dump's blocks with a known
//      digit, "compared": how many of them were compared, "differ": [every
//      block that differs], "notCompared": [{"block": n, "reason": a
//      SectorResultText word}],
//    "exit": the exit status}
// A command that ends without results (exit 2, 3 or 4) prints instead
//   {"error": "what went wrong", "exit": the exit status}

#include "cardtool/CardCommand.h"
#include "session/CardJobs.h"

#include <QDateTime>

#include <string>
#include <string_view>
#include <vector>

struct TBatchCard;
struct TOpenClaim;
struct TLedgerSummary;

struct TSectorReport {
    TSectorKeys Keys;
    TSectorOutcome Outcome;
    std::vector<int> Differing; // diff
};

struct TCardReport {
    const TCardCommand* Command = nullptr; // its row names it, and says what the results show
    bool Interrupted = false;
    std::optional<TSerial> Serial; // the card
    std::string Dump;              // write, diff: the dump file
    std::array<TSectorReport, SectorCount> Sectors;
    std::optional<TCompareResult> Compared; // diff
    TDumpImage Trailers;                    // as mapping showed them: a key B that is readable
    bool NothingWritten = false;            // write
    int Exit = 0;                           // the exit status the results give
};

// The exit statuses.
enum TCardExit : int {
    ExitDone = 0,
    ExitNotDone = 1,
    ExitUsage = 2,
    ExitNoReader = 3,
    ExitNoCard = 4,       // no card in the reader's field when a job began
    ExitLedgerFailed = 5, // batch, ledger: the ledger could not be opened, read or written
    ExitRunUnreadable = 6 // loop-report: the run's files could not be read
};

// Text on standard output, flushed; false when it could not be written, with
// the reason said on standard error (a full disk), but for a pipe its reader
// closed, which is said nowhere.
bool PrintOut(const std::string& Text);

// A first line naming the card (and the dump), then a column each for the
// sector, its keys (KeyCellText), the result and the blocks it is
// about; diff adds the differing blocks and a last line that says how much
// was compared, write one when nothing was written.
std::string TableOf(const TCardReport& Report);
std::string JsonOf(const TCardReport& Report);
// The document of a command that ends without results.
std::string JsonErrorOf(const std::string& Error, int Exit);
// Text as a JSON string, quotes included: what JSON must escape escaped,
// control characters and bytes that are no UTF-8 shown as \xHH.
std::string JsonStringOf(std::string_view Text);

// batch --json: JSON Lines, one event an object, each with its "event":
//   {"event": "waiting", "rows_left": n or null without data rows}
//   {"event": "card", "serial": "8 hex digits"}            a card found
//   {"event": "writing", "serial", "row", "labels": [the row's labels]}
//   {"event": "done"|"failed"|"repeat", "serial", "row", "result", "cause",
//    "station", "batch", "detail", "written", "duration_ms"}  a card's end
//   {"event": "remove", "serial"}                          take it away
//   {"event": "complete", "done", "failed", "already_prepared",
//    "ended": "stopped"|"count reached"|"rows out"|"ledger failed",
//    "error": why the ledger failed, or null, "exit": the exit status}
// An event's object from its other fields, "\"row\":2" and so on (none: "").
std::string BatchEventJson(const char* Event, const std::string& Fields);
// A card's end: done, failed (cause: FailCauseCode) or repeat (prepared before).
std::string BatchCardJson(const TBatchCard& Card, const std::string& Station, const std::string& Operator, const std::string& Batch);
// ledger --claims: a claim's line, or its JSON object on a line of its own.
std::string ClaimLine(const TOpenClaim& Claim, bool Json);
// Rows as columns as wide as their widest cell, two blanks between them,
// no blank at a line's end.
std::string AlignedTable(const std::vector<std::vector<std::string>>& Rows);

// ledger --summary: an aligned table (a header, a line per batch and
// station, then a total line), or one JSON document {"groups": [...],
// "total": {...}}.
std::string SummaryText(const TLedgerSummary& Summary);
std::string SummaryJson(const TLedgerSummary& Summary);
// A time the ledger keeps, in UTC with milliseconds ("...T09:12:03.250Z");
// empty when there is none.
std::string UtcTime(const QDateTime& When);
