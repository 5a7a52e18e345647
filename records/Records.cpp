#include "records/Records.h"

#include <QDir>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <system_error>
#include <unistd.h>

QString StateDirectory()
{
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    const QString base = !state.isEmpty() && QDir::isAbsolutePath(state) ? state : QDir::homePath() + QStringLiteral("/.local/state");
    return QDir::cleanPath(base + QStringLiteral("/orvelle"));
}

QString IsoTimeStamp(const QDateTime& When)
{
    const int offset = When.offsetFromUtc();
    const int minutes = (offset < 0 ? -offset : offset) / 60;
    return When.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz"))
        + QString::asprintf("%c%02d:%02d", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
}

TAppendFile::~TAppendFile() { Close(); }

QString TAppendFile::Open(const QString& Path, bool Exclusive)
{
    Close();
    FPath = Path;
    FExisted = false;
    const std::filesystem::path path(Path.toStdString());
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    if (error)
        return QString::fromStdString(path.parent_path().string() + ": " + error.message());
    const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (Exclusive ? O_EXCL : 0);
    FFd = ::open(path.c_str(), flags, 0666);
    if (FFd < 0) {
        FExisted = errno == EEXIST;
        return Path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
    }
    return {};
}

QString TAppendFile::Append(const QByteArray& Bytes)
{
    if (FFd < 0)
        return FPath + QStringLiteral(": not open");
    const char* data = Bytes.constData();
    size_t left = size_t(Bytes.size());
    while (left > 0) {
        const ssize_t n = ::write(FFd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return FPath + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(n < 0 ? errno : ENOSPC));
        data += n;
        left -= size_t(n);
    }
    return {};
}

void TAppendFile::Close()
{
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
}
