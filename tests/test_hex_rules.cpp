// The hex rules every typed field and every shown byte follows.
#include "reader/HexText.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace {

struct TBytesCase {
    const char16_t* Text;
    int Count;
    THexResult Result;
    std::vector<uint8_t> Written; // bytes converted before the stop
};

TEST(HexToBytes, LengthFirstThenPairsInOrder)
{
    const TBytesCase Cases[] = {
        {u"A0B1C2D3E4F5", 6, THexResult::Ok, {0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5}},
        {u"a0b1c2d3e4f5", 6, THexResult::Ok, {0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5}},
        {u"FFffFf000901", 6, THexResult::Ok, {0xFF, 0xFF, 0xFF, 0x00, 0x09, 0x01}},
        // 11 or 13 characters: refused before any pair is looked at.
        {u"A0B1C2D3E4F", 6, THexResult::BadLength, {}},
        {u"A0B1C2D3E4F50", 6, THexResult::BadLength, {}},
        {u"", 6, THexResult::BadLength, {}},
        {u"zz", 6, THexResult::BadLength, {}},
        // Bad pairs stop the conversion where they stand.
        {u"A0B1G2D3E4F5", 6, THexResult::BadDigit, {0xA0, 0xB1}},
        {u"A0B1C2D3E4F ", 6, THexResult::BadDigit, {0xA0, 0xB1, 0xC2, 0xD3, 0xE4}},
        {u" 0B1C2D3E4F5", 6, THexResult::BadDigit, {}},
        {u"0x1122334455", 6, THexResult::BadDigit, {}},
        {u"+1B1C2D3E4F5", 6, THexResult::BadDigit, {}},
        {u"-1B1C2D3E4F5", 6, THexResult::BadDigit, {}},
        {u"A0\u0661\u0662C2D3E4F5", 6, THexResult::BadDigit, {0xA0}}, // Arabic-Indic digits
        {u"A0\uFF11\uFF12C2D3E4F5", 6, THexResult::BadDigit, {0xA0}}, // full-width digits
        {u"00112233445566778899AABBCCDDEEFF", 16, THexResult::Ok,
            {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}},
        {u"FF078069", 4, THexResult::Ok, {0xFF, 0x07, 0x80, 0x69}},
        {u"FF07806", 4, THexResult::BadLength, {}},
        {u"", 0, THexResult::Ok, {}},
    };
    for (const auto& C : Cases) {
        const QString Text = QString::fromUtf16(C.Text);
        std::array<uint8_t, 16> Out;
        Out.fill(0x5A);
        EXPECT_EQ(HexToBytes(Text, Out.data(), C.Count), C.Result) << Text.toStdString();
        for (size_t i = 0; i < C.Written.size(); ++i)
            EXPECT_EQ(Out[i], C.Written[i]) << Text.toStdString() << " byte " << i;
        // Nothing is written past the bytes already converted.
        for (size_t i = C.Written.size(); i < Out.size(); ++i)
            EXPECT_EQ(Out[i], 0x5A) << Text.toStdString() << " byte " << i;
    }
}

TEST(BytesToHex, TwoUpperCaseDigitsAByte)
{
    const uint8_t Data[] = {0x00, 0x0A, 0xA0, 0xFF, 0x12, 0x9c};
    EXPECT_EQ(BytesToHex(Data, 6), QStringLiteral("000AA0FF129C"));
    EXPECT_EQ(BytesToHex(Data, 1), QStringLiteral("00"));
    EXPECT_EQ(BytesToHex(Data, 0), QString());
    const uint8_t Serial[] = {0x00, 0x00, 0x00, 0x01};
    EXPECT_EQ(BytesToHex(Serial, 4), QStringLiteral("00000001"));

    // Round trip over every byte value.
    std::array<uint8_t, 256> All;
    for (int i = 0; i < 256; ++i)
        All[size_t(i)] = uint8_t(i);
    const QString Text = BytesToHex(All.data(), 256);
    ASSERT_EQ(Text.size(), 512);
    std::array<uint8_t, 256> Back{};
    EXPECT_EQ(HexToBytes(Text, Back.data(), 256), THexResult::Ok);
    EXPECT_EQ(Back, All);
    EXPECT_EQ(HexToBytes(Text.toLower(), Back.data(), 256), THexResult::Ok);
    EXPECT_EQ(Back, All);
}

TEST(HexNumber, OneToEightDigits)
{
    struct {
        const char16_t* Text;
        std::optional<uint32_t> Value;
    } const Cases[] = {
        {u"0", 0u},
        {u"1", 1u},
        {u"102", 0x102u},
        {u"ffffffff", 0xFFFFFFFFu},
        {u"FFFFFFFF", 0xFFFFFFFFu},
        {u"00000001", 1u},
        {u"DeadBeef", 0xDEADBEEFu},
        {u"", std::nullopt},
        {u"000000001", std::nullopt}, // nine digits
        {u"1FFFFFFFF", std::nullopt},
        {u"12 3", std::nullopt},
        {u" 12", std::nullopt}, // the caller trims, not this routine
        {u"-1", std::nullopt},
        {u"0x10", std::nullopt},
        {u"G", std::nullopt},
        {u"\uFF11", std::nullopt},
    };
    for (const auto& C : Cases) {
        const QString Text = QString::fromUtf16(C.Text);
        EXPECT_EQ(HexNumber(Text), C.Value) << Text.toStdString();
    }
}

TEST(TrimText, OnlyCodesUpToBlank)
{
    struct {
        const char16_t* Text;
        const char16_t* Trimmed;
    } const Cases[] = {
        {u"  12 34  ", u"12 34"},
        {u"\t\r\n1F\x01\x1f", u"1F"},
        {u"\x20\x20", u""},
        {u"", u""},
        {u"abc", u"abc"},
        {u"\u3000abc\u3000", u"\u3000abc\u3000"}, // ideographic space is kept
        {u"\u00A0x\u00A0", u"\u00A0x\u00A0"},     // so is the no-break space
        {u"\x7f"
         u"a",
            u"\x7f"
            u"a"},
    };
    for (const auto& C : Cases) {
        const QString Text = QString::fromUtf16(C.Text);
        EXPECT_EQ(TrimText(Text), QString::fromUtf16(C.Trimmed)) << Text.toStdString();
    }
    // A text made of a NUL character and blanks trims to nothing.
    EXPECT_EQ(TrimText(QString(QChar(0)) + QStringLiteral("  ")), QString());
}

} // namespace
