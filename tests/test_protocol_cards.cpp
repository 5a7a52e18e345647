// The card's rules without a card: access conditions against the data
// sheet's two tables, dump files in every form (binary, text, .eml, JSON) and
// the dumps of other card sizes refused, key files and key maps in their text
// and binary forms, and what a message shows of a file.
#include "protocol/AccessConditions.h"
#include "protocol/DumpFile.h"
#include "protocol/KeyFile.h"
#include "protocol/PlainText.h"
#include "support/AccessTables.h"
#include "support/TestPaths.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
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

std::string FileText(const std::string& Path)
{
    QFile file(QString::fromStdString(Path));
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string("(none)");
}

// Blocks lines of 32 zeros, the .eml form.
std::string EmlLines(int Blocks)
{
    std::string text;
    // Appended in two steps: GCC 12 takes a temporary's "+ \"\n\"" for a copy
    // out of bounds (a false -Warray-bounds) once the headers come precompiled.
    for (int b = 0; b < Blocks; ++b) {
        text.append(32, '0');
        text += '\n';
    }
    return text;
}

// A JSON dump of Blocks blocks of zeros, Extra members after them.
std::string JsonBlocks(int Blocks, const std::string& Extra = {})
{
    std::string text = "{\"FileType\": \"mfcard\",\n\"blocks\": {";
    for (int b = 0; b < Blocks; ++b)
        text += (b > 0 ? ",\n\"" : "\n\"") + std::to_string(b) + "\": \"" + std::string(32, '0') + "\"";
    return text + Extra + "}}\n";
}

// The digits, without the serial number only the JSON form carries.
void ExpectSameDigits(const std::optional<TDumpImage>& Read, const TDumpImage& Expected, const std::string& What)
{
    ASSERT_TRUE(Read) << What;
    EXPECT_EQ(Read->Data, Expected.Data) << What;
    EXPECT_EQ(Read->Known, Expected.Known) << What;
}

