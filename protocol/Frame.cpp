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

bool TReplyAssembler::Feed(std::span<const uint8_t> Bytes)
{
    if (Bytes.empty() || Complete())
        return Complete();
    if (FReceived == 0) {
        FFrame[0] = Bytes[0];
        FReceived = 1;
        Bytes = Bytes.subspan(1);
    }
    // L + 1 is at most 256, so the frame always fits.
    const int needed = FFrame[0] + 1;
    const int take = std::min(int(Bytes.size()), needed - FReceived);
    if (take > 0) {
        std::memcpy(FFrame + FReceived, Bytes.data(), size_t(take));
        FReceived += take;
    }
    return Complete();
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
