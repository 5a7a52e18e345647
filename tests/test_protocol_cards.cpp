// The card's rules without a card: access conditions against the data
// sheet's two tables, dump files and key files in their text and binary forms,
// and what a message shows of a file.
#include "protocol/AccessConditions.h"
#include "protocol/DumpFile.h"
#include "protocol/KeyFile.h"
#include "protocol/PlainText.h"
#include "support/AccessTables.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

// "A", "B", "AB" or "-" as the tables print them.
TKeys Keys(const std::string& Text)
{
    return TKeys(uint8_t((Text.find('A') != std::string::npos ? 1 : 0) | (Text.find('B') != std::string::npos ? 2 : 0)));
}

// Every byte known and different from its neighbours, but for key A of
// sector 1 (never read back) and one half-known byte in block 5.
TDumpImage SampleImage()
{
    TDumpImage image;
    for (int b = 0; b < CardBlocks; ++b) {
        TBlockData d;
        for (int i = 0; i < BlockBytes; ++i)
            d[size_t(i)] = uint8_t(b * 16 + i * 7);
        image.SetBlock(b, d);
    }
    image.Known[7].fill(0);
    image.Known[7].back() = 0xFF;
    image.Data[7] = {};
    image.Data[7].back() = uint8_t(7 * 16 + 15 * 7);
    image.Known[5][2] = 0x0F;
    image.Data[5][2] &= 0x0F;
    return image;
}

std::string SectorText(int Sector, const std::string& Block = std::string(32, '0'))
{
    std::string text = "+Sector: " + std::to_string(Sector) + "\n";
    for (int row = 0; row < 4; ++row)
        text += Block + "\n";
    return text;
}

std::string AllSectors(int From = 0)
{
    std::string text;
    for (int s = From; s < 16; ++s)
        text += SectorText(s);
    return text;
}

void WriteFile(const std::string& Path, const std::string& Content)
{
    std::ofstream(Path, std::ios::binary) << Content;
}

} // namespace

TEST(AccessConditions, DataBlockTableRowByRow)
{
    for (const auto& row : DataSheetDataRows) {
        const TDataRights table{Keys(row.Read), Keys(row.Write), Keys(row.Inc), Keys(row.Dec)};
        EXPECT_EQ(DataBlockRights(row.Cond), table) << int(row.Cond);
        // Where the trailer lets key B be read, only key A opens anything.
        for (uint8_t trailer = 0; trailer < 8; ++trailer) {
            const TDataRights got = EffectiveDataRights(row.Cond, trailer);
            const bool keyBData = trailer == 0b000 || trailer == 0b010 || trailer == 0b001;
            EXPECT_EQ(KeyBReadable(trailer), keyBData);
            const auto onlyA = [&](TKeys K) { return keyBData ? TKeys(uint8_t(K) & 1) : K; };
            EXPECT_EQ(got, (TDataRights{onlyA(table.Read), onlyA(table.Write), onlyA(table.Increment), onlyA(table.DecTransferRestore)}))
                << int(row.Cond) << " " << int(trailer);
        }
    }
}

TEST(AccessConditions, TrailerTableRowByRow)
{
    for (const auto& row : DataSheetTrailerRows) {
        const TTrailerRights table{Keys(row.KeyAWrite), Keys(row.AccessRead), Keys(row.AccessWrite), Keys(row.KeyBRead), Keys(row.KeyBWrite)};
        EXPECT_EQ(TrailerBlockRights(row.Cond), table) << int(row.Cond);
        EXPECT_EQ(KeyBReadable(row.Cond), std::string(row.KeyBRead) != "-") << int(row.Cond);
    }
}

