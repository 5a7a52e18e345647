// Line settings of the serial port component, read back from the terminal
// itself: the master side of a pseudo-terminal reports the slave's settings.

#include "serial/Comm.h"
#include "serial/OpenFailure.h"
#include "support/PtyPeer.h"

#include <gtest/gtest.h>

#include <asm/ioctls.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

using namespace std::chrono_literals;

// The kernel's own layout for arbitrary rates (not declared by <termios.h>).
struct termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};

namespace {

// The rate both directions of the terminal run at, from the kernel's own
// settings; 0 when they differ.
uint32_t CustomRate(int Master)
{
    termios2 t2{};
    EXPECT_EQ(::ioctl(Master, TCGETS2, &t2), 0);
    return t2.c_ospeed == t2.c_ispeed ? t2.c_ospeed : 0;
}

class SerialSettings : public ::testing::Test {
protected:
    void SetUp() override
    {
        Comm.SetCommName(Peer.SlavePath());
        Comm.SetDtrControl(TDtrControl::DtrDisable);
        Comm.SetRtsControl(TRtsControl::RtsDisable);
        // A pseudo-terminal always reports 8 data bits and no parity
        // enable; what it keeps is checked, the rest cannot be seen here.
        termios t = Line();
        t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB;
        ::tcsetattr(Peer.MasterFd(), TCSANOW, &t);
        const tcflag_t c = Line().c_cflag;
        Kept = ~tcflag_t(0);
        if ((c & CSIZE) != CS7)
            Kept &= ~tcflag_t(CSIZE);
        if (!(c & PARENB))
            Kept &= ~tcflag_t(PARENB);
    }

    termios Line()
    {
        termios t{};
        EXPECT_EQ(::tcgetattr(Peer.MasterFd(), &t), 0);
        return t;
    }
    speed_t OSpeed()
    {
        const termios t = Line();
        return ::cfgetospeed(&t);
    }
    // Changes the line behind the component's back.
    void Disturb(speed_t Speed, tcflag_t AddCflag)
    {
        termios t = Line();
        ::cfsetispeed(&t, Speed);
        ::cfsetospeed(&t, Speed);
        t.c_cflag |= AddCflag;
        ASSERT_EQ(::tcsetattr(Peer.MasterFd(), TCSANOW, &t), 0);
    }

    // The slave side opened as the component opens it.
    int OpenSlave()
    {
        return ::open(Peer.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }

    PtyPeer Peer;
    TComm Comm;
    tcflag_t Kept = 0; // the c_cflag bits this driver keeps as set
};

} // namespace

TEST_F(SerialSettings, OpenPortSetsARawLineFromTheProperties)
{
    // Start from a cooked, slow, parity-checking line.
    termios cooked = Line();
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    cooked.c_oflag |= OPOST;
    cooked.c_iflag |= ICRNL | IXON;
    cooked.c_cflag |= HUPCL | PARENB | CSTOPB;
    ::cfsetispeed(&cooked, B1200);
    ::cfsetospeed(&cooked, B1200);
    ASSERT_EQ(::tcsetattr(Peer.MasterFd(), TCSANOW, &cooked), 0);

    Comm.OpenPort();
    const termios t = Line();
    EXPECT_EQ(::cfgetospeed(&t), speed_t(B9600));
    EXPECT_EQ(::cfgetispeed(&t), speed_t(B9600));
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS | HUPCL), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IXOFF | INPCK | PARMRK | ISTRIP), 0u);
    EXPECT_EQ(t.c_cc[VSTART], 17);
    EXPECT_EQ(t.c_cc[VSTOP], 19);

    // Raw both ways: CR, LF and control bytes pass untouched.
    const auto bytes = Bytes({0x0D, 0x0A, 0x03, 0x1A, 0x7F, 0xFF, 0x00, 0x11, 0x13});
    ASSERT_TRUE(Comm.WriteData(bytes.data(), uint16_t(bytes.size())));
    EXPECT_EQ(Hex(Peer.Read(bytes.size(), 10s)), Hex(bytes));
    std::vector<uint8_t> got;
    Comm.OnReceiveData = [&](TComm*, const void* Buffer, uint16_t Length) {
        auto* p = static_cast<const uint8_t*>(Buffer);
        got.insert(got.end(), p, p + Length);
    };
    Peer.Write(bytes);
    ASSERT_TRUE(WaitUntil([&] { return got.size() >= bytes.size(); }));
    EXPECT_EQ(Hex(got), Hex(bytes));
}

