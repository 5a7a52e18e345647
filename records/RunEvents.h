#pragma once
// TRunEvents: the events file of a loop run, <report's stem>-events.csv,
// beside its minute rows: a row for every cycle that was not a success,
//   time,cycle,kind,count,detail
// with a run of the same failure (same kind and detail) in consecutive
// cycles as ONE row, its count the run's length. The time (local ISO 8601,
// milliseconds, offset) and the cycle (from 1) are the run's first. A row is
// written, in one write(2), when its run ends: at the next cycle that ends
// otherwise, or at Finish; so a killed program loses the open run at most.
//
// The kinds, in the order a cycle meets them:
//   no-card         the search found no card
//   authentication  the sector did not open with the stored key
//   write           the block was not written (loop write)
//   read            the block was not read
//   verification    the block read back other data than was written
//   link            the reader was not linked when the cycle ended (a port
//                   closed or a reader that does not answer), whatever failed
// No call throws; a file that cannot be written says why.

#include "protocol/SafeFile.h"
#include "session/SessionEvents.h"

#include <QDateTime>
#include <QString>

#include <vector>

// One failure of a cycle, or of a run of cycles.
struct TRunEvent {
    QString Kind;
    QString Detail;
    qint64 Count = 1;
};

// What failed between two totals a cycle apart (a success: nothing). While
// the reader is not linked, every failure is one of the link.
std::vector<TRunEvent> LoopFailures(const TLoopSettings& Settings, const TLoopTotals& Before, const TLoopTotals& After, bool Linked);

class TRunEvents {
public:
    // Opens Path, a new file, with its header line; "" or why not.
    QString Open(const QString& Path);
    // A cycle ended, numbered Cycle (its last, when the totals moved by
    // more), at When, with these failures (none: a success). "" or why a row
    // could not be written.
    QString Cycle(qint64 Cycle, const QDateTime& When, const std::vector<TRunEvent>& Failures);
    // The open run's row, and the file closed; "" or why not.
    QString Finish();
    void Close() { FFile.Close(); }

    static QString Header();

private:
    QString Write(); // the open run's row
    TAppendFile FFile;
    bool FOpen = false; // a run is open
    TRunEvent FRun;
    qint64 FFirstCycle = 0;
    qint64 FLastCycle = 0;
    QDateTime FFirstTime;
};
