#pragma once
// What the card view shows, as plain texts: a card's blocks one a row, each
// with the parts its bytes belong to and, against a dump, the dump's digits;
// each sector's keys and last result. The rules of the comparison (which
// bytes differ, and how that is told) and of a block's digits as text are
// here, apart from the table that shows them.

#include <QString>

#include <array>
#include <cstdint>
#include <vector>

constexpr int CardViewBlockBytes = 16;
constexpr int CardViewBlockDigits = 2 * CardViewBlockBytes;

// What a byte is part of. Neighbours of another part are set apart by a
// gap; keys, access bits and the spare byte are tinted.
enum class TByteRole : uint8_t { Data,
    KeyA,
    Access,
    Spare,
    KeyB,
    Value,
    Inverted,
    Address };

struct TCardViewBlock {
    int Sector = 0;
    int Block = 0;
    QString Digits; // 32 hex digits, '-' for an unknown one
    QString Kind;
    QString Detail; // the meaning's tooltip; may be empty
    std::array<TByteRole, CardViewBlockBytes> Roles{};
    // Against a dump, where the block differs from it: the dump's digits,
    // shown under the block's. Empty where the block does not differ.
    QString DumpDigits;
    // The bytes with a digit both sides know and differ in.
    std::array<bool, CardViewBlockBytes> DiffBytes() const;
    bool Differs() const;
};

struct TCardViewSector {
    int Sector = 0;
    QString KeyA;
    QString KeyB;
    QString Result;
};

struct TCardViewData {
    QString Summary;
    // The last comparison with a dump, in a line or two; empty for none.
    QString Result;
    std::vector<TCardViewBlock> Blocks;
    std::vector<TCardViewSector> Sectors;
};

// 32 digits as 16 pairs, "A0 A1 ...".
QString BlockDigitPairs(const QString& Digits);
// Typed text as 32 upper-case digits ('-' for an unknown one), spaces
// ignored; empty when it is anything else.
QString PlainBlockDigits(const QString& Text);
// The block's bytes as characters: 0x20 to 0x7E as they are, any other
// byte, or one not fully known, as '.'.
QString BlockAsciiText(const QString& Digits);
// "byte 15 differs", "bytes 0, 15 differ".
QString DifferingBytesText(const std::array<bool, CardViewBlockBytes>& Bytes);
