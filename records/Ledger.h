#pragma once
// TLedger: the production line's ledger in a database, through Qt SQL: an
// SQLite file (the default, one machine) or a PostgreSQL database (stations
// on several machines sharing one line). It keeps the batches with their
// data rows, the claims stations hold on rows, and every card's record.
//
// A row is claimed atomically, so two stations never hold the same row:
// SQLite takes the write lock before it looks (BEGIN IMMEDIATE, waiting up to
// a busy time-out; WAL lets readers go on meanwhile), PostgreSQL locks the row
// it takes and passes over rows other stations have locked (FOR UPDATE SKIP
// LOCKED). The claim's state is kept on the row itself, so a station that
// waited for a lock sees the row as the other station left it.
//
// Claims are leases: a station heartbeats (Heartbeat, and each Claim), and
// its claims are its own until it has been silent StationSilentSeconds by
// the database's clock. Only then does another station carry a card's claim
// on, or ReleaseStation give it back (unless forced).
//
// A batch without a data file has no rows: every card gets row 0, and no
// row is ever left (RowsLeft gives 0); the line then stops by count or by
// hand.
//
// Every statement binds its values. A failure of the database (a lost
// server, a full disk, a lock held too long) makes the call fail with the
// driver's words in Error(); nothing throws. A PostgreSQL connection that
// died (a server restarted, a short network cut) is made again and the call
// made once more; a record first looks for itself, since a commit lost with
// its connection may have landed. An SQLite file removed or replaced under
// a station fails its next claim or record. Each TLedger has its own named
// connection and belongs to the thread that opened it.

#include "charts/ChartSeries.h"
#include "session/BatchLedger.h"

#include <QDateTime>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct TLedgerDialect;

// Where a ledger is kept, as --ledger gives it.
struct TLedgerPlace {
    bool PostgreSql = false;
    QString File; // SQLite: the database file
    // PostgreSQL: empty strings and Port -1 leave libpq's defaults.
    QString User;
    QString Password;
    QString Host; // a host name, or a folder that holds the server's socket
    int Port = -1;
    QString Database;
    QString SslMode;
    int ConnectTimeout = 10; // seconds
};

// ${XDG_DATA_HOME:-~/.local/share}/orvelle/ledger.sqlite; XDG_DATA_HOME
// counts only when it is an absolute path.
QString DefaultLedgerFile();

// Empty: the default file. postgresql://[USER@][HOST][:PORT]/DBNAME
// (postgres:// too), each part percent-decoded, with the optional query items
// host=/socket/folder, sslmode= and connect_timeout=. An address with a
// password in it is refused: a command line is seen by every user of the
// machine. Another SCHEME:// is refused; anything else is a file. None, with
// Error saying why, for an address that does not parse.
std::optional<TLedgerPlace> ParseLedgerPlace(const QString& Address, QString& Error);

// A data column the card takes ("block N", "value N", any case); every other
// column is a label kept with the card.
bool IsCardDataColumn(const QString& Column);

// An open claim as `ledger --claims` lists it. Times are instants; LastHeard
// is invalid, and SilentMs -1, for a station never heard (it has not
// heartbeaten since the ledger knew heartbeats).
struct TOpenClaim {
    QString Batch;
    int Row = 0;
    QString Serial;
    QString Station;
    QDateTime Since;
    QDateTime LastHeard;
    qint64 SilentMs = -1; // by the database's clock
};

// The PostgreSQL password in File (--ledger-password-file): its first line.
// The file must be a regular file of the user's own that nobody else may
// read or write (mode 0600 or less); none, with Error saying why.
std::optional<QString> ReadLedgerPassword(const std::string& File, QString& Error);

// Which records TLedger::Export gives: each field set narrows them, and
// they combine.
// (Each member initialized, so that a filter may name only the fields it
// sets.)
struct TLedgerFilter {
    QString Batch{};    // empty: every batch
    QString Station{};  // empty: every station
    QDateTime Since{};  // invalid: from the first record; else from this instant on
    QDateTime Until{};  // invalid: to the last; else before this instant
    QString Result{};   // done, failed or repeat; empty: any
    QString Operator{}; // empty: every operator
};

