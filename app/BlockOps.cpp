// Block data, value blocks, reader key download and sector trailer change:
// the "Sector", "Block", "DownPS" and "ChangePS" pages.
#include "app/MainForm.h"
#include "protocol/CardLayout.h"
#include "protocol/Commands.h"
#include "reader/CardReader.h"
#include "reader/HexText.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>

namespace {

uint8_t BlockOfRow(const QGroupBox* Sector, int Row)
{
    return BlockOf(TMainForm::Tag(Sector), Row);
}

// "Read" on either page: find and verify, read, beep after success only, and
// show what the read returned (empty after a failed read).
void ReadRow(TMainForm& Form, bool (TMainForm::*FindAndVerify)(uint8_t), QGroupBox* Sector, int Row,
    QLineEdit* Edit)
{
    TOperationScope scope(Form.Session());
    if (!scope)
        return;
    if (!(Form.*FindAndVerify)(uint8_t(TMainForm::Tag(Sector))))
        return;
    QString text;
    if (Form.ReadBlockLogged(BlockOfRow(Sector, Row), text))
        Form.BeepReader();
    Edit->setText(text);
}

// "Write" on the "Sector" page; the edit's text goes as it stands.
void WriteRow(TMainForm& Form, QGroupBox* Sector, int Row, QLineEdit* Edit)
{
    TOperationScope scope(Form.Session());
    if (!scope)
        return;
    if (!Form.FindAndVerifyRW(uint8_t(TMainForm::Tag(Sector))))
        return;
    if (Form.WriteBlockLogged(BlockOfRow(Sector, Row), Edit->text()))
        Form.BeepReader();
}

// "Initialize" / "Initial" on either page.
void InitRow(TMainForm& Form, bool (TMainForm::*FindAndVerify)(uint8_t), QGroupBox* Sector, int Row)
{
    TOperationScope scope(Form.Session());
    if (!scope)
        return;
    if (!(Form.*FindAndVerify)(uint8_t(TMainForm::Tag(Sector))))
        return;
    if (Form.InitValueBlock(BlockOfRow(Sector, Row)))
        Form.BeepReader();
}

// "Inc" / "Des" on the "Block" page.
void ValueRow(TMainForm& Form, uint8_t Operation, int Row)
{
    TOperationScope scope(Form.Session());
    if (!scope)
        return;
    Form.ValueOperation(Operation, Row);
}

} // namespace

// ------------------------------------------------------------ block requests

bool TMainForm::ReadBlockHex(uint8_t Block, QString& Text)
{
    Text.clear();
    const std::optional<TBlockData> blockData = Reader().ReadBlock(Block);
    if (!blockData)
        return false;
    Text = BytesToHex(blockData->data(), BlockBytes);
    return true;
}

bool TMainForm::ReadBlockLogged(uint8_t Block, QString& Text)
{
    const bool ok = ReadBlockHex(Block, Text);
    Log(ok ? QString::asprintf("Read block%d success!", Block) : QStringLiteral("read block fail!"));
    return ok;
}

bool TMainForm::WriteBlockHex(uint8_t Block, const QString& Text)
{
    TBlockData blockData{};
    switch (HexToBytes(Text, blockData.data(), BlockBytes)) {
    case THexResult::BadLength:
        MessageBox(QStringLiteral("pls. input complete data!"), QStringLiteral("Message"));
        return false;
    case THexResult::BadDigit:
        MessageBox(QStringLiteral("Pls. input correct data!"), QStringLiteral("Message"));
        return false;
    case THexResult::Ok:
        break;
    }
    if (IsTrailer(Block) && !AccessBitsConsistent(blockData.data())) {
        MessageBox(QStringLiteral("Pls. input correct control bit!"), QStringLiteral("message"));
        return false;
    }
    return Reader().WriteBlock(Block, blockData);
}

bool TMainForm::WriteBlockLogged(uint8_t Block, const QString& Text)
{
    const bool ok = WriteBlockHex(Block, Text);
    Log(ok ? QString::asprintf("Wrote block%d success!", Block) : QStringLiteral("Wrote block fail!"));
    return ok;
}

bool TMainForm::InitValueBlock(uint8_t Block)
{
    const TBlockData image = MakeValueBlock(0, Block);
    const bool ok = WriteBlockHex(Block, BytesToHex(image.data(), BlockBytes));
    Log(ok ? QString::asprintf("Initial block %d success!", Block) : QStringLiteral("Initial block fail!"));
    return ok;
}

