#include "serial/PortName.h"

#include <sys/stat.h>

#include <cstdlib>
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

std::string PortMapLink(const std::string& ComName)
{
    return PortMapLink(ComName, PortMapDirectory());
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
