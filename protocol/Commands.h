#pragma once
// The reader's command set: every request layout and every reply byte the
// program reads, in one place, for the program and the simulator alike.
// Builders give a request's bytes 0 .. L-1, its length byte taken from the
// command table (the checksum is added when the frame is sealed for
// sending); decoders take a reply that passed CheckReply.

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
// carries (authentication: 4 with a stored key, 10 with a key in the frame),
// the length byte of the reply that carries it out (the command code and the
// bytes the program reads: 2 when it reads none) and a short name for logs.
struct TCommandInfo {
    uint8_t Code;
    uint8_t Length;
    uint8_t LengthWithKey; // 0 unless the command may carry a key
    uint8_t ReplyLength;
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

// Search modes: idle cards only, or every card in the field (a halted one
// included).
namespace SearchModes {
constexpr uint8_t IdleCards = 0;
constexpr uint8_t AllCards = 1;
} // namespace SearchModes

// Operations of the value command.
namespace ValueOp {
constexpr uint8_t Decrement = 0;
constexpr uint8_t Increment = 1;
} // namespace ValueOp

// The longest request: a block write, L = 19.
constexpr int MaxRequestLength = WriteDataOffset + BlockBytes;

// One request as built: Frame holds bytes 0 .. Length-1 (Frame[0] is the
// length byte L = Length, Frame[1] the command code) and leaves room for the
// checksum at index Length. A default request (Length 0) is no request.
struct TRequest {
    std::array<uint8_t, MaxRequestLength + 1> Frame{};
    int Length = 0;

    uint8_t Command() const { return Frame[1]; }
};

TRequest BuildSearchCard(uint8_t SearchMode);
TRequest BuildSearchCardSerial(uint8_t SearchMode);
TRequest BuildAnticollision();
TRequest BuildSelectCard();
TRequest BuildHaltCard();
// Stored-key form (L = 4) when Key is null, typed-key form (L = 10) otherwise.
TRequest BuildAuthenticate(uint8_t Sector, uint8_t KeySource, const TKey* Key = nullptr);
TRequest BuildReadBlock(uint8_t Block);
TRequest BuildWriteBlock(uint8_t Block, const TBlockData& Data);
// Operation 1 increments, 0 decrements; the amount goes most significant byte first.
TRequest BuildValueOperation(uint8_t Operation, uint8_t Block, uint32_t Amount);
TRequest BuildDownloadKey(uint8_t KeyType, uint8_t Sector, const TKey& Key);
TRequest BuildLinkTest();
TRequest BuildBeep();

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
