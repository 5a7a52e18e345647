#pragma once
// TComm: one serial port with a read thread and a write thread. Everything the
// threads have to report reaches the owner as events on the thread that
// constructed the component (the user-interface thread).

#include <QObject>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>

class TComm;
class TReadThread;
class TWriteThread;
class TCommNotifier;
class TModemWatch;
struct TCommTimeouts;
struct TReceiveGate;
struct termios;

// Says whether the bytes of a chunk so far are whole as they stand (see
// TComm::SetFirstChunkWhole).
using TChunkWhole = bool (*)(const uint8_t* Bytes, size_t Count);

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

// Every failure of OpenPort. what() is the component's own message; code()
// is the system error behind it, taken where the failure happened (an errno
// value in the generic category).
class ECommsError : public std::system_error {
public:
    ECommsError(int Errno, const char* Message, const std::string& Cause = std::string())
        : std::system_error(Errno, std::generic_category(), Message)
        , FMessage(Message)
        , FCause(Cause)
    {
    }
    // The message alone: system_error would append the error's text.
    const char* what() const noexcept override { return FMessage.what(); }
    // What the user is told in place of the system's reason, when the port
    // was refused for a reason of our own; "" otherwise.
    std::string Cause() const { return FCause.what(); }

private:
    std::runtime_error FMessage; // copies without throwing
    std::runtime_error FCause;
};

using TReceiveDataEvent = std::function<void(TComm* Sender, const void* Buffer, uint16_t BufferLength)>;
using TReceiveErrorEvent = std::function<void(TComm* Sender, uint32_t EventMask)>;
using TModemStateChangeEvent = std::function<void(TComm* Sender, uint32_t ModemEvent)>;
using TSendDataEmptyEvent = std::function<void(TComm* Sender)>;
using TNotifyEvent = std::function<void(TComm* Sender)>;

class TComm : public QObject {
    Q_OBJECT
public:
    explicit TComm(QObject* Owner = nullptr);
    // Closes the port, so the threads never outlive the component.
    ~TComm() override;

    TComm(const TComm&) = delete;
    TComm& operator=(const TComm&) = delete;

    // Raises ECommsError on every failure, leaving the component closed.
    void OpenPort();
    // Ends both threads and closes the port; nothing when closed. Never raises.
    void ClosePort();
    // Queues a copy of Length bytes for the write thread; false when closed,
    // Length is 0, or the hand-off fails.
    bool WriteData(const void* Buffer, uint16_t Length);

    // Drops everything received so far: what the driver holds, the chunk the
    // read thread is collecting and the chunks posted but not yet handed
    // out. Bytes that arrive afterwards start a fresh chunk. Nothing when
    // closed. A request/reply user calls it just before sending a request,
    // so a late reply to an earlier request cannot pass for the new one.
    void PurgeInput();
    // Bytes the read thread has taken from the line since construction.
    uint64_t ReceivedBytes() const;
    // True while the carrier and ring watch runs for the open port. It starts
    // at OpenPort when OnModemStateChange is set then and the driver counts
    // the modem lines, and ends with ClosePort (or by itself once the device
    // has gone).
    bool ModemWatchRunning() const;

    bool IsOpen() const { return FPort >= 0; }
    // True when nothing is queued for sending.
    bool SendDataEmpty() const;

    // Published properties. CommName is a plain store; every other setter
    // does nothing for an unchanged value and applies a change at once to an
    // open port.
    const std::string& CommName() const { return FCommName; }
    void SetCommName(const std::string& Value) { FCommName = Value; }

