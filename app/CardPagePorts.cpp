// "Ports..." on the Card page: which serial devices there are, and a COM
// name linked to one of them. The window's own port is shown as held and is
// never probed.
#include "app/CardPage.h"
#include "app/PortsWindow.h"
#include "serial/PortName.h"
#include "session/LinkSession.h"

#include <filesystem>
#include <system_error>

void TCardPage::CardPortsClick()
{
    if (!PortsWindow) {
        TLinkSession& session = FHost.Session;
        PortsWindow = new TPortsWindow(
            TScanRoots{}, {}, [&session] {
                if (!session.PortOpen())
                    return std::string();
                // The device the port's name leads to, as the scan names devices.
                std::error_code error;
                const std::filesystem::path device
                    = std::filesystem::canonical(ResolveCommName(session.PortName()), error);
                return error ? std::string() : device.string();
            },
            window());
        PortsWindow->SetProbeTimeout(session.Settings().ReplyTimeout);
    } else {
        PortsWindow->Rescan();
    }
    PortsWindow->show();
    PortsWindow->raise();
    PortsWindow->activateWindow();
}
