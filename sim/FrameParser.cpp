#include "sim/FrameParser.h"

namespace sim {

namespace {
constexpr uint8_t MinLength = 2;
constexpr uint8_t MaxLength = 19;
bool LengthByte(uint8_t L) { return L >= MinLength && L <= MaxLength; }
}

bool FrameParser::KnownCommand(uint8_t Code)
{
    return (Code >= 0x02 && Code <= 0x0B) || Code == 0x12 || Code == 0x13;
}

uint8_t FrameParser::Checksum(const uint8_t* Data, size_t Size)
{
    uint8_t sum = 0;
    for (size_t i = 0; i < Size; ++i)
        sum = uint8_t(sum + Data[i]);
    return sum;
}

void FrameParser::Reset()
{
    FBuf.clear();
    FInStep = true;
}

bool FrameParser::GoodFrameAt(size_t Pos) const
{
    const uint8_t L = FBuf[Pos];
    if (!LengthByte(L) || Pos + L >= FBuf.size() || Checksum(FBuf.data() + Pos, L) != FBuf[Pos + L])
        return false;
    // A frame that ends with the bytes held is what the program wrote last,
    // so an unknown command there still gets its error reply; inside the
    // bytes held, only a known command is trusted to be a frame.
    return KnownCommand(FBuf[Pos + 1]) || Pos + L + 1 == FBuf.size();
}

size_t FrameParser::NextGoodFrame() const
{
    for (size_t k = 1; k < FBuf.size(); ++k) {
        if (GoodFrameAt(k))
            return k;
    }
    return 0;
}

std::vector<ParsedFrame> FrameParser::Feed(const uint8_t* Data, size_t Size)
{
    std::vector<ParsedFrame> out;
    FBuf.insert(FBuf.end(), Data, Data + Size);
    while (!FBuf.empty()) {
        const uint8_t L = FBuf[0];
        if (!LengthByte(L)) {
            FBuf.erase(FBuf.begin());
            FInStep = false;
            continue;
        }
        if (FBuf.size() > L) {
            if (Checksum(FBuf.data(), L) == FBuf[L]) {
                out.push_back({{FBuf.begin(), FBuf.begin() + L + 1}, true});
                FBuf.erase(FBuf.begin(), FBuf.begin() + L + 1);
                FInStep = true;
                continue;
            }
            if (const size_t k = NextGoodFrame()) {
                FBuf.erase(FBuf.begin(), FBuf.begin() + ptrdiff_t(k));
                FInStep = false;
                continue;
            }
            if (FInStep)
                out.push_back({{FBuf.begin(), FBuf.begin() + L + 1}, false});
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
