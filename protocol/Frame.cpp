#include "protocol/Frame.h"

#include <algorithm>
#include <cstring>

uint8_t Checksum(std::span<const uint8_t> Bytes)
{
    unsigned Sum = 0;
    for (uint8_t B : Bytes)
        Sum += B;
    return uint8_t(Sum);
}

int SealFrame(uint8_t* Frame)
{
    const int Length = Frame[0];
    Frame[Length] = Checksum({Frame, size_t(Length)});
    return Length + 1;
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
    const int Needed = FFrame[0] + 1;
    const int Take = std::min(int(Bytes.size()), Needed - FReceived);
    if (Take > 0) {
        std::memcpy(FFrame + FReceived, Bytes.data(), size_t(Take));
        FReceived += Take;
    }
    return Complete();
}

int CheckReply(std::span<const uint8_t> Reply, uint8_t Command)
{
    if (Reply.empty())
        return ResultNoReply;
    const size_t L = Reply[0];
    // A frame without a status byte says nothing.
    if (L < 2 || Reply.size() < L + 1)
        return ResultBadReply;
    if (Checksum(Reply.first(L)) != Reply[L])
        return ResultBadReply;
    return Reply[1] == Command ? ResultOk : Reply[1];
}
