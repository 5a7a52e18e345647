// The simulated card and reader, request frame in, reply frame out: access
// conditions against the card's two tables, value blocks, radio states,
// authentication and the reader's key store; and the console's blank cards.
#include "protocol/AccessConditions.h"
#include "sim/ReaderEngine.h"
#include "sim/SimProgram.h"
#include "sim/SimServer.h"
#include "support/AccessTables.h"
#include "support/PtyPeer.h"

#include <gtest/gtest.h>

#include <string>

using namespace sim;

namespace {

// A request frame: length byte, the given bytes, checksum.
std::vector<uint8_t> Req(std::vector<uint8_t> Body) { return Framed(std::move(Body)); }

// Byte 1 of the reply, after checking the reply is a well-formed frame.
uint8_t StatusOf(const std::vector<uint8_t>& Reply)
{
    EXPECT_GE(Reply.size(), 3u);
    EXPECT_EQ(Reply.size(), size_t(Reply[0]) + 1);
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < Reply.size(); ++i)
        sum = uint8_t(sum + Reply[i]);
    EXPECT_EQ(sum, Reply.back());
    return Reply.size() > 1 ? Reply[1] : 0xEE;
}

const TKey KeyA = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
const TKey KeyB = {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5};

struct TReaderProbe {
    TReaderEngine Engine;

    std::vector<uint8_t> Send(std::vector<uint8_t> Body) { return Engine.Handle(Req(std::move(Body))); }
    uint8_t Status(std::vector<uint8_t> Body) { return StatusOf(Send(std::move(Body))); }

    uint8_t Search(uint8_t Mode = 0) { return Status({0x0A, Mode}); }
    // Typed key: source 2 (A) or 3 (B).
    uint8_t Auth(int Sector, int KeyType, const TKey& K)
    {
        std::vector<uint8_t> b = {0x05, uint8_t(Sector), uint8_t(2 + KeyType)};
        b.insert(b.end(), K.begin(), K.end());
        return Status(b);
    }
    uint8_t SearchAndAuth(int Sector, int KeyType, const TKey& K)
    {
        const uint8_t st = Search(1);
        return st != 0x0A ? st : Auth(Sector, KeyType, K);
    }
    uint8_t Read(int Block, TBlockData* Out = nullptr)
    {
        const auto reply = Send({0x06, uint8_t(Block)});
        if (Out && reply.size() == 19)
            std::copy(reply.begin() + 2, reply.begin() + 18, Out->begin());
        return StatusOf(reply);
    }
    uint8_t Write(int Block, const TBlockData& D)
    {
        std::vector<uint8_t> b = {0x07, uint8_t(Block)};
        b.insert(b.end(), D.begin(), D.end());
        return Status(b);
    }
    uint8_t Value(int Op, int Block, uint32_t Amount, int Target = -1)
    {
        return Status({0x08, uint8_t(Op), uint8_t(Block), uint8_t(Target < 0 ? Block : Target),
            uint8_t(Amount >> 24), uint8_t(Amount >> 16), uint8_t(Amount >> 8), uint8_t(Amount)});
    }
    // Sector trailer with our own keys and the given conditions (raw).
    void SetTrailer(int Sector, std::array<uint8_t, 4> Cond, uint8_t Byte9 = 0x69)
    {
        const auto ab = EncodeAccess(Cond);
        TBlockData t{};
        std::copy(KeyA.begin(), KeyA.end(), t.begin());
        t[6] = ab[0], t[7] = ab[1], t[8] = ab[2], t[9] = Byte9;
        std::copy(KeyB.begin(), KeyB.end(), t.begin() + 10);
        Engine.Card.SetRaw(4 * Sector + 3, t);
    }
};

TBlockData Filled(uint8_t V)
{
    TBlockData b;
    b.fill(V);
    return b;
}

} // namespace

