// The frame and the command set: every request layout byte for byte, the
// assembly and verdict of replies, and what the decoders read from them.
#include "protocol/Commands.h"
#include "protocol/Frame.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace {

// The request as it goes on the wire: bytes 0 .. L plus the checksum.
std::vector<int> Wire(TRequest Request)
{
    const int Bytes = SealFrame(Request.Frame.data());
    return std::vector<int>(Request.Frame.begin(), Request.Frame.begin() + Bytes);
}

struct TFrameCase {
    std::string Name;
    TRequest Request;
    std::vector<int> Wire;
};

TEST(Commands, RequestFramesOnTheWire)
{
    const TKey Key = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    const TBlockData Zero = {};
    const TKey KeyD = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const std::vector<TFrameCase> Cases = {
        {"search idle", BuildSearchCard(0), {0x03, 0x02, 0x00, 0x05}},
        {"search all", BuildSearchCard(1), {0x03, 0x02, 0x01, 0x06}},
        {"search serial all", BuildSearchCardSerial(1), {0x03, 0x0A, 0x01, 0x0E}},
        {"search serial idle", BuildSearchCardSerial(0), {0x03, 0x0A, 0x00, 0x0D}},
        {"anticollision", BuildAnticollision(), {0x02, 0x03, 0x05}},
        {"select", BuildSelectCard(), {0x02, 0x04, 0x06}},
        {"halt", BuildHaltCard(), {0x02, 0x09, 0x0B}},
        {"beep", BuildBeep(), {0x02, 0x13, 0x15}},
        {"link test", BuildLinkTest(), {0x03, 0x12, 0x00, 0x15}},
        {"auth stored B sector 5", BuildAuthenticate(5, 1), {0x04, 0x05, 0x05, 0x01, 0x0F}},
        {"auth no selection", BuildAuthenticate(0, 0xFF), {0x04, 0x05, 0x00, 0xFF, 0x08}},
        {"auth typed A sector 15", BuildAuthenticate(15, 2, &Key),
            {0x0A, 0x05, 0x0F, 0x02, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xEF}},
        {"read block 8", BuildReadBlock(8), {0x03, 0x06, 0x08, 0x11}},
        {"write block 1 zeros", BuildWriteBlock(1, Zero),
            {0x13, 0x07, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x1B}},
        {"increment block 6 by 258", BuildValueOperation(1, 6, 258),
            {0x09, 0x08, 0x01, 0x06, 0x06, 0x00, 0x00, 0x01, 0x02, 0x21}},
        {"decrement by FFFFFFFF", BuildValueOperation(0, 4, 0xFFFFFFFF),
            {0x09, 0x08, 0x00, 0x04, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0x15}},
        {"download key A sector 3", BuildDownloadKey(0, 3, KeyD),
            {0x0A, 0x0B, 0x00, 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x12}},
    };
    for (const auto& C : Cases) {
        EXPECT_EQ(C.Request.Length, C.Wire[0]) << C.Name;
        EXPECT_EQ(Wire(C.Request), C.Wire) << C.Name;
        // Nothing beyond the request's own bytes is written.
        for (size_t i = size_t(C.Request.Length); i < C.Request.Frame.size(); ++i)
            EXPECT_EQ(C.Request.Frame[i], 0) << C.Name << " index " << i;
    }
}

TEST(Commands, ValueBlockImageAndCardTypes)
{
    const TBlockData five = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0x05, 0xFA, 0x05, 0xFA};
    EXPECT_EQ(MakeValueBlock(0, 5), five);
    const TBlockData image = MakeValueBlock(-2, 62);
    EXPECT_EQ(std::vector<uint8_t>(image.begin() + 12, image.end()), std::vector<uint8_t>({62, 0xC1, 62, 0xC1}));
    EXPECT_EQ(DecodeValueBlock(image), (TValueBlock{-2, 62}));
    // Each of the three copies of the value, and the address copies, is checked.
    for (int spoilt : {0, 4, 8, 12, 13, 15}) {
        TBlockData bad = image;
        bad[size_t(spoilt)] ^= 0x01;
        EXPECT_FALSE(DecodeValueBlock(bad)) << "byte " << spoilt;
    }

    struct {
        uint8_t Code;
        const char* Text;
    } const Types[] = {{1, "MifareOne"}, {2, "MifarePro"}, {3, "MifareLight"},
        {0, "unknow type"}, {4, "unknow type"}, {255, "unknow type"}};
    for (const auto& T : Types)
        EXPECT_STREQ(CardTypeText(T.Code), T.Text) << int(T.Code);
}

