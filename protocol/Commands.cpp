// Request layouts and reply decoders of the reader's commands. Every builder
// writes bytes 0 .. L-1; sealing the frame adds the checksum at index L.
#include "protocol/Commands.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr TCommandInfo Commands[] = {
    {Cmd::SearchCard, 3, 0, "search"},
    {Cmd::Anticollision, 2, 0, "anticollision"},
    {Cmd::SelectCard, 2, 0, "select"},
    {Cmd::Authenticate, 4, uint8_t(AuthKeyOffset + KeyBytes), "authenticate"},
    {Cmd::ReadBlock, 3, 0, "read"},
    {Cmd::WriteBlock, uint8_t(WriteDataOffset + BlockBytes), 0, "write"},
    {Cmd::ValueOperation, 9, 0, "value"},
    {Cmd::HaltCard, 2, 0, "halt"},
    {Cmd::SearchCardSerial, 3, 0, "search+serial"},
    {Cmd::DownloadKey, uint8_t(DownloadKeyOffset + KeyBytes), 0, "download key"},
    {Cmd::LinkTest, 3, 0, "link test"},
    {Cmd::Beep, 2, 0, "beep"},
};

// The reply carries bytes 0 .. Last (before its checksum), both by its length
// byte and by what truly arrived.
bool Covers(std::span<const uint8_t> Reply, size_t Last)
{
    return !Reply.empty() && Reply[0] > Last && Reply.size() > Last + 1;
}

template <size_t N>
std::array<uint8_t, N> Take(std::span<const uint8_t> Reply, size_t From)
{
    std::array<uint8_t, N> out{};
    std::copy_n(Reply.begin() + std::ptrdiff_t(From), N, out.begin());
    return out;
}

void Header(uint8_t* Buf, uint8_t Length, uint8_t Command)
{
    Buf[0] = Length;
    Buf[1] = Command;
}

// The payload may already stand in place (the caller converted typed text
// straight into the buffer); memmove keeps it either way.
void Place(uint8_t* Dest, const uint8_t* Src, int Count)
{
    if (Src && Src != Dest)
        std::memmove(Dest, Src, size_t(Count));
}

} // namespace

std::span<const TCommandInfo> CommandTable() { return Commands; }

const TCommandInfo* FindCommand(uint8_t Code)
{
    for (const TCommandInfo& c : Commands)
        if (c.Code == Code)
            return &c;
    return nullptr;
}

void BuildSearchCard(uint8_t* Buf, uint8_t SearchMode)
{
    Header(Buf, 3, Cmd::SearchCard);
    Buf[2] = SearchMode;
}

void BuildSearchCardSerial(uint8_t* Buf, uint8_t SearchMode)
{
    Header(Buf, 3, Cmd::SearchCardSerial);
    Buf[2] = SearchMode;
}

void BuildAnticollision(uint8_t* Buf) { Header(Buf, 2, Cmd::Anticollision); }

void BuildSelectCard(uint8_t* Buf) { Header(Buf, 2, Cmd::SelectCard); }

void BuildHaltCard(uint8_t* Buf) { Header(Buf, 2, Cmd::HaltCard); }

void BuildAuthenticate(uint8_t* Buf, uint8_t Sector, uint8_t KeySource, const uint8_t* Key)
{
    if (Key) {
        Place(Buf + AuthKeyOffset, Key, KeyBytes);
        Header(Buf, uint8_t(AuthKeyOffset + KeyBytes), Cmd::Authenticate);
    } else {
        Header(Buf, 4, Cmd::Authenticate);
    }
    Buf[2] = Sector;
    Buf[3] = KeySource;
}

void BuildReadBlock(uint8_t* Buf, uint8_t Block)
{
    Header(Buf, 3, Cmd::ReadBlock);
    Buf[2] = Block;
}

void BuildWriteBlock(uint8_t* Buf, uint8_t Block, const uint8_t* Data)
{
    Place(Buf + WriteDataOffset, Data, BlockBytes);
    Header(Buf, uint8_t(WriteDataOffset + BlockBytes), Cmd::WriteBlock);
    Buf[2] = Block;
}

void BuildValueOperation(uint8_t* Buf, uint8_t Operation, uint8_t Block, uint32_t Amount)
{
    Header(Buf, 9, Cmd::ValueOperation);
    Buf[2] = Operation;
    Buf[3] = Block;
    Buf[4] = Block;
    Buf[5] = uint8_t(Amount >> 24);
    Buf[6] = uint8_t(Amount >> 16);
    Buf[7] = uint8_t(Amount >> 8);
    Buf[8] = uint8_t(Amount);
}

void BuildDownloadKey(uint8_t* Buf, uint8_t KeyType, uint8_t Sector, const uint8_t* Key)
{
    Place(Buf + DownloadKeyOffset, Key, KeyBytes);
    Header(Buf, uint8_t(DownloadKeyOffset + KeyBytes), Cmd::DownloadKey);
    Buf[2] = KeyType;
    Buf[3] = Sector;
}

void BuildLinkTest(uint8_t* Buf)
{
    Header(Buf, 3, Cmd::LinkTest);
    Buf[2] = 0;
}

void BuildBeep(uint8_t* Buf) { Header(Buf, 2, Cmd::Beep); }

const char* CardTypeText(uint8_t Code)
{
    switch (Code) {
    case 1:
        return "MifareOne";
    case 2:
        return "MifarePro";
    case 3:
        return "MifareLight";
    default:
        return "unknow type";
    }
}

std::optional<uint8_t> DecodeSearch(std::span<const uint8_t> Reply)
{
    if (!Covers(Reply, 2))
        return std::nullopt;
    return Reply[2];
}

std::optional<TCardId> DecodeSearchSerial(std::span<const uint8_t> Reply)
{
    if (!Covers(Reply, 2 + SerialBytes))
        return std::nullopt;
    return TCardId{Reply[2], Take<SerialBytes>(Reply, 3)};
}

std::optional<TSerial> DecodeAnticollision(std::span<const uint8_t> Reply)
{
    if (!Covers(Reply, 1 + SerialBytes))
        return std::nullopt;
    return Take<SerialBytes>(Reply, 2);
}

std::optional<TBlockData> DecodeReadBlock(std::span<const uint8_t> Reply)
{
    if (!Covers(Reply, 1 + BlockBytes))
        return std::nullopt;
    return Take<BlockBytes>(Reply, 2);
}
