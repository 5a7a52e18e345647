#pragma once
// How a port name maps to a device on this system. A name with a "/" is a
// path used as it stands; "COMn" goes through the user's port map (a symbolic
// link named COMn), or else to /dev/ttyS{n-1}; anything else has no device.

#include <string>

// $XDG_CONFIG_HOME/orvelle/ports, or ~/.config/orvelle/ports when unset.
std::string PortMapDirectory();

// "COMn" with n from 1, in plain decimal without a leading zero and at most
// nine digits: the one rule for COM names, the component's and the
// simulator's.
bool IsComName(const std::string& Name);

// The link for ComName in the port map MapDirectory, or empty when ComName
// is no COM name or there is no map directory.
std::string PortMapLink(const std::string& ComName, const std::string& MapDirectory);

// As above in the user's own port map.
std::string PortMapLink(const std::string& ComName);

// The device path for Name, looking up COM links in MapDirectory; empty when
// the name names no device.
std::string ResolveCommName(const std::string& Name, const std::string& MapDirectory);

// As above with the user's own port map.
std::string ResolveCommName(const std::string& Name);