TEST(Frames, RepliesAssembledFromPiecesAndJudged)
{
    // Offset: where the frame taken starts on the line, -1 when none is
    // taken; Received: the bytes of the frame taken, or of the first frame
    // when none is; FailsAfter: the first piece after which the reply is
    // known bad (the link then gives 12 at once), -1 for none.
    std::vector<uint8_t> ReadHoldingSearch = {0x00, 0x12, 0x06, 0x07, 0x0A, 0x01, 0x12, 0x34, 0x56, 0x78, 0x26};
    ReadHoldingSearch.resize(1 + 0x12, 0x00);
    ReadHoldingSearch.push_back(Checksum(std::span(ReadHoldingSearch).subspan(1)));
    struct {
        const char* Name;
        uint8_t Command;
        std::vector<std::vector<uint8_t>> Pieces;
        int Offset;
        int Received;
        int FailsAfter;
        int Verdict; // CheckReply, when taken
    } const Cases[] = {
        {"whole", 0x12, {{0x03, 0x12, 0x00, 0x15}}, 0, 4, -1, 0},
        {"in three pieces", 0x12, {{0x03}, {0x12, 0x00}, {0x15}}, 0, 4, -1, 0},
        {"surplus dropped", 0x12, {{0x03, 0x12, 0x00, 0x15, 0x03, 0x05}}, 0, 4, -1, 0},
        {"status 5", 0x12, {{0x03, 0x05, 0x00, 0x08}}, 0, 4, -1, 5},
        {"status 0 is success", 0x12, {{0x03, 0x00, 0x00, 0x03}}, 0, 4, -1, 0},
        {"short of its length", 0x12, {{0x07, 0x0A, 0x01}}, -1, 3, -1, 0},
        {"empty pieces ignored", 0x12, {{}, {0x02, 0x12}, {}, {0x14}}, 0, 3, -1, 0},
        {"bad checksum alone", 0x12, {{0x03, 0x12, 0x00, 0x16}}, -1, 4, 0, 0},
        {"no status byte", 0x12, {{0x01, 0x01}}, -1, 2, 0, 0},
        {"length zero", 0x12, {{0x00}}, -1, 1, 0, 0},
        // A stalled reply's tail and the true reply in one chunk.
        {"tail and reply in one piece", 0x12, {{0x01, 0x06, 0x03, 0x12, 0x00, 0x15}}, 2, 4, -1, 0},
        {"a tail alone, then the reply", 0x12, {{0x01, 0x06}, {0x03, 0x12, 0x00, 0x15}}, 2, 4, 0, 0},
        {"bad checksum, then the reply", 0x12, {{0x03, 0x12, 0x00, 0x16, 0x03}, {0x12, 0x00, 0x15}}, 4, 4, 0, 0},
        // A refusal behind a tail is the reader's answer.
        {"tail, then a refusal", 0x12, {{0x01, 0x06, 0x03, 0x05, 0x00, 0x08}}, 2, 4, -1, 5},
        {"refused authentication behind a tail holding a success", 0x05,
            {{0x44, 0x02, 0x05, 0x07, 0x02, 0x0C, 0x0E}}, 4, 3, -1, 0x0C},
        {"a success not at the end is no reply", 0x05, {{0x44, 0x02, 0x05, 0x07, 0x01}}, -1, 5, -1, 0},
        {"a late read reply's data holds a search reply", 0x0A, {ReadHoldingSearch}, -1, 1, 0, 0},
        {"a frame inside one that checked", 0x12, {{0x00, 0x06, 0xFA, 0x00, 0x03, 0x12, 0x00, 0x15}}, -1, 1, 0, 0},
        {"byte 1 zero behind a tail", 0x12, {{0x01, 0x06, 0x03, 0x00, 0x00, 0x03}}, -1, 2, 0, 0},
        {"the command's code with another reply length", 0x06, {{0x01, 0x06, 0x02, 0x06, 0x08}}, -1, 2, 0, 0},
        // The first piece of a true read reply ends in bytes that look like
        // a refusal: the reply is waited for, not searched past.
        {"a reply in two pieces", 0x06,
            {{0x12, 0x06, 0x00, 0x00, 0x02, 0x05, 0x07}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x26}}, 0, 19, -1, 0},
        {"a stale over-long head, then a whole reply", 0x12, {{0x40, 0x11, 0x22}, {0x03, 0x12, 0x00, 0x15}}, 3, 4, -1,
            0},
    };
    for (const auto& C : Cases) {
        TReplyAssembler Reply;
        Reply.Start(C.Command);
        int FailsAfter = -1;
        for (size_t I = 0; I < C.Pieces.size(); ++I) {
            Reply.Feed(C.Pieces[I]);
            if (Reply.Failed() && FailsAfter < 0)
                FailsAfter = int(I);
        }
        EXPECT_EQ(Reply.Complete(), C.Offset >= 0) << C.Name;
        EXPECT_EQ(Reply.Offset(), C.Offset) << C.Name;
        EXPECT_EQ(Reply.Received(), C.Received) << C.Name;
        EXPECT_EQ(FailsAfter, C.FailsAfter) << C.Name;
        if (Reply.Complete()) {
            EXPECT_EQ(CheckReply(Reply.Bytes(), C.Command), C.Verdict) << C.Name;
        }
    }

    // Bounded: after a long burst that never checks, the reply is still
    // found, and Start begins afresh.
    TReplyAssembler Reply;
    Reply.Start(0x12);
    std::vector<uint8_t> Line(3000, 0x01);
    Line[0] = 0xFF;
    for (int b : {0x03, 0x12, 0x00, 0x15})
        Line.push_back(uint8_t(b));
    EXPECT_TRUE(Reply.Feed(Line));
    EXPECT_EQ(Reply.Offset(), 3000);
    EXPECT_EQ(std::vector<uint8_t>(Reply.Bytes().begin(), Reply.Bytes().end()), std::vector<uint8_t>({0x03, 0x12, 0x00, 0x15}));
    Reply.Start(0x12);
    EXPECT_FALSE(Reply.Complete());
    EXPECT_EQ(Reply.Received(), 0);
}

