// Throws arbitrary line bytes, cut into arbitrary pieces, at the reply side
// of the protocol: the assembly of a reply frame, its verdict, and every
// reply decoder. What must always hold: nothing is read or written out of
// bounds, the assembled frame is exactly the first bytes that arrived, and a
// decoder gives bytes only when the reply both announces and carries them.
#include "protocol/Commands.h"
#include "protocol/Frame.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

namespace {

void Check(bool Condition)
{
    if (!Condition)
        std::abort();
}

// Bytes From .. From+N-1 of Reply stand in Out, and the reply has them.
template <size_t N>
void CheckTaken(std::span<const uint8_t> Reply, size_t From, const std::array<uint8_t, N>& Out)
{
    Check(Reply.size() > From + N && Reply[0] >= From + N);
    Check(std::memcmp(Reply.data() + From, Out.data(), N) == 0);
}

void CheckDecoders(std::span<const uint8_t> Reply)
{
    if (const auto Type = DecodeSearch(Reply))
        Check(Reply.size() > 3 && Reply[0] >= 3 && *Type == Reply[2]);
    if (const auto Card = DecodeSearchSerial(Reply)) {
        Check(Card->Type == Reply[2]);
        CheckTaken(Reply, 3, Card->Serial);
    }
    if (const auto Serial = DecodeAnticollision(Reply))
        CheckTaken(Reply, 2, *Serial);
    if (const auto Block = DecodeReadBlock(Reply))
        CheckTaken(Reply, 2, *Block);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    if (Size < 2)
        return 0;
    // Byte 0: the command the reply answers; byte 1: the piece size seed;
    // the rest: the line.
    const uint8_t Command = Data[0];
    const size_t Seed = Data[1];
    const std::span<const uint8_t> Line(Data + 2, Size - 2);

    std::vector<uint8_t> Frame(MaxFrameBytes + 16, 0xEE);
    TReplyAssembler Reply(Frame.data());
    size_t At = 0;
    size_t Piece = Seed % 7 + 1;
    while (At < Line.size()) {
        const size_t N = std::min(Piece, Line.size() - At);
        Reply.Feed(Line.subspan(At, N));
        At += N;
        Piece = (Piece * 5 + Seed) % 13 + 1;
    }
    const int Received = Reply.Received();
    Check(Received >= 0 && Received <= MaxFrameBytes && size_t(Received) <= Line.size());
    Check(std::memcmp(Frame.data(), Line.data(), size_t(Received)) == 0);
    for (size_t i = size_t(MaxFrameBytes); i < Frame.size(); ++i)
        Check(Frame[i] == 0xEE);
    if (!Line.empty())
        Check(Reply.Complete() == (Received == Line[0] + 1));

    if (Reply.Complete()) {
        const int Verdict = CheckReply(Reply.Bytes(), Command);
        Check(Verdict == ResultOk || Verdict == ResultBadReply || Verdict == Frame[1]);
        if (Verdict == ResultOk)
            CheckDecoders(Reply.Bytes());
    }
    // The decoders must hold on anything, checked or not.
    CheckDecoders(Line);
    return 0;
}
