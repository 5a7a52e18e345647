#include "reader/CardReader.h"

#include "protocol/CardLayout.h"
#include "reader/ReaderLink.h"

bool TCardReader::Exchange()
{
    FLastResult = FLink.ExchangeFrame();
    return FLastResult == ResultOk;
}

// A decoder found the reply too short for what the command reads.
template <class T>
std::optional<T> Decoded(std::optional<T> Value, int& Result)
{
    if (!Value)
        Result = ResultBadReply;
    return Value;
}

std::optional<uint8_t> TCardReader::SearchCard()
{
    BuildSearchCard(FLink.Buffer.data(), FLink.SearchMode);
    if (!Exchange())
        return std::nullopt;
    return Decoded(DecodeSearch(FLink.Reply()), FLastResult);
}

std::optional<TCardId> TCardReader::SearchCardSerial()
{
    BuildSearchCardSerial(FLink.Buffer.data(), FLink.SearchMode);
    if (!Exchange())
        return std::nullopt;
    return Decoded(DecodeSearchSerial(FLink.Reply()), FLastResult);
}

std::optional<TSerial> TCardReader::Anticollision()
{
    BuildAnticollision(FLink.Buffer.data());
    if (!Exchange())
        return std::nullopt;
    return Decoded(DecodeAnticollision(FLink.Reply()), FLastResult);
}

bool TCardReader::SelectCard()
{
    BuildSelectCard(FLink.Buffer.data());
    return Exchange();
}

bool TCardReader::HaltCard()
{
    BuildHaltCard(FLink.Buffer.data());
    return Exchange();
}

bool TCardReader::Authenticate(uint8_t Sector, uint8_t Source, const TKey* Key)
{
    const bool typed = Key && KeySources::Typed(Source);
    BuildAuthenticate(FLink.Buffer.data(), Sector, Source, typed ? Key->data() : nullptr);
    return Exchange();
}

std::optional<TBlockData> TCardReader::ReadBlock(uint8_t Block)
{
    BuildReadBlock(FLink.Buffer.data(), Block);
    if (!Exchange())
        return std::nullopt;
    return Decoded(DecodeReadBlock(FLink.Reply()), FLastResult);
}

bool TCardReader::WriteBlock(uint8_t Block, const TBlockData& Data)
{
    if (IsTrailer(Block) && !AccessBitsConsistent(Data.data())) {
        FLastResult = ResultNotSent;
        return false;
    }
    BuildWriteBlock(FLink.Buffer.data(), Block, Data.data());
    return Exchange();
}

bool TCardReader::ValueOperation(uint8_t Operation, uint8_t Block, uint32_t Amount)
{
    BuildValueOperation(FLink.Buffer.data(), Operation, Block, Amount);
    return Exchange();
}

bool TCardReader::DownloadKey(uint8_t KeyType, uint8_t Sector, const TKey& Key)
{
    BuildDownloadKey(FLink.Buffer.data(), KeyType, Sector, Key.data());
    return Exchange();
}
