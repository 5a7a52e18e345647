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
// A batch without a data file has no rows: every card gets row 0, and no
// row is ever left (RowsLeft gives 0); the line then stops by count or by
// hand.
//
// Every statement binds its values. A failure of the database (a lost
// server, a full disk, a lock held too long) makes the call fail with the
// driver's words in Error(); nothing throws. A connection the server
// dropped is made again at the next call. Each TLedger has its own named
// connection and belongs to the thread that opened it.

#include "session/BatchLedger.h"

#include <QVariant>

#include <functional>
#include <memory>
#include <optional>
#include <string>

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

// The PostgreSQL password in File (--ledger-password-file): its first line.
// The file must be a regular file of the user's own that nobody else may
// read or write (mode 0600 or less); none, with Error saying why.
std::optional<QString> ReadLedgerPassword(const std::string& File, QString& Error);

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
    static constexpr int SchemaVersion = 1;

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

    // Gives Station's unfinished claims back to the pool: their cards can no
    // longer be recorded done, their rows go to the next cards. The number of
    // claims given back, or -1 on failure.
    int ReleaseStation(const QString& Station);

    // The records, oldest first, each handed to Out with its line end: CSV
    // (RFC 4180, CRLF) with the header time,station,batch,serial,row,result,
    // detail and, for one Batch, its label columns; or with Json one JSON
    // object a record (JSON Lines, "\n"): time, station, batch, serial, row,
    // result, detail, blocks_written, duration_ms and labels. Batch empty:
    // every batch, and no label columns in CSV. A CSV cell that a
    // spreadsheet would take for a formula (one that begins with =, +, -, @,
    // a tab or a carriage return) gets a leading '. Times in UTC
    // (2026-12-08T06:05:31.123Z), or with LocalTimes in local time with its
    // offset. False when the batch is unknown, the database fails, or Out
    // returns false.
    bool Export(const QString& Batch, bool Json, const std::function<bool(const std::string& Line)>& Out, bool LocalTimes = false);

    // The ledger for messages: the SQLite file, or the PostgreSQL address
    // without its password.
    const QString& Place() const { return FPlaceText; }

private:
    struct TBatchRow;

    TLedger(const QString& ConnectionName, const TLedgerPlace& Place);
    bool Connect();
    bool OpenSession();
    // The connection is open, or opened again; else FError says why What
    // could not be done.
    bool Ready(const QString& What);
    bool CreateOrCheckSchema();
    // Read only: the schema is there and of a version this program reads.
    bool CheckSchemaToRead();
    bool RecordCard(const TClaim& Claim, const TCardRecord& Card);

    // Statements: each binds Values in order; a failure sets FError from What
    // and the driver's text.
    bool Exec(const QString& What, const QString& Sql, const QVariantList& Values = {}, int* Affected = nullptr);
    std::optional<std::vector<QVariantList>> Select(const QString& What, const QString& Sql, const QVariantList& Values = {});
    // A write transaction: SQLite's write lock taken at once (waiting up to
    // the busy time-out), PostgreSQL's plain BEGIN. A statement that fails
    // within it rolls it back at once.
    bool Begin();
    bool Commit();
    void Rollback();
    std::optional<TBatchRow> FindBatch(const QString& Name);
    // " FOR UPDATE" where the database locks rows, else nothing.
    QString Lock(bool SkipLocked = false) const;

    QString FConnection;
    TLedgerPlace FPlace;
    bool FReadOnly = false;
    QString FPlaceText;
    QString FError;
    bool FInTransaction = false;
};
