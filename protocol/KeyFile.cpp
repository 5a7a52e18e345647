#include "protocol/KeyFile.h"

#include "protocol/HexDigit.h"
#include "protocol/PlainText.h"

#include <algorithm>
#include <cstddef>
#include <unordered_set>

namespace {

// Tens of thousands of keys; a larger file is not a key file.
constexpr size_t MaxKeyFileBytes = 1024 * 1024;
// Of a bad line, as much as tells what it is.
constexpr size_t QuotedBytes = 40;

// The 192-byte binary key map. Its keys may be any bytes, but a file of
// text lines is a text file, whatever its size.
bool IsBinaryKeyMap(std::string_view Content)
{
    return Content.size() == KeyMapBytes
        && !(IsPlainText(Content) && IsUtf8(Content) && Content.find('\n') != std::string_view::npos);
}

TKey KeyAt(std::string_view Content, size_t Index)
{
    TKey key{};
    std::copy_n(Content.begin() + std::ptrdiff_t(Index * KeyBytes), KeyBytes, key.begin());
    return key;
}

std::string_view Trimmed(std::string_view Line)
{
    const size_t first = Line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return Line.substr(first, Line.find_last_not_of(" \t\r") - first + 1);
}

// Calls Take with each line that holds more than a comment, trimmed, and its
// number; stops at the first false.
template <class TTake>
bool EachLine(std::string_view Content, TTake&& Take)
{
    int lineNo = 0;
    while (!Content.empty()) {
        ++lineNo;
        const size_t end = Content.find('\n');
        std::string_view line = Content.substr(0, end);
        // The comment off, found with std::find: GCC 12 at -O3 takes
        // string_view::find's bound for more than any object can hold (a false
        // -Wstringop-overread) once the headers come precompiled.
        line = Trimmed(line.substr(0, size_t(std::find(line.begin(), line.end(), '#') - line.begin())));
        Content = end == std::string_view::npos ? std::string_view() : Content.substr(end + 1);
        if (!line.empty() && !Take(line, lineNo))
            return false;
    }
    return true;
}

// A key as a number, for a set of keys.
uint64_t KeyNumber(const TKey& Key)
{
    uint64_t number = 0;
    for (const uint8_t b : Key)
        number = number << 8 | b;
    return number;
}

} // namespace

const TKeyList& DefaultKeys()
{
    static const TKeyList keys = [] {
        TKeyList out;
        for (const char* text : {"FFFFFFFFFFFF", "A0A1A2A3A4A5", "D3F7D3F7D3F7", "000000000000", "B0B1B2B3B4B5",
                 "AABBCCDDEEFF", "4D3A99C351DD", "1A982C7E459A", "714C5C886E97", "587EE5F9350F", "A0478CC39091",
                 "533CB6C723F6", "8FD0A4F256E9"})
            out.push_back(*ParseKey(text));
        return out;
    }();
    return keys;
}

