#pragma once
// Card dumps (protocol/DumpFile.h): saved in the binary form, 1024 bytes,
// block 0 first, the trailers with their real keys; loaded from either form. Only regular files hold dumps
// (protocol/SafeFile.h): a FIFO, a terminal or a device is neither read nor
// replaced.

#include "protocol/DumpFile.h"
#include "protocol/SafeFile.h"
#include "sim/MifareCard.h"

#include <optional>
#include <string>

namespace sim {

// The card's stored bytes, no access checks.
TDumpBytes ImageOf(const TMifareCard& Card);
// Every block from Image; the card then powers up idle, as a new card put
// in the field.
void LoadImage(TMifareCard& Card, const TDumpBytes& Image);

// Replaces the file at Path whole: a failed save leaves an earlier dump.
bool WriteDump(const std::string& Path, const TDumpBytes& Image, std::string& Error);
// None unless Path is a regular file holding a whole card in either form,
// every digit known; opened without waiting.
std::optional<TDumpBytes> ReadDump(const std::string& Path, std::string& Error);

} // namespace sim
