#pragma once
// TRunReport: the record of one loop-test run, written while it runs.
//
// <folder>/YYYYMMDD-HHMMSS-loop-read.csv (or -loop-write.csv) from the run's
// local start time; a second run started in the same second gets -2, -3, ...
// before ".csv". A header line, then a row of running totals once a minute of
// the run has passed since the last row (Update, after every cycle), and a
// last row at Finish:
//   time,elapsed_s,cycles,search_failures,auth_failures,reads,read_errors,verify_errors,writes,write_errors,
//   cycles_per_min,search_fail_pct,auth_fail_pct,read_error_pct,verify_error_pct,write_error_pct
// "time" is the row's local time (ISO 8601, milliseconds, offset), elapsed_s
// the whole seconds since the start. The columns after write_errors came
// later and stay after them (tools read the columns by position), each with
// two decimals, or empty where it would divide by 0: cycles_per_min the
// cycles since the last row (the start, for the first) per minute of the
// time since; the percentages over the run so far, search_fail_pct and
// auth_fail_pct of the cycles, read_error_pct of the reads tried (reads +
// read_errors), verify_error_pct of the blocks written (writes, each read
// back), write_error_pct of the writes tried (writes + write_errors). Elapsed time and the minute marks run
// on the steady clock, so a clock set back or forward mid-run neither loses
// nor adds a minute; the times shown stay the wall clock's. A cycle that
// spans several minute marks gives one row, for the latest. Each row is
// handed to the system as it is written, so a killed program leaves every
// full minute in the report.
//
// Every cycle that was not a success goes to the events file beside it,
// <stem>-events.csv (records/RunEvents.h), opened with the CSV.
//
// Finish also writes the summary beside it (the same name, .json: settings,
// start, stop, totals, cycles per minute), whole or not at all
// (protocol/SafeFile.h's ReplaceFile).
//
// A report that cannot be written gives one warning ("Report not written:
// CAUSE") and the run goes on unrecorded. Nothing here throws. One thread.

#include "protocol/SafeFile.h"
#include "records/Records.h"
#include "records/RunEvents.h"
#include "session/SessionEvents.h"

// What a reader of a run's report needs to know about how it ran.
struct TRunSettings {
    TLoopSettings Loop;
    QString Port;             // COM1..COM4
    QString Device;           // what the port led to, when known
    int ReplyTimeoutMs = 500; // the reader's reply time-out
    bool Beep = true;
    int SearchMode = 0;
};

class TRunReport {
public:
    static constexpr qint64 RowIntervalMs = 60 * 1000;

    // Folder: usually RunsDirectory(). The run starts at Clock() (local time
    // by default) and Steady() (the steady clock by default); the CSV and its
    // header are written at once.
    TRunReport(const QString& Folder, const TRunSettings& Settings, TRecordClock Clock = {},
        TRecordWarning OnWarning = {}, TSteadyClock Steady = {});
    ~TRunReport();
    TRunReport(const TRunReport&) = delete;
    TRunReport& operator=(const TRunReport&) = delete;

    // After every cycle, with the run's totals so far.
    void Update(const TLoopTotals& Totals);
    // The reader is linked, or not (the link panel's text changed): a cycle
    // that fails while it is not is an event of the link.
    void SetLinked(bool Linked) { FLinked = Linked; }
    // The last row and the summary; gives the CSV's path once both are
    // whole, or an empty string when either could not be written (Problem
    // says why; a CSV whose rows are whole stays). Once only: later calls
    // give the same answer and write nothing.
    QString Finish(const TLoopTotals& Totals);
    // Why the report is not whole ("" while it is).
    const QString& Problem() const { return FProblem; }

    // The CSV being written, or finished ("" when the run goes unrecorded).
    QString CsvPath() const;
    const QDateTime& Start() const { return FStart; }

    static QString Header();
    // The events file of the CSV at Csv.
    static QString EventsPath(const QString& Csv);
    static QString KindName(TLoopKind Kind); // "loop-read", "loop-write"

private:
    QDateTime Now() const;
    qint64 ElapsedMs() const;
    void WriteRow(const QDateTime& When, qint64 ElapsedMs, const TLoopTotals& Totals);
    void NoteEvents(const QDateTime& When, const TLoopTotals& Totals);
    void WriteSummary(const QDateTime& Stop, qint64 ElapsedMs, const TLoopTotals& Totals);
    void Fail(const QString& Reason);

    TRunSettings FSettings;
    TRecordClock FClock;
    TRecordWarning FOnWarning;
    TSteadyClock FSteady;
    QDateTime FStart;
    qint64 FSteadyStart = 0;
    TAppendFile FFile;
    QString FCsv;
    bool FFailed = false;
    bool FFinished = false;
    QString FResult;
    QString FProblem;
    qint64 FLastMinute = 0; // the minute mark of the last row
    qint64 FLastRowMs = 0;  // the elapsed time and cycles of the last row
    int64_t FLastRowCycles = 0;
    TRunEvents FEvents;
    TLoopTotals FCycleTotals; // after the last cycle, to see what it moved
    bool FLinked = true;
};
