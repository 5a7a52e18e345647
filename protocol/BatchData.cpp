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
bool IsLetter(char C) { return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z'); }

std::string Lower(std::string_view Text)
{
    std::string out(Text);
    std::transform(out.begin(), out.end(), out.begin(), [](char C) { return char(std::tolower(static_cast<unsigned char>(C))); });
    return out;
}

// A name as a word and a number after it ("block 12", "Value4"): the word
// in lower case and the number's digits; false for any other shape.
bool WordAndNumber(std::string_view Name, std::string& Word, std::string_view& Number)
{
    Name = Trimmed(Name);
    size_t letters = 0;
    while (letters < Name.size() && IsLetter(Name[letters]))
        ++letters;
    Number = Trimmed(Name.substr(letters));
    if (letters == 0 || Number.empty() || !std::all_of(Number.begin(), Number.end(), IsDigit))
        return false;
    Word = Lower(Name.substr(0, letters));
    return true;
}

// The number as written, CardBlocks for anything past the card.
int NumberOf(std::string_view Digits)
{
    int number = 0;
    for (const char digit : Digits)
        number = std::min(number * 10 + (digit - '0'), CardBlocks);
    return number;
}

// One insertion, deletion, substitution or swap of two neighbours apart.
bool OneEditApart(std::string_view A, std::string_view B)
{
    if (A.size() < B.size())
        std::swap(A, B);
    if (A.size() - B.size() > 1 || A == B)
        return false;
    size_t i = 0;
    while (i < B.size() && A[i] == B[i])
        ++i;
    if (A.size() > B.size())
        return A.substr(i + 1) == B.substr(i);
    if (A.substr(i + 1) == B.substr(i + 1))
        return true;
    return i + 1 < A.size() && A[i] == B[i + 1] && A[i + 1] == B[i] && A.substr(i + 2) == B.substr(i + 2);
}

// The data column a near miss seems to mean ("blok 4": "block 4"); none for
// a name that is a data column or plainly a label.
std::optional<std::string> MeantDataColumn(std::string_view Name)
{
    std::string word;
    std::string_view number;
    if (!WordAndNumber(Name, word, number))
        return std::nullopt;
    const int n = NumberOf(number);
    if (n < 1 || n >= CardBlocks)
        return std::nullopt;
    for (const char* meant : {"block", "value"}) {
        if (OneEditApart(word, meant))
            return std::string(meant) + " " + std::string(number);
    }
    return std::nullopt;
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
// The same in quotes, 'block 4'. Appended in place: GCC 12 at -O3 takes
// "'" + std::string&& for an overlapping copy (-Wrestrict), and the release
// build fails on it.
std::string QuotedName(std::string_view Name)
{
    std::string text = "'";
    text += ColumnName(Name);
    text += '\'';
    return text;
}

// A header saved with another separator is one cell on ',' (or a few);
// cut on that separator it falls into more.
std::optional<std::string> OtherSeparator(const TRecord& Header)
{
    for (const auto& [separator, name] : {std::pair{';', "';'"}, std::pair{'\t', "a tab"}}) {
        size_t cells = 1;
        for (const TCell& cell : Header.Cells) {
            if (!cell.Quoted)
                cells += size_t(std::count(cell.Text.begin(), cell.Text.end(), separator));
        }
        if (cells > Header.Cells.size())
            return std::string(name);
    }
    return std::nullopt;
}

bool Listed(const std::vector<std::string>& Names, std::string_view Name)
{
    return std::any_of(Names.begin(), Names.end(), [Name](const std::string& Listed) { return Trimmed(Listed) == Trimmed(Name); });
}

bool ReadHeader(const TRecord& Header, TBatchData& Data, const TDataFileOptions& Options, const TFailure& Fail)
{
    if (const std::optional<std::string> separator = OtherSeparator(Header))
        return Fail(Header.Line, 0, "the data file looks separated by " + *separator + ": save it with commas");
    std::array<int, CardBlocks> writtenBy{}; // the column (1-based) that writes each block
    std::map<std::string, int> named;        // each name's column (1-based)
    for (size_t c = 0; c < Header.Cells.size(); ++c) {
        const std::string& name = Header.Cells[c].Text;
        const int column = int(c) + 1;
        if (Trimmed(name).empty())
            return Fail(Header.Line, column, "a column without a name");
        if (const auto [earlier, added] = named.emplace(name, column); !added)
            return Fail(Header.Line, column, Quoted(name) + " names column " + std::to_string(earlier->second) + " already");
        TDataColumn kind = DataColumnOf(name).value_or(TDataColumn{});
        if (kind.Kind != TColumnKind::Label) {
            const int block = kind.Block;
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
            if (Options.LabelsOnly)
                return Fail(Header.Line, column, QuotedName(name) + " writes the card: a file of labels only has no such column");
            writtenBy[size_t(block)] = column;
        } else if (const std::optional<std::string> meant = MeantDataColumn(name); meant && !Listed(Options.Labels, name)) {
            // The message as a whole names the column, in the words of the fix.
            const std::string shown = ColumnName(name);
            std::string text = "column " + std::to_string(column) + " '" + shown;
            text += "': did you mean '" + *meant + "'? (`--label '";
            text += shown + "'` keeps it as a label)";
            return Fail(Header.Line, 0, text);
        }
        Data.Columns.push_back(name);
        Data.Kinds.push_back(kind);
    }
    for (const std::string& label : Options.Labels) {
        const auto column = std::find_if(Data.Columns.begin(), Data.Columns.end(), [&label](const std::string& Name) { return Trimmed(Name) == Trimmed(label); });
        if (column == Data.Columns.end())
            return Fail(Header.Line, 0, std::string("--label ").append(QuotedName(label)).append(": no column of the header has that name"));
        if (DataColumnOf(*column))
            return Fail(Header.Line, 0, std::string("--label ").append(QuotedName(label)).append(": a data column is written to the card, never kept as a label"));
    }
    const bool anyData = std::any_of(Data.Kinds.begin(), Data.Kinds.end(), [](const TDataColumn& Kind) { return Kind.Kind != TColumnKind::Label; });
    if (!anyData && !Options.LabelsOnly)
        return Fail(Header.Line, 0,
            "no data column ('block N' or 'value N'): take the file as labels only, and every card gets the template as it is");
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

std::optional<TDataColumn> DataColumnOf(std::string_view Name)
{
    std::string word;
    std::string_view number;
    if (!WordAndNumber(Name, word, number))
        return std::nullopt;
    const TColumnKind kind = word == "block" ? TColumnKind::Block : word == "value" ? TColumnKind::Value
                                                                                    : TColumnKind::Label;
    if (kind == TColumnKind::Label)
        return std::nullopt;
    return TDataColumn{kind, NumberOf(number)};
}

std::optional<TBatchData> ParseBatchData(std::string_view Content, const std::string& FileName, TFileError& Error,
    const TDataFileOptions& Options)
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
    if (!ReadHeader(records[0], data, Options, fail))
        return std::nullopt;
    if (records.size() == 1) {
        fail(records[0].Line, 0, "no rows under the header: a data file holds a row a card");
        return std::nullopt;
    }
    for (size_t r = 1; r < records.size(); ++r) {
        // Those at the end are gone already: one here would shift every
        // row after it, or stands for a row lost.
        if (records[r].Blank()) {
            fail(records[r].Line, 0, "an empty line among the rows: remove it, or give it its row");
            return std::nullopt;
        }
        if (!ReadRow(records[r], data, fail))
            return std::nullopt;
    }
    return data;
}

std::optional<TBatchData> ReadBatchData(const std::string& Path, TFileError& Error, const TDataFileOptions& Options)
{
    std::string error;
    const auto content = ReadRegularFile(Path, MaxDataFileBytes, error);
    if (!content) {
        Error = {Path, 0, error};
        return std::nullopt;
    }
    return ParseBatchData(std::string_view(reinterpret_cast<const char*>(content->data()), content->size()), Path, Error, Options);
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

namespace {

// "4", "4-6", "1, 2, 4-6, 9": blocks in order, runs of three or more cut short.
std::string BlockList(const std::vector<int>& Blocks)
{
    std::string text;
    for (size_t i = 0; i < Blocks.size();) {
        size_t end = i;
        while (end + 1 < Blocks.size() && Blocks[end + 1] == Blocks[end] + 1)
            ++end;
        if (!text.empty())
            text += ", ";
        text += std::to_string(Blocks[i]);
        if (end >= i + 2) {
            // Appended in place: GCC 12 at -O3 takes "-" + std::string&& for
            // an overlapping copy (-Wrestrict) and the release build fails.
            text += '-';
            text += std::to_string(Blocks[end]);
            i = end + 1;
        } else {
            ++i;
        }
    }
    return text;
}

std::string Blocks(const std::vector<int>& List)
{
    std::string text = List.size() == 1 ? "block " : "blocks ";
    text += BlockList(List);
    return text;
}

bool AnyDigitKnown(const TDumpImage& Image, int Block)
{
    const TBlockData& known = Image.Known[size_t(Block)];
    return std::any_of(known.begin(), known.end(), [](uint8_t Bits) { return Bits != 0; });
}

} // namespace

std::optional<TBatchPlan> PlanBatch(const TDumpImage& Template, const std::optional<TBatchData>& Data, bool Trailers,
    std::string& Error)
{
    std::array<int, CardBlocks> column{}; // the data column (1-based) that writes each block
    if (Data) {
        for (size_t c = 0; c < Data->Kinds.size(); ++c) {
            if (Data->Kinds[c].Kind != TColumnKind::Label)
                column[size_t(Data->Kinds[c].Block)] = int(c) + 1;
        }
    }
    std::vector<int> fromTemplate;
    std::vector<int> partly;
    bool anyData = false;
    // Block 0 is never written: the serial number and the maker's data.
    for (int block = 1; block < CardBlocks; ++block) {
        if (IsTrailer(block) && !Trailers)
            continue;
        if (column[size_t(block)] > 0)
            anyData = true;
        else if (Template.BlockKnown(block))
            fromTemplate.push_back(block);
        else if (AnyDigitKnown(Template, block))
            partly.push_back(block);
    }
    if (!partly.empty()) {
        const bool one = partly.size() == 1;
        Error = Blocks(partly) + (one ? " is" : " are") + " partly known in the template and no data column writes "
            + (one ? "it" : "them") + ": give all " + (one ? "its" : "their") + " digits, or '-' for all, or a data column";
        return std::nullopt;
    }
    if (fromTemplate.empty() && !anyData) {
        Error = std::string("every card would get no block: the template gives none (block 0 is never written, ")
            + (Trailers ? "and" : "the trailers only when asked for, and") + " no data column writes one)";
        return std::nullopt;
    }
    TBatchPlan plan;
    std::string line = fromTemplate.empty() ? "the template gives no block" : "the template gives ";
    if (!fromTemplate.empty())
        line += Blocks(fromTemplate);
    line += Trailers ? "; its trailers are written" : "; no trailer is written";
    plan.Lines.push_back(line);
    if (!anyData) {
        plan.Lines.emplace_back("every card gets the template as it is");
    } else {
        line = "the data file writes over it";
        const char* separator = " ";
        for (size_t c = 0; c < Data->Kinds.size(); ++c) {
            const TDataColumn& kind = Data->Kinds[c];
            if (kind.Kind == TColumnKind::Label)
                continue;
            line += separator;
            line += "block ";
            line += std::to_string(kind.Block);
            line += " (column ";
            line += std::to_string(c + 1);
            line += ' ';
            line += QuotedName(Data->Columns[c]);
            line += kind.Kind == TColumnKind::Value ? ", a value block)" : ")";
            separator = ", ";
        }
        plan.Lines.push_back(line);
    }
    if (Data) {
        const std::vector<std::string> labels = LabelColumns(*Data);
        line = labels.empty() ? "no label is kept" : "labels kept in the ledger:";
        const char* separator = " ";
        for (const std::string& label : labels) {
            line += separator;
            line += QuotedName(label);
            separator = ", ";
        }
        plan.Lines.push_back(line);
    }
    return plan;
}
