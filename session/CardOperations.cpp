// The card operations of the reader's own pages ("Basic", "Sector", "Block",
// "DownPS", "ChangePS"): each exchange with its log line, each bad input with
// its box, and each button's chain under the guard with the beep after a
// success. A face reads its controls, calls one of these and shows what the
// events report.
#include "session/LinkSession.h"

#include "protocol/CardLayout.h"
#include "reader/CardReader.h"
#include "reader/HexText.h"
#include "reader/ReaderLink.h"

namespace {

QString Text(const char* Latin1) { return QString::fromLatin1(Latin1); }

} // namespace

// ------------------------------------------------------------- settings

void TLinkSession::SetSettings(const TReaderSettings& Settings)
{
    FSettings = Settings;
    FLink->ReplyTimeout = Settings.ReplyTimeout;
}

void TLinkSession::UseReader(TReaderExchange& Reader) { FReader->SetExchange(Reader); }

bool TLinkSession::TestLink() { return FReader->TestLink(); }

void TLinkSession::BeepReader()
{
    if (FSettings.Beep)
        FReader->Beep();
}

// ------------------------------------------------------------ one exchange

void TLinkSession::Box(const char* Text, const char* Caption)
{
    FListeners.MessageBox(QString::fromLatin1(Text), QString::fromLatin1(Caption), MessageFlags);
}

bool TLinkSession::SearchCard()
{
    const std::optional<uint8_t> type = FReader->SearchCard(FSettings.SearchMode);
    if (!type) {
        FListeners.Log(Text("Search card fail!"));
        return false;
    }
    FListeners.Log(Text("Search card successfule!"));
    FListeners.CardTypeFound(*type);
    return true;
}

bool TLinkSession::SearchCardSerial()
{
    const std::optional<TCardId> card = FReader->SearchCardSerial(FSettings.SearchMode);
    if (!card) {
        FListeners.Log(Text("Search card fail!"));
        return false;
    }
    FListeners.Log(Text("Search card successful!"));
    FListeners.CardFound(*card);
    return true;
}

std::optional<TCardId> TLinkSession::FindAnyCard() { return FReader->SearchCardSerial(SearchModes::AllCards); }

bool TLinkSession::AnticollCard()
{
    const std::optional<TSerial> serial = FReader->Anticollision();
    if (!serial) {
        FListeners.Log(Text("Anticollision fail"));
        return false;
    }
    FListeners.SerialFound(*serial);
    FListeners.Log(Text("Anticollision success!"));
    return true;
}

bool TLinkSession::SelectCard()
{
    const bool ok = FReader->SelectCard();
    FListeners.Log(ok ? Text("select card success!") : Text("select card fail"));
    return ok;
}

bool TLinkSession::HaltCard()
{
    const bool ok = FReader->HaltCard();
    FListeners.Log(ok ? Text("stop card success") : Text("stop card fail"));
    return ok;
}

bool TLinkSession::VerifySectorKey(uint8_t Sector, const TKeyChoice& Key)
{
    const bool typed = KeySources::Typed(Key.Source);
    TKey key{};
    if (typed && HexToBytes(Key.Typed, key.data(), KeyBytes) != THexResult::Ok) {
        // A bad key sends nothing.
        Box("Pls. input correct password", "Message");
        return false;
    }
    if (!FReader->Authenticate(Sector, Key.Source, typed ? &key : nullptr)) {
        FListeners.Log(Text("Verify sector password fail!"));
        return false;
    }
    FListeners.Log(QStringLiteral("Verify sector%1 password success!").arg(int(Sector)));
    return true;
}

bool TLinkSession::AuthSector(uint8_t KeySource, uint8_t Sector)
{
    // The loop tests pass a stored key (0 or 1): no key travels.
    return FReader->Authenticate(Sector, KeySource);
}

bool TLinkSession::FindAndVerify(uint8_t Sector, const TKeyChoice& Key)
{
    return SearchCardSerial() && VerifySectorKey(Sector, Key);
}

std::optional<QString> TLinkSession::ReadBlockHex(uint8_t Block)
{
    const std::optional<TBlockData> data = FReader->ReadBlock(Block);
    if (!data)
        return std::nullopt;
    return BytesToHex(data->data(), BlockBytes);
}

std::optional<QString> TLinkSession::ReadBlockLogged(uint8_t Block)
{
    std::optional<QString> text = ReadBlockHex(Block);
    FListeners.Log(text ? QString::asprintf("Read block%d success!", Block) : Text("read block fail!"));
    return text;
}

bool TLinkSession::WriteBlockHex(uint8_t Block, const QString& Hex)
{
    TBlockData data{};
    switch (HexToBytes(Hex, data.data(), BlockBytes)) {
    case THexResult::BadLength:
        Box("pls. input complete data!", "Message");
        return false;
    case THexResult::BadDigit:
        Box("Pls. input correct data!", "Message");
        return false;
    case THexResult::Ok:
        break;
    }
    if (IsTrailer(Block) && !AccessBitsConsistent(data.data())) {
        Box("Pls. input correct control bit!", "message");
        return false;
    }
    return FReader->WriteBlock(Block, data);
}

bool TLinkSession::WriteBlockLogged(uint8_t Block, const QString& Hex)
{
    const bool ok = WriteBlockHex(Block, Hex);
    FListeners.Log(ok ? QString::asprintf("Wrote block%d success!", Block) : Text("Wrote block fail!"));
    return ok;
}