// One line of TLedger::Summary: a batch at a station, or (Batch and Station
// empty) the total over the lines shown.
struct TLedgerSummaryLine {
    QString Batch;
    QString Station;
    int Done = 0;
    int Failed = 0;
    std::vector<std::pair<QString, int>> FailedByCause; // the stored cause codes, in their order
    int Repeats = 0;
    QString First; // the first and last record's time, as Export gives times
    QString Last;
    std::optional<double> CardsPerHour; // none when first and last are the same instant
    std::optional<qint64> MedianMs;     // of the done cards' durations; none without one
    std::optional<qint64> P95Ms;
    int RowsLeft = 0;   // as RowsLeft
    int OpenClaims = 0; // the station's in the batch
};

struct TLedgerSummary {
    std::vector<TLedgerSummaryLine> Groups; // by batch, then station
    TLedgerSummaryLine Total;
};

// LedgerSeries.cpp: the records as the shift report's and the line's charts
// draw them.
struct TLedgerSeries {
    // 10-minute buckets from the first record's to the last's, none left
    // out: "2026-12-08T06:00Z" (UTC) or with LocalTimes in local time with
    // its offset ("2026-12-08T07:00+01:00").
    QStringList Buckets;
    std::vector<TChartSeries> CardsPer10Min;              // a station's done cards a bucket
    std::vector<std::pair<QString, int>> FailuresByCause; // the most frequent first
    // A histogram of the done cards' times: the bins' names and counts.
    QStringList DurationBins;
    std::vector<int> DurationCounts;
    std::vector<std::pair<QString, double>> YieldByStation; // done / (done + failed), 0..1
};

// LedgerStations.cpp: a batch's line as the line window shows it.
// One station that worked in the batch (a record or a claim in it).
struct TLineStation {
    QString Name;
    // "working" (an open claim in the batch, heard within
    // StationSilentSeconds), "waiting" (heard, no open claim) or "silent N
    // min" (not heard for longer, by the database's clock).
    QString State;
    QString Operator;       // its last record's; empty before one
    QString LastSerial;     // its last record's card
    int LastRow = 0;        // that card's row (0: none)
    QStringList LastLabels; // that row's label cells, "column: value"
    int DoneLastHour = 0;   // by the database's clock
    int Done = 0;           // in the batch
    int Failed = 0;
    std::optional<double> Yield; // Done / (Done + Failed); none before either
    QDateTime LastFailureAt;     // invalid: no failure yet
    QString LastFailureCause;    // its code
    QString LastFailureDetail;
    bool operator==(const TLineStation&) const = default;
};

struct TLineView {
    QString Batch;
    int Rows = 0;                       // the batch's data rows
    int RowsDone = 0;                   // rows with a done card
    std::vector<TLineStation> Stations; // by name
    bool operator==(const TLineView&) const = default;
};

// A time on the command line (--since, --until) as an instant: an ISO 8601
// date (the start of that local day), a date-time (local unless it carries
// Z or an offset), today or yesterday (the start of that local day), or -8h
// or -30m before Now. Invalid, with Error saying what is accepted, for any
// other text.
QDateTime ParseLedgerTime(const QString& Text, const QDateTime& Now, QString& Error);

// How a ledger is opened.
struct TLedgerAccess {
    // Only read (the records exported): an SQLite file must be there, may be
    // another user's readable file or on a read-only disk, and is opened
    // read-only; no schema is created or upgraded, the journal is left as it
    // is.
    bool ReadOnly = false;
    // An SQLite file must be there already: nothing is created.
    bool MustExist = false;
    // The PostgreSQL password (ReadLedgerPassword); empty: libpq's own
    // sources, PGPASSWORD and ~/.pgpass.
    QString Password;
};

class TLedger final : public TBatchLedger {
public:
    // The schema this program writes; a ledger of a newer one is refused.
    static constexpr int SchemaVersion = 3;

