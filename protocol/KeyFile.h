#pragma once
// Key files: one key of 12 hex digits a line; '#' starts a comment, on a
// line of its own or after a key; blank lines are ignored; a UTF-8
// byte-order mark at the start is too. A file with control characters
// (other than tab and line ends) is no text and no key file, with one
// exception: the binary key map that card tools write, 192 bytes, sixteen
// 6-byte keys A for sectors 0 to 15, then their sixteen keys B.
//
// Key maps: a card's keys by sector, in that binary form or as text, one
// line a sector "SECTOR KEYA KEYB", '-' for a key not known, '#' comments
// and blank lines as in a key file; a sector left out is not known.
//
// And the keys every search tries after the operator's: the publicly
// documented defaults.

#include "protocol/CardLayout.h"
#include "protocol/DumpFile.h"
#include "protocol/SafeFile.h"

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

using TKeyList = std::vector<TKey>;

// The keys found for one sector; either may be missing.
struct TSectorKeys {
    std::optional<TKey> KeyA;
    std::optional<TKey> KeyB;
    bool operator==(const TSectorKeys&) const = default;
};
using TKeyMap = std::array<TSectorKeys, SectorCount>;

// The binary key map's size.
constexpr size_t KeyMapBytes = 2 * size_t(SectorCount) * size_t(KeyBytes);

// The built-in list, in the order they are tried: the factory key first.
const TKeyList& DefaultKeys();

// "A0A1A2A3A4A5": 12 upper-case digits.
std::string KeyText(const TKey& Key);
// 12 hex digits, either case, nothing else.
std::optional<TKey> ParseKey(std::string_view Text);

// The keys in Content in their order, duplicates kept (a binary key map's
// keys A, then its keys B); on a bad line none, and Error names FileName and
// the line.
std::optional<TKeyList> ParseKeyFile(std::string_view Content, const std::string& FileName, TFileError& Error);
// A file that is no key file but a card dump in any form ParseDump reads is
// taken for the keys its trailers state (DumpKeys), and DumpTrailers, when
// given, is set to the number of trailers that state one; a dump that
// states none is refused.
std::optional<TKeyList> ReadKeyFile(const std::string& Path, TFileError& Error, int* DumpTrailers = nullptr);

// More appended to Into, each key once: a key already there keeps its place.
void AddKeys(TKeyList& Into, std::span<const TKey> More);
// What a search tries: the operator's keys first, then the built-in list
// when asked, each key once, in that order.
TKeyList CandidateKeys(std::span<const TKey> UserKeys, bool BuiltIn = true);
// The keys a dump states in full in its trailers, each once: key A, and key
// B where known (a dump read from a card knows it only where readable).
TKeyList DumpKeys(const TDumpImage& Dump);

// A key map in either form; on bad content none, and Error names FileName
// and the line.
std::optional<TKeyMap> ParseKeyMap(std::string_view Content, const std::string& FileName, TFileError& Error);
std::optional<TKeyMap> ReadKeyMapFile(const std::string& Path, TFileError& Error);
// The text form: sixteen lines "SECTOR KEYA KEYB", '-' for a key not known.
std::string KeyMapText(const TKeyMap& Map);
// The 192-byte form; a key not known as zeros (WriteKeyMapFile refuses
// such a map).
std::string BinaryKeyMap(const TKeyMap& Map);
// Replaces Path whole (SafeFile.h) with Map in the text form, or with
// Binary the 192-byte form, which has no way to say "unknown": refused,
// with Error, unless every key is known.
bool WriteKeyMapFile(const std::string& Path, const TKeyMap& Map, bool Binary, std::string& Error);
