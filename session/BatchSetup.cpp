// What a batch is set up from, before its first card: its start as its files
// give it, the image each card gets, and the template's trailers decided.
#include "session/BatchJob.h"

#include "protocol/BatchDataStream.h"
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

std::optional<TBatchData> ReadDataFile(const std::string& Path, TFileError& Error, const TDataFileOptions& Options)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    std::optional<TBatchData> data = ScanBatchData(Path, Error, Options, [&hash](std::string_view Bytes) {
        hash.addData(QByteArrayView(Bytes.data(), qsizetype(Bytes.size())));
    });
    if (data)
        data->Sha256 = hash.result().toHex().toStdString();
    return data;
}

namespace {

QStringList CellsOf(const std::vector<std::string>& Row)
{
    QStringList cells;
    for (const std::string& cell : Row)
        cells << QString::fromStdString(cell);
    return cells;
}

// The rows of a file checked before, read again as they are stored: the
// same rules, and at the end the same SHA-256, or the start is refused.
TRowSource StreamedRows(const std::string& Path, const TBatchData& Checked)
{
    return [Path, Checked](const TRowSink& Take, QString& Error) {
        QCryptographicHash hash(QCryptographicHash::Sha256);
        TBatchDataStream stream([&hash](std::string_view Bytes) { hash.addData(QByteArrayView(Bytes.data(), qsizetype(Bytes.size()))); });
        TFileError fault;
        const QString changed = QStringLiteral("%1 changed since it was checked: check it and start the batch again").arg(QFile::decodeName(Path.c_str()));
        if (!stream.Open(Path, fault, Checked.Options)) {
            Error = QString::fromStdString(fault.Text());
            return false;
        }
        if (stream.Header().Columns != Checked.Columns) {
            Error = changed;
            return false;
        }
        while (const std::optional<std::vector<std::string>> row = stream.Next(fault)) {
            if (!Take(CellsOf(*row)))
                return false;
        }
        if (!fault.Message.empty()) {
            Error = QString::fromStdString(fault.Text());
            return false;
        }
        if (hash.result().toHex().toStdString() != Checked.Sha256) {
            Error = changed;
            return false;
        }
        return true;
    };
}

} // namespace

TBatchStart BatchStartOf(const QString& Name, const std::string& TemplatePath, const std::string& DataPath,
    const std::optional<TBatchData>& Data)
{
    TBatchStart start;
    const std::string named = DataPath.empty() ? TemplatePath : DataPath;
    start.Name = Name.isEmpty() ? QFileInfo(QFile::decodeName(named.c_str())).fileName() : Name;
    start.TemplateSha256 = Sha256Of(TemplatePath);
    if (!Data)
        return start;
    start.DataSha256 = Data->Sha256.empty() ? Sha256Of(DataPath) : QString::fromStdString(Data->Sha256);
    start.DataName = QFileInfo(QFile::decodeName(DataPath.c_str())).fileName();
    for (const std::string& column : Data->Columns)
        start.Columns << QString::fromStdString(column);
    if (Data->Rows.empty() && Data->RowCount > 0 && !Data->Sha256.empty()) {
        start.Rows = StreamedRows(DataPath, *Data);
        return start;
    }
    std::vector<QStringList> rows;
    for (const std::vector<std::string>& row : Data->Rows)
        rows.push_back(CellsOf(row));
    start.Rows = RowsOf(std::move(rows));
    return start;
}

std::function<TDumpImage(const TClaim&)> CardImages(const TDumpImage& Template, const std::optional<TBatchData>& Data)
{
    if (!Data)
        return [Template](const TClaim&) { return Template; };
    // The header alone: the cells come with the claim.
    TBatchData header{Data->Columns, Data->Kinds, {}, Data->RowCount, Data->Options, Data->Sha256};
    return [Template, header](const TClaim& Claim) {
        if (Claim.Row <= 0)
            return Template;
        std::vector<std::string> cells;
        for (const QString& cell : Claim.Cells)
            cells.push_back(cell.toStdString());
        return ApplyCells(Template, header, cells);
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