TDumpImage MixedCard()
{
    TFileError error;
    const std::optional<TDumpImage> dump = ReadDumpFile(TestData("mixed-card.txt"), error);
    EXPECT_TRUE(dump) << error.Text();
    return dump.value_or(TDumpImage{});
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

TEST(AccessConditions, PermanentLocksAreWhatNoKeyCanGiveBack)
{
    // From the data sheet's tables: the access bits stay for good where no
    // key that opens the sector may write them (key B readable is no key);
    // then a key nobody may write stays too, and so does a block nobody reads.
    const struct {
        uint8_t Trailer;
        bool AccessLocked, KeysLocked;
        const char* Unreadable; // data conditions no key reads under this trailer, for good
    } rows[] = {
        {0b000, true, false, "011 101 111"},
        {0b010, true, true, "011 101 111"},
        {0b100, true, false, "111"},
        {0b110, true, true, "111"},
        {0b001, false, false, ""},
        {0b011, false, false, ""},
        {0b101, false, false, ""},
        {0b111, true, true, "111"},
    };
    const char* names[] = {"000", "001", "010", "011", "100", "101", "110", "111"};
    for (const auto& row : rows) {
        for (uint8_t data = 0; data < 8; ++data) {
            // Sector 5: the same data condition in block 21, transport in 20 and 22.
            const TConditionSet cond = {0b000, data, 0b000, row.Trailer};
            std::vector<std::string> expected;
            if (row.AccessLocked)
                expected.emplace_back("after this no key can change this sector's access bits");
            if (row.KeysLocked)
                expected.emplace_back("after this no key can change this sector's keys");
            if (std::string(row.Unreadable).find(names[data]) != std::string::npos)
                expected.emplace_back("after this block 21 cannot be read with either key");
            EXPECT_EQ(PermanentLocks(cond, 5), expected) << "trailer " << names[row.Trailer] << " data " << names[data];
        }
    }
    EXPECT_TRUE(PermanentLocks(TransportConditions, 0).empty());
    EXPECT_EQ(PermanentLocks({0b111, 0b111, 0b111, 0b110}, 0).size(), 5U) << "every block named";
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
        {SectorText(0) + SectorText(40), 6, "not a sector of a 1K card (0 to 15): +Sector: 40"},
        {SectorText(0) + SectorText(0), 6, "sector 0 a second time"},
        {SectorText(0).substr(0, 11 + 3 * 33) + AllSectors(1), 5, "sector 0 has 3 blocks, not 4"},
        {AllSectors() + "+Sector: x\n", 81, "not a sector of a 1K card"},
        {AllSectors().substr(0, AllSectors().size() - 66), 78, "sector 15 has 2 blocks, not 4"},
        {EmlLines(4) + "0123\n" + EmlLines(59), 5, "not a block of 32 hex digits ('-' where unknown): 0123"},
        {EmlLines(63), 0, "an .eml dump of 63 blocks, not the 64 of a 1K card"},
        {"{\"blocks\": {\n\"0\": ", 2, "not JSON: the document ends early"},
        {"{\"blocks\": {\"0\": \"00\" \"1\"}}", 1, "not JSON: ',' or '}' expected"},
        {"{\"Card\": {}}", 1, "a JSON dump without its \"blocks\" object"},
        {JsonBlocks(63), 2, "block 63 is missing"},
        {JsonBlocks(2, ",\n\"x\": \"\""), 5, "not a block number: \"x\""},
        {JsonBlocks(64, ",\n\"64\": \"" + std::string(32, '0') + "\""), 67, "block 64 is not a block of a 1K card (0 to 63)"},
        {JsonBlocks(64, ",\n\"3\": \"" + std::string(32, '0') + "\""), 67, "block 3 a second time"},
        {JsonBlocks(3, ",\n\"3\": \"00\""), 6, "block 3: not a block of 32 hex digits"},
        {JsonBlocks(64).substr(0, JsonBlocks(64).size() - 2) + ",\n\"blocks\": {}}\n", 67, "\"blocks\" a second time"},
        {"{\"FileType\": \"mfu\", \"blocks\": {}}", 1, "a JSON dump of another kind of card (\"FileType\": \"mfu\")"},
        {"{\"Card\": {\"UID\": \"12345\"},\n" + JsonBlocks(64).substr(1), 1, "the card's \"UID\" is no serial number of hex digits: 12345"},
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

TEST(DumpFiles, EveryFormReadsTheFixtureAndWritesWhatItReads)
{
    const TDumpImage fixture = MixedCard();
    ASSERT_TRUE(fixture.AllKnown());
    TFileError error;
    for (const char* name : {"mixed-card.txt", "mixed-card.eml", "mixed-card.json"}) {
        const std::optional<TDumpImage> read = ReadDumpFile(TestData(name), error);
        ASSERT_TRUE(read) << error.Text();
        ExpectSameDigits(read, fixture, name);
        const std::vector<uint8_t> serial = std::string(name).ends_with(".json") ? std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78}
                                                                                 : std::vector<uint8_t>{};
        EXPECT_EQ(read->Serial, serial) << name;
    }

    // Each form written, read back the same, and written again byte for byte.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const auto& [name, form] : std::vector<std::pair<std::string, TDumpFormat>>{{"card.bin", TDumpFormat::Binary},
             {"card.txt", TDumpFormat::Text}, {"card.eml", TDumpFormat::Eml}, {"card.json", TDumpFormat::Json}}) {
        const std::string path = dir.filePath(QString::fromStdString(name)).toStdString();
        std::string why;
        ASSERT_TRUE(WriteDumpFile(path, fixture, form, why)) << why;
        const std::optional<TDumpImage> back = ReadDumpFile(path, error);
        ExpectSameDigits(back, fixture, name + error.Text());
        ASSERT_TRUE(WriteDumpFile(path + ".again", *back, form, why)) << why;
        EXPECT_EQ(FileText(path + ".again"), FileText(path)) << name;
        // Only the text form can say "unknown".
        TDumpImage partial = fixture;
        partial.Known[9][0] = 0x0F;
        EXPECT_EQ(WriteDumpFile(path, partial, form, why), form == TDumpFormat::Text) << name;
        if (form != TDumpFormat::Text) {
            EXPECT_EQ(why, path + ": block 9 is not fully known: save as text to keep the unknowns");
        }
    }
    EXPECT_EQ(FileText(dir.filePath("card.eml").toStdString()), FileText(TestData("mixed-card.eml")));
    const std::string json = FileText(dir.filePath("card.json").toStdString());
    EXPECT_TRUE(json.starts_with("{\n  \"Created\": \"orvelle\",\n  \"FileType\": \"mfcard\",\n  \"Card\": {\n    \"UID\": "
                                 "\"12345678\"\n  },\n  \"blocks\": {\n    \"0\": \"12345678080804004F525653494D3031\",\n"))
        << json;
    const QJsonObject object = QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
    EXPECT_EQ(object.keys(), QStringList({"Card", "Created", "FileType", "blocks"}));
    EXPECT_EQ(object["blocks"].toObject().size(), 64);
    EXPECT_EQ(object["blocks"].toObject()["63"].toString(), "8FD0A4F256E97F0788698FD0A4F256E9");

    // The serial number: block 0's when its fifth byte checks the first
    // four, else the one known, else block 0's first seven bytes.
    TDumpImage other = fixture;
    other.Data[0][4] = 0x09;
    EXPECT_EQ(DumpSerial(fixture), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(DumpSerial(other), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78, 0x09, 0x08, 0x04}));
    other.Serial = {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    EXPECT_EQ(DumpSerial(other), other.Serial);
}

