// The frame log of orvelle-sim: each frame in hex with what it means.
#include "sim/SimProgram.h"

#include "protocol/Commands.h"
#include "protocol/Frame.h"

#include <cstdio>

namespace sim {

namespace {

std::string StatusName(uint8_t Status)
{
    switch (Status) {
    case StatusNoCard: return "no card";
    case StatusBadChecksum: return "bad checksum";
    case StatusUnknown: return "unknown command";
    case StatusBadRequest: return "bad request";
    case StatusAuthFailed: return "authentication failed";
    case StatusNotAuth: return "not authenticated";
    case StatusAccessDenied: return "access denied";
    case StatusNotValue: return "not a value block";
    }
    return "status";
}

// What a request asks for, e.g. "read block 8".
std::string DescribeRequest(const std::vector<uint8_t>& F)
{
    const uint8_t cmd = F[1];
    const TCommandInfo* info = FindCommand(cmd);
    std::string what = info ? info->Name : "unknown command";
    char text[96];
    const size_t n = F.size();
    if ((cmd == Cmd::SearchCard || cmd == Cmd::SearchCardSerial) && n >= 4) {
        what += F[2] ? " all cards" : " idle cards";
    } else if (cmd == Cmd::Authenticate && n >= 5) {
        std::snprintf(text, sizeof text, " sector %d key source %d", F[2], F[3]);
        what += text;
        if (n >= 11)
            what += " key " + HexOf(F.data() + AuthKeyOffset, KeyBytes);
    } else if ((cmd == Cmd::ReadBlock || cmd == Cmd::WriteBlock) && n >= 4) {
        std::snprintf(text, sizeof text, " block %d", F[2]);
        what += text;
    } else if (cmd == Cmd::ValueOperation && n >= 10) {
        std::snprintf(text, sizeof text, " %s block %d to %d by %u",
            F[2] == ValueOp::Increment ? "increment" : "decrement", F[3], F[4],
            unsigned(F[5]) << 24 | unsigned(F[6]) << 16 | unsigned(F[7]) << 8 | F[8]);
        what += text;
    } else if (cmd == Cmd::DownloadKey && n >= 11) {
        std::snprintf(text, sizeof text, " key %c sector %d ", F[2] ? 'B' : 'A', F[3]);
        what += text + HexOf(F.data() + DownloadKeyOffset, KeyBytes);
    }
    return what;
}

// "ok read", or "error 84 authentication failed" for a status reply.
std::string DescribeReply(const std::vector<uint8_t>& F)
{
    const uint8_t code = F[1];
    if (const TCommandInfo* info = FindCommand(code))
        return std::string("ok ") + info->Name;
    char text[96];
    std::snprintf(text, sizeof text, "error %02X %s", code, StatusName(code).c_str());
    return text;
}

} // namespace

std::string DescribeFrame(const std::vector<uint8_t>& F, bool FromProgram)
{
    std::string hex = HexOf(F.data(), F.size());
    if (F.size() < 2)
        return hex;
    // The meaning starts in one column while the hex leaves room for it.
    const std::string gap(hex.size() < 60 ? 60 - hex.size() : 2, ' ');
    if (F.size() != size_t(F[0]) + 1)
        return hex + gap + "(part of a frame, or noise)";
    if (Checksum({F.data(), F.size() - 1}) != F.back())
        return hex + gap + "(bad checksum)";
    return hex + gap + (FromProgram ? DescribeRequest(F) : DescribeReply(F));
}

} // namespace sim
