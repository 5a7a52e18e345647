#pragma once
// The reader frame, both directions: [L][command or status][payload][sum].
// L counts the bytes before the checksum, itself included, so it is also the
// index of the checksum byte; the checksum is the sum of bytes 0 .. L-1
// modulo 256. Nothing here knows threads, ports or windows.

#include <cstddef>
#include <cstdint>
#include <span>

// A frame is at most L = 255 bytes plus its checksum.
constexpr int MaxFrameBytes = 256;

// Result codes of one exchange besides 0 (success) and the reader's own
// status byte.
constexpr int ResultOk = 0;
constexpr int ResultBadReply = 12;
constexpr int ResultNotSent = 20;
constexpr int ResultNoReply = 22;

uint8_t Checksum(std::span<const uint8_t> Bytes);

// Writes the checksum of bytes 0 .. L-1 at index L and returns the frame's
// length on the wire (L + 1). Frame must hold L + 1 bytes.
int SealFrame(uint8_t* Frame);

// Collects a reply frame that may arrive in pieces. Feed the pieces in order;
// the first byte is the length byte, and bytes beyond the frame's L + 1 are
// dropped, so the first whole frame wins.
class TReplyAssembler {
public:
    // Frame receives the bytes from index 0; it must hold MaxFrameBytes.
    explicit TReplyAssembler(uint8_t* Frame)
        : FFrame(Frame)
    {
    }

    void Reset() { FReceived = 0; }
    // Takes bytes of the reply; true once the whole frame is in.
    bool Feed(std::span<const uint8_t> Bytes);
    bool Complete() const { return FReceived > 0 && FReceived >= FFrame[0] + 1; }
    // Bytes of the frame that truly arrived (L + 1 when complete).
    int Received() const { return FReceived; }
    // The bytes that arrived, as a view on the frame.
    std::span<const uint8_t> Bytes() const { return {FFrame, size_t(FReceived)}; }

private:
    uint8_t* FFrame;
    int FReceived = 0;
};

// The verdict on a complete reply to Command: 0 when byte 1 repeats the
// command code (or is 0), 12 for a wrong checksum or a frame without a status
// byte (L < 2), otherwise the reader's status byte.
int CheckReply(std::span<const uint8_t> Reply, uint8_t Command);
