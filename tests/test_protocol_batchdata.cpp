// A batch's data file: CSV as RFC 4180 has it, the columns that write
// blocks and values, every bad cell told by file, line and column, and a row
// laid over a template.
#include "protocol/BatchData.h"

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

} // namespace

TEST(BatchData, GoodFilesAreReadCellByCell)
{
    const struct {
        std::string Name;
        std::string Content;
        std::vector<std::string> Columns;
        std::vector<TDataColumn> Kinds;
        TRows Rows;
    } cases[] = {
        {"plain", "number,block 4,name,value 8\n0001," + HexA + ",Ann,100\n0002," + HexB + ",Bob,-5\n",
            {"number", "block 4", "name", "value 8"}, {Label(), Block(4), Label(), Value(8)},
            {{"0001", HexA, "Ann", "100"}, {"0002", HexB, "Bob", "-5"}}},
        {"byte-order mark, CRLF, no line end at the end", "\xEF\xBB\xBFname,BLOCK 62\r\nAnn," + HexA + "\r\nBob," + HexB,
            {"name", "BLOCK 62"}, {Label(), Block(62)}, {{"Ann", HexA}, {"Bob", HexB}}},
        {"quotes, commas, doubled quotes and line breaks inside quotes",
            "\"name, full\",\"block 1\"\r\n\"Smith, \"\"Jo\"\"\"," + HexA + "\r\n\"two\r\nlines\",\"" + HexB + "\"\n",
            {"name, full", "block 1"}, {Label(), Block(1)}, {{"Smith, \"Jo\"", HexA}, {"two\r\nlines", HexB}}},
        {"empty lines at the end", "name\nAnn\n\n\r\n", {"name"}, {Label()}, {{"Ann"}}},
        {"a header and no rows", "name,value 5\n", {"name", "value 5"}, {Label(), Value(5)}, {}},
        {"the value range's ends, signs, zeros and blanks around",
            "Value 9,value10, value 13 \n-2147483648,+2147483647,  007 \n", {"Value 9", "value10", " value 13 "},
            {Value(9), Value(10), Value(13)}, {{"-2147483648", "+2147483647", "  007 "}}},
        {"words that only begin like a data column are labels, an empty label is a cell",
            "value added,blocks,block 4x,note\n1,2,3,\n", {"value added", "blocks", "block 4x", "note"},
            {Label(), Label(), Label(), Label()}, {{"1", "2", "3", ""}}},
        {"UTF-8 labels", "name\nM\xC3\xBCller\n", {"name"}, {Label()}, {{"M\xC3\xBCller"}}},
    };
    for (const auto& c : cases) {
        TFileError error;
        const std::optional<TBatchData> data = ParseBatchData(c.Content, "d.csv", error);
        ASSERT_TRUE(data) << c.Name << ": " << error.Text();
        EXPECT_EQ(data->Columns, c.Columns) << c.Name;
        EXPECT_EQ(data->Kinds, c.Kinds) << c.Name;
        EXPECT_EQ(data->Rows, c.Rows) << c.Name;
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
        {good + "\nAnn," + HexA + ",1\n", "d.csv:2: 1 cell where the header has 3"},
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