TEST(DumpFiles, ATextDumpMayLeaveSectorsOutAndCarryComments)
{
    const TDumpImage fixture = MixedCard();
    TFileError error;
    const std::optional<TDumpImage> partial = ReadDumpFile(TestData("partial-card.txt"), error);
    ASSERT_TRUE(partial) << error.Text();
    for (int b = 0; b < 64; ++b) {
        const int sector = b / 4;
        const bool there = sector == 0 || sector == 1 || sector == 4;
        EXPECT_EQ(partial->BlockKnown(b), there && b != 7) << b;
        for (size_t i = 0; i < 16; ++i) {
            const uint8_t known = there && !(b == 7 && i < 6) ? 0xFF : 0x00;
            EXPECT_EQ(partial->Known[size_t(b)][i], known) << b << " " << i;
            EXPECT_EQ(partial->Data[size_t(b)][i], fixture.Data[size_t(b)][i] & known) << b << " " << i;
        }
    }
    // A text dump of sectors 0 to 4 is a 1K card's, read in part.
    EXPECT_TRUE(ParseDump(SectorText(0) + SectorText(1) + SectorText(2) + SectorText(3) + SectorText(4), "d", error));
}

TEST(DumpFiles, OtherCardSizesAreRefusedByTheirName)
{
    std::string text4K = AllSectors();
    for (int s = 16; s < 40; ++s)
        text4K += SectorText(s);
    const struct {
        std::string Content;
        int Line;
        const char* Card;
    } cases[] = {
        {std::string(4096, '\x01'), 0, "4K"},
        {std::string(2048, '\x01'), 0, "2K"},
        {std::string(320, '\x01'), 0, "Mini"},
        {EmlLines(256), 0, "4K"},
        {EmlLines(128), 0, "2K"},
        {EmlLines(20), 0, "Mini"},
        {JsonBlocks(256), 0, "4K"},
        {JsonBlocks(128), 0, "2K"},
        {JsonBlocks(20), 0, "Mini"},
        {text4K, 81, "4K"},
        {AllSectors() + SectorText(16) + SectorText(31), 81, "2K"},
        {SectorText(3) + SectorText(20), 6, "2K"},
        // The highest sector from 16 on says which: up to 31 a 2K card's, from 32 a 4K card's.
        {SectorText(3) + SectorText(31), 6, "2K"},
        {SectorText(16) + SectorText(32), 1, "4K"},
        {SectorText(39), 1, "4K"},
    };
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string path = dir.filePath("other.dump").toStdString();
    for (const auto& c : cases) {
        WriteFile(path, c.Content);
        TFileError error;
        EXPECT_FALSE(ReadDumpFile(path, error)) << c.Card;
        const std::string line = c.Line > 0 ? ":" + std::to_string(c.Line) : "";
        EXPECT_EQ(error.Text(), path + line + ": a " + c.Card + " card's dump: Orvelle works with 1K cards");
    }
}

