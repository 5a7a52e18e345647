// Block reads, writes, value-block initialisation and value operations on the
// "Sector" and "Block" pages, end to end: the real window drives the reader
// simulator over a pseudo-terminal.
#include "support/FormFixture.h"
#include "support/PtyPeer.h"

#include "app/MainForm.h"
#include "sim/SimServer.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace {

using Frame = std::vector<uint8_t>;
using Block16 = std::array<uint8_t, 16>;

std::string HexOf(const Block16& B) { return Hex(Frame(B.begin(), B.end())); }
// As the window shows a block: no separators.
QString Flat(const Block16& B) { return QString::fromStdString(HexOf(B)).remove(' '); }

Block16 Counting(uint8_t First)
{
    Block16 B{};
    for (size_t i = 0; i < B.size(); ++i)
        B[i] = uint8_t(First + i);
    return B;
}

class BlockOps : public TWindowTest {
protected:
    void SetUp() override
    {
        TWindowTest::SetUp();
        // Stored key A: the reader's factory keys open the card's transport trailers.
        F->ChooseKeySource(Ctl<QComboBox>(*F->Form, "CmbKeyTypeRW"), 0);
        F->ChooseKeySource(Ctl<QComboBox>(*F->Form, "CmbKeyTypeBlock"), 0);
    }
    void SectorPage(int Sector) { SectorRadio(Form(), size_t(Sector))->click(); }
    void BlockPage(int Sector) { BlockRadio(Form(), size_t(Sector))->click(); }
    std::vector<std::string> Sent()
    {
        std::vector<std::string> Out;
        for (const Frame& Request : Sim().RequestsWithoutBeeps())
            Out.push_back(Hex(Request));
        return Out;
    }
    std::vector<std::string> CardChain(int Sector, const std::string& Last)
    {
        return {"03 0A 00 0D", Hex(WithSum({0x04, 0x05, uint8_t(Sector), 0x00})), Last};
    }
};

// ------------------------------------------------------------------ reading

