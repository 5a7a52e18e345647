// Request layouts and reply decoders of the reader's commands. Every builder
// fills bytes 0 .. L-1 with L from the command table; sealing the frame for
// sending adds the checksum at index L.
#include "protocol/Commands.h"

#include <algorithm>

namespace {

constexpr TCommandInfo Commands[] = {
    {Cmd::SearchCard, 3, 0, 3, "search"},
    {Cmd::Anticollision, 2, 0, uint8_t(2 + SerialBytes), "anticollision"},
    {Cmd::SelectCard, 2, 0, 2, "select"},
    {Cmd::Authenticate, 4, uint8_t(AuthKeyOffset + KeyBytes), 2, "authenticate"},
    {Cmd::ReadBlock, 3, 0, uint8_t(2 + BlockBytes), "read"},
    {Cmd::WriteBlock, uint8_t(WriteDataOffset + BlockBytes), 0, 2, "write"},
    {Cmd::ValueOperation, 9, 0, 2, "value"},
    {Cmd::HaltCard, 2, 0, 2, "halt"},
    {Cmd::SearchCardSerial, 3, 0, uint8_t(3 + SerialBytes), "search+serial"},
    {Cmd::DownloadKey, uint8_t(DownloadKeyOffset + KeyBytes), 0, 2, "download key"},
    {Cmd::LinkTest, 3, 0, 3, "link test"},
    {Cmd::Beep, 2, 0, 2, "beep"},
};

// Every request fits a TRequest and carries a command byte.
constexpr bool LengthsFit()
{
    for (const TCommandInfo& c : Commands)
        if (c.Length < 2 || c.Length > MaxRequestLength || c.LengthWithKey > MaxRequestLength)
            return false;
    return true;
}
static_assert(LengthsFit());

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

// A request of Command with its length byte from the command table: the
// form with a key where the command has one and WithKey asks for it.
TRequest Header(uint8_t Command, bool WithKey = false)
{
    const TCommandInfo* info = FindCommand(Command);
    TRequest request;
    if (!info)
        return request; // not a command of the reader: no request
    request.Length = WithKey && info->LengthWithKey ? info->LengthWithKey : info->Length;
    request.Frame[0] = uint8_t(request.Length);
    request.Frame[1] = Command;
    return request;
}

template <size_t N>
void Put(TRequest& Request, int Offset, const std::array<uint8_t, N>& Bytes)
{
    std::copy(Bytes.begin(), Bytes.end(), Request.Frame.begin() + Offset);
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

TRequest BuildSearchCard(uint8_t SearchMode)
{
    TRequest request = Header(Cmd::SearchCard);
    request.Frame[2] = SearchMode;
    return request;
}

TRequest BuildSearchCardSerial(uint8_t SearchMode)
{
    TRequest request = Header(Cmd::SearchCardSerial);
    request.Frame[2] = SearchMode;
    return request;
}

TRequest BuildAnticollision() { return Header(Cmd::Anticollision); }

TRequest BuildSelectCard() { return Header(Cmd::SelectCard); }

TRequest BuildHaltCard() { return Header(Cmd::HaltCard); }

TRequest BuildAuthenticate(uint8_t Sector, uint8_t KeySource, const TKey* Key)
{
    TRequest request = Header(Cmd::Authenticate, Key != nullptr);
    request.Frame[2] = Sector;
    request.Frame[3] = KeySource;
    if (Key)
        Put(request, AuthKeyOffset, *Key);
    return request;
}

TRequest BuildReadBlock(uint8_t Block)
{
    TRequest request = Header(Cmd::ReadBlock);
    request.Frame[2] = Block;
    return request;
}

TRequest BuildWriteBlock(uint8_t Block, const TBlockData& Data)
{
    TRequest request = Header(Cmd::WriteBlock);
    request.Frame[2] = Block;
    Put(request, WriteDataOffset, Data);
    return request;
}

TRequest BuildValueOperation(uint8_t Operation, uint8_t Block, uint32_t Amount)
{
    TRequest request = Header(Cmd::ValueOperation);
    request.Frame[2] = Operation;
    request.Frame[3] = Block;
    request.Frame[4] = Block;
    request.Frame[5] = uint8_t(Amount >> 24);
    request.Frame[6] = uint8_t(Amount >> 16);
    request.Frame[7] = uint8_t(Amount >> 8);
    request.Frame[8] = uint8_t(Amount);
    return request;
}

TRequest BuildDownloadKey(uint8_t KeyType, uint8_t Sector, const TKey& Key)
{
    TRequest request = Header(Cmd::DownloadKey);
    request.Frame[2] = KeyType;
    request.Frame[3] = Sector;
    Put(request, DownloadKeyOffset, Key);
    return request;
}

TRequest BuildLinkTest()
{
    TRequest request = Header(Cmd::LinkTest);
    request.Frame[2] = 0;
    return request;
}

TRequest BuildBeep() { return Header(Cmd::Beep); }

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
