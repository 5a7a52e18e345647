#pragma once
// The MIFARE Classic access conditions, decoded in this one place from the
// card's two tables: one for data blocks, one for the sector trailer. The
// simulated card obeys them and the program explains them with the same code.
// Access bytes are trailer bytes 6..8; byte 9 is free for the user.
//   byte 6: bits 7..4 = ~C2 of blocks 3..0, bits 3..0 = ~C1
//   byte 7: bits 7..4 =  C1,                bits 3..0 = ~C3
//   byte 8: bits 7..4 =  C3,                bits 3..0 =  C2
// A condition is the three-bit number C1*4 + C2*2 + C3; index 3 of a
// condition set is the trailer, 0..2 the data blocks of the sector.

#include "protocol/CardLayout.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// Which keys may do something: never, key A, key B or both.
enum class TKeys : uint8_t { Never = 0,
    A = 1,
    B = 2,
    AB = 3 };

// KeyType 0 = A, 1 = B.
constexpr bool Allows(TKeys Who, int KeyType)
{
    return (uint8_t(Who) & (KeyType == 0 ? 1 : 2)) != 0;
}

struct TDataRights {
    TKeys Read, Write, Increment, DecTransferRestore;
    bool operator==(const TDataRights&) const = default;
};

// Key A itself is never readable, so it has no column here.
struct TTrailerRights {
    TKeys KeyAWrite, AccessRead, AccessWrite, KeyBRead, KeyBWrite;
    bool operator==(const TTrailerRights&) const = default;
};

using TConditionSet = std::array<uint8_t, BlocksPerSector>;

struct TAccessConditions {
    TConditionSet Cond{};    // blocks 0..2, then the trailer
    bool Consistent = false; // the inverted copies match
    bool operator==(const TAccessConditions&) const = default;
};

// The transport configuration: FF 07 80, data blocks 000, trailer 001.
constexpr TConditionSet TransportConditions = {0, 0, 0, 1};

TAccessConditions DecodeAccess(const uint8_t* Bytes6to8);
inline TAccessConditions TrailerAccess(const TBlockData& Trailer) { return DecodeAccess(Trailer.data() + AccessBitsOffset); }
// Bytes 6..8 for the four conditions; always consistent.
std::array<uint8_t, 3> EncodeAccess(const TConditionSet& Cond);
// Bytes 6..8 of Trailer set; the keys and the user byte 9 stay.
void SetAccess(TBlockData& Trailer, const TConditionSet& Cond);

// The tables as printed, row by row, and the order of their rows: C1C2C3
// 000, 010, 100, 110, 001, 011, 101, 111 (the same for both tables).
constexpr std::array<uint8_t, 8> ConditionRows = {0b000, 0b010, 0b100, 0b110, 0b001, 0b011, 0b101, 0b111};
TDataRights DataBlockRights(uint8_t Cond);
TTrailerRights TrailerBlockRights(uint8_t Cond);

// Key B is data, not a key, where the trailer lets it be read (trailer
// conditions 000, 010 and 001).
constexpr bool KeyBReadable(uint8_t TrailerCond)
{
    const uint8_t c = TrailerCond & 7;
    return c == 0b000 || c == 0b010 || c == 0b001;
}

// What a data block really allows in a sector whose trailer has TrailerCond:
// the table, with key B struck out where it is readable.
TDataRights EffectiveDataRights(uint8_t Cond, uint8_t TrailerCond);

// What the conditions of Sector make impossible for ever, in words, one a
// lock: "after this no key can change this sector's access bits", "... this
// sector's keys" (or key A, key B alone), "after this block N cannot be read
// with either key". Empty where a usable key may still rewrite the access
// bits, since every right can then be given back.
std::vector<std::string> PermanentLocks(const TConditionSet& Cond, int Sector);

// Rights in words, for the operator: "never", "A", "B", "A|B";
// "read A|B, write B, increment B, decrement A|B" (decrement stands for
// decrement, transfer and restore); "key A write B; access bits read A|B,
// write B; key B read never, write B".
const char* KeysText(TKeys Who);
std::string DataRightsText(const TDataRights& Rights);
std::string TrailerRightsText(const TTrailerRights& Rights);
