#pragma once
// The parts of a link session that only tests and benchmarks look at: the
// serial component, the frame exchange and the reader over it; and what a
// test sets to see a rule without waiting for it: the counters a loop run
// starts from (just below the wrap limit) and the clock of its elapsed
// times. A face talks to the session alone.

#include "reader/CardReader.h"
#include "reader/ReaderLink.h"
#include "serial/Comm.h"
#include "session/LinkSession.h"

#include <utility>

struct TSessionProbe {
    static TComm& Device(TLinkSession& Session) { return *Session.FDevice; }
    static TReaderLink& Link(TLinkSession& Session) { return *Session.FLink; }
    static TCardReader& Reader(TLinkSession& Session) { return *Session.FReader; }
    static TLoopCounters& LoopStartCounters(TLinkSession& Session) { return Session.FLoopStartCounters; }
    static void SetSteady(TLinkSession& Session, TSteadyClock Clock) { Session.FSteady = std::move(Clock); }
};
