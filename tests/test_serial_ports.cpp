// Finding the serial devices, sending them the link test, and linking a COM
// name: over a system tree made in a folder, real pseudo-terminals and the
// simulator.

#include "serial/PortName.h"
#include "serial/PortScan.h"
#include "sim/SimServer.h"
#include "support/PtyPeer.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

// A /dev, a /sys, a locks file and a port map of the test's own.
class TFakeSystem {
public:
    TFakeSystem()
    {
        if (!FDir.isValid())
            throw std::runtime_error("no temporary directory");
        Roots.Dev = Path("dev");
        Roots.Sys = Path("sys");
        Roots.Locks = Path("locks");
        Roots.MapDirectory = Path("map");
        Folder("dev/serial/by-id");
        Folder("sys/class/tty");
        Folder("map");
        File("locks", "");
    }

    std::string Path(const std::string& Relative) const { return FDir.path().toStdString() + "/" + Relative; }
    void Folder(const std::string& Relative) const
    {
        std::string at;
        for (size_t from = 0; from != std::string::npos;) {
            const size_t slash = Relative.find('/', from);
            at = Relative.substr(0, slash);
            ::mkdir(Path(at).c_str(), 0755);
            from = slash == std::string::npos ? slash : slash + 1;
        }
    }
    void File(const std::string& Relative, const std::string& Text) const
    {
        Folder(Relative.substr(0, Relative.rfind('/') == std::string::npos ? 0 : Relative.rfind('/')));
        std::ofstream(Path(Relative)) << Text;
    }
    void Link(const std::string& Relative, const std::string& Target) const
    {
        ::unlink(Path(Relative).c_str());
        ASSERT_EQ(::symlink(Target.c_str(), Path(Relative).c_str()), 0) << Relative;
    }
    // Writes the record orvelle-sim leaves beside its link.
    void SimRecord(const std::string& Com, long Pid, unsigned long long Start, const std::string& Device) const
    {
        std::ofstream(SimRecordPath(Path("map/" + Com))) << Pid << ' ' << Start << ' ' << Device << '\n';
    }
    // A locks file line naming the file at Relative as locked by Pid.
    void Lock(const std::string& Target, long Pid) const
    {
        struct stat st { };
        ASSERT_EQ(::stat(Target.c_str(), &st), 0);
        char line[160];
        std::snprintf(line, sizeof line, "1: FLOCK  ADVISORY  WRITE %ld %02x:%02x:%llu 0 EOF\n", Pid,
            unsigned(major(st.st_dev)), unsigned(minor(st.st_dev)), (unsigned long long)st.st_ino);
        std::ofstream(Roots.Locks, std::ios::app) << "2: POSIX  ADVISORY  READ 1 00:00:1 0 EOF\n"
                                                  << line;
    }

    TScanRoots Roots;

private:
    QTemporaryDir FDir;
};

std::string OwnName()
{
    std::string name;
    std::getline(std::ifstream("/proc/self/comm"), name);
    return name;
}

std::string Joined(const std::vector<std::string>& Items)
{
    std::string text;
    for (const std::string& item : Items)
        text += (text.empty() ? "" : " ") + item;
    return text;
}

} // namespace