    // Opens (and on first use creates) the ledger Address names (see
    // ParseLedgerPlace) on a Qt SQL connection named ConnectionName, which
    // must not be in use (empty: a name of its own). An SQLite file is
    // opened only by SafeFile's rule (a regular file, or a link of the
    // user's own to one of the user's), and only when the file, the files
    // SQLite keeps beside it (-wal, -shm, -journal) and its folder are the
    // user's own and nobody else may write them: SQLite takes a -wal it
    // finds as part of the ledger. Read only, the file may be another
    // user's, and then the files beside it and the folder may be that
    // user's too. The default file's folder is created, for the user alone.
    // None, with Error saying why.
    static std::unique_ptr<TLedger> Open(const QString& Address, const QString& ConnectionName, QString& Error,
        const TLedgerAccess& Access = {});
    ~TLedger() override; // the connection is closed and removed
    TLedger(const TLedger&) = delete;
    TLedger& operator=(const TLedger&) = delete;

    bool StartBatch(const TBatchStart& Batch) override;
    std::optional<TPrepared> Prepared(const QString& Batch, const TSerial& Serial) override;
    // Without Again, a card already done in the batch is refused (Error says
    // its row). With Again and no done row, the card is claimed as new. A
    // card's unfinished claim is taken over by the station that claims now.
    std::optional<TClaim> Claim(const QString& Batch, const QString& Station, const TSerial& Serial, bool Again) override;
    TRecordResult Record(const TClaim& Claim, const TCardRecord& Card) override;
    bool RecordRepeat(const TCardRecord& Card) override;
    bool Heartbeat(const QString& Station) override;
    std::optional<int> RowsLeft(const QString& Batch) override;
    QString Error() const override { return FError; }
    QString WorkedElsewhere() const override { return FWorkedElsewhere; }
    bool StartRefusedInput() const override { return FStartRefusedInput; }

    // Gives Station's unfinished claims back to the pool: their cards can no
    // longer be recorded done, their rows go to the next cards. Refused while
    // the station is live (heard within StationSilentSeconds by the
    // database's clock) unless Force. The claims given back, or none on
    // failure or refusal (Error says why, and when the station was heard).
    std::optional<std::vector<TOpenClaim>> ReleaseStation(const QString& Station, bool Force);
    // After ReleaseStation gave none: true when the station was live and
    // Force not given, not a failure of the database.
    bool ReleaseRefused() const { return FReleaseRefused; }
    // Every open claim, oldest first; none on failure.
    std::optional<std::vector<TOpenClaim>> OpenClaims();

    // The records Filter lets through, oldest first, each handed to Out
    // with its line end: CSV (RFC 4180, CRLF) with the header time,station,
    // batch,serial,row,result,detail,cause,operator and, for one Batch, its
    // label columns; or with Json one JSON object a record (JSON Lines,
    // "\n"): time, station, operator, batch, serial, row, result (done,
    // failed or repeat), detail, cause, blocks_written, duration_ms and
    // labels. No Batch: every batch, and no label columns in CSV. A CSV
    // cell that a spreadsheet would take for a formula (one that begins
    // with =, +, -, @, a tab or a carriage return) gets a leading '. Times
    // in UTC (2026-12-08T06:05:31.123Z), or with LocalTimes in local time
    // with its offset. False when the batch is unknown, the database
    // fails, or Out returns false.
    bool Export(const TLedgerFilter& Filter, bool Json, const std::function<bool(const std::string& Line)>& Out, bool LocalTimes = false);

    // The records Filter lets through, counted per batch and station by
    // the database, then a total: rows left and open claims summed over the
    // lines, card times over every done card. Times as Export gives them.
    // None when the batch is unknown or the database fails.
    std::optional<TLedgerSummary> Summary(const TLedgerFilter& Filter, bool LocalTimes = false);

    // LedgerSeries.cpp: the records Filter lets through, as the charts draw
    // them (done cards a station and 10 minutes, failures by cause, card
    // times, yield a station). None when the batch is unknown or the
    // database fails.
    std::optional<TLedgerSeries> Series(const TLedgerFilter& Filter, bool LocalTimes = false);

    // LedgerStations.cpp: the line a supervisor watches, and what tells a
    // watcher (TLedgerWatch) that it changed. None when the batch is unknown
    // or the database fails; counted by SQL.
    std::optional<TLineView> Stations(const QString& Batch);
    // The batches' names, newest first; none on failure.
    std::optional<QStringList> Batches();
    // The channel the stations notify on a claim or a record.
    static constexpr const char* LineChannel = "orvelle_ledger";
    // True where the database notifies its listeners (PostgreSQL).
    bool Notifies() const;
    // The connection listens on LineChannel (again, after the connection
    // was made again); false where it cannot, Error saying why.
    bool Subscribe();
    // A text that changes when a station writes: SQLite's data_version, or
    // the newest batch, record and claim with the open claims' count; none
    // on failure.
    std::optional<QString> ChangeMark();
    // The Qt SQL connection's name, for the notifications of its driver.
    const QString& ConnectionName() const { return FConnection; }

