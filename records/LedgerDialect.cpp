// The two databases a ledger is kept in, each described once. To keep the
// ledger in a third: a TLedgerDialect here with its words and connection
// settings, DialectOf returning it for its places, and ParseLedgerPlace
// knowing its addresses. Its SQL must take ? placeholders (Qt maps them),
// INSERT ... ON CONFLICT ... RETURNING and partial unique indexes.
#include "records/LedgerSql.h"

#include "records/Records.h"

#include <QUrl>

#include <unistd.h>

using namespace LedgerSql;

namespace {

// PostgreSQL over TCP: the first keep-alive after this much quiet, then
// one every interval, the connection given up after count unanswered.
constexpr int KeepAliveIdleSeconds = 5;
constexpr int KeepAliveIntervalSeconds = 2;
constexpr int KeepAliveCount = 3;

void ConfigureSqlite(QSqlDatabase& Db, const TLedgerPlace& Place, bool ReadOnly)
{
    Db.setDatabaseName(Place.File);
    if (!ReadOnly) {
        Db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(LockWaitMs));
        return;
    }
    QString options = QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1;QSQLITE_OPEN_READONLY").arg(LockWaitMs);
    // A WAL ledger is read with its -wal and -shm, which SQLite cannot
    // make in a folder the user may not write (another user's, a
    // read-only disk). Without a -wal nobody has the ledger open: it is
    // read as it lies.
    const std::string file = LocalPath(Place.File);
    if (::access((file + "-wal").c_str(), F_OK) != 0 && ::access(FolderOf(file).c_str(), W_OK) != 0) {
        options += QStringLiteral(";QSQLITE_OPEN_URI");
        Db.setDatabaseName(QUrl::fromLocalFile(Place.File).toString(QUrl::FullyEncoded) + QStringLiteral("?mode=ro&immutable=1"));
    }
    Db.setConnectOptions(options);
}

void ConfigurePostgreSql(QSqlDatabase& Db, const TLedgerPlace& Place, bool /*ReadOnly: a session setting*/)
{
    Db.setDatabaseName(Place.Database);
    if (!Place.Host.isEmpty())
        Db.setHostName(Place.Host);
    if (Place.Port >= 0)
        Db.setPort(Place.Port);
    if (!Place.User.isEmpty())
        Db.setUserName(Place.User);
    if (!Place.Password.isEmpty())
        Db.setPassword(Place.Password);
    // Keep-alives and a TCP user time-out: a network cut makes a statement
    // fail within about as long as the lock time-out, rather than freeze
    // the station until the kernel gives up (libpq ignores them on a
    // Unix socket).
    QString options = QStringLiteral("connect_timeout=%1;keepalives=1;keepalives_idle=%2;keepalives_interval=%3;keepalives_count=%4;tcp_user_timeout=%5")
                          .arg(Place.ConnectTimeout)
                          .arg(KeepAliveIdleSeconds)
                          .arg(KeepAliveIntervalSeconds)
                          .arg(KeepAliveCount)
                          .arg(LockWaitMs + 5000);
    if (!Place.SslMode.isEmpty())
        options += QStringLiteral(";sslmode=") + Place.SslMode;
    Db.setConnectOptions(options);
}

// One file, locked whole by a writer: BEGIN IMMEDIATE waits for the lock
// (up to the busy time-out) before anything is read, where Qt's deferred
// transaction would fail at once when another station writes. Nothing to
// lock row by row.
TLedgerDialect MakeSqlite()
{
    TLedgerDialect d;
    d.Driver = QStringLiteral("QSQLITE");
    d.DriverMissing = QStringLiteral("ledger: Qt's SQLite driver is not installed (Debian package libqt6sql6-sqlite)");
    d.LocalFile = true;
    d.Configure = ConfigureSqlite;
    // WAL: a station claiming does not stop another one reading, and a
    // commit is one write. FULL: a card recorded stays recorded through a
    // power cut. Read only, the journal is left as the stations keep it.
    d.WriteAheadLog = true;
    d.Session = {{QStringLiteral("set the synchronous mode"), QStringLiteral("PRAGMA synchronous = FULL")},
        {QStringLiteral("turn the foreign keys on"), QStringLiteral("PRAGMA foreign_keys = ON")}};
    d.BeginWrite = QStringLiteral("BEGIN IMMEDIATE");
    d.KeyColumn = QStringLiteral("INTEGER PRIMARY KEY");
    d.CountTables = QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = ?");
    d.CountIndexes = QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND name = ?");
    d.RebuildsToAlter = true;
    d.ClockAt = QStringLiteral("strftime('%Y-%m-%dT%H:%M:%fZ', 'now', '%1 seconds')");
    d.AgeMs = QStringLiteral("CAST(ROUND((julianday('now') - julianday(%1)) * 86400000) AS INTEGER)");
    d.StoredUtc = QStringLiteral("strftime('%Y-%m-%dT%H:%M:%fZ', %1)");
    // Changes with every commit of another connection, heartbeats too.
    d.ChangeMark = QStringLiteral("PRAGMA data_version");
    return d;
}

