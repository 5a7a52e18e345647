#pragma once
// Card dumps (protocol/DumpFile.h), the trailers with their real keys: saved
// in the form the file's name asks for (binary, 1024 bytes block 0 first,
// for .bin, .mfd, .raw and .dump; .eml; JSON; else text), loaded from any
// form. Only regular files hold dumps (protocol/SafeFile.h): a FIFO, a
// terminal or a device is neither read nor replaced.

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

// Replaces the file at Path whole, in the form its name asks for: a failed
// save leaves an earlier dump.
bool WriteDump(const std::string& Path, const TDumpBytes& Image, std::string& Error);
// None unless Path is a regular file holding a whole card in either form,
// every digit known; opened without waiting.
std::optional<TDumpBytes> ReadDump(const std::string& Path, std::string& Error);

} // namespace sim
