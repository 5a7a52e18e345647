// A batch's data file: CSV as RFC 4180 has it, the columns that write
// blocks and values, every bad cell told by file, line and column, and a row
// laid over a template.
#include "protocol/BatchData.h"
#include "protocol/BatchDataStream.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

using TRows = std::vector<std::vector<std::string>>;

const std::string HexA = "00112233445566778899AABBCCDDEEFF";
const std::string HexB = "0123456789abcdef0123456789ABCDEF";

TDataColumn Label() { return {}; }
TDataColumn Block(int N) { return {TColumnKind::Block, N}; }
TDataColumn Value(int N) { return {TColumnKind::Value, N}; }

void WriteFile(const std::string& Path, const std::string& Content)
{
    std::ofstream(Path, std::ios::binary) << Content;
}

// Content as a file read as it streams: its rows, or none with Error (the
// file named "d.csv" in it, as ParseBatchData is told).
std::optional<TRows> Streamed(const std::string& Content, TFileError& Error, const TDataFileOptions& Options = {})
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("d.csv").toStdString();
    WriteFile(path, Content);
    TBatchDataStream stream;
    TRows rows;
    if (stream.Open(path, Error, Options)) {
        while (std::optional<std::vector<std::string>> row = stream.Next(Error))
            rows.push_back(std::move(*row));
    }
    if (Error.File == path)
        Error.File = "d.csv";
    if (!Error.Message.empty())
        return std::nullopt;
    return rows;
}

} // namespace

TEST(BatchData, GoodFilesAreReadCellByCell)
{
    const struct {
        std::string Name;
        std::string Content;
        std::vector<std::string> Columns;
        std::vector<TDataColumn> Kinds;
        TRows Rows;
        TDataFileOptions Options{};
    } cases[] = {
        {"plain", "number,block 4,name,value 8\n0001," + HexA + ",Ann,100\n0002," + HexB + ",Bob,-5\n",
            {"number", "block 4", "name", "value 8"}, {Label(), Block(4), Label(), Value(8)},
            {{"0001", HexA, "Ann", "100"}, {"0002", HexB, "Bob", "-5"}}},
        {"byte-order mark, CRLF, no line end at the end", "\xEF\xBB\xBFname,BLOCK 62\r\nAnn," + HexA + "\r\nBob," + HexB,
            {"name", "BLOCK 62"}, {Label(), Block(62)}, {{"Ann", HexA}, {"Bob", HexB}}},
        {"quotes, commas, doubled quotes and line breaks inside quotes",
            "\"name, full\",\"block 1\"\r\n\"Smith, \"\"Jo\"\"\"," + HexA + "\r\n\"two\r\nlines\",\"" + HexB + "\"\n",
            {"name, full", "block 1"}, {Label(), Block(1)}, {{"Smith, \"Jo\"", HexA}, {"two\r\nlines", HexB}}},
        {"empty lines at the end", "name\nAnn\n\n\r\n", {"name"}, {Label()}, {{"Ann"}}, {{}, true}},
        {"the value range's ends, signs, zeros and blanks around",
            "Value 9,value10, value 13 \n-2147483648,+2147483647,  007 \n", {"Value 9", "value10", " value 13 "},
            {Value(9), Value(10), Value(13)}, {{"-2147483648", "+2147483647", "  007 "}}},
        {"words that only begin like a data column, or are far from one, are labels; an empty label is a cell",
            "value added,blocks,block 4x,note,blocked,valuex,blok 0,blok 64,bk 4,vault 4,block 1\n1,2,3,,5,6,7,8,9,10," + HexA + "\n",
            {"value added", "blocks", "block 4x", "note", "blocked", "valuex", "blok 0", "blok 64", "bk 4", "vault 4", "block 1"},
            {Label(), Label(), Label(), Label(), Label(), Label(), Label(), Label(), Label(), Label(), Block(1)},
            {{"1", "2", "3", "", "5", "6", "7", "8", "9", "10", HexA}}},
        {"a near miss kept as a label", "blok 4,block 5\nx," + HexA + "\n", {"blok 4", "block 5"}, {Label(), Block(5)},
            {{"x", HexA}}, {{"blok 4"}, false}},
        {"labels only", "number,name\n1,Ann\n", {"number", "name"}, {Label(), Label()}, {{"1", "Ann"}}, {{}, true}},
        {"UTF-8 labels", "name\nM\xC3\xBCller\n", {"name"}, {Label()}, {{"M\xC3\xBCller"}}, {{}, true}},
    };
    for (const auto& c : cases) {
        TFileError error;
        const std::optional<TBatchData> data = ParseBatchData(c.Content, "d.csv", error, c.Options);
        ASSERT_TRUE(data) << c.Name << ": " << error.Text();
        EXPECT_EQ(data->Columns, c.Columns) << c.Name;
        EXPECT_EQ(data->Kinds, c.Kinds) << c.Name;
        EXPECT_EQ(data->Rows, c.Rows) << c.Name;
        EXPECT_EQ(Streamed(c.Content, error, c.Options), c.Rows) << c.Name << ": " << error.Text();
    }
}

