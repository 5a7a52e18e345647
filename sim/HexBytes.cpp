#include "sim/HexBytes.h"

#include "protocol/HexDigit.h"

#include <cstdio>

namespace sim {

std::string HexOf(const uint8_t* Data, size_t Size)
{
    std::string text;
    char byte[4];
    for (size_t i = 0; i < Size; ++i) {
        std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", Data[i]);
        text += byte;
    }
    return text;
}

bool ParseHexBytes(const std::string& Text, uint8_t* Out, size_t N)
{
    if (Text.size() != 2 * N)
        return false;
    for (size_t i = 0; i < N; ++i) {
        const int hi = HexDigitValue(Text[2 * i]), lo = HexDigitValue(Text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        Out[i] = uint8_t(hi << 4 | lo);
    }
    return true;
}

} // namespace sim
