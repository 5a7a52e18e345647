#include "protocol/CardLayout.h"

TBlockData MakeValueBlock(int32_t Value, uint8_t Address)
{
    TBlockData b{};
    const uint32_t v = uint32_t(Value);
    for (int i = 0; i < 4; ++i) {
        b[i] = b[8 + i] = uint8_t(v >> (8 * i));
        b[4 + i] = uint8_t(~b[i]);
    }
    b[12] = b[14] = Address;
    b[13] = b[15] = uint8_t(~Address);
    return b;
}

std::optional<TValueBlock> DecodeValueBlock(const TBlockData& Block)
{
    for (int i = 0; i < 4; ++i) {
        if (Block[i] != Block[8 + i] || Block[i] != uint8_t(~Block[4 + i]))
            return std::nullopt;
    }
    if (Block[12] != Block[14] || Block[13] != Block[15] || Block[12] != uint8_t(~Block[13]))
        return std::nullopt;
    const uint32_t v = uint32_t(Block[0]) | uint32_t(Block[1]) << 8 | uint32_t(Block[2]) << 16
        | uint32_t(Block[3]) << 24;
    return TValueBlock{int32_t(v), Block[12]};
}
