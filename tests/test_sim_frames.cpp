// Cutting the program's byte stream into request frames: requests split
// across reads, bad checksums, unknown commands and noise.
#include "sim/FrameParser.h"
#include "support/PtyPeer.h"

#include <gtest/gtest.h>

using sim::TFrameParser;
using sim::TParsedFrame;

namespace {

std::vector<TParsedFrame> Feed(TFrameParser& P, const std::vector<uint8_t>& B)
{
    return P.Feed(B.data(), B.size());
}

// The frames as "hex" or "hex (bad)".
std::vector<std::string> Show(const std::vector<TParsedFrame>& Frames)
{
    std::vector<std::string> out;
    for (const auto& f : Frames)
        out.push_back(Hex(f.Bytes) + (f.ChecksumOk ? "" : " (bad)"));
    return out;
}

using Strings = std::vector<std::string>;

} // namespace

TEST(SimFrames, RequestsSplitAnywhereAreWhole)
{
    // A 20-byte write request and a link test, cut at every point.
    std::vector<uint8_t> stream = Bytes({0x13, 0x07, 0x01});
    for (int i = 0; i < 16; ++i)
        stream.push_back(uint8_t(0x30 + i));
    uint8_t sum = 0;
    for (uint8_t b : stream)
        sum = uint8_t(sum + b);
    stream.push_back(sum);
    const std::string write = Hex(stream);
    for (uint8_t b : Bytes({0x03, 0x12, 0x00, 0x15}))
        stream.push_back(b);
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        TFrameParser p;
        auto got = Show(Feed(p, {stream.begin(), stream.begin() + ptrdiff_t(cut)}));
        const auto rest = Show(Feed(p, {stream.begin() + ptrdiff_t(cut), stream.end()}));
        got.insert(got.end(), rest.begin(), rest.end());
        EXPECT_EQ(got, (Strings{write, "03 12 00 15"})) << "cut at " << cut;
        EXPECT_EQ(p.Pending(), 0u);
    }
    // Byte by byte.
    TFrameParser p;
    Strings got;
    for (uint8_t b : stream)
        for (const auto& s : Show(p.Feed(&b, 1)))
            got.push_back(s);
    EXPECT_EQ(got, (Strings{write, "03 12 00 15"}));
}

TEST(SimFrames, BadChecksumIsReportedOnceAndTheNextFrameSurvives)
{
    TFrameParser p;
    EXPECT_EQ(Show(Feed(p, Bytes({0x03, 0x12, 0x00, 0x16}))), (Strings{"03 12 00 16 (bad)"}));
    // The rest of the bad frame is passed over quietly; the next request,
    // known or not, is found behind it.
    EXPECT_EQ(Show(Feed(p, Bytes({0x03, 0x0A, 0x01, 0x0E}))), (Strings{"03 0A 01 0E"}));
    EXPECT_EQ(Show(Feed(p, Bytes({0x03, 0x02, 0x02, 0x08}))), (Strings{"03 02 02 08 (bad)"}));
    EXPECT_EQ(Show(Feed(p, Bytes({0x02, 0x55, 0x57}))), (Strings{"02 55 57"}));
    // Two good frames back to back in one read.
    EXPECT_EQ(Show(Feed(p, Bytes({0x02, 0x13, 0x15, 0x02, 0x04, 0x06}))), (Strings{"02 13 15", "02 04 06"}));
    EXPECT_EQ(p.Pending(), 0u);
}

TEST(SimFrames, NoiseBeforeAGoodFrameIsSkipped)
{
    const Strings link = {"03 12 00 15"};
    // Bytes that cannot start a frame.
    TFrameParser a;
    EXPECT_EQ(Show(Feed(a, Bytes({0xFF, 0x00, 0x01, 0xAA, 0x14, 0x03, 0x12, 0x00, 0x15}))), link);
    // Noise that looks like the length byte of a long frame, in its own read
    // and in the same read as the frame.
    TFrameParser b;
    EXPECT_TRUE(Show(Feed(b, Bytes({0x11, 0x07}))).empty());
    EXPECT_EQ(Show(Feed(b, Bytes({0x03, 0x12, 0x00, 0x15}))), link);
    TFrameParser c;
    EXPECT_EQ(Show(Feed(c, Bytes({0x05, 0x03, 0x12, 0x00, 0x15, 0x02, 0x13, 0x15}))),
        (Strings{"03 12 00 15", "02 13 15"}));
    // Noise that completes a "frame" with a wrong checksum before the good one.
    TFrameParser d;
    EXPECT_EQ(Show(Feed(d, Bytes({0x02, 0x03, 0x12, 0x00, 0x15}))), link);
    // Noise alone leaves nothing behind that could swallow a later frame.
    TFrameParser e;
    EXPECT_TRUE(Show(Feed(e, Bytes({0xFE, 0xFD, 0x00}))).empty());
    EXPECT_EQ(e.Pending(), 0u);
    EXPECT_EQ(Show(Feed(e, Bytes({0x03, 0x12, 0x00, 0x16}))), (Strings{"03 12 00 16 (bad)"}));
}
