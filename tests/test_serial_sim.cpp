// The serial port component talking to the reader simulator: request frames
// go out whole, replies come back as the line's silences cut them.

#include "serial/Comm.h"
#include "sim/SimServer.h"
#include "support/PtyPeer.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

bool WholeFrame(const std::vector<uint8_t>& F)
{
    if (F.size() < 3 || F[0] + 1u != F.size())
        return false;
    unsigned sum = 0;
    for (size_t i = 0; i + 1 < F.size(); ++i)
        sum += F[i];
    return uint8_t(sum) == F.back();
}

class SerialSim : public ::testing::Test {
protected:
    void SetUp() override
    {
        Comm.SetCommName(Sim.DevicePath());
        Comm.SetDtrControl(TDtrControl::DtrDisable);
        Comm.SetRtsControl(TRtsControl::RtsDisable);
        Comm.OnReceiveData = [this](TComm*, const void* Buffer, uint16_t Length) {
            auto* p = static_cast<const uint8_t*>(Buffer);
            Chunks.emplace_back(p, p + Length);
        };
        Comm.OpenPort();
    }

    sim::TSimServer Sim;
    TComm Comm;
    std::vector<std::vector<uint8_t>> Chunks;
};

const std::vector<uint8_t> LinkTestFrame = {0x02, 0x12, 0x14};

} // namespace

TEST_F(SerialSim, AReplyInOneBurstArrivesInOneCall)
{
    for (int round = 1; round <= 3; ++round) {
        ASSERT_TRUE(Comm.WriteData(LinkTestFrame.data(), uint16_t(LinkTestFrame.size())));
        ASSERT_TRUE(WaitUntil([&] { return int(Chunks.size()) == round; }));
        EXPECT_TRUE(WholeFrame(Chunks.back())) << Hex(Chunks.back());
    }
    ASSERT_EQ(Sim.Requests().size(), 3u);
    EXPECT_EQ(Hex(Sim.Requests()[2]), "02 12 14");
}

TEST_F(SerialSim, AReplyWithALongPauseInsideArrivesInTwoCalls)
{
    // The pause is ten times the read interval, so a late server or read
    // thread cannot make the halves look like one burst.
    Sim.InjectFault(0x12, sim::TFault{sim::TFaultKind::Split, 1000});
    ASSERT_TRUE(Comm.WriteData(LinkTestFrame.data(), uint16_t(LinkTestFrame.size())));
    // The two halves make the whole reply, so no third call can follow.
    ASSERT_TRUE(WaitUntil([&] { return Chunks.size() == 2; }));
    std::vector<uint8_t> joined = Chunks[0];
    joined.insert(joined.end(), Chunks[1].begin(), Chunks[1].end());
    EXPECT_FALSE(WholeFrame(Chunks[0]));
    EXPECT_TRUE(WholeFrame(joined)) << Hex(joined);
}
