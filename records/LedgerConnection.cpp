// The ledger's connection: its session started the way its database wants,
// statements run with their values bound, transactions, and the connection
// made again when a server lost it; and the texts the ledger stores (times,
// JSON arrays, serials).
#include "records/LedgerSql.h"

#include "records/Records.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>

#include <sys/stat.h>

using namespace LedgerSql;

QString LedgerSql::JsonText(const QJsonArray& Array) { return QString::fromUtf8(QJsonDocument(Array).toJson(QJsonDocument::Compact)); }
QJsonArray LedgerSql::JsonArrayOf(const QString& Text) { return QJsonDocument::fromJson(Text.toUtf8()).array(); }

QStringList LedgerSql::ListOf(const QString& Json)
{
    QStringList out;
    const QJsonArray array = JsonArrayOf(Json);
    for (const auto& value : array)
        out << value.toString();
    return out;
}

QString LedgerSql::SerialHex(const TSerial& Serial) { return QString::fromStdString(SerialText(Serial)); }

QString LedgerSql::UtcText(const QDateTime& When) { return When.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'")); }
QString LedgerSql::Now() { return UtcText(QDateTime::currentDateTimeUtc()); }
QDateTime LedgerSql::StoredTime(const QVariant& Text) { return QDateTime::fromString(Text.toString(), Qt::ISODateWithMs); }

QString LedgerSql::DriverText(const QSqlError& Error)
{
    // One line: PostgreSQL's text has its detail and hint on lines of their own.
    QString database = Error.databaseText().simplified();
    if (database.endsWith(QStringLiteral(" ()")))
        database.chop(3);
    const QString driver = Error.driverText().simplified();
    if (database.isEmpty() || database == driver)
        return driver.isEmpty() ? QStringLiteral("unknown database error") : driver;
    if (driver.isEmpty())
        return database;
    return driver + QStringLiteral(": ") + database;
}

bool LedgerSql::LockWaitedOut(const QSqlError& Error)
{
    // PostgreSQL's lock_not_available; SQLite's busy, once its handler gave up.
    const QString code = Error.nativeErrorCode();
    return code == QLatin1String("55P03") || code == QLatin1String("5") || Error.databaseText().contains(QLatin1String("database is locked"));
}

bool LedgerSql::Run(QSqlQuery& Query, const QString& Sql, const QVariantList& Values)
{
    // A statement without values is run as it is: PostgreSQL prepares only
    // queries, not BEGIN or SET.
    if (Values.isEmpty())
        return Query.exec(Sql);
    if (!Query.prepare(Sql))
        return false;
    // An empty text is a text, never NULL.
    for (const QVariant& value : Values)
        Query.addBindValue(value.typeId() == QMetaType::QString && value.toString().isNull() ? QVariant(QStringLiteral("")) : value);
    return Query.exec();
}

bool TLedger::OpenSession()
{
    QSqlDatabase db = QSqlDatabase::database(FConnection, false);
    if (!db.open()) {
        const QString said = DriverText(db.lastError());
        // The driver says what failed; the operator needs what to do next.
        const QString step = !FPlace.PostgreSql ? QStringLiteral("check that the file and its folder are yours and writable")
            : said.contains(QLatin1String("password"), Qt::CaseInsensitive)
            ? QStringLiteral("check the password file (--ledger-password-file), PGPASSWORD or ~/.pgpass")
            : QStringLiteral("start the server, or check the address");
        FError = QStringLiteral("ledger %1: cannot be opened: %2: %3").arg(FPlaceText, said, step);
        return false;
    }
    if (FSql.WriteAheadLog && !FReadOnly && !UseWriteAheadLog())
        return false;
    return StartSession();
}

bool TLedger::StartSession()
{
    for (const TSessionStep& step : FReadOnly ? FSql.ReadSession : FSql.Session) {
        if (!Exec(step.What, step.Sql))
            return false;
    }
    return true;
}

bool TLedger::UseWriteAheadLog()
{
    // Switching a new file to WAL needs it to itself for a moment, and SQLite
    // answers "locked" at once rather than wait for its busy handler: another
    // station opening the same new ledger is waited for here, up to the
    // same time-out.
    std::optional<std::vector<QVariantList>> mode;
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        mode = Select(QStringLiteral("use the write-ahead log"), QStringLiteral("PRAGMA journal_mode = WAL"));
        if (mode || !FError.contains(QLatin1String("locked")) || waited.elapsed() >= LockWaitMs)
            break;
        QThread::msleep(20);
    }
    if (!mode)
        return false;
    const QString said = mode->empty() ? QString() : mode->front().value(0).toString();
    if (said.compare(QStringLiteral("wal"), Qt::CaseInsensitive) != 0) {
        FError = QStringLiteral("ledger %1: SQLite keeps its journal as %2, not in a write-ahead log (WAL): put the ledger on a local disk").arg(FPlaceText, said);
        return false;
    }
    return true;
}

