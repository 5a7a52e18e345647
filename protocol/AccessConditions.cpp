#include "protocol/AccessConditions.h"

#include <cstring>

TAccessConditions DecodeAccess(const uint8_t* Bytes6to8)
{
    const uint8_t* b = Bytes6to8;
    TAccessConditions out;
    for (int blk = 0; blk < BlocksPerSector; ++blk) {
        const int c1 = (b[1] >> (4 + blk)) & 1;
        const int c2 = (b[2] >> blk) & 1;
        const int c3 = (b[2] >> (4 + blk)) & 1;
        out.Cond[blk] = uint8_t(c1 << 2 | c2 << 1 | c3);
    }
    // The program checks a trailer by the same rule before it writes one.
    uint8_t trailer[BlockBytes] = {};
    std::memcpy(trailer + AccessBitsOffset, Bytes6to8, 3);
    out.Consistent = AccessBitsConsistent(trailer);
    return out;
}

std::array<uint8_t, 3> EncodeAccess(const TConditionSet& Cond)
{
    uint8_t b6 = 0, b7 = 0, b8 = 0;
    for (int blk = 0; blk < BlocksPerSector; ++blk) {
        const int c1 = (Cond[blk] >> 2) & 1;
        const int c2 = (Cond[blk] >> 1) & 1;
        const int c3 = Cond[blk] & 1;
        b6 |= uint8_t((!c1) << blk | (!c2) << (4 + blk));
        b7 |= uint8_t((!c3) << blk | c1 << (4 + blk));
        b8 |= uint8_t(c2 << blk | c3 << (4 + blk));
    }
    return {b6, b7, b8};
}

void SetAccess(TBlockData& Trailer, const TConditionSet& Cond)
{
    const std::array<uint8_t, 3> bytes = EncodeAccess(Cond);
    std::memcpy(Trailer.data() + AccessBitsOffset, bytes.data(), bytes.size());
}

TDataRights DataBlockRights(uint8_t Cond)
{
    using enum TKeys;
    switch (Cond & 7) {
    case 0b000: return {AB, AB, AB, AB}; // transport configuration
    case 0b010: return {AB, Never, Never, Never};
    case 0b100: return {AB, B, Never, Never};
    case 0b110: return {AB, B, B, AB};
    case 0b001: return {AB, Never, Never, AB};
    case 0b011: return {B, B, Never, Never};
    case 0b101: return {B, Never, Never, Never};
    default: return {Never, Never, Never, Never}; // 0b111
    }
}

TTrailerRights TrailerBlockRights(uint8_t Cond)
{
    using enum TKeys;
    switch (Cond & 7) {
    case 0b000: return {A, A, Never, A, A};
    case 0b010: return {Never, A, Never, A, Never};
    case 0b100: return {B, AB, Never, Never, B};
    case 0b110: return {Never, AB, Never, Never, Never};
    case 0b001: return {A, A, A, A, A}; // transport configuration
    case 0b011: return {B, AB, B, Never, B};
    case 0b101: return {Never, AB, B, Never, Never};
    default: return {Never, AB, Never, Never, Never}; // 0b111
    }
}

TDataRights EffectiveDataRights(uint8_t Cond, uint8_t TrailerCond)
{
    TDataRights r = DataBlockRights(Cond);
    if (KeyBReadable(TrailerCond)) {
        for (TKeys* k : {&r.Read, &r.Write, &r.Increment, &r.DecTransferRestore})
            *k = TKeys(uint8_t(*k) & uint8_t(TKeys::A));
    }
    return r;
}

std::vector<std::string> PermanentLocks(const TConditionSet& Cond, int Sector)
{
    const uint8_t trailer = Cond[TrailerRow];
    const TTrailerRights rights = TrailerBlockRights(trailer);
    // Key B that reads back is data: it opens nothing, so it grants nothing.
    const TKeys usable = KeyBReadable(trailer) ? TKeys::A : TKeys::AB;
    const auto nobody = [usable](TKeys Who) { return (uint8_t(Who) & uint8_t(usable)) == 0; };
    std::vector<std::string> locks;
    if (!nobody(rights.AccessWrite))
        return locks;
    locks.emplace_back("after this no key can change this sector's access bits");
    const bool keyA = nobody(rights.KeyAWrite);
    const bool keyB = nobody(rights.KeyBWrite);
    if (keyA && keyB)
        locks.emplace_back("after this no key can change this sector's keys");
    else if (keyA || keyB)
        locks.emplace_back(keyA ? "after this no key can change this sector's key A"
                                : "after this no key can change this sector's key B");
    for (int row = 0; row < TrailerRow; ++row) {
        if (EffectiveDataRights(Cond[size_t(row)], trailer).Read != TKeys::Never)
            continue;
        // In steps: GCC 12 takes a chain of temporaries here for a copy out
        // of bounds (a false -Warray-bounds).
        std::string words = "after this block ";
        words += std::to_string(BlockOf(Sector, row));
        words += " cannot be read with either key";
        locks.push_back(std::move(words));
    }
    return locks;
}

const char* KeysText(TKeys Who)
{
    switch (Who) {
    case TKeys::Never:
        return "never";
    case TKeys::A:
        return "A";
    case TKeys::B:
        return "B";
    case TKeys::AB:
        return "A|B";
    }
    return "?";
}

std::string DataRightsText(const TDataRights& Rights)
{
    std::string out = "read ";
    out += KeysText(Rights.Read);
    out += ", write ";
    out += KeysText(Rights.Write);
    out += ", increment ";
    out += KeysText(Rights.Increment);
    out += ", decrement ";
    out += KeysText(Rights.DecTransferRestore);
    return out;
}

std::string TrailerRightsText(const TTrailerRights& Rights)
{
    std::string out = "key A write ";
    out += KeysText(Rights.KeyAWrite);
    out += "; access bits read ";
    out += KeysText(Rights.AccessRead);
    out += ", write ";
    out += KeysText(Rights.AccessWrite);
    out += "; key B read ";
    out += KeysText(Rights.KeyBRead);
    out += ", write ";
    out += KeysText(Rights.KeyBWrite);
    return out;
}
