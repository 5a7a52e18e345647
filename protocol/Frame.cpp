#include "protocol/Frame.h"

#include <algorithm>
#include <cstring>

uint8_t Checksum(std::span<const uint8_t> Bytes)
{
    unsigned sum = 0;
    for (uint8_t b : Bytes)
        sum += b;
    return uint8_t(sum);
}

int SealFrame(uint8_t* Frame)
{
    const int length = Frame[0];
    Frame[length] = Checksum({Frame, size_t(length)});
    return length + 1;
}

namespace {

// A frame of L + 1 bytes at Frame whose checksum is right and which carries a
// status byte.
bool FrameChecks(const uint8_t* Frame)
{
    const int length = Frame[0];
    return length >= 2 && Checksum({Frame, size_t(length)}) == Frame[length];
}

} // namespace

void TReplyAssembler::Start(uint8_t Command)
{
    FCommand = Command;
    FHeadCount = 0;
    FWindowCount = 0;
    FDropped = 0;
    FRuledOut.reset();
    FSearching = false;
    FTakenAt = -1;
}

std::span<const uint8_t> TReplyAssembler::Bytes() const
{
    if (Complete())
        return {FWindow.data() + FTakenAt, size_t(FWindow[size_t(FTakenAt)]) + 1};
    return {FHead.data(), size_t(FHeadCount)};
}

bool TReplyAssembler::Feed(std::span<const uint8_t> Bytes)
{
    while (!Bytes.empty() && !Complete()) {
        if (FWindowCount == WindowBytes) {
            // Every frame that could start in the first WindowBytes -
            // MaxFrameBytes + 1 bytes is whole and was refused: drop them.
            constexpr int keep = MaxFrameBytes - 1;
            constexpr int drop = WindowBytes - keep;
            std::memmove(FWindow.data(), FWindow.data() + drop, keep);
            FRuledOut >>= drop;
            FWindowCount = keep;
            FDropped += drop;
        }
        const size_t take = std::min(Bytes.size(), size_t(WindowBytes - FWindowCount));
        std::memcpy(FWindow.data() + FWindowCount, Bytes.data(), take);
        FWindowCount += int(take);
        // The first frame, up to its L + 1 bytes (L + 1 is at most 256, so it
        // always fits).
        if (!HeadWhole()) {
            const int needed = FWindow[0] + 1;
            FHeadCount = std::min(FWindowCount, needed);
            std::memcpy(FHead.data(), FWindow.data(), size_t(FHeadCount));
        }
        Bytes = Bytes.subspan(take);

        if (!FSearching) {
            if (!HeadWhole())
                continue;
            if (FrameChecks(FHead.data())) {
                FTakenAt = 0;
                break;
            }
            FSearching = true;
            FRuledOut.set(0);
        }
        Search();
    }
    return Complete();
}

bool TReplyAssembler::Search()
{
    for (int at = 0; at < FWindowCount; ++at) {
        if (FRuledOut[size_t(at)])
            continue;
        const int length = FWindow[size_t(at)];
        if (at + length >= FWindowCount)
            continue; // not whole yet
        const uint8_t* frame = FWindow.data() + at;
        if (FrameChecks(frame) && frame[1] == FCommand) {
            FTakenAt = at;
            return true;
        }
        FRuledOut.set(size_t(at));
    }
    return false;
}

int CheckReply(std::span<const uint8_t> Reply, uint8_t Command)
{
    if (Reply.empty())
        return ResultNoReply;
    const size_t l = Reply[0];
    // A frame without a status byte says nothing.
    if (l < 2 || Reply.size() < l + 1)
        return ResultBadReply;
    if (Checksum(Reply.first(l)) != Reply[l])
        return ResultBadReply;
    return Reply[1] == Command ? ResultOk : Reply[1];
}
