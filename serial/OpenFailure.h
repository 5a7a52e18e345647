#pragma once
// What standard error says when a port cannot be opened: the operator's
// window shows only "Can not open port!", the cause goes here. No Qt.

#include <string>
#include <system_error>

// "cannot open COM1 (/dev/ttyUSB0): Permission denied", with the device left
// out when there is none, the call that refused the line settings before the
// reason ("...: tcsetattr: Invalid argument"), and for a permission error a
// second sentence on the dialout group that serial devices belong to.
std::string DescribeOpenFailure(const std::string& CommName, const std::string& Device,
    const std::system_error& Error);
