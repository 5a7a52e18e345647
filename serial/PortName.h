#pragma once
// How a port name maps to a device on this system. A name with a "/" is a
// path used as it stands; "COMn" goes through the user's port map (a symbolic
// link named COMn), or else to /dev/ttyS{n-1}; anything else has no device.

#include <optional>
#include <string>

// $XDG_CONFIG_HOME/orvelle/ports, or ~/.config/orvelle/ports when unset.
std::string PortMapDirectory();

// "COMn" with n from 1, in plain decimal without a leading zero and at most
// nine digits: the one rule for COM names, the component's and the
// simulator's.
bool IsComName(const std::string& Name);

// Creates the port map's folder Dir and its parents as needed (the program
// that links a port first makes it); false with Error set when it cannot.
bool MakePortMapDirectory(const std::string& Dir, std::string& Error);

// The link for ComName in the port map MapDirectory, or empty when ComName
// is no COM name or there is no map directory.
std::string PortMapLink(const std::string& ComName, const std::string& MapDirectory);

// The device path for Name, looking up COM links in MapDirectory; empty when
// the name names no device.
std::string ResolveCommName(const std::string& Name, const std::string& MapDirectory);

// As above with the user's own port map.
std::string ResolveCommName(const std::string& Name);

// The link at Path as it is written ("" when Path is no link).
std::string LinkTarget(const std::string& Path);

// Beside each link it places, orvelle-sim records itself in LINK.pid:
// "PID START DEVICE", START being when the process started (field 22 of
// /proc/PID/stat), so that a process id used again by another program does
// not pass for it. The port map's lookup takes COM names only and never
// takes these files for ports.
struct TSimRecord {
    long Pid = 0;
    unsigned long long Start = 0;
    std::string Device;
};
std::string SimRecordPath(const std::string& LinkPath);
// The record beside LinkPath, read only from a regular file, without waiting.
std::optional<TSimRecord> ReadSimRecord(const std::string& LinkPath);
// When process Pid started, 0 when there is no such process.
unsigned long long ProcessStartTime(long Pid);
// The recorded process is still the one that wrote the record.
bool SimRecordRunning(const TSimRecord& Record);

// Why the port-map link of the COM name Name must not be followed, or "":
// its record says a reader simulator placed it to the device it names now,
// and that simulator has ended (or the process id now belongs to a process
// started at another time). Its device may since have gone to another
// program, a shell or an editor, which must not be sent frames or be left
// in raw mode. A link pointed elsewhere since is followed as always.
std::string StaleSimulatorLink(const std::string& Name, const std::string& MapDirectory);
// As above in the user's own port map.
std::string StaleSimulatorLink(const std::string& Name);
