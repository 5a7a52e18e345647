#include "serial/LineSettings.h"

#include "serial/Comm.h"
#include "serial/CustomBaud.h"

#include <sys/ioctl.h>
#include <termios.h>

namespace {

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

// Termios has no counterpart for a few of the line properties:
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
void WriteLineSettings(int Port, const TComm& Comm)
{
    termios t{};
    if (::tcgetattr(Port, &t) != 0)
        return;

    t.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF
        | IXANY | INPCK | IGNPAR | IMAXBEL | IUTF8);
    t.c_oflag &= ~tcflag_t(OPOST);
    t.c_lflag &= ~tcflag_t(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;

    switch (Comm.ByteSize()) {
    case TByteSize::_5: t.c_cflag |= CS5; break;
    case TByteSize::_6: t.c_cflag |= CS6; break;
    case TByteSize::_7: t.c_cflag |= CS7; break;
    case TByteSize::_8: t.c_cflag |= CS8; break;
    }
    switch (Comm.Parity()) {
    case TParity::None: break;
    case TParity::Odd: t.c_cflag |= PARENB | PARODD; break;
    case TParity::Even: t.c_cflag |= PARENB; break;
    case TParity::Mark: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case TParity::Space: t.c_cflag |= PARENB | CMSPAR; break;
    }
    // A UART given two stop bits sends 1.5 of them with 5 data bits and 2
    // otherwise, so 1.5 asks for two as well.
    if (Comm.StopBits() != TStopBits::_1)
        t.c_cflag |= CSTOPB;
    if (Comm.ParityCheck())
        t.c_iflag |= INPCK;
    if (Comm.Outx_CtsFlow() || Comm.RtsControl() == TRtsControl::RtsHandshake)
        t.c_cflag |= CRTSCTS;
    if (Comm.Outx_XonXoffFlow())
        t.c_iflag |= IXON;
    if (Comm.Inx_XonXoffFlow())
        t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = cc_t(Comm.XonChar());
    t.c_cc[VSTOP] = cc_t(Comm.XoffChar());

    const speed_t speed = BaudConstant(Comm.BaudRate());
    if (speed != 0) {
        ::cfsetispeed(&t, speed);
        ::cfsetospeed(&t, speed);
    }
    ::tcsetattr(Port, TCSANOW, &t);

    if (speed == 0 && Comm.BaudRate() != 0)
        SetCustomBaudRate(Port, Comm.BaudRate());

    SetModemLine(Port, TIOCM_DTR, Comm.DtrControl() != TDtrControl::DtrDisable);
    // With RTS handshaking the driver drives RTS itself.
    if (Comm.RtsControl() != TRtsControl::RtsHandshake)
        SetModemLine(Port, TIOCM_RTS, Comm.RtsControl() != TRtsControl::RtsDisable);
}
