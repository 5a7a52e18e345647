#include "support/PgServer.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVersionNumber>

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

// Commands end long before this; it only keeps a hung one from hanging the
// test run.
constexpr int CommandDeadlineMs = 300000;

const char* const ServerUser = "postgres";
const QString SuperUser = QStringLiteral("orvelle");

bool AsRoot() { return ::geteuid() == 0; }

QString Tail(const QString& Path)
{
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray all = file.readAll();
    return QString::fromLocal8Bit(all.right(4000));
}

} // namespace

TPgServer::~TPgServer()
{
    if (FRunning)
        Stop();
    if (!FFolder.isEmpty()) {
        std::error_code ignored;
        std::filesystem::remove_all(FFolder.toStdString(), ignored);
    }
}

bool TPgServer::Start()
{
    const QDir versions(QStringLiteral("/usr/lib/postgresql"));
    QStringList found = versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    found.erase(std::remove_if(found.begin(), found.end(), [&](const QString& Version) {
        return !QFile::exists(versions.filePath(Version + QStringLiteral("/bin/initdb")));
    }),
        found.end());
    if (found.isEmpty()) {
        FError = "no PostgreSQL server in /usr/lib/postgresql/<version>/bin: install Debian's postgresql package (scripts/deps.sh)";
        return false;
    }
    std::sort(found.begin(), found.end(), [](const QString& A, const QString& B) {
        return QVersionNumber::fromString(A) < QVersionNumber::fromString(B);
    });
    FBin = versions.filePath(found.last() + QStringLiteral("/bin"));

    // Under /tmp, not TMPDIR: the socket's path must stay short.
    char folder[] = "/tmp/orvelle-pg-XXXXXX";
    if (!::mkdtemp(folder)) {
        FError = std::string("cannot make a folder under /tmp: ") + std::strerror(errno);
        return false;
    }
    FFolder = QString::fromLocal8Bit(folder);
    if (AsRoot()) {
        const passwd* user = ::getpwnam(ServerUser);
        if (!user) {
            FError = "running as root, but there is no postgres user to run the server as: install Debian's postgresql package";
            return false;
        }
        if (::chown(folder, user->pw_uid, user->pw_gid) != 0) {
            FError = FFolder.toStdString() + ": cannot give it to the postgres user: " + std::strerror(errno);
            return false;
        }
    }
    const QString data = FFolder + QStringLiteral("/data");
    if (!Run(FBin + QStringLiteral("/initdb"),
            {QStringLiteral("-D"), data, QStringLiteral("-U"), SuperUser, QStringLiteral("-A"), QStringLiteral("trust"),
                QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--locale=C"), QStringLiteral("--no-sync")},
            QStringLiteral("initdb")))
        return false;
    // Only the socket in the private folder; no durability the tests need.
    QFile conf(data + QStringLiteral("/postgresql.conf"));
    if (!conf.open(QIODevice::Append)
        || conf.write(QStringLiteral("\nlisten_addresses = ''\nunix_socket_directories = '%1'\nfsync = off\n"
                                     "full_page_writes = off\nmax_connections = 40\n")
                          .arg(FFolder)
                          .toLocal8Bit())
            < 0) {
        FError = (conf.fileName() + QStringLiteral(": ") + conf.errorString()).toStdString();
        return false;
    }
    conf.close();
    return StartServer(QStringLiteral("start the server"));
}

bool TPgServer::StartServer(const QString& What)
{
    const QString log = FFolder + QStringLiteral("/server.log");
    if (!Run(FBin + QStringLiteral("/pg_ctl"),
            {QStringLiteral("-D"), FFolder + QStringLiteral("/data"), QStringLiteral("-l"), log, QStringLiteral("-w"),
                QStringLiteral("-t"), QStringLiteral("120"), QStringLiteral("start")},
            What)) {
        FError += "\n--- server log:\n" + Tail(log).toStdString();
        return false;
    }
    FRunning = true;
    return true;
}

bool TPgServer::Stop()
{
    FRunning = false;
    return Run(FBin + QStringLiteral("/pg_ctl"),
        {QStringLiteral("-D"), FFolder + QStringLiteral("/data"), QStringLiteral("-m"), QStringLiteral("immediate"),
            QStringLiteral("-w"), QStringLiteral("stop")},
        QStringLiteral("stop the server"));
}

bool TPgServer::Resume() { return StartServer(QStringLiteral("start the server again")); }

bool TPgServer::Run(const QString& Program, const QStringList& Arguments, const QString& What)
{
    QProcess process;
    process.setWorkingDirectory(FFolder);
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (AsRoot())
        process.start(QStringLiteral("runuser"), QStringList{QStringLiteral("-u"), QString::fromLatin1(ServerUser), QStringLiteral("--"), Program} + Arguments);
    else
        process.start(Program, Arguments);
    const bool ended = process.waitForStarted(CommandDeadlineMs) && process.waitForFinished(CommandDeadlineMs);
    if (ended && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    FError = (QStringLiteral("cannot %1: %2 %3: %4\n%5")
                  .arg(What, Program, Arguments.join(QLatin1Char(' ')),
                      ended ? QStringLiteral("exit code %1").arg(process.exitCode()) : process.errorString(),
                      QString::fromLocal8Bit(process.readAll())))
                 .toStdString();
    if (!ended)
        process.kill();
    return false;
}

QString TPgServer::NewDatabase()
{
    const QString name = QStringLiteral("ledger_%1").arg(++FDatabases);
    const QString connection = QStringLiteral("pg-server-admin");
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection);
        db.setHostName(FFolder);
        db.setUserName(SuperUser);
        db.setDatabaseName(QStringLiteral("postgres"));
        if (!db.open()) {
            FError = "cannot connect to the test server: " + db.lastError().text().toStdString();
        } else {
            QSqlQuery query(db);
            ok = query.exec(QStringLiteral("CREATE DATABASE ") + name);
            if (!ok)
                FError = "cannot create database " + name.toStdString() + ": " + query.lastError().text().toStdString();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return ok ? name : QString();
}

QString TPgServer::Url(const QString& Database) const
{
    return QStringLiteral("postgresql://%1@/%2?host=%3").arg(SuperUser, Database, FFolder);
}
