#include "protocol/BatchData.h"

#include "protocol/CardLayout.h"
#include "protocol/HexDigit.h"
#include "protocol/PlainText.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <map>
#include <stdexcept>

namespace {

// A full card's blocks for ten thousand cards and their labels; a larger
// file is no data file for one batch.
constexpr size_t MaxDataFileBytes = 16 * 1024 * 1024;
// Of a bad cell, as much as tells what it is.
constexpr size_t QuotedBytes = 40;

struct TCell {
    std::string Text;
    int Line = 0; // where the cell starts
    bool Quoted = false;
};

struct TRecord {
    int Line = 0;
    std::vector<TCell> Cells;
    // An empty line: what an editor leaves at a file's end.
    bool Blank() const { return Cells.size() == 1 && !Cells[0].Quoted && Cells[0].Text.empty(); }
};

class TFailure {
public:
    TFailure(const std::string& FileName, TFileError& Error)
        : FFileName(FileName)
        , FError(Error)
    {
    }
    bool operator()(int Line, int Column, std::string Message) const
    {
        FError = {FFileName, Line, std::move(Message), Column};
        return false;
    }

private:
    const std::string& FFileName;
    TFileError& FError;
};

bool LineEndAt(std::string_view Text, size_t I)
{
    return I < Text.size() && (Text[I] == '\n' || (Text[I] == '\r' && I + 1 < Text.size() && Text[I + 1] == '\n'));
}

// RFC 4180's records, with the line each record and each cell starts on.
bool SplitRecords(std::string_view Text, std::vector<TRecord>& Out, const TFailure& Fail)
{
    size_t i = 0;
    int line = 1;
    while (i < Text.size()) {
        TRecord record{line, {}};
        for (;;) {
            TCell cell{{}, line, false};
            const int column = int(record.Cells.size()) + 1;
            if (i < Text.size() && Text[i] == '"') {
                cell.Quoted = true;
                for (++i;; ++i) {
                    if (i == Text.size())
                        return Fail(cell.Line, column, "a quoted cell is not closed");
                    if (Text[i] == '"') {
                        if (i + 1 < Text.size() && Text[i + 1] == '"') {
                            cell.Text += '"';
                            ++i;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    line += Text[i] == '\n';
                    cell.Text += Text[i];
                }
                if (i < Text.size() && Text[i] != ',' && !LineEndAt(Text, i))
                    return Fail(line, column, "text after the closing quote of a cell");
            } else {
                for (; i < Text.size() && Text[i] != ',' && !LineEndAt(Text, i); ++i) {
                    if (Text[i] == '"')
                        return Fail(line, column, "a quote in a cell that does not start with one");
                    cell.Text += Text[i];
                }
            }
            record.Cells.push_back(std::move(cell));
            if (i < Text.size() && Text[i] == ',') {
                ++i;
                continue;
            }
            if (i < Text.size()) {
                i += Text[i] == '\r' ? 2 : 1;
                ++line;
            }
            break;
        }
        Out.push_back(std::move(record));
    }
    while (!Out.empty() && Out.back().Blank())
        Out.pop_back();
    return true;
}

std::string_view Trimmed(std::string_view Text)
{
    const size_t first = Text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return Text.substr(first, Text.find_last_not_of(" \t") - first + 1);
}

bool IsDigit(char C) { return C >= '0' && C <= '9'; }

// "block 12", "Value 4", "BLOCK7": the kind and the number as written; a
// label for anything else.
TColumnKind KindOf(std::string_view Name, std::string_view& Number)
{
    Name = Trimmed(Name);
    constexpr size_t wordLength = 5;
    if (Name.size() <= wordLength)
        return TColumnKind::Label;
    std::string word(Name.substr(0, wordLength));
    std::transform(word.begin(), word.end(), word.begin(), [](char C) { return char(std::tolower(static_cast<unsigned char>(C))); });
    Number = Trimmed(Name.substr(wordLength));
    if (Number.empty() || !std::all_of(Number.begin(), Number.end(), IsDigit))
        return TColumnKind::Label;
    return word == "block" ? TColumnKind::Block : word == "value" ? TColumnKind::Value
                                                                  : TColumnKind::Label;
}

std::optional<TBlockData> BlockOfCell(std::string_view Cell)
{
    Cell = Trimmed(Cell);
    if (Cell.size() != 2 * BlockBytes)
        return std::nullopt;
    TBlockData bytes{};
    for (size_t i = 0; i < Cell.size(); ++i) {
        const int v = HexDigitValue(Cell[i]);
        if (v < 0)
            return std::nullopt;
        bytes[i / 2] = uint8_t(bytes[i / 2] << 4 | v);
    }
    return bytes;
}

enum class TNumber { Good,
    NotANumber,
    OutOfRange };

TNumber ValueOf(std::string_view Cell, int32_t& Value)
{
    Cell = Trimmed(Cell);
    const bool negative = Cell.starts_with('-');
    if (negative || Cell.starts_with('+'))
        Cell.remove_prefix(1);
    if (Cell.empty() || !std::all_of(Cell.begin(), Cell.end(), IsDigit))
        return TNumber::NotANumber;
    Cell.remove_prefix(std::min(Cell.find_first_not_of('0'), Cell.size()));
    // Ten digits stay far inside 64 bits.
    if (Cell.size() > 10)
        return TNumber::OutOfRange;
    int64_t v = 0;
    for (const char c : Cell)
        v = v * 10 + (c - '0');
    v = negative ? -v : v;
    if (v < INT32_MIN || v > INT32_MAX)
        return TNumber::OutOfRange;
    Value = int32_t(v);
    return TNumber::Good;
}

std::string Quoted(std::string_view Cell)
{
    // Appended in place: GCC 12 at -O3 takes "\"" + std::string&& for an
    // overlapping copy (-Wrestrict) and the release build fails on it.
    std::string text = "\"";
    text += PrintableText(Cell, QuotedBytes);
    text += '"';
    return text;
}
// A column as a message names it: as the header spells it, cut short.
std::string ColumnName(std::string_view Name) { return PrintableText(Trimmed(Name), QuotedBytes); }

bool ReadHeader(const TRecord& Header, TBatchData& Data, const TFailure& Fail)
{
    std::array<int, CardBlocks> writtenBy{}; // the column (1-based) that writes each block
    std::map<std::string, int> named;        // each name's column (1-based)
    for (size_t c = 0; c < Header.Cells.size(); ++c) {
        const std::string& name = Header.Cells[c].Text;
        const int column = int(c) + 1;
        if (Trimmed(name).empty())
            return Fail(Header.Line, column, "a column without a name");
        if (const auto [earlier, added] = named.emplace(name, column); !added)
            return Fail(Header.Line, column, Quoted(name) + " names column " + std::to_string(earlier->second) + " already");
        std::string_view number;
        TDataColumn kind{KindOf(name, number), -1};
        if (kind.Kind != TColumnKind::Label) {
            int block = 0;
            for (const char digit : number)
                block = std::min(block * 10 + (digit - '0'), CardBlocks);
            if (block >= CardBlocks)
                return Fail(Header.Line, column, Quoted(name) + ": a 1K card has blocks 0 to 63");
            if (block == 0)
                return Fail(Header.Line, column, "block 0 holds the serial number and the maker's data; no data is written there");
            if (IsTrailer(block))
                return Fail(Header.Line, column,
                    "block " + std::to_string(block) + " is the trailer of sector " + std::to_string(SectorOf(block))
                        + "; keys and access bits come from the template, not from data");
            if (writtenBy[size_t(block)] > 0)
                return Fail(Header.Line, column,
                    "block " + std::to_string(block) + " is written by column " + std::to_string(writtenBy[size_t(block)])
                        + " already");
            writtenBy[size_t(block)] = column;
            kind.Block = block;
        }
        Data.Columns.push_back(name);
        Data.Kinds.push_back(kind);
    }
    return true;
}

bool ReadRow(const TRecord& Record, TBatchData& Data, const TFailure& Fail)
{
    if (Record.Cells.size() != Data.Columns.size())
        return Fail(Record.Line, 0,
            std::to_string(Record.Cells.size()) + (Record.Cells.size() == 1 ? " cell" : " cells") + " where the header has "
                + std::to_string(Data.Columns.size()));
    std::vector<std::string> row;
    for (size_t c = 0; c < Record.Cells.size(); ++c) {
        const TCell& cell = Record.Cells[c];
        const int column = int(c) + 1;
        const std::string name = ColumnName(Data.Columns[c]);
        int32_t value = 0;
        switch (Data.Kinds[c].Kind) {
        case TColumnKind::Block:
            if (!BlockOfCell(cell.Text))
                return Fail(cell.Line, column, name + " wants 32 hex digits, not " + Quoted(cell.Text));
            break;
        case TColumnKind::Value:
            switch (ValueOf(cell.Text, value)) {
            case TNumber::Good:
                break;
            case TNumber::NotANumber:
                return Fail(cell.Line, column, name + " wants a whole number, not " + Quoted(cell.Text));
            case TNumber::OutOfRange:
                return Fail(cell.Line, column, name + ": " + Quoted(cell.Text) + " is outside -2147483648 to 2147483647");
            }
            break;
        case TColumnKind::Label:
            break;
        }
        row.push_back(cell.Text);
    }
    Data.Rows.push_back(std::move(row));
    return true;
}

} // namespace

std::optional<TBatchData> ParseBatchData(std::string_view Content, const std::string& FileName, TFileError& Error)
{
    const TFailure fail(FileName, Error);
    Content = WithoutByteOrderMark(Content);
    // A binary file's bytes are nothing to quote as a bad cell.
    if (!IsPlainText(Content)) {
        fail(0, 0, "not a text data file");
        return std::nullopt;
    }
    std::vector<TRecord> records;
    if (!SplitRecords(Content, records, fail))
        return std::nullopt;
    if (records.empty()) {
        fail(0, 0, "no header line: an empty data file");
        return std::nullopt;
    }
    // Labels go to a ledger that keeps text as UTF-8; a file saved in
    // another character set is told here, at its cell.
    for (const TRecord& record : records) {
        for (size_t c = 0; c < record.Cells.size(); ++c) {
            if (!IsUtf8(record.Cells[c].Text)) {
                fail(record.Cells[c].Line, int(c) + 1, "not UTF-8 text (save the file as UTF-8)");
                return std::nullopt;
            }
        }
    }
    TBatchData data;
    if (!ReadHeader(records[0], data, fail))
        return std::nullopt;
    for (size_t r = 1; r < records.size(); ++r) {
        if (!ReadRow(records[r], data, fail))
            return std::nullopt;
    }
    return data;
}

std::optional<TBatchData> ReadBatchData(const std::string& Path, TFileError& Error)
{
    std::string error;
    const auto content = ReadRegularFile(Path, MaxDataFileBytes, error);
    if (!content) {
        Error = {Path, 0, error};
        return std::nullopt;
    }
    return ParseBatchData(std::string_view(reinterpret_cast<const char*>(content->data()), content->size()), Path, Error);
}

TDumpImage ApplyRow(const TDumpImage& Template, const TBatchData& Data, size_t Row)
{
    const std::vector<std::string>& cells = Data.Rows.at(Row);
    TDumpImage image = Template;
    for (size_t c = 0; c < Data.Kinds.size(); ++c) {
        const TDataColumn& kind = Data.Kinds[c];
        const std::string& cell = cells.at(c);
        int32_t value = 0;
        std::optional<TBlockData> bytes;
        switch (kind.Kind) {
        case TColumnKind::Block:
            bytes = BlockOfCell(cell);
            break;
        case TColumnKind::Value:
            if (ValueOf(cell, value) == TNumber::Good)
                bytes = MakeValueBlock(value, uint8_t(kind.Block));
            break;
        case TColumnKind::Label:
            continue;
        }
        if (!bytes)
            throw std::invalid_argument(Data.Columns.at(c) + ": a cell no data file holds: " + cell);
        image.SetBlock(kind.Block, *bytes);
    }
    return image;
}

std::vector<std::string> LabelColumns(const TBatchData& Data)
{
    std::vector<std::string> names;
    for (size_t c = 0; c < Data.Kinds.size(); ++c) {
        if (Data.Kinds[c].Kind == TColumnKind::Label)
            names.push_back(Data.Columns[c]);
    }
    return names;
}

std::vector<std::string> RowLabels(const TBatchData& Data, size_t Row)
{
    const std::vector<std::string>& cells = Data.Rows.at(Row);
    std::vector<std::string> labels;
    for (size_t c = 0; c < Data.Kinds.size(); ++c) {
        if (Data.Kinds[c].Kind == TColumnKind::Label)
            labels.push_back(cells.at(c));
    }
    return labels;
}
