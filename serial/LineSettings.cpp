#include "serial/LineSettings.h"

#include "serial/CustomBaud.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

#include <cerrno>

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

// Pseudo-terminals have no modem lines and say so (ENOTTY, or EINVAL from
// some drivers): nothing to hold there. Any other refusal is reported.
int SetModemLine(int Port, int Line, bool On)
{
    if (::ioctl(Port, On ? TIOCMBIS : TIOCMBIC, &Line) == 0)
        return 0;
    const int err = errno;
    return err == ENOTTY || err == EINVAL ? 0 : err;
}

// The raw line: no canonical mode, echo, signals or output processing, reads
// that return as soon as a byte is there; the read thread cuts the chunks.
void MakeRaw(termios& t)
{
    t.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF
        | IXANY | INPCK | IGNPAR | IMAXBEL | IUTF8);
    t.c_oflag &= ~tcflag_t(OPOST);
    t.c_lflag &= ~tcflag_t(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

void SetFraming(termios& t, const TLineSettings& s)
{
    switch (s.ByteSize) {
    case TByteSize::_5: t.c_cflag |= CS5; break;
    case TByteSize::_6: t.c_cflag |= CS6; break;
    case TByteSize::_7: t.c_cflag |= CS7; break;
    case TByteSize::_8: t.c_cflag |= CS8; break;
    }
    switch (s.Parity) {
    case TParity::None: break;
    case TParity::Odd: t.c_cflag |= PARENB | PARODD; break;
    case TParity::Even: t.c_cflag |= PARENB; break;
    case TParity::Mark: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case TParity::Space: t.c_cflag |= PARENB | CMSPAR; break;
    }
    if (s.StopBits != TStopBits::_1)
        t.c_cflag |= CSTOPB;
    if (s.ParityCheck)
        t.c_iflag |= INPCK;
}

void SetFlowControl(termios& t, const TLineSettings& s)
{
    if (s.Outx_CtsFlow || s.RtsControl == TRtsControl::RtsHandshake)
        t.c_cflag |= CRTSCTS;
    if (s.Outx_XonXoffFlow)
        t.c_iflag |= IXON;
    if (s.Inx_XonXoffFlow)
        t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = cc_t(s.XonChar);
    t.c_cc[VSTOP] = cc_t(s.XoffChar);
}

// A pseudo-terminal has no wire and so no framing: it keeps 8 data bits
// without parity whatever it is asked, and glibc's tcsetattr, reading the
// settings back, reports that as EINVAL although the kernel applied all the
// rest. That, on a pseudo-terminal (the majors of its slave side), is all
// that is let pass; any other refusal is the driver's.
bool OnlyFramingDropped(int Port, const termios& Asked)
{
    struct stat st { };
    if (::fstat(Port, &st) != 0 || !S_ISCHR(st.st_mode) || major(st.st_rdev) < 136 || major(st.st_rdev) > 143)
        return false;
    termios got{};
    if (::tcgetattr(Port, &got) != 0)
        return false;
    const tcflag_t framing = CSIZE | PARENB | PARODD | CMSPAR | CBAUD | CBAUDEX;
    return got.c_iflag == Asked.c_iflag && got.c_oflag == Asked.c_oflag && got.c_lflag == Asked.c_lflag
        && (got.c_cflag & ~framing) == (Asked.c_cflag & ~framing);
}

} // namespace

// What the driver refuses is reported with the step that met the refusal; the
// steps before it have taken effect.
TApplyResult TLineSettings::ApplyTo(int Port) const
{
    termios t{};
    if (::tcgetattr(Port, &t) != 0)
        return {errno, "tcgetattr"};
    MakeRaw(t);
    SetFraming(t, *this);
    SetFlowControl(t, *this);
    const speed_t speed = BaudConstant(BaudRate);
    if (speed != 0) {
        ::cfsetispeed(&t, speed);
        ::cfsetospeed(&t, speed);
    }
    if (::tcsetattr(Port, TCSANOW, &t) != 0) {
        const int err = errno;
        if (err != EINVAL || !OnlyFramingDropped(Port, t))
            return {err, "tcsetattr"};
    }
    if (speed == 0 && BaudRate != 0) {
        if (const int err = SetCustomBaudRate(Port, BaudRate); err != 0)
            return {err, "custom baud"};
    }

    int err = SetModemLine(Port, TIOCM_DTR, DtrControl != TDtrControl::DtrDisable);
    // With RTS handshaking the driver drives RTS itself.
    if (err == 0 && RtsControl != TRtsControl::RtsHandshake)
        err = SetModemLine(Port, TIOCM_RTS, RtsControl != TRtsControl::RtsDisable);
    if (err != 0)
        return {err, "modem lines"};
    return {};
}
