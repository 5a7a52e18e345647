#pragma once
// Rates without a termios constant, through the kernel's arbitrary-rate call.

#include <cstdint>

// Sets both directions of Port to Rate bits per second; 0, or the errno of
// the driver's refusal. Everything else of the line stays as it is.
int SetCustomBaudRate(int Port, uint32_t Rate);
