#include "sim/FrameParser.h"

#include "protocol/Commands.h"
#include "protocol/Frame.h"

namespace sim {

namespace {
// The shortest request is a command alone; the longest a block write.
constexpr uint8_t MinLength = 2;
constexpr uint8_t MaxLength = WriteDataOffset + BlockBytes;
bool LengthByte(uint8_t Length) { return Length >= MinLength && Length <= MaxLength; }

// The checksum of the frame starting at Frame[0] matches its last byte.
bool SumMatches(const uint8_t* Frame)
{
    return Checksum({Frame, Frame[0]}) == Frame[Frame[0]];
}
} // namespace

bool TFrameParser::KnownCommand(uint8_t Code) { return FindCommand(Code) != nullptr; }

void TFrameParser::Reset()
{
    FBuf.clear();
    FInStep = true;
}

bool TFrameParser::GoodFrameAt(size_t Pos) const
{
    const uint8_t length = FBuf[Pos];
    if (!LengthByte(length) || Pos + length >= FBuf.size() || !SumMatches(FBuf.data() + Pos))
        return false;
    // A frame that ends with the bytes held is what the program wrote last,
    // so an unknown command there still gets its error reply; inside the
    // bytes held, only a known command is trusted to be a frame.
    return KnownCommand(FBuf[Pos + 1]) || Pos + length + 1 == FBuf.size();
}

size_t TFrameParser::NextGoodFrame() const
{
    for (size_t k = 1; k < FBuf.size(); ++k) {
        if (GoodFrameAt(k))
            return k;
    }
    return 0;
}

std::vector<TParsedFrame> TFrameParser::Feed(const uint8_t* Data, size_t Size)
{
    std::vector<TParsedFrame> out;
    FBuf.insert(FBuf.end(), Data, Data + Size);
    while (!FBuf.empty()) {
        const uint8_t length = FBuf[0];
        if (!LengthByte(length)) {
            FBuf.erase(FBuf.begin());
            FInStep = false;
            continue;
        }
        if (FBuf.size() > length) {
            const auto frameEnd = FBuf.begin() + length + 1;
            if (SumMatches(FBuf.data())) {
                out.push_back({{FBuf.begin(), frameEnd}, true});
                FBuf.erase(FBuf.begin(), frameEnd);
                FInStep = true;
                continue;
            }
            if (const size_t k = NextGoodFrame()) {
                FBuf.erase(FBuf.begin(), FBuf.begin() + ptrdiff_t(k));
                FInStep = false;
                continue;
            }
            if (FInStep)
                out.push_back({{FBuf.begin(), frameEnd}, false});
            FBuf.erase(FBuf.begin());
            FInStep = false;
            continue;
        }
        // Incomplete: wait for more, unless a good frame is already behind.
        if (const size_t k = NextGoodFrame()) {
            FBuf.erase(FBuf.begin(), FBuf.begin() + ptrdiff_t(k));
            FInStep = false;
            continue;
        }
        break;
    }
    if (FBuf.empty())
        FInStep = true;
    return out;
}

} // namespace sim
