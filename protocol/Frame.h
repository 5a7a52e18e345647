#pragma once
// The reader frame, both directions: [L][command or status][payload][sum].
// L counts the bytes before the checksum, itself included, so it is also the
// index of the checksum byte; the checksum is the sum of bytes 0 .. L-1
// modulo 256. Nothing here knows threads, ports or windows.

#include <array>
#include <bitset>
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

// Collects the reply to one request from the pieces the line delivers.
//
// The frame that starts with the first byte is taken as soon as it is whole
// (L + 1 bytes) if it checks: a right checksum and a status byte (L >= 2),
// whatever the status says. Bytes after it are dropped.
//
// When that first frame does not check, it is not the reply: most likely the
// tail of an earlier reply that came too late and straddled the request
// (the purge before the request drops only what came before it). Then the
// bytes go on being collected, and the first offset further on at which a
// whole frame checks and repeats the expected command code is taken. A
// whole, valid frame of the same command that came late remains
// indistinguishable from the true reply: if one arrives after the request,
// it is taken.
//
// Bounded: at most WindowBytes bytes are kept for the search; the oldest go
// once every frame that could start among them has been ruled out.
class TReplyAssembler {
public:
    static constexpr int WindowBytes = 2 * MaxFrameBytes;

    // Starts over, for the reply to Command.
    void Start(uint8_t Command);
    // Takes bytes of the line; true once a reply frame is taken.
    bool Feed(std::span<const uint8_t> Bytes);
    bool Complete() const { return FTakenAt >= 0; }
    // Bytes of the reply: the frame taken (L + 1) once complete, otherwise
    // those of the frame that starts with the first byte, as far as they
    // came.
    int Received() const { return int(Bytes().size()); }
    std::span<const uint8_t> Bytes() const;
    // Where the frame taken starts among the bytes fed since Start: 0, or
    // further on when the first frame did not check; -1 while incomplete.
    int64_t Offset() const { return Complete() ? FDropped + FTakenAt : -1; }

private:
    bool HeadWhole() const { return FHeadCount > 0 && FHeadCount == FHead[0] + 1; }
    // Looks for the reply among the bytes in the window; true once taken.
    bool Search();

    uint8_t FCommand = 0;
    // The frame that starts with the first byte, as far as it came.
    std::array<uint8_t, MaxFrameBytes> FHead{};
    int FHeadCount = 0;
    // The latest bytes of the line; FDropped bytes before them are gone.
    std::array<uint8_t, WindowBytes> FWindow{};
    int FWindowCount = 0;
    int64_t FDropped = 0;
    // Offsets in the window whose whole frame was checked and refused.
    std::bitset<WindowBytes> FRuledOut;
    bool FSearching = false; // the first frame did not check
    int FTakenAt = -1;       // window index of the frame taken
};

// The verdict on a complete reply to Command: 0 when byte 1 repeats the
// command code (or is 0), 12 for a wrong checksum or a frame without a status
// byte (L < 2), otherwise the reader's status byte.
int CheckReply(std::span<const uint8_t> Reply, uint8_t Command);
