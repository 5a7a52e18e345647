#include "reader/CardReader.h"

#include "protocol/CardLayout.h"
#include "protocol/Frame.h"
#include "reader/ReaderExchange.h"

bool TCardReader::Exchange(const TRequest& Request)
{
    FLastResult = FExchange->ExchangeFrame(Request);
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

bool TCardReader::TestLink() { return Exchange(BuildLinkTest()); }

bool TCardReader::Beep() { return Exchange(BuildBeep()); }

std::optional<uint8_t> TCardReader::SearchCard(uint8_t Mode)
{
    if (!Exchange(BuildSearchCard(Mode)))
        return std::nullopt;
    return Decoded(DecodeSearch(FExchange->Reply()), FLastResult);
}

std::optional<TCardId> TCardReader::SearchCardSerial(uint8_t Mode)
{
    if (!Exchange(BuildSearchCardSerial(Mode)))
        return std::nullopt;
    return Decoded(DecodeSearchSerial(FExchange->Reply()), FLastResult);
}

std::optional<TSerial> TCardReader::Anticollision()
{
    if (!Exchange(BuildAnticollision()))
        return std::nullopt;
    return Decoded(DecodeAnticollision(FExchange->Reply()), FLastResult);
}

bool TCardReader::SelectCard()
{
    return Exchange(BuildSelectCard());
}

bool TCardReader::HaltCard()
{
    return Exchange(BuildHaltCard());
}

bool TCardReader::Authenticate(uint8_t Sector, uint8_t Source, const TKey* Key)
{
    const bool typed = Key && KeySources::Typed(Source);
    return Exchange(BuildAuthenticate(Sector, Source, typed ? Key : nullptr));
}

std::optional<TBlockData> TCardReader::ReadBlock(uint8_t Block)
{
    if (!Exchange(BuildReadBlock(Block)))
        return std::nullopt;
    return Decoded(DecodeReadBlock(FExchange->Reply()), FLastResult);
}

bool TCardReader::WriteBlock(uint8_t Block, const TBlockData& Data)
{
    if (IsTrailer(Block) && !AccessBitsConsistent(Data.data())) {
        FLastResult = ResultNotSent;
        return false;
    }
    return Exchange(BuildWriteBlock(Block, Data));
}

bool TCardReader::ValueOperation(uint8_t Operation, uint8_t Block, uint32_t Amount)
{
    return Exchange(BuildValueOperation(Operation, Block, Amount));
}

bool TCardReader::DownloadKey(uint8_t KeyType, uint8_t Sector, const TKey& Key)
{
    return Exchange(BuildDownloadKey(KeyType, Sector, Key));
}
