#pragma once
// Whole-card jobs on a link session: find the keys of every sector, read a
// card into a dump, write a dump onto a card, compare a card with a dump.
// A job is one operation chain under the session's guard, so it never runs
// beside a loop test or another job. It runs inside the call that started it;
// the exchanges pump events, so Cancel() (from a button or an event handler)
// reaches it and is honoured before the next exchange, never inside one.
// A written block is always read back, even when cancelled meanwhile.
//
// The code, by purpose: the exchanges every job is made of and the frame a job
// and its sectors run in (CardJobSteps.h, .cpp); mapping keys
// (CardJobsMap.cpp); reading and comparing a card (CardJobsRead.cpp); writing
// sectors and trailers (CardJobsWrite.cpp); and, with no reader, the words and
// claims of a result (CardJobs.cpp), the trailer rules (CardTrailers.cpp) and
// the comparison with a dump (CardCompare.cpp). A new job is one public call
// here, run through Run() and EverySector() in a file of its purpose.

#include "protocol/AccessConditions.h"
#include "protocol/CardLayout.h"
#include "protocol/Commands.h"
#include "protocol/DumpFile.h"
#include "protocol/KeyFile.h"

#include <array>
#include <optional>
#include <span>
#include <string>
#include <vector>

class TLinkSession;

// What a job tries, in this order, each key once: the keys the dump states
// (write, compare: the card most likely has them), the key files', then the
// built-in list when asked.
TKeyList JobKeys(std::span<const TKey> FileKeys, const TDumpImage* Dump, bool BuiltIn);

enum class TSectorResult {
    NotRun, // the job was cancelled (or refused) before the sector or in it
    Done,
    NoKey,         // no key opens the sector (or none that may do the job)
    ReadDenied,    // a block the keys may not read: it stays unknown
    WriteRefused,  // the card refused a write, or no known key may write
    VerifyFailed,  // a block read back differs from what was written
    CardGone,      // the card did not answer a search any more
    NothingToWrite // writing: the dump knows no block of the sector to write
};

// "done", "no key", "read denied", "write refused", "verify failed",
// "card gone", "not run", "nothing to write": the words a table, a JSON file
// and the Card page use.
const char* SectorResultText(TSectorResult Result);

// Writing with trailers: what became of a trailer that was not written.
enum class TTrailerNote { None,
    Unchanged,  // the card's own: neither asked about nor written
    Declined }; // not confirmed

struct TSectorOutcome {
    TSectorResult Result = TSectorResult::NotRun;
    // Card block numbers the result is about: unread, refused, differing,
    // or (cancelled in the sector) not reached.
    std::vector<int> Blocks;
    // Writing: data blocks left alone because the dump does not know all
    // their digits (block 0 is never written and not listed).
    std::vector<int> Unknown;
    // Writing: the blocks written and read back the same.
    std::vector<int> Written;
    TTrailerNote Trailer = TTrailerNote::None;
    bool operator==(const TSectorOutcome&) const = default;
};
using TSectorOutcomes = std::array<TSectorOutcome, SectorCount>;

// What a trailer write would set, for the operator to approve: the trailer
// as the card shows it now (what is known of it) and what it becomes.
struct TTrailerChange {
    int Sector = 0;
    TBlockData Now{};
    TBlockData NowKnown{}; // per byte, the bits known, as in a dump
    TBlockData Trailer{};
    TAccessConditions Access;
    std::array<TDataRights, TrailerRow> DataRights{}; // as the new trailer makes them
    TTrailerRights TrailerRights{};
};

// What a dump's trailer means for a write: nothing to write (not known in
// full, never guessed), refused (inconsistent access bits would lock the
// sector), the card's own already, or a change to approve.
enum class TTrailerPlan { Unknown,
    Inconsistent,
    Unchanged,
    Change };
// Card holds what is known of the card's trailer (as SeeTrailer fills it);
// Change, when given, gets the change.
TTrailerPlan PlanTrailer(int Sector, const TDumpImage& Dump, const TDumpImage& Card, TTrailerChange* Change = nullptr);
// Every trailer of Dump that would change the card's, sector by sector.
std::vector<TTrailerChange> TrailerChanges(const TDumpImage& Dump, const TDumpImage& Card);

// What a trailer read with KeyType (0 = A, 1 = B) after opening with
// OpenedWith shows, set into Image: key A is the key that opened the sector
// (or Keys' key A), the access bits and byte 9 where that key may read them,
// key B where readable, else Keys' key B.
void SeeTrailer(TDumpImage& Image, int Sector, const TBlockData& Read, int KeyType, const TKey& OpenedWith,
    const TSectorKeys& Keys);

