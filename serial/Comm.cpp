// Serial component (stub until built).
#include "serial/Comm.h"

class TReadThread {};
class TWriteThread {};

TComm::TComm(QObject* Owner) : QObject(Owner) { }
TComm::~TComm() = default;
void TComm::OpenPort() { throw ECommsError("Error opening serial port"); }
void TComm::ClosePort() { }
bool TComm::WriteData(const void*, uint16_t) { return false; }
bool TComm::SendDataEmpty() const { return true; }
