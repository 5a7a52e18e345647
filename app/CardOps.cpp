// Card operations (stubs until built).
#include "app/MainForm.h"

bool TMainForm::SearchCard() { return false; }
bool TMainForm::SearchCardSerial() { return false; }
bool TMainForm::AnticollCard() { return false; }
bool TMainForm::SelectCard() { return false; }
bool TMainForm::HaltCard() { return false; }
void TMainForm::Button9Click() { }
void TMainForm::Button10Click() { }
void TMainForm::Button11Click() { }
void TMainForm::Button12Click() { }
bool TMainForm::VerifySectorKey(uint8_t /*KeySource*/, uint8_t /*Sector*/, const QString& /*TypedKey*/) { return false; }
bool TMainForm::AuthSector(uint8_t /*KeySource*/, uint8_t /*Sector*/) { return false; }
bool TMainForm::FindAndVerifyRW(uint8_t /*Sector*/) { return false; }
bool TMainForm::FindAndVerifyBlock(uint8_t /*Sector*/) { return false; }
bool TMainForm::FindAndVerifyEdit(uint8_t /*Sector*/) { return false; }