// Every job's result: the card it worked on, none when no card was in the
// reader's field at its start (then no sector was tried), and each sector's.
struct TJobResult {
    std::optional<TSerial> Serial;
    TSectorOutcomes Sectors;
};

struct TMapResult : TJobResult {
    TKeyMap Keys;
    // The trailers as the card showed them while mapping (SeeTrailer).
    TDumpImage Trailers;
};

struct TReadResult : TJobResult {
    TDumpImage Image;
};

// A card read with no map yet: each sector read as soon as a key opens it,
// and the map made on the way.
struct TMapReadResult {
    TMapResult Map;
    TReadResult Read;
};

struct TWriteResult : TJobResult {
    // The trailers as the card showed them before writing, and those
    // written as written.
    TDumpImage Trailers;
    // A block was written.
    bool Wrote() const;
    // Something written, every sector done or with nothing to write, and
    // no trailer left unconfirmed.
    bool Complete() const;
};

enum class TBlockMatch { Same,
    Differs,
    NotCompared, // the dump knows digits of it that the card did not show
    NotInDump }; // the dump knows no digit of it

// A digit both sides know that differs, else the same when the card showed
// every digit the dump knows.
TBlockMatch CompareBlock(const TDumpImage& Card, const TDumpImage& Dump, int Block);

struct TNotCompared {
    int Block = 0;
    TSectorResult Reason = TSectorResult::NotRun; // no key, read denied, card gone, not run
    bool operator==(const TNotCompared&) const = default;
};

struct TCompareResult : TJobResult {
    std::array<TBlockMatch, CardBlocks> Blocks{};
    TDumpImage Card; // what was read of the card
    int Known = 0;   // blocks of the dump with a known digit
    int Compared = 0;
    std::vector<int> Differ;
    std::vector<TNotCompared> NotCompared;
    // A card answered, and every known block of the dump (one at least) was
    // read and found the same.
    bool Agree() const;
};

// The comparison of a card, read as Sectors say, with Dump.
TCompareResult CompareCard(const TDumpImage& Card, const TSectorOutcomes& Sectors, const TDumpImage& Dump);

// The jobs a face runs, and how a sequence of them ended.
enum class TCardJob { MapKeys,
    Read,
    Write,
    Compare };
enum class TWorkEnd {
    Done,        // the job ran: its result says how it went
    Refused,     // another operation held the session
    NoCard,      // no card in the reader's field
    Stopped,     // cancelled, or a close asked for, before the job ran
    MapNotWhole, // the map could not try every sector (the card left): no job
    Declined     // writing: the trailers were not approved; nothing written
};

// How one job ended, for the message log and the records: Line is the log's
// line ("Read card (card 12345678): 14 sectors done, sector 3 no key").
struct TCardJobRecord {
    TCardJob Job = TCardJob::MapKeys;
    TWorkEnd End = TWorkEnd::Done;
    std::optional<TSerial> Serial;
    std::string DumpFile;
    TSectorOutcomes Sectors;
    bool Cancelled = false;
    std::string Line;
};

class TCardJobEvents {
public:
    virtual ~TCardJobEvents() = default;
    // Before each sector, 0 to 15.
    virtual void Progress(int /*Sector*/) { }
    virtual void SectorResult(int /*Sector*/, const TSectorOutcome& /*Outcome*/) { }
    // A block was written and is about to be read back.
    virtual void BlockWritten(int /*Block*/) { }
    // A trailer write needs approval; only approved trailers are written.
    // A job cancelled meanwhile writes nothing more.
    virtual bool ConfirmTrailer(const TTrailerChange& /*Change*/) { return false; }
};

class TCardJobs {
public:
    TCardJobs(TLinkSession& Session, TCardJobEvents& Events);

    // Each job: none when another operation holds the session's guard.
    // For each sector, the candidate keys as key A, then as key B; Start's
    // key of that sector and type first, when it has one (a saved map: a
    // key of it that no longer opens the sector is looked for again).
    std::optional<TMapResult> MapKeys(std::span<const TKey> Candidates, const TKeyMap* Start = nullptr);
    std::optional<TReadResult> ReadCard(const TKeyMap& Keys);
    // Maps and reads in one pass: each sector is read while the key that
    // opened it has it open (a read after a separate map authenticates
    // every sector twice).
    std::optional<TMapReadResult> MapAndRead(std::span<const TKey> Candidates, const TKeyMap* Start = nullptr);
    // Data blocks of every sector (never block 0), each read back; with
    // Trailers, then each trailer that differs from the card's and that the
    // events approve, last in its sector. Keys is updated for a trailer
    // written and verified.
    std::optional<TWriteResult> WriteCard(const TDumpImage& Dump, TKeyMap& Keys, bool Trailers);
    std::optional<TCompareResult> Compare(const TDumpImage& Dump, const TKeyMap& Keys);

