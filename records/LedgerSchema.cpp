// The ledger's schema: created on first use, upgraded from version 1 or 2,
// or checked to be one this program reads.
#include "records/LedgerSql.h"

#include <QRegularExpression>

#include <algorithm>

using namespace LedgerSql;

namespace {

// A card's record. result: done, failed or repeat (a card prepared before,
// shown again: it holds no claim, and its claim_id is NULL). cause: the
// failure's code (FailCauseCode), empty unless failed. Version 2's table,
// without its closing parenthesis: version 3 adds the operator.
const char* const RecordsTable = "CREATE TABLE ledger_records ("
                                 " id %1,"
                                 " recorded_at TEXT NOT NULL,"
                                 " station TEXT NOT NULL,"
                                 " batch_id BIGINT NOT NULL REFERENCES ledger_batches (id),"
                                 " serial TEXT NOT NULL,"
                                 " row_no INTEGER NOT NULL,"
                                 " result TEXT NOT NULL CHECK (result IN ('done', 'failed', 'repeat')),"
                                 " detail TEXT NOT NULL,"
                                 " blocks TEXT NOT NULL,"
                                 " duration_ms BIGINT NOT NULL,"
                                 " claim_id BIGINT,"
                                 " cause TEXT NOT NULL DEFAULT ''";
// Who worked the station when the card was recorded; empty before version 3.
const char* const OperatorColumn = "operator TEXT NOT NULL DEFAULT ''";

// The rows nobody holds, in the order they are handed out: the next free row
// is found at the front of this index however many rows are used, and the
// index shrinks as the batch goes on.
const char* const FreeRowsIndex = "CREATE INDEX ledger_rows_free ON ledger_rows (batch_id, row_no) WHERE claim_id IS NULL AND done_serial IS NULL";

// The records by what the summary and the charts count them by, each with
// its card time and time: they are counted from this index alone, in its
// order, without reading or sorting the table. Added to version 3 after it
// was first released: made as a version-3 ledger opens to write if it lacks
// it, without a version of its own, since a ledger with or without it holds
// the same records.
const char* const SummaryIndexName = "ledger_records_summary";
const char* const SummaryIndex = "CREATE INDEX IF NOT EXISTS ledger_records_summary ON ledger_records (batch_id, station, result, cause, duration_ms, recorded_at)";

// rows_left, as a batch starts or a ledger is upgraded: the free rows counted
// once. From then on every call that takes a row or gives one back keeps it
// in the same transaction.
const char* const CountRowsLeft = "UPDATE ledger_batches SET rows_left = (SELECT COUNT(*) FROM ledger_rows r"
                                  " WHERE r.batch_id = ledger_batches.id AND r.claim_id IS NULL AND r.done_serial IS NULL)";

// Schema creation waits, where the dialect has a lock for it, for a station
// creating it at the same moment; the key is any number the ledger alone uses.
constexpr qint64 SchemaLockKey = 0x4F52564C45444752; // "ORVLEDGR"

// The schema, version 3. %1 is the key column's type, which the
// databases spell differently. Times are UTC instants as ISO 8601 texts
// with milliseconds and a Z (2026-12-08T06:05:31.123Z), so that texts
// compare as the times do. A station's heartbeat, and a claim's release,
// are on the database's clock, the rest on the station's. The columns and
// cells are JSON arrays of strings.
const char* const SchemaStatements[] = {
    "CREATE TABLE ledger_schema (version INTEGER NOT NULL)",
    "CREATE TABLE ledger_batches ("
    " id %1,"
    " name TEXT NOT NULL UNIQUE,"
    " template_sha256 TEXT NOT NULL,"
    " data_sha256 TEXT NOT NULL,"
    " columns TEXT NOT NULL,"
    " created_at TEXT NOT NULL,"
    " rows_left INTEGER NOT NULL DEFAULT 0)",
    // claim_id: the open claim that holds the row; done_serial: the card
    // recorded done with it. A free row has neither.
    "CREATE TABLE ledger_rows ("
    " batch_id BIGINT NOT NULL REFERENCES ledger_batches (id),"
    " row_no INTEGER NOT NULL,"
    " cells TEXT NOT NULL,"
    " claim_id BIGINT,"
    " done_serial TEXT,"
    " PRIMARY KEY (batch_id, row_no))",
    // One card, one row.
    "CREATE UNIQUE INDEX ledger_rows_done ON ledger_rows (batch_id, done_serial) WHERE done_serial IS NOT NULL",
    FreeRowsIndex,
    // closed_how: recorded (its card's record), released (its station
    // silent) or forced (released while its station was live); NULL while
    // open. The station that closed it learns the true cause from it.
    "CREATE TABLE ledger_claims ("
    " id %1,"
    " batch_id BIGINT NOT NULL REFERENCES ledger_batches (id),"
    " row_no INTEGER NOT NULL,"
    " station TEXT NOT NULL,"
    " serial TEXT NOT NULL,"
    " claimed_at TEXT NOT NULL,"
    " is_open INTEGER NOT NULL,"
    " closed_at TEXT,"
    " closed_how TEXT CHECK (closed_how IN ('recorded', 'released', 'forced')))",
    // The database itself refuses a second open claim on a row, or for a card.
    "CREATE UNIQUE INDEX ledger_claims_row ON ledger_claims (batch_id, row_no) WHERE is_open = 1 AND row_no > 0",
    "CREATE UNIQUE INDEX ledger_claims_card ON ledger_claims (batch_id, serial) WHERE is_open = 1",
    "CREATE INDEX ledger_claims_station ON ledger_claims (station) WHERE is_open = 1",
    // Each station's last heartbeat, on the database's clock: its claims
    // are its own until it has been silent for StationSilentSeconds.
    "CREATE TABLE ledger_stations ("
    " name TEXT PRIMARY KEY,"
    " heartbeat_at TEXT NOT NULL)",
    nullptr, // the records table, RecordsTable with OperatorColumn
    "CREATE INDEX ledger_records_card ON ledger_records (batch_id, serial)",
    SummaryIndex,
};

QString WithKey(const char* Statement, const TLedgerDialect& Sql) { return QString::fromLatin1(Statement).replace(QStringLiteral("%1"), Sql.KeyColumn); }

QString RecordsTableOf(const TLedgerDialect& Sql, bool WithOperator)
{
    return WithKey(RecordsTable, Sql) + (WithOperator ? QStringLiteral(", ") + QLatin1String(OperatorColumn) : QString()) + QLatin1Char(')');
}

// Version 1 to 2: the records' result may be repeat, a record of a card
// shown again has no claim, and a failure keeps its cause; a claim keeps how
// it was closed; every stored time is made UTC; stations heartbeat.
QStringList UpgradeFromOne(const TLedgerDialect& Sql)
{
    QStringList steps;
    if (Sql.RebuildsToAlter) {
        steps << RecordsTableOf(Sql, false).replace(QStringLiteral("TABLE ledger_records ("), QStringLiteral("TABLE ledger_records_2 ("))
              << QStringLiteral("INSERT INTO ledger_records_2 (id, recorded_at, station, batch_id, serial, row_no, result, detail, blocks, duration_ms, claim_id)"
                                " SELECT id, %1, station, batch_id, serial, row_no, result, detail, blocks, duration_ms, claim_id FROM ledger_records")
                     .arg(Sql.UtcOf(QStringLiteral("recorded_at")))
              << QStringLiteral("DROP TABLE ledger_records")
              << QStringLiteral("ALTER TABLE ledger_records_2 RENAME TO ledger_records")
              << QStringLiteral("CREATE INDEX ledger_records_card ON ledger_records (batch_id, serial)");
    } else {
        steps << QStringLiteral("ALTER TABLE ledger_records DROP CONSTRAINT ledger_records_result_check")
              << QStringLiteral("ALTER TABLE ledger_records ADD CONSTRAINT ledger_records_result_check CHECK (result IN ('done', 'failed', 'repeat'))")
              << QStringLiteral("ALTER TABLE ledger_records ALTER COLUMN claim_id DROP NOT NULL")
              << QStringLiteral("ALTER TABLE ledger_records ADD COLUMN cause TEXT NOT NULL DEFAULT ''")
              << QStringLiteral("UPDATE ledger_records SET recorded_at = %1").arg(Sql.UtcOf(QStringLiteral("recorded_at")));
    }
    steps << QStringLiteral("ALTER TABLE ledger_claims ADD COLUMN closed_how TEXT CHECK (closed_how IN ('recorded', 'released', 'forced'))")
          << QStringLiteral("UPDATE ledger_claims SET claimed_at = %1, closed_at = %2").arg(Sql.UtcOf(QStringLiteral("claimed_at")), Sql.UtcOf(QStringLiteral("closed_at")))
          // Version 1 kept no cause: a closed claim without a record was given back.
          << QStringLiteral("UPDATE ledger_claims SET closed_how = CASE WHEN EXISTS (SELECT 1 FROM ledger_records r WHERE r.claim_id = ledger_claims.id)"
                            " THEN 'recorded' ELSE 'released' END WHERE is_open = 0")
          << QStringLiteral("UPDATE ledger_batches SET created_at = %1").arg(Sql.UtcOf(QStringLiteral("created_at")))
          << QStringLiteral("CREATE TABLE ledger_stations (name TEXT PRIMARY KEY, heartbeat_at TEXT NOT NULL)");
    return steps;
}

// Version 2 to 3: each record keeps its operator; the free rows get their
// index, and each batch its rows left, counted this once.
QStringList UpgradeFromTwo()
{
    return {QStringLiteral("ALTER TABLE ledger_records ADD COLUMN ") + QLatin1String(OperatorColumn),
        QStringLiteral("ALTER TABLE ledger_batches ADD COLUMN rows_left INTEGER NOT NULL DEFAULT 0"), QString::fromLatin1(FreeRowsIndex),
        QString::fromLatin1(CountRowsLeft)};
}

// From version From to this program's, one version after the other.
QStringList UpgradeSteps(const TLedgerDialect& Sql, int From)
{
    QStringList steps;
    if (From < 2)
        steps << UpgradeFromOne(Sql);
    steps << UpgradeFromTwo() << QString::fromLatin1(SummaryIndex) << QStringLiteral("UPDATE ledger_schema SET version = %1").arg(TLedger::SchemaVersion);
    return steps;
}

} // namespace

