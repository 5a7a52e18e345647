#pragma once
// Key files: one key of 12 hex digits a line; '#' starts a comment, on a
// line of its own or after a key; blank lines are ignored; a UTF-8
// byte-order mark at the start is too. A file with control characters
// (other than tab and line ends) is no text and no key file. And the keys
// every search tries after the operator's: the publicly documented defaults.

#include "protocol/CardLayout.h"
#include "protocol/DumpFile.h"
#include "protocol/SafeFile.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

using TKeyList = std::vector<TKey>;

// The built-in list, in the order they are tried: the factory key first.
const TKeyList& DefaultKeys();

// "A0A1A2A3A4A5": 12 upper-case digits.
std::string KeyText(const TKey& Key);
// 12 hex digits, either case, nothing else.
std::optional<TKey> ParseKey(std::string_view Text);

// The keys in Content in their order, duplicates kept; on a bad line none,
// and Error names FileName and the line.
std::optional<TKeyList> ParseKeyFile(std::string_view Content, const std::string& FileName, TFileError& Error);
std::optional<TKeyList> ReadKeyFile(const std::string& Path, TFileError& Error);

// More appended to Into, each key once: a key already there keeps its place.
void AddKeys(TKeyList& Into, std::span<const TKey> More);
// What a search tries: the operator's keys first, then the built-in list
// when asked, each key once, in that order.
TKeyList CandidateKeys(std::span<const TKey> UserKeys, bool BuiltIn = true);
// The keys a dump states in full in its trailers, each once: key A, and key
// B where known (a dump read from a card knows it only where readable).
TKeyList DumpKeys(const TDumpImage& Dump);
