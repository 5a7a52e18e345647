#pragma once
// The card data sheet's two access tables as printed, one row per condition
// C1C2C3: "A", "B", "AB" for who may, "-" for nobody. The decoder's tests and
// the simulated card's tests both check against these rows.

#include <cstdint>

struct TDataSheetDataRow {
    uint8_t Cond;
    const char *Read, *Write, *Inc, *Dec; // Dec: decrement, transfer, restore
};

inline constexpr TDataSheetDataRow DataSheetDataRows[] = {
    {0b000, "AB", "AB", "AB", "AB"},
    {0b010, "AB", "-", "-", "-"},
    {0b100, "AB", "B", "-", "-"},
    {0b110, "AB", "B", "B", "AB"},
    {0b001, "AB", "-", "-", "AB"},
    {0b011, "B", "B", "-", "-"},
    {0b101, "B", "-", "-", "-"},
    {0b111, "-", "-", "-", "-"},
};

// Key A itself never reads back, so it has no read column.
struct TDataSheetTrailerRow {
    uint8_t Cond;
    const char *KeyAWrite, *AccessRead, *AccessWrite, *KeyBRead, *KeyBWrite;
};

inline constexpr TDataSheetTrailerRow DataSheetTrailerRows[] = {
    {0b000, "A", "A", "-", "A", "A"},
    {0b010, "-", "A", "-", "A", "-"},
    {0b100, "B", "AB", "-", "-", "B"},
    {0b110, "-", "AB", "-", "-", "-"},
    {0b001, "A", "A", "A", "A", "A"},
    {0b011, "B", "AB", "B", "-", "B"},
    {0b101, "-", "AB", "B", "-", "-"},
    {0b111, "-", "AB", "-", "-", "-"},
};