TEST_F(SerialSettings, SettersApplyAtOnceAndRewriteEverythingButIgnoreAnUnchangedValue)
{
    Comm.OpenPort();

    // An unchanged value touches nothing: the outside change survives.
    Disturb(B1200, CSTOPB);
    Comm.SetBaudRate(9600);
    Comm.SetStopBits(TStopBits::_1);
    Comm.SetParity(TParity::None);
    EXPECT_EQ(OSpeed(), speed_t(B1200));
    EXPECT_NE(Line().c_cflag & CSTOPB, 0u);

    // A changed one rewrites the whole line from the properties.
    Comm.SetParity(TParity::Even);
    termios t = Line();
    EXPECT_EQ(::cfgetospeed(&t), speed_t(B9600));
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR) & Kept, tcflag_t(PARENB) & Kept);

    Comm.SetBaudRate(115200);
    EXPECT_EQ(OSpeed(), speed_t(B115200));

    struct {
        TParity Parity;
        tcflag_t Bits;
    } parities[] = {
        {TParity::None, 0},
        {TParity::Odd, PARENB | PARODD},
        {TParity::Even, PARENB},
        {TParity::Mark, PARENB | PARODD | CMSPAR},
        {TParity::Space, PARENB | CMSPAR},
    };
    for (const auto& p : parities) {
        Comm.SetParity(p.Parity);
        EXPECT_EQ(Line().c_cflag & (PARENB | PARODD | CMSPAR) & Kept, p.Bits & Kept) << int(p.Parity);
    }

    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    for (int i = 0; i < 4; ++i) {
        Comm.SetByteSize(TByteSize(i));
        if (Kept & CSIZE) {
            EXPECT_EQ(Line().c_cflag & CSIZE, sizes[i]) << i;
        }
    }

    Comm.SetStopBits(TStopBits::_2);
    EXPECT_NE(Line().c_cflag & CSTOPB, 0u);
    Comm.SetStopBits(TStopBits::_1_5);
    EXPECT_NE(Line().c_cflag & CSTOPB, 0u);
    Comm.SetStopBits(TStopBits::_1);
    EXPECT_EQ(Line().c_cflag & CSTOPB, 0u);

    // Flow control and the XON/XOFF characters.
    Comm.SetOutx_CtsFlow(true);
    EXPECT_NE(Line().c_cflag & CRTSCTS, 0u);
    Comm.SetOutx_CtsFlow(false);
    EXPECT_EQ(Line().c_cflag & CRTSCTS, 0u);
    Comm.SetRtsControl(TRtsControl::RtsHandshake);
    EXPECT_NE(Line().c_cflag & CRTSCTS, 0u);
    Comm.SetRtsControl(TRtsControl::RtsDisable);
    EXPECT_EQ(Line().c_cflag & CRTSCTS, 0u);

    Comm.SetOutx_XonXoffFlow(true);
    Comm.SetInx_XonXoffFlow(true);
    Comm.SetXonChar(0x01);
    Comm.SetXoffChar(0x02);
    t = Line();
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
    EXPECT_EQ(t.c_cc[VSTART], 0x01);
    EXPECT_EQ(t.c_cc[VSTOP], 0x02);

    Comm.SetParityCheck(true);
    EXPECT_NE(Line().c_iflag & INPCK, 0u);
    Comm.SetParityCheck(false);
    EXPECT_EQ(Line().c_iflag & INPCK, 0u);

    // The line stays raw through all of it.
    t = Line();
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD | HUPCL), tcflag_t(CLOCAL | CREAD));
}

TEST_F(SerialSettings, RatesWithoutAConstantGoThroughTheArbitraryRateCall)
{
    Comm.OpenPort();
    Comm.SetBaudRate(14400);
    termios2 t2{};
    ASSERT_EQ(::ioctl(Peer.MasterFd(), TCGETS2, &t2), 0);
    EXPECT_EQ(t2.c_ospeed, 14400u);
    EXPECT_EQ(t2.c_ispeed, 14400u);

    // Rate 0 would drop the line: the previous rate stays.
    Comm.SetBaudRate(0);
    ASSERT_EQ(::ioctl(Peer.MasterFd(), TCGETS2, &t2), 0);
    EXPECT_EQ(t2.c_ospeed, 14400u);

    Comm.SetBaudRate(9600);
    EXPECT_EQ(OSpeed(), speed_t(B9600));
}