    // The serial component's read interval for a job's length, restored
    // after: a reply is taken once the line is quiet this long. A job is
    // hundreds of exchanges, and the reply assembler takes pieces. 0 leaves
    // the component's own setting.
    static constexpr uint32_t ShortReadIntervalMs = 10;
    uint32_t JobReadIntervalMs = ShortReadIntervalMs;

    // The caller holds the session's guard for a longer chain of its own (a
    // production line's batch): the jobs run under it.
    bool GuardHeld = false;

    // A search selected Serial just now, with no exchange since: the next
    // job starts on that card without searching again (none: it searches).
    void StartOn(std::optional<TSerial> Serial) { FStartOn = Serial; }

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
    // The card at a job's start, into Result: false when no card is in the
    // field.
    bool Begin(TJobResult& Result);
    TMapResult MapAll(std::span<const TKey> Candidates, const TKeyMap* Start);
    // The first key of KeyType that opens Sector (then open with it) into
    // Found: Start's key of that sector first, then Order's (a key found
    // moves to the front of Order); Refused when none does or a cancel came
    // first, Gone when the card left.
    TOpen FindKey(int Sector, int KeyType, std::vector<TKey>& Order, std::optional<TKey>& Found, const TKeyMap* Start);
    // A sector's map result once its keys were looked for.
    void EndMapSector(const TSectorKeys& Found, bool SearchB, TSectorOutcome& Out);
    TSectorOutcome MapReadSector(int Sector, std::vector<TKey>& Order, const TKeyMap* Start, TMapResult& Map,
        TDumpImage& Image);
    // A map-and-read's blocks of one sector, as each key read them.
    struct TSectorReads;
    // Reads the blocks not read yet with the key the sector is open with.
    void ReadRest(int Sector, int KeyType, TSectorReads& Reads);
    // What was read into Image and the map's trailers; into Out, the blocks
    // no key read and those a cancel left unread.
    void KeepReads(int Sector, const TSectorReads& Reads, TMapResult& Map, TDumpImage& Image, TSectorOutcome& Out);
    // The last exchange failed on the line (no reply, a bad one), not by
    // the card's or the reader's refusal.
    bool LineFault() const;
    // Cancelled, or the session asked to close.
    bool Stopping();
    TReadResult ReadAll(const TKeyMap& Keys);
    TSectorOutcome ReadSector(int Sector, const TSectorKeys& Keys, TDumpImage& Image);
    // Seen gets the sector's trailer as the card shows it, and as written.
    TSectorOutcome WriteSector(int Sector, const TDumpImage& Dump, TSectorKeys& Keys, bool Trailer, TDumpImage& Seen);
    // Current: the trailer's access conditions on the card; Seen: the card's
    // trailer as it is now, and as written.
    void WriteTrailer(int Sector, const TDumpImage& Dump, TSectorKeys& Keys, const TAccessConditions& Current,
        TDumpImage& Seen, int& KeyType, TSectorOutcome& Out);
    // Blocks, in order, each with a key the access bits let write it, each
    // read back; a cancel leaves the rest unwritten.
    void WriteDataBlocks(const std::vector<int>& Blocks, const TDumpImage& Dump, const TSectorKeys& Keys,
        const TAccessConditions& Access, int& KeyType, TSectorOutcome& Out);
    // The dump's trailer of Sector when it differs from Seen's and was
    // approved; none, with Out told why, otherwise.
    std::optional<TTrailerChange> ApproveTrailer(int Sector, const TDumpImage& Dump, const TDumpImage& Seen,
        TSectorOutcome& Out);
    // The written trailer read back with its new key A: the access bits and
    // what of key B they let be read, as written.
    bool TrailerReadsBack(const TTrailerChange& Change, bool Written, TSectorOutcome& Out);
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
    std::optional<TSerial> FStartOn;
    // What the card was last authenticated with.
    int FAuthSector = 0;
    int FAuthKeyType = 0;
    TKey FAuthKey{};
};
