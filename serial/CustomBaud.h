#pragma once
// Rates without a termios constant, through the kernel's arbitrary-rate call.

#include <cstdint>

// Sets both directions of Port to Rate bits per second; false when the
// driver refuses. Everything else of the line stays as it is.
bool SetCustomBaudRate(int Port, uint32_t Rate);
