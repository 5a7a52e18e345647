#pragma once
// Card dumps: 1024 bytes, block 0 first, 16 bytes a block, the trailers with
// their real keys. Only regular files hold dumps: a FIFO, a terminal or a
// device is neither read (it could wait forever) nor replaced.

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

// The file a dump for Path goes to: Path when it is a regular file we may
// write or is missing, the regular file a symbolic link at Path leads to;
// none for anything else, with Error saying why.
std::optional<std::string> SaveTarget(const std::string& Path, std::string& Error);
// Written to a new file of an unpredictable name beside the target, created
// exclusively, then renamed over the target: a failed save leaves an earlier
// dump whole, and no other file is touched.
bool WriteDump(const std::string& Path, const TDumpImage& Image, std::string& Error);
// None unless Path is a regular file of exactly DumpBytes bytes; opened
// without waiting.
std::optional<TDumpImage> ReadDump(const std::string& Path, std::string& Error);

} // namespace sim
