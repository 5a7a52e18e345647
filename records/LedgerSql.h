#pragma once
// What the ledger's files share, and nothing outside records/ includes: the
// dialect (what SQLite and PostgreSQL say differently), the times and JSON
// texts as stored, and the statement runner. TLedger's callers see
// records/Ledger.h only.

#include "records/Ledger.h"
#include "session/CardWords.h"

#include <QDateTime>
#include <QJsonArray>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <vector>

class QSqlError;
class QSqlQuery;

namespace LedgerSql {

// How long a station waits for another station's write lock before the call
// fails: a claim holds it for a few statements, so this is a stuck ledger.
constexpr int LockWaitMs = 10000;
// How long a station starting a batch waits for another station that is
// storing the same batch's rows (a million rows take a while), asking again
// every StartRetryMs.
constexpr int StartWaitMs = 10 * 60 * 1000;
constexpr int StartRetryMs = 1000;

// A statement a session starts with: its SQL, and what it does for a
// message.
struct TSessionStep {
    QString What;
    QString Sql;
};

} // namespace LedgerSql

// Everything the ledger says or does differently in each database, chosen
// once when a ledger opens (DialectOf) and read everywhere else: a statement
// is written once, with the dialect's words put in, and no other code asks
// which database it runs on. A third database is one more of these (see
// LedgerDialect.cpp).
struct TLedgerDialect {
    QString Driver;        // Qt SQL's driver
    QString DriverMissing; // the error when Qt lacks that driver
    // The ledger is a file on this machine: the file rule is applied when it
    // opens, and a file removed or replaced under a station is noticed.
    bool LocalFile = false;
    // A connection to a server, which a restart or a network cut loses and
    // which is then made again.
    bool Reconnects = false;
    // The connection's settings (host, time-outs, read only) for a place.
    void (*Configure)(QSqlDatabase& Db, const TLedgerPlace& Place, bool ReadOnly) = nullptr;
    // The journal is switched to a write-ahead log before anything else,
    // when the ledger is opened to write.
    bool WriteAheadLog = false;
    // Run, in order, on every connection made: to write, to only read.
    std::vector<LedgerSql::TSessionStep> Session;
    std::vector<LedgerSql::TSessionStep> ReadSession;

    // A write transaction's first statement: it takes the write lock at
    // once where the database locks the whole file.
    QString BeginWrite;
    // The key column's type in CREATE TABLE.
    QString KeyColumn;
    // COUNT(*) of the tables named by the one value bound, in the ledger's
    // schema.
    QString CountTables;
    // The same for indexes.
    QString CountIndexes;
    // Run first in the schema's transaction, with the ledger's lock key
    // bound, so that two stations never create it together; empty where the
    // write transaction already keeps them apart.
    QString SchemaLock;
    // An old records table gets its new constraints by a copy into a new
    // table, where the database cannot change a table's constraints in
    // place.
    bool RebuildsToAlter = false;
    // A new batch's rows, many in one statement: bound are the batch, then
    // the rows' numbers and their cells as array texts ('{1,2}',
    // '{"..","..."}'). Empty where one prepared statement a row, reused in
    // the transaction, is as fast (a file: no round trip a statement).
    QString StoreRowsChunk;
    int RowsAStatement = 1;
    // Run once a new batch's rows are stored, in the same transaction: the
    // planner's counts made again, where a table grown from nothing to a
    // million rows would otherwise be read whole for every claim.
    QString RowsStored;

    // Put after a SELECT: it locks the rows it reads; it also passes over
    // rows other stations hold locked; it locks only the claims (alias c)
    // of a join. Empty where the write transaction locks everything.
    QString LockRows;
    QString LockRowsSkipping;
    QString LockClaims;

    // Tells the ledger's listeners (other stations, a line window) that the
    // batch named by the one value bound changed, when the transaction
    // commits; empty where nobody can listen.
    QString Notify;

    // The database's clock as a stored time, %1 seconds from now.
    QString ClockAt;
    // How long ago the stored time %1 was, in ms, by the database's clock.
    QString AgeMs;
    // The stored time %1 (of any offset) as stored times are: UTC, ms, Z.
    QString StoredUtc;
    // A query whose first row changes when a station writes what the line
    // shows.
    QString ChangeMark;

    QString Clock(int Seconds = 0) const { return ClockAt.arg(Seconds); }
    QString AgeMsOf(const QString& Column) const { return AgeMs.arg(Column); }
    QString UtcOf(const QString& Column) const { return StoredUtc.arg(Column); }
};

namespace LedgerSql {

// The dialect of the database Place names.
const TLedgerDialect& DialectOf(const TLedgerPlace& Place);

// The driver's words, on one line, without saying the same thing twice.
QString DriverText(const QSqlError& Error);
// The statement failed for a lock another connection held past the wait.
bool LockWaitedOut(const QSqlError& Error);
// Prepares Sql and binds Values in order (an empty text as a text, never
// NULL); a statement without values is run as it is.
bool Run(QSqlQuery& Query, const QString& Sql, const QVariantList& Values);

// The columns, cells and written blocks are stored as JSON arrays.
QString JsonText(const QJsonArray& Array);
QJsonArray JsonArrayOf(const QString& Text);
QStringList ListOf(const QString& Json);

QString SerialHex(const TSerial& Serial);

// A station's time as stored: UTC, with milliseconds and a Z.
QString UtcText(const QDateTime& When);
QString Now();
QDateTime StoredTime(const QVariant& Text);
// A stored time in UTC (Z), or in local time with its offset; a text that is
// no such time is given as it is.
QString ExportTime(const QString& Stored, bool Local);
// " WHERE " and the conditions joined by AND; nothing without one.
QString WhereText(const QStringList& Where);
// The stored time in Column as Dialect's UtcOf gives it, converted only
// where it is not stored so already.
QString StoredUtcOf(const TLedgerDialect& Dialect, const QString& Column);

// The folder of a local path ("." for a bare name).
std::string FolderOf(const std::string& Path);
// The rule an SQLite ledger file passes before it is opened (see
// TLedger::Open): true with Place.File made the file the path leads to, or
// false with Error saying why. DefaultFile: the default ledger, whose folder
// is made here for the user alone.
bool AdmitFile(TLedgerPlace& Place, const TLedgerAccess& Access, bool DefaultFile, QString& Error);

} // namespace LedgerSql

// A batch as a claim needs it.
struct TLedger::TBatchRow {
    qint64 Id = 0;
    bool HasData = false;
};

template <typename TCall>
auto TLedger::Retried(TCall Call) -> decltype(Call())
{
    FDatabaseFailed = false;
    auto result = Call();
    if (!Reconnected())
        return result;
    return Call();
}