TEST(AccessConditions, EveryConditionSetRoundTrips)
{
    // Known trailers first: the transport configuration and two common ones.
    const struct {
        TConditionSet Cond;
        std::array<uint8_t, 3> Bytes;
    } known[] = {
        {TransportConditions, {0xFF, 0x07, 0x80}},
        {{4, 4, 4, 3}, {0x78, 0x77, 0x88}},
        {{6, 6, 6, 3}, {0x08, 0x77, 0x8F}},
    };
    for (const auto& k : known) {
        EXPECT_EQ(EncodeAccess(k.Cond), k.Bytes);
        EXPECT_EQ(DecodeAccess(k.Bytes.data()), (TAccessConditions{k.Cond, true}));
    }
    EXPECT_EQ(TransportConditions, (TConditionSet{0b000, 0b000, 0b000, 0b001}));

    // All 4,096 sets: encoded then decoded gives the set back, consistent;
    // any one bit spoilt breaks an inverted copy.
    for (int n = 0; n < 4096; ++n) {
        const TConditionSet cond = {uint8_t(n & 7), uint8_t(n >> 3 & 7), uint8_t(n >> 6 & 7), uint8_t(n >> 9 & 7)};
        TBlockData trailer;
        trailer.fill(0x5A);
        SetAccess(trailer, cond);
        ASSERT_EQ(TrailerAccess(trailer), (TAccessConditions{cond, true})) << n;
        ASSERT_TRUE(AccessBitsConsistent(trailer.data())) << n;
        EXPECT_EQ(trailer[5], 0x5A);
        EXPECT_EQ(trailer[9], 0x5A) << "the user byte stays";
        for (int bit = 0; bit < 24; ++bit) {
            TBlockData bad = trailer;
            bad[size_t(AccessBitsOffset + bit / 8)] ^= uint8_t(1 << (bit % 8));
            ASSERT_FALSE(TrailerAccess(bad).Consistent) << n << " bit " << bit;
        }
    }
}

TEST(DumpFiles, BothFormsRoundTripAndAreToldByContent)
{
    const TDumpImage image = SampleImage();
    EXPECT_FALSE(image.AllKnown());
    EXPECT_FALSE(image.BlockKnown(7));
    EXPECT_TRUE(image.BlockKnown(6));

    const std::string text = TextOf(image);
    EXPECT_EQ(text.substr(0, 11 + 33), "+Sector: 0\n00070E151C232A31383F464D545B6269\n");
    EXPECT_NE(text.find("\n+Sector: 1\n"), std::string::npos);
    EXPECT_NE(text.find("\n------------------------------D9\n"), std::string::npos) << "key A of sector 1";
    EXPECT_NE(text.find("\n5057-E"), std::string::npos) << "the high digit of byte 2, block 5";
    TFileError error;
    EXPECT_EQ(ParseDump(text, "t", error), image);

    // The binary form cannot hold "unknown": those digits come back as known zeros.
    TDumpImage known = image;
    for (TBlockData& k : known.Known)
        k.fill(0xFF);
    const TDumpBytes bytes = BinaryOf(image);
    EXPECT_EQ(bytes[7 * 16], 0);
    EXPECT_EQ(bytes[5 * 16 + 2], image.Data[5][2]);
    EXPECT_EQ(ImageFromBinary(bytes), known);
    EXPECT_TRUE(ImageFromBinary(bytes).AllKnown());

    // Through files, each under the other form's name: the content decides.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string textPath = dir.filePath("card.bin").toStdString();
    const std::string binPath = dir.filePath("card.txt").toStdString();
    std::string why;
    ASSERT_TRUE(WriteDumpFile(textPath, image, TDumpFormat::Text, why)) << why;
    // Not in the binary form while a digit is unknown: it would become a zero.
    EXPECT_FALSE(WriteDumpFile(binPath, image, TDumpFormat::Binary, why));
    EXPECT_EQ(why, binPath + ": blocks 5, 7 are not fully known: save as text to keep the unknowns");
    ASSERT_TRUE(WriteDumpFile(binPath, known, TDumpFormat::Binary, why)) << why;
    EXPECT_EQ(ReadDumpFile(textPath, error), image) << error.Text();
    EXPECT_EQ(ReadDumpFile(binPath, error), known) << error.Text();
    std::ifstream binFile(binPath, std::ios::binary | std::ios::ate);
    EXPECT_EQ(binFile.tellg(), 1024);
    // Lower case, blanks around and CRLF line ends are read too.
    std::string loose = "+Sector: 0\r\n  " + text.substr(11, 32) + "  \r\n" + text.substr(11 + 33);
    std::transform(loose.begin() + 14, loose.begin() + 46, loose.begin() + 14, [](char C) { return char(std::tolower(C)); });
    EXPECT_EQ(ParseDump(loose, "t", error), image) << error.Text();
}