TEST(BatchData, ABadFileIsToldByFileLineAndColumn)
{
    const std::string good = "name,block 4,value 8\n";
    const struct {
        std::string Content;
        std::string Text;
    } cases[] = {
        {good + "Ann," + HexA.substr(2) + ",1\n", "d.csv:2: column 2: block 4 wants 32 hex digits, not \"" + HexA.substr(2) + "\""},
        {good + "Ann," + HexA + ",1\nBob,G" + HexA.substr(1) + ",2\n",
            "d.csv:3: column 2: block 4 wants 32 hex digits, not \"G" + HexA.substr(1) + "\""},
        {good + "Ann,,1\n", "d.csv:2: column 2: block 4 wants 32 hex digits, not \"\""},
        {good + "Ann," + HexA + ",12a\n", "d.csv:2: column 3: value 8 wants a whole number, not \"12a\""},
        {"name, Value 8 \nAnn,x\n", "d.csv:2: column 2: Value 8 wants a whole number, not \"x\""},
        {good + "Ann," + HexA + ",1.5\n", "d.csv:2: column 3: value 8 wants a whole number, not \"1.5\""},
        {good + "Ann," + HexA + ",2147483648\n", "d.csv:2: column 3: value 8: \"2147483648\" is outside -2147483648 to 2147483647"},
        {good + "Ann," + HexA + ",-2147483649\n", "d.csv:2: column 3: value 8: \"-2147483649\" is outside -2147483648 to 2147483647"},
        // The line a cell starts on, past line breaks inside quotes and CRLF.
        {"\xEF\xBB\xBF"
         "name,value 8\r\n\"two\r\nlines\",1\r\n\"x\",y\r\n",
            "d.csv:4: column 2: value 8 wants a whole number, not \"y\""},
        {good + "Ann," + HexA + "\n", "d.csv:2: 2 cells where the header has 3"},
        {good + "Ann," + HexA + ",1,\n", "d.csv:2: 4 cells where the header has 3"},
        {"name,block 0\n", "d.csv:1: column 2: block 0 holds the serial number and the maker's data; no data is written there"},
        {"name,Block 7\n", "d.csv:1: column 2: block 7 is the trailer of sector 1; keys and access bits come from the template, not from data"},
        {"value 63\n", "d.csv:1: column 1: block 63 is the trailer of sector 15; keys and access bits come from the template, not from data"},
        {"block 64\n", "d.csv:1: column 1: \"block 64\": a 1K card has blocks 0 to 63"},
        {"block 4,name,value 4\n", "d.csv:1: column 3: block 4 is written by column 1 already"},
        {"name,block 5,name\n", "d.csv:1: column 3: \"name\" names column 1 already"},
        {"name,,block 5\n", "d.csv:1: column 2: a column without a name"},
        {good + "\"Ann," + HexA + ",1\n", "d.csv:2: column 1: a quoted cell is not closed"},
        {good + "\"Ann\"x," + HexA + ",1\n", "d.csv:2: column 1: text after the closing quote of a cell"},
        {good + "Ann \"A\"," + HexA + ",1\n", "d.csv:2: column 1: a quote in a cell that does not start with one"},
        // Latin-1, as an old spreadsheet saves it.
        {good + "M\xFCller," + HexA + ",1\n", "d.csv:2: column 1: not UTF-8 text (save the file as UTF-8)"},
        {good + "Ann," + HexA + ",1\n\x1B[2J\n", "d.csv: not a text data file"},
        {"", "d.csv: no header line: an empty data file"},
        {"\xEF\xBB\xBF\r\n\n", "d.csv: no header line: an empty data file"},
    };
    for (const auto& c : cases) {
        TFileError error;
        EXPECT_FALSE(ParseBatchData(c.Content, "d.csv", error)) << c.Text;
        EXPECT_EQ(error.Text(), c.Text);
        EXPECT_FALSE(Streamed(c.Content, error)) << c.Text;
        EXPECT_EQ(error.Text(), c.Text);
    }

    // Files: by SafeFile's rule and with a limit, like key files and dumps.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string path = dir.filePath("cards.csv").toStdString();
    WriteFile(path, good + "Ann," + HexA + ",1\n");
    TFileError error;
    const std::optional<TBatchData> data = ReadBatchData(path, error);
    ASSERT_TRUE(data) << error.Text();
    EXPECT_EQ(data->Rows, (TRows{{"Ann", HexA, "1"}}));
    WriteFile(path, good + "Ann,x,1\n");
    EXPECT_FALSE(ReadBatchData(path, error));
    EXPECT_EQ(error.Text(), path + ":2: column 2: block 4 wants 32 hex digits, not \"x\"");
    std::filesystem::resize_file(path, 16 * 1024 * 1024 + 1);
    EXPECT_FALSE(ReadBatchData(path, error));
    EXPECT_EQ(error.Text(), path + " holds 16777217 bytes, more than 16777216");
    EXPECT_FALSE(ReadBatchData(dir.filePath("none").toStdString(), error));
    EXPECT_TRUE(error.Text().starts_with(dir.filePath("none").toStdString() + ": ")) << error.Text();
}