bool TLinkSession::InitValueBlock(uint8_t Block)
{
    const TBlockData image = MakeValueBlock(0, Block);
    const bool ok = WriteBlockHex(Block, BytesToHex(image.data(), BlockBytes));
    FListeners.Log(ok ? QString::asprintf("Initial block %d success!", Block) : Text("Initial block fail!"));
    return ok;
}

// ---------------------------------------------------------- one button each

void TLinkSession::RunBasic(TBasicOp Op)
{
    TOperationScope scope(*this);
    if (!scope)
        return;
    bool ok = false;
    switch (Op) {
    case TBasicOp::Search:
        ok = SearchCard();
        break;
    case TBasicOp::Anticollision:
        ok = AnticollCard();
        break;
    case TBasicOp::Select:
        ok = SelectCard();
        break;
    case TBasicOp::Halt:
        ok = HaltCard();
        break;
    }
    if (ok)
        BeepReader();
}

std::optional<QString> TLinkSession::ReadRow(uint8_t Sector, int Row, const TKeyChoice& Key)
{
    TOperationScope scope(*this);
    if (!scope || !FindAndVerify(Sector, Key))
        return std::nullopt;
    std::optional<QString> text = ReadBlockLogged(BlockOf(Sector, Row));
    if (text)
        BeepReader();
    // A failed read shows nothing.
    return text.value_or(QString());
}

void TLinkSession::WriteRow(uint8_t Sector, int Row, const TKeyChoice& Key, const QString& Hex)
{
    TOperationScope scope(*this);
    if (!scope || !FindAndVerify(Sector, Key))
        return;
    if (WriteBlockLogged(BlockOf(Sector, Row), Hex))
        BeepReader();
}

void TLinkSession::InitRow(uint8_t Sector, int Row, const TKeyChoice& Key)
{
    TOperationScope scope(*this);
    if (!scope || !FindAndVerify(Sector, Key))
        return;
    if (InitValueBlock(BlockOf(Sector, Row)))
        BeepReader();
}

void TLinkSession::ValueRow(uint8_t Operation, uint8_t Sector, int Row, const QString& Amount)
{
    TOperationScope scope(*this);
    if (!scope)
        return;
    const std::optional<uint32_t> amount = HexNumber(TrimText(Amount));
    if (!amount) {
        Box("pls. input correct block value!", "message");
        return;
    }
    const uint8_t block = BlockOf(Sector, Row);
    if (FReader->ValueOperation(Operation, block, *amount)) {
        FListeners.Log(QString::asprintf("block%d value operation success!", block));
        BeepReader();
    } else {
        FListeners.Log(Text("block value operation fail!"));
    }
}

void TLinkSession::DownloadKeys(uint8_t KeyType, const std::array<std::optional<QString>, SectorCount>& Keys)
{
    TOperationScope scope(*this);
    if (!scope)
        return;
    // Every marked key is checked before the first request goes out.
    std::array<std::optional<TKey>, SectorCount> keys;
    for (int sector = 0; sector < SectorCount; ++sector) {
        if (!Keys[size_t(sector)])
            continue;
        TKey key{};
        if (HexToBytes(*Keys[size_t(sector)], key.data(), KeyBytes) != THexResult::Ok) {
            Box("Pls. input correct data!", "Message");
            return;
        }
        keys[size_t(sector)] = key;
    }
    for (int sector = 0; sector < SectorCount; ++sector) {
        if (!keys[size_t(sector)])
            continue;
        if (!FReader->DownloadKey(KeyType, uint8_t(sector), *keys[size_t(sector)])) {
            // The sectors before this one keep their new keys in the reader.
            FListeners.Log(QString::asprintf("download sector%d password fail!", sector));
            return;
        }
        FListeners.Log(QString::asprintf("downlaod sector%d password success!", sector));
    }
    BeepReader();
}

void TLinkSession::ChangeTrailer(uint8_t Sector, const TKeyChoice& Key, const TTrailerText& Trailer)
{
    TOperationScope scope(*this);
    if (!scope)
        return;
    const QString keyA = TrimText(Trailer.KeyA);
    const QString keyB = TrimText(Trailer.KeyB);
    const QString control = TrimText(Trailer.Control);
    if (keyA.size() != 2 * KeyBytes || keyB.size() != 2 * KeyBytes || control.size() != 8) {
        Box("Pls. input correct data", "Message");
        return;
    }
    TBlockData trailer{};
    if (HexToBytes(keyA, trailer.data(), KeyBytes) != THexResult::Ok) {
        Box("Pls. input correct KEYA!", "Message");
        return;
    }
    if (HexToBytes(control, trailer.data() + AccessBitsOffset, 4) != THexResult::Ok
        || !AccessBitsConsistent(trailer.data())) {
        Box("Pls. input correct control bit!", "message");
        return;
    }
    if (HexToBytes(keyB, trailer.data() + TrailerKeyBOffset, KeyBytes) != THexResult::Ok) {
        Box("Pls. input correct KEYB!", "Message");
        return;
    }
    if (FindAndVerify(Sector, Key)) {
        if (WriteBlockHex(BlockOf(Sector, TrailerRow), BytesToHex(trailer.data(), BlockBytes)))
            FListeners.Log(Text("Modify password success!"));
        else
            FListeners.Log(Text("Modify password fail"));
    }
    // Once the input has passed its checks the reader beeps, whatever the card said.
    BeepReader();
}
