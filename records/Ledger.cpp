#include "records/Ledger.h"

#include "protocol/BatchData.h"
#include "protocol/SafeFile.h"
#include "records/Records.h"
#include "session/CardWords.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>
#include <QUrl>
#include <QUrlQuery>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// A card's record. result: done, failed or repeat (a card prepared before,
// shown again: it holds no claim, and its claim_id is NULL). cause: the
// failure's code (FailCauseCode), empty unless failed.
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
                                 " cause TEXT NOT NULL DEFAULT '')";

const QString SqliteDriver = QStringLiteral("QSQLITE");
const QString PostgreSqlDriver = QStringLiteral("QPSQL");

// How long a station waits for another station's write lock before the call
// fails: a claim holds it for a few statements, so this is a stuck ledger.
constexpr int LockWaitMs = 10000;

// PostgreSQL over TCP: the first keep-alive after this much quiet, then
// one every interval, the connection given up after count unanswered.
constexpr int KeepAliveIdleSeconds = 5;
constexpr int KeepAliveIntervalSeconds = 2;
constexpr int KeepAliveCount = 3;

// Schema creation in PostgreSQL waits for a station creating it at the same
// moment; the key is any number the ledger alone uses.
constexpr qint64 SchemaLockKey = 0x4F52564C45444752; // "ORVLEDGR"

// The schema, version 2. %1 is the key column's type, which the two
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
    " created_at TEXT NOT NULL)",
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
    RecordsTable,
    "CREATE INDEX ledger_records_card ON ledger_records (batch_id, serial)",
};

QString DataDirectory()
{
    const QString data = qEnvironmentVariable("XDG_DATA_HOME");
    const QString base = !data.isEmpty() && QDir::isAbsolutePath(data) ? data : QDir::homePath() + QStringLiteral("/.local/share");
    return QDir::cleanPath(base + QStringLiteral("/orvelle"));
}

QString JsonText(const QJsonArray& Array) { return QString::fromUtf8(QJsonDocument(Array).toJson(QJsonDocument::Compact)); }
QJsonArray JsonArrayOf(const QString& Text) { return QJsonDocument::fromJson(Text.toUtf8()).array(); }

QStringList ListOf(const QString& Json)
{
    QStringList out;
    const QJsonArray array = JsonArrayOf(Json);
    for (const auto& value : array)
        out << value.toString();
    return out;
}

QString BlocksText(const std::vector<int>& Blocks)
{
    QJsonArray array;
    for (const int block : Blocks)
        array.append(block);
    return JsonText(array);
}

QString SerialHex(const TSerial& Serial) { return QString::fromStdString(SerialText(Serial)); }

// The driver's words, without saying the same thing twice.
QString DriverText(const QSqlError& Error)
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

// RFC 4180: a field with a comma, a quote or a line break is quoted, its
// quotes doubled. A spreadsheet runs a cell that begins with =, +, - or @
// (or with a tab or a carriage return before one) as a formula: such a cell,
// whose text may come from a data file or a card, gets a leading ' and
// stays text.
QString CsvField(const QString& Field)
{
    static const QRegularExpression formula(QStringLiteral("^[=+\\-@\t\r]"));
    static const QRegularExpression special(QStringLiteral("[,\"\r\n]"));
    QString quoted = Field.contains(formula) ? QLatin1Char('\'') + Field : Field;
    if (!quoted.contains(special))
        return quoted;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

std::string CsvLine(const QStringList& Fields)
{
    QString line;
    for (int i = 0; i < Fields.size(); ++i) {
        if (i > 0)
            line += QLatin1Char(',');
        line += CsvField(Fields[i]);
    }
    return line.toStdString() + "\r\n";
}

// The positions of a batch's label columns.
std::vector<int> LabelColumns(const QStringList& Columns)
{
    std::vector<int> out;
    for (int i = 0; i < Columns.size(); ++i) {
        if (!IsCardDataColumn(Columns[i]))
            out.push_back(i);
    }
    return out;
}

// A station's time as stored: UTC, with milliseconds and a Z.
QString UtcText(const QDateTime& When) { return When.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'")); }
QString Now() { return UtcText(QDateTime::currentDateTimeUtc()); }
QDateTime StoredTime(const QVariant& Text) { return QDateTime::fromString(Text.toString(), Qt::ISODateWithMs); }
// A stored time as the station's operator reads it: the station's clock.
QString ClockText(const QVariant& Text)
{
    const QDateTime when = StoredTime(Text);
    return when.isValid() ? when.toLocalTime().toString(QStringLiteral("HH:mm:ss")) : QStringLiteral("an unknown time");
}

// A stored time (ISO 8601 with its offset, or Z) in UTC, or in local time
// with its offset; a text that is no such time is given as it is.
QString ExportTime(const QString& Stored, bool Local)
{
    const QDateTime when = QDateTime::fromString(Stored, Qt::ISODateWithMs);
    if (!when.isValid())
        return Stored;
    return Local ? IsoTimeStamp(when.toLocalTime()) : when.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"));
}

std::string ModeText(mode_t Mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", unsigned(Mode & 07777));
    return text;
}

std::string SystemError(const std::string& Path) { return Path + ": " + std::strerror(errno); }

std::string FolderOf(const std::string& Path)
{
    const size_t slash = Path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : Path.substr(0, slash);
}

// The file a read of Path goes to, by SafeFile's rule for links: one level,
// and only a link of the user's own. The file itself may be any user's; it
// may be missing.
std::optional<std::string> ReadTarget(const std::string& Path, std::string& Error)
{
    struct stat st { };
    if (::lstat(Path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return Path;
        Error = SystemError(Path);
        return std::nullopt;
    }
    if (!S_ISLNK(st.st_mode))
        return Path;
    if (st.st_uid != ::geteuid()) {
        Error = Path + " is a symbolic link of another user (uid " + std::to_string(st.st_uid) + "): not followed";
        return std::nullopt;
    }
    char to[4096];
    const ssize_t n = ::readlink(Path.c_str(), to, sizeof to - 1);
    if (n <= 0) {
        Error = SystemError(Path);
        return std::nullopt;
    }
    const std::string target(to, size_t(n));
    const std::string file = target.starts_with('/') ? target : FolderOf(Path) + "/" + target;
    if (::lstat(file.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        Error = Path + " leads to another symbolic link, " + file + ": only one link is followed";
        return std::nullopt;
    }
    return file;
}

// Why SQLite must not take Path, a file of the ledger or its folder, as it
// is: a user other than Trusted may have written it, and SQLite takes what
// it finds beside the ledger (a -wal's pages) as part of it. Empty when it
// is safe, or missing (then Missing says so).
QString Untrusted(const std::string& Path, bool Folder, const std::vector<uid_t>& Trusted, const QString& OwnerFix, bool& Missing)
{
    Missing = false;
    struct stat st { };
    if (::lstat(Path.c_str(), &st) != 0) {
        Missing = errno == ENOENT;
        return Missing ? QString() : FromLocalPath(SystemError(Path));
    }
    const QString name = (Folder ? QStringLiteral("the folder ") : QString()) + FromLocalPath(Path);
    if (!Folder && !S_ISREG(st.st_mode)) {
        const char* kind = S_ISDIR(st.st_mode)           ? "a folder"
            : S_ISFIFO(st.st_mode)                       ? "a FIFO"
            : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                                                         : "something else";
        return name + QStringLiteral(" is %1, not a regular file").arg(QLatin1String(kind));
    }
    if (std::find(Trusted.begin(), Trusted.end(), st.st_uid) == Trusted.end()) {
        const QString whose = Trusted.size() > 1 && Trusted[1] != Trusted[0]
            ? QStringLiteral("you (uid %1) nor to the ledger file's owner (uid %2)").arg(Trusted[0]).arg(Trusted[1])
            : QStringLiteral("you (uid %1)").arg(Trusted[0]);
        return QStringLiteral("%1 belongs to another user (uid %2), not to %3: %4").arg(name, QString::number(st.st_uid), whose, OwnerFix);
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return QStringLiteral("%1 may be written by group or others (mode %2): chmod go-w %3%4")
            .arg(name, QString::fromStdString(ModeText(st.st_mode)), FromLocalPath(Path),
                Folder ? QStringLiteral(", or keep the ledger in a folder of your own") : QString());
    }
    return {};
}

} // namespace

std::optional<QString> ReadLedgerPassword(const std::string& File, QString& Error)
{
    const QString name = FromLocalPath(File);
    const auto refused = [&](const QString& Why) {
        Error = QStringLiteral("ledger password file %1: %2").arg(name, Why);
        return std::nullopt;
    };
    std::string why;
    const std::optional<std::string> target = ReadTarget(File, why);
    if (!target)
        return refused(FromLocalPath(why));
    // Opened without waiting: a FIFO or a device is refused by its look.
    const int fd = ::open(target->c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return refused(QString::fromLocal8Bit(std::strerror(errno)));
    struct stat st { };
    QByteArray text;
    QString bad;
    if (::fstat(fd, &st) != 0)
        bad = QString::fromLocal8Bit(std::strerror(errno));
    else if (!S_ISREG(st.st_mode))
        bad = QStringLiteral("not a regular file");
    else if (st.st_uid != ::geteuid())
        bad = QStringLiteral("belongs to another user (uid %1), not to you (uid %2): use a file of your own").arg(st.st_uid).arg(::geteuid());
    else if ((st.st_mode & 077) != 0)
        bad = QStringLiteral("others may read or write it (mode %1): chmod 600 %2").arg(QString::fromStdString(ModeText(st.st_mode)), name);
    else {
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(fd, buffer, sizeof buffer)) != 0 && text.size() < 65536) {
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                bad = QString::fromLocal8Bit(std::strerror(errno));
                break;
            }
            text.append(buffer, n);
        }
    }
    ::close(fd);
    if (!bad.isEmpty())
        return refused(bad);
    const qsizetype end = text.indexOf('\n');
    QByteArray line = end < 0 ? text : text.left(end);
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty())
        return refused(QStringLiteral("its first line holds no password"));
    return QString::fromUtf8(line);
}

