// Block data, value blocks, reader key download and sector trailer change:
// the "Sector", "Block", "DownPS" and "ChangePS" pages.
#include "app/MainForm.h"
#include "reader/Commands.h"
#include "reader/HexText.h"
#include "reader/ReaderLink.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>

namespace {

constexpr int TrailerRow = 3;
constexpr int AccessBitsOffset = 6; // bytes 6..8 of a trailer; byte 9 is free

// A sector trailer whose access bits disagree with their inverted copies
// locks the sector on the card for good, so such a trailer is never sent.
// Byte 6 = ~C2 | ~C1, byte 7 = C1 | ~C3, byte 8 = C3 | C2 (high | low nibble).
bool AccessBitsConsistent(const uint8_t* Trailer)
{
    const uint8_t B6 = Trailer[AccessBitsOffset];
    const uint8_t B7 = Trailer[AccessBitsOffset + 1];
    const uint8_t B8 = Trailer[AccessBitsOffset + 2];
    const uint8_t C1 = B7 >> 4;
    const uint8_t C2 = B8 & 0x0F;
    const uint8_t C3 = B8 >> 4;
    return (B6 & 0x0F) == (~C1 & 0x0F) && (B6 >> 4) == (~C2 & 0x0F) && (B7 & 0x0F) == (~C3 & 0x0F);
}

uint8_t BlockOf(const QGroupBox* Sector, int Row)
{
    return uint8_t(4 * TMainForm::Tag(Sector) + Row);
}

// "Read" on either page: find and verify, read, beep after success only, and
// show what the read returned (empty after a failed read).
void ReadRow(TMainForm& Form, bool (TMainForm::*FindAndVerify)(uint8_t), QGroupBox* Sector, int Row,
             QLineEdit* Edit)
{
    TOperationScope Scope(&Form);
    if (!Scope)
        return;
    if (!(Form.*FindAndVerify)(uint8_t(TMainForm::Tag(Sector))))
        return;
    QString Text;
    if (Form.ReadBlockLogged(BlockOf(Sector, Row), Text))
        Form.BeepReader();
    Edit->setText(Text);
}

// "Write" on the "Sector" page; the edit's text goes as it stands.
void WriteRow(TMainForm& Form, int Row, QLineEdit* Edit)
{
    TOperationScope Scope(&Form);
    if (!Scope)
        return;
    if (!Form.FindAndVerifyRW(uint8_t(TMainForm::Tag(Form.GbSec1))))
        return;
    if (Form.WriteBlockLogged(BlockOf(Form.GbSec1, Row), Edit->text()))
        Form.BeepReader();
}

// "Initialize" / "Initial" on either page.
void InitRow(TMainForm& Form, bool (TMainForm::*FindAndVerify)(uint8_t), QGroupBox* Sector, int Row)
{
    TOperationScope Scope(&Form);
    if (!Scope)
        return;
    if (!(Form.*FindAndVerify)(uint8_t(TMainForm::Tag(Sector))))
        return;
    if (Form.InitValueBlock(BlockOf(Sector, Row)))
        Form.BeepReader();
}

// "Inc" / "Des" on the "Block" page.
void ValueRow(TMainForm& Form, uint8_t Operation, int Row)
{
    TOperationScope Scope(&Form);
    if (!Scope)
        return;
    Form.ValueOperation(Operation, Row);
}

} // namespace

// ------------------------------------------------------------ block requests

bool TMainForm::ReadBlockHex(uint8_t Block, QString& Text)
{
    Text.clear();
    uint8_t* Buf = Link->Buffer.data();
    BuildReadBlock(Buf, Block);
    if (ExchangeFrame() != 0)
        return false;
    // A short reply would leave earlier buffer bytes where the data belongs:
    // the frame must announce and truly carry all sixteen data bytes.
    if (Buf[0] < ReadReplyNeeds || Link->ReplyLength() < ReadReplyNeeds)
        return false;
    Text = BytesToHex(Buf + 2, BlockBytes);
    return true;
}

bool TMainForm::ReadBlockLogged(uint8_t Block, QString& Text)
{
    const bool Ok = ReadBlockHex(Block, Text);
    Log(Ok ? QString::asprintf("Read block%d success!", Block) : QStringLiteral("read block fail!"));
    return Ok;
}