TEST(DumpFiles, BadContentNamesFileAndLine)
{
    const std::string good = std::string(32, 'F');
    const struct {
        std::string Content;
        int Line;
        std::string Message;
    } cases[] = {
        {"", 0, "neither a card dump of 1024 bytes"},
        {std::string(1023, '\0'), 0, "neither a card dump of 1024 bytes"},
        {SectorText(0).substr(0, 11) + "00\n" + AllSectors(1), 2, "not a block of 32 hex digits"},
        {SectorText(0, std::string(31, '0') + "G") + AllSectors(1), 2, "not a block of 32 hex digits"},
        {SectorText(0) + good + "\n" + AllSectors(1), 6, "a fifth block in sector 0"},
        {SectorText(0) + SectorText(16), 6, "not a sector of a 1K card (0 to 15): +Sector: 16"},
        {SectorText(0) + SectorText(0), 6, "sector 0 a second time"},
        {SectorText(0).substr(0, 11 + 3 * 33) + AllSectors(1), 5, "sector 0 has 3 blocks, not 4"},
        {AllSectors() + "+Sector: x\n", 81, "not a sector of a 1K card"},
        {AllSectors().substr(0, AllSectors().size() - 66), 78, "sector 15 has 2 blocks, not 4"},
        {AllSectors(1), 0, "sector 0 is missing"},
    };
    TFileError error;
    EXPECT_TRUE(ParseDump(AllSectors(), "d.txt", error)) << error.Text();
    for (const auto& c : cases) {
        error = {};
        EXPECT_FALSE(ParseDump(c.Content, "d.txt", error)) << c.Message;
        EXPECT_EQ(error.File, "d.txt");
        EXPECT_EQ(error.Line, c.Line) << c.Message;
        EXPECT_TRUE(error.Message.starts_with(c.Message)) << error.Text();
    }
    EXPECT_EQ((TFileError{"d.txt", 6, "sector 0 a second time"}.Text()), "d.txt:6: sector 0 a second time");

    // Files: a missing one and one too large for any dump are refused by name.
    QTemporaryDir dir;
    const std::string big = dir.filePath("big").toStdString();
    WriteFile(big, std::string(100000, 'x'));
    for (const std::string& path : {dir.filePath("none").toStdString(), big}) {
        EXPECT_FALSE(ReadDumpFile(path, error));
        EXPECT_TRUE(error.Text().starts_with(path + ": ")) << error.Text();
    }
}