TEST(KeyFiles, ADumpGivenForAKeyFileGivesTheKeysItsTrailersState)
{
    QTemporaryDir dir;
    const auto file = [&dir](const char* Name, const std::string& Content) {
        const std::string path = dir.filePath(QLatin1String(Name)).toStdString();
        WriteFile(path, Content);
        return path;
    };
    // Every block known: zeros, but for each sector's own key A.
    TDumpImage full;
    for (int b = 0; b < CardBlocks; ++b) {
        TBlockData d{};
        if (IsTrailer(b))
            std::fill_n(d.begin(), KeyBytes, uint8_t(0xA0 + SectorOf(b)));
        full.SetBlock(b, d);
    }
    const TDumpBytes binary = BinaryOf(full);
    const struct {
        std::string Path;
        std::optional<TKeyList> Keys;
        int Trailers; // as told; 0: a key file
        std::string Error;
    } rows[] = {
        {file("keys.txt", "A0A1A2A3A4A5\nffffffffffff # default\n"),
            TKeyList{*ParseKey("A0A1A2A3A4A5"), *ParseKey("FFFFFFFFFFFF")}, 0, ""},
        {file("card.mfd", std::string(binary.begin(), binary.end())), DumpKeys(full), 16, ""},
        {file("mixed.txt", FileText(TestData("mixed-card.txt"))), DumpKeys(MixedCard()), 16, ""},
        {file("card.json", JsonOf(full)), DumpKeys(full), 16, ""},
        {file("unknown.txt", SectorText(0, std::string(32, '-'))), std::nullopt, 0,
            "a card dump whose trailers state no key: give a key file, 12 hex digits a line"},
        {file("typo.keys", "FFFFFFFFFFFF\nFFFFFFFFFFF\n"), std::nullopt, 0, ":2: not a key of 12 hex digits"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Path);
        TFileError error;
        int trailers = 0;
        EXPECT_EQ(ReadKeyFile(row.Path, error, &trailers), row.Keys);
        EXPECT_EQ(trailers, row.Trailers);
        if (!row.Error.empty()) {
            EXPECT_NE(error.Text().find(row.Error), std::string::npos) << error.Text();
        }
    }
    EXPECT_EQ(DumpKeys(full).size(), 17U) << "sixteen keys A and the zeros of key B";
}

