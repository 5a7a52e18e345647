#pragma once
// The MIFARE Classic access conditions, decoded in this one place from the
// card's two tables: one for data blocks, one for the sector trailer.
// Access bytes are trailer bytes 6..8; byte 9 is free for the user.
//   byte 6: bits 7..4 = ~C2 of blocks 3..0, bits 3..0 = ~C1
//   byte 7: bits 7..4 =  C1,                bits 3..0 = ~C3
//   byte 8: bits 7..4 =  C3,                bits 3..0 =  C2
// Block index 3 is the trailer; 0..2 the data blocks of the sector.

#include <array>
#include <cstdint>

namespace sim {

// Which keys may do something. Never, KeyA, KeyB or both.
enum class TKeys : uint8_t { Never = 0,
    A = 1,
    B = 2,
    AB = 3 };

inline bool Allows(TKeys Who, int KeyType) // KeyType 0 = A, 1 = B
{
    return (uint8_t(Who) & (KeyType == 0 ? 1 : 2)) != 0;
}

struct TDataRights {
    TKeys Read, Write, Increment, DecTransferRestore;
};

struct TTrailerRights {
    TKeys KeyARead, KeyAWrite, AccessRead, AccessWrite, KeyBRead, KeyBWrite;
};

// C1C2C3 of one block as the three-bit number C1*4 + C2*2 + C3.
struct TAccessBits {
    std::array<uint8_t, 4> Cond{}; // blocks 0..3
    bool Consistent = false;       // the inverted copies match
};

TAccessBits DecodeAccess(const uint8_t* Bytes6to8);
// Bytes 6..8 for the four conditions; always consistent.
std::array<uint8_t, 3> EncodeAccess(const std::array<uint8_t, 4>& Cond);

TDataRights DataBlockRights(uint8_t Cond);
TTrailerRights TrailerBlockRights(uint8_t Cond);

// Key B is data, not a key, where the trailer lets it be read.
inline bool KeyBReadable(uint8_t TrailerCond)
{
    return TrailerBlockRights(TrailerCond).KeyBRead != TKeys::Never;
}

} // namespace sim
