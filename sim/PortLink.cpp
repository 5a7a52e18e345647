// The link that lets the program find orvelle-sim's pseudo-terminal under a
// port name: placed at start, removed on exit, never clobbering a link that
// still leads somewhere.
#include "sim/SimProgram.h"

#include "serial/PortName.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace sim {

namespace {

// Creates Dir and its parents as needed.
bool MakeDirectories(const std::string& Dir, std::string& Error)
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

std::string LinkTarget(const std::string& Path)
{
    char to[PATH_MAX] = {};
    const ssize_t n = ::readlink(Path.c_str(), to, sizeof to - 1);
    return std::string(to, n > 0 ? size_t(n) : 0);
}

} // namespace

bool PlacePortLink(const std::string& Port, const std::string& Device, std::string& LinkPath,
    std::string& Error)
{
    if (Port.find('/') != std::string::npos) {
        LinkPath = Port;
    } else {
        const std::string dir = PortMapDirectory();
        if (dir.empty()) {
            Error = "no port map directory: set HOME or XDG_CONFIG_HOME";
            return false;
        }
        // The map holds COM names only; the component would never look
        // anything else up.
        LinkPath = PortMapLink(Port, dir);
        if (LinkPath.empty()) {
            Error = "\"" + Port + "\" is neither COMn nor a path with a '/'";
            return false;
        }
        if (!MakeDirectories(dir, Error))
            return false;
    }
    struct stat st { };
    if (::lstat(LinkPath.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            Error = LinkPath + " exists and is not a link; not replacing it";
            return false;
        }
        struct stat target { };
        if (::stat(LinkPath.c_str(), &target) == 0) {
            Error = LinkPath + " already points at " + LinkTarget(LinkPath)
                + ", which exists; remove it or choose another --port";
            return false;
        }
        // Dangling (left by a reader that is gone): replace it in one step.
        const std::string tmp = LinkPath + ".orvelle-sim." + std::to_string(::getpid());
        ::unlink(tmp.c_str());
        if (::symlink(Device.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), LinkPath.c_str()) != 0) {
            Error = "cannot replace " + LinkPath + ": " + std::strerror(errno);
            ::unlink(tmp.c_str());
            return false;
        }
        return true;
    }
    if (::symlink(Device.c_str(), LinkPath.c_str()) != 0) {
        Error = "cannot create " + LinkPath + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void RemovePortLink(const std::string& LinkPath, const std::string& Device)
{
    const std::string target = LinkTarget(LinkPath);
    if (!target.empty() && target == Device)
        ::unlink(LinkPath.c_str());
}

} // namespace sim
