#pragma once
// Reading and replacing the files the operator names (card dumps, key
// files) without harm: only regular files are read or replaced, since a FIFO,
// a terminal or a device could wait forever or be acted on by the open, and
// a replacement goes to a new file renamed over the old one, so a failed
// save leaves the earlier file whole.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// What went wrong with a file, and where: "FILE:LINE: MESSAGE", or
// "FILE: MESSAGE" when no one line is at fault (Line 0; a message that
// begins with the file's name already is shown as it is), with the file
// name's and the quoted line's control characters shown as \xHH.
struct TFileError {
    std::string File;
    int Line = 0;
    std::string Message;
    std::string Text() const;
};

// The file a save to Path goes to: Path when it is a regular file we may
// write or is missing, the regular file a symbolic link at Path leads to;
// none for anything else, with Error saying why.
std::optional<std::string> SaveTarget(const std::string& Path, std::string& Error);
// Written to a new file of an unpredictable name beside the target, created
// exclusively, then renamed over the target; the file it replaces keeps its
// permissions, and no other file is touched.
bool ReplaceFile(const std::string& Path, std::span<const uint8_t> Bytes, std::string& Error);
// The whole content of Path when it is a regular file of at most MaxBytes;
// opened without waiting. Size is the file's size whenever it was learned,
// also when it is too large.
std::optional<std::vector<uint8_t>> ReadRegularFile(const std::string& Path, size_t MaxBytes, std::string& Error,
    uint64_t* Size = nullptr);
