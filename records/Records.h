#pragma once
// What the records share: where they are kept, how a moment is written, and a
// file that takes whole lines at its end. Qt Core only; one thread.

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>

// Local date and time now, or whatever a test puts in its place.
using TRecordClock = std::function<QDateTime()>;
// One warning for the operator: a record that cannot be written.
using TRecordWarning = std::function<void(const QString& Warning)>;

// ${XDG_STATE_HOME:-~/.local/state}/orvelle; XDG_STATE_HOME counts only when
// it is an absolute path.
QString StateDirectory();
inline QString JournalDirectory() { return StateDirectory() + QStringLiteral("/journal"); }
inline QString RunsDirectory() { return StateDirectory() + QStringLiteral("/runs"); }

// ISO 8601 to the millisecond with the offset from UTC:
// 2026-12-08T07:05:31.123+01:00 (a UTC time too gets +00:00, never Z).
QString IsoTimeStamp(const QDateTime& When);

// A file opened for appending, written with one write(2) per record, so each
// record is in the system's hands (and survives a killed program) when Append
// returns; nothing is buffered here. Every failure comes back as the
// system's reason, and no call throws.
class TAppendFile {
public:
    TAppendFile() = default;
    ~TAppendFile();
    TAppendFile(const TAppendFile&) = delete;
    TAppendFile& operator=(const TAppendFile&) = delete;

    // Creates the folder and opens Path for appending (Exclusive: only a new
    // file). Gives an empty string, or why it could not.
    QString Open(const QString& Path, bool Exclusive = false);
    // Gives an empty string, or the path and why the bytes were not written.
    QString Append(const QByteArray& Bytes);
    void Close();
    bool IsOpen() const { return FFd >= 0; }
    // True when the last Open failed only because the file was there.
    bool Existed() const { return FExisted; }
    const QString& Path() const { return FPath; }

private:
    QString FPath;
    int FFd = -1;
    bool FExisted = false;
};
