#pragma once
// Cuts the byte stream from the program into request frames (protocol/Frame.h;
// a request carries L = 2..19), byte by byte as they arrive.
//
// Resynchronisation: a byte that cannot be a length byte is skipped. A frame
// whose checksum is wrong is reported (so the reader can answer it with an
// error status) when it starts where the stream was in step, that is at the
// start of input or right after a good frame; the scan then resumes at the
// byte after its first byte, and whatever it passes over until the next good
// frame is skipped quietly, so one bad frame gets one error reply. Noise that
// looks like the start of a long frame would hold up the frame behind it, so
// whenever a complete good frame follows later in the bytes held (with a
// known command, or ending with the last byte received), the bytes before it
// are dropped as noise.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

struct TParsedFrame {
    std::vector<uint8_t> Bytes; // the whole frame, checksum included
    bool ChecksumOk = true;
};

class TFrameParser {
public:
    // The frames that the new bytes complete, in order.
    std::vector<TParsedFrame> Feed(const uint8_t* Data, size_t Size);
    // Bytes held back waiting for the rest of a frame.
    size_t Pending() const { return FBuf.size(); }
    void Reset();

    // A code in the reader's command table.
    static bool KnownCommand(uint8_t Code);

private:
    // A complete frame with a right checksum at Pos (see above).
    bool GoodFrameAt(size_t Pos) const;
    // The first position after 0 where GoodFrameAt holds, or 0.
    size_t NextGoodFrame() const;

    std::vector<uint8_t> FBuf;
    bool FInStep = true;
};

} // namespace sim
