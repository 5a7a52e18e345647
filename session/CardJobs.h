#pragma once
// Whole-card jobs on a link session: find the keys of every sector, read a
// card into a dump, write a dump onto a card, compare a card with a dump.
// A job is one operation chain under the session's guard, so it never runs
// beside a loop test or another job. It runs inside the call that started it;
// the exchanges pump events, so Cancel() (from a button or an event handler)
// reaches it and is honoured before the next exchange, never inside one.
// A written block is always read back, even when cancelled meanwhile.

#include "protocol/AccessConditions.h"
#include "protocol/CardLayout.h"
#include "protocol/Commands.h"
#include "protocol/DumpFile.h"

#include <array>
#include <optional>
#include <span>
#include <vector>

class TLinkSession;

// The keys found for one sector; either may be missing.
struct TSectorKeys {
    std::optional<TKey> KeyA;
    std::optional<TKey> KeyB;
    bool operator==(const TSectorKeys&) const = default;
};
using TKeyMap = std::array<TSectorKeys, SectorCount>;

enum class TSectorResult {
    NotRun, // the job was cancelled (or refused) before the sector or in it
    Done,
    NoKey,        // no key opens the sector (or none that may do the job)
    ReadDenied,   // a block the keys may not read: it stays unknown
    WriteRefused, // the card refused a write, or no known key may write
    VerifyFailed, // a block read back differs from what was written
    CardGone      // the card did not answer a search any more
};

// "done", "no key", "read denied", "write refused", "verify failed",
// "card gone", "not run": the words a table, a JSON file and the Card page use.
const char* SectorResultText(TSectorResult Result);

struct TSectorOutcome {
    TSectorResult Result = TSectorResult::NotRun;
    // Card block numbers the result is about: unread, refused, differing,
    // or (cancelled in the sector) not reached.
    std::vector<int> Blocks;
    // Writing: data blocks left alone because the dump does not know all
    // their digits (block 0 is never written and not listed).
    std::vector<int> Unknown;
    bool operator==(const TSectorOutcome&) const = default;
};
using TSectorOutcomes = std::array<TSectorOutcome, SectorCount>;

// What a trailer write would set, for the operator to approve.
struct TTrailerChange {
    int Sector = 0;
    TBlockData Trailer{};
    TAccessConditions Access;
    std::array<TDataRights, TrailerRow> DataRights{}; // as the new trailer makes them
    TTrailerRights TrailerRights{};
};

enum class TBlockMatch { Same,
    Differs,
    NotCompared }; // unread on the card, or no known digit to compare

struct TReadResult {
    TDumpImage Image;
    TSectorOutcomes Sectors;
};

// Only the digits both sides know are compared.
TBlockMatch CompareBlock(const TDumpImage& Card, const TDumpImage& Dump, int Block);

struct TCompareResult {
    std::array<TBlockMatch, CardBlocks> Blocks{};
    TDumpImage Card;         // what was read of the card
    TSectorOutcomes Sectors; // how the card was read
    bool Equal() const;
};

class TCardJobEvents {
public:
    virtual ~TCardJobEvents() = default;
    // Before each sector: Number counts from 1 to Of (16).
    virtual void Progress(int /*Number*/, int /*Of*/) { }
    virtual void SectorResult(int /*Sector*/, const TSectorOutcome& /*Outcome*/) { }
    // A block was written and is about to be read back.
    virtual void BlockWritten(int /*Block*/) { }
    // A trailer write needs approval; only approved trailers are written.
    virtual bool ConfirmTrailer(const TTrailerChange& /*Change*/) { return false; }
};

class TCardJobs {
public:
    TCardJobs(TLinkSession& Session, TCardJobEvents& Events);

    // Each job: none when another operation holds the session's guard.
    // For each sector, the candidate keys as key A, then as key B.
    // Outcomes, when given, gets each sector's result (no key, card gone).
    std::optional<TKeyMap> MapKeys(std::span<const TKey> Candidates, TSectorOutcomes* Outcomes = nullptr);
    std::optional<TReadResult> ReadCard(const TKeyMap& Keys);
    // Data blocks of every sector (never block 0), each read back; with
    // Trailers, then the trailers the events approve, each last in its sector.
    // Keys is updated for a trailer written and verified.
    std::optional<TSectorOutcomes> WriteCard(const TDumpImage& Dump, TKeyMap& Keys, bool Trailers);
    std::optional<TCompareResult> Compare(const TDumpImage& Dump, const TKeyMap& Keys);

    // The serial component's read interval for a job's length, restored
    // after: a reply is taken once the line is quiet this long. A job is
    // hundreds of exchanges, and the reply assembler takes pieces. 0 leaves
    // the component's own setting.
    static constexpr uint32_t ShortReadIntervalMs = 10;
    uint32_t JobReadIntervalMs = ShortReadIntervalMs;

    // Also a close asked of the session (RequestClose) cancels the job.
    void Cancel() { FCancelled = true; }
    bool Cancelled() const { return FCancelled; }

private:
    enum class TOpen { Ok,
        Refused,
        Gone };
    // Activates the card when it is not (a search with serial number, for
    // any card) and authenticates Sector with the typed key.
    TOpen Open(int Sector, int KeyType, const TKey& Key);
    TOpen Activate();
    // Opens Sector with the key the map has (A before B) or KeyType's.
    TOpen OpenAny(int Sector, const TSectorKeys& Keys, int& KeyType);
    // Activates and authenticates again, as last opened, after a failure.
    TOpen Reopen();
    // A block read, tried once more after a failure; none when refused twice
    // or the card is gone.
    std::optional<TBlockData> ReadBlock(int Block);
    // Job under the operation guard, from a fresh start (not cancelled, no
    // card yet), with the job's search mode and read interval, restored
    // after; none when another operation holds the guard.
    template <class TJob>
    auto Run(TJob&& Job) -> std::optional<decltype(Job())>;
    TKeyMap MapAll(std::span<const TKey> Candidates, TSectorOutcomes* Outcomes);
    // The last exchange failed on the line (no reply, a bad one), not by
    // the card's or the reader's refusal.
    bool LineFault() const;
    // Cancelled, or the session asked to close.
    bool Stopping();
    TReadResult ReadAll(const TKeyMap& Keys);
    TSectorOutcome ReadSector(int Sector, const TSectorKeys& Keys, TDumpImage& Image);
    TSectorOutcome WriteSector(int Sector, const TDumpImage& Dump, TSectorKeys& Keys, bool Trailer);
    // Current: the trailer's access conditions on the card.
    bool WriteTrailer(int Sector, const TDumpImage& Dump, TSectorKeys& Keys, const TAccessConditions& Current,
        int& KeyType, TSectorOutcome& Out);
    // KeyType, or the other known key, when Who lets it; false when no known
    // key may.
    bool UseKeyFor(TKeys Who, const TSectorKeys& Keys, int& KeyType);
    // The other key of the map, when known, for the next exchange.
    bool SwitchKey(const TSectorKeys& Keys, int& KeyType);
    // Writes Block and reads it back; false with Out set when it failed.
    bool WriteAndVerify(int Block, const TBlockData& Data, TSectorOutcome& Out);
    template <class TSectorJob>
    TSectorOutcomes EverySector(TSectorJob&& Job);

    TLinkSession& FSession;
    TCardJobEvents& FEvents;
    bool FCancelled = false;
    bool FActive = false; // the card is selected: no search before the next authentication
    bool FGone = false;
    std::optional<TSerial> FSerial; // the card the job works on
    // What the card was last authenticated with.
    int FAuthSector = 0;
    int FAuthKeyType = 0;
    TKey FAuthKey{};
};
