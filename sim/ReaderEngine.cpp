#include "sim/ReaderEngine.h"

#include "protocol/Commands.h"
#include "protocol/Frame.h"
#include "sim/ReaderStatus.h"

#include <algorithm>

namespace sim {

namespace {
std::vector<uint8_t> Status(uint8_t Code) { return TReaderEngine::MakeReply(Code); }

// Fills Out with the request's bytes from Offset on.
template <class Array>
void CopyOut(const std::vector<uint8_t>& Request, size_t Offset, Array& Out)
{
    std::copy_n(Request.begin() + ptrdiff_t(Offset), Out.size(), Out.begin());
}
} // namespace

TReaderEngine::TReaderEngine()
{
    for (auto& type : StoredKeys)
        for (auto& key : type)
            key.fill(0xFF);
}

std::vector<uint8_t> TReaderEngine::MakeReply(uint8_t Code, const std::vector<uint8_t>& Data)
{
    std::vector<uint8_t> frame(Data.size() + 3);
    frame[0] = uint8_t(Data.size() + 2);
    frame[1] = Code;
    std::copy(Data.begin(), Data.end(), frame.begin() + 2);
    SealFrame(frame.data());
    return frame;
}

std::vector<uint8_t> TReaderEngine::Handle(const std::vector<uint8_t>& Request)
{
    // Only whole frames reach here from the parser; anything else is refused
    // before a byte past its end can be read.
    if (Request.size() < 3 || Request.size() != size_t(Request[0]) + 1)
        return Status(StatusBadRequest);
    const TCommandInfo* info = FindCommand(Request[1]);
    if (!info)
        return Status(StatusUnknown);
    // Each command carries its own length byte; authentication has two forms
    // and checks them itself.
    if (info->LengthWithKey == 0 && info->Length != Request[0])
        return Status(StatusBadRequest);
    return Carry(Request);
}

std::vector<uint8_t> TReaderEngine::Carry(const std::vector<uint8_t>& Request)
{
    const uint8_t cmd = Request[1];
    switch (cmd) {
    case Cmd::SearchCard:
        return Search(Request);
    case Cmd::Anticollision:
        return Anticollision();
    case Cmd::SelectCard:
        return Done(cmd, Card.Select());
    case Cmd::Authenticate:
        return Authenticate(Request);
    case Cmd::ReadBlock:
        return ReadBlock(Request);
    case Cmd::WriteBlock:
        return WriteBlock(Request);
    case Cmd::ValueOperation:
        return ValueOperation(Request);
    case Cmd::HaltCard:
        return Done(cmd, Card.Halt());
    case Cmd::SearchCardSerial:
        return SearchWithSerial(Request);
    case Cmd::DownloadKey:
        return DownloadKey(Request);
    case Cmd::LinkTest:
        return MakeReply(cmd, {0x00});
    case Cmd::Beep:
        ++Beeps;
        return MakeReply(cmd);
    }
    return Status(StatusUnknown);
}

std::vector<uint8_t> TReaderEngine::Done(uint8_t Code, uint8_t CardStatus)
{
    return CardStatus ? Status(CardStatus) : MakeReply(Code);
}

std::vector<uint8_t> TReaderEngine::Search(const std::vector<uint8_t>& Request)
{
    if (const uint8_t st = Card.Request(Request[2]))
        return Status(st);
    return MakeReply(Cmd::SearchCard, {TMifareCard::TypeCode});
}

std::vector<uint8_t> TReaderEngine::Anticollision()
{
    TSerial s{};
    if (const uint8_t st = Card.Anticollision(s))
        return Status(st);
    return MakeReply(Cmd::Anticollision, {s.begin(), s.end()});
}

std::vector<uint8_t> TReaderEngine::SearchWithSerial(const std::vector<uint8_t>& Request)
{
    // Request, anticollision and select in one command.
    if (const uint8_t st = Card.Request(Request[2]))
        return Status(st);
    TSerial s{};
    uint8_t st = Card.Anticollision(s);
    if (!st)
        st = Card.Select();
    if (st)
        return Status(st);
    return MakeReply(Cmd::SearchCardSerial, {TMifareCard::TypeCode, s[0], s[1], s[2], s[3]});
}

std::vector<uint8_t> TReaderEngine::ReadBlock(const std::vector<uint8_t>& Request)
{
    TBlockData b{};
    if (const uint8_t st = Card.Read(Request[2], b))
        return Status(st);
    return MakeReply(Cmd::ReadBlock, {b.begin(), b.end()});
}

std::vector<uint8_t> TReaderEngine::WriteBlock(const std::vector<uint8_t>& Request)
{
    TBlockData b{};
    CopyOut(Request, WriteDataOffset, b);
    return Done(Cmd::WriteBlock, Card.Write(Request[2], b));
}

std::vector<uint8_t> TReaderEngine::DownloadKey(const std::vector<uint8_t>& Request)
{
    const uint8_t type = Request[2], sector = Request[3];
    if (type > 1 || sector >= SectorCount)
        return Status(StatusBadRequest);
    CopyOut(Request, DownloadKeyOffset, StoredKeys[type][sector]);
    return MakeReply(Cmd::DownloadKey);
}

std::vector<uint8_t> TReaderEngine::Authenticate(const std::vector<uint8_t>& Request)
{
    const TCommandInfo& info = *FindCommand(Cmd::Authenticate);
    const uint8_t length = Request[0];
    if (length < info.Length)
        return Status(StatusBadRequest);
    const uint8_t sector = Request[2], source = Request[3];
    // Stored sources use the key store, typed ones the key in the frame;
    // anything else (KeySources::None: no key chosen) is refused.
    const bool stored = source == KeySources::StoredA || source == KeySources::StoredB;
    const bool typed = KeySources::Typed(source);
    if ((!stored && !typed) || (stored && length != info.Length) || (typed && length != info.LengthWithKey)
        || sector >= SectorCount)
        return Status(StatusBadRequest);
    const int type = source & 1; // the B sources are the odd ones
    TKey key = stored ? StoredKeys[type][sector] : TKey{};
    if (typed)
        CopyOut(Request, AuthKeyOffset, key);
    if (const uint8_t st = Card.Authenticate(sector, type, key))
        return Status(st);
    return MakeReply(Cmd::Authenticate);
}

std::vector<uint8_t> TReaderEngine::ValueOperation(const std::vector<uint8_t>& Request)
{
    const uint8_t op = Request[2];
    if (op != ValueOp::Increment && op != ValueOp::Decrement)
        return Status(StatusBadRequest);
    const uint32_t amount = uint32_t(Request[5]) << 24 | uint32_t(Request[6]) << 16 | uint32_t(Request[7]) << 8 | Request[8];
    if (const uint8_t st = Card.ValueOperation(op == ValueOp::Increment, Request[3], Request[4], amount))
        return Status(st);
    return MakeReply(Cmd::ValueOperation);
}

} // namespace sim