TEST(BatchData, OneRuleSaysWhichNamesAreDataColumns)
{
    for (const auto& [name, column] : std::vector<std::pair<const char*, std::optional<TDataColumn>>>{
             {"block 4", Block(4)}, {"Block4", Block(4)}, {"block 04", Block(4)}, {" VALUE  8 ", Value(8)}, {"value10", Value(10)},
             {"block 99", Block(64)}, {"blocks 4", std::nullopt}, {"block", std::nullopt}, {"block 4a", std::nullopt},
             {"blok 4", std::nullopt}, {"4 block", std::nullopt}}) {
        EXPECT_EQ(DataColumnOf(name), column) << name;
    }
}

TEST(BatchData, AHeaderThatLooksMeantButIsNotUnderstoodIsRefusedWithTheFix)
{
    const std::string row = "\n1," + HexA + "\n";
    const struct {
        std::string Content;
        TDataFileOptions Options;
        std::string Text;
    } cases[] = {
        {"number;block 4\n1;" + HexA + "\n", {}, "d.csv:1: the data file looks separated by ';': save it with commas"},
        {"number\tblock 4\tname\n1\t" + HexA + "\tAnn\n", {}, "d.csv:1: the data file looks separated by a tab: save it with commas"},
        {"number,name,blok 4\n1,Ann,x\n", {}, "d.csv:1: column 3 'blok 4': did you mean 'block 4'? (`--label 'blok 4'` keeps it as a label)"},
        {"number,vaule 8" + row, {}, "d.csv:1: column 2 'vaule 8': did you mean 'value 8'? (`--label 'vaule 8'` keeps it as a label)"},
        {"number, Blocks12 " + row, {}, "d.csv:1: column 2 'Blocks12': did you mean 'block 12'? (`--label 'Blocks12'` keeps it as a label)"},
        {"lock 63,block 4" + row, {}, "d.csv:1: column 1 'lock 63': did you mean 'block 63'? (`--label 'lock 63'` keeps it as a label)"},
        {"number,valu 1" + row, {{"blok 4"}, false}, "d.csv:1: column 2 'valu 1': did you mean 'value 1'? (`--label 'valu 1'` keeps it as a label)"},
        {"number,block 4" + row, {{"blok 4"}, false}, "d.csv:1: --label 'blok 4': no column of the header has that name"},
        {"number,block 4" + row, {{"block 4"}, false}, "d.csv:1: --label 'block 4': a data column is written to the card, never kept as a label"},
        {"number,name\n1,Ann\n", {},
            "d.csv:1: no data column ('block N' or 'value N'): take the file as labels only, and every card gets the template as it is"},
        {"number,block 4" + row, {{}, true}, "d.csv:1: column 2: 'block 4' writes the card: a file of labels only has no such column"},
        {"number,block 4\n", {}, "d.csv:1: no rows under the header: a data file holds a row a card"},
        {"number,block 4\r\n\r\n", {}, "d.csv:1: no rows under the header: a data file holds a row a card"},
        {"number,block 4\n\n1," + HexA + "\n", {}, "d.csv:2: an empty line among the rows: remove it, or give it its row"},
        {"number,block 4" + row + "\n2," + HexA + "\n\n", {}, "d.csv:3: an empty line among the rows: remove it, or give it its row"},
    };
    for (const auto& c : cases) {
        TFileError error;
        EXPECT_FALSE(ParseBatchData(c.Content, "d.csv", error, c.Options)) << c.Text;
        EXPECT_EQ(error.Text(), c.Text);
    }
}

