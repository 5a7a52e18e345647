#pragma once
// How a MIFARE Classic 1K card is laid out, as far as the program and the
// simulator both need it: 16 sectors of 4 blocks, the last block of each
// sector its trailer (key A, access bits, key B).

#include <cstdint>

constexpr int SectorCount = 16;
constexpr int BlocksPerSector = 4;
constexpr int TrailerRow = 3;
// Bytes 6..8 of a trailer hold the access bits; byte 9 is free.
constexpr int AccessBitsOffset = 6;
constexpr int TrailerKeyBOffset = 10;

constexpr uint8_t BlockOf(int Sector, int Row) { return uint8_t(BlocksPerSector * Sector + Row); }
constexpr bool IsTrailer(int Block) { return Block % BlocksPerSector == TrailerRow; }

// A trailer whose access bits disagree with their inverted copies locks the
// sector on the card for good. Byte 6 = ~C2 | ~C1, byte 7 = C1 | ~C3,
// byte 8 = C3 | C2 (high | low nibble).
constexpr bool AccessBitsConsistent(const uint8_t* Trailer)
{
    const uint8_t B6 = Trailer[AccessBitsOffset];
    const uint8_t B7 = Trailer[AccessBitsOffset + 1];
    const uint8_t B8 = Trailer[AccessBitsOffset + 2];
    const uint8_t C1 = B7 >> 4;
    const uint8_t C2 = B8 & 0x0F;
    const uint8_t C3 = B8 >> 4;
    return (B6 & 0x0F) == (~C1 & 0x0F) && (B6 >> 4) == (~C2 & 0x0F) && (B7 & 0x0F) == (~C3 & 0x0F);
}
