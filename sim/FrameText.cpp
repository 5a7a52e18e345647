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
std::string DescribeRequest(const std::vector<uint8_t>& Frame)
{
    const uint8_t cmd = Frame[1];
    const TCommandInfo* info = FindCommand(cmd);
    std::string what = info ? info->Name : "unknown command";
    char text[96];
    const size_t n = Frame.size();
    if ((cmd == Cmd::SearchCard || cmd == Cmd::SearchCardSerial) && n >= 4) {
        what += Frame[2] ? " all cards" : " idle cards";
    } else if (cmd == Cmd::Authenticate && n >= 5) {
        std::snprintf(text, sizeof text, " sector %d key source %d", Frame[2], Frame[3]);
        what += text;
        if (n >= 11)
            what += " key " + HexOf(Frame.data() + AuthKeyOffset, KeyBytes);
    } else if ((cmd == Cmd::ReadBlock || cmd == Cmd::WriteBlock) && n >= 4) {
        std::snprintf(text, sizeof text, " block %d", Frame[2]);
        what += text;
    } else if (cmd == Cmd::ValueOperation && n >= 10) {
        std::snprintf(text, sizeof text, " %s block %d to %d by %u",
            Frame[2] == ValueOp::Increment ? "increment" : "decrement", Frame[3], Frame[4],
            unsigned(Frame[5]) << 24 | unsigned(Frame[6]) << 16 | unsigned(Frame[7]) << 8 | Frame[8]);
        what += text;
    } else if (cmd == Cmd::DownloadKey && n >= 11) {
        std::snprintf(text, sizeof text, " key %c sector %d ", Frame[2] ? 'B' : 'A', Frame[3]);
        what += text + HexOf(Frame.data() + DownloadKeyOffset, KeyBytes);
    }
    return what;
}

// "ok read", or "error 84 authentication failed" for a status reply.
std::string DescribeReply(const std::vector<uint8_t>& Frame)
{
    const uint8_t code = Frame[1];
    if (const TCommandInfo* info = FindCommand(code))
        return std::string("ok ") + info->Name;
    char text[96];
    std::snprintf(text, sizeof text, "error %02X %s", code, StatusName(code).c_str());
    return text;
}

} // namespace

std::string DescribeFrame(const std::vector<uint8_t>& Frame, bool FromProgram)
{
    std::string hex = HexOf(Frame.data(), Frame.size());
    if (Frame.size() < 2)
        return hex;
    // The meaning starts in one column while the hex leaves room for it.
    const std::string gap(hex.size() < 60 ? 60 - hex.size() : 2, ' ');
    if (Frame.size() != size_t(Frame[0]) + 1)
        return hex + gap + "(part of a frame, or noise)";
    if (Checksum({Frame.data(), Frame.size() - 1}) != Frame.back())
        return hex + gap + "(bad checksum)";
    return hex + gap + (FromProgram ? DescribeRequest(Frame) : DescribeReply(Frame));
}

} // namespace sim