// The data-block table: C1C2C3 -> read, write, increment,
// decrement/transfer/restore, each for key A and key B ("AB", "B", "-").
TEST(SimCard, DataBlockAccessFollowsAllEightRows)
{
    auto allowed = [](const char* Who, int KeyType) {
        return std::string(Who).find(KeyType == 0 ? 'A' : 'B') != std::string::npos;
    };
    for (const TDataSheetDataRow& row : DataSheetDataRows) {
        for (int key = 0; key < 2; ++key) {
            SCOPED_TRACE("cond " + std::to_string(row.Cond) + " key " + "AB"[key]);
            TReaderProbe r;
            // Trailer 011: key B is not readable, so it authenticates.
            r.SetTrailer(2, {row.Cond, row.Cond, 0, 0b011});
            const TBlockData value = MakeValueBlock(100, 0x08);
            r.Engine.Card.SetRaw(8, value);
            r.Engine.Card.SetRaw(9, value);
            ASSERT_EQ(r.SearchAndAuth(2, key, key ? KeyB : KeyA), 0x05);

            TBlockData got{};
            const uint8_t read = r.Read(8, &got);
            EXPECT_EQ(read == 0x06, allowed(row.Read, key));
            if (read == 0x06)
                EXPECT_EQ(got, value);
            else
                EXPECT_EQ(read, StatusAccessDenied);

            const uint8_t inc = r.Value(1, 8, 5);
            EXPECT_EQ(inc == 0x08, allowed(row.Inc, key));
            EXPECT_EQ(DecodeValueBlock(r.Engine.Card.Raw(8))->Value, inc == 0x08 ? 105 : 100);

            const uint8_t dec = r.Value(0, 9, 7);
            EXPECT_EQ(dec == 0x08, allowed(row.Dec, key));
            EXPECT_EQ(DecodeValueBlock(r.Engine.Card.Raw(9))->Value, dec == 0x08 ? 93 : 100);

            const uint8_t write = r.Write(8, Filled(0x5A));
            EXPECT_EQ(write == 0x07, allowed(row.Write, key));
            EXPECT_EQ(r.Engine.Card.Raw(8) == Filled(0x5A), write == 0x07);
        }
    }
}

// The trailer table: C1C2C3 -> key A write, access bits read, access bits
// write, key B read, key B write ("A", "B", "AB", "-"); key A never reads.
TEST(SimCard, TrailerAccessFollowsAllEightRows)
{
    auto allowed = [](const char* Who, int KeyType) {
        return std::string(Who).find(KeyType == 0 ? 'A' : 'B') != std::string::npos;
    };
    for (const TDataSheetTrailerRow& row : DataSheetTrailerRows) {
        const bool keyBReadable = std::string(row.KeyBRead) != "-";
        for (int key = 0; key < 2; ++key) {
            SCOPED_TRACE("cond " + std::to_string(row.Cond) + " key " + "AB"[key]);
            TReaderProbe r;
            r.SetTrailer(3, {0, 0, 0, row.Cond});
            const TBlockData before = r.Engine.Card.Raw(15);
            const uint8_t auth = r.SearchAndAuth(3, key, key ? KeyB : KeyA);
            if (key == 1 && keyBReadable) {
                // Where key B can be read it is data, not a key.
                EXPECT_EQ(auth, StatusAuthFailed);
                continue;
            }
            ASSERT_EQ(auth, 0x05);

            TBlockData got{};
            ASSERT_EQ(r.Read(15, &got), 0x06);
            for (int i = 0; i < 6; ++i)
                EXPECT_EQ(got[i], 0) << "key A must read as zeros";
            for (int i = 6; i < 10; ++i)
                EXPECT_EQ(got[i], allowed(row.AccessRead, key) ? before[i] : 0) << i;
            for (int i = 10; i < 16; ++i)
                EXPECT_EQ(got[i], allowed(row.KeyBRead, key) ? before[i] : 0) << i;

            // New keys and the same conditions with another byte 9: each part
            // changes only where the table lets this key write it.
            TBlockData next = before;
            next.fill(0x11);
            const auto ab = EncodeAccess({0, 0, 0, row.Cond});
            next[6] = ab[0], next[7] = ab[1], next[8] = ab[2], next[9] = 0x42;
            const bool any = allowed(row.KeyAWrite, key) || allowed(row.AccessWrite, key)
                || allowed(row.KeyBWrite, key);
            EXPECT_EQ(r.Write(15, next), any ? 0x07 : StatusAccessDenied);
            const TBlockData after = r.Engine.Card.Raw(15);
            EXPECT_EQ(after[0] == 0x11, allowed(row.KeyAWrite, key));
            EXPECT_EQ(after[9] == 0x42, allowed(row.AccessWrite, key));
            EXPECT_EQ(after[10] == 0x11, allowed(row.KeyBWrite, key));
        }
    }
}

