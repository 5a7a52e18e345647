#pragma once
// Reading and writing the files the programs are given or keep (card dumps,
// key files, saved logs, the journal, run reports, the simulator's saves and
// records) so that nothing on disk can be turned against the user:
//
// - Only the last component of a path is looked at. A symbolic link there is
//   followed one level, and only when the link belongs to the user running
//   the program and leads to a regular file of that user's; a link someone
//   else planted would otherwise make us write their choice of file.
// - Only regular files are read or written: a FIFO, a terminal, a device or a
//   folder is refused, looked at before it is opened and opened without
//   waiting, so that nothing hangs and no device is acted on.
// - A file replaced whole is written to a new file of an unpredictable name
//   beside it (created exclusively, never through a link), flushed, checked
//   and synced, then renamed over the old one, keeping its mode: a reader
//   sees the old file or the new one, never half.
// - Every write, sync, close and rename is checked, and its failure is given
//   back with the system's reason.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// What went wrong with a file, and where: "FILE:LINE: MESSAGE",
// "FILE:LINE: column COLUMN: MESSAGE" for one cell of a table, or
// "FILE: MESSAGE" when no one line is at fault (Line 0; a message that
// begins with the file's name already is shown as it is), with the file
// name's and the quoted line's control characters shown as \xHH.
struct TFileError {
    std::string File;
    int Line = 0;
    std::string Message;
    int Column = 0; // 1-based; 0 when no one column is at fault
    std::string Text() const;
};

// The file a write to Path goes to: Path itself (there or to be created), or
// the regular file of the user's that the user's own link at Path names; none
// for anything else, with Error saying why.
std::optional<std::string> SaveTarget(const std::string& Path, std::string& Error);
// Replaces Path (by SaveTarget's rule) with Bytes whole, or leaves it as it
// was; no other file is touched.
bool ReplaceFile(const std::string& Path, std::span<const uint8_t> Bytes, std::string& Error);
// The whole content of Path when it is a regular file of at most MaxBytes;
// opened without waiting. Size is the file's size whenever it was learned,
// also when it is too large.
std::optional<std::vector<uint8_t>> ReadRegularFile(const std::string& Path, size_t MaxBytes, std::string& Error,
    uint64_t* Size = nullptr);
// The same rule for a file read as it streams: a descriptor open on Path
// (the caller closes it), or -1 with Error saying why.
int OpenRegularFile(const std::string& Path, uint64_t MaxBytes, std::string& Error, uint64_t* Size = nullptr);

// A file that takes records at its end, each handed to the system in one
// write(2), so a killed program loses at most the record being written;
// nothing is buffered here. Opened by SaveTarget's rule. A file that does not
// end in a newline (a line cut short by a full disk) gets one before the
// first record, so that record is not joined to the cut line. No call throws.
class TAppendFile {
public:
    TAppendFile() = default;
    ~TAppendFile();
    TAppendFile(const TAppendFile&) = delete;
    TAppendFile& operator=(const TAppendFile&) = delete;

    // Opens Path for appending, creating it when missing (Exclusive: only a
    // new file, never through a link). Gives an empty string, or
    // "PATH: reason".
    std::string Open(const std::string& Path, bool Exclusive = false);
    // Gives an empty string, or "PATH: reason" when not every byte was written.
    std::string Append(std::span<const char> Bytes);
    // True when Path no longer leads to the file that is open: removed,
    // renamed or replaced since.
    bool Moved() const;
    // Gives an empty string, or why closing failed.
    std::string Close();
    bool IsOpen() const { return FFd >= 0; }
    // True when the last Open failed only because the file was there.
    bool Existed() const { return FExisted; }

private:
    std::string FPath;
    int FFd = -1;
    bool FExisted = false;
    bool FNeedsNewline = false;
    dev_t FDev = 0;
    ino_t FIno = 0;
};

// The system calls a replacement commits with; a test puts failing ones in
// place to see a failed sync or rename handled.
struct TCommitCalls {
    int (*Sync)(int Fd);
    int (*Rename)(const char* From, const char* To);
};
TCommitCalls& CommitCalls();
