#include "sim/MifareCard.h"

#include "protocol/AccessConditions.h"
#include "sim/ReaderStatus.h"

#include <cstring>

namespace sim {

namespace {
constexpr uint8_t Ok = 0;
constexpr int AccessBytes = TrailerKeyBOffset - AccessBitsOffset; // with the free byte 9
} // namespace

TMifareCard::TMifareCard(TSerial Serial)
{
    SetSerial(Serial);
    Format();
}

void TMifareCard::Format()
{
    const TBlockData block0 = FData[0];
    for (auto& b : FData)
        b.fill(0);
    FData[0] = block0;
    const TBlockData transport = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x07,
        0x80, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    for (int s = 0; s < SectorCount; ++s)
        FData[TrailerOf(s)] = transport;
    FState = TCardState::Idle;
    FAuthSector = -1;
}

void TMifareCard::Remove()
{
    FPresent = false;
    FState = TCardState::Idle;
    FAuthSector = -1;
}

void TMifareCard::Insert()
{
    FPresent = true;
    FState = TCardState::Idle;
    FAuthSector = -1;
}

uint8_t TMifareCard::Request(uint8_t Mode)
{
    if (Mode > 1)
        return StatusBadRequest;
    FAuthSector = -1;
    if (!FPresent || (FState == TCardState::Halted && Mode == 0))
        return StatusNoCard;
    FState = TCardState::Ready;
    return Ok;
}

uint8_t TMifareCard::Anticollision(TSerial& Out) const
{
    if (!FPresent || (FState != TCardState::Ready && FState != TCardState::Active))
        return StatusNoCard;
    Out = Serial();
    return Ok;
}

uint8_t TMifareCard::Select()
{
    if (!FPresent || (FState != TCardState::Ready && FState != TCardState::Active))
        return StatusNoCard;
    FState = TCardState::Active;
    FAuthSector = -1;
    return Ok;
}

uint8_t TMifareCard::Halt()
{
    if (!FPresent || FState != TCardState::Active)
        return StatusNoCard;
    ForceHalt();
    return Ok;
}

void TMifareCard::ForceHalt()
{
    FState = TCardState::Halted;
    FAuthSector = -1;
}

bool TMifareCard::SectorLocked(int Sector) const
{
    return !AccessBitsConsistent(FData[TrailerOf(Sector)].data());
}

uint8_t TMifareCard::Cond(int Block) const
{
    return DecodeAccess(FData[TrailerOf(SectorOf(Block))].data() + AccessBitsOffset).Cond[RowOf(Block)];
}

uint8_t TMifareCard::Authenticate(int Sector, int KeyType, const TKey& Key)
{
    if (Sector < 0 || Sector >= SectorCount || KeyType < 0 || KeyType > 1)
        return StatusBadRequest;
    if (!FPresent || FState != TCardState::Active)
        return StatusNoCard;
    const TBlockData& t = FData[TrailerOf(Sector)];
    const bool match = std::memcmp(Key.data(), t.data() + (KeyType == 0 ? 0 : TrailerKeyBOffset), Key.size()) == 0;
    const bool usable = !SectorLocked(Sector) && !(KeyType == 1 && KeyBReadable(Cond(TrailerOf(Sector))));
    if (!match || !usable) {
        // A card that fails an authentication drops out to idle.
        FState = TCardState::Idle;
        FAuthSector = -1;
        return StatusAuthFailed;
    }
    FAuthSector = Sector;
    FAuthKey = KeyType;
    return Ok;
}

uint8_t TMifareCard::CheckSession(int Block) const
{
    if (Block < 0 || Block >= Blocks)
        return StatusBadRequest;
    if (!FPresent || FState != TCardState::Active)
        return StatusNoCard;
    if (FAuthSector != SectorOf(Block))
        return StatusNotAuth;
    if (SectorLocked(SectorOf(Block)))
        return StatusAccessDenied;
    return Ok;
}

uint8_t TMifareCard::Read(int Block, TBlockData& Out) const
{
    if (const uint8_t st = CheckSession(Block))
        return st;
    const uint8_t c = Cond(Block);
    if (!IsTrailer(Block)) {
        if (!Allows(DataBlockRights(c).Read, FAuthKey))
            return StatusAccessDenied;
        Out = FData[Block];
        return Ok;
    }
    // A trailer reads back with whatever the key may not see as zeros.
    const TTrailerRights r = TrailerBlockRights(c);
    const TBlockData& t = FData[Block];
    Out.fill(0);
    if (Allows(r.AccessRead, FAuthKey))
        std::memcpy(Out.data() + AccessBitsOffset, t.data() + AccessBitsOffset, AccessBytes);
    if (Allows(r.KeyBRead, FAuthKey))
        std::memcpy(Out.data() + TrailerKeyBOffset, t.data() + TrailerKeyBOffset, KeyBytes);
    return Ok;
}

uint8_t TMifareCard::Write(int Block, const TBlockData& Data)
{
    if (const uint8_t st = CheckSession(Block))
        return st;
    if (Block == 0)
        return StatusAccessDenied; // manufacturer block
    const uint8_t c = Cond(Block);
    if (!IsTrailer(Block)) {
        if (!Allows(DataBlockRights(c).Write, FAuthKey))
            return StatusAccessDenied;
        FData[Block] = Data;
        return Ok;
    }
    // The trailer is written part by part: what the key may write changes,
    // the rest stays. A write that may change nothing is refused.
    const TTrailerRights r = TrailerBlockRights(c);
    const bool keyA = Allows(r.KeyAWrite, FAuthKey);
    const bool access = Allows(r.AccessWrite, FAuthKey);
    const bool keyB = Allows(r.KeyBWrite, FAuthKey);
    if (!keyA && !access && !keyB)
        return StatusAccessDenied;
    TBlockData& t = FData[Block];
    if (keyA)
        std::memcpy(t.data(), Data.data(), KeyBytes);
    if (access)
        std::memcpy(t.data() + AccessBitsOffset, Data.data() + AccessBitsOffset, AccessBytes);
    if (keyB)
        std::memcpy(t.data() + TrailerKeyBOffset, Data.data() + TrailerKeyBOffset, KeyBytes);
    return Ok;
}

uint8_t TMifareCard::ValueOperation(bool Increment, int Block, int Target, uint32_t Amount)
{
    if (Target < 0 || Target >= Blocks)
        return StatusBadRequest;
    if (const uint8_t st = CheckSession(Block))
        return st;
    if (SectorOf(Target) != SectorOf(Block))
        return StatusNotAuth;
    if (IsTrailer(Block) || IsTrailer(Target) || Target == 0)
        return StatusAccessDenied;
    const TDataRights src = DataBlockRights(Cond(Block));
    if (!Allows(Increment ? src.Increment : src.DecTransferRestore, FAuthKey))
        return StatusAccessDenied;
    if (!Allows(DataBlockRights(Cond(Target)).DecTransferRestore, FAuthKey))
        return StatusAccessDenied;
    const std::optional<TValueBlock> value = DecodeValueBlock(FData[Block]);
    if (!value)
        return StatusNotValue;
    const uint32_t v = uint32_t(value->Value);
    const uint32_t r = Increment ? v + Amount : v - Amount;
    FData[Target] = MakeValueBlock(int32_t(r), value->Address);
    return Ok;
}

TSerial TMifareCard::Serial() const
{
    return {FData[0][0], FData[0][1], FData[0][2], FData[0][3]};
}

void TMifareCard::SetSerial(TSerial Serial)
{
    // Serial number, its BCC, then SAK, ATQA and the maker's bytes.
    TBlockData b = {Serial[0], Serial[1], Serial[2], Serial[3], uint8_t(Serial[0] ^ Serial[1] ^ Serial[2] ^ Serial[3]),
        0x08, 0x04, 0x00, 0x4F, 0x52, 0x56, 0x53, 0x49, 0x4D, 0x30, 0x31};
    FData[0] = b;
}

} // namespace sim
