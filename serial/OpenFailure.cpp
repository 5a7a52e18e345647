#include "serial/OpenFailure.h"

#include "serial/CommsError.h"

namespace {

std::string PortAndDevice(const std::string& CommName, const std::string& Device)
{
    if (Device.empty() || Device == CommName)
        return CommName;
    return CommName + " (" + Device + ")";
}

} // namespace

std::string DescribeOpenFailure(const std::string& CommName, const std::string& Device,
    const std::system_error& Error, const std::string& HeldBy)
{
    std::string text = "cannot open " + PortAndDevice(CommName, Device);
    // Line settings the port refused name the call that refused them.
    if (const auto* comms = dynamic_cast<const ECommsError*>(&Error); comms && !comms->Step().empty())
        text += ": " + comms->Step();
    text += ": " + Error.code().message();
    const std::error_code code = Error.code();
    if (code == std::errc::permission_denied || code == std::errc::operation_not_permitted)
        text += ". Serial devices belong to the group dialout: join it with"
                " sudo usermod -aG dialout \"$USER\", then log out and in again.";
    // Nothing there, or nothing that is a serial port: the list of ports
    // and where the COM names lead says which one to take.
    else if (code == std::errc::no_such_file_or_directory || code == std::errc::no_such_device
        || code == std::errc::no_such_device_or_address || code == std::errc::inappropriate_io_control_operation)
        text += "; see orvelle-card ports";
    else if (code == std::errc::device_or_resource_busy)
        text += (HeldBy.empty() ? "" : ", held by " + HeldBy) + "; close the other program";
    return text;
}

std::string DescribeSilentReader(const std::string& CommName, const std::string& Device)
{
    return "the reader on " + PortAndDevice(CommName, Device)
        + " does not answer; check the reader's power and cable, and the port map (orvelle-card ports --probe)";
}
