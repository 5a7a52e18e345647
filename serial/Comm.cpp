#include "serial/Comm.h"

#include "serial/CommNotifier.h"
#include "serial/ModemWatch.h"
#include "serial/PortName.h"
#include "serial/ReadThread.h"
#include "serial/ThreadFields.h"
#include "serial/WriteThread.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <system_error>

TComm::TComm(QObject* Owner)
    : QObject(Owner)
    , FTimeouts(std::make_unique<TCommTimeouts>())
    , FGate(std::make_unique<TReceiveGate>())
{
    // The notifications of the threads are delivered to the thread that
    // builds the component.
    FNotifier = new TCommNotifier([this](QEvent* Message) { HandleNotification(Message); });
}

TComm::~TComm()
{
    ClosePort();
    FNotifier->Release();
    FNotifier = nullptr;
}

void TComm::PurgeInput()
{
    if (FPort < 0)
        return;
    std::lock_guard<std::mutex> lock(FGate->Lock);
    FGate->Generation.fetch_add(1);
    ::tcflush(FPort, TCIFLUSH);
}

uint64_t TComm::ReceivedBytes() const
{
    return FGate->Received.load();
}

bool TComm::SendDataEmpty() const
{
    return FSendEmpty.load();
}

// Every failure carries the errno of the call that failed, taken right there;
// where no call failed, the error that says what went wrong.
void TComm::OpenPort()
{
    if (FPort >= 0)
        throw ECommsError(EBUSY, "This serial port already opened");
    const int port = OpenDevice();
    termios found{};
    try {
        LockDevice(port);
        found = CheckTerminal(port);
    } catch (const ECommsError&) {
        ::close(port);
        throw;
    }
    ConfigurePort(port, found);
    StartThreads();
    StartModemWatch();
}

int TComm::OpenDevice() const
{
    const std::string device = ResolveCommName(FCommName);
    if (device.empty())
        throw ECommsError(ENODEV, "Error opening serial port");
    // The device of a simulator that has ended may now be someone's shell.
    const std::string stale = StaleSimulatorLink(FCommName);
    if (!stale.empty())
        throw ECommsError(ESRCH, "Error opening serial port", stale);
    const int port = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port < 0)
        throw ECommsError(errno, "Error opening serial port");
    return port;
}

// The port is used by one party only. TIOCEXCL (taken in CheckTerminal, once
// the port is known to be a terminal) turns away later opens of the terminal,
// but root is exempt from it; the advisory lock keeps off a second component
// or a second program whoever runs it.
void TComm::LockDevice(int Port)
{
    if (::flock(Port, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        // EWOULDBLOCK means someone holds the port: say so, as TIOCEXCL does.
        throw ECommsError(err == EWOULDBLOCK ? EBUSY : err, "Error opening serial port");
    }
}

// The terminal settings the port has now. A terminal of any kind answers
// TIOCGETD; /dev/null, files, pipes and sockets do not.
//
// The driver queues cannot be sized here: the line discipline keeps a fixed
// receive buffer (4096 bytes) and the driver its own transmit buffer. What
// stands in for the 4096-byte request is making sure the port runs the plain
// terminal discipline, so the queues are the usual ones and the terminal
// settings apply. Another discipline means a kernel protocol (PPP, SLIP, ...)
// has the line: the port is busy.
termios TComm::CheckTerminal(int Port)
{
    int discipline = -1;
    if (::ioctl(Port, TIOCGETD, &discipline) != 0)
        throw ECommsError(errno, "File handle is not a comm handle ");
    ::ioctl(Port, TIOCEXCL);

    termios found{};
    const int setupError = discipline != N_TTY ? EBUSY : ::tcgetattr(Port, &found) != 0 ? errno
                                                                                        : 0;
    if (setupError != 0) {
        ::ioctl(Port, TIOCNXCL);
        throw ECommsError(setupError, "Cannot setup comm buffer");
    }
    return found;
}

// From here on the component owns the port: a failure releases it, putting
// back the settings it was found with.
void TComm::ConfigurePort(int Port, const termios& Found)
{
    FPort = Port;
    FFoundSettings = std::make_unique<termios>(Found);
    ::tcflush(FPort, TCIOFLUSH);
    FSendEmpty.store(true);
    ApplyTimeouts();
    try {
        ApplyLineSettings();
    } catch (const ECommsError&) {
        ReleasePort();
        throw;
    }
}

// Read thread first, then the write thread. The write queue already accepts
// requests, so WriteData works as soon as OpenPort returns.
void TComm::StartThreads()
{
    FCloseEvent = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FCloseEvent < 0) {
        const int err = errno;
        ReleasePort();
        throw ECommsError(err, "Unable to create event");
    }

    const TThreadFields fields{FPort, FCloseEvent, FNotifier, FGate.get(), ++FSession};
    // A failure drops whatever was made so far: a thread that runs is
    // stopped through the close event, one that never started is just
    // released.
    const auto fail = [this](int Errno, const char* Message) {
        if (FReadThread)
            FReadThread->Stop();
        FReadThread.reset();
        FWriteThread.reset();
        ReleasePort();
        return ECommsError(Errno, Message);
    };
    const char* const readFailure = "Unable to create read thread";
    const char* const writeFailure = "Unable to create write thread";
    const char* step = readFailure;
    try {
        FReadThread = std::make_unique<TReadThread>(fields, FTimeouts.get());
        step = writeFailure;
        FWriteThread = std::make_unique<TWriteThread>(fields, &FSendEmpty);
        step = readFailure;
        FReadThread->Resume();
        step = writeFailure;
        FWriteThread->Resume();
    } catch (const std::bad_alloc&) {
        throw fail(ENOMEM, step);
    } catch (const std::system_error& e) { // the write queue's eventfd, or a thread
        throw fail(e.code().value(), step);
    }
}

