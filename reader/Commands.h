#pragma once
// The reader's command set: every request layout and every reply byte the
// program reads, in one place. Builders write bytes 0 .. L-1 of a request into
// the exchange buffer (the checksum is added by the exchange).

#include <cstdint>

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

// Offsets and sizes of the payload fields.
constexpr int KeyBytes = 6;
constexpr int BlockBytes = 16;
constexpr int SerialBytes = 4;
constexpr int AuthKeyOffset = 4;       // key bytes of a typed-key authentication
constexpr int WriteDataOffset = 3;     // data bytes of a block write
constexpr int DownloadKeyOffset = 4;   // key bytes of a key download

// Reply bytes read on success; a reply frame must be at least this long
// (length byte included, checksum excluded) for them to be real reply data.
constexpr int SearchReplyNeeds = 3;        // byte 2: card type
constexpr int SearchSerialReplyNeeds = 7;  // byte 2: type, bytes 3..6: serial
constexpr int AnticollReplyNeeds = 6;      // bytes 2..5: serial
constexpr int ReadReplyNeeds = 18;         // bytes 2..17: block data

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

// The 16-byte value-block image holding 0 for block Block.
void BuildValueBlockImage(uint8_t* Out16, uint8_t Block);

// Card type code -> "MifareOne", "MifarePro", "MifareLight" or "unknow type".
const char* CardTypeText(uint8_t Code);