bool TMainForm::WriteBlockHex(uint8_t Block, const QString& Text)
{
    uint8_t* Buf = Link->Buffer.data();
    switch (HexToBytes(Text, Buf + WriteDataOffset, BlockBytes)) {
    case THexResult::BadLength:
        MessageBox(QStringLiteral("pls. input complete data!"), QStringLiteral("Message"));
        return false;
    case THexResult::BadDigit:
        MessageBox(QStringLiteral("Pls. input correct data!"), QStringLiteral("Message"));
        return false;
    case THexResult::Ok:
        break;
    }
    if (Block % 4 == TrailerRow && !AccessBitsConsistent(Buf + WriteDataOffset)) {
        MessageBox(QStringLiteral("Pls. input correct control bit!"), QStringLiteral("message"));
        return false;
    }
    BuildWriteBlock(Buf, Block, Buf + WriteDataOffset);
    return ExchangeFrame() == 0;
}

bool TMainForm::WriteBlockLogged(uint8_t Block, const QString& Text)
{
    const bool Ok = WriteBlockHex(Block, Text);
    Log(Ok ? QString::asprintf("Wrote block%d success!", Block) : QStringLiteral("Wrote block fail!"));
    return Ok;
}

bool TMainForm::InitValueBlock(uint8_t Block)
{
    uint8_t Image[BlockBytes];
    BuildValueBlockImage(Image, Block);
    const bool Ok = WriteBlockHex(Block, BytesToHex(Image, BlockBytes));
    Log(Ok ? QString::asprintf("Initial block %d success!", Block) : QStringLiteral("Initial block fail!"));
    return Ok;
}

void TMainForm::ValueOperation(uint8_t Operation, int Row)
{
    const std::optional<uint32_t> Amount = HexNumber(TrimText(EdtBlockData->text()));
    if (!Amount) {
        MessageBox(QStringLiteral("pls. input correct block value!"), QStringLiteral("message"));
        return;
    }
    const uint8_t Block = BlockOf(GbSec2, Row);
    BuildValueOperation(Link->Buffer.data(), Operation, Block, *Amount);
    if (ExchangeFrame() == 0) {
        Log(QString::asprintf("block%d value operation success!", Block));
        BeepReader();
    } else {
        Log(QStringLiteral("block value operation fail!"));
    }
}

// ------------------------------------------------------------ "Sector" page

void TMainForm::Button1Click() { ReadRow(*this, &TMainForm::FindAndVerifyRW, GbSec1, 0, EdtHex0); }
void TMainForm::Button7Click() { ReadRow(*this, &TMainForm::FindAndVerifyRW, GbSec1, 1, EdtHex1); }
void TMainForm::Button5Click() { ReadRow(*this, &TMainForm::FindAndVerifyRW, GbSec1, 2, EdtHex2); }
void TMainForm::Button3Click() { ReadRow(*this, &TMainForm::FindAndVerifyRW, GbSec1, 3, EdtHex3); }

void TMainForm::BtnWriteBlock0Click() { WriteRow(*this, 0, EdtHex0); }
void TMainForm::Button6Click() { WriteRow(*this, 1, EdtHex1); }
void TMainForm::Button4Click() { WriteRow(*this, 2, EdtHex2); }
void TMainForm::Button8Click() { WriteRow(*this, 3, EdtHex3); }

void TMainForm::Button13Click() { InitRow(*this, &TMainForm::FindAndVerifyRW, GbSec1, 0); }
void TMainForm::Button14Click() { InitRow(*this, &TMainForm::FindAndVerifyRW, GbSec1, 1); }
void TMainForm::Button15Click() { InitRow(*this, &TMainForm::FindAndVerifyRW, GbSec1, 2); }
void TMainForm::Button16Click() { InitRow(*this, &TMainForm::FindAndVerifyRW, GbSec1, 3); }

// ------------------------------------------------------------- "Block" page

void TMainForm::Button18Click() { ReadRow(*this, &TMainForm::FindAndVerifyBlock, GbSec2, 0, EdtBlock0); }
void TMainForm::Button24Click() { ReadRow(*this, &TMainForm::FindAndVerifyBlock, GbSec2, 1, EdtBlock1); }
void TMainForm::Button22Click() { ReadRow(*this, &TMainForm::FindAndVerifyBlock, GbSec2, 2, EdtBlock2); }
void TMainForm::Button20Click() { ReadRow(*this, &TMainForm::FindAndVerifyBlock, GbSec2, 3, EdtBlock3); }

void TMainForm::Button19Click() { ValueRow(*this, 1, 0); }
void TMainForm::Button23Click() { ValueRow(*this, 1, 1); }
void TMainForm::Button21Click() { ValueRow(*this, 1, 2); }
void TMainForm::Button17Click() { ValueRow(*this, 1, 3); }

