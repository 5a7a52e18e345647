#pragma once
// TSimServer: a card reader/encoder with one MIFARE Classic 1K card in its
// field, served on the master side of a pseudo-terminal by a thread of its
// own. The program under test opens DevicePath() as its serial port. Every
// method may be called from any thread while the server thread serves; none
// waits for the line.
//
// Reply status codes (byte 1 of a reply when a command was not carried out;
// never 0 and never a command code):
//   0x01 StatusNoCard        no card answered: out of the field, halted during
//                            a search for idle cards, or not in the state the
//                            command needs (select without a search, halt or
//                            authenticate without a selected card)
//   0x81 StatusBadChecksum   the request's checksum was wrong
//   0x82 StatusUnknown       unknown command code
//   0x83 StatusBadRequest    wrong length byte for the command, or a bad
//                            parameter (sector, block, key type, key source,
//                            value operation)
//   0x84 StatusAuthFailed    authentication refused: wrong key, key B that the
//                            trailer makes readable, or a locked sector
//   0x85 StatusNotAuth       the block's sector is not the authenticated one
//   0x86 StatusAccessDenied  the access conditions forbid the operation
//   0x87 StatusNotValue      a value operation on a malformed value block
//
// Faults (InjectFault, SetRandomFaults): ErrorStatus is the reader refusing,
// so the command is NOT carried out on the card. Every other kind spoils only
// the reply on the line: the command IS carried out (a write with NoReply has
// written the block; the reply was lost).
//   NoReply      nothing is sent
//   BadChecksum  the reply's checksum byte is off by one
//   ErrorStatus  02 <Status> <sum>; a Status of 0 or equal to the request's
//                code is replaced by 0x01 (0x02 when the request code is 1)
//   Delay        the whole reply is sent DelayMs late (1000 ms when DelayMs is
//                0); later requests are served meanwhile, so the late reply
//                can arrive after the next request's reply
//   Split        the first half now, the rest DelayMs later (250 ms when 0)
//   Short        only the first (L+2)/2 bytes of the L+1 are sent
//   Noise        the bytes FF 5A 00 go out before the reply
// Random faults pick one of the seven kinds evenly, with the defaults above;
// an injected fault for the request's code goes first. A request with a wrong
// checksum always gets its plain 0x81 reply.
//
// The card: serial 12 34 56 78 unless set, type code 1, transport trailers.
// A search (0x02, 0x0A) with mode 0 finds a card that is not halted and mode
// 1 any card in the field; either starts a new round, dropping selection and
// authentication. A failed authentication drops the card to idle. Value
// blocks hold a signed 32-bit number, least significant byte first; increment
// and decrement wrap modulo 2^32 with no overflow check.

#include "sim/FaultKinds.h"
#include "sim/LineRecord.h"
#include "sim/ReaderStatus.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// The parts (each in a file of its own): TPtyLine serves the pseudo-terminal,
// TFrameParser cuts requests, TReaderEngine answers them, TFaultChoice and
// Faults spoil replies, TReplyQueue times them, TPacedLine paces them over
// the line, TRequestLog records the line, CardDump reads and writes dumps.
class TSimServer {
public:
    TSimServer();  // openpty(), serve the master side in a thread of its own; throws std::runtime_error on failure
    ~TSimServer(); // stops the thread, closes the pty

    TSimServer(const TSimServer&) = delete;
    TSimServer& operator=(const TSimServer&) = delete;

    const std::string& DevicePath() const; // the slave path the program opens

    // Every complete request frame received (checksum included), in order.
    // Requests() and Log() keep the latest 100000 to 200000 entries.
    std::vector<std::vector<uint8_t>> Requests() const;
    // Requests without the beeps (0x13), the common assertion in tests.
    std::vector<std::vector<uint8_t>> RequestsWithoutBeeps() const;
    void ClearRequests();
    int BeepCount() const;

    // Every frame in and out with a time stamp. A reply sent in pieces (Split,
    // Delay) is recorded piece by piece, when each piece goes out (paced:
    // when its first byte starts).
    using TRecord = TLineRecord;
    std::vector<TRecord> Log() const;
    // Called on the server thread for every record as it is made (the
    // program prints them); keep it short, it holds up the line.
    void SetObserver(std::function<void(const TRecord&)> Observer);

    // The card.
    void RemoveCard();
    void InsertCard();
    bool CardPresent() const;
    void HaltCard(); // as if a halt had been sent: the card needs a wake-up search
    std::array<uint8_t, 4> Serial() const;
    void SetSerial(std::array<uint8_t, 4> Serial);                 // rewrites block 0 too
    std::array<uint8_t, 16> Block(int Block) const;                // raw stored bytes, no access checks
    void SetBlock(int Block, const std::array<uint8_t, 16>& Data); // raw, no access checks
    // A fresh card in the field in place of the one there or taken away: the
    // factory state (transport keys and access bits, zero data blocks, block
    // 0 from the serial number), with Serial or else a random one that is not
    // the previous card's. Gives its serial number.
    std::array<uint8_t, 4> InsertBlankCard(std::optional<std::array<uint8_t, 4>> Serial = std::nullopt);

    // The reader's key store (KeyType 0 = A, 1 = B).
    std::array<uint8_t, 6> StoredKey(int KeyType, int Sector) const;
    void SetStoredKey(int KeyType, int Sector, const std::array<uint8_t, 6>& Key);

    // Faults: applied to the next `Count` requests with this command code,
    // after skipping `Skip` of them.
    void InjectFault(uint8_t Command, TFault Fault, int Count = 1, int Skip = 0);
    // Random faults with a seed (probability per request, 0..1).
    void SetRandomFaults(double Probability, uint32_t Seed);
    void ClearFaults();

    // Pacing, so that timings mean a real line: each reply byte takes its
    // line time at 9600 baud 8N1 (1.04 ms), and a reply starts ProcessingMs
    // (the reader's processing time) after the request's last byte would
    // have come in at that rate. 0, the default, turns it off: a reply goes
    // out at once, whole. Replies already under way go out at once when it
    // is turned off.
    void SetPace(int ProcessingMs); // throws std::out_of_range below 0

    // Dumps of the whole card, trailers with their real keys (CardDump.h):
    // LoadDump takes a regular file in any dump form, every digit known;
    // SaveDump writes only a regular file, through a symbolic link to one,
    // in the form its name asks for. Error, when given, says why either
    // failed.
    bool SaveDump(const std::string& Path, std::string* Error = nullptr) const;
    bool LoadDump(const std::string& Path, std::string* Error = nullptr);

    // What the line throws away. A request frame left unfinished for
    // InterCharTimeout without a byte is dropped, as a reader's
    // inter-character time-out does. Replies wait for the program to read
    // them up to ReplyBacklogLimit bytes (and as many again for late ones);
    // a reply beyond that is dropped. When the program closes its port, the
    // replies still waiting for it are dropped.
    static constexpr std::chrono::milliseconds InterCharTimeout{100};
    static constexpr size_t ReplyBacklogLimit = 4096;
    struct TDropCounts {
        uint64_t UnfinishedRequests = 0;
        uint64_t Replies = 0;        // beyond the backlog limit
        uint64_t ClosedBacklogs = 0; // the port closed with replies waiting
    };
    TDropCounts Drops() const;
    // Called on the server thread with a line of text for each drop (runs
    // of dropped replies are told once they end); keep it short.
    void SetNoticeObserver(std::function<void(const std::string&)> Observer);

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};

} // namespace sim
