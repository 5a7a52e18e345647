// Reader link (stub until built).
#include "reader/ReaderLink.h"

TReaderLink::TReaderLink(TComm& Device) : FDevice(Device) { }
int TReaderLink::ExchangeFrame() { return 20; }
bool TReaderLink::TestLink() { return false; }
void TReaderLink::BeepReader() { }
void TReaderLink::MyDeviceReceiveData(const void*, uint16_t) { }
int TReaderLink::ReplyLength() const { return 0; }