TEST_F(SerialSettings, SettingsMadeWhileClosedTakeEffectAtOpen)
{
    const speed_t before = OSpeed();
    ASSERT_NE(before, speed_t(B19200));
    Comm.SetBaudRate(19200);
    Comm.SetByteSize(TByteSize::_7);
    Comm.SetParity(TParity::Odd);
    Comm.SetStopBits(TStopBits::_2);
    // Nothing is applied to a closed port.
    EXPECT_EQ(OSpeed(), before);
    Comm.OpenPort();
    const termios t = Line();
    EXPECT_EQ(::cfgetospeed(&t), speed_t(B19200));
    if (Kept & CSIZE) {
        EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS7));
    }
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CSTOPB) & Kept, tcflag_t(PARENB | PARODD | CSTOPB) & Kept);

    // CommName changed while open is a plain store.
    Comm.SetCommName("/nonexistent/tty");
    ASSERT_TRUE(Comm.WriteData("ok", 2));
    EXPECT_EQ(Hex(Peer.Read(2, 10s)), "6F 6B");
}

TEST_F(SerialSettings, DefaultsAreThoseOfAFreshComponent)
{
    TComm fresh;
    EXPECT_EQ(fresh.CommName(), "COM2");
    EXPECT_EQ(fresh.BaudRate(), 9600u);
    EXPECT_EQ(fresh.DtrControl(), TDtrControl::DtrEnable);
    EXPECT_EQ(fresh.RtsControl(), TRtsControl::RtsEnable);
    EXPECT_EQ(fresh.ByteSize(), TByteSize::_8);
    EXPECT_EQ(fresh.Parity(), TParity::None);
    EXPECT_EQ(fresh.StopBits(), TStopBits::_1);
    EXPECT_EQ(fresh.XonLimit(), 500);
    EXPECT_EQ(fresh.XoffLimit(), 500);
    EXPECT_EQ(fresh.XonChar(), 17);
    EXPECT_EQ(fresh.XoffChar(), 19);
    EXPECT_EQ(fresh.ReplacedChar(), 0);
    EXPECT_EQ(fresh.ReadIntervalTimeout(), 100u);
    EXPECT_EQ(fresh.ReadTotalTimeoutMultiplier() + fresh.ReadTotalTimeoutConstant()
            + fresh.WriteTotalTimeoutMultiplier() + fresh.WriteTotalTimeoutConstant(),
        0u);
    EXPECT_FALSE(fresh.ParityCheck() || fresh.Outx_CtsFlow() || fresh.Outx_DsrFlow()
        || fresh.DsrSensitivity() || fresh.TxContinueOnXoff() || fresh.Outx_XonXoffFlow()
        || fresh.Inx_XonXoffFlow() || fresh.ReplaceWhenParityError() || fresh.IgnoreNullChar());
    EXPECT_FALSE(fresh.IsOpen());
    EXPECT_TRUE(fresh.SendDataEmpty());
}

TEST_F(SerialSettings, ModemLinesFollowDtrAndRtsWhereTheDriverHasThem)
{
    Comm.OpenPort();
    int lines = 0;
    if (::ioctl(Peer.MasterFd(), TIOCMGET, &lines) != 0)
        GTEST_SKIP() << "pseudo-terminals have no modem lines";
    EXPECT_EQ(lines & (TIOCM_DTR | TIOCM_RTS), 0);
    Comm.SetDtrControl(TDtrControl::DtrEnable);
    Comm.SetRtsControl(TRtsControl::RtsEnable);
    ASSERT_EQ(::ioctl(Peer.MasterFd(), TIOCMGET, &lines), 0);
    EXPECT_EQ(lines & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);
}