std::string KeyText(const TKey& Key)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (const uint8_t b : Key) {
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

std::optional<TKey> ParseKey(std::string_view Text)
{
    if (Text.size() != 2 * KeyBytes)
        return std::nullopt;
    TKey key{};
    for (size_t i = 0; i < Text.size(); ++i) {
        const int v = HexDigitValue(Text[i]);
        if (v < 0)
            return std::nullopt;
        key[i / 2] = uint8_t(key[i / 2] << 4 | v);
    }
    return key;
}

std::optional<TKeyList> ParseKeyFile(std::string_view Content, const std::string& FileName, TFileError& Error)
{
    if (IsBinaryKeyMap(Content)) {
        TKeyList keys;
        for (size_t i = 0; i < 2 * size_t(SectorCount); ++i)
            keys.push_back(KeyAt(Content, i));
        return keys;
    }
    Content = WithoutByteOrderMark(Content);
    // A binary file's bytes are nothing to quote as a bad line.
    if (!IsPlainText(Content)) {
        Error = {FileName, 0, "not a text key file"};
        return std::nullopt;
    }
    TKeyList keys;
    const bool read = EachLine(Content, [&](std::string_view Line, int LineNo) {
        const std::optional<TKey> key = ParseKey(Line);
        if (!key) {
            Error = {FileName, LineNo, "not a key of 12 hex digits: " + PrintableText(Line, QuotedBytes)};
            return false;
        }
        keys.push_back(*key);
        return true;
    });
    if (!read)
        return std::nullopt;
    return keys;
}

std::optional<TKeyList> ReadKeyFile(const std::string& Path, TFileError& Error, int* DumpTrailers)
{
    std::string error;
    const auto content = ReadRegularFile(Path, MaxKeyFileBytes, error);
    if (!content) {
        Error = {Path, 0, error};
        return std::nullopt;
    }
    const std::string_view text(reinterpret_cast<const char*>(content->data()), content->size());
    std::optional<TKeyList> keys = ParseKeyFile(text, Path, Error);
    if (keys)
        return keys;
    // A dump given for a key file is a common slip, and its keys are what
    // was meant: trying a key writes nothing. A file that is neither keeps
    // the key file's words, which name the line.
    TFileError notDump;
    const std::optional<TDumpImage> dump = ParseDump(text, Path, notDump);
    if (!dump)
        return std::nullopt;
    int stating = 0;
    for (int sector = 0; sector < SectorCount; ++sector) {
        const TBlockData& known = dump->Known[TrailerOf(sector)];
        const auto whole = [&known](int Offset) {
            return std::all_of(known.begin() + Offset, known.begin() + Offset + KeyBytes, [](uint8_t Bits) { return Bits == 0xFF; });
        };
        stating += whole(0) || whole(TrailerKeyBOffset) ? 1 : 0;
    }
    keys = DumpKeys(*dump);
    if (keys->empty()) {
        Error = {Path, 0, "a card dump whose trailers state no key: give a key file, 12 hex digits a line"};
        return std::nullopt;
    }
    if (DumpTrailers)
        *DumpTrailers = stating;
    return keys;
}

void AddKeys(TKeyList& Into, std::span<const TKey> More)
{
    // Looked up in a set, not in the list: a key file holds tens of
    // thousands of keys, and each against all the others took seconds.
    std::unordered_set<uint64_t> seen;
    seen.reserve(Into.size() + More.size());
    for (const TKey& k : Into)
        seen.insert(KeyNumber(k));
    for (const TKey& k : More) {
        if (seen.insert(KeyNumber(k)).second)
            Into.push_back(k);
    }
}

TKeyList CandidateKeys(std::span<const TKey> UserKeys, bool BuiltIn)
{
    TKeyList keys;
    AddKeys(keys, UserKeys);
    if (BuiltIn)
        AddKeys(keys, DefaultKeys());
    return keys;
}

TKeyList DumpKeys(const TDumpImage& Dump)
{
    TKeyList keys;
    for (int sector = 0; sector < SectorCount; ++sector) {
        const size_t block = TrailerOf(sector);
        for (const int offset : {0, TrailerKeyBOffset}) {
            const auto known = Dump.Known[block].begin() + offset;
            if (std::all_of(known, known + KeyBytes, [](uint8_t Bits) { return Bits == 0xFF; })) {
                TKey key{};
                std::copy_n(Dump.Data[block].begin() + offset, KeyBytes, key.begin());
                AddKeys(keys, std::span<const TKey>(&key, 1));
            }
        }
    }
    return keys;
}

std::optional<TKeyMap> ParseKeyMap(std::string_view Content, const std::string& FileName, TFileError& Error)
{
    TKeyMap map;
    if (IsBinaryKeyMap(Content)) {
        for (size_t s = 0; s < size_t(SectorCount); ++s) {
            map[s].KeyA = KeyAt(Content, s);
            map[s].KeyB = KeyAt(Content, SectorCount + s);
        }
        return map;
    }
    Content = WithoutByteOrderMark(Content);
    if (!IsPlainText(Content)) {
        Error = {FileName, 0, "neither a key map of 192 bytes nor a text key map (SECTOR KEYA KEYB lines)"};
        return std::nullopt;
    }
    std::array<bool, SectorCount> seen{};
    const bool read = EachLine(Content, [&](std::string_view Line, int LineNo) {
        const auto fail = [&](std::string Message) {
            Error = {FileName, LineNo, std::move(Message)};
            return false;
        };
        std::vector<std::string_view> fields;
        for (size_t at = 0; (at = Line.find_first_not_of(" \t\r", at)) != std::string_view::npos;) {
            const size_t end = std::min(Line.find_first_of(" \t\r", at), Line.size());
            fields.push_back(Line.substr(at, end - at));
            at = end;
        }
        if (fields.size() != 3)
            return fail("not a sector's keys (SECTOR KEYA KEYB): " + PrintableText(Line, QuotedBytes));
        const std::string_view number = fields[0];
        int sector = 0;
        const bool digits = !number.empty() && number.size() <= 2
            && std::all_of(number.begin(), number.end(), [](char C) { return C >= '0' && C <= '9'; });
        for (const char c : digits ? number : std::string_view())
            sector = sector * 10 + (c - '0');
        if (!digits || sector >= SectorCount)
            return fail("not a sector of a 1K card (0 to 15): " + PrintableText(number, QuotedBytes));
        if (seen[size_t(sector)])
            return fail("sector " + std::to_string(sector) + " a second time");
        seen[size_t(sector)] = true;
        for (const int type : {0, 1}) {
            const std::string_view text = fields[1 + size_t(type)];
            if (text == "-")
                continue;
            const std::optional<TKey> key = ParseKey(text);
            if (!key)
                return fail("not a key of 12 hex digits ('-' where unknown): " + PrintableText(text, QuotedBytes));
            (type == 0 ? map[size_t(sector)].KeyA : map[size_t(sector)].KeyB) = key;
        }
        return true;
    });
    if (!read)
        return std::nullopt;
    return map;
}

std::optional<TKeyMap> ReadKeyMapFile(const std::string& Path, TFileError& Error)
{
    std::string error;
    const auto content = ReadRegularFile(Path, MaxKeyFileBytes, error);
    if (!content) {
        Error = {Path, 0, error};
        return std::nullopt;
    }
    return ParseKeyMap(std::string_view(reinterpret_cast<const char*>(content->data()), content->size()), Path, Error);
}

std::string KeyMapText(const TKeyMap& Map)
{
    std::string text;
    for (size_t s = 0; s < Map.size(); ++s) {
        text += std::to_string(s);
        for (const std::optional<TKey>& key : {Map[s].KeyA, Map[s].KeyB}) {
            // Two appends, not " " + ...: GCC 12 at -O3 takes that for an
            // overlapping copy (-Wrestrict), fatal in the release build.
            text += ' ';
            text += key ? KeyText(*key) : std::string("-");
        }
        text += "\n";
    }
    return text;
}

std::string BinaryKeyMap(const TKeyMap& Map)
{
    std::string bytes(KeyMapBytes, '\0');
    for (size_t s = 0; s < Map.size(); ++s) {
        for (const size_t type : {0u, 1u}) {
            const std::optional<TKey>& key = type == 0 ? Map[s].KeyA : Map[s].KeyB;
            if (key)
                std::copy(key->begin(), key->end(), bytes.begin() + std::ptrdiff_t((type * SectorCount + s) * KeyBytes));
        }
    }
    return bytes;
}

bool WriteKeyMapFile(const std::string& Path, const TKeyMap& Map, bool Binary, std::string& Error)
{
    if (!Binary) {
        const std::string text = KeyMapText(Map);
        return ReplaceFile(Path, {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, Error);
    }
    std::string sectors;
    int count = 0;
    for (size_t s = 0; s < Map.size(); ++s) {
        if (!Map[s].KeyA || !Map[s].KeyB)
            sectors += (count++ > 0 ? ", " : "") + std::to_string(s);
    }
    // The binary form has no way to say "unknown": a made-up key would
    // pass for the card's.
    if (count > 0) {
        Error = Path + (count == 1 ? ": sector " + sectors + " has a key" : ": sectors " + sectors + " have keys")
            + " not known: save the map as text to keep the unknowns";
        return false;
    }
    const std::string bytes = BinaryKeyMap(Map);
    return ReplaceFile(Path, {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}, Error);
}
