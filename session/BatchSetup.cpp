// What a batch is set up from, before its first card: its start as its files
// give it, the image each card gets, and the template's trailers decided.
#include "session/BatchJob.h"

#include "protocol/CardLayout.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <pwd.h>
#include <unistd.h>

namespace {

// A file's SHA-256 in hex, empty when it cannot be read.
QString Sha256Of(const std::string& Path)
{
    QFile file(QFile::decodeName(Path.c_str()));
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return {};
    return QString::fromLatin1(hash.result().toHex());
}

} // namespace

QString LoginName()
{
    // The password database names the user even under su or sudo -u, where
    // $USER may still be the one who started the shell.
    if (const passwd* user = ::getpwuid(::geteuid()); user && user->pw_name && *user->pw_name)
        return QString::fromLocal8Bit(user->pw_name);
    const QString user = qEnvironmentVariable("USER");
    return user.isEmpty() ? QStringLiteral("unknown") : user;
}

TBatchStart BatchStartOf(const QString& Name, const std::string& TemplatePath, const std::string& DataPath,
    const std::optional<TBatchData>& Data)
{
    TBatchStart start;
    const std::string named = DataPath.empty() ? TemplatePath : DataPath;
    start.Name = Name.isEmpty() ? QFileInfo(QFile::decodeName(named.c_str())).fileName() : Name;
    start.TemplateSha256 = Sha256Of(TemplatePath);
    if (!Data)
        return start;
    start.DataSha256 = Sha256Of(DataPath);
    start.DataName = QFileInfo(QFile::decodeName(DataPath.c_str())).fileName();
    for (const std::string& column : Data->Columns)
        start.Columns << QString::fromStdString(column);
    for (const std::vector<std::string>& row : Data->Rows) {
        QStringList cells;
        for (const std::string& cell : row)
            cells << QString::fromStdString(cell);
        start.Rows.push_back(cells);
    }
    return start;
}

std::function<TDumpImage(const TClaim&)> CardImages(const TDumpImage& Template, const std::optional<TBatchData>& Data)
{
    return [Template, Data](const TClaim& Claim) {
        return Data && Claim.Row > 0 ? ApplyRow(Template, *Data, size_t(Claim.Row - 1)) : Template;
    };
}

std::optional<TDumpImage> DecideTrailers(const TDumpImage& Template, const std::function<bool(const TTrailerChange&)>& Ask,
    std::string& Error)
{
    TDumpImage image = Template;
    for (int sector = 0; sector < SectorCount; ++sector) {
        TTrailerChange change;
        // Against a card of which nothing is known: every trailer the
        // template knows in full is a change to approve.
        switch (PlanTrailer(sector, Template, TDumpImage{}, &change)) {
        case TTrailerPlan::Unknown:
        case TTrailerPlan::Unchanged:
            continue;
        case TTrailerPlan::Inconsistent:
            Error = "the template's trailer of sector " + std::to_string(sector)
                + " has access bits that contradict each other: it would lock the sector on every card; fix the template";
            return std::nullopt;
        case TTrailerPlan::Change:
            break;
        }
        if (!Ask(change)) {
            const auto block = size_t(TrailerOf(sector));
            image.Data[block].fill(0);
            image.Known[block].fill(0);
        }
    }
    return image;
}

QString TrailersDigest(const TDumpImage& Template)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const TTrailerChange& change : TrailerChanges(Template, TDumpImage{})) {
        hash.addData(QByteArrayView(QByteArray(1, char(change.Sector))));
        hash.addData(QByteArrayView(reinterpret_cast<const char*>(change.Trailer.data()), qsizetype(change.Trailer.size())));
    }
    return QString::fromLatin1(hash.result().toHex());
}
