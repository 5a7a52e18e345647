#include "serial/PortName.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

std::string PortMapDirectory()
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && *config)
        return std::string(config) + "/orvelle/ports";
    const char* home = std::getenv("HOME");
    if (home && *home)
        return std::string(home) + "/.config/orvelle/ports";
    // No home at all: only paths and the /dev/ttyS defaults remain.
    return std::string();
}

bool MakePortMapDirectory(const std::string& Dir, std::string& Error)
{
    for (size_t at = 0; at != std::string::npos;) {
        at = Dir.find('/', at + 1);
        const std::string part = Dir.substr(0, at);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            Error = "cannot create " + part + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

namespace {

// The n of "COMn" (1 or more, plain decimal without a leading zero), or 0.
unsigned long ComNumber(const std::string& Name)
{
    if (Name.size() < 4 || Name.compare(0, 3, "COM") != 0)
        return 0;
    const std::string digits = Name.substr(3);
    // Nine digits keep the number and n - 1 far from any overflow.
    if (digits.size() > 9 || digits[0] == '0')
        return 0;
    unsigned long n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return 0;
        n = n * 10 + unsigned(c - '0');
    }
    return n;
}

} // namespace

bool IsComName(const std::string& Name) { return ComNumber(Name) != 0; }

std::string PortMapLink(const std::string& ComName, const std::string& MapDirectory)
{
    if (MapDirectory.empty() || !IsComName(ComName))
        return std::string();
    return MapDirectory + "/" + ComName;
}

std::string ResolveCommName(const std::string& Name, const std::string& MapDirectory)
{
    if (Name.find('\0') != std::string::npos)
        return std::string();
    if (Name.find('/') != std::string::npos)
        return Name;
    const unsigned long n = ComNumber(Name);
    if (n == 0)
        return std::string();
    std::string link = PortMapLink(Name, MapDirectory);
    struct stat st { };
    // Only a symbolic link counts; the device it names is checked at open.
    if (!link.empty() && ::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        return link;
    return "/dev/ttyS" + std::to_string(n - 1);
}

std::string ResolveCommName(const std::string& Name)
{
    return ResolveCommName(Name, PortMapDirectory());
}

std::string LinkTarget(const std::string& Path)
{
    char to[PATH_MAX] = {};
    const ssize_t n = ::readlink(Path.c_str(), to, sizeof to - 1);
    return std::string(to, n > 0 ? size_t(n) : 0);
}

std::string SimRecordPath(const std::string& LinkPath) { return LinkPath + ".pid"; }

namespace {

// At most Max bytes of a regular file, opened without waiting: a FIFO or a
// device in the map must not hold up the lookup.
std::optional<std::string> ReadSmallFile(const std::string& Path, size_t Max)
{
    const int fd = ::open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st { };
    std::optional<std::string> text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        std::string bytes(Max, '\0');
        ssize_t n = 0;
        do
            n = ::read(fd, bytes.data(), Max);
        while (n < 0 && errno == EINTR);
        if (n >= 0)
            text = bytes.substr(0, size_t(n));
    }
    ::close(fd);
    return text;
}

} // namespace

std::optional<TSimRecord> ReadSimRecord(const std::string& LinkPath)
{
    const std::optional<std::string> text = ReadSmallFile(SimRecordPath(LinkPath), PATH_MAX + 64);
    if (!text)
        return std::nullopt;
    std::istringstream fields(*text);
    TSimRecord record;
    if (!(fields >> record.Pid >> record.Start >> record.Device) || record.Pid <= 0)
        return std::nullopt;
    return record;
}

unsigned long long ProcessStartTime(long Pid)
{
    if (Pid <= 0)
        return 0;
    const std::optional<std::string> text = ReadSmallFile("/proc/" + std::to_string(Pid) + "/stat", 4096);
    if (!text)
        return 0;
    // The command name, in parentheses, may hold blanks: count from its end.
    const size_t close = text->rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text->substr(close + 1));
    std::string skip;
    for (int field = 3; field < 22; ++field)
        fields >> skip;
    unsigned long long start = 0;
    fields >> start;
    return start;
}

bool SimRecordRunning(const TSimRecord& Record)
{
    return Record.Start != 0 && ProcessStartTime(Record.Pid) == Record.Start;
}

std::string StaleSimulatorLink(const std::string& Name, const std::string& MapDirectory)
{
    const std::string link = PortMapLink(Name, MapDirectory);
    if (link.empty())
        return std::string();
    const std::string target = LinkTarget(link);
    if (target.empty())
        return std::string();
    const std::optional<TSimRecord> record = ReadSimRecord(link);
    if (!record || record->Device != target || SimRecordRunning(*record))
        return std::string();
    return Name + " points at a reader simulator that has ended (process " + std::to_string(record->Pid)
        + "): start it again or remove the link";
}

std::string StaleSimulatorLink(const std::string& Name) { return StaleSimulatorLink(Name, PortMapDirectory()); }