TEST_F(SerialSettings, EachSettingAppliedAloneReachesTheTerminal)
{
    const int port = OpenSlave();
    ASSERT_GE(port, 0);
    // What the master side shows of one setting: flag bits, a character, a
    // rate. Needs: the c_cflag bits the terminal must keep for it to be seen.
    using TShown = uint32_t (*)(int Master, const termios&);
    struct Row {
        const char* Name;
        void (*Change)(TLineSettings&);
        TShown Shown;
        uint32_t Expected;
        tcflag_t Needs = 0;
    };
    const TShown speed = [](int, const termios& t) { return uint32_t(::cfgetospeed(&t) == ::cfgetispeed(&t) ? ::cfgetospeed(&t) : 0); };
    const TShown rate = [](int Master, const termios&) { return CustomRate(Master); };
    const TShown framing = [](int, const termios& t) { return uint32_t(t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB)); };
    const TShown flow = [](int, const termios& t) { return uint32_t((t.c_cflag & CRTSCTS) | (t.c_iflag & (IXON | IXOFF | INPCK))); };
    const TShown xon = [](int, const termios& t) { return uint32_t(t.c_cc[VSTART]); };
    const TShown xoff = [](int, const termios& t) { return uint32_t(t.c_cc[VSTOP]); };
    const Row rows[] = {
        {"rate with a constant", [](TLineSettings& s) { s.BaudRate = 115200; }, speed, B115200},
        {"rate without one", [](TLineSettings& s) { s.BaudRate = 14400; }, rate, 14400},
        {"7 data bits", [](TLineSettings& s) { s.ByteSize = TByteSize::_7; }, framing, CS7, CSIZE},
        {"odd parity", [](TLineSettings& s) { s.Parity = TParity::Odd; }, framing, CS8 | PARENB | PARODD, PARENB},
        {"space parity", [](TLineSettings& s) { s.Parity = TParity::Space; }, framing, CS8 | PARENB | CMSPAR, PARENB},
        {"two stop bits", [](TLineSettings& s) { s.StopBits = TStopBits::_2; }, framing, CS8 | CSTOPB},
        {"parity check", [](TLineSettings& s) { s.ParityCheck = true; }, flow, INPCK},
        {"CTS flow", [](TLineSettings& s) { s.Outx_CtsFlow = true; }, flow, CRTSCTS},
        {"RTS handshake", [](TLineSettings& s) { s.RtsControl = TRtsControl::RtsHandshake; }, flow, CRTSCTS},
        {"XON/XOFF out", [](TLineSettings& s) { s.Outx_XonXoffFlow = true; }, flow, IXON},
        {"XON/XOFF in", [](TLineSettings& s) { s.Inx_XonXoffFlow = true; }, flow, IXOFF},
        {"XON character", [](TLineSettings& s) { s.XonChar = 0x01; }, xon, 0x01},
        {"XOFF character", [](TLineSettings& s) { s.XoffChar = 0x02; }, xoff, 0x02},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        if ((row.Needs & Kept) != row.Needs)
            continue; // this terminal does not keep it: nothing to see
        ASSERT_TRUE(TLineSettings{}.ApplyTo(port));
        EXPECT_NE(row.Shown(Peer.MasterFd(), Line()), row.Expected);
        TLineSettings changed;
        row.Change(changed);
        const TApplyResult result = changed.ApplyTo(port);
        EXPECT_TRUE(result) << result.Step << ": " << std::strerror(result.Errno);
        EXPECT_EQ(row.Shown(Peer.MasterFd(), Line()), row.Expected);
    }
    ::close(port);
}

TEST_F(SerialSettings, AFailingApplyReturnsTheStepAndErrnoAndTheComponentRaisesIt)
{
    int pipeEnds[2] = {-1, -1};
    ASSERT_EQ(::pipe(pipeEnds), 0);
    const int closed = OpenSlave();
    ASSERT_GE(closed, 0);
    ::close(closed);

    const struct {
        const char* Name;
        int Port;
        int Errno;
        const char* Step;
    } rows[] = {
        {"closed descriptor", closed, EBADF, "tcgetattr"},
        {"not a terminal", pipeEnds[0], ENOTTY, "tcgetattr"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        const TApplyResult result = TLineSettings{}.ApplyTo(row.Port);
        EXPECT_FALSE(result);
        EXPECT_EQ(result.Errno, row.Errno);
        EXPECT_STREQ(result.Step, row.Step);
    }
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);

    // An open port whose device has gone refuses a change: the setter says so.
    Comm.OpenPort();
    Peer.CloseMaster();
    try {
        Comm.SetBaudRate(19200);
        ADD_FAILURE() << "a change the port refused passed for applied";
    } catch (const ECommsError& error) {
        EXPECT_EQ(error.code(), std::errc::io_error);
        EXPECT_EQ(std::string(error.what()), "Cannot apply line settings: tcgetattr");
        EXPECT_EQ(DescribeOpenFailure("COM1", "/dev/pts/9", error),
            "cannot open COM1 (/dev/pts/9): tcgetattr: " + std::make_error_code(std::errc::io_error).message());
    }
    EXPECT_EQ(Comm.BaudRate(), 19200u); // kept for the next change or opening
}
