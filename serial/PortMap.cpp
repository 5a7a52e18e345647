// Linking a COM name to a device in the user's port map: the link is
// replaced in one step (a new link beside it renamed over it), so the
// component never finds the name missing or half made.
#include "serial/PortName.h"
#include "serial/PortScan.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace {

std::string Absolute(const std::string& Path)
{
    if (!Path.empty() && Path[0] == '/')
        return Path;
    char here[PATH_MAX];
    return ::getcwd(here, sizeof here) ? std::string(here) + "/" + Path : Path;
}

// The name that survives replugging: the by-id link leading to the same
// terminal, when the system made one.
std::string StableName(const std::string& Path, const TScanRoots& Roots)
{
    if (Path.find("/serial/by-id/") != std::string::npos)
        return Path;
    char real[PATH_MAX], other[PATH_MAX];
    const std::string byId = Roots.Dev + "/serial/by-id";
    DIR* dir = ::realpath(Path.c_str(), real) ? ::opendir(byId.c_str()) : nullptr;
    std::string stable;
    while (dir && stable.empty()) {
        const dirent* entry = ::readdir(dir);
        if (!entry)
            break;
        const std::string name = byId + "/" + entry->d_name;
        if (entry->d_name[0] != '.' && ::realpath(name.c_str(), other) && std::strcmp(real, other) == 0)
            stable = name;
    }
    if (dir)
        ::closedir(dir);
    return stable.empty() ? Absolute(Path) : stable;
}

// Why the existing entry Link must stay, or "".
std::string KeepReason(const std::string& ComName, const std::string& Link)
{
    struct stat st { };
    if (::lstat(Link.c_str(), &st) != 0)
        return std::string();
    if (!S_ISLNK(st.st_mode))
        return Link + " is not a link; not replacing it: move it away first";
    const std::optional<TSimRecord> record = ReadSimRecord(Link);
    if (record && record->Device == LinkTarget(Link) && SimRecordRunning(*record)) {
        const std::string pid = std::to_string(record->Pid);
        return ComName + " belongs to orvelle-sim process " + pid + ", which still runs: stop it (kill " + pid
            + ") or choose another COM name";
    }
    return std::string();
}

// A link to Target under a name nobody can guess beside Link, renamed over it.
bool ReplaceLink(const std::string& Link, const std::string& Target, std::string& Error)
{
    std::random_device random;
    for (int attempt = 0; attempt < 8; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".%08x%08x", unsigned(random()), unsigned(random()));
        const std::string temp = Link.substr(0, Link.rfind('/') + 1) + "." + Link.substr(Link.rfind('/') + 1) + suffix;
        if (::symlink(Target.c_str(), temp.c_str()) != 0) {
            if (errno == EEXIST)
                continue;
            Error = "cannot create a link in " + Link.substr(0, Link.rfind('/')) + ": " + std::strerror(errno);
            return false;
        }
        if (::rename(temp.c_str(), Link.c_str()) != 0) {
            Error = "cannot replace " + Link + ": " + std::strerror(errno);
            ::unlink(temp.c_str());
            return false;
        }
        return true;
    }
    Error = "cannot create a link in " + Link.substr(0, Link.rfind('/')) + ": every name tried was taken";
    return false;
}

} // namespace

TMapOutcome MapComPort(const std::string& ComName, const std::string& Path, const TScanRoots& Roots)
{
    TMapOutcome out;
    if (!IsComName(ComName)) {
        out.Words = "\"" + ComName + "\" is no COM name: give COM1, COM2 ...";
        return out;
    }
    const std::string dir = Roots.MapDirectory.empty() ? PortMapDirectory() : Roots.MapDirectory;
    if (dir.empty()) {
        out.Words = "no port map folder: set HOME or XDG_CONFIG_HOME";
        return out;
    }
    struct stat device { };
    if (::stat(Path.c_str(), &device) != 0) {
        out.Words = Path + ": " + std::strerror(errno);
        return out;
    }
    if (!S_ISCHR(device.st_mode)) {
        out.Words = Path + " is not a serial device";
        return out;
    }
    const std::string link = PortMapLink(ComName, dir);
    if (const std::string keep = KeepReason(ComName, link); !keep.empty()) {
        out.Words = keep;
        return out;
    }
    const std::string before = LinkTarget(link);
    out.Target = StableName(Path, Roots);
    std::string error;
    if (!MakePortMapDirectory(dir, error) || !ReplaceLink(link, out.Target, error)) {
        out.Words = error;
        out.Target.clear();
        return out;
    }
    // A record left by a simulator that has ended speaks of a link no more.
    if (ReadSimRecord(link))
        ::unlink(SimRecordPath(link).c_str());
    out.Done = true;
    out.Words = ComName + " -> " + out.Target;
    if (out.Target != Absolute(Path))
        out.Words += " (the stable name of " + Path + ")";
    if (!before.empty() && before != out.Target)
        out.Words += "; it led to " + before + " before";
    return out;
}