TEST(KeyFiles, KeysCommentsAndTheBuiltInList)
{
    std::string all;
    for (const TKey& k : DefaultKeys())
        all += KeyText(k) + " ";
    EXPECT_EQ(all, "FFFFFFFFFFFF A0A1A2A3A4A5 D3F7D3F7D3F7 000000000000 B0B1B2B3B4B5 AABBCCDDEEFF 4D3A99C351DD "
                   "1A982C7E459A 714C5C886E97 587EE5F9350F A0478CC39091 533CB6C723F6 8FD0A4F256E9 ");

    QTemporaryDir dir;
    const std::string path = dir.filePath("keys.dic").toStdString();
    WriteFile(path, "# site keys\n\n  a0b1c2d3e4f5  # door\r\n000000000000\n\t\n112233445566#\nA0B1C2D3E4F5\n");
    TFileError error;
    const std::optional<TKeyList> user = ReadKeyFile(path, error);
    ASSERT_TRUE(user) << error.Text();
    std::string text;
    for (const TKey& k : *user)
        text += KeyText(k) + " ";
    EXPECT_EQ(text, "A0B1C2D3E4F5 000000000000 112233445566 A0B1C2D3E4F5 ");
    // The operator's first, each once, then the rest of the built-in list.
    const TKeyList keys = CandidateKeys(*user);
    ASSERT_EQ(keys.size(), 3u + 12u);
    EXPECT_EQ(KeyText(keys[0]) + KeyText(keys[1]) + KeyText(keys[2]) + KeyText(keys[3]) + KeyText(keys[6]),
        "A0B1C2D3E4F5000000000000112233445566FFFFFFFFFFFFB0B1B2B3B4B5");
    EXPECT_EQ(CandidateKeys(*user, false).size(), 3u);

    const struct {
        std::string Line;
    } bad[] = {{"12345"}, {"A0A1A2A3A4A5A6"}, {"A0A1A2 A3A4A5"}, {"G0A1A2A3A4A5"}, {"A0A1A2A3A4A5;"}};
    for (const auto& b : bad) {
        EXPECT_FALSE(ParseKeyFile("FFFFFFFFFFFF\n# two\n" + b.Line + "\n", "k", error)) << b.Line;
        EXPECT_EQ(error.Text(), "k:3: not a key of 12 hex digits: " + b.Line);
    }
    EXPECT_FALSE(ReadKeyFile(dir.filePath("none").toStdString(), error));
    EXPECT_TRUE(error.Text().starts_with(dir.filePath("none").toStdString() + ": ")) << error.Text();
}

TEST(DumpFiles, KeysADumpStatesAndTheFormAFileNameAsksFor)
{
    TFileError error;
    std::optional<TDumpImage> dump = ReadDumpFile(ORVELLE_TEST_DATA "/mixed-card.txt", error);
    ASSERT_TRUE(dump) << error.Text();
    dump->Known[31][2] = 0xF0; // key A of sector 7 not known in full: not stated
    std::string text;
    for (const TKey& k : DumpKeys(*dump))
        text += KeyText(k) + " ";
    EXPECT_EQ(text, "FFFFFFFFFFFF A0A1A2A3A4A5 B0B1B2B3B4B5 D3F7D3F7D3F7 0123456789AB 112233445566 AABBCCDDEEFF "
                    "4D3A99C351DD 8FD0A4F256E9 ");

    for (const auto& [name, form] : std::vector<std::pair<std::string, TDumpFormat>>{{"card.bin", TDumpFormat::Binary},
             {"/a/CARD.MFD", TDumpFormat::Binary}, {"card.txt", TDumpFormat::Text}, {"card", TDumpFormat::Text},
             {"bin", TDumpFormat::Text}, {"card.bin.txt", TDumpFormat::Text}})
        EXPECT_EQ(DumpFormatForName(name), form) << name;
}

TEST(FileText, ControlCharactersAndBytesThatAreNoUtf8ShowAsHex)
{
    const struct {
        std::string Text;
        size_t Max;
        std::string Shown;
    } cases[] = {
        {"keys.txt", std::string::npos, "keys.txt"},
        {"a\x1b[2J\x1b[Hb", std::string::npos, "a\\x1B[2J\\x1B[Hb"},
        {"tab\there\r\n\x7f", std::string::npos, "tab\\x09here\\x0D\\x0A\\x7F"},
        {"Schl\xc3\xbcssel \xe4\xb8\xad", std::string::npos, "Schl\xc3\xbcssel \xe4\xb8\xad"},
        {"\xc2\x9b[2J", std::string::npos, "\\xC2\\x9B[2J"}, // the 8-bit CSI
        {"\xff\xfe", std::string::npos, "\\xFF\\xFE"},
        {"\xe4\xb8", std::string::npos, "\\xE4\\xB8"},                              // cut short
        {"\xed\xa0\x80 \xc0\xaf", std::string::npos, "\\xED\\xA0\\x80 \\xC0\\xAF"}, // surrogate, overlong
        {"0123456789", 4, "0123..."},
        {"0123", 4, "0123"},
        {"01\xe4\xb8\xad", 3, "01\xe4\xb8\xad"}, // a character is not cut
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PrintableText(c.Text, c.Max), c.Shown) << c.Text;
        EXPECT_EQ(PrintableText(c.Shown), c.Shown) << "once is enough: " << c.Shown;
    }
    EXPECT_EQ((TFileError{"\x1b]0;x\x07.keys", 0, "gone"}.Text()), "\\x1B]0;x\\x07.keys: gone");
}

