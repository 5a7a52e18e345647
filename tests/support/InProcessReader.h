#pragma once
// The simulator's reader engine as a reader in the same process: each
// request goes to the engine, and its reply bytes through the real reply
// assembler, with no line and no wait. For session and card-job tests in
// which the serial line itself is not under test.

#include "protocol/Frame.h"
#include "reader/ReaderExchange.h"
#include "sim/ReaderEngine.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

class TInProcessReader : public TReaderExchange {
public:
    sim::TReaderEngine Engine;
    // Every request as it went out, checksum included.
    std::vector<std::vector<uint8_t>> Requests;

    int ExchangeFrame(const TRequest& Request) override;
    std::span<const uint8_t> Reply() const override { return FReply.Bytes(); }
    // The card in the field from a dump file (either form); false with the
    // reason when it cannot be read.
    bool LoadDump(const std::string& Path, std::string& Error);

private:
    TReplyAssembler FReply;
};
