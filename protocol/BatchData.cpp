#include "protocol/BatchData.h"

#include "protocol/CardLayout.h"
#include "protocol/CsvRecords.h"
#include "protocol/PlainText.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <utility>

namespace {

// A full card's blocks for ten thousand cards and their labels; a larger
// file is no data file for one batch.
constexpr size_t MaxDataFileBytes = 16 * 1024 * 1024;
// Of a bad cell, as much as tells what it is.
constexpr size_t QuotedBytes = 40;

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
std::string ColumnName(std::string_view Name) { return PrintableText(TrimBlanks(Name), QuotedBytes); }
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
std::optional<std::string> OtherSeparator(const TCsvRecord& Header)
{
    for (const auto& [separator, name] : {std::pair{';', "';'"}, std::pair{'\t', "a tab"}}) {
        size_t cells = 1;
        for (const TCsvCell& cell : Header.Cells) {
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
    return std::any_of(Names.begin(), Names.end(), [Name](const std::string& Listed) { return TrimBlanks(Listed) == TrimBlanks(Name); });
}

// Why the data column Name, writing Block, cannot be in the header; none
// when it can. WrittenBy: the column (1-based) that writes each block so far.
std::optional<std::string> DataColumnFault(std::string_view Name, int Block, const std::array<int, CardBlocks>& WrittenBy,
    const TDataFileOptions& Options)
{
    if (Block >= CardBlocks)
        return Quoted(Name) + ": a 1K card has blocks 0 to 63";
    if (Block == 0)
        return "block 0 holds the serial number and the maker's data; no data is written there";
    if (IsTrailer(Block))
        return "block " + std::to_string(Block) + " is the trailer of sector " + std::to_string(SectorOf(Block))
            + "; keys and access bits come from the template, not from data";
    if (WrittenBy[size_t(Block)] > 0)
        return "block " + std::to_string(Block) + " is written by column " + std::to_string(WrittenBy[size_t(Block)])
            + " already";
    if (Options.LabelsOnly)
        return QuotedName(Name) + " writes the card: a file of labels only has no such column";
    return std::nullopt;
}

bool ReadHeader(const TCsvRecord& Header, TBatchData& Data, const TFailure& Fail)
{
    const TDataFileOptions& options = Data.Options;
    if (const std::optional<std::string> separator = OtherSeparator(Header))
        return Fail(Header.Line, 0, "the data file looks separated by " + *separator + ": save it with commas");
    std::array<int, CardBlocks> writtenBy{}; // the column (1-based) that writes each block
    std::map<std::string, int> named;        // each name's column (1-based)
    for (size_t c = 0; c < Header.Cells.size(); ++c) {
        const std::string& name = Header.Cells[c].Text;
        const int column = int(c) + 1;
        if (TrimBlanks(name).empty())
            return Fail(Header.Line, column, "a column without a name");
        if (const auto [earlier, added] = named.emplace(name, column); !added)
            return Fail(Header.Line, column, Quoted(name) + " names column " + std::to_string(earlier->second) + " already");
        TDataColumn kind = DataColumnOf(name).value_or(TDataColumn{});
        if (kind.Kind != TColumnKind::Label) {
            if (const std::optional<std::string> fault = DataColumnFault(name, kind.Block, writtenBy, options))
                return Fail(Header.Line, column, *fault);
            writtenBy[size_t(kind.Block)] = column;
        } else if (const std::optional<std::string> meant = MeantDataColumn(name); meant && !Listed(options.Labels, name)) {
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
    for (const std::string& label : options.Labels) {
        const auto column = std::find_if(Data.Columns.begin(), Data.Columns.end(), [&label](const std::string& Name) { return TrimBlanks(Name) == TrimBlanks(label); });
        if (column == Data.Columns.end())
            return Fail(Header.Line, 0, std::string("--label ").append(QuotedName(label)).append(": no column of the header has that name"));
        if (DataColumnOf(*column))
            return Fail(Header.Line, 0, std::string("--label ").append(QuotedName(label)).append(": a data column is written to the card, never kept as a label"));
    }
    const bool anyData = std::any_of(Data.Kinds.begin(), Data.Kinds.end(), [](const TDataColumn& Kind) { return Kind.Kind != TColumnKind::Label; });
    if (!anyData && !options.LabelsOnly)
        return Fail(Header.Line, 0,
            "no data column ('block N' or 'value N'): take the file as labels only, and every card gets the template as it is");
    return true;
}

bool ReadRow(const TCsvRecord& Record, const TBatchData& Data, std::vector<std::string>& Row, const TFailure& Fail)
{
    if (Record.Cells.size() != Data.Columns.size())
        return Fail(Record.Line, 0,
            std::to_string(Record.Cells.size()) + (Record.Cells.size() == 1 ? " cell" : " cells") + " where the header has "
                + std::to_string(Data.Columns.size()));
    std::vector<std::string> row;
    for (size_t c = 0; c < Record.Cells.size(); ++c) {
        const TCsvCell& cell = Record.Cells[c];
        const int column = int(c) + 1;
        const std::string name = ColumnName(Data.Columns[c]);
        int32_t value = 0;
        switch (Data.Kinds[c].Kind) {
        case TColumnKind::Block:
            if (!BlockOfCell(cell.Text))
                return Fail(cell.Line, column, name + " wants 32 hex digits, not " + Quoted(cell.Text));
            break;
        case TColumnKind::Value:
            switch (ValueOfCell(cell.Text, value)) {
            case TCellNumber::Good:
                break;
            case TCellNumber::NotANumber:
                return Fail(cell.Line, column, name + " wants a whole number, not " + Quoted(cell.Text));
            case TCellNumber::OutOfRange:
                return Fail(cell.Line, column, name + ": " + Quoted(cell.Text) + " is outside -2147483648 to 2147483647");
            }
            break;
        case TColumnKind::Label:
            break;
        }
        row.push_back(cell.Text);
    }
    Row = std::move(row);
    return true;
}

// Labels go to a ledger that keeps text as UTF-8; a file saved in another
// character set is told here, at its cell.
bool CheckUtf8(const TCsvRecord& Record, const TFailure& Fail)
{
    for (size_t c = 0; c < Record.Cells.size(); ++c) {
        if (!IsUtf8(Record.Cells[c].Text))
            return Fail(Record.Cells[c].Line, int(c) + 1, "not UTF-8 text (save the file as UTF-8)");
    }
    return true;
}

} // namespace

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
    std::vector<TCsvRecord> records;
    if (TCsvFault fault; !SplitCsvRecords(Content, records, fault)) {
        fail(fault.Line, fault.Column, std::move(fault.Message));
        return std::nullopt;
    }
    if (records.empty()) {
        fail(0, 0, "no header line: an empty data file");
        return std::nullopt;
    }
    for (const TCsvRecord& record : records) {
        if (!CheckUtf8(record, fail))
            return std::nullopt;
    }
    TBatchData data;
    data.Options = Options;
    if (!ReadHeader(records[0], data, fail))
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
        std::vector<std::string> row;
        if (!ReadRow(records[r], data, row, fail))
            return std::nullopt;
        data.Rows.push_back(std::move(row));
    }
    data.RowCount = data.Rows.size();
    return data;
}

bool ReadDataHeader(const TCsvRecord& Header, TBatchData& Data, const std::string& FileName, TFileError& Error)
{
    const TFailure fail(FileName, Error);
    return CheckUtf8(Header, fail) && ReadHeader(Header, Data, fail);
}

bool ReadDataRow(const TCsvRecord& Record, const TBatchData& Data, std::vector<std::string>& Row, const std::string& FileName,
    TFileError& Error)
{
    const TFailure fail(FileName, Error);
    return CheckUtf8(Record, fail) && ReadRow(Record, Data, Row, fail);
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
    return ApplyCells(Template, Data, Data.Rows.at(Row));
}

TDumpImage ApplyCells(const TDumpImage& Template, const TBatchData& Data, const std::vector<std::string>& Cells)
{
    const std::vector<std::string>& cells = Cells;
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
            if (ValueOfCell(cell, value) == TCellNumber::Good)
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

// The data column (1-based) that writes each block; 0 for none.
std::array<int, CardBlocks> ColumnOfBlocks(const std::optional<TBatchData>& Data)
{
    std::array<int, CardBlocks> column{};
    if (Data) {
        for (size_t c = 0; c < Data->Kinds.size(); ++c) {
            if (Data->Kinds[c].Kind != TColumnKind::Label)
                column[size_t(Data->Kinds[c].Block)] = int(c) + 1;
        }
    }
    return column;
}

// Where the blocks a card may get come from.
struct TBlockSources {
    std::vector<int> FromTemplate; // whole in the template, no data column over them
    std::vector<int> Partly;       // partly known in the template, no data column over them
    bool AnyData = false;          // a data column writes some block
};

TBlockSources SourcesOf(const TDumpImage& Template, const std::array<int, CardBlocks>& Column, bool Trailers)
{
    TBlockSources sources;
    // Block 0 is never written: the serial number and the maker's data.
    for (int block = 1; block < CardBlocks; ++block) {
        if (IsTrailer(block) && !Trailers)
            continue;
        if (Column[size_t(block)] > 0)
            sources.AnyData = true;
        else if (Template.BlockKnown(block))
            sources.FromTemplate.push_back(block);
        else if (AnyDigitKnown(Template, block))
            sources.Partly.push_back(block);
    }
    return sources;
}

// Why a batch whose blocks come from Sources is refused; none when it is not.
std::optional<std::string> Refusal(const TBlockSources& Sources, bool Trailers)
{
    if (!Sources.Partly.empty()) {
        const bool one = Sources.Partly.size() == 1;
        return Blocks(Sources.Partly) + (one ? " is" : " are") + " partly known in the template and no data column writes "
            + (one ? "it" : "them") + ": give all " + (one ? "its" : "their") + " digits, or '-' for all, or a data column";
    }
    if (Sources.FromTemplate.empty() && !Sources.AnyData)
        return std::string("every card would get no block: the template gives none (block 0 is never written, ")
            + (Trailers ? "and" : "the trailers only when asked for, and") + " no data column writes one)";
    return std::nullopt;
}

std::string TemplateLine(const TBlockSources& Sources, bool Trailers)
{
    std::string line = Sources.FromTemplate.empty() ? "the template gives no block" : "the template gives ";
    if (!Sources.FromTemplate.empty())
        line += Blocks(Sources.FromTemplate);
    line += Trailers ? "; its trailers are written" : "; no trailer is written";
    return line;
}

std::string DataLine(const TBatchData& Data)
{
    std::string line = "the data file writes over it";
    const char* separator = " ";
    for (size_t c = 0; c < Data.Kinds.size(); ++c) {
        const TDataColumn& kind = Data.Kinds[c];
        if (kind.Kind == TColumnKind::Label)
            continue;
        line += separator;
        line += "block ";
        line += std::to_string(kind.Block);
        line += " (column ";
        line += std::to_string(c + 1);
        line += ' ';
        line += QuotedName(Data.Columns[c]);
        line += kind.Kind == TColumnKind::Value ? ", a value block)" : ")";
        separator = ", ";
    }
    return line;
}

std::string LabelsLine(const TBatchData& Data)
{
    const std::vector<std::string> labels = LabelColumns(Data);
    std::string line = labels.empty() ? "no label is kept" : "labels kept in the ledger:";
    const char* separator = " ";
    for (const std::string& label : labels) {
        line += separator;
        line += QuotedName(label);
        separator = ", ";
    }
    return line;
}

} // namespace

std::optional<TBatchPlan> PlanBatch(const TDumpImage& Template, const std::optional<TBatchData>& Data, bool Trailers,
    std::string& Error)
{
    const TBlockSources sources = SourcesOf(Template, ColumnOfBlocks(Data), Trailers);
    if (std::optional<std::string> refused = Refusal(sources, Trailers)) {
        Error = std::move(*refused);
        return std::nullopt;
    }
    TBatchPlan plan;
    plan.Lines.push_back(TemplateLine(sources, Trailers));
    plan.Lines.push_back(sources.AnyData ? DataLine(*Data) : "every card gets the template as it is");
    if (Data)
        plan.Lines.push_back(LabelsLine(*Data));
    return plan;
}