    uint32_t BaudRate() const { return FBaudRate; }
    void SetBaudRate(uint32_t Value);
    bool ParityCheck() const { return FParityCheck; }
    void SetParityCheck(bool Value);
    bool Outx_CtsFlow() const { return FOutx_CtsFlow; }
    void SetOutx_CtsFlow(bool Value);
    bool Outx_DsrFlow() const { return FOutx_DsrFlow; }
    void SetOutx_DsrFlow(bool Value);
    TDtrControl DtrControl() const { return FDtrControl; }
    void SetDtrControl(TDtrControl Value);
    bool DsrSensitivity() const { return FDsrSensitivity; }
    void SetDsrSensitivity(bool Value);
    bool TxContinueOnXoff() const { return FTxContinueOnXoff; }
    void SetTxContinueOnXoff(bool Value);
    bool Outx_XonXoffFlow() const { return FOutx_XonXoffFlow; }
    void SetOutx_XonXoffFlow(bool Value);
    bool Inx_XonXoffFlow() const { return FInx_XonXoffFlow; }
    void SetInx_XonXoffFlow(bool Value);
    bool ReplaceWhenParityError() const { return FReplaceWhenParityError; }
    void SetReplaceWhenParityError(bool Value);
    bool IgnoreNullChar() const { return FIgnoreNullChar; }
    void SetIgnoreNullChar(bool Value);
    TRtsControl RtsControl() const { return FRtsControl; }
    void SetRtsControl(TRtsControl Value);
    uint16_t XonLimit() const { return FXonLimit; }
    void SetXonLimit(uint16_t Value);
    uint16_t XoffLimit() const { return FXoffLimit; }
    void SetXoffLimit(uint16_t Value);
    TByteSize ByteSize() const { return FByteSize; }
    void SetByteSize(TByteSize Value);
    TParity Parity() const { return FParity; }
    void SetParity(TParity Value);
    TStopBits StopBits() const { return FStopBits; }
    void SetStopBits(TStopBits Value);
    char XonChar() const { return FXonChar; }
    void SetXonChar(char Value);
    char XoffChar() const { return FXoffChar; }
    void SetXoffChar(char Value);
    char ReplacedChar() const { return FReplacedChar; }
    void SetReplacedChar(char Value);
    uint32_t ReadIntervalTimeout() const { return FReadIntervalTimeout; }
    void SetReadIntervalTimeout(uint32_t Value);
    uint32_t ReadTotalTimeoutMultiplier() const { return FReadTotalTimeoutMultiplier; }
    void SetReadTotalTimeoutMultiplier(uint32_t Value);
    uint32_t ReadTotalTimeoutConstant() const { return FReadTotalTimeoutConstant; }
    void SetReadTotalTimeoutConstant(uint32_t Value);
    // What ends the first chunk after a purge early (see TCommTimeouts);
    // none: the read interval alone.
    TChunkWhole FirstChunkWhole() const { return FFirstChunkWhole; }
    void SetFirstChunkWhole(TChunkWhole Value);
    uint32_t WriteTotalTimeoutMultiplier() const { return FWriteTotalTimeoutMultiplier; }
    void SetWriteTotalTimeoutMultiplier(uint32_t Value);
    uint32_t WriteTotalTimeoutConstant() const { return FWriteTotalTimeoutConstant; }
    void SetWriteTotalTimeoutConstant(uint32_t Value);

    // Events: plain stores, fired on the constructing thread in posting order.
    TReceiveDataEvent OnReceiveData;
    TReceiveErrorEvent OnReceiveError;
    // Set before OpenPort: the carrier and ring watch starts only then.
    TModemStateChangeEvent OnModemStateChange;
    TNotifyEvent OnRequestHangup;
    TSendDataEmptyEvent OnSendDataEmpty;

private:
    friend class TCommNotifier;

    void ApplyLineSettings();
    void ApplyTimeouts();
    void EndReadThread();
    void EndWriteThread();
    void StartModemWatch();
    // Runs on the constructing thread for every notification the threads
    // posted to the notifier, and fires the matching event.
    void HandleNotification(QEvent* Message);
    // Releases the close event and the port; the threads must be gone.
    void ReleasePort();

    std::unique_ptr<TReadThread> FReadThread;
    std::unique_ptr<TWriteThread> FWriteThread;
    std::unique_ptr<TModemWatch> FModemWatch;
    int FPort = -1;
    int FCloseEvent = -1;
    // The terminal settings the port had when it was opened, put back at
    // close: a port opened by mistake is not left raw.
    std::unique_ptr<termios> FFoundSettings;
    TCommNotifier* FNotifier = nullptr;
    // Written by the write thread too; it is gone before the component is.
    std::atomic<bool> FSendEmpty{true};
    // What the read thread times its reads by; ApplyTimeouts fills it.
    std::unique_ptr<TCommTimeouts> FTimeouts;
    // Shared with the read thread for purging the receive side.
    std::unique_ptr<TReceiveGate> FGate;
    // Counts the openings; the threads of each carry its number.
    uint32_t FSession = 0;

    std::string FCommName = "COM2";
    uint32_t FBaudRate = 9600;
    bool FParityCheck = false;
    bool FOutx_CtsFlow = false;
    bool FOutx_DsrFlow = false;
    TDtrControl FDtrControl = TDtrControl::DtrEnable;
    bool FDsrSensitivity = false;
    bool FTxContinueOnXoff = false;
    bool FOutx_XonXoffFlow = false;
    bool FInx_XonXoffFlow = false;
    bool FReplaceWhenParityError = false;
    bool FIgnoreNullChar = false;
    TRtsControl FRtsControl = TRtsControl::RtsEnable;
    uint16_t FXonLimit = 500;
    uint16_t FXoffLimit = 500;
    TByteSize FByteSize = TByteSize::_8;
    TParity FParity = TParity::None;
    TStopBits FStopBits = TStopBits::_1;
    char FXonChar = 17;
    char FXoffChar = 19;
    char FReplacedChar = 0;
    uint32_t FReadIntervalTimeout = 100;
    uint32_t FReadTotalTimeoutMultiplier = 0;
    uint32_t FReadTotalTimeoutConstant = 0;
    TChunkWhole FFirstChunkWhole = nullptr;
    uint32_t FWriteTotalTimeoutMultiplier = 0;
    uint32_t FWriteTotalTimeoutConstant = 0;
};
