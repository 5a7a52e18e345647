#pragma once
// A whole card in a file, in any of the forms card tools share:
//  - binary: exactly 1024 bytes, block 0 first, 16 bytes a block, the
//    trailers with their keys (what orvelle-sim --card and --save use);
//  - text: a line "+Sector: N", then the sector's four blocks as 32 hex
//    digits a line, '-' for each digit nobody knows (key A, which never
//    reads back, or a block the keys could not read); a sector left out is
//    unknown, and a line that starts with '#' is a comment;
//  - .eml: the 64 blocks as 64 lines of 32 hex digits, block 0 first;
//  - JSON: an object whose "blocks" object maps each block's number ("0" to
//    "63") to its 32 hex digits, and whose "Card" object's "UID" names the
//    card's serial number.
// A file is told by its content, never by its name: the first line that is
// no comment says which text form it is (after a UTF-8 byte-order mark, if
// any); anything else of exactly 1024 bytes is binary. A dump of a card of
// another size (4K, 2K, Mini) is refused by that size's name; a text dump
// that names a sector from 16 to 39 is told by the highest such sector it
// names: up to 31 a 2K card's, from 32 a 4K card's. A JSON dump with two
// "blocks" objects is refused like a block named twice.
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
#include <vector>

constexpr int CardBlocks = SectorCount * BlocksPerSector;
constexpr size_t DumpBytes = size_t(CardBlocks) * BlockBytes;
using TDumpBytes = std::array<uint8_t, DumpBytes>;

enum class TDumpFormat { Binary,
    Text,
    Eml,
    Json };

struct TDumpImage {
    // Unknown digits hold 0 here.
    std::array<TBlockData, CardBlocks> Data{};
    // Per byte, the bits of its known digits: 0xFF all known, 0xF0 only the
    // high digit, 0x00 none. A new image knows nothing.
    std::array<TBlockData, CardBlocks> Known{};
    // The card's serial number where a JSON dump names it, or the job that
    // read the card knew it; empty otherwise.
    std::vector<uint8_t> Serial;

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
// 64 lines of 32 upper-case digits; like the binary form, unknown digits
// come out as 0.
std::string EmlOf(const TDumpImage& Image);
// The JSON form as its tool writes it: "Created", "FileType" "mfcard", the
// "Card" object with its "UID" (DumpSerial), and the 64 "blocks".
std::string JsonOf(const TDumpImage& Image);
// The serial number a JSON dump names: block 0's first 4 bytes when the
// fifth is their check byte (a card of a 4-byte serial number), else the
// image's Serial, else block 0's first 7 bytes (where a card of a 7-byte
// serial number keeps it).
std::vector<uint8_t> DumpSerial(const TDumpImage& Image);

// Content in any form; FileName only names the file in the error. On bad
// content, none, and Error names the file and the line: a dump is taken
// whole or not at all.
std::optional<TDumpImage> ParseDump(std::string_view Content, const std::string& FileName, TFileError& Error);
std::optional<TDumpImage> ReadDumpFile(const std::string& Path, TFileError& Error);
// The form a dump is saved in, by its name (either case): binary for
// ".bin", ".mfd", ".raw" and ".dump", .eml for ".eml", JSON for ".json",
// text otherwise.
TDumpFormat DumpFormatForName(std::string_view Path);
// The form a word names: "bin", "text", "eml", "json"; none for another word.
std::optional<TDumpFormat> DumpFormatNamed(std::string_view Word);
// Replaces Path whole (SafeFile.h); Error says why not. The binary, .eml and
// JSON forms only of an image known in full: they have no way to say
// "unknown".
bool WriteDumpFile(const std::string& Path, const TDumpImage& Image, TDumpFormat Format, std::string& Error);
