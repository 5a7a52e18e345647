#include "serial/Comm.h"

#include "serial/CommNotifier.h"
#include "serial/PortName.h"
#include "serial/ReadThread.h"
#include "serial/ThreadFields.h"
#include "serial/WriteThread.h"

#include <asm/ioctls.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <system_error>

// Arbitrary rates go through the kernel's second termios layout; glibc's
// <termios.h> does not declare it, so it is spelled out here.
struct termios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};

namespace {

constexpr tcflag_t OtherBaud = 0010000; // BOTHER
constexpr tcflag_t BaudMask = 0010017;  // CBAUD

// The termios constant for a rate, or 0 when the rate has none. Rate 0 would
// hang the line up, so it is treated like any rate the driver does not take.
speed_t BaudConstant(uint32_t Rate)
{
    switch (Rate) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 576000: return B576000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    case 1152000: return B1152000;
    case 1500000: return B1500000;
    case 2000000: return B2000000;
    case 2500000: return B2500000;
    case 3000000: return B3000000;
    case 3500000: return B3500000;
    case 4000000: return B4000000;
    default: return 0;
    }
}

void SetModemLine(int Port, int Line, bool On)
{
    // Pseudo-terminals have no modem lines (ENOTTY/EINVAL): nothing to hold.
    ::ioctl(Port, On ? TIOCMBIS : TIOCMBIC, &Line);
}

} // namespace

TComm::TComm(QObject* Owner)
    : QObject(Owner), FTimeouts(std::make_unique<TCommTimeouts>()), FGate(std::make_unique<TReceiveGate>())
{
    // The notifications of the threads are delivered to the thread that
    // builds the component.
    FNotifier = new TCommNotifier(this);
}

TComm::~TComm()
{
    ClosePort();
    FNotifier->Release();
    FNotifier = nullptr;
}

void TComm::PurgeInput()
{
    if (FHandle < 0)
        return;
    std::lock_guard<std::mutex> lock(FGate->Lock);
    FGate->Generation.fetch_add(1);
    ::tcflush(FHandle, TCIFLUSH);
}

uint64_t TComm::ReceivedBytes() const
{
    return FGate->Received.load();
}

bool TComm::SendDataEmpty() const
{
    return FSendEmpty.load();
}

void TComm::OpenPort()
{
    if (FHandle >= 0)
        throw ECommsError("This serial port already opened");

    const std::string device = ResolveCommName(FCommName);
    if (device.empty())
        throw ECommsError("Error opening serial port");
    const int port = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port < 0)
        throw ECommsError("Error opening serial port");

    // The port is used by one party only. TIOCEXCL turns away later opens of
    // the terminal, but root is exempt from it; the advisory lock keeps off a
    // second component or a second program whoever runs it.
    if (::flock(port, LOCK_EX | LOCK_NB) != 0) {
        ::close(port);
        throw ECommsError("Error opening serial port");
    }
    // A terminal of any kind answers TIOCGETD; /dev/null, files, pipes and
    // sockets do not.
    int discipline = -1;
    if (::ioctl(port, TIOCGETD, &discipline) != 0) {
        ::close(port);
        throw ECommsError("File handle is not a comm handle ");
    }
    ::ioctl(port, TIOCEXCL);

    // The driver queues cannot be sized here: the line discipline keeps a
    // fixed receive buffer (4096 bytes) and the driver its own transmit
    // buffer. What stands in for the 4096-byte request is making sure the
    // port runs the plain terminal discipline, so the queues are the usual
    // ones and the terminal settings apply.
    termios probe {};
    if (discipline != N_TTY || ::tcgetattr(port, &probe) != 0) {
        ::ioctl(port, TIOCNXCL);
        ::close(port);
        throw ECommsError("Cannot setup comm buffer");
    }

    FHandle = port;
    ::tcflush(FHandle, TCIOFLUSH);
    FSendEmpty.store(true);
    ApplyTimeouts();
    ApplyLineSettings();

    FCloseEvent = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FCloseEvent < 0) {
        ReleaseHandles();
        throw ECommsError("Unable to create event");
    }

    const TThreadFields fields{FHandle, FCloseEvent, FNotifier, FGate.get(), ++FSession};
    try {
        FReadThread = std::make_unique<TReadThread>(fields, FTimeouts.get());
    } catch (const std::bad_alloc&) {
        ReleaseHandles();
        throw ECommsError("Unable to create read thread");
    }
    try {
        FWriteThread = std::make_unique<TWriteThread>(fields, &FSendEmpty);
    } catch (const std::exception&) {
        // The read thread has not started yet: releasing it is enough.
        FReadThread.reset();
        ReleaseHandles();
        throw ECommsError("Unable to create write thread");
    }

    // Read thread first, then the write thread. The write queue already
    // accepts requests, so WriteData works as soon as this returns.
    try {
        FReadThread->Resume();
    } catch (const std::system_error&) {
        FReadThread.reset();
        FWriteThread.reset();
        ReleaseHandles();
        throw ECommsError("Unable to create read thread");
    }
    try {
        FWriteThread->Resume();
    } catch (const std::system_error&) {
        EndReadThread();
        FWriteThread.reset();
        ReleaseHandles();
        throw ECommsError("Unable to create write thread");
    }
}