TEST(KeyFiles, TheBinaryKeyMapIsAKeyFileAndAMap)
{
    // Keys A of sectors 0..15, then keys B; control characters among them.
    std::string bytes;
    TKeyMap map;
    for (int type = 0; type < 2; ++type) {
        for (int s = 0; s < 16; ++s) {
            const TKey key = {uint8_t(0xA0 + 0x10 * type), 0xA1, 0xA2, 0xA3, 0xA4, uint8_t(0x80 * type + s)};
            bytes.append(key.begin(), key.end());
            (type == 0 ? map[size_t(s)].KeyA : map[size_t(s)].KeyB) = key;
        }
    }
    ASSERT_EQ(bytes.size(), 192u);
    TFileError error;
    const std::optional<TKeyList> keys = ParseKeyFile(bytes, "k", error);
    ASSERT_TRUE(keys) << error.Text();
    ASSERT_EQ(keys->size(), 32u);
    EXPECT_EQ(KeyText(keys->at(0)) + KeyText(keys->at(15)) + KeyText(keys->at(16)), "A0A1A2A3A400A0A1A2A3A40FB0A1A2A3A480");
    EXPECT_EQ(ParseKeyMap(bytes, "k", error), map);
    // Keys of FF bytes (no UTF-8) are binary too; other binary sizes are no key file.
    const TKey ff = *ParseKey("FFFFFFFFFFFF");
    EXPECT_EQ(ParseKeyFile(std::string(192, '\xFF'), "k", error), TKeyList(32, ff));
    for (const size_t size : {191u, 193u, 480u}) {
        EXPECT_FALSE(ParseKeyFile(bytes.substr(0, 1) + std::string(size - 1, '\0'), "k", error));
        EXPECT_EQ(error.Text(), "k: not a text key file");
    }

    // Written in both forms and read back.
    QTemporaryDir dir;
    const std::string bin = dir.filePath("keys.bin").toStdString();
    const std::string txt = dir.filePath("keys.txt").toStdString();
    std::string why;
    ASSERT_TRUE(WriteKeyMapFile(bin, map, true, why)) << why;
    EXPECT_EQ(FileText(bin), bytes);
    TKeyMap some = map;
    some[3].KeyB.reset();
    some[5] = {};
    ASSERT_TRUE(WriteKeyMapFile(txt, some, false, why)) << why;
    EXPECT_TRUE(FileText(txt).starts_with("0 A0A1A2A3A400 B0A1A2A3A480\n1 A0A1A2A3A401 B0A1A2A3A481\n")) << FileText(txt);
    EXPECT_NE(FileText(txt).find("\n3 A0A1A2A3A403 -\n4 A0A1A2A3A404 B0A1A2A3A484\n5 - -\n"), std::string::npos);
    EXPECT_EQ(ReadKeyMapFile(txt, error), some) << error.Text();
    EXPECT_EQ(ReadKeyMapFile(bin, error), map) << error.Text();
    EXPECT_FALSE(WriteKeyMapFile(bin, some, true, why));
    EXPECT_EQ(why, bin + ": sectors 3, 5 have keys not known: save the map as text to keep the unknowns");
    EXPECT_EQ(FileText(bin), bytes) << "left as it was";

    // The text form by hand: comments, any case, sectors left out.
    const std::optional<TKeyMap> hand = ParseKeyMap("# plant\n 0 ffffffffffff -  # key B readable\n\n15\t8FD0A4F256E9 8fd0a4f256e9\n", "m", error);
    ASSERT_TRUE(hand) << error.Text();
    TKeyMap expected;
    expected[0].KeyA = ff;
    expected[15] = {ParseKey("8FD0A4F256E9"), ParseKey("8FD0A4F256E9")};
    EXPECT_EQ(*hand, expected);
    const struct {
        std::string Line;
        std::string Message;
    } bad[] = {
        {"16 FFFFFFFFFFFF -", "not a sector of a 1K card (0 to 15): 16"},
        {"0 FFFFFFFFFFFF -", "sector 0 a second time"},
        {"1 FFFFFFFFFFFF", "not a sector's keys (SECTOR KEYA KEYB): 1 FFFFFFFFFFFF"},
        {"FFFFFFFFFFFF", "not a sector's keys (SECTOR KEYA KEYB): FFFFFFFFFFFF"},
        {"2 FFFF -", "not a key of 12 hex digits ('-' where unknown): FFFF"},
    };
    for (const auto& b : bad) {
        EXPECT_FALSE(ParseKeyMap("0 - -\n# two\n" + b.Line + "\n", "m", error)) << b.Line;
        EXPECT_EQ(error.Text(), "m:3: " + b.Message);
    }
    EXPECT_FALSE(ParseKeyMap(std::string(100, '\0'), "m", error));
    EXPECT_EQ(error.Text(), "m: neither a key map of 192 bytes nor a text key map (SECTOR KEYA KEYB lines)");
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
    std::optional<TDumpImage> dump = ReadDumpFile(TestData("mixed-card.txt"), error);
    ASSERT_TRUE(dump) << error.Text();
    dump->Known[31][2] = 0xF0; // key A of sector 7 not known in full: not stated
    std::string text;
    for (const TKey& k : DumpKeys(*dump))
        text += KeyText(k) + " ";
    EXPECT_EQ(text, "FFFFFFFFFFFF A0A1A2A3A4A5 B0B1B2B3B4B5 D3F7D3F7D3F7 0123456789AB 112233445566 AABBCCDDEEFF "
                    "4D3A99C351DD 8FD0A4F256E9 ");

    for (const auto& [name, form] : std::vector<std::pair<std::string, TDumpFormat>>{{"card.bin", TDumpFormat::Binary},
             {"/a/CARD.MFD", TDumpFormat::Binary}, {"card.raw", TDumpFormat::Binary}, {"card.Dump", TDumpFormat::Binary},
             {"card.eml", TDumpFormat::Eml}, {"card.JSON", TDumpFormat::Json}, {"card.txt", TDumpFormat::Text},
             {"card", TDumpFormat::Text}, {"bin", TDumpFormat::Text}, {"card.bin.txt", TDumpFormat::Text},
             {"card.json.txt", TDumpFormat::Text}})
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
