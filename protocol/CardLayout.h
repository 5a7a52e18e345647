#pragma once
// How a MIFARE Classic 1K card is laid out, as far as the program and the
// simulator both need it: 16 sectors of 4 blocks, the last block of each
// sector its trailer (key A, access bits, key B), and the value-block format.
// These are the only places that know a sector's block arithmetic.

#include <array>
#include <cstdint>
#include <optional>

constexpr int SectorCount = 16;
constexpr int BlocksPerSector = 4;
constexpr int TrailerRow = 3;
constexpr int KeyBytes = 6;
constexpr int BlockBytes = 16;
// Bytes 6..8 of a trailer hold the access bits; byte 9 is free.
constexpr int AccessBitsOffset = 6;
constexpr int TrailerKeyBOffset = 10;

using TKey = std::array<uint8_t, KeyBytes>;
using TBlockData = std::array<uint8_t, BlockBytes>;

constexpr uint8_t BlockOf(int Sector, int Row) { return uint8_t(BlocksPerSector * Sector + Row); }
constexpr int SectorOf(int Block) { return Block / BlocksPerSector; }
constexpr int RowOf(int Block) { return Block % BlocksPerSector; }
constexpr uint8_t TrailerOf(int Sector) { return BlockOf(Sector, TrailerRow); }
constexpr bool IsTrailer(int Block) { return RowOf(Block) == TrailerRow; }

// A trailer whose access bits disagree with their inverted copies locks the
// sector on the card for good. Byte 6 = ~C2 | ~C1, byte 7 = C1 | ~C3,
// byte 8 = C3 | C2 (high | low nibble).
constexpr bool AccessBitsConsistent(const uint8_t* Trailer)
{
    const uint8_t b6 = Trailer[AccessBitsOffset];
    const uint8_t b7 = Trailer[AccessBitsOffset + 1];
    const uint8_t b8 = Trailer[AccessBitsOffset + 2];
    const uint8_t c1 = b7 >> 4;
    const uint8_t c2 = b8 & 0x0F;
    const uint8_t c3 = b8 >> 4;
    return (b6 & 0x0F) == (~c1 & 0x0F) && (b6 >> 4) == (~c2 & 0x0F) && (b7 & 0x0F) == (~c3 & 0x0F);
}

// A value block: the signed value (least significant byte first), its
// complement and the value again, then an address byte twice with its
// complement. The card checks all of it before a value operation.
struct TValueBlock {
    int32_t Value = 0;
    uint8_t Address = 0;
    bool operator==(const TValueBlock&) const = default;
};

TBlockData MakeValueBlock(int32_t Value, uint8_t Address);
// The value and address, or none when the block is not a well-formed value block.
std::optional<TValueBlock> DecodeValueBlock(const TBlockData& Block);
