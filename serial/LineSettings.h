#pragma once
// TLineSettings: everything the component sets up on its line, as one value.
// The terminal part is written to a port by ApplyTo, in one call that says
// which step failed and why; the read time-outs go to the read thread.

#include <cstddef>
#include <cstdint>
#include <system_error>

enum class TParity { None,
    Odd,
    Even,
    Mark,
    Space };
enum class TStopBits { _1,
    _1_5,
    _2 };
enum class TByteSize { _5,
    _6,
    _7,
    _8 };
enum class TDtrControl { DtrEnable,
    DtrDisable,
    DtrHandshake };
enum class TRtsControl { RtsEnable,
    RtsDisable,
    RtsHandshake,
    RtsTransmissionAvailable };

// Says whether the bytes of a chunk so far are whole as they stand (see
// TLineSettings::FirstChunkWhole).
using TChunkWhole = bool (*)(const uint8_t* Bytes, size_t Count);

// How applying settings to a port ended: Errno 0 when every step took, else
// the errno of the first step that failed, taken right there, and that
// step's name ("tcgetattr", "tcsetattr", "custom baud", "modem lines").
struct TApplyResult {
    int Errno = 0;
    const char* Step = "";

    explicit operator bool() const { return Errno == 0; }
    std::error_code Code() const { return {Errno, std::generic_category()}; }
};

struct TLineSettings {
    // Rates without a termios constant go through the kernel's
    // arbitrary-rate call; 0 leaves the rate as it is (it would hang up).
    uint32_t BaudRate = 9600;
    TByteSize ByteSize = TByteSize::_8;
    TParity Parity = TParity::None;
    // 1.5 asks for two, as a UART given two sends 1.5 with 5 data bits.
    TStopBits StopBits = TStopBits::_1;
    // Turns on INPCK: a byte with a parity error then reads as 0.
    bool ParityCheck = false;
    bool Outx_CtsFlow = false;
    bool Outx_XonXoffFlow = false;
    bool Inx_XonXoffFlow = false;
    char XonChar = 17;
    char XoffChar = 19;
    // DtrHandshake holds DTR on: there is no DTR/DSR flow control here.
    TDtrControl DtrControl = TDtrControl::DtrEnable;
    // RtsHandshake is CTS/RTS flow control; RtsTransmissionAvailable holds
    // RTS on.
    TRtsControl RtsControl = TRtsControl::RtsEnable;

    // Kept but not applied: Linux has no counterpart for them. There is no
    // DSR flow control nor DSR sensitivity, the driver's XON/XOFF thresholds
    // are fixed, transmission always stops on XOFF, zero bytes are always
    // delivered, and a byte with a parity error reads as 0 whatever these
    // say (it is never marked nor dropped: that would change the data).
    bool Outx_DsrFlow = false;
    bool DsrSensitivity = false;
    bool TxContinueOnXoff = false;
    uint16_t XonLimit = 500;
    uint16_t XoffLimit = 500;
    bool IgnoreNullChar = false;
    bool ReplaceWhenParityError = false;
    char ReplacedChar = 0;

    // The read time-outs, in milliseconds, that the read thread cuts chunks
    // by (see TReadThread::IssueRead); the terminal itself stays at VMIN 1,
    // VTIME 0.
    uint32_t ReadIntervalTimeout = 100;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    // What ends the first chunk after a purge early, without waiting for the
    // interval's quiet; none: the read interval alone.
    TChunkWhole FirstChunkWhole = nullptr;
    // Kept but not applied: a write that timed out would be retried with the
    // same remainder anyway, so a block is written until the port closes.
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;

    bool operator==(const TLineSettings&) const = default;

    // Rewrites the whole line set-up of Port: a raw line with these
    // settings, then the DTR and RTS lines where the driver has them.
    [[nodiscard]] TApplyResult ApplyTo(int Port) const;
};
