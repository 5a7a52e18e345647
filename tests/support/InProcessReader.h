#pragma once
// The simulator's reader engine as a reader in the same process: each
// request goes to the engine, and its reply bytes through the real reply
// assembler, with no line and no wait. For session and card-job tests in
// which the serial line itself is not under test.

#include "protocol/Frame.h"
#include "reader/ReaderExchange.h"
#include "sim/FaultChoice.h"
#include "sim/ReaderEngine.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

class TInProcessReader : public TReaderExchange {
public:
    using TFrames = std::vector<std::vector<uint8_t>>;

    sim::TReaderEngine Engine;
    // Every request as it went out, checksum included, and the bytes that
    // came back for it (none when the reply was lost), in the same order.
    TFrames Requests;
    TFrames Replies;

    int ExchangeFrame(const TRequest& Request) override;
    std::span<const uint8_t> Reply() const override { return FReply.Bytes(); }
    // The card in the field from a dump file (either form); false with the
    // reason when it cannot be read.
    bool LoadDump(const std::string& Path, std::string& Error);
    // A fault on the next Count replies to Command after Skip of them, as the
    // simulator puts it on the line, and with the verdict the serial link
    // gives it. Only the kinds that need no time: a delayed or split reply
    // is the line's business (std::invalid_argument).
    void InjectFault(uint8_t Command, sim::TFault Fault, int Count = 1, int Skip = 0);
    // The requests other than beeps.
    TFrames RequestsWithoutBeeps() const;
    void ClearRequests();

private:
    TReplyAssembler FReply;
    sim::TFaultChoice FFaults;
};
