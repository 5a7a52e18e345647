#pragma once
// TComm: one serial port with a read thread and a write thread. Everything the
// threads have to report reaches the owner as events on the thread that
// constructed the component (the user-interface thread).

#include "serial/CommsError.h"
#include "serial/LineEvents.h"
#include "serial/LineSettings.h"

#include <QObject>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
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

    // The line settings as one value. SetSettings applies a changed value at
    // once to an open port; see the properties below.
    const TLineSettings& Settings() const { return FSettings; }
    void SetSettings(const TLineSettings& Value);

    // Published properties, each a field of Settings(). CommName is a plain
    // store; every other setter does nothing for an unchanged value and
    // applies a change at once to an open port. When the port refuses it,
    // the setter raises ECommsError (the step and errno of the refusal); the
    // value is kept and goes to the port with the next change or opening.
    const std::string& CommName() const { return FCommName; }
    void SetCommName(const std::string& Value) { FCommName = Value; }

    uint32_t BaudRate() const { return FSettings.BaudRate; }
    void SetBaudRate(uint32_t Value) { ChangeLine(&TLineSettings::BaudRate, Value); }
    TByteSize ByteSize() const { return FSettings.ByteSize; }
    void SetByteSize(TByteSize Value) { ChangeLine(&TLineSettings::ByteSize, Value); }
    TParity Parity() const { return FSettings.Parity; }
    void SetParity(TParity Value) { ChangeLine(&TLineSettings::Parity, Value); }
    TStopBits StopBits() const { return FSettings.StopBits; }
    void SetStopBits(TStopBits Value) { ChangeLine(&TLineSettings::StopBits, Value); }
    bool ParityCheck() const { return FSettings.ParityCheck; }
    void SetParityCheck(bool Value) { ChangeLine(&TLineSettings::ParityCheck, Value); }
    bool Outx_CtsFlow() const { return FSettings.Outx_CtsFlow; }
    void SetOutx_CtsFlow(bool Value) { ChangeLine(&TLineSettings::Outx_CtsFlow, Value); }
    bool Outx_XonXoffFlow() const { return FSettings.Outx_XonXoffFlow; }
    void SetOutx_XonXoffFlow(bool Value) { ChangeLine(&TLineSettings::Outx_XonXoffFlow, Value); }
    bool Inx_XonXoffFlow() const { return FSettings.Inx_XonXoffFlow; }
    void SetInx_XonXoffFlow(bool Value) { ChangeLine(&TLineSettings::Inx_XonXoffFlow, Value); }
    char XonChar() const { return FSettings.XonChar; }
    void SetXonChar(char Value) { ChangeLine(&TLineSettings::XonChar, Value); }
    char XoffChar() const { return FSettings.XoffChar; }
    void SetXoffChar(char Value) { ChangeLine(&TLineSettings::XoffChar, Value); }
    TDtrControl DtrControl() const { return FSettings.DtrControl; }
    void SetDtrControl(TDtrControl Value) { ChangeLine(&TLineSettings::DtrControl, Value); }
    TRtsControl RtsControl() const { return FSettings.RtsControl; }
    void SetRtsControl(TRtsControl Value) { ChangeLine(&TLineSettings::RtsControl, Value); }

    // Kept but not applied: Linux has no counterpart for them (see
    // TLineSettings), so their setters are plain stores.
    bool Outx_DsrFlow() const { return FSettings.Outx_DsrFlow; }
    void SetOutx_DsrFlow(bool Value) { FSettings.Outx_DsrFlow = Value; }
    bool DsrSensitivity() const { return FSettings.DsrSensitivity; }
    void SetDsrSensitivity(bool Value) { FSettings.DsrSensitivity = Value; }
    bool TxContinueOnXoff() const { return FSettings.TxContinueOnXoff; }
    void SetTxContinueOnXoff(bool Value) { FSettings.TxContinueOnXoff = Value; }
    uint16_t XonLimit() const { return FSettings.XonLimit; }
    void SetXonLimit(uint16_t Value) { FSettings.XonLimit = Value; }
    uint16_t XoffLimit() const { return FSettings.XoffLimit; }
    void SetXoffLimit(uint16_t Value) { FSettings.XoffLimit = Value; }
    bool IgnoreNullChar() const { return FSettings.IgnoreNullChar; }
    void SetIgnoreNullChar(bool Value) { FSettings.IgnoreNullChar = Value; }
    bool ReplaceWhenParityError() const { return FSettings.ReplaceWhenParityError; }
    void SetReplaceWhenParityError(bool Value) { FSettings.ReplaceWhenParityError = Value; }
    char ReplacedChar() const { return FSettings.ReplacedChar; }
    void SetReplacedChar(char Value) { FSettings.ReplacedChar = Value; }
    uint32_t WriteTotalTimeoutMultiplier() const { return FSettings.WriteTotalTimeoutMultiplier; }
    void SetWriteTotalTimeoutMultiplier(uint32_t Value) { FSettings.WriteTotalTimeoutMultiplier = Value; }
    uint32_t WriteTotalTimeoutConstant() const { return FSettings.WriteTotalTimeoutConstant; }
    void SetWriteTotalTimeoutConstant(uint32_t Value) { FSettings.WriteTotalTimeoutConstant = Value; }

    // The read time-outs reach the read thread, never the terminal: their
    // setters cannot fail.
    uint32_t ReadIntervalTimeout() const { return FSettings.ReadIntervalTimeout; }
    void SetReadIntervalTimeout(uint32_t Value) { ChangeTimeout(&TLineSettings::ReadIntervalTimeout, Value); }
    uint32_t ReadTotalTimeoutMultiplier() const { return FSettings.ReadTotalTimeoutMultiplier; }
    void SetReadTotalTimeoutMultiplier(uint32_t Value) { ChangeTimeout(&TLineSettings::ReadTotalTimeoutMultiplier, Value); }
    uint32_t ReadTotalTimeoutConstant() const { return FSettings.ReadTotalTimeoutConstant; }
    void SetReadTotalTimeoutConstant(uint32_t Value) { ChangeTimeout(&TLineSettings::ReadTotalTimeoutConstant, Value); }
    TChunkWhole FirstChunkWhole() const { return FSettings.FirstChunkWhole; }
    void SetFirstChunkWhole(TChunkWhole Value) { ChangeTimeout(&TLineSettings::FirstChunkWhole, Value); }

    // Events: plain stores, fired on the constructing thread in posting order.
    TReceiveDataEvent OnReceiveData;
    TReceiveErrorEvent OnReceiveError;
    // Set before OpenPort: the carrier and ring watch starts only then.
    TModemStateChangeEvent OnModemStateChange;
    TNotifyEvent OnRequestHangup;
    TSendDataEmptyEvent OnSendDataEmpty;

private:
    // What every property setter does: a changed terminal setting is written
    // to an open port at once (the whole line, as ApplyTo writes it); a read
    // time-out reaches the read thread from its next wake on.
    template <typename T>
    void ChangeLine(T TLineSettings::*Field, T Value)
    {
        if (FSettings.*Field == Value)
            return;
        FSettings.*Field = Value;
        ApplyLineSettings();
    }
    template <typename T>
    void ChangeTimeout(T TLineSettings::*Field, T Value)
    {
        FSettings.*Field = Value;
        ApplyTimeouts();
    }

    // The steps of OpenPort, each raising ECommsError and leaving nothing
    // open behind it when it fails.
    int OpenDevice() const;
    static void LockDevice(int Port);
    static termios CheckTerminal(int Port);
    void ConfigurePort(int Port, const termios& Found);
    void StartThreads();
    void StartModemWatch();

    // Writes the terminal part of the settings to an open port; raises
    // ECommsError when the port refuses.
    void ApplyLineSettings();
    // Hands the read time-outs to the read thread.
    void ApplyTimeouts();
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
    TLineSettings FSettings;
};
