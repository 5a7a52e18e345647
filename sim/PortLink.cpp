// The link that lets the program find orvelle-sim's pseudo-terminal under a
// port name: placed at start, removed on exit, never clobbering a link that
// still leads somewhere, unless it is the link of a simulator that is gone.
#include "sim/SimProgram.h"

#include "protocol/SafeFile.h"
#include "serial/PortName.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

namespace sim {

namespace {

using TOwner = TSimRecord;

std::string OwnerPath(const std::string& LinkPath) { return SimRecordPath(LinkPath); }

// Written whole by the one rule for the files the programs write
// (protocol/SafeFile.h): never through another user's link, never into a
// FIFO or a device.
bool WriteOwner(const std::string& LinkPath, const std::string& Device, std::string& Error)
{
    const std::string text = std::to_string(::getpid()) + " " + std::to_string(ProcessStartTime(::getpid())) + " "
        + Device + "\n";
    std::string why;
    if (!ReplaceFile(OwnerPath(LinkPath), {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, why)) {
        Error = "cannot write " + OwnerPath(LinkPath) + ": " + why;
        return false;
    }
    return true;
}

// The simulator that placed the link at LinkPath, leading to Target.
std::optional<TOwner> OwnerOf(const std::string& LinkPath, const std::string& Target)
{
    std::optional<TOwner> owner = ReadSimRecord(LinkPath);
    if (owner && owner->Device == Target)
        return owner;
    return std::nullopt;
}

bool Running(const TOwner& Owner) { return SimRecordRunning(Owner); }

// Links in the map Dir to Device, which has just been handed to us: whoever
// linked it had it before and is gone, so the links mislead. A running
// simulator's own link is left (this one placing a second link).
void RemoveLinksTo(const std::string& Dir, const std::string& Device)
{
    DIR* dir = ::opendir(Dir.c_str());
    if (!dir)
        return;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        std::string path = Dir;
        path += '/';
        path += name;
        if (!IsComName(name) || LinkTarget(path) != Device)
            continue;
        const std::optional<TOwner> owner = OwnerOf(path, Device);
        if (owner && Running(*owner))
            continue;
        ::unlink(path.c_str());
        if (owner)
            ::unlink(OwnerPath(path).c_str());
    }
    ::closedir(dir);
}

// Where the link for Port goes: Port itself when it is a path, else its COM
// name in the port map, made ready (created, stale links to Device gone).
bool LinkPathFor(const std::string& Port, const std::string& Device, std::string& LinkPath, std::string& Error)
{
    if (Port.find('/') != std::string::npos) {
        LinkPath = Port;
        return true;
    }
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
    if (!MakePortMapDirectory(dir, Error))
        return false;
    RemoveLinksTo(dir, Device);
    return true;
}

// LinkPath exists, St its lstat(): replaced by a link to Device only when
// it is a dangling link or one a simulator that is gone left behind.
bool ReplaceStaleLink(const std::string& LinkPath, const struct stat& St, const std::string& Device, std::string& Error)
{
    if (!S_ISLNK(St.st_mode)) {
        Error = LinkPath + " exists and is not a link; not replacing it";
        return false;
    }
    const std::string target = LinkTarget(LinkPath);
    const std::optional<TOwner> owner = OwnerOf(LinkPath, target);
    struct stat device { };
    if (owner && Running(*owner)) {
        Error = LinkPath + " belongs to orvelle-sim process " + std::to_string(owner->Pid)
            + ", which still runs; choose another --port";
        return false;
    }
    if (!owner && ::stat(LinkPath.c_str(), &device) == 0) {
        Error = LinkPath + " already points at " + target + ", which exists; remove it or choose another --port";
        return false;
    }
    // Dangling, or left by a simulator that is gone (its device may have
    // gone to another since): replaced in one step.
    const std::string temp = LinkPath + ".orvelle-sim." + std::to_string(::getpid());
    ::unlink(temp.c_str());
    if (!WriteOwner(LinkPath, Device, Error))
        return false;
    if (::symlink(Device.c_str(), temp.c_str()) != 0 || ::rename(temp.c_str(), LinkPath.c_str()) != 0) {
        Error = "cannot replace " + LinkPath + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

} // namespace

bool PlacePortLink(const std::string& Port, const std::string& Device, std::string& LinkPath,
    std::string& Error)
{
    if (!LinkPathFor(Port, Device, LinkPath, Error))
        return false;
    if (struct stat st{}; ::lstat(LinkPath.c_str(), &st) == 0)
        return ReplaceStaleLink(LinkPath, st, Device, Error);
    if (!WriteOwner(LinkPath, Device, Error))
        return false;
    if (::symlink(Device.c_str(), LinkPath.c_str()) != 0) {
        Error = "cannot create " + LinkPath + ": " + std::strerror(errno);
        ::unlink(OwnerPath(LinkPath).c_str());
        return false;
    }
    return true;
}

void RemovePortLink(const std::string& LinkPath, const std::string& Device)
{
    if (LinkTarget(LinkPath) != Device)
        return;
    ::unlink(LinkPath.c_str());
    const std::optional<TOwner> owner = OwnerOf(LinkPath, Device);
    if (owner && owner->Pid == ::getpid())
        ::unlink(OwnerPath(LinkPath).c_str());
}

} // namespace sim
