// Where a ledger is, and what may be trusted there: the --ledger address,
// the password file, and the rule an SQLite ledger file, the files SQLite
// keeps beside it and its folder must pass before SQLite opens them.
#include "records/LedgerSql.h"

#include "protocol/BatchData.h"
#include "protocol/SafeFile.h"
#include "records/Records.h"

#include <QDir>
#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

using LedgerSql::FolderOf;

std::string LedgerSql::FolderOf(const std::string& Path)
{
    const size_t slash = Path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : Path.substr(0, slash);
}

namespace {

QString DataDirectory()
{
    const QString data = qEnvironmentVariable("XDG_DATA_HOME");
    const QString base = !data.isEmpty() && QDir::isAbsolutePath(data) ? data : QDir::homePath() + QStringLiteral("/.local/share");
    return QDir::cleanPath(base + QStringLiteral("/orvelle"));
}

std::string ModeText(mode_t Mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", unsigned(Mode & 07777));
    return text;
}

std::string SystemError(const std::string& Path) { return Path + ": " + std::strerror(errno); }

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

// The default ledger's folder is made for the user alone, whatever the
// umask: the folder rule asks that of it. Empty, or why it could not be.
QString MakeDefaultFolder(const QString& File)
{
    const QString folder = FromLocalPath(FolderOf(LocalPath(File)));
    if (QString reason = MakeFolderOf(folder); !reason.isEmpty())
        return reason;
    if (::mkdir(LocalPath(folder).c_str(), 0700) != 0 && errno != EEXIST)
        return FromLocalPath(SystemError(LocalPath(folder)));
    return {};
}

// The files SQLite keeps beside a ledger, and takes as part of it.
const char* const SideFiles[] = {"-wal", "-shm", "-journal"};

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

bool LedgerSql::AdmitFile(TLedgerPlace& Place, const TLedgerAccess& Access, bool DefaultFile, QString& Error)
{
    const auto refused = [&](const QString& Why) {
        Error = QStringLiteral("ledger: ") + Why;
        return false;
    };
    const bool mustExist = Access.ReadOnly || Access.MustExist;
    if (DefaultFile && !mustExist) {
        const QString reason = MakeDefaultFolder(Place.File);
        if (!reason.isEmpty())
            return refused(reason);
    }
    std::string why;
    const std::optional<std::string> target = ReadTarget(LocalPath(Place.File), why);
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
    for (const char* side : SideFiles) {
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
    // A ledger is made in a folder, never with it: a mistyped path makes none.
    if (noFolder && !Access.ReadOnly)
        return refused(QStringLiteral("the folder %1 does not exist: create it first").arg(FromLocalPath(FolderOf(*target))));
    // SQLite would open whatever the path leads to: to write, the file,
    // and the journal files SQLite keeps beside it, must pass the rule
    // for every file written.
    if (!Access.ReadOnly) {
        if (!SaveTarget(LocalPath(Place.File), why))
            return refused(FromLocalPath(why));
        for (const char* side : SideFiles) {
            if (!SaveTarget(*target + side, why))
                return refused(FromLocalPath(why));
        }
    }
    Place.File = FromLocalPath(*target);
    return true;
}