    // LedgerBatches.cpp: a station starting a batch another station is
    // storing this moment waits for it (up to StartWaitMs) and then joins
    // it; Told hears, once a start, why it waits.
    void OnStartWaiting(std::function<void(const QString& Why)> Told) { FStartWaiting = std::move(Told); }
    // Between two tries of such a start, Pause waits Ms (by default it
    // sleeps); false gives the start up, with Error saying so.
    void OnStartPause(std::function<bool(int Ms)> Pause) { FStartPause = std::move(Pause); }

    // The ledger for messages: the SQLite file, or the PostgreSQL address
    // without its password.
    const QString& Place() const { return FPlaceText; }

private:
    struct TBatchRow;
    struct THeldClaim;

    TLedger(const QString& ConnectionName, const TLedgerPlace& Place);

    // LedgerOpen.cpp: the connection made.
    bool Connect();

    // LedgerConnection.cpp: the session, statements and transactions. The
    // connection opened and its session started.
    bool OpenSession();
    // The dialect's session statements, for a ledger written or only read.
    bool StartSession();
    // An SQLite file's journal made a write-ahead log, waiting for another
    // station opening a new ledger; else FError says why.
    bool UseWriteAheadLog();

    // The connection is open, or opened again; else FError says why What
    // could not be done.
    bool Ready(const QString& What);
    // The schema is this program's, and (before a claim or a record) the
    // SQLite file is still the one opened; else FError says why.
    bool Usable(bool CheckFile);
    // A server's connection that died under Call is made again, and Call
    // run once more (defined in LedgerSql.h).
    template <typename TCall>
    auto Retried(TCall Call) -> decltype(Call());
    // After a failed call: true when its server connection had died and
    // was made again, so the call may be made once more; else false, FError
    // saying why when it could not be made again.
    bool Reconnected();
    // Statements: each binds Values in order; a failure sets FError from What
    // and the driver's text.
    bool Exec(const QString& What, const QString& Sql, const QVariantList& Values = {}, int* Affected = nullptr);
    std::optional<std::vector<QVariantList>> Select(const QString& What, const QString& Sql, const QVariantList& Values = {});
    // A write transaction, begun the dialect's way. A statement that fails
    // within it rolls it back at once.
    bool Begin();
    bool Commit();
    void Rollback();

    // LedgerSchema.cpp.
    bool CreateOrCheckSchema();
    // The schema is this program's version with every index, read without
    // a lock; none on failure (FError says why).
    std::optional<bool> SchemaCurrent();
    bool CreateSchema();
    bool UpgradeSchema();
    // The schema's table is there; none on failure.
    std::optional<bool> SchemaFound();
    // Read only: the schema is there and of a version this program reads.
    bool CheckSchemaToRead();
    // The schema's version; none, with FError, when it is missing, not a
    // number or newer than this program's.
    std::optional<int> ReadSchemaVersion();

    // LedgerBatches.cpp.
    bool StartBatchOnce(const TBatchStart& Batch);
    // A batch started before is joined only with the files it was started
    // with.
    bool JoinBatch(const TBatchStart& Batch, const QString& TemplateSha, const QString& DataSha);
    // The data file is no other batch's, or meant to be reused.
    bool DataFileFree(const TBatchStart& Batch);
    // A new batch's rows, stored within its transaction.
    bool StoreRows(const TBatchStart& Batch, qint64 Id);
    // Rolls back and refuses the start for its input (StartRefusedInput).
    bool RefuseStart(const QString& Why);
    std::optional<TBatchRow> FindBatch(const QString& Name);

