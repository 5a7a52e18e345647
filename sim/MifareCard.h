#pragma once
// One MIFARE Classic 1K card: 16 sectors of 4 blocks, the radio states a real
// card goes through, authentication per sector and the access conditions of
// protocol/AccessConditions.h. Every operation returns 0 on success or one of
// the reader's status codes (ReaderStatus.h). Not thread-safe: the owner locks.

#include "protocol/CardLayout.h"
#include "protocol/Commands.h"

#include <array>
#include <cstdint>

namespace sim {

enum class TCardState { Idle,
    Ready,
    Active,
    Halted };

class TMifareCard {
public:
    static constexpr int Blocks = SectorCount * BlocksPerSector;
    static constexpr uint8_t TypeCode = 1;

    explicit TMifareCard(TSerial Serial = {0x12, 0x34, 0x56, 0x78});

    // Factory state: block 0 from the serial number, transport trailers,
    // zero data blocks.
    void Format();

    // Taking the card out drops everything; putting it back powers it up idle.
    void Remove();
    void Insert();
    bool Present() const { return FPresent; }

    // Search (request): mode 0 wakes only a card that is not halted, mode 1
    // also a halted one. Either starts a new round: no selection, no
    // authentication.
    uint8_t Request(uint8_t Mode);
    uint8_t Anticollision(TSerial& Out) const;
    uint8_t Select();
    uint8_t Halt();
    // Halt from outside (the operator's console): no state check.
    void ForceHalt();

    uint8_t Authenticate(int Sector, int KeyType, const TKey& Key);
    uint8_t Read(int Block, TBlockData& Out) const;
    uint8_t Write(int Block, const TBlockData& Data);
    // Increment (true) or decrement Block by Amount and transfer the result
    // to Target. The value is a signed 32-bit number; the sum wraps modulo
    // 2^32 (two's complement), as the card does no overflow check.
    uint8_t ValueOperation(bool Increment, int Block, int Target, uint32_t Amount);

    // Raw access, no checks (tests, dumps).
    const TBlockData& Raw(int Block) const { return FData[Block]; }
    void SetRaw(int Block, const TBlockData& Data) { FData[Block] = Data; }
    TSerial Serial() const;
    void SetSerial(TSerial Serial); // rewrites block 0

private:
    bool SectorLocked(int Sector) const;
    uint8_t Cond(int Block) const;
    // 0 when the block may be touched by the current authentication.
    uint8_t CheckSession(int Block) const;

    std::array<TBlockData, Blocks> FData{};
    bool FPresent = true;
    TCardState FState = TCardState::Idle;
    int FAuthSector = -1;
    int FAuthKey = 0; // 0 = A, 1 = B
};

} // namespace sim