TEST(BatchData, WhatEachCardGetsIsDecidedAtStart)
{
    TDumpImage template_;
    for (const int block : {1, 2, 5, 6, 8, 9, 10, 7})
        template_.SetBlock(block, TBlockData{0x11});
    TDumpImage partly = template_;
    const uint8_t half[8] = {};
    partly.SetBytes(12, 0, half, 8);
    TDumpImage trailerOnly;
    trailerOnly.SetBlock(7, TBlockData{0x77});
    // A read card's text dump: key A never reads back.
    TDumpImage keyAUnknown = template_;
    std::fill_n(keyAUnknown.Known[7].begin(), KeyBytes, 0);
    const auto data = [](const std::string& Content, bool LabelsOnly) {
        TFileError error;
        auto parsed = ParseBatchData(Content, "d.csv", error, {{}, LabelsOnly});
        EXPECT_TRUE(parsed) << error.Text();
        return parsed;
    };
    const std::optional<TBatchData> cards = data("number,block 4,name,value 12\n1," + HexA + ",Ann,5\n", false);
    const std::optional<TBatchData> labels = data("number\n1\n", true);
    const struct {
        std::string Name;
        const TDumpImage& Template;
        std::optional<TBatchData> Data;
        bool Trailers;
        std::vector<std::string> Lines; // empty: refused with Error
        std::string Error{};
    } cases[] = {
        {"data over the template", template_, cards, false,
            {"the template gives blocks 1, 2, 5, 6, 8-10; no trailer is written",
                "the data file writes over it block 4 (column 2 'block 4'), block 12 (column 4 'value 12', a value block)",
                "labels kept in the ledger: 'number', 'name'"}},
        {"trailers too", template_, cards, true,
            {"the template gives blocks 1, 2, 5-10; its trailers are written",
                "the data file writes over it block 4 (column 2 'block 4'), block 12 (column 4 'value 12', a value block)",
                "labels kept in the ledger: 'number', 'name'"}},
        {"no data file", template_, std::nullopt, false,
            {"the template gives blocks 1, 2, 5, 6, 8-10; no trailer is written", "every card gets the template as it is"}},
        {"labels only", trailerOnly, labels, true,
            {"the template gives block 7; its trailers are written", "every card gets the template as it is",
                "labels kept in the ledger: 'number'"}},
        {"a partly known block a data column covers", partly, cards, false,
            {"the template gives blocks 1, 2, 5, 6, 8-10; no trailer is written",
                "the data file writes over it block 4 (column 2 'block 4'), block 12 (column 4 'value 12', a value block)",
                "labels kept in the ledger: 'number', 'name'"}},
        {"a partly known block no column covers", partly, labels, false, {},
            "block 12 is partly known in the template and no data column writes it: give all its digits, or '-' for all, or a data column"},
        {"a trailer partly known, written", keyAUnknown, cards, true, {},
            "block 7 is partly known in the template and no data column writes it: give all its digits, or '-' for all, or a data column"},
        {"nothing to write", trailerOnly, labels, false, {},
            "every card would get no block: the template gives none (block 0 is never written, the trailers only when asked for, and no data column writes one)"},
        {"nothing at all", TDumpImage{}, std::nullopt, true, {},
            "every card would get no block: the template gives none (block 0 is never written, and no data column writes one)"},
    };
    for (const auto& c : cases) {
        std::string error;
        const std::optional<TBatchPlan> plan = PlanBatch(c.Template, c.Data, c.Trailers, error);
        ASSERT_EQ(plan.has_value(), !c.Lines.empty()) << c.Name << ": " << error;
        if (plan)
            EXPECT_EQ(plan->Lines, c.Lines) << c.Name;
        else
            EXPECT_EQ(error, c.Error) << c.Name;
    }
}

