#pragma once
// The data a batch writes card by card: a CSV file (RFC 4180: quoted cells
// may hold commas, doubled quotes and line breaks; lines end in CRLF or LF; a
// UTF-8 byte-order mark at the start and empty lines at the end are
// ignored). Its first line names the columns; every further line is the data
// of one card, in the order the cards come. A column is
//  - "block N" (either case, N a block of the card from 1 to 63 that is no
//    sector trailer: block 0 and the trailers never come from data): each
//    cell 32 hex digits, the block's 16 bytes;
//  - "value N": each cell a whole number in the signed 32-bit range, written
//    as a value block at N with N as its address byte (same blocks as above);
//  - anything else: a label, which the card's record keeps (a printed
//    number, a name).
// DataColumns.h holds the rules of the names and the cells; CsvRecords.h
// cuts the text into records.
// A header that looks meant but is not understood is refused, with the fix
// named: one that falls into more cells on ';' or a tab than on ',', and a
// near miss (a word one edit from "block" or "value", then a number 1 to 63:
// "blok 4", "vaule 8") unless the options keep it as a label. A file with no
// data column is taken only as labels only; a file with no rows, or with an
// empty line among its rows, is refused.
// A file is taken whole or not at all: every cell is checked when it is
// read, so a bad one stops the batch before a card is touched, and a row
// once read always applies.

#include "protocol/CsvRecords.h"
#include "protocol/DataColumns.h"
#include "protocol/DumpFile.h"
#include "protocol/SafeFile.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// How the operator asked for the file to be taken.
struct TDataFileOptions {
    // Columns kept as labels although their names are near misses of a data
    // column's, as the header spells them (spaces around aside).
    std::vector<std::string> Labels;
    // A file of labels only: every card gets the template as it is.
    bool LabelsOnly = false;
    bool operator==(const TDataFileOptions&) const = default;
};

struct TBatchData {
    // The header's names as the file spells them.
    std::vector<std::string> Columns;
    // What each column is, one for each name.
    std::vector<TDataColumn> Kinds;
    // One a card, row 1 first; each has a cell for every column, as the file
    // holds it (quotes undone). Empty for a file checked as it streamed
    // (BatchDataStream.h): its rows are read again as they are stored.
    std::vector<std::vector<std::string>> Rows;
    // The rows the file holds, held or not.
    size_t RowCount = 0;
    // How the file was taken, to read it again the same way.
    TDataFileOptions Options{};
    // The file's SHA-256 (hex) as it was checked, when its reader was given
    // a digest; the rows read again must be those.
    std::string Sha256{};
    bool operator==(const TBatchData&) const = default;
};

// Content of a data file; FileName only names the file in the error. On a
// bad file none, and Error names the file, the line and, for a cell, its
// column (1-based).
std::optional<TBatchData> ParseBatchData(std::string_view Content, const std::string& FileName, TFileError& Error,
    const TDataFileOptions& Options = {});
// A regular text file of at most 16 MiB, by SafeFile's rule.
std::optional<TBatchData> ReadBatchData(const std::string& Path, TFileError& Error, const TDataFileOptions& Options = {});

// One record by those rules, for a reader that takes the file a record at
// a time: the header into Data's columns (Data.Options its options); a
// row's cells checked against them, into Row. False with Error as above.
bool ReadDataHeader(const TCsvRecord& Header, TBatchData& Data, const std::string& FileName, TFileError& Error);
bool ReadDataRow(const TCsvRecord& Record, const TBatchData& Data, std::vector<std::string>& Row, const std::string& FileName,
    TFileError& Error);

// Template with the row Cells over it (the cells of one row, as the file or
// a ledger holds them), by the rule of ApplyRow below.
TDumpImage ApplyCells(const TDumpImage& Template, const TBatchData& Data, const std::vector<std::string>& Cells);
// Template with row Row (0-based: the file's row 1 is 0) over it: each block
// the row names takes the row's bytes and becomes known; the rest stays as
// the template has it. Data as ParseBatchData gives it: a row it lacks
// throws std::out_of_range, a cell it would refuse std::invalid_argument.
TDumpImage ApplyRow(const TDumpImage& Template, const TBatchData& Data, size_t Row);
// The names of the label columns, in the file's order.
std::vector<std::string> LabelColumns(const TBatchData& Data);
// Row Row's labels (0-based), in the order of LabelColumns.
std::vector<std::string> RowLabels(const TBatchData& Data, size_t Row);

// What every card of a batch gets, decided before the first: the template,
// the data columns laid over it, and the trailers when they are written.
struct TBatchPlan {
    // The lines both faces say at start: the template's blocks, the data
    // columns over them, the labels kept.
    std::vector<std::string> Lines;
};
// None, with Error saying why, for a batch whose cards would get no block at
// all, or one with a block partly known once a row is laid over the template
// (it would be left off every card without a word). Block 0 is never
// written, and the trailers only when Trailers says so.
std::optional<TBatchPlan> PlanBatch(const TDumpImage& Template, const std::optional<TBatchData>& Data, bool Trailers,
    std::string& Error);
