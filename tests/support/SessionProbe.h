#pragma once
// The parts of a link session that only tests and benchmarks of the line
// itself look at: the serial component, the frame exchange and the reader
// over it. A face talks to the session alone.

#include "reader/CardReader.h"
#include "reader/ReaderLink.h"
#include "serial/Comm.h"
#include "session/LinkSession.h"

struct TSessionProbe {
    static TComm& Device(TLinkSession& Session) { return *Session.FDevice; }
    static TReaderLink& Link(TLinkSession& Session) { return *Session.FLink; }
    static TCardReader& Reader(TLinkSession& Session) { return *Session.FReader; }
};
