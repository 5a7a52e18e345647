// Block data, value blocks, key download and trailer change (stubs until built).
#include "app/MainForm.h"

bool TMainForm::ReadBlockHex(uint8_t /*Block*/, QString& /*Text*/) { return false; }
bool TMainForm::ReadBlockLogged(uint8_t /*Block*/, QString& /*Text*/) { return false; }
bool TMainForm::WriteBlockHex(uint8_t /*Block*/, const QString& /*Text*/) { return false; }
bool TMainForm::WriteBlockLogged(uint8_t /*Block*/, const QString& /*Text*/) { return false; }
bool TMainForm::InitValueBlock(uint8_t /*Block*/) { return false; }
void TMainForm::ValueOperation(uint8_t /*Operation*/, int /*Row*/) { }
void TMainForm::Button1Click() { }
void TMainForm::Button7Click() { }
void TMainForm::Button5Click() { }
void TMainForm::Button3Click() { }
void TMainForm::BtnWriteBlock0Click() { }
void TMainForm::Button6Click() { }
void TMainForm::Button4Click() { }
void TMainForm::Button8Click() { }
void TMainForm::Button13Click() { }
void TMainForm::Button14Click() { }
void TMainForm::Button15Click() { }
void TMainForm::Button16Click() { }
void TMainForm::Button18Click() { }
void TMainForm::Button24Click() { }
void TMainForm::Button22Click() { }
void TMainForm::Button20Click() { }
void TMainForm::Button19Click() { }
void TMainForm::Button23Click() { }
void TMainForm::Button21Click() { }
void TMainForm::Button17Click() { }
void TMainForm::Button25Click() { }
void TMainForm::Button26Click() { }
void TMainForm::Button27Click() { }
void TMainForm::Button28Click() { }
void TMainForm::Button29Click() { }
void TMainForm::Button30Click() { }
void TMainForm::Button31Click() { }
void TMainForm::Button32Click() { }
bool TMainForm::ParseSectorKey(int /*Sector*/, bool /*Checked*/, const QString& /*Text*/) { return false; }
void TMainForm::BtnDownKeysClick() { }
void TMainForm::BtnChangeKeyClick() { }
