// Every request layout, byte for byte, with the checksum the exchange adds.
#include "protocol/Commands.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

namespace {

// The frame as it goes on the wire: bytes 0 .. L plus the checksum.
std::vector<int> Frame(const std::array<uint8_t, 32>& Buf)
{
    const int L = Buf[0];
    std::vector<int> Out;
    int Sum = 0;
    for (int i = 0; i < L; ++i) {
        Out.push_back(Buf[size_t(i)]);
        Sum += Buf[size_t(i)];
    }
    Out.push_back(Sum & 0xFF);
    return Out;
}

struct TFrameCase {
    std::string Name;
    std::function<void(uint8_t*)> Build;
    std::vector<int> Wire;
};

TEST(Commands, RequestFramesOnTheWire)
{
    const uint8_t Key[6] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    const uint8_t Zero[16] = {};
    const uint8_t KeyD[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const std::vector<TFrameCase> Cases = {
        {"search idle", [](uint8_t* B) { BuildSearchCard(B, 0); }, {0x03, 0x02, 0x00, 0x05}},
        {"search all", [](uint8_t* B) { BuildSearchCard(B, 1); }, {0x03, 0x02, 0x01, 0x06}},
        {"search serial all", [](uint8_t* B) { BuildSearchCardSerial(B, 1); }, {0x03, 0x0A, 0x01, 0x0E}},
        {"search serial idle", [](uint8_t* B) { BuildSearchCardSerial(B, 0); }, {0x03, 0x0A, 0x00, 0x0D}},
        {"anticollision", [](uint8_t* B) { BuildAnticollision(B); }, {0x02, 0x03, 0x05}},
        {"select", [](uint8_t* B) { BuildSelectCard(B); }, {0x02, 0x04, 0x06}},
        {"halt", [](uint8_t* B) { BuildHaltCard(B); }, {0x02, 0x09, 0x0B}},
        {"beep", [](uint8_t* B) { BuildBeep(B); }, {0x02, 0x13, 0x15}},
        {"link test", [](uint8_t* B) { BuildLinkTest(B); }, {0x03, 0x12, 0x00, 0x15}},
        {"auth stored B sector 5", [](uint8_t* B) { BuildAuthenticate(B, 5, 1, nullptr); },
         {0x04, 0x05, 0x05, 0x01, 0x0F}},
        {"auth no selection", [](uint8_t* B) { BuildAuthenticate(B, 0, 0xFF, nullptr); },
         {0x04, 0x05, 0x00, 0xFF, 0x08}},
        {"auth typed A sector 15", [&](uint8_t* B) { BuildAuthenticate(B, 15, 2, Key); },
         {0x0A, 0x05, 0x0F, 0x02, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xEF}},
        {"read block 8", [](uint8_t* B) { BuildReadBlock(B, 8); }, {0x03, 0x06, 0x08, 0x11}},
        {"write block 1 zeros", [&](uint8_t* B) { BuildWriteBlock(B, 1, Zero); },
         {0x13, 0x07, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x1B}},
        {"increment block 6 by 258", [](uint8_t* B) { BuildValueOperation(B, 1, 6, 258); },
         {0x09, 0x08, 0x01, 0x06, 0x06, 0x00, 0x00, 0x01, 0x02, 0x21}},
        {"decrement by FFFFFFFF", [](uint8_t* B) { BuildValueOperation(B, 0, 4, 0xFFFFFFFF); },
         {0x09, 0x08, 0x00, 0x04, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0x15}},
        {"download key A sector 3", [&](uint8_t* B) { BuildDownloadKey(B, 0, 3, KeyD); },
         {0x0A, 0x0B, 0x00, 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x12}},
    };
    for (const auto& C : Cases) {
        std::array<uint8_t, 32> Buf;
        Buf.fill(0xEE);
        C.Build(Buf.data());
        EXPECT_EQ(Frame(Buf), C.Wire) << C.Name;
        // Nothing beyond the request's own bytes is touched.
        for (size_t i = size_t(Buf[0]); i < Buf.size(); ++i)
            EXPECT_EQ(Buf[i], 0xEE) << C.Name << " index " << i;
    }
}

TEST(Commands, PayloadAlreadyInPlaceIsKept)
{
    std::array<uint8_t, 32> Buf{};
    for (int i = 0; i < KeyBytes; ++i)
        Buf[size_t(AuthKeyOffset + i)] = uint8_t(0x10 + i);
    BuildAuthenticate(Buf.data(), 2, 3, Buf.data() + AuthKeyOffset);
    EXPECT_EQ(Frame(Buf), (std::vector<int>{0x0A, 0x05, 0x02, 0x03, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x83}));

    Buf.fill(0);
    for (int i = 0; i < BlockBytes; ++i)
        Buf[size_t(WriteDataOffset + i)] = uint8_t(i);
    BuildWriteBlock(Buf.data(), 9, Buf.data() + WriteDataOffset);
    const auto W = Frame(Buf);
    ASSERT_EQ(W.size(), 20u);
    EXPECT_EQ(W[0], 0x13);
    EXPECT_EQ(W[2], 9);
    for (int i = 0; i < BlockBytes; ++i)
        EXPECT_EQ(W[size_t(3 + i)], i);

    Buf.fill(0);
    for (int i = 0; i < KeyBytes; ++i)
        Buf[size_t(DownloadKeyOffset + i)] = uint8_t(0xC0 + i);
    BuildDownloadKey(Buf.data(), 1, 15, Buf.data() + DownloadKeyOffset);
    EXPECT_EQ(Frame(Buf), (std::vector<int>{0x0A, 0x0B, 0x01, 0x0F, 0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xB4}));
}

TEST(Commands, ValueBlockImageAndCardTypes)
{
    uint8_t Image[16];
    BuildValueBlockImage(Image, 5);
    const uint8_t Five[16] = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0x05, 0xFA, 0x05, 0xFA};
    EXPECT_EQ(std::vector<uint8_t>(Image, Image + 16), std::vector<uint8_t>(Five, Five + 16));
    BuildValueBlockImage(Image, 62);
    EXPECT_EQ(Image[12], 62);
    EXPECT_EQ(Image[13], 0xC1);
    EXPECT_EQ(Image[14], 62);
    EXPECT_EQ(Image[15], 0xC1);

    struct {
        uint8_t Code;
        const char* Text;
    } const Types[] = {{1, "MifareOne"}, {2, "MifarePro"}, {3, "MifareLight"},
                       {0, "unknow type"}, {4, "unknow type"}, {255, "unknow type"}};
    for (const auto& T : Types)
        EXPECT_STREQ(CardTypeText(T.Code), T.Text) << int(T.Code);
}

} // namespace
