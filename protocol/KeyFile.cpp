#include "protocol/KeyFile.h"

#include "protocol/HexDigit.h"
#include "protocol/PlainText.h"

#include <algorithm>
#include <unordered_set>

namespace {

// Tens of thousands of keys; a larger file is not a key file.
constexpr size_t MaxKeyFileBytes = 1024 * 1024;
// Of a bad line, as much as tells what it is.
constexpr size_t QuotedBytes = 40;

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
    Content = WithoutByteOrderMark(Content);
    // A binary file's bytes are nothing to quote as a bad line.
    if (!IsPlainText(Content)) {
        Error = {FileName, 0, "not a text key file"};
        return std::nullopt;
    }
    TKeyList keys;
    int lineNo = 0;
    while (!Content.empty()) {
        ++lineNo;
        const size_t end = Content.find('\n');
        std::string_view line = Content.substr(0, end);
        Content = end == std::string_view::npos ? std::string_view() : Content.substr(end + 1);
        line = line.substr(0, line.find('#'));
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string_view::npos)
            continue;
        line = line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
        const std::optional<TKey> key = ParseKey(line);
        if (!key) {
            Error = {FileName, lineNo, "not a key of 12 hex digits: " + PrintableText(line, QuotedBytes)};
            return std::nullopt;
        }
        keys.push_back(*key);
    }
    return keys;
}

std::optional<TKeyList> ReadKeyFile(const std::string& Path, TFileError& Error)
{
    std::string error;
    const auto content = ReadRegularFile(Path, MaxKeyFileBytes, error);
    if (!content) {
        Error = {Path, 0, error};
        return std::nullopt;
    }
    return ParseKeyFile(std::string_view(reinterpret_cast<const char*>(content->data()), content->size()), Path, Error);
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
