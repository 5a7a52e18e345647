#pragma once
// How a port name maps to a device on this system. A name with a "/" is a
// path used as it stands; "COMn" goes through the user's port map (a symbolic
// link named COMn), or else to /dev/ttyS{n-1}; anything else has no device.

#include <string>

// $XDG_CONFIG_HOME/orvelle/ports, or ~/.config/orvelle/ports when unset.
std::string PortMapDirectory();

// The device path for Name, looking up COM links in MapDirectory; empty when
// the name names no device.
std::string ResolveCommName(const std::string& Name, const std::string& MapDirectory);

// As above with the user's own port map.
std::string ResolveCommName(const std::string& Name);
