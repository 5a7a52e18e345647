#pragma once
// Hex text rules shared by every typed field (keys, block data, control bits,
// value amounts) and by every byte shown as text.

#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>

enum class THexResult { Ok,
    BadLength,
    BadDigit };

// Text of exactly 2*Count characters -> Count bytes. The length is tested
// first; then pairs are converted in order, and the first pair that is not
// two hex digits (either case) stops the conversion (bytes before it are
// already written to Out).
THexResult HexToBytes(QStringView Text, uint8_t* Out, int Count);

// Two upper-case hex digits a byte, in order, no separators.
QString BytesToHex(const uint8_t* Data, int Count);

// 1 to 8 hex digits (either case) as a 32-bit number; nothing for empty text
// or any other character. The caller trims first.
std::optional<uint32_t> HexNumber(QStringView Text);

// Removes leading and trailing blanks and control characters (code <= 32).
QString TrimText(const QString& Text);