// A server shared by the stations: rows are locked one by one, and a row
// another station is claiming is passed over rather than waited for.
TLedgerDialect MakePostgreSql()
{
    TLedgerDialect d;
    d.Driver = QStringLiteral("QPSQL");
    d.DriverMissing = QStringLiteral("ledger: Qt's PostgreSQL driver is not installed (Debian package libqt6sql6-psql)");
    d.Reconnects = true;
    d.Configure = ConfigurePostgreSql;
    const TSessionStep lockTimeOut{QStringLiteral("set the lock time-out"), QStringLiteral("SET lock_timeout = %1").arg(LockWaitMs)};
    d.Session = {lockTimeOut};
    d.ReadSession = {lockTimeOut, {QStringLiteral("read only"), QStringLiteral("SET default_transaction_read_only = on")}};
    d.BeginWrite = QStringLiteral("BEGIN");
    d.KeyColumn = QStringLiteral("BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY");
    d.CountTables = QStringLiteral("SELECT COUNT(*) FROM information_schema.tables WHERE table_schema = current_schema() AND table_name = ?");
    d.CountIndexes = QStringLiteral("SELECT COUNT(*) FROM pg_indexes WHERE schemaname = current_schema() AND indexname = ?");
    d.SchemaLock = QStringLiteral("SELECT pg_advisory_xact_lock(?)");
    // Qt's driver has no COPY: a round trip a row would make a million rows
    // a matter of minutes, arrays of rows a few seconds.
    d.StoreRowsChunk = QStringLiteral("INSERT INTO ledger_rows (batch_id, row_no, cells) SELECT ?, n, c"
                                      " FROM unnest(CAST(? AS integer[]), CAST(? AS text[])) AS t(n, c)");
    d.RowsAStatement = 5000;
    d.RowsStored = QStringLiteral("ANALYZE ledger_rows");
    d.LockRows = QStringLiteral(" FOR UPDATE");
    d.LockRowsSkipping = QStringLiteral(" FOR UPDATE SKIP LOCKED");
    d.LockClaims = QStringLiteral(" FOR UPDATE OF c");
    d.Notify = QStringLiteral("SELECT pg_notify('orvelle_ledger', ?)");
    d.ClockAt = QStringLiteral("to_char((now() + interval '%1 seconds') AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')");
    d.AgeMs = QStringLiteral("CAST(EXTRACT(EPOCH FROM (now() - CAST(%1 AS timestamptz))) * 1000 AS BIGINT)");
    d.StoredUtc = QStringLiteral("to_char(CAST(%1 AS timestamptz) AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')");
    // Keys only grow, and a claim closed lowers the open count: each read
    // by an index.
    d.ChangeMark = QStringLiteral("SELECT (SELECT MAX(id) FROM ledger_batches), (SELECT MAX(id) FROM ledger_records),"
                                  " (SELECT MAX(id) FROM ledger_claims), (SELECT COUNT(*) FROM ledger_claims WHERE is_open = 1)");
    return d;
}

} // namespace

const TLedgerDialect& LedgerSql::DialectOf(const TLedgerPlace& Place)
{
    static const TLedgerDialect sqlite = MakeSqlite();
    static const TLedgerDialect postgreSql = MakePostgreSql();
    return Place.PostgreSql ? postgreSql : sqlite;
}
