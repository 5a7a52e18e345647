#pragma once
// What a link session tells its owner: the window shows it, a command-line
// tool prints it, a test records it. Every call comes on the thread that owns
// the session, in the order things happen; each has an empty default so an
// owner implements only what it shows.

#include "protocol/Commands.h"

#include <QString>
#include <QtGlobal>

#include <cstdint>

enum class TLoopKind { Read,
    Write };

// The counters of a loop test, one label each in the window.
enum class TLoopCounter { SearchErr,
    Read,
    ReadErr,
    Write,
    WriteErr,
    CheckErr };

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

    // A loop test began: its counters start from the session's start values.
    virtual void LoopStarted(TLoopKind /*Kind*/) { }
    // Before every cycle: the time since the run began.
    virtual void LoopTime(qint64 /*ElapsedSeconds*/) { }
    // A counter was counted: Value is what it shows, before any wrap.
    virtual void LoopCounted(TLoopCounter /*Counter*/, int32_t /*Value*/) { }
    // The block as read back, and the pattern about to be written.
    virtual void LoopReadData(const QString& /*Hex*/) { }
    virtual void LoopWriteData(const QString& /*Hex*/) { }
    virtual void LoopEnded(TLoopKind /*Kind*/) { }

    // A close asked for while a chain ran may go ahead now.
    virtual void CloseReady() { }
};
