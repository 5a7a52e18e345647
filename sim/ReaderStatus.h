#pragma once
// The reader's reply status codes: byte 1 of a reply when a command was not
// carried out, never 0 and never a command code. SimServer.h tells what
// each one means.

#include <cstdint>

namespace sim {

constexpr uint8_t StatusNoCard = 0x01;
constexpr uint8_t StatusBadChecksum = 0x81;
constexpr uint8_t StatusUnknown = 0x82;
constexpr uint8_t StatusBadRequest = 0x83;
constexpr uint8_t StatusAuthFailed = 0x84;
constexpr uint8_t StatusNotAuth = 0x85;
constexpr uint8_t StatusAccessDenied = 0x86;
constexpr uint8_t StatusNotValue = 0x87;

} // namespace sim
