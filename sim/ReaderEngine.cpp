#include "sim/ReaderEngine.h"

#include "sim/FrameParser.h"
#include "sim/SimServer.h"

#include <algorithm>

namespace sim {

namespace {
std::vector<uint8_t> Status(uint8_t Code) { return ReaderEngine::MakeReply(Code); }
}

ReaderEngine::ReaderEngine()
{
    for (auto& type : StoredKeys)
        for (auto& key : type)
            key.fill(0xFF);
}

std::vector<uint8_t> ReaderEngine::MakeReply(uint8_t Code, const std::vector<uint8_t>& Data)
{
    std::vector<uint8_t> f;
    f.reserve(Data.size() + 3);
    f.push_back(uint8_t(Data.size() + 2));
    f.push_back(Code);
    f.insert(f.end(), Data.begin(), Data.end());
    f.push_back(FrameParser::Checksum(f.data(), f.size()));
    return f;
}

std::vector<uint8_t> ReaderEngine::Handle(const std::vector<uint8_t>& R)
{
    // Only whole frames reach here from the parser; anything else is refused
    // before a byte past its end can be read.
    if (R.size() < 3 || R.size() != size_t(R[0]) + 1)
        return Status(StatusBadRequest);
    const uint8_t L = R[0];
    const uint8_t cmd = R[1];
    // The length byte each command must carry (0x05 is checked by itself).
    static const struct { uint8_t Cmd, L; } lengths[] = {
        {0x02, 3}, {0x03, 2}, {0x04, 2}, {0x06, 3}, {0x07, 19}, {0x08, 9},
        {0x09, 2}, {0x0A, 3}, {0x0B, 10}, {0x12, 3}, {0x13, 2}};
    if (!FrameParser::KnownCommand(cmd))
        return Status(StatusUnknown);
    for (const auto& e : lengths) {
        if (e.Cmd == cmd && e.L != L)
            return Status(StatusBadRequest);
    }
    switch (cmd) {
    case 0x02: {
        if (const uint8_t st = Card.Request(R[2]))
            return Status(st);
        return MakeReply(cmd, {MifareCard::TypeCode});
    }
    case 0x03: {
        Serial4 s{};
        if (const uint8_t st = Card.Anticollision(s))
            return Status(st);
        return MakeReply(cmd, {s[0], s[1], s[2], s[3]});
    }
    case 0x04:
        if (const uint8_t st = Card.Select())
            return Status(st);
        return MakeReply(cmd);
    case 0x05:
        return Authenticate(R);
    case 0x06: {
        Block16 b{};
        if (const uint8_t st = Card.Read(R[2], b))
            return Status(st);
        return MakeReply(cmd, {b.begin(), b.end()});
    }
    case 0x07: {
        Block16 b{};
        std::copy(R.begin() + 3, R.begin() + 19, b.begin());
        if (const uint8_t st = Card.Write(R[2], b))
            return Status(st);
        return MakeReply(cmd);
    }
    case 0x08:
        return ValueOp(R);
    case 0x09:
        if (const uint8_t st = Card.Halt())
            return Status(st);
        return MakeReply(cmd);
    case 0x0A: {
        // Request, anticollision and select in one command.
        if (const uint8_t st = Card.Request(R[2]))
            return Status(st);
        Serial4 s{};
        uint8_t st = Card.Anticollision(s);
        if (!st)
            st = Card.Select();
        if (st)
            return Status(st);
        return MakeReply(cmd, {MifareCard::TypeCode, s[0], s[1], s[2], s[3]});
    }
    case 0x0B: {
        const uint8_t type = R[2], sector = R[3];
        if (type > 1 || sector > 15)
            return Status(StatusBadRequest);
        std::copy(R.begin() + 4, R.begin() + 10, StoredKeys[type][sector].begin());
        return MakeReply(cmd);
    }
    case 0x12:
        return MakeReply(cmd, {0x00});
    case 0x13:
        ++Beeps;
        return MakeReply(cmd);
    }
    return Status(StatusUnknown);
}

std::vector<uint8_t> ReaderEngine::Authenticate(const std::vector<uint8_t>& R)
{
    const uint8_t L = R[0];
    if (L < 4)
        return Status(StatusBadRequest);
    const uint8_t sector = R[2], source = R[3];
    // Sources 0 and 1 use the key store, 2 and 3 the key in the frame;
    // anything else (0xFF: no key chosen) is refused.
    const bool stored = source <= 1;
    const bool typed = source == 2 || source == 3;
    if ((!stored && !typed) || (stored && L != 4) || (typed && L != 10) || sector > 15)
        return Status(StatusBadRequest);
    const int type = source & 1;
    Key6 key = stored ? StoredKeys[type][sector] : Key6{};
    if (typed)
        std::copy(R.begin() + 4, R.begin() + 10, key.begin());
    if (const uint8_t st = Card.Authenticate(sector, type, key))
        return Status(st);
    return MakeReply(0x05);
}

std::vector<uint8_t> ReaderEngine::ValueOp(const std::vector<uint8_t>& R)
{
    const uint8_t op = R[2];
    if (op > 1)
        return Status(StatusBadRequest);
    const uint32_t amount = uint32_t(R[5]) << 24 | uint32_t(R[6]) << 16 | uint32_t(R[7]) << 8 | R[8];
    if (const uint8_t st = Card.ValueOperation(op == 1, R[3], R[4], amount))
        return Status(st);
    return MakeReply(0x08);
}

} // namespace sim
