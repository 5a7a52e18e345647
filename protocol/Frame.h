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

// Bytes begin with a whole frame that checks (L >= 2, its checksum right):
// what lets the line hand a reply on without waiting for quiet behind it.
bool StartsWithWholeFrame(const uint8_t* Bytes, size_t Count);

// Collects the reply to one request from the pieces the line delivers.
//
// The frame that starts with the first byte is taken as soon as it is whole
// (L + 1 bytes) if it checks: a right checksum and a status byte (L >= 2),
// whatever the status says. Bytes after it are dropped.
//
// When that first frame does not check, it is most likely the tail of an
// earlier reply that came too late and straddled the request (the purge
// before the request drops only what came before it), and the true reply
// may stand behind it. A later frame is taken only when it ends exactly at
// the last byte received so far, checks, and has the form of an answer to
// this command: the command code with the command's reply length, or a
// refusal (a non-zero status, L 2 or 3). A status of 0 is never taken this
// way, since callers read 0 as success. Bytes inside a frame that checked
// are never searched, so card data cannot pass for a reply.
//
// A first frame that is whole and does not check, with nothing behind it
// that may be taken, is a bad reply at once (Failed). A first frame still
// short of its L + 1 bytes is waited for while it may be this command's
// reply; one that cannot be (a length no answer has) does not hold up the
// search.
//
// Bounded: at most WindowBytes bytes are kept for the search; the oldest go
// once every frame that could start among them is whole.
class TReplyAssembler {
public:
    static constexpr int WindowBytes = 2 * MaxFrameBytes;

    // Starts over, for the reply to Command.
    void Start(uint8_t Command);
    // Takes bytes of the line; true once a reply frame is taken.
    bool Feed(std::span<const uint8_t> Bytes);
    bool Complete() const { return FTakenAt >= 0; }
    // After the last Feed: no frame is taken and none can be from the
    // bytes so far, since the first frame is whole and does not check.
    bool Failed() const { return FFailed; }
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
    // The form of an answer to this command, by bytes 0 and 1.
    bool AnswerForm(const uint8_t* Frame) const;
    // The first frame is on its way and may still be the reply: it is
    // waited for, not searched past.
    bool HeadAwaited() const;
    // Whether the whole frame at window index At checks (cached).
    bool ChecksAt(int At);
    // Looks for a reply among the bytes in the window; true once taken.
    bool Search();
    // Drops the oldest bytes of a full window.
    void DropOldest();

    uint8_t FCommand = 0;
    uint8_t FReplyLength = 0; // of an answer that carries the command out
    // The frame that starts with the first byte, as far as it came.
    std::array<uint8_t, MaxFrameBytes> FHead{};
    int FHeadCount = 0;
    // The latest bytes of the line; FDropped bytes before them are gone.
    std::array<uint8_t, WindowBytes> FWindow{};
    int FWindowCount = 0;
    int64_t FDropped = 0;
    // Where the search starts: bytes before it are gone or inside a frame
    // that checked.
    int FSearchFrom = 0;
    // Window offsets whose whole frame was judged, and those that checked.
    std::bitset<WindowBytes> FJudged;
    std::bitset<WindowBytes> FChecked;
    bool FFailed = false;
    int FTakenAt = -1; // window index of the frame taken
};

// The verdict on a complete reply to Command: 0 when byte 1 repeats the
// command code (or is 0), 12 for a wrong checksum or a frame without a status
// byte (L < 2), otherwise the reader's status byte.
int CheckReply(std::span<const uint8_t> Reply, uint8_t Command);