TEST(Frames, DecodersReadOnlyBytesThatArrived)
{
    const std::vector<uint8_t> Search{0x03, 0x02, 0x01, 0x06};
    const std::vector<uint8_t> Serial{0x07, 0x0A, 0x01, 0x12, 0x34, 0x56, 0x78, 0x26};
    const std::vector<uint8_t> Anticoll{0x06, 0x03, 0xDE, 0xAD, 0xBE, 0xEF, 0x00};
    std::vector<uint8_t> Read{0x12, 0x06};
    for (int i = 0; i < 16; ++i)
        Read.push_back(uint8_t(0xA0 + i));
    Read.push_back(0x00);

    EXPECT_EQ(DecodeSearch(Search), std::optional<uint8_t>(1));
    const auto Card = DecodeSearchSerial(Serial);
    ASSERT_TRUE(Card);
    EXPECT_EQ(Card->Type, 1);
    EXPECT_EQ(Card->Serial, (TSerial{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(DecodeAnticollision(Anticoll), (std::optional<TSerial>(TSerial{0xDE, 0xAD, 0xBE, 0xEF})));
    const auto Block = DecodeReadBlock(Read);
    ASSERT_TRUE(Block);
    EXPECT_EQ((*Block)[0], 0xA0);
    EXPECT_EQ((*Block)[15], 0xAF);

    // A reply that announces or carries fewer bytes than the command reads
    // gives nothing: a status-only frame, or one cut short on the line.
    const std::vector<uint8_t> StatusOnly{0x02, 0x0A, 0x0C};
    EXPECT_FALSE(DecodeSearch(StatusOnly));
    EXPECT_FALSE(DecodeSearchSerial(StatusOnly));
    EXPECT_FALSE(DecodeSearchSerial(std::span(Serial).first(7)));
    EXPECT_FALSE(DecodeAnticollision(std::span(Anticoll).first(4)));
    EXPECT_FALSE(DecodeReadBlock(std::span(Read).first(18)));
    std::vector<uint8_t> Announced = Read;
    Announced[0] = 0x11; // claims one data byte less
    EXPECT_FALSE(DecodeReadBlock(Announced));
    EXPECT_FALSE(DecodeSearch({}));
}

TEST(Commands, OneTableOfCommands)
{
    // Every command the program builds is in the table, and each request
    // carries the length byte of its code's row.
    const TKey Key{};
    const std::vector<TRequest> Requests = {BuildSearchCard(0), BuildSearchCardSerial(0), BuildAnticollision(),
        BuildSelectCard(), BuildHaltCard(), BuildAuthenticate(0, 0), BuildReadBlock(1), BuildWriteBlock(1, {}),
        BuildValueOperation(1, 1, 1), BuildDownloadKey(0, 0, Key), BuildLinkTest(), BuildBeep()};
    ASSERT_EQ(CommandTable().size(), Requests.size());
    for (const TRequest& R : Requests) {
        const TCommandInfo* Info = FindCommand(R.Command());
        ASSERT_NE(Info, nullptr) << int(R.Command());
        EXPECT_EQ(Info->Length, R.Length) << Info->Name;
        EXPECT_EQ(R.Frame[0], R.Length) << Info->Name;
    }
    EXPECT_EQ(FindCommand(Cmd::Authenticate)->LengthWithKey, BuildAuthenticate(0, KeySources::TypedA, &Key).Length);
    EXPECT_EQ(FindCommand(0x01), nullptr);
    EXPECT_EQ(FindCommand(0x14), nullptr);
}

} // namespace