std::optional<bool> TLedger::SchemaFound()
{
    const auto found = Select(QStringLiteral("look for the schema"), FSql.CountTables, {QStringLiteral("ledger_schema")});
    if (!found || found->empty())
        return std::nullopt;
    return found->front().value(0).toInt() > 0;
}

std::optional<bool> TLedger::SchemaCurrent()
{
    const std::optional<bool> found = SchemaFound();
    if (!found || !*found)
        return found;
    const std::optional<int> known = ReadSchemaVersion();
    if (!known)
        return std::nullopt;
    if (*known != SchemaVersion)
        return false;
    const auto indexed = Select(QStringLiteral("look for the records' index"), FSql.CountIndexes, {QString::fromLatin1(SummaryIndexName)});
    if (!indexed || indexed->empty())
        return std::nullopt;
    return indexed->front().value(0).toInt() > 0;
}

bool TLedger::CreateOrCheckSchema()
{
    // A current ledger is opened without the write lock: a station storing a
    // batch's rows holds it for seconds, and one opening meanwhile must get
    // as far as waiting to join that batch.
    const std::optional<bool> current = SchemaCurrent();
    if (!current)
        return false;
    if (*current) {
        FSchema = SchemaVersion;
        return true;
    }
    if (!Begin())
        return false;
    if (!FSql.SchemaLock.isEmpty() && !Exec(QStringLiteral("wait for another station's schema"), FSql.SchemaLock, {SchemaLockKey}))
        return false;
    const std::optional<bool> found = SchemaFound();
    if (!found) {
        Rollback();
        return false;
    }
    if (!*found)
        return CreateSchema();
    const std::optional<int> known = ReadSchemaVersion();
    if (known && *known == SchemaVersion) {
        FSchema = SchemaVersion;
        // Made where the records are and it is not (a ledger is opened as
        // it is, whatever else it lacks).
        const auto indexed = Select(QStringLiteral("look for the records' index"), FSql.CountIndexes, {QString::fromLatin1(SummaryIndexName)});
        const auto records = Select(QStringLiteral("look for the records"), FSql.CountTables, {QStringLiteral("ledger_records")});
        if (!indexed || indexed->empty() || !records || records->empty()) {
            Rollback();
            return false;
        }
        if (indexed->front().value(0).toInt() > 0 || records->front().value(0).toInt() == 0) {
            Rollback();
            return true;
        }
        if (!Exec(QStringLiteral("index the records"), QString::fromLatin1(SummaryIndex)))
            return false;
        if (!Commit()) {
            Rollback();
            return false;
        }
        return true;
    }
    if (!known) {
        Rollback();
        return false;
    }
    FSchema = *known;
    return UpgradeSchema();
}

