// Card discovery and sector authentication.
#include "app/MainForm.h"

#include "reader/Commands.h"
#include "reader/HexText.h"
#include "reader/ReaderLink.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>

namespace {

void SetText(QLineEdit* Edit, const QString& Text)
{
    if (Edit)
        Edit->setText(Text);
}

// A reply that passed the checksum but stops before the bytes an operation
// reads carries no card data: what stands there is left from earlier frames.
// Needs counts the frame's bytes before the checksum, as its length byte does.
bool ReplyCovers(const TReaderLink& Link, int Needs)
{
    return Link.Buffer[0] >= Needs && Link.ReplyLength() > Needs;
}

uint8_t KeySourceOf(const QComboBox* Selector)
{
    // No entry chosen is -1, which goes out as its low byte.
    return uint8_t(Selector ? Selector->currentIndex() : -1);
}

QString KeyTextOf(const QLineEdit* Edit) { return Edit ? Edit->text() : QString(); }

} // namespace

bool TMainForm::SearchCard()
{
    BuildSearchCard(Link->Buffer.data(), Link->SearchMode);
    if (ExchangeFrame() != 0 || !ReplyCovers(*Link, SearchReplyNeeds)) {
        Log(QStringLiteral("Search card fail!"));
        return false;
    }
    Log(QStringLiteral("Search card successfule!"));
    SetText(EdtCardType, QString::fromLatin1(CardTypeText(Link->Buffer[2])));
    return true;
}

bool TMainForm::SearchCardSerial()
{
    BuildSearchCardSerial(Link->Buffer.data(), Link->SearchMode);
    if (ExchangeFrame() != 0 || !ReplyCovers(*Link, SearchSerialReplyNeeds)) {
        Log(QStringLiteral("Search card fail!"));
        return false;
    }
    Log(QStringLiteral("Search card successful!"));
    SetText(EdtCardType, QString::fromLatin1(CardTypeText(Link->Buffer[2])));
    SetText(EdtSN, BytesToHex(Link->Buffer.data() + 3, SerialBytes));
    return true;
}

bool TMainForm::AnticollCard()
{
    BuildAnticollision(Link->Buffer.data());
    if (ExchangeFrame() != 0 || !ReplyCovers(*Link, AnticollReplyNeeds)) {
        Log(QStringLiteral("Anticollision fail"));
        return false;
    }
    SetText(EdtSN, BytesToHex(Link->Buffer.data() + 2, SerialBytes));
    Log(QStringLiteral("Anticollision success!"));
    return true;
}

bool TMainForm::SelectCard()
{
    BuildSelectCard(Link->Buffer.data());
    const bool Ok = ExchangeFrame() == 0;
    Log(Ok ? QStringLiteral("select card success!") : QStringLiteral("select card fail"));
    return Ok;
}

bool TMainForm::HaltCard()
{
    BuildHaltCard(Link->Buffer.data());
    const bool Ok = ExchangeFrame() == 0;
    Log(Ok ? QStringLiteral("stop card success") : QStringLiteral("stop card fail"));
    return Ok;
}

namespace {

// A "Basic" button: its one operation, and the beep after a success only.
void RunAndBeep(TMainForm* Form, bool (TMainForm::*Operation)())
{
    TOperationScope Scope(Form);
    if (!Scope)
        return;
    if ((Form->*Operation)())
        Form->BeepReader();
}

} // namespace

void TMainForm::Button9Click() { RunAndBeep(this, &TMainForm::SearchCard); }

void TMainForm::Button10Click() { RunAndBeep(this, &TMainForm::AnticollCard); }

void TMainForm::Button11Click() { RunAndBeep(this, &TMainForm::SelectCard); }

void TMainForm::Button12Click() { RunAndBeep(this, &TMainForm::HaltCard); }

bool TMainForm::VerifySectorKey(uint8_t KeySource, uint8_t Sector, const QString& TypedKey)
{
    uint8_t* Buf = Link->Buffer.data();
    if (KeySource == 2 || KeySource == 3) {
        // The key is converted straight into its place in the request; a bad
        // key sends nothing.
        if (HexToBytes(TypedKey, Buf + AuthKeyOffset, KeyBytes) != THexResult::Ok) {
            MessageBox(QStringLiteral("Pls. input correct password"), QStringLiteral("Message"), 64);
            return false;
        }
        BuildAuthenticate(Buf, Sector, KeySource, Buf + AuthKeyOffset);
    } else {
        BuildAuthenticate(Buf, Sector, KeySource, nullptr);
    }
    if (ExchangeFrame() != 0) {
        Log(QStringLiteral("Verify sector password fail!"));
        return false;
    }
    Log(QStringLiteral("Verify sector%1 password success!").arg(int(Sector)));
    return true;
}

bool TMainForm::AuthSector(uint8_t KeySource, uint8_t Sector)
{
    BuildAuthenticate(Link->Buffer.data(), Sector, KeySource, nullptr);
    return ExchangeFrame() == 0;
}

bool TMainForm::FindAndVerifyRW(uint8_t Sector)
{
    if (!SearchCardSerial())
        return false;
    return VerifySectorKey(KeySourceOf(CmbKeyTypeRW), Sector, KeyTextOf(EdtInKeyRW));
}

bool TMainForm::FindAndVerifyBlock(uint8_t Sector)
{
    if (!SearchCardSerial())
        return false;
    return VerifySectorKey(KeySourceOf(CmbKeyTypeBlock), Sector, KeyTextOf(EdtInKeyBlock));
}

bool TMainForm::FindAndVerifyEdit(uint8_t Sector)
{
    if (!SearchCardSerial())
        return false;
    return VerifySectorKey(KeySourceOf(CmbKeyTypeEdit), Sector, KeyTextOf(EdtInKeyEdit));
}
