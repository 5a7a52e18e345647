#pragma once
// Card dumps: 1024 bytes, block 0 first, 16 bytes a block, the trailers with
// their real keys.

#include "sim/MifareCard.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace sim {

constexpr size_t DumpBytes = size_t(TMifareCard::Blocks) * BlockBytes;
using TDumpImage = std::array<uint8_t, DumpBytes>;

// The card's stored bytes, no access checks.
TDumpImage ImageOf(const TMifareCard& Card);
// Every block from Image; the card then powers up idle, as a new card put
// in the field.
void LoadImage(TMifareCard& Card, const TDumpImage& Image);

// Written beside Path and renamed, so a failed save leaves an earlier dump
// whole.
bool WriteDump(const std::string& Path, const TDumpImage& Image);
// None unless the file holds exactly DumpBytes bytes.
std::optional<TDumpImage> ReadDump(const std::string& Path);

} // namespace sim