TEST_F(BlockOps, ReadShowsTheBlockAsUpperCaseHexAndBeeps)
{
    Sim().SetBlock(62, Block16{{0x0A, 0xFF, 0xab, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x10, 0xC0, 0xDE}});
    SectorPage(15);
    const int Beeps = Sim().BeepCount();
    Click(Ctl<QPushButton>(Form(), "Button5"));

    EXPECT_EQ(Sent(), CardChain(15, "03 06 3E 47"));
    EXPECT_EQ(Ctl<QLineEdit>(Form(), "EdtHex2")->text(), "0AFFAB0001020304050607080910C0DE");
    EXPECT_EQ(LastLog(), "Read block62 success!");
    EXPECT_EQ(Sim().BeepCount(), Beeps + 1);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(BlockOps, EachReadButtonReadsItsOwnRowOnItsOwnPage)
{
    for (int b = 20; b < 23; ++b)
        Sim().SetBlock(b, Counting(uint8_t(b * 16)));
    for (int b = 36; b < 39; ++b)
        Sim().SetBlock(b, Counting(uint8_t(b * 16)));
    SectorPage(5);
    BlockPage(9);
    const std::pair<QPushButton*, QLineEdit*> SectorRows[] = {
        {Ctl<QPushButton>(Form(), "Button1"), Ctl<QLineEdit>(Form(), "EdtHex0")}, {Ctl<QPushButton>(Form(), "Button7"), Ctl<QLineEdit>(Form(), "EdtHex1")},
        {Ctl<QPushButton>(Form(), "Button5"), Ctl<QLineEdit>(Form(), "EdtHex2")}, {Ctl<QPushButton>(Form(), "Button3"), Ctl<QLineEdit>(Form(), "EdtHex3")}};
    const std::pair<QPushButton*, QLineEdit*> BlockRows[] = {
        {Ctl<QPushButton>(Form(), "Button18"), Ctl<QLineEdit>(Form(), "EdtBlock0")}, {Ctl<QPushButton>(Form(), "Button24"), Ctl<QLineEdit>(Form(), "EdtBlock1")},
        {Ctl<QPushButton>(Form(), "Button22"), Ctl<QLineEdit>(Form(), "EdtBlock2")}, {Ctl<QPushButton>(Form(), "Button20"), Ctl<QLineEdit>(Form(), "EdtBlock3")}};
    for (int Row = 0; Row < 4; ++Row) {
        SCOPED_TRACE(Row);
        Sim().ClearRequests();
        Click(SectorRows[Row].first);
        EXPECT_EQ(Sent(), CardChain(5, Hex(WithSum({0x03, 0x06, uint8_t(20 + Row)}))));
        Sim().ClearRequests();
        Click(BlockRows[Row].first);
        EXPECT_EQ(Sent(), CardChain(9, Hex(WithSum({0x03, 0x06, uint8_t(36 + Row)}))));
    }
    for (int Row = 0; Row < 3; ++Row) {
        EXPECT_EQ(Form().findChild<QLineEdit*>(QString("EdtHex%1").arg(Row))->text(), Flat(Sim().Block(20 + Row)));
        EXPECT_EQ(Form().findChild<QLineEdit*>(QString("EdtBlock%1").arg(Row))->text(), Flat(Sim().Block(36 + Row)));
    }
    // The trailer row reads too; key A reads back as zeros from a card.
    EXPECT_EQ(Ctl<QLineEdit>(Form(), "EdtHex3")->text(), "000000000000FF078069FFFFFFFFFFFF");
    EXPECT_EQ(Ctl<QLineEdit>(Form(), "EdtBlock3")->text(), "000000000000FF078069FFFFFFFFFFFF");
}

TEST_F(BlockOps, FailedReadEmptiesTheEditAndDoesNotBeep)
{
    Ctl<QLineEdit>(Form(), "EdtHex0")->setText("11111111111111111111111111111111");
    Sim().InjectFault(0x06, sim::TFault{sim::TFaultKind::ErrorStatus});
    const int Beeps = Sim().BeepCount();
    Click(Ctl<QPushButton>(Form(), "Button1"));

    EXPECT_EQ(Sent(), CardChain(0, "03 06 00 09"));
    EXPECT_EQ(LastLog(), "read block fail!");
    EXPECT_EQ(Ctl<QLineEdit>(Form(), "EdtHex0")->text(), "");
    EXPECT_EQ(Sim().BeepCount(), Beeps);
}

TEST_F(BlockOps, RefusedAuthenticationKeepsTheEditAndReadsNothing)
{
    Ctl<QLineEdit>(Form(), "EdtBlock1")->setText("22222222222222222222222222222222");
    Ctl<QComboBox>(Form(), "CmbKeyTypeBlock")->setCurrentIndex(2);
    Ctl<QLineEdit>(Form(), "EdtInKeyBlock")->setText("A0A1A2A3A4A5"); // not the card's key
    const int Beeps = Sim().BeepCount();
    Click(Ctl<QPushButton>(Form(), "Button24"));

    ASSERT_EQ(Sent().size(), 2u);
    EXPECT_EQ(Sent()[1], Hex(WithSum({0x0A, 0x05, 0x00, 0x02, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5})));
    EXPECT_EQ(LastLog(), "Verify sector password fail!");
    EXPECT_EQ(Ctl<QLineEdit>(Form(), "EdtBlock1")->text(), "22222222222222222222222222222222");
    EXPECT_EQ(Sim().BeepCount(), Beeps);
}

// A reader whose read reply is a whole, well-checksummed frame that carries
// too few data bytes: whatever the buffer held beyond it is no block data.
TEST(BlockReplyLength, ShortReadFrameIsAFailedRead)
{
    PtyPeer Peer;
    std::atomic<bool> Stop{false};
    std::vector<uint8_t> ReadReply = WithSum({0x04, 0x06, 0xAA, 0xBB});
    std::mutex ReplyLock;
    std::thread Reader([&] {
        while (!Stop) {
            const std::vector<uint8_t> Head = Peer.Read(1, std::chrono::milliseconds(50));
            if (Head.empty())
                continue;
            const std::vector<uint8_t> Rest = Peer.Read(Head[0], std::chrono::seconds(5));
            if (Rest.size() < 1)
                continue;
            std::vector<uint8_t> Reply;
            switch (Rest[0]) {
            case 0x12: Reply = Bytes({0x03, 0x12, 0x00, 0x15}); break;
            case 0x0A: Reply = Bytes({0x07, 0x0A, 0x01, 0x12, 0x34, 0x56, 0x78, 0x26}); break;
            case 0x06: {
                std::lock_guard<std::mutex> Hold(ReplyLock);
                Reply = ReadReply;
                break;
            }
            default: Reply = WithSum({0x02, Rest[0]}); break;
            }
            try {
                Peer.Write(Reply);
            } catch (const std::exception&) {
                return; // the program let go of the line
            }
        }
    });
    // Stops the reader thread on every way out, a failed assertion included.
    struct TJoin {
        std::atomic<bool>& Stop;
        std::thread& Thread;
        ~TJoin()
        {
            Stop = true;
            Thread.join();
        }
    } Join{Stop, Reader};
    {
        TFormFixture F(TFormOptions{3000, true, Peer.SlavePath()});
        ASSERT_EQ(F.LinkPanel(), "Linked");
        F.ChooseKeySource(Ctl<QComboBox>(*F.Form, "CmbKeyTypeRW"), 0);

        // A full reply first: the buffer then holds sixteen real bytes.
        {
            std::lock_guard<std::mutex> Hold(ReplyLock);
            ReadReply = WithSum({0x12, 0x06, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
        }
        F.Click(Ctl<QPushButton>(*F.Form, "Button1"));
        EXPECT_EQ(Ctl<QLineEdit>(*F.Form, "EdtHex0")->text(), "0102030405060708090A0B0C0D0E0F10");
        EXPECT_EQ(F.LastLog(), "Read block0 success!");

        {
            std::lock_guard<std::mutex> Hold(ReplyLock);
            ReadReply = WithSum({0x04, 0x06, 0xAA, 0xBB});
        }
        F.Click(Ctl<QPushButton>(*F.Form, "Button1"));
        EXPECT_EQ(F.LastLog(), "read block fail!");
        EXPECT_EQ(Ctl<QLineEdit>(*F.Form, "EdtHex0")->text(), "");
    }
}

// ------------------------------------------------------------------ writing

TEST_F(BlockOps, WriteSendsTheEditAndTheCardHoldsIt)
{
    Sim().SetBlock(1, Counting(0x40));
    Ctl<QLineEdit>(Form(), "EdtHex1")->setText(QString(32, '0'));
    const int Beeps = Sim().BeepCount();
    Click(Ctl<QPushButton>(Form(), "Button6"));

    EXPECT_EQ(Sent(), CardChain(0, "13 07 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 1B"));
    EXPECT_EQ(LastLog(), "Wrote block1 success!");
    EXPECT_EQ(Sim().Block(1), Block16{});
    EXPECT_EQ(Sim().BeepCount(), Beeps + 1);

    // Lower case gives the same bytes as upper case; read back through the reader.
    SectorPage(3);
    Ctl<QLineEdit>(Form(), "EdtHex2")->setText("0a1b2c3d4e5f6a7b8c9dAEBFC0D1E2F3");
    Click(Ctl<QPushButton>(Form(), "Button4"));
    EXPECT_EQ(LastLog(), "Wrote block14 success!");
    EXPECT_EQ(HexOf(Sim().Block(14)), "0A 1B 2C 3D 4E 5F 6A 7B 8C 9D AE BF C0 D1 E2 F3");
    Click(Ctl<QPushButton>(Form(), "Button5"));
    EXPECT_EQ(Ctl<QLineEdit>(Form(), "EdtHex2")->text(), "0A1B2C3D4E5F6A7B8C9DAEBFC0D1E2F3");
    Ctl<QLineEdit>(Form(), "EdtHex0")->setText(QString(32, 'F'));
    Click(Ctl<QPushButton>(Form(), "BtnWriteBlock0"));
    EXPECT_EQ(Flat(Sim().Block(12)), QString(32, 'F'));
}

TEST_F(BlockOps, BadWriteTextIsRefusedAfterSearchAndVerifyWithNothingWritten)
{
    struct Case {
        QString Text;
        const char* Box;
    };
    const Case Cases[] = {
        {QString(31, 'A'), "pls. input complete data!"},
        {"0000000000000000 000000000000000", "Pls. input correct data!"}, // blank inside
        {" 0000000000000000000000000000000", "Pls. input correct data!"}, // not trimmed
        {"0000000000000000000000000000000 ", "Pls. input correct data!"},
        {"000000000000000000000000000000G0", "Pls. input correct data!"},
        {"", "pls. input complete data!"},
    };
    Sim().SetBlock(2, Counting(0x70));
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Text.toStdString());
        Sim().ClearRequests();
        ClearBoxes();
        ClearLog();
        const int Beeps = Sim().BeepCount();
        Ctl<QLineEdit>(Form(), "EdtHex2")->setText(C.Text);
        Click(Ctl<QPushButton>(Form(), "Button4"));

        EXPECT_EQ(Sent().size(), 2u) << "search and authentication only";
        ASSERT_EQ(Boxes().size(), 1u);
        EXPECT_EQ(Boxes()[0].Text, C.Box);
        EXPECT_EQ(Boxes()[0].Caption, "Message");
        EXPECT_EQ(Boxes()[0].Flags, 64);
        // Their log lines come first, the failure line behind the box.
        EXPECT_EQ(LogLines(), (QStringList{"Search card successful!", "Verify sector0 password success!", "Wrote block fail!"}));
        EXPECT_EQ(LogLinesAtBox(), std::vector<int>{2});
        EXPECT_EQ(Sim().Block(2), Counting(0x70));
        EXPECT_EQ(Sim().BeepCount(), Beeps);
    }
}

TEST_F(BlockOps, WriteRefusedByTheReaderIsLoggedWithoutBeep)
{
    Ctl<QLineEdit>(Form(), "EdtHex1")->setText(QString(32, '5'));
    Sim().InjectFault(0x07, sim::TFault{sim::TFaultKind::ErrorStatus});
    const int Beeps = Sim().BeepCount();
    Click(Ctl<QPushButton>(Form(), "Button6"));
    EXPECT_EQ(Sent().size(), 3u);
    EXPECT_EQ(LastLog(), "Wrote block fail!");
    EXPECT_EQ(Sim().Block(1), Block16{});
    EXPECT_EQ(Sim().BeepCount(), Beeps);
    EXPECT_TRUE(Boxes().empty());
}

// ------------------------------------------------------- value blocks

TEST_F(BlockOps, InitializeWritesTheValueBlockImage)
{
    SectorPage(2);
    Sim().SetBlock(9, Counting(0x90));
    const int Beeps = Sim().BeepCount();
    Click(Ctl<QPushButton>(Form(), "Button14"));
    EXPECT_EQ(Sent(), CardChain(2, Hex(WithSum({0x13, 0x07, 0x09, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0x09, 0xF6, 0x09, 0xF6}))));
    EXPECT_EQ(HexOf(Sim().Block(9)), "00 00 00 00 FF FF FF FF 00 00 00 00 09 F6 09 F6");
    EXPECT_EQ(LastLog(), "Initial block 9 success!");
    EXPECT_EQ(Sim().BeepCount(), Beeps + 1);

    // The other rows of both pages: block number in the image, blank before it in the log.
    BlockPage(7);
    const std::pair<QPushButton*, int> Rows[] = {{Ctl<QPushButton>(Form(), "Button13"), 8}, {Ctl<QPushButton>(Form(), "Button15"), 10},
        {Ctl<QPushButton>(Form(), "Button29"), 28}, {Ctl<QPushButton>(Form(), "Button30"), 29},
        {Ctl<QPushButton>(Form(), "Button31"), 30}};
    for (const auto& [Button, Block] : Rows) {
        SCOPED_TRACE(Block);
        Click(Button);
        const uint8_t b = uint8_t(Block);
        EXPECT_EQ(Sim().Block(Block), (Block16{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, b, uint8_t(~b), b, uint8_t(~b)}));
        EXPECT_EQ(LastLog(), QString("Initial block %1 success!").arg(Block));
    }

    Sim().InjectFault(0x07, sim::TFault{sim::TFaultKind::ErrorStatus});
    const int BeepsBefore = Sim().BeepCount();
    Click(Ctl<QPushButton>(Form(), "Button15"));
    EXPECT_EQ(LastLog(), "Initial block fail!");
    EXPECT_EQ(Sim().BeepCount(), BeepsBefore);
}

TEST_F(BlockOps, IncrementAndDecrementChangeTheValueOnTheCard)
{
    BlockPage(1);
    Click(Ctl<QPushButton>(Form(), "Button29")); // block 4 becomes a value block holding 0, sector 1 authenticated
    ASSERT_EQ(LastLog(), "Initial block 4 success!");

    Sim().ClearRequests();
    Ctl<QLineEdit>(Form(), "EdtBlockData")->setText(" 1a ");
    const int Beeps = Sim().BeepCount();
    Click(Ctl<QPushButton>(Form(), "Button19"));
    EXPECT_EQ(Sent(), (std::vector<std::string>{"09 08 01 04 04 00 00 00 1A 34"}));
    EXPECT_EQ(LastLog(), "block4 value operation success!");
    EXPECT_EQ(Sim().BeepCount(), Beeps + 1);
    // The card keeps values least significant byte first.
    EXPECT_EQ(HexOf(Sim().Block(4)), "1A 00 00 00 E5 FF FF FF 1A 00 00 00 04 FB 04 FB");

    Ctl<QLineEdit>(Form(), "EdtBlockData")->setText("7");
    Click(Ctl<QPushButton>(Form(), "Button25"));
    EXPECT_EQ(Sim().RequestsWithoutBeeps().back(), WithSum({0x09, 0x08, 0x00, 0x04, 0x04, 0, 0, 0, 7}));
    Click(Ctl<QPushButton>(Form(), "Button18"));
    EXPECT_EQ(Ctl<QLineEdit>(Form(), "EdtBlock0")->text(), "13000000ECFFFFFF1300000004FB04FB");
}

TEST_F(BlockOps, ValueRequestsCarryRowOperationAndAllThirtyTwoBits)
{
    BlockPage(15);
    Ctl<QLineEdit>(Form(), "EdtBlockData")->setText("FFFFFFFF");
    Click(Ctl<QPushButton>(Form(), "Button26"));
    ASSERT_FALSE(Sim().RequestsWithoutBeeps().empty());
    EXPECT_EQ(Hex(Sim().RequestsWithoutBeeps().back()), "09 08 00 3D 3D FF FF FF FF 87");

    struct Case {
        QPushButton* Button;
        uint8_t Operation;
        int Row;
    };
    const Case Cases[] = {{Ctl<QPushButton>(Form(), "Button19"), 1, 0}, {Ctl<QPushButton>(Form(), "Button23"), 1, 1}, {Ctl<QPushButton>(Form(), "Button21"), 1, 2},
        {Ctl<QPushButton>(Form(), "Button25"), 0, 0}, {Ctl<QPushButton>(Form(), "Button26"), 0, 1}, {Ctl<QPushButton>(Form(), "Button27"), 0, 2}};
    BlockPage(6);
    Ctl<QLineEdit>(Form(), "EdtBlockData")->setText("a0B1c2");
    for (const Case& C : Cases) {
        Sim().ClearRequests();
        Click(C.Button);
        const uint8_t b = uint8_t(24 + C.Row);
        EXPECT_EQ(Sim().RequestsWithoutBeeps(),
            (std::vector<Frame>{WithSum({0x09, 0x08, C.Operation, b, b, 0x00, 0xA0, 0xB1, 0xC2})}));
    }
}

TEST_F(BlockOps, BadValueTextShowsTheBoxAndSendsNothing)
{
    for (const char* Text : {"", "   ", "12G4", "-1", "0x10", "1 2"}) {
        SCOPED_TRACE(Text);
        Sim().ClearRequests();
        ClearBoxes();
        ClearLog();
        Ctl<QLineEdit>(Form(), "EdtBlockData")->setText(Text);
        Click(Ctl<QPushButton>(Form(), "Button27"));
        EXPECT_TRUE(Sim().Requests().empty());
        EXPECT_TRUE(LogLines().isEmpty());
        ASSERT_EQ(Boxes().size(), 1u);
        EXPECT_EQ(Boxes()[0].Text, "pls. input correct block value!");
        EXPECT_EQ(Boxes()[0].Caption, "message");
    }
}

TEST_F(BlockOps, ValueOperationsTheCardRefusesFail)
{
    // Right after start-up nothing is authenticated: the request goes out anyway.
    Ctl<QLineEdit>(Form(), "EdtBlockData")->setText("1");
    int Beeps = Sim().BeepCount();
    Click(Ctl<QPushButton>(Form(), "Button23"));
    EXPECT_EQ(Sent(), (std::vector<std::string>{"09 08 01 01 01 00 00 00 01 15"}));
    EXPECT_EQ(LastLog(), "block value operation fail!");
    EXPECT_EQ(Sim().BeepCount(), Beeps);

    // Block 1 holds zeros, which is no value block.
    Click(Ctl<QPushButton>(Form(), "Button24"));
    ASSERT_EQ(LastLog(), "Read block1 success!");
    Click(Ctl<QPushButton>(Form(), "Button23"));
    EXPECT_EQ(LastLog(), "block value operation fail!");
    EXPECT_EQ(Sim().Block(1), Block16{});

    // Block 8 with C1C2C3 = 110: key A may decrement but not increment.
    Sim().SetBlock(11, Block16{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEE, 0x17, 0x81, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    Sim().SetBlock(8, Block16{5, 0, 0, 0, 0xFA, 0xFF, 0xFF, 0xFF, 5, 0, 0, 0, 8, 0xF7, 8, 0xF7});
    BlockPage(2);
    Click(Ctl<QPushButton>(Form(), "Button18"));
    ASSERT_EQ(Ctl<QLineEdit>(Form(), "EdtBlock0")->text(), "05000000FAFFFFFF0500000008F708F7");
    Beeps = Sim().BeepCount();
    Click(Ctl<QPushButton>(Form(), "Button19"));
    EXPECT_EQ(LastLog(), "block value operation fail!");
    EXPECT_EQ(Sim().BeepCount(), Beeps);
    EXPECT_EQ(Sim().Block(8)[0], 5);
    Click(Ctl<QPushButton>(Form(), "Button25"));
    EXPECT_EQ(LastLog(), "block8 value operation success!");
    EXPECT_EQ(Sim().Block(8)[0], 4);
}

// ---------------------------------------------------------- the trailer row

TEST_F(BlockOps, TrailerRowOffersOnlyRead)
{
    for (QPushButton* B : {Ctl<QPushButton>(Form(), "Button8"), Ctl<QPushButton>(Form(), "Button16"), Ctl<QPushButton>(Form(), "Button17"), Ctl<QPushButton>(Form(), "Button28"), Ctl<QPushButton>(Form(), "Button32")})
        EXPECT_FALSE(B->isEnabled()) << B->objectName().toStdString();
}

// The trailer rows' buttons are never enabled, but the session's row
// operations write a trailer through the same checks: a consistent trailer
// is written, one that would lock the sector is refused before it is sent.
TEST_F(BlockOps, TrailerRowHandlersNeverLockASector)
{
    const TKeyChoice StoredA{KeySources::StoredA, {}};
    Form().Session().WriteRow(1, 3, StoredA, QStringLiteral("A0A1A2A3A4A5FF078069B0B1B2B3B4B5"));
    EXPECT_EQ(LastLog(), "Wrote block7 success!");
    EXPECT_EQ(HexOf(Sim().Block(7)), "A0 A1 A2 A3 A4 A5 FF 07 80 69 B0 B1 B2 B3 B4 B5");

    Sim().ClearRequests();
    ClearBoxes();
    // C2 disagrees with ~C2.
    Form().Session().WriteRow(2, 3, StoredA, QStringLiteral("FFFFFFFFFFFFFF078169FFFFFFFFFFFF"));
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].Text, "Pls. input correct control bit!");
    EXPECT_EQ(Boxes()[0].Caption, "message");
    EXPECT_EQ(LastLog(), "Wrote block fail!");
    EXPECT_EQ(Sent().size(), 2u);
    EXPECT_EQ(HexOf(Sim().Block(11)), "FF FF FF FF FF FF FF 07 80 69 FF FF FF FF FF FF");

    // A value-block image on a trailer would be such a lock.
    Sim().ClearRequests();
    Form().Session().InitRow(2, 3, StoredA);
    EXPECT_EQ(LastLog(), "Initial block fail!");
    EXPECT_EQ(Sent().size(), 2u);
    Form().Session().InitRow(0, 3, StoredA);
    EXPECT_EQ(LastLog(), "Initial block fail!");
    EXPECT_EQ(HexOf(Sim().Block(3)), "FF FF FF FF FF FF FF 07 80 69 FF FF FF FF FF FF");
}

} // namespace
