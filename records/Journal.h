#pragma once
// TJournal: every line of the message log, and what an operator needs to know
// afterwards, appended to one file a day, <folder>/YYYY-MM-DD.log, each line
// after its local time stamp and a space:
//   2026-12-08T07:05:31.123+01:00 Search card successfule!
// A line is handed to the system as it is written (no buffer here), so a
// killed program loses at most the line being written. The date of each
// line's own time stamp chooses its file, so midnight starts the next file.
//
// The day's file is opened by protocol/SafeFile.h's rule (a link only of the
// user's own to a file of the user's, never a FIFO or a device). A file that
// does not end in a newline (a line cut short by a full disk) gets one before
// the next line; a file removed or renamed while the program runs is created
// again at the next line.
//
// A journal that cannot be written gives one warning and is then left alone
// for the rest of that day; the next day's first line tries that day's file
// (and warns again only if that fails too, for another file or another
// cause). Nothing here throws, and no call waits on more than one open and
// one write. One thread.

#include "protocol/SafeFile.h"
#include "records/Records.h"

#include <QDate>
#include <QSet>

struct TRunSettings;
struct TLoopTotals;

class TJournal {
public:
    // Folder: usually JournalDirectory(). Clock: local time by default.
    explicit TJournal(const QString& Folder, TRecordClock Clock = {});

    void Write(const QString& Line);

    // The file of one day.
    QString PathFor(const QDate& Day) const;
    const QString& Folder() const { return FFolder; }

    // Says why the journal cannot be written; once for each file and cause.
    TRecordWarning OnWarning;

private:
    void Fail(const QString& Reason);

    QString FFolder;
    TRecordClock FClock;
    TAppendFile FFile;
    QDate FDay;           // the day FFile belongs to, or the day that failed
    bool FFailed = false; // FDay's file could not be written: nothing more that day
    QSet<QString> FSaid;  // the files and causes told
};

// The wording of the journal's own lines, beside the window's.
namespace JournalText {
// Names the process, so that two programs sharing a journal can be told apart.
QString ProgramStarted(const QString& Program, const QString& Version);
QString ProgramEnded(const QString& Program, const QString& Version);
QString PortOpened(const QString& ComName, const QString& Device);
QString PortOpenFailed(const QString& ComName, const QString& Reason);
QString ReaderSilent(const QString& ComName, const QString& Words);
QString LinkPanel(const QString& Text);
QString LoopStarted(const TRunSettings& Settings);
QString LoopStopped(const TRunSettings& Settings, const TLoopTotals& Totals);
} // namespace JournalText
