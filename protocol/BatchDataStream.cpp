#include "protocol/BatchDataStream.h"

#include "protocol/PlainText.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <unistd.h>

namespace {

// Read at a time; the records of a chunk are cut at its last line end.
constexpr size_t ChunkBytes = 1 << 20;
// A record with no line end in this much is no row of a data file (most
// often a quote left open), and is not held further.
constexpr size_t MaxRecordBytes = 16 * 1024 * 1024;

void ShiftLines(TCsvRecord& Record, int Lines)
{
    Record.Line += Lines;
    for (TCsvCell& cell : Record.Cells)
        cell.Line += Lines;
}

} // namespace

TBatchDataStream::TBatchDataStream(std::function<void(std::string_view)> Digest)
    : FDigest(std::move(Digest))
{
}

TBatchDataStream::~TBatchDataStream()
{
    if (FFd >= 0)
        ::close(FFd);
}

bool TBatchDataStream::Fail(TFileError& Error, int Line, int Column, std::string Message) const
{
    Error = {FPath, Line, std::move(Message), Column};
    return false;
}

bool TBatchDataStream::Open(const std::string& Path, TFileError& Error, const TDataFileOptions& Options)
{
    FPath = Path;
    FHeader = {};
    FHeader.Options = Options;
    std::string why;
    FFd = OpenRegularFile(Path, MaxStreamedDataBytes, why);
    if (FFd < 0)
        return Fail(Error, 0, 0, why);
    Error = {};
    TCsvRecord header;
    bool found = NextRecord(header, Error);
    // Empty lines and then the end: an empty file. Before a line of text,
    // an empty first line is a header of one nameless column.
    if (found && header.Blank()) {
        TCsvRecord after;
        bool more = false;
        while ((more = NextRecord(after, Error)) && after.Blank()) {
        }
        found = more;
    }
    if (!found)
        return Error.Message.empty() ? Fail(Error, 0, 0, "no header line: an empty data file") : false;
    FHeaderLine = header.Line;
    return ReadDataHeader(header, FHeader, FPath, Error);
}

std::optional<std::vector<std::string>> TBatchDataStream::Next(TFileError& Error)
{
    Error = {};
    TCsvRecord record;
    for (;;) {
        if (!NextRecord(record, Error)) {
            if (Error.Message.empty() && FRows == 0)
                Fail(Error, FHeaderLine, 0, "no rows under the header: a data file holds a row a card");
            return std::nullopt;
        }
        // Kept back until a row follows: at the file's end they are what an
        // editor leaves; among the rows, one would shift every row after it.
        if (record.Blank()) {
            if (FBlankLine == 0)
                FBlankLine = record.Line;
            continue;
        }
        if (FBlankLine > 0) {
            Fail(Error, FBlankLine, 0, "an empty line among the rows: remove it, or give it its row");
            return std::nullopt;
        }
        std::vector<std::string> row;
        if (!ReadDataRow(record, FHeader, row, FPath, Error))
            return std::nullopt;
        if (++FRows > MaxDataRows) {
            Fail(Error, record.Line, 0, "more than " + std::to_string(MaxDataRows) + " rows: split the data file into batches of fewer rows");
            return std::nullopt;
        }
        return row;
    }
}

bool TBatchDataStream::NextRecord(TCsvRecord& Record, TFileError& Error)
{
    while (FNext == FRecords.size()) {
        FRecords.clear();
        FNext = 0;
        if (FEnd && FBuffer.empty())
            return false;
        if (!CutRecords(Error))
            return false;
    }
    Record = std::move(FRecords[FNext++]);
    return true;
}

bool TBatchDataStream::Fill(TFileError& Error)
{
    std::string chunk(ChunkBytes, '\0');
    ssize_t n = 0;
    do
        n = ::read(FFd, chunk.data(), chunk.size());
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return Fail(Error, 0, 0, "cannot read the file: " + std::string(std::strerror(errno)));
    if (n == 0) {
        FEnd = true;
        return true;
    }
    chunk.resize(size_t(n));
    FBytes += uint64_t(n);
    // A file that grows while it is read is held to the same bound.
    if (FBytes > MaxStreamedDataBytes)
        return Fail(Error, 0, 0, "more than " + std::to_string(MaxStreamedDataBytes) + " bytes: no data file for one batch is that large");
    if (FDigest)
        FDigest(chunk);
    FBuffer += chunk;
    return true;
}

bool TBatchDataStream::CutRecords(TFileError& Error)
{
    for (;;) {
        for (; FScanned < FBuffer.size(); ++FScanned) {
            const char c = FBuffer[FScanned];
            if (c == '"')
                FInQuotes = !FInQuotes;
            else if (c == '\n' && !FInQuotes)
                FLastEnd = FScanned + 1;
        }
        if (FLastEnd > 0 || FEnd)
            break;
        if (FBuffer.size() > MaxRecordBytes) {
            std::vector<TCsvRecord> records;
            if (TCsvFault fault; !SplitCsvRecords(FBuffer, records, fault))
                return Fail(Error, fault.Line + FLines, fault.Column, std::move(fault.Message));
            return Fail(Error, FLines + 1, 0, "a record of more than " + std::to_string(MaxRecordBytes) + " bytes: no row of a data file is that long");
        }
        if (!Fill(Error))
            return false;
    }
    if (!FStarted) {
        // The byte-order mark, once, at the file's start.
        FStarted = true;
        const size_t mark = FBuffer.size() - WithoutByteOrderMark(FBuffer).size();
        FBuffer.erase(0, mark);
        FScanned -= mark;
        FLastEnd -= std::min(FLastEnd, mark);
    }
    const bool last = FEnd;
    const size_t cut = last ? FBuffer.size() : FLastEnd;
    const std::string_view piece = std::string_view(FBuffer).substr(0, cut);
    // A binary file's bytes are nothing to quote as a bad cell.
    if (!IsPlainText(piece))
        return Fail(Error, 0, 0, "not a text data file");
    // Before the end, empty lines at a piece's end are not the file's: a
    // record after them keeps them among the records, and goes again.
    std::string text(piece);
    if (!last)
        text += 'x';
    TCsvFault fault;
    if (!SplitCsvRecords(text, FRecords, fault))
        return Fail(Error, fault.Line + FLines, fault.Column, std::move(fault.Message));
    if (!last)
        FRecords.pop_back();
    for (TCsvRecord& record : FRecords)
        ShiftLines(record, FLines);
    FLines += int(std::count(piece.begin(), piece.end(), '\n'));
    FBuffer.erase(0, cut);
    FScanned -= cut;
    FLastEnd = 0;
    return true;
}

std::optional<TBatchData> ScanBatchData(const std::string& Path, TFileError& Error, const TDataFileOptions& Options,
    std::function<void(std::string_view)> Digest)
{
    TBatchDataStream stream(std::move(Digest));
    if (!stream.Open(Path, Error, Options))
        return std::nullopt;
    while (stream.Next(Error)) {
    }
    if (!Error.Message.empty())
        return std::nullopt;
    TBatchData data = stream.Header();
    data.RowCount = stream.Rows();
    return data;
}
