#include "serial/OpenFailure.h"

#include "serial/CommsError.h"

std::string DescribeOpenFailure(const std::string& CommName, const std::string& Device,
    const std::system_error& Error)
{
    std::string text = "cannot open " + CommName;
    if (!Device.empty() && Device != CommName)
        text += " (" + Device + ")";
    // Line settings the port refused name the call that refused them.
    if (const auto* comms = dynamic_cast<const ECommsError*>(&Error); comms && !comms->Step().empty())
        text += ": " + comms->Step();
    text += ": " + Error.code().message();
    const std::error_code code = Error.code();
    if (code == std::errc::permission_denied || code == std::errc::operation_not_permitted)
        text += ". Serial devices belong to the group dialout: join it with"
                " sudo usermod -aG dialout \"$USER\", then log out and in again.";
    return text;
}
