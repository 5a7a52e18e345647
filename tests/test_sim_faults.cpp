// What each fault makes of a reply, without a line: the pieces and their
// times, and whether the card carries the command out.
#include "sim/Faults.h"
#include "support/PtyPeer.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

using namespace std::chrono_literals;
using sim::TFault;
using sim::TFaultKind;

TEST(SimFaults, EachKindShapesTheReplyAndOnlyAnErrorStatusStopsTheCommand)
{
    const std::vector<uint8_t> linkReply = {0x03, 0x12, 0x00, 0x15};
    using Pieces = std::vector<std::pair<int, std::string>>; // ms after the request, hex
    const struct {
        uint8_t Command;
        std::optional<TFault> Fault;
        bool CarriedOut;
        Pieces Expected;
    } rows[] = {
        {0x12, std::nullopt, true, {{0, "03 12 00 15"}}},
        {0x12, TFault{TFaultKind::NoReply}, true, {}},
        {0x12, TFault{TFaultKind::BadChecksum}, true, {{0, "03 12 00 16"}}},
        {0x12, TFault{TFaultKind::ErrorStatus, 0, 0x84}, false, {{0, "02 84 86"}}},
        // A status that would read as success is replaced.
        {0x12, TFault{TFaultKind::ErrorStatus, 0, 0x00}, false, {{0, "02 01 03"}}},
        {0x12, TFault{TFaultKind::ErrorStatus, 0, 0x12}, false, {{0, "02 01 03"}}},
        {0x01, TFault{TFaultKind::ErrorStatus, 0, 0x01}, false, {{0, "02 02 04"}}},
        {0x12, TFault{TFaultKind::Delay}, true, {{1000, "03 12 00 15"}}},
        {0x12, TFault{TFaultKind::Delay, 800}, true, {{800, "03 12 00 15"}}},
        {0x12, TFault{TFaultKind::Split}, true, {{0, "03 12"}, {250, "00 15"}}},
        {0x12, TFault{TFaultKind::Split, 300}, true, {{0, "03 12"}, {300, "00 15"}}},
        {0x12, TFault{TFaultKind::Short}, true, {{0, "03 12"}}},
        {0x12, TFault{TFaultKind::Noise}, true, {{0, "FF 5A 00 03 12 00 15"}}},
    };
    const auto now = sim::TClock::now();
    for (const auto& row : rows) {
        const std::string name = row.Fault ? std::to_string(int(row.Fault->Kind)) : "none";
        EXPECT_EQ(sim::CarriesOut(row.Fault), row.CarriedOut) << name;
        // The engine does not run for a refused command: no reply to spoil.
        const auto out = sim::ApplyFault(row.CarriedOut ? linkReply : std::vector<uint8_t>{}, row.Command, row.Fault, now);
        EXPECT_EQ(out.CarriedOut, row.CarriedOut) << name;
        Pieces got;
        for (const auto& piece : out.Pieces)
            got.push_back({int((piece.Due - now) / 1ms), Hex(piece.Bytes)});
        EXPECT_EQ(got, row.Expected) << name;
    }
}