TEST(SimCard, BlockZeroAndInconsistentTrailerLockOut)
{
    TReaderProbe r;
    // Block 0 is read-only even in the transport configuration.
    ASSERT_EQ(r.SearchAndAuth(0, 0, TKey{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 0x05);
    const TBlockData block0 = r.Engine.Card.Raw(0);
    EXPECT_EQ(r.Write(0, Filled(0)), StatusAccessDenied);
    EXPECT_EQ(r.Engine.Card.Raw(0), block0);
    EXPECT_EQ(Hex({block0.begin(), block0.begin() + 5}), "12 34 56 78 08");
    EXPECT_EQ(r.Write(1, Filled(1)), 0x07);

    // A trailer whose inverted copies do not match locks the sector for good.
    TBlockData bad = r.Engine.Card.Raw(3);
    bad[6] = 0xFE; // one bit of ~C1 wrong
    EXPECT_EQ(r.Write(3, bad), 0x07);
    EXPECT_EQ(r.Read(1), StatusAccessDenied);
    EXPECT_EQ(r.Write(1, Filled(2)), StatusAccessDenied);
    for (int key = 0; key < 2; ++key)
        EXPECT_EQ(r.SearchAndAuth(0, key, TKey{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), StatusAuthFailed);
    EXPECT_EQ(r.Engine.Card.Raw(1), Filled(1));
    // Other sectors are untouched.
    EXPECT_EQ(r.SearchAndAuth(1, 0, TKey{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 0x05);
}

TEST(SimCard, ValueBlocksIncrementDecrementAndRefuse)
{
    TReaderProbe r;
    const TKey ff = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    r.Engine.Card.SetRaw(5, MakeValueBlock(1000, 5));
    ASSERT_EQ(r.SearchAndAuth(1, 0, ff), 0x05);
    EXPECT_EQ(Hex(r.Send({0x08, 0x01, 5, 5, 0x00, 0x00, 0x01, 0x02})), "02 08 0A"); // +258
    // Least significant byte first, inverted copy, copy, address bytes.
    EXPECT_EQ(Hex({r.Engine.Card.Raw(5).begin(), r.Engine.Card.Raw(5).end()}),
        "EA 04 00 00 15 FB FF FF EA 04 00 00 05 FA 05 FA");
    EXPECT_EQ(r.Value(0, 5, 2000), 0x08);
    EXPECT_EQ(DecodeValueBlock(r.Engine.Card.Raw(5))->Value, -742);
    // Wraps as 32-bit two's complement.
    r.Engine.Card.SetRaw(5, MakeValueBlock(INT32_MAX, 5));
    EXPECT_EQ(r.Value(1, 5, 1), 0x08);
    EXPECT_EQ(DecodeValueBlock(r.Engine.Card.Raw(5))->Value, INT32_MIN);
    EXPECT_EQ(r.Value(0, 5, 0xFFFFFFFF), 0x08); // minus -1
    EXPECT_EQ(DecodeValueBlock(r.Engine.Card.Raw(5))->Value, INT32_MIN + 1);
    // Transfer to another block of the sector, address byte kept.
    EXPECT_EQ(r.Value(1, 5, 9, 6), 0x08);
    EXPECT_EQ(r.Engine.Card.Raw(6), MakeValueBlock(INT32_MIN + 10, 5));
    EXPECT_EQ(r.Value(1, 5, 9, 7), StatusAccessDenied); // never into the trailer
    EXPECT_EQ(r.Value(1, 5, 9, 9), StatusNotAuth);      // nor out of the sector

    // Malformed value blocks are refused and left alone.
    const TBlockData valid = MakeValueBlock(7, 4);
    for (int i : {0, 5, 9, 12, 13, 15}) {
        TBlockData broken = valid;
        broken[i] ^= 0x01;
        r.Engine.Card.SetRaw(4, broken);
        EXPECT_EQ(r.Value(1, 4, 1), StatusNotValue) << i;
        EXPECT_EQ(r.Engine.Card.Raw(4), broken);
    }
    EXPECT_EQ(r.Value(2, 5, 1), StatusBadRequest); // operation is 0 or 1
    // Not authenticated for the block's sector.
    EXPECT_EQ(r.Value(1, 8, 1), StatusNotAuth);
}

TEST(SimCard, IdleHaltAndWakeUp)
{
    TReaderProbe r;
    EXPECT_EQ(Hex(r.Send({0x02, 0x00})), "03 02 01 06");
    EXPECT_EQ(Hex(r.Send({0x03})), "06 03 12 34 56 78 1D");
    EXPECT_EQ(Hex(r.Send({0x04})), "02 04 06");
    EXPECT_EQ(Hex(r.Send({0x09})), "02 09 0B");
    // Halted: the idle search finds nothing, the wake-up search finds it.
    EXPECT_EQ(r.Status({0x02, 0x00}), StatusNoCard);
    EXPECT_EQ(r.Search(0), StatusNoCard);
    EXPECT_EQ(r.Status({0x04}), StatusNoCard);
    EXPECT_EQ(r.Status({0x09}), StatusNoCard);
    EXPECT_EQ(Hex(r.Send({0x0A, 0x01})), "07 0A 01 12 34 56 78 26");
    EXPECT_EQ(r.Status({0x09}), 0x09);
    EXPECT_EQ(r.Status({0x02, 0x01}), 0x02);
    // Out of the field nothing answers; back in, it powers up idle.
    r.Engine.Card.Remove();
    EXPECT_EQ(r.Search(1), StatusNoCard);
    EXPECT_EQ(r.Status({0x03}), StatusNoCard);
    r.Engine.Card.Insert();
    EXPECT_EQ(r.Search(0), 0x0A);
    // Select and anticollision need a search first.
    TReaderProbe fresh;
    EXPECT_EQ(fresh.Status({0x04}), StatusNoCard);
    EXPECT_EQ(fresh.Status({0x03}), StatusNoCard);
    EXPECT_EQ(fresh.Auth(1, 0, TKey{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), StatusNoCard);
}

TEST(SimCard, AuthenticationIsLostOnHaltSearchAndFailure)
{
    const TKey ff = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    TReaderProbe r;
    ASSERT_EQ(r.SearchAndAuth(2, 0, ff), 0x05);
    EXPECT_EQ(r.Read(8), 0x06);
    EXPECT_EQ(r.Read(4), StatusNotAuth); // another sector
    EXPECT_EQ(r.Status({0x09}), 0x09);
    EXPECT_EQ(r.Read(8), StatusNoCard);

    ASSERT_EQ(r.SearchAndAuth(2, 0, ff), 0x05);
    EXPECT_EQ(r.Search(0), 0x0A);
    EXPECT_EQ(r.Read(8), StatusNotAuth);

    ASSERT_EQ(r.SearchAndAuth(2, 0, ff), 0x05);
    EXPECT_EQ(r.Auth(2, 1, KeyA), StatusAuthFailed);
    EXPECT_EQ(r.Read(8), StatusNoCard); // a failed authentication drops the card to idle
    EXPECT_EQ(r.Search(0), 0x0A);       // and an idle search finds it again
    EXPECT_EQ(r.Read(8), StatusNotAuth);

    ASSERT_EQ(r.SearchAndAuth(2, 0, ff), 0x05);
    r.Engine.Card.Remove();
    r.Engine.Card.Insert();
    EXPECT_EQ(r.Read(8), StatusNoCard);
}

TEST(SimCard, KeyStoreAndKeySources)
{
    TReaderProbe r;
    r.SetTrailer(5, {0, 0, 0, 0b011});
    ASSERT_EQ(r.Search(0), 0x0A);
    // Factory keys in the store do not open sector 5.
    EXPECT_EQ(Hex(r.Send({0x05, 5, 0x00})), "02 84 86");
    // Download: byte 2 key type, byte 3 sector, then the key.
    std::vector<uint8_t> down = {0x0B, 0x01, 0x05};
    down.insert(down.end(), KeyB.begin(), KeyB.end());
    EXPECT_EQ(Hex(r.Send(down)), "02 0B 0D");
    EXPECT_EQ(r.Engine.StoredKeys[1][5], KeyB);
    EXPECT_EQ(r.Engine.StoredKeys[0][5], (TKey{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    ASSERT_EQ(r.Search(0), 0x0A);
    EXPECT_EQ(Hex(r.Send({0x05, 5, 0x01})), "02 05 07");
    EXPECT_EQ(r.Status({0x05, 5, 0x00}), StatusAuthFailed);
    ASSERT_EQ(r.Search(0), 0x0A);
    EXPECT_EQ(r.Auth(5, 0, KeyA), 0x05);
    EXPECT_EQ(r.Auth(5, 1, KeyB), 0x05);
    // The typed key, not the stored one, is used for sources 2 and 3.
    EXPECT_EQ(r.Auth(5, 1, KeyA), StatusAuthFailed);

    ASSERT_EQ(r.Search(0), 0x0A);
    // Anything else is refused, and the length must fit the source.
    EXPECT_EQ(r.Status({0x05, 5, 0xFF}), StatusBadRequest);
    EXPECT_EQ(r.Status({0x05, 5, 0x04}), StatusBadRequest);
    EXPECT_EQ(r.Status({0x05, 5, 0x02}), StatusBadRequest);
    EXPECT_EQ(r.Status({0x05, 5, 0x01, 1, 2, 3, 4, 5, 6}), StatusBadRequest);
    EXPECT_EQ(r.Status({0x05, 16, 0x01}), StatusBadRequest);
    EXPECT_EQ(r.Status({0x0B, 0x02, 0x05, 1, 2, 3, 4, 5, 6}), StatusBadRequest);
    EXPECT_EQ(r.Status({0x0B, 0x00, 0x10, 1, 2, 3, 4, 5, 6}), StatusBadRequest);
    // The store keeps what it had through the refusals.
    EXPECT_EQ(r.Engine.StoredKeys[1][5], KeyB);
    EXPECT_EQ(r.Auth(5, 0, KeyA), 0x05);
}

TEST(SimCard, LengthsAndOtherCommands)
{
    TReaderProbe r;
    EXPECT_EQ(Hex(r.Send({0x12, 0x00})), "03 12 00 15");
    EXPECT_EQ(Hex(r.Send({0x13})), "02 13 15");
    EXPECT_EQ(r.Engine.Beeps, 1);
    EXPECT_EQ(r.Status({0x13, 0x00}), StatusBadRequest);
    EXPECT_EQ(r.Engine.Beeps, 1);
    EXPECT_EQ(r.Status({0x01}), StatusUnknown);
    EXPECT_EQ(r.Status({0x14, 0x00}), StatusUnknown);
    EXPECT_EQ(r.Status({0x0A}), StatusBadRequest);
    EXPECT_EQ(r.Status({0x0A, 0x02}), StatusBadRequest); // search mode 0 or 1
    EXPECT_EQ(r.Status({0x06, 0x08, 0x00}), StatusBadRequest);
    ASSERT_EQ(r.SearchAndAuth(15, 0, TKey{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 0x05);
    EXPECT_EQ(r.Read(64), StatusBadRequest);
    TBlockData got{};
    EXPECT_EQ(r.Read(63, &got), 0x06);
    EXPECT_EQ(Hex({got.begin(), got.end()}), "00 00 00 00 00 00 FF 07 80 69 FF FF FF FF FF FF");
    // A command carried out answers with its command table's reply length,
    // which the link relies on behind a late reply's tail.
    TReaderProbe done;
    const std::vector<uint8_t> Zeros(16, 0x00);
    std::vector<uint8_t> Write = {0x07, 0x04};
    Write.insert(Write.end(), Zeros.begin(), Zeros.end());
    for (const auto& body : std::vector<std::vector<uint8_t>>{{0x02, 0x01}, {0x03}, {0x04}, {0x0A, 0x01},
             {0x05, 0x01, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0x06, 0x04}, Write,
             {0x0B, 0x00, 0x01, 1, 2, 3, 4, 5, 6}, {0x12, 0x00}, {0x13}, {0x09}}) {
        const auto reply = done.Send(body);
        ASSERT_GE(reply.size(), 2u);
        EXPECT_EQ(reply[1], body[0]) << Hex(reply);
        EXPECT_EQ(reply[0], FindCommand(body[0])->ReplyLength) << Hex(reply);
    }
    // Status codes are never 0 and never the code of the request.
    for (const auto& body : std::vector<std::vector<uint8_t>>{{0x03}, {0x04}, {0x09}, {0x06, 0x01}, {0x08, 1, 4, 4, 0, 0, 0, 1}}) {
        TReaderProbe idle;
        idle.Engine.Card.Remove();
        const uint8_t st = idle.Status(body);
        EXPECT_NE(st, 0);
        EXPECT_NE(st, body[0]);
    }
}

TEST(SimCard, TheConsoleAnswersEachCommand)
{
    TSimServer server;
    const struct {
        std::string Line;
        std::string Answer;
        bool Quit, Quiet;
    } rows[] = {
        {"", "", false, false},
        {"help", "remove, insert, blank [HEX], halt, dump, serial [HEX], beeps, save FILE,\n"
                 "load FILE, fault CC:KIND[=ARG][*COUNT], nofaults, quiet, verbose, quit",
            false, false},
        {"quiet", "frames not shown", false, true},
        {"verbose", "frames shown", false, false},
        {"remove", "card removed from the field", false, false},
        {"serial", "serial 12 34 56 78 (out of the field)", false, false},
        {" insert ", "card in the field", false, false},
        {"halt", "card halted", false, false},
        {"beeps", "beeps 0", false, false},
        {"save", "save wants a file name", false, false},
        {"load", "load wants a file name", false, false},
        {"fault 06:late", "bad fault \"06:late\" (want CC:KIND[=ARG][*COUNT], see --help)", false, false},
        {"fault 06:noreply*2", "fault set", false, false},
        {"nofaults", "faults cleared", false, false},
        {"Remove", "unknown command \"Remove\" (try help)", false, false},
        {"exit", "", true, false},
        {"quit", "", true, false},
    };
    for (const auto& row : rows) {
        bool quit = false;
        bool quiet = row.Line == "verbose"; // so that verbose is seen to turn it off
        EXPECT_EQ(RunConsoleCommand(server, row.Line, quit, quiet), row.Answer) << row.Line;
        EXPECT_EQ(quit, row.Quit) << row.Line;
        EXPECT_EQ(quiet, row.Quiet) << row.Line;
    }
}

TEST(SimCard, TheConsolePutsABlankCardInTheField)
{
    TSimServer server;
    server.SetBlock(4, Filled(0xAB));
    server.SetBlock(7, Filled(0x11));
    server.RemoveCard();
    bool quit = false;
    bool quiet = false;
    EXPECT_EQ(RunConsoleCommand(server, "blank 0badcafe", quit, quiet), "blank card 0B AD CA FE in the field");
    EXPECT_TRUE(server.CardPresent());
    EXPECT_EQ(server.Serial(), (TSerial{0x0B, 0xAD, 0xCA, 0xFE}));
    // The serial number, its BCC, then what the default card has.
    const auto block0 = server.Block(0);
    EXPECT_EQ(Hex({block0.begin(), block0.end()}), "0B AD CA FE 92 08 04 00 4F 52 56 53 49 4D 30 31");
    for (int b = 1; b < TMifareCard::Blocks; ++b) {
        const auto block = server.Block(b);
        EXPECT_EQ(Hex({block.begin(), block.end()}),
            IsTrailer(b) ? "FF FF FF FF FF FF FF 07 80 69 FF FF FF FF FF FF" : "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00")
            << "block " << b;
    }

    // Without a serial number, a random one, never the previous card's.
    std::vector<std::string> answers;
    for (int card = 0; card < 2; ++card) {
        const TSerial before = server.Serial();
        answers.push_back(RunConsoleCommand(server, "blank", quit, quiet));
        const TSerial serial = server.Serial();
        EXPECT_NE(serial, before);
        EXPECT_EQ(answers.back(), "blank card " + HexOf(serial.data(), serial.size()) + " in the field");
    }
    EXPECT_NE(answers[0], answers[1]);

    // A bad serial number changes nothing.
    const TSerial kept = server.Serial();
    for (const char* line : {"blank 1234", "blank 0BADCAFE00", "blank 0BADCAFG"})
        EXPECT_EQ(RunConsoleCommand(server, line, quit, quiet), "blank wants 8 hex digits, or none for a random serial") << line;
    EXPECT_EQ(server.Serial(), kept);
    EXPECT_FALSE(quit);
}
