// Endurance tests (stubs until built).
#include "app/MainForm.h"

void TMainForm::BtnStartReadClick() { }
void TMainForm::BtnStartWriteClick() { }
void TMainForm::BtnStopReadClick() { }
void TMainForm::CmbTestKeyTypeChange() { }
void TMainForm::EdtBlockChange() { }