bool TLedger::CreateSchema()
{
    // Within CreateOrCheckSchema's transaction: a failure leaves no part of
    // a schema behind.
    for (const char* statement : SchemaStatements) {
        if (!Exec(QStringLiteral("create the schema"), statement ? WithKey(statement, FSql) : RecordsTableOf(FSql, true)))
            return false;
    }
    if (!Exec(QStringLiteral("create the schema"), QStringLiteral("INSERT INTO ledger_schema (version) VALUES (?)"), {SchemaVersion}) || !Commit()) {
        Rollback();
        return false;
    }
    FSchema = SchemaVersion;
    return true;
}

bool TLedger::UpgradeSchema()
{
    // Within CreateOrCheckSchema's transaction, which holds the write lock:
    // no station claims or records meanwhile, and a failure changes nothing.
    const auto open = Select(QStringLiteral("count the open claims"), QStringLiteral("SELECT COUNT(*) FROM ledger_claims WHERE is_open = 1"));
    if (!open || open->empty()) {
        Rollback();
        return false;
    }
    if (const int claims = open->front().value(0).toInt(); claims > 0) {
        Rollback();
        // The ledger stays open on its old schema for --claims and
        // --release; every other call is refused with this.
        FSchemaRefusal = QStringLiteral("ledger %1: its schema is version %2 and is upgraded to version %3 only while no claim is open, and %4 %5 open:"
                                        " stop the stations of the older Orvelle, list the claims with `orvelle-card ledger --claims` and give them"
                                        " back with `orvelle-card ledger --release STATION`")
                             .arg(FPlaceText, QString::number(FSchema), QString::number(SchemaVersion), QString::number(claims),
                                 claims == 1 ? QStringLiteral("claim is") : QStringLiteral("claims are"));
        return true;
    }
    for (const QString& step : UpgradeSteps(FSql, FSchema)) {
        if (!Exec(QStringLiteral("upgrade the schema to version %1").arg(SchemaVersion), step))
            return false;
    }
    if (!Commit()) {
        Rollback();
        return false;
    }
    FSchema = SchemaVersion;
    return true;
}