void TMainForm::ValueOperation(uint8_t Operation, int Row)
{
    const std::optional<uint32_t> amount = HexNumber(TrimText(EdtBlockData->text()));
    if (!amount) {
        MessageBox(QStringLiteral("pls. input correct block value!"), QStringLiteral("message"));
        return;
    }
    const uint8_t block = BlockOfRow(GbSec2, Row);
    if (Reader().ValueOperation(Operation, block, *amount)) {
        Log(QString::asprintf("block%d value operation success!", block));
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

void TMainForm::BtnWriteBlock0Click() { WriteRow(*this, GbSec1, 0, EdtHex0); }
void TMainForm::Button6Click() { WriteRow(*this, GbSec1, 1, EdtHex1); }
void TMainForm::Button4Click() { WriteRow(*this, GbSec1, 2, EdtHex2); }
void TMainForm::Button8Click() { WriteRow(*this, GbSec1, 3, EdtHex3); }

void TMainForm::Button13Click() { InitRow(*this, &TMainForm::FindAndVerifyRW, GbSec1, 0); }
void TMainForm::Button14Click() { InitRow(*this, &TMainForm::FindAndVerifyRW, GbSec1, 1); }
void TMainForm::Button15Click() { InitRow(*this, &TMainForm::FindAndVerifyRW, GbSec1, 2); }
void TMainForm::Button16Click() { InitRow(*this, &TMainForm::FindAndVerifyRW, GbSec1, 3); }

// ------------------------------------------------------------- "Block" page

void TMainForm::Button18Click() { ReadRow(*this, &TMainForm::FindAndVerifyBlock, GbSec2, 0, EdtBlock0); }
void TMainForm::Button24Click() { ReadRow(*this, &TMainForm::FindAndVerifyBlock, GbSec2, 1, EdtBlock1); }
void TMainForm::Button22Click() { ReadRow(*this, &TMainForm::FindAndVerifyBlock, GbSec2, 2, EdtBlock2); }
void TMainForm::Button20Click() { ReadRow(*this, &TMainForm::FindAndVerifyBlock, GbSec2, 3, EdtBlock3); }

void TMainForm::Button19Click() { ValueRow(*this, ValueOp::Increment, 0); }
void TMainForm::Button23Click() { ValueRow(*this, ValueOp::Increment, 1); }
void TMainForm::Button21Click() { ValueRow(*this, ValueOp::Increment, 2); }
void TMainForm::Button17Click() { ValueRow(*this, ValueOp::Increment, 3); }

void TMainForm::Button25Click() { ValueRow(*this, ValueOp::Decrement, 0); }
void TMainForm::Button26Click() { ValueRow(*this, ValueOp::Decrement, 1); }
void TMainForm::Button27Click() { ValueRow(*this, ValueOp::Decrement, 2); }
void TMainForm::Button28Click() { ValueRow(*this, ValueOp::Decrement, 3); }

void TMainForm::Button29Click() { InitRow(*this, &TMainForm::FindAndVerifyBlock, GbSec2, 0); }
void TMainForm::Button30Click() { InitRow(*this, &TMainForm::FindAndVerifyBlock, GbSec2, 1); }
void TMainForm::Button31Click() { InitRow(*this, &TMainForm::FindAndVerifyBlock, GbSec2, 2); }
void TMainForm::Button32Click() { InitRow(*this, &TMainForm::FindAndVerifyBlock, GbSec2, 3); }

// ------------------------------------------------------------ "DownPS" page

bool TMainForm::ParseSectorKey(int Sector, bool Checked, const QString& Text)
{
    if (!Checked)
        return true;
    TKeyRow& row = FKeyTable[Sector];
    row.Chosen = true;
    if (HexToBytes(Text, row.Key.data(), KeyBytes) != THexResult::Ok) {
        MessageBox(QStringLiteral("Pls. input correct data!"), QStringLiteral("Message"));
        return false;
    }
    return true;
}

void TMainForm::BtnDownKeysClick()
{
    TOperationScope scope(Session());
    if (!scope)
        return;
    for (TKeyRow& row : FKeyTable)
        row.Chosen = false;
    // Every chosen key is checked before the first request goes out.
    for (int sector = 0; sector < 16; ++sector) {
        if (!ParseSectorKey(sector, Ck[sector]->isChecked(), EdtKey[sector]->text()))
            return;
    }
    const uint8_t keyType = uint8_t(CmbDownKeyType->currentIndex());
    for (int sector = 0; sector < 16; ++sector) {
        if (!FKeyTable[sector].Chosen)
            continue;
        if (!Reader().DownloadKey(keyType, uint8_t(sector), FKeyTable[sector].Key)) {
            // The sectors before this one keep their new keys in the reader.
            Log(QString::asprintf("download sector%d password fail!", sector));
            return;
        }
        Log(QString::asprintf("downlaod sector%d password success!", sector));
    }
    BeepReader();
}

// ---------------------------------------------------------- "ChangePS" page

void TMainForm::BtnChangeKeyClick()
{
    TOperationScope scope(Session());
    if (!scope)
        return;
    const QString keyA = TrimText(EdtKeyA->text());
    const QString keyB = TrimText(EdtKeyB->text());
    const QString control = TrimText(EdtKeyC->text());
    if (keyA.size() != 2 * KeyBytes || keyB.size() != 2 * KeyBytes || control.size() != 8) {
        MessageBox(QStringLiteral("Pls. input correct data"), QStringLiteral("Message"));
        return;
    }
    TBlockData trailer{};
    if (HexToBytes(keyA, trailer.data(), KeyBytes) != THexResult::Ok) {
        MessageBox(QStringLiteral("Pls. input correct KEYA!"), QStringLiteral("Message"));
        return;
    }
    if (HexToBytes(control, trailer.data() + AccessBitsOffset, 4) != THexResult::Ok
        || !AccessBitsConsistent(trailer.data())) {
        MessageBox(QStringLiteral("Pls. input correct control bit!"), QStringLiteral("message"));
        return;
    }
    if (HexToBytes(keyB, trailer.data() + TrailerKeyBOffset, KeyBytes) != THexResult::Ok) {
        MessageBox(QStringLiteral("Pls. input correct KEYB!"), QStringLiteral("Message"));
        return;
    }
    const int sector = Tag(GbSec3);
    if (FindAndVerifyEdit(uint8_t(sector))) {
        if (WriteBlockHex(BlockOf(sector, TrailerRow), BytesToHex(trailer.data(), BlockBytes)))
            Log(QStringLiteral("Modify password success!"));
        else
            Log(QStringLiteral("Modify password fail"));
    }
    // Once the input has passed its checks the reader beeps, whatever the card said.
    BeepReader();
}
