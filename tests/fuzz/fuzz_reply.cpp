// Throws arbitrary line bytes, cut into arbitrary pieces, at the reply side
// of the protocol: the assembly of a reply frame, its verdict, and every
// reply decoder. What must always hold: nothing is read or written out of
// bounds; the frame taken is the first frame on the line when that checks
// and could be an answer, or was whole before anything behind it was taken;
// a frame taken further on checks, ends at the last byte fed when it was
// taken, and has the form of an answer (the command code with the command's
// reply length, or a non-zero status with L 2 or 3), behind a first frame
// that was whole and did not check or that could be no answer; the reply is called
// bad only when its first frame is whole and does not check; a decoder
// gives bytes only when the reply both announces and carries them.
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

// A whole frame at From with a status byte and a right checksum.
bool Checks(std::span<const uint8_t> Line, size_t From)
{
    const size_t Length = Line[From];
    if (Length < 2 || From + Length >= Line.size())
        return false;
    return Checksum(Line.subspan(From, Length)) == Line[From + Length];
}

// The length and status of an answer to Command: its code with the
// command's reply length, or a refusal.
bool AnswerForm(uint8_t Length, uint8_t Status, uint8_t Command)
{
    if (Status == Command)
        return FindCommand(Command) && Length == FindCommand(Command)->ReplyLength;
    return Status != 0 && (Length == 2 || Length == 3);
}

// A frame that checks at From and answers Command.
bool Answers(std::span<const uint8_t> Line, size_t From, uint8_t Command)
{
    return Checks(Line, From) && AnswerForm(Line[From], Line[From + 1], Command);
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

    TReplyAssembler Reply;
    Reply.Start(Command);
    size_t At = 0;
    size_t Piece = Seed % 7 + 1;
    size_t FedWhenTaken = 0;
    while (At < Line.size()) {
        const size_t N = std::min(Piece, Line.size() - At);
        const bool Before = Reply.Complete();
        Reply.Feed(Line.subspan(At, N));
        At += N;
        if (!Before && Reply.Complete())
            FedWhenTaken = At;
        // Bad only when the first frame is whole and does not check.
        if (Reply.Failed())
            Check(!Reply.Complete() && At > Line[0] && !Checks(Line, 0));
        Piece = (Piece * 5 + Seed) % 13 + 1;
    }

    const bool HeadWhole = !Line.empty() && Line.size() > Line[0];
    const bool HeadChecks = HeadWhole && Checks(Line, 0);
    const auto Bytes = Reply.Bytes();
    Check(Reply.Received() == int(Bytes.size()) && Bytes.size() <= size_t(MaxFrameBytes));
    if (Reply.Complete()) {
        const int64_t Offset = Reply.Offset();
        Check(Offset >= 0 && size_t(Offset) + Bytes.size() <= Line.size());
        Check(std::memcmp(Bytes.data(), Line.data() + Offset, Bytes.size()) == 0);
        Check(Bytes.size() == size_t(Bytes[0]) + 1);
        if (Offset == 0) {
            Check(HeadChecks);
        } else {
            // Taken behind a first frame that was whole and did not check,
            // or that was still short and could be no answer to Command
            // (so it was not waited for: its later bytes may yet make it
            // check, as a late reply's tail would).
            const bool HeadWholeThen = FedWhenTaken > size_t(Line[0]);
            Check(HeadWholeThen ? !HeadChecks : !AnswerForm(Line[0], Line[1], Command));
            Check(Answers(Line, size_t(Offset), Command));
            Check(size_t(Offset) + Bytes.size() == FedWhenTaken);
        }
    } else {
        Check(Reply.Offset() == -1 && !HeadChecks);
        Check(Bytes.size() == std::min(Line.size(), Line.empty() ? 0 : size_t(Line[0]) + 1));
        Check(std::memcmp(Bytes.data(), Line.data(), Bytes.size()) == 0);
    }

    if (Reply.Complete()) {
        // A frame taken always checks: success or the reader's status.
        const int Verdict = CheckReply(Bytes, Command);
        Check(Verdict == ResultOk || Verdict == Bytes[1]);
        if (Verdict == ResultOk)
            CheckDecoders(Reply.Bytes());
    }
    // The decoders must hold on anything, checked or not.
    CheckDecoders(Line);
    return 0;
}
