#pragma once
// What a link session tells its owner: the window shows it, a command-line
// tool prints it, a test records it. Every call comes on the thread that owns
// the session, in the order things happen; each has an empty default so an
// owner implements only what it shows.

#include "protocol/Commands.h"

#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

struct TCardJobRecord;

// Milliseconds on a clock that never goes back (CLOCK_MONOTONIC), for what
// lasts: elapsed times, minute marks, rates. A clock set back or forward
// does not move it. Empty: the system's own; a test may drive it.
using TSteadyClock = std::function<qint64()>;

inline qint64 SteadyMs(const TSteadyClock& Clock)
{
    if (Clock)
        return Clock();
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

enum class TLoopKind { Read,
    Write };

// The counters of a loop test, one label each in the window.
enum class TLoopCounter { SearchErr,
    Read,
    ReadErr,
    Write,
    WriteErr,
    CheckErr };

// Running totals of one loop-test run, never wrapped: what a record of the
// run keeps. Unlike the window's "search card" streak, a card that was not
// found and a sector that did not authenticate are counted apart.
struct TLoopTotals {
    int64_t Cycles = 0;
    int64_t SearchFailures = 0;
    int64_t AuthFailures = 0;
    int64_t Reads = 0;
    int64_t ReadErrors = 0;
    int64_t VerifyErrors = 0;
    int64_t Writes = 0;
    int64_t WriteErrors = 0;
    bool operator==(const TLoopTotals&) const = default;
};

// What a loop-test run was started with.
struct TLoopSettings {
    TLoopKind Kind = TLoopKind::Read;
    int Block = 1;
    int KeyType = 0; // stored key A (0) or B (1)
};

class TSessionEvents {
public:
    virtual ~TSessionEvents() = default;

    // One line for the message log.
    virtual void Log(const QString& /*Line*/) { }
    // A modal message box: information icon and an OK button (flags 64).
    virtual void MessageBox(const QString& /*Text*/, const QString& /*Caption*/, int /*Flags*/) { }
    // The link panel's new text: "Linked" or "Un-Linked".
    virtual void LinkStateChanged(const QString& /*Text*/) { }
    // An operation chain began (true) or the last one ended (false).
    virtual void OperationStateChanged(bool /*Running*/) { }
    // A search with serial number found a card.
    virtual void CardFound(const TCardId& /*Card*/) { }
    // A search found a card of this type code; an anticollision, this serial.
    virtual void CardTypeFound(uint8_t /*Type*/) { }
    virtual void SerialFound(const TSerial& /*Serial*/) { }
    // A port choice opened ComName, which led to Device; or could not open
    // it, for the system's Reason.
    virtual void PortOpened(const QString& /*ComName*/, const QString& /*Device*/) { }
    // Detail says it all in a sentence for standard error (the device, the
    // port map, what to do); the session itself prints nothing.
    virtual void PortOpenFailed(const QString& /*ComName*/, const QString& /*Reason*/, const QString& /*Detail*/) { }
    // A port choice opened ComName but the reader did not answer the link
    // test; Words say where and what to check.
    virtual void ReaderSilent(const QString& /*ComName*/, const QString& /*Words*/) { }

    // A loop test began: its counters start from the session's start values.
    virtual void LoopStarted(TLoopKind /*Kind*/) { }
    // The same with what it was started with, for a record of the run.
    virtual void LoopRunStarted(const TLoopSettings& /*Settings*/) { }
    // Before every cycle: the time since the run began.
    virtual void LoopTime(qint64 /*ElapsedSeconds*/) { }
    // A counter was counted: Value is what it shows, before any wrap.
    virtual void LoopCounted(TLoopCounter /*Counter*/, int32_t /*Value*/) { }
    // The block as read back, and the pattern about to be written.
    virtual void LoopReadData(const QString& /*Hex*/) { }
    virtual void LoopWriteData(const QString& /*Hex*/) { }
    // After every cycle: the run's totals so far.
    virtual void LoopCycleEnded(const TLoopTotals& /*Totals*/) { }
    virtual void LoopEnded(TLoopKind /*Kind*/) { }
    // The same with the run's final totals, for a record of the run.
    virtual void LoopRunEnded(const TLoopSettings& /*Settings*/, const TLoopTotals& /*Totals*/) { }

    // A whole-card job ended, whichever face ran it (session/CardWork.h).
    virtual void CardJobEnded(const TCardJobRecord& /*Record*/) { }

    // A close asked for while a chain ran may go ahead now.
    virtual void CloseReady() { }
};

// Every listener of a session, told in the order they subscribed: the face
// that drives it, the records, whatever else listens. A listener must
// unsubscribe before it goes.
class TSessionListeners final : public TSessionEvents {
public:
    void Add(TSessionEvents& Listener) { FList.push_back(&Listener); }
    void Remove(TSessionEvents& Listener) { std::erase(FList, &Listener); }

    void Log(const QString& Line) override { Each(&TSessionEvents::Log, Line); }
    void MessageBox(const QString& Text, const QString& Caption, int Flags) override
    {
        Each(&TSessionEvents::MessageBox, Text, Caption, Flags);
    }
    void LinkStateChanged(const QString& Text) override { Each(&TSessionEvents::LinkStateChanged, Text); }
    void OperationStateChanged(bool Running) override { Each(&TSessionEvents::OperationStateChanged, Running); }
    void CardFound(const TCardId& Card) override { Each(&TSessionEvents::CardFound, Card); }
    void CardTypeFound(uint8_t Type) override { Each(&TSessionEvents::CardTypeFound, Type); }
    void SerialFound(const TSerial& Serial) override { Each(&TSessionEvents::SerialFound, Serial); }
    void PortOpened(const QString& ComName, const QString& Device) override
    {
        Each(&TSessionEvents::PortOpened, ComName, Device);
    }
    void PortOpenFailed(const QString& ComName, const QString& Reason, const QString& Detail) override
    {
        Each(&TSessionEvents::PortOpenFailed, ComName, Reason, Detail);
    }
    void ReaderSilent(const QString& ComName, const QString& Words) override
    {
        Each(&TSessionEvents::ReaderSilent, ComName, Words);
    }
    void LoopStarted(TLoopKind Kind) override { Each(&TSessionEvents::LoopStarted, Kind); }
    void LoopRunStarted(const TLoopSettings& Settings) override { Each(&TSessionEvents::LoopRunStarted, Settings); }
    void LoopTime(qint64 ElapsedSeconds) override { Each(&TSessionEvents::LoopTime, ElapsedSeconds); }
    void LoopCounted(TLoopCounter Counter, int32_t Value) override { Each(&TSessionEvents::LoopCounted, Counter, Value); }
    void LoopReadData(const QString& Hex) override { Each(&TSessionEvents::LoopReadData, Hex); }
    void LoopWriteData(const QString& Hex) override { Each(&TSessionEvents::LoopWriteData, Hex); }
    void LoopCycleEnded(const TLoopTotals& Totals) override { Each(&TSessionEvents::LoopCycleEnded, Totals); }
    void LoopEnded(TLoopKind Kind) override { Each(&TSessionEvents::LoopEnded, Kind); }
    void LoopRunEnded(const TLoopSettings& Settings, const TLoopTotals& Totals) override
    {
        Each(&TSessionEvents::LoopRunEnded, Settings, Totals);
    }
    void CardJobEnded(const TCardJobRecord& Record) override { Each(&TSessionEvents::CardJobEnded, Record); }
    void CloseReady() override { Each(&TSessionEvents::CloseReady); }

private:
    template <class... TArgs, class... TValues>
    void Each(void (TSessionEvents::*Event)(TArgs...), TValues&&... Values)
    {
        // A copy: a listener may subscribe or unsubscribe while told.
        const std::vector<TSessionEvents*> list = FList;
        for (TSessionEvents* listener : list)
            (listener->*Event)(Values...);
    }

    std::vector<TSessionEvents*> FList;
};
