// Card discovery and sector authentication.
#include "app/MainForm.h"

#include "protocol/Commands.h"
#include "reader/CardReader.h"
#include "reader/HexText.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>

namespace {

void SetText(QLineEdit* Edit, const QString& Text)
{
    if (Edit)
        Edit->setText(Text);
}

uint8_t KeySourceOf(const QComboBox* Selector)
{
    // No entry chosen is -1, which goes out as its low byte.
    return uint8_t(Selector ? Selector->currentIndex() : -1);
}

QString KeyTextOf(const QLineEdit* Edit) { return Edit ? Edit->text() : QString(); }

QString CardTypeName(uint8_t Code) { return QString::fromLatin1(CardTypeText(Code)); }

} // namespace

bool TMainForm::SearchCard()
{
    const std::optional<uint8_t> type = Reader().SearchCard();
    if (!type) {
        Log(QStringLiteral("Search card fail!"));
        return false;
    }
    Log(QStringLiteral("Search card successfule!"));
    SetText(EdtCardType, CardTypeName(*type));
    return true;
}

bool TMainForm::SearchCardSerial() { return FSession->SearchCardSerial(); }

void TMainForm::CardFound(const TCardId& Card)
{
    SetText(EdtCardType, CardTypeName(Card.Type));
    SetText(EdtSN, BytesToHex(Card.Serial.data(), SerialBytes));
}

bool TMainForm::AnticollCard()
{
    const std::optional<TSerial> serial = Reader().Anticollision();
    if (!serial) {
        Log(QStringLiteral("Anticollision fail"));
        return false;
    }
    SetText(EdtSN, BytesToHex(serial->data(), SerialBytes));
    Log(QStringLiteral("Anticollision success!"));
    return true;
}

bool TMainForm::SelectCard()
{
    const bool ok = Reader().SelectCard();
    Log(ok ? QStringLiteral("select card success!") : QStringLiteral("select card fail"));
    return ok;
}

bool TMainForm::HaltCard()
{
    const bool ok = Reader().HaltCard();
    Log(ok ? QStringLiteral("stop card success") : QStringLiteral("stop card fail"));
    return ok;
}

namespace {

// A "Basic" button: its one operation, and the beep after a success only.
void RunAndBeep(TMainForm* Form, bool (TMainForm::*Operation)())
{
    TOperationScope scope(Form->Session());
    if (!scope)
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
    TKey key{};
    if (KeySources::Typed(KeySource) && HexToBytes(TypedKey, key.data(), KeyBytes) != THexResult::Ok) {
        // A bad key sends nothing.
        MessageBox(QStringLiteral("Pls. input correct password"), QStringLiteral("Message"), MessageFlags);
        return false;
    }
    if (!Reader().Authenticate(Sector, KeySource, KeySources::Typed(KeySource) ? &key : nullptr)) {
        Log(QStringLiteral("Verify sector password fail!"));
        return false;
    }
    Log(QStringLiteral("Verify sector%1 password success!").arg(int(Sector)));
    return true;
}

bool TMainForm::AuthSector(uint8_t KeySource, uint8_t Sector)
{
    // The loop tests pass a stored key (0 or 1): no key travels.
    return Reader().Authenticate(Sector, KeySource);
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