TEST(FileText, AByteOrderMarkIsSkippedAndAFileThatIsNoTextIsNotQuoted)
{
    using namespace std::string_literals;
    const std::string bom = "\xEF\xBB\xBF";
    TFileError error;
    const std::optional<TKeyList> keys = ParseKeyFile(bom + "# plant\r\nA0A1A2A3A4A5\r\n", "k", error);
    ASSERT_TRUE(keys) << error.Text();
    EXPECT_EQ(*keys, TKeyList{*ParseKey("A0A1A2A3A4A5")});
    EXPECT_EQ(ParseDump(bom + AllSectors(), "d", error), ParseDump(AllSectors(), "d", error)) << error.Text();

    std::string binary(300, '\0');
    for (size_t i = 0; i < binary.size(); ++i)
        binary[i] = char(i);
    for (const std::string& content : {binary, "FFFFFFFFFFFF\n\x1b[2J\x1b[H\n"s, "FFFFFFFFFFFF\n\0\n"s}) {
        EXPECT_FALSE(ParseKeyFile(content, "k", error));
        EXPECT_EQ(error.Text(), "k: not a text key file");
    }
    // A bad line is quoted only as far as it tells what it is, and its
    // control characters are shown, not sent.
    EXPECT_FALSE(ParseKeyFile(std::string(5000, 'F') + "\n", "k", error));
    EXPECT_EQ(error.Text(), "k:1: not a key of 12 hex digits: " + std::string(40, 'F') + "...");
    EXPECT_FALSE(ParseDump(SectorText(0, "\x1b]0;owned\x07") + AllSectors(1), "d", error));
    EXPECT_EQ(error.Text(), "d:2: not a block of 32 hex digits ('-' where unknown): \\x1B]0;owned\\x07");
}

TEST(KeyFiles, AFileAtTheSizeLimitKeepsItsOrderEachKeyOnce)
{
    // 80,000 keys, the factory key among them halfway, then the first 500
    // again: about a megabyte.
    const auto key = [](int I) {
        char text[13];
        std::snprintf(text, sizeof text, "1000%08X", I);
        return std::string(text);
    };
    std::string content;
    for (int i = 0; i < 80000; ++i)
        content += key(i) + (i == 40000 ? "\nffffffffffff\n" : "\n");
    for (int i = 0; i < 500; ++i)
        content += key(i) + "\n";
    QTemporaryDir dir;
    const std::string path = dir.filePath("big.keys").toStdString();
    WriteFile(path, content);
    TFileError error;
    const std::optional<TKeyList> read = ReadKeyFile(path, error);
    ASSERT_TRUE(read) << error.Text();
    ASSERT_EQ(read->size(), 80501u);

    const TKeyList keys = CandidateKeys(*read);
    ASSERT_EQ(keys.size(), 80001u + 12u);
    EXPECT_EQ(KeyText(keys[0]), key(0));
    EXPECT_EQ(KeyText(keys[40000]), key(40000));
    EXPECT_EQ(KeyText(keys[40001]), "FFFFFFFFFFFF");
    EXPECT_EQ(KeyText(keys[80000]), key(79999));
    EXPECT_EQ(KeyText(keys[80001]), "A0A1A2A3A4A5") << "the built-in list after, less the factory key";
    EXPECT_EQ(keys.back(), DefaultKeys().back());
}
