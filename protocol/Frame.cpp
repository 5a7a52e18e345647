#include "protocol/Frame.h"

#include "protocol/Commands.h"

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

bool StartsWithWholeFrame(const uint8_t* Bytes, size_t Count)
{
    if (Count == 0)
        return false;
    const size_t length = Bytes[0];
    return length >= 2 && Count > length && Checksum({Bytes, length}) == Bytes[length];
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
    const TCommandInfo* info = FindCommand(Command);
    FReplyLength = info ? info->ReplyLength : 0;
    FHeadCount = 0;
    FWindowCount = 0;
    FDropped = 0;
    FSearchFrom = 0;
    FJudged.reset();
    FChecked.reset();
    FFailed = false;
    FTakenAt = -1;
}

std::span<const uint8_t> TReplyAssembler::Bytes() const
{
    if (Complete())
        return {FWindow.data() + FTakenAt, size_t(FWindow[size_t(FTakenAt)]) + 1};
    return {FHead.data(), size_t(FHeadCount)};
}

bool TReplyAssembler::AnswerForm(const uint8_t* Frame) const
{
    const uint8_t length = Frame[0];
    const uint8_t status = Frame[1];
    if (status == FCommand)
        return FReplyLength != 0 && length == FReplyLength;
    return status != 0 && (length == 2 || length == 3);
}

bool TReplyAssembler::Feed(std::span<const uint8_t> Bytes)
{
    if (Complete())
        return true;
    FFailed = false;
    if (Bytes.empty())
        return false;
    while (!Bytes.empty()) {
        if (FWindowCount == WindowBytes)
            DropOldest();
        const size_t take = std::min(Bytes.size(), size_t(WindowBytes - FWindowCount));
        std::memcpy(FWindow.data() + FWindowCount, Bytes.data(), take);
        FWindowCount += int(take);
        Bytes = Bytes.subspan(take);
        // The first frame, up to its L + 1 bytes: whole within the first
        // piece of a window, since L + 1 is at most 256.
        if (!HeadWhole() && FDropped == 0) {
            FHeadCount = std::min(FWindowCount, FWindow[0] + 1);
            std::memcpy(FHead.data(), FWindow.data(), size_t(FHeadCount));
            if (HeadWhole() && ChecksAt(0)) {
                FTakenAt = 0;
                return true;
            }
        }
    }
    if (!HeadAwaited() && Search())
        return true;
    FFailed = HeadWhole();
    return false;
}

bool TReplyAssembler::HeadAwaited() const
{
    if (HeadWhole())
        return false;
    if (FHeadCount >= 2)
        return AnswerForm(FHead.data());
    const uint8_t length = FHead[0];
    return (FReplyLength != 0 && length == FReplyLength) || length == 2 || length == 3;
}

bool TReplyAssembler::ChecksAt(int At)
{
    const size_t at = size_t(At);
    if (!FJudged[at]) {
        FJudged.set(at);
        FChecked[at] = FrameChecks(FWindow.data() + At);
    }
    return FChecked[at];
}

bool TReplyAssembler::Search()
{
    const int last = FWindowCount - 1;
    for (int at = FSearchFrom; at <= last;) {
        const int length = FWindow[size_t(at)];
        if (at + length > last || !ChecksAt(at)) {
            ++at; // not whole yet, or no frame
            continue;
        }
        if (at + length == last && AnswerForm(FWindow.data() + at)) {
            FTakenAt = at;
            return true;
        }
        at += length + 1;
    }
    return false;
}

void TReplyAssembler::DropOldest()
{
    // Every frame that starts in the first WindowBytes - MaxFrameBytes + 1
    // bytes is whole, so the search's way through them is settled.
    constexpr int keep = MaxFrameBytes - 1;
    constexpr int drop = WindowBytes - keep;
    int at = FSearchFrom;
    while (at < drop)
        at += ChecksAt(at) ? FWindow[size_t(at)] + 1 : 1;
    FSearchFrom = at - drop;
    std::memmove(FWindow.data(), FWindow.data() + drop, keep);
    FJudged >>= drop;
    FChecked >>= drop;
    FWindowCount = keep;
    FDropped += drop;
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
