#pragma once
// The bits the component's line events carry; the threads that notice the
// events and the owner that receives them both read them here.

#include <cstdint>

// Modem event bits carried by OnModemStateChange.
constexpr uint32_t ModemEventRing = 4;
constexpr uint32_t ModemEventCarrier = 8;

// Line-error bits carried by OnReceiveError, one for each error counter of
// the driver that moved.
constexpr uint32_t CE_RXOVER = 0x0001;
constexpr uint32_t CE_OVERRUN = 0x0002;
constexpr uint32_t CE_RXPARITY = 0x0004;
constexpr uint32_t CE_FRAME = 0x0008;
constexpr uint32_t CE_BREAK = 0x0010;
