// A ledger opened: its place admitted, its dialect chosen, its connection
// made, and its schema created, upgraded or checked.
#include "records/LedgerSql.h"

#include "records/Records.h"

#include <QUrl>

#include <sys/stat.h>

#include <atomic>

using namespace LedgerSql;

namespace {

// A Qt SQL connection name of the ledger's own: ConnectionName, or one made
// up when empty. None, with Error, when it is taken.
std::optional<QString> FreeConnection(const QString& ConnectionName, QString& Error)
{
    static std::atomic<int> opened{0};
    const QString connection = ConnectionName.isEmpty() ? QStringLiteral("orvelle-ledger-%1").arg(++opened) : ConnectionName;
    if (QSqlDatabase::contains(connection)) {
        Error = QStringLiteral("ledger: the database connection %1 is in use already").arg(connection);
        return std::nullopt;
    }
    return connection;
}

// The ledger for messages: the file, or the server's address without a
// password.
QString PlaceText(const TLedgerPlace& Place)
{
    if (!Place.PostgreSql)
        return Place.File;
    QUrl url;
    url.setScheme(QStringLiteral("postgresql"));
    url.setUserName(Place.User);
    url.setHost(Place.Host.startsWith(QLatin1Char('/')) ? QString() : Place.Host);
    url.setPort(Place.Port);
    url.setPath(QLatin1Char('/') + Place.Database);
    if (Place.Host.startsWith(QLatin1Char('/')))
        url.setQuery(QStringLiteral("host=") + Place.Host);
    return url.toDisplayString();
}

} // namespace

TLedger::TLedger(const QString& ConnectionName, const TLedgerPlace& Place)
    : FConnection(ConnectionName)
    , FPlace(Place)
    , FSql(DialectOf(Place))
    , FPlaceText(PlaceText(Place))
{
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
    const TLedgerDialect& sql = DialectOf(*place);
    if (!QSqlDatabase::isDriverAvailable(sql.Driver)) {
        Error = sql.DriverMissing;
        return nullptr;
    }
    const std::optional<QString> connection = FreeConnection(ConnectionName, Error);
    if (!connection)
        return nullptr;
    if (!sql.LocalFile) {
        place->Password = Access.Password;
    } else if (!Access.Password.isEmpty()) {
        Error = QStringLiteral("ledger %1: a password file means nothing for an SQLite file").arg(place->File);
        return nullptr;
    } else if (!AdmitFile(*place, Access, Address.isEmpty(), Error)) {
        return nullptr;
    }
    std::unique_ptr<TLedger> ledger(new TLedger(*connection, *place));
    ledger->FReadOnly = Access.ReadOnly;
    if (!ledger->Connect() || !(Access.ReadOnly ? ledger->CheckSchemaToRead() : ledger->CreateOrCheckSchema())) {
        Error = ledger->FError;
        return nullptr;
    }
    return ledger;
}

bool TLedger::Connect()
{
    QSqlDatabase db = QSqlDatabase::addDatabase(FSql.Driver, FConnection);
    FSql.Configure(db, FPlace, FReadOnly);
    if (!OpenSession())
        return false;
    struct stat opened { };
    if (FSql.LocalFile && ::stat(LocalPath(FPlace.File).c_str(), &opened) == 0) {
        FFileKnown = true;
        FFileDevice = quint64(opened.st_dev);
        FFileInode = quint64(opened.st_ino);
    }
    return true;
}