void TComm::ClosePort()
{
    if (FHandle < 0)
        return;
    EndReadThread();
    EndWriteThread();
    ReleaseHandles();
}

void TComm::ReleaseHandles()
{
    if (FCloseEvent >= 0) {
        ::close(FCloseEvent);
        FCloseEvent = -1;
    }
    if (FHandle >= 0) {
        ::ioctl(FHandle, TIOCNXCL);
        // Nothing is left to drain, so closing never waits for the line.
        ::tcflush(FHandle, TCIOFLUSH);
        ::close(FHandle); // releases the lock too
        FHandle = -1;
    }
    FSendEmpty.store(true);
}

// Both threads wait on the close event in every wait, so once it is
// signalled they end promptly and joining cannot hang; no time limit is
// needed on the join.
void TComm::EndReadThread()
{
    if (!FReadThread)
        return;
    SignalClose(FCloseEvent);
    ::tcflush(FHandle, TCIFLUSH);
    FReadThread->WaitFor();
    FReadThread.reset();
}

void TComm::EndWriteThread()
{
    if (!FWriteThread)
        return;
    SignalClose(FCloseEvent);
    ::tcflush(FHandle, TCOFLUSH);
    FSendEmpty.store(true);
    FWriteThread->WaitFor();
    FWriteThread.reset();
}

bool TComm::WriteData(const void* Buffer, uint16_t Length)
{
    if (!FWriteThread || Length == 0 || Buffer == nullptr)
        return false;
    TDataBlock block;
    try {
        block = TDataBlock::Copy(Buffer, Length);
    } catch (const std::bad_alloc&) {
        return false;
    }
    // Fails once the write thread has ended; the block is then released here.
    return FWriteThread->Post(block);
}

void TComm::HandleNotification(QEvent* Message)
{
    auto* message = static_cast<TCommMessage*>(Message);
    // Handlers are copied first: a handler may replace itself.
    switch (int(Message->type())) {
    case NotifyReceiveData:
        // Read before the last purge: it belongs to nobody.
        if (message->Generation != FGate->Generation.load())
            break;
        if (auto handler = OnReceiveData)
            handler(this, message->Block.Bytes.get(), uint16_t(message->Block.Count));
        break; // the block goes with the message, handled or not
    case NotifyReceiveError:
        if (auto handler = OnReceiveError)
            handler(this, message->Param);
        break;
    case NotifyRequestHangup:
        // The threads of a port closed since have nothing left to hang up;
        // their word must not close the port opened after it.
        if (!IsOpen() || message->Param != FSession)
            break;
        if (auto handler = OnRequestHangup)
            handler(this);
        break;
    case NotifyModemStateChange:
        if (auto handler = OnModemStateChange)
            handler(this, message->Param);
        break;
    case NotifySendDataEmpty:
        if (auto handler = OnSendDataEmpty)
            handler(this);
        break;
    default:
        break;
    }
}