// One USB adapter with every attribute and a by-id name, a CDC device held
// by a process, a real UART, a placeholder UART and one without a driver,
// a named path, and a port map with each kind of link.
TEST(SerialPorts, ScanListsEveryDeviceWithWhatSysfsSaysAndThePortMap)
{
    TFakeSystem sys;
    for (const char* tty : {"ttyUSB0", "ttyACM0", "ttyS0", "ttyS1", "ttyS2", "tty0", "extra"})
        sys.File(std::string("dev/") + tty, "");
    sys.Link("dev/serial/by-id/usb-Acme_Reader_A1-if00-port0", "../../ttyUSB0");

    const std::string usb = "sys/devices/pci0/usb1/1-1";
    for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{{"idVendor", "0403\n"},
             {"idProduct", "6001\n"}, {"manufacturer", "Acme\n"}, {"product", "Reader\n"}, {"serial", "A1\n"}})
        sys.File(usb + "/" + name, value);
    sys.Folder(usb + "/1-1:1.0/ttyUSB0");
    sys.Folder("sys/bus/usb-serial/drivers/ftdi_sio");
    sys.Folder("sys/bus/platform/drivers/serial8250");
    sys.Link(usb + "/1-1:1.0/ttyUSB0/driver", sys.Path("sys/bus/usb-serial/drivers/ftdi_sio"));
    sys.Folder("sys/class/tty/ttyUSB0");
    sys.Link("sys/class/tty/ttyUSB0/device", sys.Path(usb + "/1-1:1.0/ttyUSB0"));
    for (const auto& [tty, type] :
        std::vector<std::pair<std::string, std::string>>{{"ttyS0", "4\n"}, {"ttyS1", "0\n"}, {"ttyS2", ""}}) {
        sys.Folder("sys/devices/platform/serial8250/" + tty);
        sys.Folder("sys/class/tty/" + tty);
        sys.Link("sys/class/tty/" + tty + "/device", sys.Path("sys/devices/platform/serial8250/" + tty));
        if (!type.empty()) {
            sys.File("sys/class/tty/" + tty + "/type", type);
            sys.Link("sys/devices/platform/serial8250/" + tty + "/driver",
                sys.Path("sys/bus/platform/drivers/serial8250"));
        }
    }
    sys.Lock(sys.Path("dev/ttyACM0"), ::getpid());

    sys.Link("map/COM1", sys.Path("dev/ttyUSB0"));
    sys.Link("map/COM10", sys.Path("dev/gone"));
    sys.Link("map/COM3", sys.Path("dev/ttyS0"));
    sys.SimRecord("COM3", ::getpid(), ProcessStartTime(::getpid()), sys.Path("dev/ttyS0"));
    sys.Link("map/COM4", sys.Path("dev/extra"));
    sys.SimRecord("COM4", 1, 0, sys.Path("dev/extra"));
    sys.File("map/COM5", "not a link");

    const TPortScan scan = ScanPorts({sys.Path("dev/extra")}, sys.Roots);

    struct TRow {
        std::string Path, Device, Driver, UsbId, Maker, Product, Serial, HeldBy, ComNames;
    };
    const std::string self = std::to_string(::getpid());
    const std::vector<TRow> ports{
        {"dev/serial/by-id/usb-Acme_Reader_A1-if00-port0", "dev/ttyUSB0", "ftdi_sio", "0403:6001", "Acme", "Reader",
            "A1", "", "COM1"},
        {"dev/ttyACM0", "dev/ttyACM0", "", "", "", "", "", "pid " + self + " (" + OwnName() + ")", ""},
        {"dev/ttyS0", "dev/ttyS0", "serial8250", "", "", "", "", "", "COM3"},
        {"dev/extra", "dev/extra", "", "", "", "", "", "", "COM4"},
    };
    ASSERT_EQ(scan.Ports.size(), ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        const TPortInfo& got = scan.Ports[i];
        const TRow& want = ports[i];
        SCOPED_TRACE(want.Path);
        EXPECT_EQ(got.Path, sys.Path(want.Path));
        EXPECT_EQ(got.Device, sys.Path(want.Device));
        EXPECT_EQ(got.Driver, want.Driver);
        EXPECT_EQ(got.UsbId, want.UsbId);
        EXPECT_EQ(got.Maker + "/" + got.Product + "/" + got.Serial, want.Maker + "/" + want.Product + "/" + want.Serial);
        EXPECT_EQ(got.HeldBy, want.HeldBy);
        EXPECT_EQ(Joined(got.ComNames), want.ComNames);
    }

    const std::vector<std::pair<std::string, std::string>> map{{"COM1", ""}, {"COM3", "simulator pid " + self},
        {"COM4", "stale simulator (pid 1 gone)"}, {"COM10", "leads to nothing"}};
    ASSERT_EQ(scan.Map.size(), map.size());
    for (size_t i = 0; i < map.size(); ++i) {
        EXPECT_EQ(scan.Map[i].ComName, map[i].first);
        EXPECT_EQ(scan.Map[i].State, map[i].second) << map[i].first;
    }
    EXPECT_EQ(scan.Map[3].Target, sys.Path("dev/gone"));

    // The free USB device, the running simulator's UART, and the named path;
    // not the held device, nor the stale link's, nor the unmapped UART.
    EXPECT_EQ(Joined(ProbeTargets(scan, {sys.Path("dev/extra")})),
        Joined({sys.Path("dev/serial/by-id/usb-Acme_Reader_A1-if00-port0"), sys.Path("dev/ttyS0"),
            sys.Path("dev/extra")}));
    EXPECT_EQ(Joined(ProbeTargets(scan, {})),
        Joined({sys.Path("dev/serial/by-id/usb-Acme_Reader_A1-if00-port0"), sys.Path("dev/ttyS0")}));
}

TEST(SerialPorts, ScanOfASystemWithoutSerialDevicesIsEmpty)
{
    TFakeSystem sys;
    sys.File("dev/tty0", "");
    const TPortScan scan = ScanPorts({}, sys.Roots);
    EXPECT_TRUE(scan.Ports.empty());
    EXPECT_TRUE(scan.Map.empty());
}
