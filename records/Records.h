#pragma once
// What the records share: where they are kept and how a moment is written.
// Their files are written by protocol/SafeFile.h. Qt Core only; one thread.

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>
#include <string>

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

// Creates Path's folder and its parents as needed; an empty string, or the
// folder and why it could not be made.
QString MakeFolderOf(const QString& Path);

// A path in the system's encoding, and back.
std::string LocalPath(const QString& Path);
QString FromLocalPath(const std::string& Path);
