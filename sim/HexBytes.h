#pragma once
// Bytes as the operator reads and types them: two hex digits a byte.

#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

// "0A 1B 2C": upper case, one space between bytes.
std::string HexOf(const uint8_t* Data, size_t Size);

// Exactly 2*N hex digits, either case.
bool ParseHexBytes(const std::string& Text, uint8_t* Out, size_t N);

} // namespace sim