void TMainForm::Button25Click() { ValueRow(*this, 0, 0); }
void TMainForm::Button26Click() { ValueRow(*this, 0, 1); }
void TMainForm::Button27Click() { ValueRow(*this, 0, 2); }
void TMainForm::Button28Click() { ValueRow(*this, 0, 3); }

void TMainForm::Button29Click() { InitRow(*this, &TMainForm::FindAndVerifyBlock, GbSec2, 0); }
void TMainForm::Button30Click() { InitRow(*this, &TMainForm::FindAndVerifyBlock, GbSec2, 1); }
void TMainForm::Button31Click() { InitRow(*this, &TMainForm::FindAndVerifyBlock, GbSec2, 2); }
void TMainForm::Button32Click() { InitRow(*this, &TMainForm::FindAndVerifyBlock, GbSec2, 3); }

// ------------------------------------------------------------ "DownPS" page

bool TMainForm::ParseSectorKey(int Sector, bool Checked, const QString& Text)
{
    if (!Checked)
        return true;
    TKeyRow& Row = FKeyTable[Sector];
    Row.Chosen = true;
    if (HexToBytes(Text, Row.Key.data(), KeyBytes) != THexResult::Ok) {
        MessageBox(QStringLiteral("Pls. input correct data!"), QStringLiteral("Message"));
        return false;
    }
    return true;
}

void TMainForm::BtnDownKeysClick()
{
    TOperationScope Scope(this);
    if (!Scope)
        return;
    for (TKeyRow& Row : FKeyTable)
        Row.Chosen = false;
    // Every chosen key is checked before the first request goes out.
    for (int Sector = 0; Sector < 16; ++Sector) {
        if (!ParseSectorKey(Sector, Ck[Sector]->isChecked(), EdtKey[Sector]->text()))
            return;
    }
    const uint8_t KeyType = uint8_t(CmbDownKeyType->currentIndex());
    for (int Sector = 0; Sector < 16; ++Sector) {
        if (!FKeyTable[Sector].Chosen)
            continue;
        BuildDownloadKey(Link->Buffer.data(), KeyType, uint8_t(Sector), FKeyTable[Sector].Key.data());
        if (ExchangeFrame() != 0) {
            // The sectors before this one keep their new keys in the reader.
            Log(QString::asprintf("download sector%d password fail!", Sector));
            return;
        }
        Log(QString::asprintf("downlaod sector%d password success!", Sector));
    }
    BeepReader();
}

// ---------------------------------------------------------- "ChangePS" page

void TMainForm::BtnChangeKeyClick()
{
    TOperationScope Scope(this);
    if (!Scope)
        return;
    const QString KeyA = TrimText(EdtKeyA->text());
    const QString KeyB = TrimText(EdtKeyB->text());
    const QString Control = TrimText(EdtKeyC->text());
    if (KeyA.size() != 2 * KeyBytes || KeyB.size() != 2 * KeyBytes || Control.size() != 8) {
        MessageBox(QStringLiteral("Pls. input correct data"), QStringLiteral("Message"));
        return;
    }
    uint8_t Trailer[BlockBytes];
    if (HexToBytes(KeyA, Trailer, KeyBytes) != THexResult::Ok) {
        MessageBox(QStringLiteral("Pls. input correct KEYA!"), QStringLiteral("Message"));
        return;
    }
    if (HexToBytes(Control, Trailer + AccessBitsOffset, 4) != THexResult::Ok
        || !AccessBitsConsistent(Trailer)) {
        MessageBox(QStringLiteral("Pls. input correct control bit!"), QStringLiteral("message"));
        return;
    }
    if (HexToBytes(KeyB, Trailer + AccessBitsOffset + 4, KeyBytes) != THexResult::Ok) {
        MessageBox(QStringLiteral("Pls. input correct KEYB!"), QStringLiteral("Message"));
        return;
    }
    const int Sector = Tag(GbSec3);
    if (FindAndVerifyEdit(uint8_t(Sector))) {
        if (WriteBlockHex(uint8_t(4 * Sector + TrailerRow), BytesToHex(Trailer, BlockBytes)))
            Log(QStringLiteral("Modify password success!"));
        else
            Log(QStringLiteral("Modify password fail"));
    }
    // Once the input has passed its checks the reader beeps, whatever the card said.
    BeepReader();
}