// The carrier and ring watch costs a thread and a signal handler, so it runs
// only for an owner that listens, and only where the driver counts those
// lines (pseudo-terminals do not).
void TComm::StartModemWatch()
{
    if (!OnModemStateChange)
        return;
    try {
        auto watch = std::make_unique<TModemWatch>(FPort, FNotifier);
        if (watch->Start())
            FModemWatch = std::move(watch);
    } catch (const std::bad_alloc&) {
        // The port works without it; only carrier and ring go unreported.
    }
}

bool TComm::ModemWatchRunning() const
{
    return FModemWatch && FModemWatch->Running();
}

void TComm::ClosePort()
{
    if (FPort < 0)
        return;
    FModemWatch.reset(); // stops the helper while the port is still open
    if (FReadThread)
        FReadThread->Stop();
    FReadThread.reset();
    if (FWriteThread)
        FWriteThread->Stop();
    FWriteThread.reset();
    ReleasePort();
}

void TComm::ReleasePort()
{
    if (FCloseEvent >= 0) {
        ::close(FCloseEvent);
        FCloseEvent = -1;
    }
    if (FPort >= 0) {
        ::ioctl(FPort, TIOCNXCL);
        // Nothing is left to drain, so closing never waits for the line.
        ::tcflush(FPort, TCIOFLUSH);
        // As it was found; a device gone meanwhile refuses, which is no matter.
        if (FFoundSettings)
            ::tcsetattr(FPort, TCSANOW, FFoundSettings.get());
        FFoundSettings.reset();
        ::close(FPort); // releases the lock too
        FPort = -1;
    }
    FSendEmpty.store(true);
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

void TComm::SetSettings(const TLineSettings& Value)
{
    if (Value == FSettings)
        return;
    FSettings = Value;
    ApplyTimeouts();
    ApplyLineSettings();
}

// Rewrites the whole line set-up from the settings. The value stays as it was
// set when the port refuses it; it is written again with the next change.
void TComm::ApplyLineSettings()
{
    if (FPort < 0)
        return;
    const TApplyResult result = FSettings.ApplyTo(FPort);
    if (!result)
        throw ECommsError(result);
}

void TComm::ApplyTimeouts()
{
    FTimeouts->ReadInterval.store(FSettings.ReadIntervalTimeout);
    FTimeouts->ReadTotalMultiplier.store(FSettings.ReadTotalTimeoutMultiplier);
    FTimeouts->ReadTotalConstant.store(FSettings.ReadTotalTimeoutConstant);
    FTimeouts->FirstChunkWhole.store(FSettings.FirstChunkWhole);
}
