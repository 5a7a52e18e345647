#include "serial/PortScan.h"

#include "serial/PortName.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace {

std::vector<std::string> Entries(const std::string& Dir)
{
    std::vector<std::string> names;
    DIR* dir = ::opendir(Dir.c_str());
    if (!dir)
        return names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

// ttyUSB2 before ttyUSB10, COM2 before COM10.
bool NaturalLess(const std::string& A, const std::string& B)
{
    const size_t a = A.find_last_not_of("0123456789") + 1;
    const size_t b = B.find_last_not_of("0123456789") + 1;
    if (A.compare(0, a, B, 0, b) != 0 || a == A.size() || b == B.size())
        return A < B;
    const std::string na = A.substr(a), nb = B.substr(b);
    return na.size() != nb.size() ? na.size() < nb.size() : na < nb;
}

bool StartsWith(const std::string& Text, const std::string& Head) { return Text.compare(0, Head.size(), Head) == 0; }

std::string BaseName(const std::string& Path) { return Path.substr(Path.rfind('/') + 1); }

// Where Path leads in the end; Path itself when it leads nowhere.
std::string RealPath(const std::string& Path)
{
    char real[PATH_MAX];
    return ::realpath(Path.c_str(), real) ? std::string(real) : Path;
}

bool Exists(const std::string& Path)
{
    struct stat st { };
    return ::stat(Path.c_str(), &st) == 0;
}

// The first line of a small sysfs attribute, "" when there is none.
std::string Attribute(const std::string& Path)
{
    std::ifstream in(Path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r'))
        line.pop_back();
    return line;
}

// The USB device a terminal belongs to: up from its device folder to the
// first one holding idVendor, never above the sysfs root.
std::string UsbDeviceFolder(const std::string& TtyFolder, const std::string& SysRoot)
{
    std::string at = RealPath(TtyFolder + "/device");
    if (!Exists(at))
        return std::string();
    const std::string root = RealPath(SysRoot);
    while (at.size() > root.size() && StartsWith(at, root + "/")) {
        if (Exists(at + "/idVendor"))
            return at;
        at = at.substr(0, at.rfind('/'));
    }
    return std::string();
}

void DescribeFromSysfs(TPortInfo& Port, const std::string& SysRoot)
{
    const std::string tty = SysRoot + "/class/tty/" + BaseName(Port.Device);
    const std::string driver = LinkTarget(tty + "/device/driver");
    if (!driver.empty())
        Port.Driver = BaseName(driver);
    const std::string usb = UsbDeviceFolder(tty, SysRoot);
    if (usb.empty())
        return;
    const std::string vendor = Attribute(usb + "/idVendor"), product = Attribute(usb + "/idProduct");
    if (!vendor.empty())
        Port.UsbId = vendor + ":" + product;
    Port.Maker = Attribute(usb + "/manufacturer");
    Port.Product = Attribute(usb + "/product");
    Port.Serial = Attribute(usb + "/serial");
}

// A built-in UART's terminal counts when a driver owns it; the 8250 driver
// also keeps placeholder ports with no hardware behind them (type 0).
bool RealUart(const std::string& Name, const std::string& SysRoot)
{
    const std::string tty = SysRoot + "/class/tty/" + Name;
    struct stat st { };
    if (::lstat((tty + "/device/driver").c_str(), &st) != 0)
        return false;
    return !Exists(tty + "/type") || Attribute(tty + "/type") != "0";
}

std::string ProcessName(long Pid)
{
    return Attribute("/proc/" + std::to_string(Pid) + "/comm");
}

TMapLink DescribeLink(const std::string& MapDir, const std::string& ComName)
{
    const std::string link = PortMapLink(ComName, MapDir);
    TMapLink out{ComName, LinkTarget(link), std::string(), std::string()};
    if (const std::optional<TSimRecord> record = ReadSimRecord(link); record && record->Device == out.Target) {
        const std::string pid = std::to_string(record->Pid);
        out.State = SimRecordRunning(*record) ? "simulator pid " + pid : "stale simulator (pid " + pid + " gone)";
    } else if (!Exists(link)) {
        out.State = "leads to nothing";
    }
    if (Exists(link))
        out.Device = RealPath(link);
    return out;
}

std::vector<TMapLink> ReadPortMap(const std::string& MapDir)
{
    std::vector<std::string> names;
    for (const std::string& name : Entries(MapDir)) {
        struct stat st { };
        // The lookup takes links only (ResolveCommName): nothing else maps.
        if (IsComName(name) && ::lstat((MapDir + "/" + name).c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end(), NaturalLess);
    std::vector<TMapLink> map;
    for (const std::string& name : names)
        map.push_back(DescribeLink(MapDir, name));
    return map;
}

} // namespace

std::string HolderOf(const std::string& Path, const std::string& Locks)
{
    struct stat st { };
    if (::stat(Path.c_str(), &st) != 0)
        return std::string();
    std::ifstream in(Locks);
    std::string line;
    // "1: FLOCK  ADVISORY  WRITE 4242 00:05:123 0 EOF"; a waiter's line has
    // "->" after the number. The file is named by its file system's device
    // (hex major:minor) and its inode, not by the device it stands for.
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, id;
        long pid = 0;
        fields >> number >> kind;
        if (kind == "->")
            fields >> kind;
        fields >> mode >> access >> pid >> id;
        unsigned devMajor = 0, devMinor = 0;
        unsigned long long inode = 0;
        if (!fields || std::sscanf(id.c_str(), "%x:%x:%llu", &devMajor, &devMinor, &inode) != 3)
            continue;
        if (devMajor != major(st.st_dev) || devMinor != minor(st.st_dev) || inode != st.st_ino)
            continue;
        if (pid <= 0)
            return "a process that shares it (" + kind + " lock)";
        const std::string name = ProcessName(pid);
        return "pid " + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
    }
    return std::string();
}

TPortScan ScanPorts(const std::vector<std::string>& Named, const TScanRoots& Roots)
{
    TPortScan scan;
    std::set<std::string> devices;
    auto add = [&](const std::string& Path) {
        const std::string device = RealPath(Path);
        if (!devices.insert(device).second)
            return;
        TPortInfo port;
        port.Path = Path;
        port.Device = device;
        scan.Ports.push_back(port);
    };
    const std::string byId = Roots.Dev + "/serial/by-id";
    std::vector<std::string> names = Entries(byId);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
        add(byId + "/" + name);
    names = Entries(Roots.Dev);
    std::sort(names.begin(), names.end(), NaturalLess);
    for (const char* head : {"ttyUSB", "ttyACM", "ttyS"})
        for (const std::string& name : names)
            if (StartsWith(name, head) && name.size() > std::string(head).size()
                && (std::string(head) != "ttyS" || RealUart(name, Roots.Sys)))
                add(Roots.Dev + "/" + name);
    for (const std::string& path : Named)
        add(path);

    const std::string mapDir = Roots.MapDirectory.empty() ? PortMapDirectory() : Roots.MapDirectory;
    if (!mapDir.empty())
        scan.Map = ReadPortMap(mapDir);
    for (TPortInfo& port : scan.Ports) {
        DescribeFromSysfs(port, Roots.Sys);
        port.HeldBy = HolderOf(port.Device, Roots.Locks);
        for (const TMapLink& link : scan.Map)
            if (!link.Device.empty() && link.Device == port.Device)
                port.ComNames.push_back(link.ComName);
    }
    return scan;
}

std::vector<std::string> ProbeTargets(const TPortScan& Scan, const std::vector<std::string>& Named)
{
    std::vector<std::string> targets;
    std::set<std::string> devices;
    auto add = [&](const std::string& Path) {
        if (devices.insert(RealPath(Path)).second)
            targets.push_back(Path);
    };
    for (const TPortInfo& port : Scan.Ports) {
        const std::string name = BaseName(port.Device);
        const bool usb = port.Path.find("/serial/by-id/") != std::string::npos || StartsWith(name, "ttyUSB")
            || StartsWith(name, "ttyACM");
        if (usb && port.HeldBy.empty())
            add(port.Path);
    }
    for (const TMapLink& link : Scan.Map) {
        if (link.Device.empty() || StartsWith(link.State, "stale"))
            continue;
        // By the name the scan lists the device under, when it does.
        const auto listed = std::find_if(Scan.Ports.begin(), Scan.Ports.end(),
            [&](const TPortInfo& Port) { return Port.Device == link.Device; });
        add(listed != Scan.Ports.end() ? listed->Path : link.Device);
    }
    for (const std::string& path : Named)
        add(path);
    return targets;
}