QString DefaultLedgerFile() { return DataDirectory() + QStringLiteral("/ledger.sqlite"); }

// The data file's own rule, so that a column the card was written from is
// never exported as a label.
bool IsCardDataColumn(const QString& Column) { return DataColumnOf(Column.toStdString()).has_value(); }

std::optional<TLedgerPlace> ParseLedgerPlace(const QString& Address, QString& Error)
{
    TLedgerPlace place;
    static const QRegularExpression scheme(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*)://"));
    const QRegularExpressionMatch match = scheme.match(Address);
    if (!match.hasMatch()) {
        place.File = Address.isEmpty() ? DefaultLedgerFile() : Address;
        return place;
    }
    const QString name = match.captured(1).toLower();
    if (name != QStringLiteral("postgresql") && name != QStringLiteral("postgres")) {
        Error = QStringLiteral("ledger %1: only postgresql:// addresses or files are ledgers").arg(Address);
        return std::nullopt;
    }
    const QUrl url(Address, QUrl::StrictMode);
    // The address may carry a password: it is never repeated in a message.
    const auto bad = [&](const QString& Why) {
        Error = QStringLiteral("ledger address %1: %2").arg(url.isValid() ? url.toDisplayString(QUrl::RemovePassword) : name + QStringLiteral("://..."), Why);
        return std::nullopt;
    };
    if (!url.isValid())
        return bad(QStringLiteral("not a valid address (postgresql://[USER[:PASSWORD]@]HOST[:PORT]/DBNAME)"));
    if (url.hasFragment())
        return bad(QStringLiteral("a fragment (#...) means nothing here"));
    // Every user of the machine may read a command line (ps, /proc).
    if (!url.password().isEmpty())
        return bad(QStringLiteral("a password is never given in the address: it comes from PGPASSWORD, ~/.pgpass or --ledger-password-file FILE"));
    place.PostgreSql = true;
    place.User = url.userName(QUrl::FullyDecoded);
    place.Host = url.host(QUrl::FullyDecoded);
    place.Port = url.port(-1);
    const QString path = url.path(QUrl::FullyDecoded);
    place.Database = path.mid(1);
    if (!path.startsWith(QLatin1Char('/')) || place.Database.isEmpty() || place.Database.contains(QLatin1Char('/')))
        return bad(QStringLiteral("the database name is missing (.../DBNAME)"));
    const QUrlQuery query(url);
    for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (key == QStringLiteral("host")) {
            place.Host = value;
        } else if (key == QStringLiteral("sslmode")) {
            static const QStringList modes{QStringLiteral("disable"), QStringLiteral("allow"), QStringLiteral("prefer"),
                QStringLiteral("require"), QStringLiteral("verify-ca"), QStringLiteral("verify-full")};
            if (!modes.contains(value))
                return bad(QStringLiteral("sslmode is one of ") + modes.join(QStringLiteral(", ")));
            place.SslMode = value;
        } else if (key == QStringLiteral("connect_timeout")) {
            bool ok = false;
            place.ConnectTimeout = value.toInt(&ok);
            if (!ok || place.ConnectTimeout < 1)
                return bad(QStringLiteral("connect_timeout is a number of seconds"));
        } else {
            return bad(QStringLiteral("unknown setting %1 (host, sslmode and connect_timeout are known)").arg(key));
        }
    }
    return place;
}

struct TLedger::TBatchRow {
    qint64 Id = 0;
    bool HasData = false;
};

TLedger::TLedger(const QString& ConnectionName, const TLedgerPlace& Place)
    : FConnection(ConnectionName)
    , FPlace(Place)
{
    if (!Place.PostgreSql) {
        FPlaceText = Place.File;
        return;
    }
    QUrl url;
    url.setScheme(QStringLiteral("postgresql"));
    url.setUserName(Place.User);
    url.setHost(Place.Host.startsWith(QLatin1Char('/')) ? QString() : Place.Host);
    url.setPort(Place.Port);
    url.setPath(QLatin1Char('/') + Place.Database);
    if (Place.Host.startsWith(QLatin1Char('/')))
        url.setQuery(QStringLiteral("host=") + Place.Host);
    FPlaceText = url.toDisplayString();
}

