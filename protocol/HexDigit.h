#pragma once
// One hex digit's value, for the file formats that carry bytes as text.

// 0..15 for a hex digit of either case, -1 for anything else.
constexpr int HexDigitValue(char C)
{
    if (C >= '0' && C <= '9')
        return C - '0';
    if (C >= 'A' && C <= 'F')
        return C - 'A' + 10;
    if (C >= 'a' && C <= 'f')
        return C - 'a' + 10;
    return -1;
}
