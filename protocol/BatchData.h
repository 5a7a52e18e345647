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
// A file is taken whole or not at all: every cell is checked when it is
// read, so a bad one stops the batch before a card is touched, and a row
// once read always applies.

#include "protocol/DumpFile.h"
#include "protocol/SafeFile.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class TColumnKind { Label,
    Block,
    Value };

struct TDataColumn {
    TColumnKind Kind = TColumnKind::Label;
    int Block = -1; // the block a Block or Value column writes; -1 for a label
    bool operator==(const TDataColumn&) const = default;
};

struct TBatchData {
    // The header's names as the file spells them.
    std::vector<std::string> Columns;
    // What each column is, one for each name.
    std::vector<TDataColumn> Kinds;
    // One a card, row 1 first; each has a cell for every column, as the file
    // holds it (quotes undone).
    std::vector<std::vector<std::string>> Rows;
    bool operator==(const TBatchData&) const = default;
};

// Content of a data file; FileName only names the file in the error. On a
// bad file none, and Error names the file, the line and, for a cell, its
// column (1-based).
std::optional<TBatchData> ParseBatchData(std::string_view Content, const std::string& FileName, TFileError& Error);
// A regular text file of at most 16 MiB, by SafeFile's rule.
std::optional<TBatchData> ReadBatchData(const std::string& Path, TFileError& Error);

// Template with row Row (0-based: the file's row 1 is 0) over it: each block
// the row names takes the row's bytes and becomes known; the rest stays as
// the template has it. Data as ParseBatchData gives it: a row it lacks
// throws std::out_of_range, a cell it would refuse std::invalid_argument.
TDumpImage ApplyRow(const TDumpImage& Template, const TBatchData& Data, size_t Row);
// The names of the label columns, in the file's order.
std::vector<std::string> LabelColumns(const TBatchData& Data);
// Row Row's labels (0-based), in the order of LabelColumns.
std::vector<std::string> RowLabels(const TBatchData& Data, size_t Row);
