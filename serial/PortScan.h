#pragma once
// Which serial devices this system has, what they are, who holds them, and
// the user's port map: found without opening a device (opening a terminal
// raises DTR, which resets some readers). Probing does open them, and only
// those asked for. Plain C++ and POSIX, no Qt, so that the simulator and the
// tests can use it too.

#include <string>
#include <vector>

// Where the scan looks; a test points them into a folder of its own.
struct TScanRoots {
    std::string Dev = "/dev";
    std::string Sys = "/sys";
    std::string Locks = "/proc/locks";
    std::string MapDirectory; // empty: the user's own port map (PortMapDirectory)
};

struct TPortInfo {
    std::string Path;   // as listed: the by-id name first, else /dev/ttyUSB0 ...
    std::string Device; // where it leads: the terminal's real path
    // "" where sysfs has nothing to say.
    std::string Driver, UsbId /* "0403:6001" */, Maker, Product, Serial;
    std::string HeldBy;                // "" or who holds it, e.g. "pid 4242 (minicom)"
    std::vector<std::string> ComNames; // the port map's links that lead here
};

// One COMn link of the port map. State: "" (fine), "leads to nothing",
// "simulator pid N", "stale simulator (pid N gone)".
struct TMapLink {
    std::string ComName, Target;
    std::string State;
    std::string Device; // where it leads in the end, "" when nowhere
};

struct TPortScan {
    std::vector<TPortInfo> Ports;
    std::vector<TMapLink> Map;
};

// Every serial device present (the by-id names, then ttyUSB, ttyACM and the
// ttyS that have a driver, then each path of Named not listed yet) and the
// port map. Opens nothing.
TPortScan ScanPorts(const std::vector<std::string>& Named, const TScanRoots& Roots = {});

enum class TProbeAnswer { Answers,
    Silent,
    CannotOpen,
    NotProbed };

// Words: "reader answers", "silent", or why the port could not be opened.
struct TProbeResult {
    std::string Path;
    TProbeAnswer Answer = TProbeAnswer::NotProbed;
    std::string Words;
};

// Sends the link test frame at 9600 8N1 to every path at once and waits for
// the replies until ReplyTimeoutMs passes; each terminal's settings are put
// back as they were. A port the locks file shows held is not opened. Ends
// within ReplyTimeoutMs + 200 ms.
std::vector<TProbeResult> ProbePorts(const std::vector<std::string>& Paths, int ReplyTimeoutMs);
// As above, the holders looked up in Locks (the system's /proc/locks unless
// a test says otherwise).
std::vector<TProbeResult> ProbePorts(const std::vector<std::string>& Paths, int ReplyTimeoutMs,
    const std::string& Locks);

// What a probe may open: the free USB devices (by-id, ttyUSB, ttyACM), the
// port map's targets except a stale simulator's (its terminal may be another
// program's now), and Named. A ttyS only when named or mapped.
std::vector<std::string> ProbeTargets(const TPortScan& Scan, const std::vector<std::string>& Named);

// Done: the link ComName now leads to Target. Words say what was done or why
// nothing was.
struct TMapOutcome {
    bool Done = false;
    std::string Target;
    std::string Words;
};

// Makes or replaces the link ComName in the port map so that it leads to
// Path, by the device's stable by-id name when it has one. Refuses a COMn
// that is no link and a running simulator's link.
TMapOutcome MapComPort(const std::string& ComName, const std::string& Path, const TScanRoots& Roots = {});

// Who holds the file at Path by the locks file Locks: "pid N (name)", or "".
std::string HolderOf(const std::string& Path, const std::string& Locks);