    // LedgerClaims.cpp: claim = the card's unfinished claim carried on, or
    // a new claim on its done row (again), the next free row or row 0; then
    // the row's cells read.
    std::optional<TClaim> ClaimOnce(const QString& Batch, const QString& Station, const TSerial& Serial, bool Again);
    // Claim.Resumed when the card had an unfinished claim, now Station's;
    // false when a live station holds it or the database fails.
    bool ResumeClaim(qint64 BatchId, const QString& Station, const QString& Serial, TClaim& Claim);
    bool NewClaim(const TBatchRow& Batch, const QString& BatchName, const QString& Station, const QString& Serial, bool Again, TClaim& Claim);
    // The row a new claim takes; none on refusal or failure, or (FError
    // empty) when no row is left.
    std::optional<int> RowToClaim(const TBatchRow& Batch, const QString& BatchName, const QString& Serial, bool Again);
    bool ReadCells(qint64 BatchId, const QString& BatchName, TClaim& Claim);
    bool Beat(const QString& Station);
    // The open claims (of Station, or all), their ids and batches kept in
    // FClaimIds; locked for an update where the database locks rows.
    std::optional<std::vector<TOpenClaim>> ReadClaims(const QString& Station, bool ForUpdate);

    // LedgerRecords.cpp: record = the claim read and checked; kept failed
    // as claim-lost when it is no longer the station's; else the record
    // written, the claim closed and the row kept or given back.
    TRecordResult RecordCard(const TClaim& Claim, const TCardRecord& Card);
    std::optional<THeldClaim> ReadHeldClaim(const TClaim& Claim, const QString& Serial);
    TRecordResult RecordClaimLost(const TClaim& Claim, const TCardRecord& Card, const THeldClaim& Held, const QString& Why);
    bool WriteRecord(const TClaim& Claim, const TCardRecord& Card, const THeldClaim& Held);

    // LedgerExport.cpp: one batch's key and columns.
    std::optional<std::pair<QVariant, QStringList>> ExportedBatch(const QString& Batch);
    // The conditions (on records r) and their values that Filter sets;
    // false when its batch is unknown. Columns: that batch's columns.
    bool FilterRecords(const TLedgerFilter& Filter, QStringList& Where, QVariantList& Values, QStringList* Columns = nullptr);

    // LedgerSummary.cpp: what SQL counted for Summary, and the lines and
    // total made of it.
    struct TSummaryRows;
    bool ReadSummaryRows(const QStringList& Where, const QVariantList& Values, TSummaryRows& Rows);
    static TLedgerSummary SummaryOf(const TSummaryRows& Rows, bool LocalTimes);

    // LedgerSchema.cpp, LedgerClaims.cpp: the batch's rows left, counted
    // once as it starts, then moved by Delta when its row Row (not done) is
    // taken or given back; and the batch's listeners told of a change
    // (PostgreSQL), within the change's transaction.
    bool StartRowsLeft(qint64 BatchId);
    bool MoveRowsLeft(qint64 BatchId, int Row, int Delta);
    bool Notify(const QString& Batch);

    // LedgerSeries.cpp: the card-time histogram of the done cards.
    bool ReadDurationBins(const QStringList& Where, const QVariantList& Values, TLedgerSeries& Series);

    // LedgerStations.cpp: the line read once (Stations retries it), its
    // records counted on from where the last look stopped.
    struct TLineCounts;
    std::optional<TLineView> ReadLine(const QString& Batch);
    std::shared_ptr<TLineCounts> FLineCounts;

    // LedgerBatches.cpp: a start held up by another station's lock (one
    // storing the same batch), tried again until it can join.
    std::function<void(const QString&)> FStartWaiting;
    std::function<bool(int)> FStartPause;
    bool FLockTimedOut = false; // the last statement failed waiting for a lock

    QString FConnection;
    TLedgerPlace FPlace;
    const TLedgerDialect& FSql; // chosen by the place, at open
    bool FReadOnly = false;
    QString FPlaceText;
    QString FError;
    bool FInTransaction = false;
    int FSchema = 0;        // the version found, or created
    QString FSchemaRefusal; // why an old schema could not be upgraded
    QString FWorkedElsewhere;
    bool FStartRefusedInput = false;
    bool FReleaseRefused = false;
    std::vector<std::pair<qint64, qint64>> FClaimIds; // claim, batch
    bool FDatabaseFailed = false;                     // the driver failed in the call, not a rule
    // The SQLite file opened: one removed or replaced under a station is noticed.
    bool FFileKnown = false;
    quint64 FFileDevice = 0;
    quint64 FFileInode = 0;
};
