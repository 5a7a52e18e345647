// The typed card operations against the reader simulator, without the
// window: what each call gives back, and what it gives when the reader
// refuses or its reply lacks the bytes the call reads.
#include "reader/CardReader.h"
#include "reader/ReaderLink.h"
#include "serial/Comm.h"
#include "sim/SimServer.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

class CardReader : public ::testing::Test {
protected:
    void SetUp() override
    {
        Device.SetCommName(Sim.DevicePath());
        ASSERT_NO_THROW(Device.OpenPort());
        // Generous: a slow machine must not turn an answer into a failure.
        Link.ReplyTimeout = 5000;
    }

    sim::TSimServer Sim;
    TComm Device;
    TReaderLink Link{Device};
    TCardReader Reader{Link};
};

TEST_F(CardReader, DiscoveryGivesTypeAndSerial)
{
    Sim.SetSerial({0xCA, 0xFE, 0x00, 0x01});
    EXPECT_EQ(Reader.SearchCard(SearchModes::IdleCards), std::optional<uint8_t>(1));
    const auto Card = Reader.SearchCardSerial(SearchModes::IdleCards);
    ASSERT_TRUE(Card);
    EXPECT_EQ(Card->Type, 1);
    EXPECT_EQ(Card->Serial, (TSerial{0xCA, 0xFE, 0x00, 0x01}));
    EXPECT_EQ(Reader.Anticollision(), (std::optional<TSerial>(TSerial{0xCA, 0xFE, 0x00, 0x01})));
    EXPECT_TRUE(Reader.SelectCard());
    EXPECT_TRUE(Reader.HaltCard());

    // A halted card does not answer a search for idle cards; one for all
    // cards wakes it.
    EXPECT_FALSE(Reader.SearchCardSerial(SearchModes::IdleCards));
    EXPECT_EQ(Reader.LastResult(), sim::StatusNoCard);
    EXPECT_TRUE(Reader.SearchCardSerial(SearchModes::AllCards));
}

TEST_F(CardReader, BlocksKeysAndValues)
{
    ASSERT_TRUE(Reader.SearchCardSerial(SearchModes::IdleCards));
    ASSERT_TRUE(Reader.Authenticate(1, KeySources::StoredA));
    TBlockData Data{};
    for (size_t i = 0; i < Data.size(); ++i)
        Data[i] = uint8_t(0x40 + i);
    ASSERT_TRUE(Reader.WriteBlock(5, Data));
    EXPECT_EQ(Sim.Block(5), Data);
    EXPECT_EQ(Reader.ReadBlock(5), std::optional<TBlockData>(Data));

    ASSERT_TRUE(Reader.WriteBlock(6, MakeValueBlock(0, 6)));
    EXPECT_TRUE(Reader.ValueOperation(ValueOp::Increment, 6, 258));
    EXPECT_EQ(Sim.Block(6)[0], 0x02); // least significant byte first on the card
    EXPECT_EQ(Sim.Block(6)[1], 0x01);

    const TKey Key{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    EXPECT_TRUE(Reader.DownloadKey(0, 3, Key));
    EXPECT_EQ(Sim.StoredKey(0, 3), Key);

    // A typed key travels in the frame; the transport key A opens sector 2.
    const TKey Transport{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_TRUE(Reader.SearchCardSerial(SearchModes::IdleCards));
    EXPECT_TRUE(Reader.Authenticate(2, KeySources::TypedA, &Transport));
    EXPECT_EQ(Sim.Requests().back().size(), 11u);
}

TEST_F(CardReader, RefusalsShortRepliesAndUnsafeTrailers)
{
    // The reader's status comes back as the result.
    Sim.RemoveCard();
    EXPECT_FALSE(Reader.SearchCard(SearchModes::IdleCards));
    EXPECT_EQ(Reader.LastResult(), sim::StatusNoCard);
    Sim.InsertCard();

    // A reply cut short carries no card data, whatever its checksum says.
    ASSERT_TRUE(Reader.SearchCardSerial(SearchModes::IdleCards));
    ASSERT_TRUE(Reader.Authenticate(0, KeySources::StoredA));
    Sim.InjectFault(Cmd::ReadBlock, sim::TFault{sim::TFaultKind::Short});
    Link.ReplyTimeout = 500;
    EXPECT_FALSE(Reader.ReadBlock(1));
    EXPECT_EQ(Reader.LastResult(), ResultBadReply);

    // Access bits that disagree with their inverted copies would lock the
    // sector: refused, and nothing goes out.
    Sim.ClearRequests();
    TBlockData Trailer{};
    Trailer[6] = 0xFF; // the transport bits FF 07 80, with one bit of byte 8 off
    Trailer[7] = 0x07;
    Trailer[8] = 0x81;
    EXPECT_FALSE(Reader.WriteBlock(3, Trailer));
    EXPECT_EQ(Reader.LastResult(), ResultNotSent);
    EXPECT_TRUE(Sim.Requests().empty());
}

} // namespace