// Rewrites the whole line set-up from the properties. Termios has no
// counterpart for a few of the classic settings:
// - Outx_DsrFlow, DsrSensitivity, TxContinueOnXoff, XonLimit and XoffLimit
//   are kept but not applied (the driver's thresholds are fixed);
// - DtrHandshake holds DTR on (no DTR/DSR flow control here);
//   RtsTransmissionAvailable holds RTS on;
// - ParityCheck turns on INPCK, and a byte with a parity error then reads as
//   0 whether or not ReplaceWhenParityError is set, so only ReplacedChar 0
//   is honoured; bytes are never marked (PARMRK) nor dropped (IGNPAR), which
//   would change the data;
// - IgnoreNullChar is kept but not applied: zero bytes are delivered.
// What the driver refuses is left as it was, silently.
void TComm::ApplyLineSettings()
{
    if (FHandle < 0)
        return;
    termios t {};
    if (::tcgetattr(FHandle, &t) != 0)
        return;

    t.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF
                           | IXANY | INPCK | IGNPAR | IMAXBEL | IUTF8);
    t.c_oflag &= ~tcflag_t(OPOST);
    t.c_lflag &= ~tcflag_t(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;

    switch (FByteSize) {
    case TByteSize::_5: t.c_cflag |= CS5; break;
    case TByteSize::_6: t.c_cflag |= CS6; break;
    case TByteSize::_7: t.c_cflag |= CS7; break;
    case TByteSize::_8: t.c_cflag |= CS8; break;
    }
    switch (FParity) {
    case TParity::None: break;
    case TParity::Odd: t.c_cflag |= PARENB | PARODD; break;
    case TParity::Even: t.c_cflag |= PARENB; break;
    case TParity::Mark: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case TParity::Space: t.c_cflag |= PARENB | CMSPAR; break;
    }
    // A UART given two stop bits sends 1.5 of them with 5 data bits and 2
    // otherwise, so 1.5 asks for two as well.
    if (FStopBits != TStopBits::_1)
        t.c_cflag |= CSTOPB;
    if (FParityCheck)
        t.c_iflag |= INPCK;
    if (FOutx_CtsFlow || FRtsControl == TRtsControl::RtsHandshake)
        t.c_cflag |= CRTSCTS;
    if (FOutx_XonXoffFlow)
        t.c_iflag |= IXON;
    if (FInx_XonXoffFlow)
        t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = cc_t(FXonChar);
    t.c_cc[VSTOP] = cc_t(FXoffChar);

    const speed_t speed = BaudConstant(FBaudRate);
    if (speed != 0) {
        ::cfsetispeed(&t, speed);
        ::cfsetospeed(&t, speed);
    }
    ::tcsetattr(FHandle, TCSANOW, &t);

    if (speed == 0 && FBaudRate != 0) {
        termios2 t2 {};
        if (::ioctl(FHandle, TCGETS2, &t2) == 0) {
            t2.c_cflag = (t2.c_cflag & ~BaudMask) | OtherBaud;
            t2.c_ispeed = FBaudRate;
            t2.c_ospeed = FBaudRate;
            ::ioctl(FHandle, TCSETS2, &t2);
        }
    }

    SetModemLine(FHandle, TIOCM_DTR, FDtrControl != TDtrControl::DtrDisable);
    // With RTS handshaking the driver drives RTS itself.
    if (FRtsControl != TRtsControl::RtsHandshake)
        SetModemLine(FHandle, TIOCM_RTS, FRtsControl != TRtsControl::RtsDisable);
}

void TComm::ApplyTimeouts()
{
    FTimeouts->ReadInterval.store(FReadIntervalTimeout);
    FTimeouts->ReadTotalMultiplier.store(FReadTotalTimeoutMultiplier);
    FTimeouts->ReadTotalConstant.store(FReadTotalTimeoutConstant);
    FTimeouts->WriteTotalMultiplier.store(FWriteTotalTimeoutMultiplier);
    FTimeouts->WriteTotalConstant.store(FWriteTotalTimeoutConstant);
}

#define COMM_LINE_SETTER(Name, Type)            \
    void TComm::Set##Name(Type Value)           \
    {                                           \
        if (F##Name == Value)                   \
            return;                             \
        F##Name = Value;                        \
        if (IsOpen())                           \
            ApplyLineSettings();                \
    }

#define COMM_TIMEOUT_SETTER(Name)               \
    void TComm::Set##Name(uint32_t Value)       \
    {                                           \
        if (F##Name == Value)                   \
            return;                             \
        F##Name = Value;                        \
        if (IsOpen())                           \
            ApplyTimeouts();                    \
    }

COMM_LINE_SETTER(BaudRate, uint32_t)
COMM_LINE_SETTER(ParityCheck, bool)
COMM_LINE_SETTER(Outx_CtsFlow, bool)
COMM_LINE_SETTER(Outx_DsrFlow, bool)
COMM_LINE_SETTER(DtrControl, TDtrControl)
COMM_LINE_SETTER(DsrSensitivity, bool)
COMM_LINE_SETTER(TxContinueOnXoff, bool)
COMM_LINE_SETTER(Outx_XonXoffFlow, bool)
COMM_LINE_SETTER(Inx_XonXoffFlow, bool)
COMM_LINE_SETTER(ReplaceWhenParityError, bool)
COMM_LINE_SETTER(IgnoreNullChar, bool)
COMM_LINE_SETTER(RtsControl, TRtsControl)
COMM_LINE_SETTER(XonLimit, uint16_t)
COMM_LINE_SETTER(XoffLimit, uint16_t)
COMM_LINE_SETTER(ByteSize, TByteSize)
COMM_LINE_SETTER(Parity, TParity)
COMM_LINE_SETTER(StopBits, TStopBits)
COMM_LINE_SETTER(XonChar, char)
COMM_LINE_SETTER(XoffChar, char)
COMM_LINE_SETTER(ReplacedChar, char)

COMM_TIMEOUT_SETTER(ReadIntervalTimeout)
COMM_TIMEOUT_SETTER(ReadTotalTimeoutMultiplier)
COMM_TIMEOUT_SETTER(ReadTotalTimeoutConstant)
COMM_TIMEOUT_SETTER(WriteTotalTimeoutMultiplier)
COMM_TIMEOUT_SETTER(WriteTotalTimeoutConstant)