TEST(BatchData, ARowOverATemplateKnowsItsBlocks)
{
    TFileError error;
    const std::optional<TBatchData> data = ParseBatchData(
        "number,block 4,name,value 8\n1," + HexA + ",Ann,100\n2," + HexB + ",Bob,-2\n", "d.csv", error);
    ASSERT_TRUE(data) << error.Text();
    EXPECT_EQ(LabelColumns(*data), (std::vector<std::string>{"number", "name"}));
    EXPECT_EQ(RowLabels(*data, 1), (std::vector<std::string>{"2", "Bob"}));

    // The template knows block 4 and block 5; block 8 not at all.
    TDumpImage template_;
    template_.SetBlock(4, TBlockData{0xEE});
    template_.SetBlock(5, TBlockData{0x55});
    const TDumpImage card = ApplyRow(template_, *data, 1);
    EXPECT_EQ(card.Data[4], (TBlockData{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}));
    // -2, its complement, -2 again, then address 8 with its complement twice.
    EXPECT_EQ(card.Data[8], (TBlockData{0xFE, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x00, 0xFE, 0xFF, 0xFF, 0xFF, 0x08, 0xF7, 0x08, 0xF7}));
    EXPECT_TRUE(card.BlockKnown(8));
    TDumpImage expected = template_;
    expected.SetBlock(4, card.Data[4]);
    expected.SetBlock(8, card.Data[8]);
    EXPECT_EQ(card, expected) << "nothing but the row's blocks changes";

    EXPECT_EQ(ApplyRow(template_, *data, 0).Data[8],
        (TBlockData{0x64, 0x00, 0x00, 0x00, 0x9B, 0xFF, 0xFF, 0xFF, 0x64, 0x00, 0x00, 0x00, 0x08, 0xF7, 0x08, 0xF7}));
    EXPECT_THROW(ApplyRow(template_, *data, 2), std::out_of_range);
}

TEST(BatchData, AFileOverSixteenMebibytesIsTakenAsItStreams)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string path = dir.filePath("cards.csv").toStdString();
    constexpr size_t Rows = 400'000; // about 20 MiB
    std::string content = "number,block 4,name\n";
    for (size_t i = 1; i <= Rows; ++i)
        content += std::to_string(i) + "," + HexA + ",\"Card " + std::to_string(i) + ", \"\"q\"\"\"\n";
    ASSERT_GT(content.size(), size_t(16 * 1024 * 1024));
    WriteFile(path, content);
    TFileError error;
    EXPECT_FALSE(ReadBatchData(path, error)); // whole, it is too large
    size_t digested = 0;
    const std::optional<TBatchData> data = ScanBatchData(path, error, {}, [&digested](std::string_view Bytes) { digested += Bytes.size(); });
    ASSERT_TRUE(data) << error.Text();
    EXPECT_EQ(data->RowCount, Rows);
    EXPECT_TRUE(data->Rows.empty()); // counted, not held
    EXPECT_EQ(data->Kinds, (std::vector<TDataColumn>{Label(), Block(4), Label()}));
    EXPECT_EQ(digested, content.size());

    // Row by row, the last as the file has it.
    TBatchDataStream stream;
    ASSERT_TRUE(stream.Open(path, error)) << error.Text();
    std::vector<std::string> last;
    while (std::optional<std::vector<std::string>> row = stream.Next(error))
        last = std::move(*row);
    EXPECT_TRUE(error.Message.empty()) << error.Text();
    EXPECT_EQ(stream.Rows(), Rows);
    EXPECT_EQ(last, (std::vector<std::string>{std::to_string(Rows), HexA, "Card " + std::to_string(Rows) + ", \"q\""}));

    // Far into the file, past many chunks: told at its line all the same.
    const size_t at = content.find("\n300000,") + 1;
    WriteFile(path, content.substr(0, at) + "\n" + content.substr(at));
    EXPECT_FALSE(ScanBatchData(path, error));
    EXPECT_EQ(error.Text(), path + ":300001: an empty line among the rows: remove it, or give it its row");
    WriteFile(path, content.substr(0, at) + "300000,x,y\n" + content.substr(at));
    EXPECT_FALSE(ScanBatchData(path, error));
    EXPECT_EQ(error.Text(), path + ":300001: column 2: block 4 wants 32 hex digits, not \"x\"");

    // A bound stays: (sparse) past a gibibyte, refused before a row is read.
    std::filesystem::resize_file(path, (uint64_t(1) << 30) + 1);
    EXPECT_FALSE(ScanBatchData(path, error));
    EXPECT_EQ(error.Text(), path + " holds 1073741825 bytes, more than 1073741824");
}
