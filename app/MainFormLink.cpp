// Link and start-up (stubs until built).
#include "app/MainForm.h"
#include "reader/ReaderLink.h"
#include "serial/Comm.h"

#include <QCloseEvent>
#include <QShowEvent>

void TMainForm::CreateComponents()
{
    MyDevice = new TComm(this);
    Link = std::make_unique<TReaderLink>(*MyDevice);
}
void TMainForm::showEvent(QShowEvent* Event) { QMainWindow::showEvent(Event); }
void TMainForm::closeEvent(QCloseEvent* Event) { QMainWindow::closeEvent(Event); }
void TMainForm::FormCreate() { }
void TMainForm::FormShow() { }
void TMainForm::RgPortClick() { }
void TMainForm::ChkBeepClick() { }
void TMainForm::EdtMSChange() { }
void TMainForm::RgQueryTypeClick() { }
void TMainForm::MyDeviceReceiveData(TComm* /*Sender*/, const void* /*Buffer*/, uint16_t /*BufferLength*/) { }
void TMainForm::MyDeviceModemStateChange(TComm* /*Sender*/, uint32_t /*ModemEvent*/) { }
int TMainForm::ExchangeFrame() { return 0; }
bool TMainForm::TestLink() { return false; }
void TMainForm::BeepReader() { }
bool TMainForm::BeginOperation() { return false; }
void TMainForm::EndOperation() { }
void TMainForm::RunPendingPortChange() { }
