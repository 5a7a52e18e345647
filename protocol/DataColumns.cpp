#include "protocol/DataColumns.h"

#include "protocol/DumpFile.h"
#include "protocol/HexDigit.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace {

bool IsDigit(char C) { return C >= '0' && C <= '9'; }
bool IsLetter(char C) { return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z'); }

std::string Lower(std::string_view Text)
{
    std::string out(Text);
    std::transform(out.begin(), out.end(), out.begin(), [](char C) { return char(std::tolower(static_cast<unsigned char>(C))); });
    return out;
}

// A name as a word and a number after it ("block 12", "Value4"): the word
// in lower case and the number's digits; false for any other shape.
bool WordAndNumber(std::string_view Name, std::string& Word, std::string_view& Number)
{
    Name = TrimBlanks(Name);
    size_t letters = 0;
    while (letters < Name.size() && IsLetter(Name[letters]))
        ++letters;
    Number = TrimBlanks(Name.substr(letters));
    if (letters == 0 || Number.empty() || !std::all_of(Number.begin(), Number.end(), IsDigit))
        return false;
    Word = Lower(Name.substr(0, letters));
    return true;
}

// The number as written, CardBlocks for anything past the card.
int NumberOf(std::string_view Digits)
{
    int number = 0;
    for (const char digit : Digits)
        number = std::min(number * 10 + (digit - '0'), CardBlocks);
    return number;
}

// One insertion, deletion, substitution or swap of two neighbours apart.
bool OneEditApart(std::string_view A, std::string_view B)
{
    if (A.size() < B.size())
        std::swap(A, B);
    if (A.size() - B.size() > 1 || A == B)
        return false;
    size_t i = 0;
    while (i < B.size() && A[i] == B[i])
        ++i;
    if (A.size() > B.size())
        return A.substr(i + 1) == B.substr(i);
    if (A.substr(i + 1) == B.substr(i + 1))
        return true;
    return i + 1 < A.size() && A[i] == B[i + 1] && A[i + 1] == B[i] && A.substr(i + 2) == B.substr(i + 2);
}

} // namespace

std::string_view TrimBlanks(std::string_view Text)
{
    const size_t first = Text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return Text.substr(first, Text.find_last_not_of(" \t") - first + 1);
}

std::optional<TDataColumn> DataColumnOf(std::string_view Name)
{
    std::string word;
    std::string_view number;
    if (!WordAndNumber(Name, word, number))
        return std::nullopt;
    const TColumnKind kind = word == "block" ? TColumnKind::Block : word == "value" ? TColumnKind::Value
                                                                                    : TColumnKind::Label;
    if (kind == TColumnKind::Label)
        return std::nullopt;
    return TDataColumn{kind, NumberOf(number)};
}

std::optional<std::string> MeantDataColumn(std::string_view Name)
{
    std::string word;
    std::string_view number;
    if (!WordAndNumber(Name, word, number))
        return std::nullopt;
    const int n = NumberOf(number);
    if (n < 1 || n >= CardBlocks)
        return std::nullopt;
    for (const char* meant : {"block", "value"}) {
        if (OneEditApart(word, meant))
            return std::string(meant) + " " + std::string(number);
    }
    return std::nullopt;
}

std::optional<TBlockData> BlockOfCell(std::string_view Cell)
{
    Cell = TrimBlanks(Cell);
    if (Cell.size() != 2 * BlockBytes)
        return std::nullopt;
    TBlockData bytes{};
    for (size_t i = 0; i < Cell.size(); ++i) {
        const int v = HexDigitValue(Cell[i]);
        if (v < 0)
            return std::nullopt;
        bytes[i / 2] = uint8_t(bytes[i / 2] << 4 | v);
    }
    return bytes;
}

TCellNumber ValueOfCell(std::string_view Cell, int32_t& Value)
{
    Cell = TrimBlanks(Cell);
    const bool negative = Cell.starts_with('-');
    if (negative || Cell.starts_with('+'))
        Cell.remove_prefix(1);
    if (Cell.empty() || !std::all_of(Cell.begin(), Cell.end(), IsDigit))
        return TCellNumber::NotANumber;
    Cell.remove_prefix(std::min(Cell.find_first_not_of('0'), Cell.size()));
    // Ten digits stay far inside 64 bits.
    if (Cell.size() > 10)
        return TCellNumber::OutOfRange;
    int64_t v = 0;
    for (const char c : Cell)
        v = v * 10 + (c - '0');
    v = negative ? -v : v;
    if (v < INT32_MIN || v > INT32_MAX)
        return TCellNumber::OutOfRange;
    Value = int32_t(v);
    return TCellNumber::Good;
}