bool TLedger::StartRowsLeft(qint64 BatchId)
{
    return Exec(QStringLiteral("count the rows left"), QString::fromLatin1(CountRowsLeft) + QStringLiteral(" WHERE id = ?"), {BatchId});
}

bool TLedger::CheckSchemaToRead()
{
    const std::optional<bool> found = SchemaFound();
    if (!found)
        return false;
    if (!*found) {
        FError = QStringLiteral("ledger %1: holds no ledger; a batch makes it").arg(FPlaceText);
        return false;
    }
    // An older version is read as it is, never upgraded here.
    const std::optional<int> known = ReadSchemaVersion();
    if (!known)
        return false;
    FSchema = *known;
    return true;
}

std::optional<int> TLedger::ReadSchemaVersion()
{
    const auto versions = Select(QStringLiteral("read the schema version"), QStringLiteral("SELECT version FROM ledger_schema"));
    if (!versions)
        return std::nullopt;
    // A version that cannot be read may be anything, a newer one too.
    static const QRegularExpression number(QStringLiteral("^[0-9]{1,9}$"));
    int known = 0;
    bool readable = !versions->empty();
    for (const QVariantList& version : *versions) {
        const QString text = version.value(0).toString().trimmed();
        readable = readable && number.match(text).hasMatch();
        known = std::max(known, text.toInt());
    }
    if (!readable || known < 1) {
        FError = QStringLiteral("ledger %1: its schema version is missing or not a number, so it may be newer than this program knows (%2): use a newer Orvelle")
                     .arg(FPlaceText, QString::number(SchemaVersion));
        return std::nullopt;
    }
    if (known > SchemaVersion) {
        FError = QStringLiteral("ledger %1: its schema is version %2, newer than this program knows (%3): use a newer Orvelle")
                     .arg(FPlaceText, QString::number(known), QString::number(SchemaVersion));
        return std::nullopt;
    }
    return known;
}