bool TLedger::Ready(const QString& What)
{
    QSqlDatabase db = QSqlDatabase::database(FConnection, false);
    if (db.isOpen())
        return true;
    // The driver closes a connection the server dropped. Between two calls
    // it is made again (a server restarted); within a transaction the
    // transaction is gone with it.
    FDatabaseFailed = true;
    if (FInTransaction) {
        FInTransaction = false;
        FError = QStringLiteral("ledger %1: cannot %2: the connection to the database was lost").arg(FPlaceText, What);
        return false;
    }
    if (OpenSession())
        return true;
    FDatabaseFailed = true;
    FError = QStringLiteral("ledger %1: cannot %2: the connection to the database was lost and cannot be made again: %3").arg(FPlaceText, What, DriverText(db.lastError()));
    return false;
}

bool TLedger::Exec(const QString& What, const QString& Sql, const QVariantList& Values, int* Affected)
{
    if (!Ready(What))
        return false;
    QSqlQuery query(QSqlDatabase::database(FConnection, false));
    if (!Run(query, Sql, Values)) {
        FDatabaseFailed = true;
        FLockTimedOut = LockWaitedOut(query.lastError());
        FError = QStringLiteral("ledger %1: cannot %2: %3").arg(FPlaceText, What, DriverText(query.lastError()));
        // Ended before the statement is freed, which an aborted
        // PostgreSQL transaction would refuse.
        Rollback();
        return false;
    }
    if (Affected)
        *Affected = query.numRowsAffected();
    return true;
}

std::optional<std::vector<QVariantList>> TLedger::Select(const QString& What, const QString& Sql, const QVariantList& Values)
{
    if (!Ready(What))
        return std::nullopt;
    QSqlQuery query(QSqlDatabase::database(FConnection, false));
    query.setForwardOnly(true);
    const auto fail = [&]() {
        FDatabaseFailed = true;
        FLockTimedOut = LockWaitedOut(query.lastError());
        FError = QStringLiteral("ledger %1: cannot %2: %3").arg(FPlaceText, What, DriverText(query.lastError()));
        Rollback();
        return std::nullopt;
    };
    if (!Run(query, Sql, Values))
        return fail();
    std::vector<QVariantList> rows;
    const int columns = query.record().count();
    while (query.next()) {
        QVariantList row;
        for (int i = 0; i < columns; ++i)
            row << query.value(i);
        rows.push_back(row);
    }
    if (query.lastError().type() != QSqlError::NoError)
        return fail();
    return rows;
}

bool TLedger::Begin()
{
    if (!Exec(QStringLiteral("begin a transaction"), FSql.BeginWrite))
        return false;
    FInTransaction = true;
    return true;
}

bool TLedger::Commit()
{
    if (!Exec(QStringLiteral("commit"), QStringLiteral("COMMIT")))
        return false;
    FInTransaction = false;
    return true;
}

void TLedger::Rollback()
{
    if (!FInTransaction)
        return;
    FInTransaction = false;
    // The reason the work stopped stays the error, not this.
    QSqlQuery query(QSqlDatabase::database(FConnection, false));
    query.exec(QStringLiteral("ROLLBACK"));
}

bool TLedger::Reconnected()
{
    // A file has no connection to lose; a rule's refusal, or a failure the
    // session survived (a lock waited for too long), is no lost connection.
    if (!FSql.Reconnects || !FDatabaseFailed)
        return false;
    QSqlDatabase db = QSqlDatabase::database(FConnection, false);
    if (db.isOpen()) {
        QSqlQuery probe(db);
        if (probe.exec(QStringLiteral("SELECT 1")))
            return false;
    }
    // A server restarted or a network cut: the old session is of no use.
    FInTransaction = false;
    db.close();
    const QString lost = FError;
    // A server restarting takes a moment: it is waited for up to the lock
    // time-out, so a card finished meanwhile is still recorded.
    QElapsedTimer waited;
    waited.start();
    while (!db.open()) {
        if (waited.elapsed() >= LockWaitMs) {
            FError = QStringLiteral("%1; the connection to the database was lost and cannot be made again: %2").arg(lost, DriverText(db.lastError()));
            return false;
        }
        QThread::msleep(250);
    }
    if (!StartSession()) {
        FError = lost + QStringLiteral("; ") + FError;
        return false;
    }
    FError.clear();
    FDatabaseFailed = false;
    return true;
}

bool TLedger::Usable(bool CheckFile)
{
    if (!FSchemaRefusal.isEmpty()) {
        FError = FSchemaRefusal;
        return false;
    }
    if (!CheckFile || !FFileKnown)
        return true;
    // SQLite goes on writing the file it opened, even once it is unlinked:
    // a station on a replaced ledger would record where no one looks.
    struct stat now { };
    if (::stat(LocalPath(FPlace.File).c_str(), &now) == 0 && quint64(now.st_dev) == FFileDevice && quint64(now.st_ino) == FFileInode)
        return true;
    FError = QStringLiteral("the ledger file %1 was removed or replaced while this station ran: stop and check which file is the ledger before going on")
                 .arg(FPlaceText);
    return false;
}
