#pragma once
// The reader: its key store (16 sectors x key A and key B), its beeper and
// the card in its field, answering one request frame at a time with one reply
// frame. Not thread-safe: TSimServer locks around it.

#include "protocol/CardLayout.h"
#include "sim/MifareCard.h"

#include <array>
#include <cstdint>
#include <vector>

namespace sim {

class TReaderEngine {
public:
    TReaderEngine();

    // The reply to a complete request with a right checksum.
    std::vector<uint8_t> Handle(const std::vector<uint8_t>& Request);

    // [L][Code][Data...][sum]
    static std::vector<uint8_t> MakeReply(uint8_t Code, const std::vector<uint8_t>& Data = {});

    TMifareCard Card;
    std::array<std::array<TKey, SectorCount>, 2> StoredKeys; // [key type][sector]
    int Beeps = 0;

private:
    // A request whose frame and length are right, handed to its command's
    // step.
    std::vector<uint8_t> Carry(const std::vector<uint8_t>& Request);
    // The card's status as the reply: the command's bare reply on 0.
    static std::vector<uint8_t> Done(uint8_t Code, uint8_t CardStatus);
    std::vector<uint8_t> Search(const std::vector<uint8_t>& Request);
    std::vector<uint8_t> Anticollision();
    std::vector<uint8_t> SearchWithSerial(const std::vector<uint8_t>& Request);
    std::vector<uint8_t> Authenticate(const std::vector<uint8_t>& Request);
    std::vector<uint8_t> ReadBlock(const std::vector<uint8_t>& Request);
    std::vector<uint8_t> WriteBlock(const std::vector<uint8_t>& Request);
    std::vector<uint8_t> ValueOperation(const std::vector<uint8_t>& Request);
    std::vector<uint8_t> DownloadKey(const std::vector<uint8_t>& Request);
};

} // namespace sim
