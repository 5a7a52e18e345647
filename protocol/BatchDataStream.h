#pragma once
// A batch's data file read as it streams, for files of a million rows and
// more: the header when it opens, then one row a call, each record checked
// by BatchData.h's rules (the same refusals and messages) as it comes.
// Never more than a chunk of the file and the record being read are held.
// Every byte read goes to Digest first, so that the file's SHA-256 is made
// in the same pass.

#include "protocol/BatchData.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What a data file for one batch may hold: a larger one is refused before
// a row is read.
constexpr uint64_t MaxStreamedDataBytes = uint64_t(1) << 30;
constexpr size_t MaxDataRows = 10'000'000;

class TBatchDataStream {
public:
    explicit TBatchDataStream(std::function<void(std::string_view Bytes)> Digest = {});
    ~TBatchDataStream();
    TBatchDataStream(const TBatchDataStream&) = delete;
    TBatchDataStream& operator=(const TBatchDataStream&) = delete;

    // Opens Path (a regular file, SafeFile's rule) and reads its header by
    // Options; false with Error saying why.
    bool Open(const std::string& Path, TFileError& Error, const TDataFileOptions& Options = {});
    // The header's columns and kinds, the options; no rows.
    const TBatchData& Header() const { return FHeader; }
    // The next row's cells; none at the end of the file (Error's message
    // empty) or for a bad file (Error says where and why).
    std::optional<std::vector<std::string>> Next(TFileError& Error);
    // Rows given so far.
    size_t Rows() const { return FRows; }

private:
    // The next record; false at the end or on a fault (FFault).
    bool NextRecord(TCsvRecord& Record, TFileError& Error);
    // More of the file into the buffer; false at its end or on a failure.
    bool Fill(TFileError& Error);
    // The records of the buffer up to its last line end outside quotes (all
    // of it at the file's end) into FRecords; false on a fault.
    bool CutRecords(TFileError& Error);
    bool Fail(TFileError& Error, int Line, int Column, std::string Message) const;

    std::function<void(std::string_view)> FDigest;
    std::string FPath;
    int FFd = -1;
    bool FEnd = false;      // the file's end was read
    bool FStarted = false;  // its first bytes were checked
    std::string FBuffer;    // read, not yet cut into records
    size_t FScanned = 0;    // how far the buffer was looked through for a line end
    bool FInQuotes = false; // at FScanned
    size_t FLastEnd = 0;    // past the last line end outside quotes, 0 for none
    int FLines = 0;         // the lines before the buffer
    std::vector<TCsvRecord> FRecords;
    size_t FNext = 0;   // in FRecords
    int FBlankLine = 0; // the first empty line since the last row, 0 for none
    int FHeaderLine = 0;
    uint64_t FBytes = 0;
    size_t FRows = 0;
    TBatchData FHeader;
};

// Path checked whole as it streams, its rows counted but not kept
// (RowCount); Digest hears every byte. None, with Error, for a bad file.
std::optional<TBatchData> ScanBatchData(const std::string& Path, TFileError& Error, const TDataFileOptions& Options = {},
    std::function<void(std::string_view Bytes)> Digest = {});
