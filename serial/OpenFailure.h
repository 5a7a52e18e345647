#pragma once
// The words for a port that cannot be opened and for a reader that does not
// answer on an open one: what the device is, why, and what to do next. The
// window's box says only "Can not open port!"; these go to standard error,
// the status bar and the journal, and the card tool says the same. No Qt.

#include <string>
#include <system_error>

// "cannot open COM1 (/dev/ttyUSB0): Permission denied", with the device left
// out when there is none, the call that refused the line settings before the
// reason ("...: tcsetattr: Invalid argument"), and the next step where one
// fits the reason: for a device that is not there (or no serial port, or a
// COM link that leads to nothing) "see orvelle-card ports"; for one another
// program holds, that program (HeldBy, e.g. "pid 4242 (minicom)", when the
// lock says who) and "close the other program"; for a permission error a
// second sentence on the dialout group that serial devices belong to.
std::string DescribeOpenFailure(const std::string& CommName, const std::string& Device,
    const std::system_error& Error, const std::string& HeldBy = std::string());

// "the reader on COM1 (/dev/ttyUSB0) does not answer", and what to check.
std::string DescribeSilentReader(const std::string& CommName, const std::string& Device);
