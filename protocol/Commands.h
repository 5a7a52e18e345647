#pragma once
// The reader's command set: every request layout and every reply byte the
// program reads, in one place, for the program and the simulator alike.
// Builders write bytes 0 .. L-1 of a request (the checksum is added when the
// frame is sealed); decoders take a reply that passed CheckReply.

#include "protocol/CardLayout.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace Cmd {
constexpr uint8_t SearchCard = 0x02;
constexpr uint8_t Anticollision = 0x03;
constexpr uint8_t SelectCard = 0x04;
constexpr uint8_t Authenticate = 0x05;
constexpr uint8_t ReadBlock = 0x06;
constexpr uint8_t WriteBlock = 0x07;
constexpr uint8_t ValueOperation = 0x08;
constexpr uint8_t HaltCard = 0x09;
constexpr uint8_t SearchCardSerial = 0x0A;
constexpr uint8_t DownloadKey = 0x0B;
constexpr uint8_t LinkTest = 0x12;
constexpr uint8_t Beep = 0x13;
} // namespace Cmd

// One row of the command table: the code, the length byte its request
// carries (authentication: 4 with a stored key, 10 with a key in the frame)
// and a short name for logs.
struct TCommandInfo {
    uint8_t Code;
    uint8_t Length;
    uint8_t LengthWithKey; // 0 unless the command may carry a key
    const char* Name;
};
std::span<const TCommandInfo> CommandTable();
// The row of Code, or none for a code the reader does not know.
const TCommandInfo* FindCommand(uint8_t Code);

// Offsets and sizes of the payload fields.
constexpr int SerialBytes = 4;
constexpr int AuthKeyOffset = 4;     // key bytes of a typed-key authentication
constexpr int WriteDataOffset = 3;   // data bytes of a block write
constexpr int DownloadKeyOffset = 4; // key bytes of a key download

using TSerial = std::array<uint8_t, SerialBytes>;

// Key sources of an authentication; the key selector's index, where "no
// entry chosen" goes out as 0xFF.
namespace KeySources {
constexpr uint8_t StoredA = 0;
constexpr uint8_t StoredB = 1;
constexpr uint8_t TypedA = 2;
constexpr uint8_t TypedB = 3;
constexpr uint8_t None = 0xFF;
constexpr bool Typed(uint8_t Source) { return Source == TypedA || Source == TypedB; }
} // namespace KeySources

// Operations of the value command.
namespace ValueOp {
constexpr uint8_t Decrement = 0;
constexpr uint8_t Increment = 1;
} // namespace ValueOp

void BuildSearchCard(uint8_t* Buf, uint8_t SearchMode);
void BuildSearchCardSerial(uint8_t* Buf, uint8_t SearchMode);
void BuildAnticollision(uint8_t* Buf);
void BuildSelectCard(uint8_t* Buf);
void BuildHaltCard(uint8_t* Buf);
// Stored-key form (L = 4) when Key is null, typed-key form (L = 10) otherwise.
// With a typed key the key bytes may already stand at AuthKeyOffset: pass
// Buf + AuthKeyOffset as Key and they are kept.
void BuildAuthenticate(uint8_t* Buf, uint8_t Sector, uint8_t KeySource, const uint8_t* Key);
void BuildReadBlock(uint8_t* Buf, uint8_t Block);
// Data may already stand at WriteDataOffset (pass Buf + WriteDataOffset).
void BuildWriteBlock(uint8_t* Buf, uint8_t Block, const uint8_t* Data);
// Operation 1 increments, 0 decrements; the amount goes most significant byte first.
void BuildValueOperation(uint8_t* Buf, uint8_t Operation, uint8_t Block, uint32_t Amount);
// Key may already stand at DownloadKeyOffset (pass Buf + DownloadKeyOffset).
void BuildDownloadKey(uint8_t* Buf, uint8_t KeyType, uint8_t Sector, const uint8_t* Key);
void BuildLinkTest(uint8_t* Buf);
void BuildBeep(uint8_t* Buf);

// Card type code -> "MifareOne", "MifarePro", "MifareLight" or "unknow type".
const char* CardTypeText(uint8_t Code);

// Reply decoders. Reply is the frame as it arrived (length byte first, the
// checksum last) and has passed CheckReply. A reply that stops before the
// bytes a command reads carries no card data: the decoder then gives none,
// never bytes left over from an earlier frame.
struct TCardId {
    uint8_t Type = 0;
    TSerial Serial{};
};
std::optional<uint8_t> DecodeSearch(std::span<const uint8_t> Reply);        // 0x02: byte 2
std::optional<TCardId> DecodeSearchSerial(std::span<const uint8_t> Reply);  // 0x0A: bytes 2..6
std::optional<TSerial> DecodeAnticollision(std::span<const uint8_t> Reply); // 0x03: bytes 2..5
std::optional<TBlockData> DecodeReadBlock(std::span<const uint8_t> Reply);  // 0x06: bytes 2..17
