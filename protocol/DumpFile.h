#pragma once
// A whole card in a file, in either of the two forms card tools share:
//  - binary: exactly 1024 bytes, block 0 first, 16 bytes a block, the
//    trailers with their keys (what orvelle-sim --card and --save use);
//  - text: for each sector a line "+Sector: N", then its four blocks as 32
//    hex digits a line, '-' for each digit nobody knows (key A, which never
//    reads back, or a block the keys could not read).
// A file is told by its content, never by its name: text starts with
// "+Sector:" (after a UTF-8 byte-order mark, if any), anything else of
// exactly 1024 bytes is binary.
//
// Unknown is kept per hex digit (nibble), not per byte: the text form marks
// digits, and a hand-edited file may know half a byte. A read card only ever
// leaves whole bytes unknown.

#include "protocol/CardLayout.h"
#include "protocol/SafeFile.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

constexpr int CardBlocks = SectorCount * BlocksPerSector;
constexpr size_t DumpBytes = size_t(CardBlocks) * BlockBytes;
using TDumpBytes = std::array<uint8_t, DumpBytes>;

enum class TDumpFormat { Binary,
    Text };

struct TDumpImage {
    // Unknown digits hold 0 here.
    std::array<TBlockData, CardBlocks> Data{};
    // Per byte, the bits of its known digits: 0xFF all known, 0xF0 only the
    // high digit, 0x00 none. A new image knows nothing.
    std::array<TBlockData, CardBlocks> Known{};

    // A block read in full.
    void SetBlock(int Block, const TBlockData& Bytes);
    // Count bytes of Block from Offset on, known from now.
    void SetBytes(int Block, int Offset, const uint8_t* Bytes, int Count);
    bool BlockKnown(int Block) const;
    bool AllKnown() const;
    bool operator==(const TDumpImage&) const = default;
};

// Every byte known.
TDumpImage ImageFromBinary(const TDumpBytes& Bytes);
// The binary form cannot say "unknown": unknown digits become 0 here
// (WriteDumpFile refuses such an image).
TDumpBytes BinaryOf(const TDumpImage& Image);
// "+Sector: 0" ... "+Sector: 15", upper-case digits, '\n' line ends.
std::string TextOf(const TDumpImage& Image);

// Content in either form; FileName only names the file in the error. On a
// bad line, none, and Error names the file and the line: a dump is taken
// whole or not at all.
std::optional<TDumpImage> ParseDump(std::string_view Content, const std::string& FileName, TFileError& Error);
std::optional<TDumpImage> ReadDumpFile(const std::string& Path, TFileError& Error);
// The form a dump is saved in: binary when the name ends in ".bin" or
// ".mfd" (either case), text otherwise.
TDumpFormat DumpFormatForName(std::string_view Path);
// Replaces Path whole (SafeFile.h); Error says why not. The binary form
// only of an image known in full: it has no way to say "unknown".
bool WriteDumpFile(const std::string& Path, const TDumpImage& Image, TDumpFormat Format, std::string& Error);
