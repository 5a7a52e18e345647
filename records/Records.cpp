#include "records/Records.h"

#include <QDir>
#include <QFile>

#include <filesystem>
#include <system_error>

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

QString MakeFolderOf(const QString& Path)
{
    const std::filesystem::path folder = std::filesystem::path(LocalPath(Path)).parent_path();
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    return error ? FromLocalPath(folder.string() + ": " + error.message()) : QString();
}

std::string LocalPath(const QString& Path) { return QFile::encodeName(Path).toStdString(); }
QString FromLocalPath(const std::string& Path) { return QFile::decodeName(Path.c_str()); }