TLedger::~TLedger()
{
    {
        QSqlDatabase db = QSqlDatabase::database(FConnection, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(FConnection);
}

std::unique_ptr<TLedger> TLedger::Open(const QString& Address, const QString& ConnectionName, QString& Error, const TLedgerAccess& Access)
{
    std::optional<TLedgerPlace> place = ParseLedgerPlace(Address, Error);
    if (!place)
        return nullptr;
    const QString driver = place->PostgreSql ? PostgreSqlDriver : SqliteDriver;
    if (!QSqlDatabase::isDriverAvailable(driver)) {
        Error = place->PostgreSql
            ? QStringLiteral("ledger: Qt's PostgreSQL driver is not installed (Debian package libqt6sql6-psql)")
            : QStringLiteral("ledger: Qt's SQLite driver is not installed (Debian package libqt6sql6-sqlite)");
        return nullptr;
    }
    static std::atomic<int> opened{0};
    const QString connection = ConnectionName.isEmpty() ? QStringLiteral("orvelle-ledger-%1").arg(++opened) : ConnectionName;
    if (QSqlDatabase::contains(connection)) {
        Error = QStringLiteral("ledger: the database connection %1 is in use already").arg(connection);
        return nullptr;
    }
    const bool mustExist = Access.ReadOnly || Access.MustExist;
    if (place->PostgreSql) {
        place->Password = Access.Password;
    } else {
        if (!Access.Password.isEmpty()) {
            Error = QStringLiteral("ledger %1: a password file means nothing for an SQLite file").arg(place->File);
            return nullptr;
        }
        const auto refused = [&](const QString& Why) {
            Error = QStringLiteral("ledger: ") + Why;
            return nullptr;
        };
        if (Address.isEmpty() && !mustExist) {
            // The default folder is made for the user alone, whatever the
            // umask: the folder rule below asks that of it.
            const QString folder = FromLocalPath(FolderOf(LocalPath(place->File)));
            const QString reason = MakeFolderOf(folder);
            if (!reason.isEmpty())
                return refused(reason);
            if (::mkdir(LocalPath(folder).c_str(), 0700) != 0 && errno != EEXIST)
                return refused(FromLocalPath(SystemError(LocalPath(folder))));
        }
        std::string why;
        const std::optional<std::string> target = ReadTarget(LocalPath(place->File), why);
        if (!target)
            return refused(FromLocalPath(why));
        // Only the user may have written the ledger, its side files and its
        // folder; read only, the ledger may be another user's, who may then
        // have written the rest too (root may write anything anyway).
        std::vector<uid_t> trusted{::geteuid()};
        struct stat st { };
        if (Access.ReadOnly && ::stat(target->c_str(), &st) == 0 && st.st_uid != ::geteuid())
            trusted.insert(trusted.end(), {st.st_uid, 0});
        bool missing = false;
        const QString file = Untrusted(*target, false, trusted, QStringLiteral("use a ledger of your own (--ledger)"), missing);
        if (!file.isEmpty())
            return refused(file);
        if (missing && mustExist)
            return refused(QStringLiteral("%1: no such ledger; a batch makes it").arg(FromLocalPath(*target)));
        for (const char* side : {"-wal", "-shm", "-journal"}) {
            bool none = false;
            const QString unsafe = Untrusted(*target + side, false, trusted,
                QStringLiteral("a file beside the ledger is taken as part of it; remove it, and keep the ledger in a folder only you can write"), none);
            if (!unsafe.isEmpty())
                return refused(unsafe);
        }
        bool noFolder = false;
        const QString folder = Untrusted(FolderOf(*target), true, trusted, QStringLiteral("keep the ledger in a folder of your own"), noFolder);
        if (!folder.isEmpty())
            return refused(folder);
        // SQLite would open whatever the path leads to: to write, the file,
        // and the journal files SQLite keeps beside it, must pass the rule
        // for every file written.
        if (!Access.ReadOnly) {
            if (!SaveTarget(LocalPath(place->File), why))
                return refused(FromLocalPath(why));
            for (const char* side : {"-wal", "-shm", "-journal"}) {
                if (!SaveTarget(*target + side, why))
                    return refused(FromLocalPath(why));
            }
        }
        place->File = FromLocalPath(*target);
    }
    std::unique_ptr<TLedger> ledger(new TLedger(connection, *place));
    ledger->FReadOnly = Access.ReadOnly;
    if (!ledger->Connect() || !(Access.ReadOnly ? ledger->CheckSchemaToRead() : ledger->CreateOrCheckSchema())) {
        Error = ledger->FError;
        return nullptr;
    }
    return ledger;
}

bool TLedger::Connect()
{
    QSqlDatabase db = QSqlDatabase::addDatabase(FPlace.PostgreSql ? PostgreSqlDriver : SqliteDriver, FConnection);
    db.setDatabaseName(FPlace.PostgreSql ? FPlace.Database : FPlace.File);
    if (FPlace.PostgreSql) {
        if (!FPlace.Host.isEmpty())
            db.setHostName(FPlace.Host);
        if (FPlace.Port >= 0)
            db.setPort(FPlace.Port);
        if (!FPlace.User.isEmpty())
            db.setUserName(FPlace.User);
        if (!FPlace.Password.isEmpty())
            db.setPassword(FPlace.Password);
        // Keep-alives and a TCP user time-out: a network cut makes a statement
        // fail within about as long as the lock time-out, rather than freeze
        // the station until the kernel gives up (libpq ignores them on a
        // Unix socket).
        QString options = QStringLiteral("connect_timeout=%1;keepalives=1;keepalives_idle=%2;keepalives_interval=%3;keepalives_count=%4;tcp_user_timeout=%5")
                              .arg(FPlace.ConnectTimeout)
                              .arg(KeepAliveIdleSeconds)
                              .arg(KeepAliveIntervalSeconds)
                              .arg(KeepAliveCount)
                              .arg(LockWaitMs + 5000);
        if (!FPlace.SslMode.isEmpty())
            options += QStringLiteral(";sslmode=") + FPlace.SslMode;
        db.setConnectOptions(options);
    } else if (FReadOnly) {
        QString options = QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1;QSQLITE_OPEN_READONLY").arg(LockWaitMs);
        // A WAL ledger is read with its -wal and -shm, which SQLite cannot
        // make in a folder the user may not write (another user's, a
        // read-only disk). Without a -wal nobody has the ledger open: it is
        // read as it lies.
        const std::string file = LocalPath(FPlace.File);
        if (::access((file + "-wal").c_str(), F_OK) != 0 && ::access(FolderOf(file).c_str(), W_OK) != 0) {
            options += QStringLiteral(";QSQLITE_OPEN_URI");
            db.setDatabaseName(QUrl::fromLocalFile(FPlace.File).toString(QUrl::FullyEncoded) + QStringLiteral("?mode=ro&immutable=1"));
        }
        db.setConnectOptions(options);
    } else {
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(LockWaitMs));
    }
    if (!OpenSession())
        return false;
    struct stat opened { };
    if (!FPlace.PostgreSql && ::stat(LocalPath(FPlace.File).c_str(), &opened) == 0) {
        FFileKnown = true;
        FFileDevice = quint64(opened.st_dev);
        FFileInode = quint64(opened.st_ino);
    }
    return true;
}

bool TLedger::OpenSession()
{
    QSqlDatabase db = QSqlDatabase::database(FConnection, false);
    if (!db.open()) {
        FError = QStringLiteral("ledger %1: cannot be opened: %2").arg(FPlaceText, DriverText(db.lastError()));
        return false;
    }
    if (FPlace.PostgreSql)
        return Exec(QStringLiteral("set the lock time-out"), QStringLiteral("SET lock_timeout = %1").arg(LockWaitMs))
            && (!FReadOnly || Exec(QStringLiteral("read only"), QStringLiteral("SET default_transaction_read_only = on")));
    // Read only, the journal is left as the stations keep it.
    if (FReadOnly)
        return true;
    // WAL: a station claiming does not stop another one reading, and a
    // commit is one write. FULL: a card recorded stays recorded through a
    // power cut.
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
    return Exec(QStringLiteral("set the synchronous mode"), QStringLiteral("PRAGMA synchronous = FULL"))
        && Exec(QStringLiteral("turn the foreign keys on"), QStringLiteral("PRAGMA foreign_keys = ON"));
}

bool TLedger::CreateOrCheckSchema()
{
    if (!Begin())
        return false;
    const auto abandon = [this]() {
        Rollback();
        return false;
    };
    if (FPlace.PostgreSql && !Exec(QStringLiteral("wait for another station's schema"), QStringLiteral("SELECT pg_advisory_xact_lock(?)"), {SchemaLockKey}))
        return abandon();
    const auto found = Select(QStringLiteral("look for the schema"),
        FPlace.PostgreSql
            ? QStringLiteral("SELECT COUNT(*) FROM information_schema.tables WHERE table_schema = current_schema() AND table_name = ?")
            : QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = ?"),
        {QStringLiteral("ledger_schema")});
    if (!found || found->empty())
        return abandon();
    if (found->front().value(0).toInt() > 0) {
        const std::optional<int> read = ReadSchemaVersion();
        if (!read) {
            Rollback();
            return false;
        }
        const int known = *read;
        FSchema = known;
        if (known == SchemaVersion) {
            Rollback();
            return true;
        }
        return UpgradeSchema();
    }
    const QString key = FPlace.PostgreSql ? QStringLiteral("BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY") : QStringLiteral("INTEGER PRIMARY KEY");
    for (const char* statement : SchemaStatements) {
        if (!Exec(QStringLiteral("create the schema"), QString::fromLatin1(statement).replace(QStringLiteral("%1"), key)))
            return abandon();
    }
    if (!Exec(QStringLiteral("create the schema"), QStringLiteral("INSERT INTO ledger_schema (version) VALUES (?)"), {SchemaVersion}) || !Commit())
        return abandon();
    FSchema = SchemaVersion;
    return true;
}

bool TLedger::UpgradeSchema()
{
    // Within CreateOrCheckSchema's transaction, which holds the write lock:
    // no station claims or records meanwhile, and a failure changes nothing.
    const auto abandon = [this]() {
        Rollback();
        return false;
    };
    const auto open = Select(QStringLiteral("count the open claims"), QStringLiteral("SELECT COUNT(*) FROM ledger_claims WHERE is_open = 1"));
    if (!open || open->empty())
        return abandon();
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
    const QString key = FPlace.PostgreSql ? QStringLiteral("BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY") : QStringLiteral("INTEGER PRIMARY KEY");
    QStringList steps;
    if (FPlace.PostgreSql) {
        steps << QStringLiteral("ALTER TABLE ledger_records DROP CONSTRAINT ledger_records_result_check")
              << QStringLiteral("ALTER TABLE ledger_records ADD CONSTRAINT ledger_records_result_check CHECK (result IN ('done', 'failed', 'repeat'))")
              << QStringLiteral("ALTER TABLE ledger_records ALTER COLUMN claim_id DROP NOT NULL")
              << QStringLiteral("ALTER TABLE ledger_records ADD COLUMN cause TEXT NOT NULL DEFAULT ''")
              << QStringLiteral("UPDATE ledger_records SET recorded_at = %1").arg(UtcSql(QStringLiteral("recorded_at")));
    } else {
        steps << QString::fromLatin1(RecordsTable).replace(QStringLiteral("%1"), key).replace(QStringLiteral("TABLE ledger_records ("), QStringLiteral("TABLE ledger_records_2 ("))
              << QStringLiteral("INSERT INTO ledger_records_2 (id, recorded_at, station, batch_id, serial, row_no, result, detail, blocks, duration_ms, claim_id)"
                                " SELECT id, %1, station, batch_id, serial, row_no, result, detail, blocks, duration_ms, claim_id FROM ledger_records")
                     .arg(UtcSql(QStringLiteral("recorded_at")))
              << QStringLiteral("DROP TABLE ledger_records")
              << QStringLiteral("ALTER TABLE ledger_records_2 RENAME TO ledger_records")
              << QStringLiteral("CREATE INDEX ledger_records_card ON ledger_records (batch_id, serial)");
    }
    steps << QStringLiteral("ALTER TABLE ledger_claims ADD COLUMN closed_how TEXT CHECK (closed_how IN ('recorded', 'released', 'forced'))")
          << QStringLiteral("UPDATE ledger_claims SET claimed_at = %1, closed_at = %2").arg(UtcSql(QStringLiteral("claimed_at")), UtcSql(QStringLiteral("closed_at")))
          // Version 1 kept no cause: a closed claim without a record was given back.
          << QStringLiteral("UPDATE ledger_claims SET closed_how = CASE WHEN EXISTS (SELECT 1 FROM ledger_records r WHERE r.claim_id = ledger_claims.id)"
                            " THEN 'recorded' ELSE 'released' END WHERE is_open = 0")
          << QStringLiteral("UPDATE ledger_batches SET created_at = %1").arg(UtcSql(QStringLiteral("created_at")))
          << QStringLiteral("CREATE TABLE ledger_stations (name TEXT PRIMARY KEY, heartbeat_at TEXT NOT NULL)")
          << QStringLiteral("UPDATE ledger_schema SET version = %1").arg(SchemaVersion);
    for (const QString& step : steps) {
        if (!Exec(QStringLiteral("upgrade the schema to version %1").arg(SchemaVersion), step))
            return abandon();
    }
    if (!Commit())
        return abandon();
    FSchema = SchemaVersion;
    return true;
}

QString TLedger::ClockSql(int Seconds) const
{
    if (FPlace.PostgreSql)
        return QStringLiteral("to_char((now() + interval '%1 seconds') AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')").arg(Seconds);
    return QStringLiteral("strftime('%Y-%m-%dT%H:%M:%fZ', 'now', '%1 seconds')").arg(Seconds);
}

QString TLedger::AgeMsSql(const QString& Column) const
{
    if (FPlace.PostgreSql)
        return QStringLiteral("CAST(EXTRACT(EPOCH FROM (now() - CAST(%1 AS timestamptz))) * 1000 AS BIGINT)").arg(Column);
    return QStringLiteral("CAST(ROUND((julianday('now') - julianday(%1)) * 86400000) AS INTEGER)").arg(Column);
}

QString TLedger::UtcSql(const QString& Column) const
{
    if (FPlace.PostgreSql)
        return QStringLiteral("to_char(CAST(%1 AS timestamptz) AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')").arg(Column);
    return QStringLiteral("strftime('%Y-%m-%dT%H:%M:%fZ', %1)").arg(Column);
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

bool TLedger::CheckSchemaToRead()
{
    const auto found = Select(QStringLiteral("look for the schema"),
        FPlace.PostgreSql
            ? QStringLiteral("SELECT COUNT(*) FROM information_schema.tables WHERE table_schema = current_schema() AND table_name = ?")
            : QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = ?"),
        {QStringLiteral("ledger_schema")});
    if (!found || found->empty())
        return false;
    if (found->front().value(0).toInt() == 0) {
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

namespace {

bool Run(QSqlQuery& Query, const QString& Sql, const QVariantList& Values)
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

} // namespace

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
    // Qt's transaction() would begin a deferred SQLite transaction, which
    // fails at once when another station writes; BEGIN IMMEDIATE waits for
    // the lock (up to the busy time-out) before anything is read.
    if (!Exec(QStringLiteral("begin a transaction"), FPlace.PostgreSql ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE")))
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

QString TLedger::Lock(bool SkipLocked) const
{
    if (!FPlace.PostgreSql)
        return {};
    return SkipLocked ? QStringLiteral(" FOR UPDATE SKIP LOCKED") : QStringLiteral(" FOR UPDATE");
}

std::optional<TLedger::TBatchRow> TLedger::FindBatch(const QString& Name)
{
    const auto found = Select(QStringLiteral("look for batch %1").arg(Name),
        QStringLiteral("SELECT id, data_sha256 FROM ledger_batches WHERE name = ?"), {Name});
    if (!found)
        return std::nullopt;
    if (found->empty()) {
        FError = QStringLiteral("ledger %1: no batch named %2").arg(FPlaceText, Name);
        return std::nullopt;
    }
    return TBatchRow{found->front().value(0).toLongLong(), !found->front().value(1).toString().isEmpty()};
}

template <typename TCall>
auto TLedger::Retried(TCall Call) -> decltype(Call())
{
    FDatabaseFailed = false;
    auto result = Call();
    if (!Reconnected())
        return result;
    return Call();
}

bool TLedger::Reconnected()
{
    // SQLite has no connection to lose; a rule's refusal, or a failure the
    // session survived (a lock waited for too long), is no lost connection.
    if (!FPlace.PostgreSql || !FDatabaseFailed)
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
    if (!Exec(QStringLiteral("set the lock time-out"), QStringLiteral("SET lock_timeout = %1").arg(LockWaitMs))) {
        FError = lost + QStringLiteral("; ") + FError;
        return false;
    }
    FError.clear();
    FDatabaseFailed = false;
    return true;
}

bool TLedger::StartBatch(const TBatchStart& Batch)
{
    FError.clear();
    FStartRefusedInput = false;
    if (Batch.Name.isEmpty()) {
        FError = QStringLiteral("ledger %1: a batch needs a name").arg(FPlaceText);
        return false;
    }
    if (!Usable(false))
        return false;
    return Retried([&]() { return StartBatchOnce(Batch); });
}

bool TLedger::StartBatchOnce(const TBatchStart& Batch)
{
    if (!Begin())
        return false;
    const auto abandon = [this]() {
        Rollback();
        return false;
    };
    const auto refused = [this](const QString& Why) {
        Rollback();
        FStartRefusedInput = true;
        FError = Why;
        return false;
    };
    const auto stored = Select(QStringLiteral("read batch %1").arg(Batch.Name),
        QStringLiteral("SELECT template_sha256, data_sha256 FROM ledger_batches WHERE name = ?") + Lock(), {Batch.Name});
    if (!stored)
        return false;
    if (!stored->empty()) {
        Rollback();
        const QString templateSha = stored->front().value(0).toString();
        const QString dataSha = stored->front().value(1).toString();
        if (templateSha != Batch.TemplateSha256)
            return refused(QStringLiteral("ledger %1: batch %2 was started with another template (SHA-256 %3, this one's is %4):"
                                          " give the batch its own files or another name (--batch)")
                               .arg(FPlaceText, Batch.Name, templateSha, Batch.TemplateSha256));
        if (dataSha != Batch.DataSha256) {
            const auto described = [](const QString& Sha) {
                return Sha.isEmpty() ? QStringLiteral("no data file") : QStringLiteral("the data file of SHA-256 ") + Sha;
            };
            return refused(QStringLiteral("ledger %1: batch %2 was started with %3, not with %4: restore the data file it was started with,"
                                          " or start a new batch with another name (--batch NAME)")
                               .arg(FPlaceText, Batch.Name, described(dataSha), described(Batch.DataSha256)));
        }
        return true;
    }
    // A data file's rows used by two batches would prepare two cards alike.
    if (!Batch.DataSha256.isEmpty() && !Batch.ReuseData) {
        const auto other = Select(QStringLiteral("look for the data file's batch"),
            QStringLiteral("SELECT name FROM ledger_batches WHERE data_sha256 = ? ORDER BY id LIMIT 1"), {Batch.DataSha256});
        if (!other)
            return false;
        if (!other->empty()) {
            const QString data = Batch.DataName.isEmpty() ? QStringLiteral("the data file") : Batch.DataName;
            return refused(QStringLiteral("%1 is already batch %2: its rows would be used twice (to mean it, give --reuse-data)")
                               .arg(data, other->front().value(0).toString()));
        }
    }
    const auto inserted = Select(QStringLiteral("start batch %1").arg(Batch.Name),
        QStringLiteral("INSERT INTO ledger_batches (name, template_sha256, data_sha256, columns, created_at) VALUES (?, ?, ?, ?, ?)"
                       " ON CONFLICT (name) DO NOTHING RETURNING id"),
        {Batch.Name, Batch.TemplateSha256, Batch.DataSha256, JsonText(QJsonArray::fromStringList(Batch.Columns)), Now()});
    if (!inserted)
        return false;
    if (inserted->empty()) {
        // Another station started it this moment: joined as above.
        Rollback();
        return StartBatchOnce(Batch);
    }
    // The first start: the rows go in with the batch, so every station
    // takes them from here.
    const qint64 id = inserted->front().value(0).toLongLong();
    {
        QSqlQuery query(QSqlDatabase::database(FConnection, false));
        if (!query.prepare(QStringLiteral("INSERT INTO ledger_rows (batch_id, row_no, cells) VALUES (?, ?, ?)"))) {
            FDatabaseFailed = true;
            FError = QStringLiteral("ledger %1: cannot store the rows of batch %2: %3").arg(FPlaceText, Batch.Name, DriverText(query.lastError()));
            return abandon();
        }
        for (size_t i = 0; i < Batch.Rows.size(); ++i) {
            query.bindValue(0, id);
            query.bindValue(1, int(i + 1));
            query.bindValue(2, JsonText(QJsonArray::fromStringList(Batch.Rows[i])));
            if (!query.exec()) {
                FDatabaseFailed = true;
                FError = QStringLiteral("ledger %1: cannot store row %2 of batch %3: %4").arg(FPlaceText, QString::number(i + 1), Batch.Name, DriverText(query.lastError()));
                query.finish();
                return abandon();
            }
        }
        query.finish();
    }
    if (!Commit())
        return abandon();
    return true;
}

std::optional<TPrepared> TLedger::Prepared(const QString& Batch, const TSerial& Serial)
{
    FError.clear();
    if (!Usable(false))
        return std::nullopt;
    return Retried([&]() -> std::optional<TPrepared> {
        const auto found = Select(QStringLiteral("look for card %1").arg(SerialHex(Serial)),
            QStringLiteral("SELECT r.row_no, r.recorded_at FROM ledger_records r JOIN ledger_batches b ON b.id = r.batch_id"
                           " WHERE b.name = ? AND r.serial = ? AND r.result = 'done' ORDER BY r.id DESC LIMIT 1"),
            {Batch, SerialHex(Serial)});
        if (!found || found->empty())
            return std::nullopt;
        // Stored in UTC; shown on this station's clock.
        return TPrepared{found->front().value(0).toInt(), StoredTime(found->front().value(1)).toLocalTime()};
    });
}

bool TLedger::Beat(const QString& Station)
{
    return Exec(QStringLiteral("note station %1's heartbeat").arg(Station),
        QStringLiteral("INSERT INTO ledger_stations (name, heartbeat_at) VALUES (?, %1)"
                       " ON CONFLICT (name) DO UPDATE SET heartbeat_at = excluded.heartbeat_at")
            .arg(ClockSql()),
        {Station});
}

bool TLedger::Heartbeat(const QString& Station)
{
    FError.clear();
    if (!Usable(false))
        return false;
    return Retried([&]() { return Beat(Station); });
}

std::optional<TClaim> TLedger::Claim(const QString& Batch, const QString& Station, const TSerial& Serial, bool Again)
{
    FError.clear();
    FWorkedElsewhere.clear();
    if (!Usable(true))
        return std::nullopt;
    return Retried([&]() { return ClaimOnce(Batch, Station, Serial, Again); });
}

std::optional<TClaim> TLedger::ClaimOnce(const QString& Batch, const QString& Station, const TSerial& Serial, bool Again)
{
    if (!Begin())
        return std::nullopt;
    const auto abandon = [this]() {
        Rollback();
        return std::optional<TClaim>();
    };
    // The claim's station is alive: heard now, in the claim's transaction.
    if (!Beat(Station))
        return abandon();
    const std::optional<TBatchRow> batch = FindBatch(Batch);
    if (!batch)
        return abandon();
    const QString serial = SerialHex(Serial);
    TClaim claim;
    // The card's own unfinished claim: its station stopped mid-card, and
    // whichever station has the card now carries on with the same row, once
    // that station has been silent long enough to be judged gone.
    const auto unfinished = Select(QStringLiteral("look for card %1's unfinished claim").arg(serial),
        QStringLiteral("SELECT c.id, c.row_no, c.station, %1 FROM ledger_claims c WHERE c.batch_id = ? AND c.serial = ? AND c.is_open = 1")
                .arg(AgeMsSql(QStringLiteral("(SELECT s.heartbeat_at FROM ledger_stations s WHERE s.name = c.station)")))
            + Lock(),
        {batch->Id, serial});
    if (!unfinished)
        return abandon();
    if (!unfinished->empty()) {
        const QVariantList& found = unfinished->front();
        const QString holder = found.value(2).toString();
        const QVariant heard = found.value(3);
        if (holder != Station && !heard.isNull() && heard.toLongLong() < qint64(StationSilentSeconds) * 1000) {
            FWorkedElsewhere = holder;
            Rollback();
            FError = QStringLiteral("card %1 is being prepared at station '%2': take it to that station or wait").arg(serial, holder);
            return std::nullopt;
        }
        claim.Id = found.value(0).toLongLong();
        claim.Row = found.value(1).toInt();
        claim.Resumed = true;
        if (!Exec(QStringLiteral("take card %1's claim over").arg(serial),
                QStringLiteral("UPDATE ledger_claims SET station = ?, claimed_at = ? WHERE id = ?"), {Station, Now(), claim.Id}))
            return abandon();
    } else {
        const auto done = Select(QStringLiteral("look for card %1's row").arg(serial),
            QStringLiteral("SELECT row_no FROM ledger_records WHERE batch_id = ? AND serial = ? AND result = 'done' ORDER BY id DESC LIMIT 1"),
            {batch->Id, serial});
        if (!done)
            return abandon();
        if (!done->empty() && !Again) {
            FError = QStringLiteral("ledger %1: card %2 was prepared in batch %3 already, with row %4")
                         .arg(FPlaceText, serial, Batch, done->front().value(0).toString());
            return abandon();
        }
        if (!done->empty()) {
            claim.Row = done->front().value(0).toInt();
        } else if (batch->HasData) {
            // Rows another station is claiming this moment are locked, and
            // passed over rather than waited for.
            const auto free = Select(QStringLiteral("find a free row"),
                QStringLiteral("SELECT row_no FROM ledger_rows WHERE batch_id = ? AND done_serial IS NULL AND claim_id IS NULL ORDER BY row_no LIMIT 1")
                    + Lock(true),
                {batch->Id});
            if (!free)
                return abandon();
            if (free->empty())
                return abandon(); // no row left: no error
            claim.Row = free->front().value(0).toInt();
        }
        const auto id = Select(QStringLiteral("claim row %1").arg(claim.Row),
            QStringLiteral("INSERT INTO ledger_claims (batch_id, row_no, station, serial, claimed_at, is_open) VALUES (?, ?, ?, ?, ?, 1) RETURNING id"),
            {batch->Id, claim.Row, Station, serial, Now()});
        if (!id || id->empty())
            return abandon();
        claim.Id = id->front().value(0).toLongLong();
        int held = 0;
        if (claim.Row > 0
            && (!Exec(QStringLiteral("hold row %1").arg(claim.Row),
                    QStringLiteral("UPDATE ledger_rows SET claim_id = ? WHERE batch_id = ? AND row_no = ? AND claim_id IS NULL"),
                    {claim.Id, batch->Id, claim.Row}, &held)
                || held != 1)) {
            if (held != 1 && FError.isEmpty())
                FError = QStringLiteral("ledger %1: row %2 of batch %3 is held by another claim").arg(FPlaceText, QString::number(claim.Row), Batch);
            return abandon();
        }
    }
    if (claim.Row > 0) {
        const auto cells = Select(QStringLiteral("read row %1").arg(claim.Row),
            QStringLiteral("SELECT cells FROM ledger_rows WHERE batch_id = ? AND row_no = ?"), {batch->Id, claim.Row});
        if (!cells)
            return abandon();
        if (cells->empty()) {
            FError = QStringLiteral("ledger %1: batch %2 has no row %3").arg(FPlaceText, Batch, QString::number(claim.Row));
            return abandon();
        }
        claim.Cells = ListOf(cells->front().value(0).toString());
    }
    if (!Commit())
        return abandon();
    return claim;
}

TRecordResult TLedger::Record(const TClaim& Claim, const TCardRecord& Card)
{
    FError.clear();
    if (!Usable(true))
        return TRecordResult::Failed;
    FDatabaseFailed = false;
    const TRecordResult result = RecordCard(Claim, Card);
    if (!Reconnected())
        return result;
    // A COMMIT lost with its connection may have landed: the card's record
    // is looked for before it is written again.
    const auto landed = Select(QStringLiteral("look for card %1's record").arg(SerialHex(Card.Serial)),
        QStringLiteral("SELECT cause, detail FROM ledger_records WHERE claim_id = ? AND serial = ? AND station = ? ORDER BY id DESC LIMIT 1"),
        {Claim.Id, SerialHex(Card.Serial), Card.Station});
    if (!landed)
        return TRecordResult::Failed;
    if (!landed->empty()) {
        if (landed->front().value(0).toString() != QLatin1String(FailCauseCode(TFailCause::ClaimLost)))
            return TRecordResult::Recorded;
        FError = QStringLiteral("ledger %1: card %2 was recorded failed (claim-lost): %3").arg(FPlaceText, SerialHex(Card.Serial), landed->front().value(1).toString());
        return TRecordResult::ClaimLost;
    }
    return RecordCard(Claim, Card);
}

bool TLedger::RecordRepeat(const TCardRecord& Card)
{
    FError.clear();
    if (!Usable(true))
        return false;
    return Retried([&]() {
        const auto batch = FindBatch(Card.Batch);
        if (!batch)
            return false;
        return Exec(QStringLiteral("record card %1 shown again").arg(SerialHex(Card.Serial)),
            QStringLiteral("INSERT INTO ledger_records (recorded_at, station, batch_id, serial, row_no, result, detail, blocks, duration_ms, claim_id, cause)"
                           " VALUES (?, ?, ?, ?, ?, 'repeat', ?, '[]', ?, NULL, '')"),
            {UtcText(Card.Time.isValid() ? Card.Time : QDateTime::currentDateTimeUtc()), Card.Station, batch->Id, SerialHex(Card.Serial), Card.Row,
                Card.Detail, Card.DurationMs});
    });
}

TRecordResult TLedger::RecordCard(const TClaim& Claim, const TCardRecord& Card)
{
    const bool done = Card.Outcome == TCardOutcome::Done;
    const QString serial = SerialHex(Card.Serial);
    if (!Begin())
        return TRecordResult::Failed;
    const auto abandon = [this]() {
        Rollback();
        return TRecordResult::Failed;
    };
    const auto held = Select(QStringLiteral("look for card %1's claim").arg(serial),
        QStringLiteral("SELECT batch_id, row_no, serial, is_open, station, closed_how, closed_at, claimed_at FROM ledger_claims WHERE id = ?") + Lock(),
        {Claim.Id});
    if (!held)
        return abandon();
    if (held->empty()) {
        FError = QStringLiteral("ledger %1: card %2 has no claim of row %3 in the ledger: not recorded").arg(FPlaceText, serial, QString::number(Claim.Row));
        return abandon();
    }
    const QVariantList& claim = held->front();
    const qint64 batchId = claim.value(0).toLongLong();
    const int row = claim.value(1).toInt();
    if (claim.value(2).toString() != serial) {
        FError = QStringLiteral("ledger %1: the claim of row %2 is card %3's, not card %4's: not recorded")
                     .arg(FPlaceText, QString::number(row), claim.value(2).toString(), serial);
        return abandon();
    }
    const QString how = claim.value(5).toString();
    const bool open = claim.value(3).toInt() != 0;
    const bool ours = Card.Station.isEmpty() || claim.value(4).toString() == Card.Station;
    if (!open && how == QStringLiteral("recorded") && ours) {
        FError = QStringLiteral("ledger %1: card %2's claim of row %3 was recorded already: not recorded again").arg(FPlaceText, serial, QString::number(row));
        return abandon();
    }
    const QString when = UtcText(Card.Time.isValid() ? Card.Time : QDateTime::currentDateTimeUtc());
    const QString blocks = BlocksText(Card.Written);
    // The claim is no longer this station's: released meanwhile, or taken
    // over by another station while this one was silent (a station stopped
    // and continued). The card is
    // recorded failed, with the true cause, and no row changes.
    QString lostWhy;
    if (!open && how != QStringLiteral("recorded")) {
        lostWhy = QStringLiteral("released by `ledger --release%1` at %2")
                      .arg(how == QStringLiteral("forced") ? QStringLiteral(" --force") : QString(), ClockText(claim.value(6)));
    } else if (!ours) {
        // Taken over, and perhaps recorded there since.
        lostWhy = QStringLiteral("taken over by station '%1' at %2 while this station was silent").arg(claim.value(4).toString(), ClockText(claim.value(7)));
    }
    if (!lostWhy.isEmpty()) {
        const QString detail = QStringLiteral("claim lost: ") + lostWhy + (Card.Detail.isEmpty() ? QString() : QStringLiteral("; ") + Card.Detail);
        if (!Exec(QStringLiteral("record card %1").arg(serial),
                QStringLiteral("INSERT INTO ledger_records (recorded_at, station, batch_id, serial, row_no, result, detail, blocks, duration_ms, claim_id, cause)"
                               " VALUES (?, ?, ?, ?, ?, 'failed', ?, ?, ?, ?, ?)"),
                {when, Card.Station, batchId, serial, row, detail, blocks, Card.DurationMs, Claim.Id,
                    QString::fromLatin1(FailCauseCode(TFailCause::ClaimLost))})
            || !Commit())
            return abandon();
        FError = QStringLiteral("ledger %1: card %2's claim of row %3 was %4: recorded failed (claim-lost)").arg(FPlaceText, serial, QString::number(row), lostWhy);
        return TRecordResult::ClaimLost;
    }
    if (!Exec(QStringLiteral("record card %1").arg(serial),
            QStringLiteral("INSERT INTO ledger_records (recorded_at, station, batch_id, serial, row_no, result, detail, blocks, duration_ms, claim_id, cause)"
                           " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
            {when, Card.Station, batchId, serial, row, done ? QStringLiteral("done") : QStringLiteral("failed"), Card.Detail, blocks, Card.DurationMs,
                Claim.Id, done ? QString() : QString::fromLatin1(FailCauseCode(Card.Cause))})
        || !Exec(QStringLiteral("close card %1's claim").arg(serial),
            QStringLiteral("UPDATE ledger_claims SET is_open = 0, closed_at = ?, closed_how = 'recorded' WHERE id = ?"), {when, Claim.Id}))
        return abandon();
    if (row > 0) {
        // Done keeps the row with the card; failed gives it back.
        int changed = 0;
        const bool ok = done
            ? Exec(QStringLiteral("give row %1 to card %2").arg(QString::number(row), serial),
                QStringLiteral("UPDATE ledger_rows SET claim_id = NULL, done_serial = ? WHERE batch_id = ? AND row_no = ? AND claim_id = ?"),
                {serial, batchId, row, Claim.Id}, &changed)
            : Exec(QStringLiteral("give row %1 back").arg(row),
                QStringLiteral("UPDATE ledger_rows SET claim_id = NULL WHERE batch_id = ? AND row_no = ? AND claim_id = ?"),
                {batchId, row, Claim.Id}, &changed);
        if (!ok)
            return abandon();
        if (changed != 1) {
            FError = QStringLiteral("ledger %1: row %2 is not held by card %3's claim: not recorded").arg(FPlaceText, QString::number(row), serial);
            return abandon();
        }
    }
    if (!Commit())
        return abandon();
    return TRecordResult::Recorded;
}

std::optional<int> TLedger::RowsLeft(const QString& Batch)
{
    FError.clear();
    if (!Usable(false))
        return std::nullopt;
    return Retried([&]() -> std::optional<int> {
        const auto left = Select(QStringLiteral("count the rows left"),
            QStringLiteral("SELECT b.id, (SELECT COUNT(*) FROM ledger_rows r WHERE r.batch_id = b.id AND r.done_serial IS NULL AND r.claim_id IS NULL)"
                           " FROM ledger_batches b WHERE b.name = ?"),
            {Batch});
        if (!left)
            return std::nullopt;
        if (left->empty()) {
            FError = QStringLiteral("ledger %1: no batch named %2").arg(FPlaceText, Batch);
            return std::nullopt;
        }
        return left->front().value(1).toInt();
    });
}

std::optional<std::vector<TOpenClaim>> TLedger::OpenClaims()
{
    FError.clear();
    return Retried([&]() { return ReadClaims(QString(), false); });
}

std::optional<std::vector<TOpenClaim>> TLedger::ReadClaims(const QString& Station, bool ForUpdate)
{
    // A ledger left on version 1 (open claims kept it there) has no
    // heartbeats: its stations count as never heard.
    const QString heard = FSchema >= 2 ? QStringLiteral("(SELECT s.heartbeat_at FROM ledger_stations s WHERE s.name = c.station)") : QStringLiteral("NULL");
    QString sql = QStringLiteral("SELECT b.name, c.row_no, c.serial, c.station, c.claimed_at, %1, %2, c.id, c.batch_id"
                                 " FROM ledger_claims c JOIN ledger_batches b ON b.id = c.batch_id WHERE c.is_open = 1")
                      .arg(heard, FSchema >= 2 ? AgeMsSql(heard) : QStringLiteral("NULL"));
    QVariantList values;
    if (!Station.isEmpty()) {
        sql += QStringLiteral(" AND c.station = ?");
        values << Station;
    }
    sql += QStringLiteral(" ORDER BY c.id");
    if (ForUpdate && FPlace.PostgreSql)
        sql += QStringLiteral(" FOR UPDATE OF c");
    const auto rows = Select(QStringLiteral("read the open claims"), sql, values);
    if (!rows)
        return std::nullopt;
    std::vector<TOpenClaim> claims;
    FClaimIds.clear();
    for (const QVariantList& row : *rows) {
        TOpenClaim claim;
        claim.Batch = row.value(0).toString();
        claim.Row = row.value(1).toInt();
        claim.Serial = row.value(2).toString();
        claim.Station = row.value(3).toString();
        // Version 1's times carry their station's offset: read alike.
        claim.Since = StoredTime(row.value(4));
        claim.LastHeard = row.value(5).isNull() ? QDateTime() : StoredTime(row.value(5));
        claim.SilentMs = row.value(6).isNull() ? -1 : row.value(6).toLongLong();
        claims.push_back(claim);
        FClaimIds.push_back({row.value(7).toLongLong(), row.value(8).toLongLong()});
    }
    return claims;
}

std::optional<std::vector<TOpenClaim>> TLedger::ReleaseStation(const QString& Station, bool Force)
{
    FError.clear();
    FReleaseRefused = false;
    return Retried([&]() -> std::optional<std::vector<TOpenClaim>> {
        if (!Begin())
            return std::nullopt;
        const auto abandon = [this]() {
            Rollback();
            return std::optional<std::vector<TOpenClaim>>();
        };
        auto claims = ReadClaims(Station, true);
        if (!claims)
            return abandon();
        // Heard within the silence: it may be writing a card this moment.
        const qint64 heard = claims->empty() ? -1 : claims->front().SilentMs;
        const bool live = heard >= 0 && heard < qint64(StationSilentSeconds) * 1000;
        if (live && !Force) {
            Rollback();
            FReleaseRefused = true;
            FError = QStringLiteral("ledger %1: station '%2' was heard %3 s ago (at %4) and may be preparing a card this moment:"
                                    " its claims are released once it has been silent for %5 s, or at once with --force")
                         .arg(FPlaceText, Station, QString::number(heard / 1000), claims->front().LastHeard.toLocalTime().toString(QStringLiteral("HH:mm:ss")),
                             QString::number(StationSilentSeconds));
            return std::nullopt;
        }
        const QString how = live ? QStringLiteral("forced") : QStringLiteral("released");
        for (const auto& [claimId, batchId] : FClaimIds) {
            if (!Exec(QStringLiteral("release station %1's claims").arg(Station),
                    FSchema >= 2 ? QStringLiteral("UPDATE ledger_claims SET is_open = 0, closed_at = %1, closed_how = '%2' WHERE id = ?").arg(ClockSql(), how)
                                 : QStringLiteral("UPDATE ledger_claims SET is_open = 0, closed_at = ? WHERE id = ?"),
                    FSchema >= 2 ? QVariantList{claimId} : QVariantList{Now(), claimId})
                || !Exec(QStringLiteral("give a row of station %1 back").arg(Station),
                    QStringLiteral("UPDATE ledger_rows SET claim_id = NULL WHERE batch_id = ? AND claim_id = ?"), {batchId, claimId}))
                return abandon();
        }
        if (!Commit())
            return abandon();
        return claims;
    });
}

bool TLedger::Export(const QString& Batch, bool Json, const std::function<bool(const std::string& Line)>& Out, bool LocalTimes)
{
    FError.clear();
    QStringList header{QStringLiteral("time"), QStringLiteral("station"), QStringLiteral("batch"), QStringLiteral("serial"),
        QStringLiteral("row"), QStringLiteral("result"), QStringLiteral("detail"), QStringLiteral("cause")};
    QVariantList values;
    std::vector<int> labels;
    if (!Batch.isEmpty()) {
        const auto batch = Select(QStringLiteral("look for batch %1").arg(Batch),
            QStringLiteral("SELECT id, columns FROM ledger_batches WHERE name = ?"), {Batch});
        if (!batch)
            return false;
        if (batch->empty()) {
            FError = QStringLiteral("ledger %1: no batch named %2").arg(FPlaceText, Batch);
            return false;
        }
        values << batch->front().value(0);
        const QStringList columns = ListOf(batch->front().value(1).toString());
        labels = LabelColumns(columns);
        for (const int i : labels)
            header << columns[i];
    }
    const auto stopped = [this]() {
        FError = QStringLiteral("ledger %1: the records' output was closed").arg(FPlaceText);
        return false;
    };
    if (!Json && !Out(CsvLine(header)))
        return stopped();
    if (!Ready(QStringLiteral("read the records")))
        return false;
    QSqlQuery query(QSqlDatabase::database(FConnection, false));
    query.setForwardOnly(true);
    QString sql = QStringLiteral(
                      "SELECT r.recorded_at, r.station, b.name, r.serial, r.row_no, r.result, r.detail, r.blocks, r.duration_ms,"
                      " b.columns, w.cells, %1 FROM ledger_records r JOIN ledger_batches b ON b.id = r.batch_id"
                      " LEFT JOIN ledger_rows w ON w.batch_id = r.batch_id AND w.row_no = r.row_no")
        + (Batch.isEmpty() ? QString() : QStringLiteral(" WHERE r.batch_id = ?")) + QStringLiteral(" ORDER BY r.id");
    // A ledger of the first schema, read as it is, kept no cause.
    sql = sql.arg(FSchema >= 2 ? QStringLiteral("r.cause") : QStringLiteral("''"));
    const auto failed = [&]() {
        FError = QStringLiteral("ledger %1: cannot read the records: %2").arg(FPlaceText, DriverText(query.lastError()));
        return false;
    };
    if (!Run(query, sql, values))
        return failed();
    while (query.next()) {
        const QStringList cells = ListOf(query.value(10).toString());
        if (!Json) {
            QStringList fields;
            fields << ExportTime(query.value(0).toString(), LocalTimes);
            for (int i = 1; i < 7; ++i)
                fields << query.value(i).toString();
            fields << query.value(11).toString();
            for (const int i : labels)
                fields << cells.value(i);
            if (!Out(CsvLine(fields)))
                return stopped();
            continue;
        }
        const QStringList columns = ListOf(query.value(9).toString());
        QJsonObject labelObject;
        for (const int i : LabelColumns(columns))
            labelObject.insert(columns[i], cells.value(i));
        const QJsonObject record{
            {QStringLiteral("time"), ExportTime(query.value(0).toString(), LocalTimes)},
            {QStringLiteral("station"), query.value(1).toString()},
            {QStringLiteral("batch"), query.value(2).toString()},
            {QStringLiteral("serial"), query.value(3).toString()},
            {QStringLiteral("row"), query.value(4).toInt()},
            {QStringLiteral("result"), query.value(5).toString()},
            {QStringLiteral("detail"), query.value(6).toString()},
            {QStringLiteral("cause"), query.value(11).toString()},
            {QStringLiteral("blocks_written"), JsonArrayOf(query.value(7).toString())},
            {QStringLiteral("duration_ms"), query.value(8).toLongLong()},
            {QStringLiteral("labels"), labelObject},
        };
        if (!Out(QJsonDocument(record).toJson(QJsonDocument::Compact).toStdString() + "\n"))
            return stopped();
    }
    if (query.lastError().type() != QSqlError::NoError)
        return failed();
    return true;
}
