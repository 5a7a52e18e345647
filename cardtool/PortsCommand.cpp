// "ports": the serial devices and the port map, the link test sent to them
// (--probe), or a COM name linked (--map). No reader session: a probe opens
// each port only for the one frame, and a listing opens none.
#include "cardtool/CardTool.h"
#include "cardtool/Output.h"

#include "protocol/PlainText.h"
#include "serial/PortName.h"
#include "serial/PortScan.h"

#include <QString>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

const char* const NoDeviceText = "No serial device found: plug the reader in, then run orvelle-card ports again.";
const char* const NobodyAnswersText = "No reader answered: check that the reader has power and that its cable is plugged in at both ends; "
                                      "a reader on a port not probed here is named with orvelle-card ports --probe PATH, "
                                      "and linked with orvelle-card ports --map COMn PATH.";

std::string Shown(const std::string& Text) { return Text.empty() ? "-" : PrintableText(Text); }

std::string Joined(const std::vector<std::string>& Items, const char* Between)
{
    std::string text;
    for (const std::string& item : Items)
        text += (text.empty() ? "" : Between) + item;
    return text;
}

std::string MakerText(const TPortInfo& Port)
{
    if (Port.Maker.empty() && Port.Product.empty() && Port.Serial.empty())
        return std::string();
    return Shown(Port.Maker) + " / " + Shown(Port.Product) + " / " + Shown(Port.Serial);
}

std::string MapLine(const TMapLink& Link)
{
    std::string line = "  " + Link.ComName + " -> " + PrintableText(Link.Target);
    if (!Link.State.empty())
        line += " (" + Link.State + ")";
    return line + "\n";
}

const char* AnswerName(TProbeAnswer Answer)
{
    switch (Answer) {
    case TProbeAnswer::Answers:
        return "answers";
    case TProbeAnswer::Silent:
        return "silent";
    case TProbeAnswer::CannotOpen:
        return "cannot open";
    case TProbeAnswer::NotProbed:
        break;
    }
    return "not probed";
}

std::string ListingText(const TPortScan& Scan, const std::vector<TProbeResult>* Probed, const std::string& MapDir)
{
    std::string text;
    if (Scan.Ports.empty()) {
        text.assign(NoDeviceText).push_back('\n');
    } else {
        std::vector<std::vector<std::string>> rows{
            {"PATH", "DEVICE", "DRIVER", "USB ID", "MAKER / PRODUCT / SERIAL", "HELD BY", "COM"}};
        for (const TPortInfo& port : Scan.Ports)
            rows.push_back({Shown(port.Path), Shown(port.Device), Shown(port.Driver), Shown(port.UsbId),
                Shown(MakerText(port)), Shown(port.HeldBy), Shown(Joined(port.ComNames, ","))});
        text = AlignedTable(rows);
    }
    text += "Port map:\n";
    for (const TMapLink& link : Scan.Map)
        text += MapLine(link);
    if (Scan.Map.empty())
        text += "  no COM links in " + PrintableText(MapDir) + "\n";
    if (Probed) {
        text += "Link test:\n";
        for (const TProbeResult& result : *Probed)
            text += "  " + PrintableText(result.Path) + ": " + PrintableText(result.Words) + "\n";
        if (Probed->empty())
            text += "  no port to probe: name one, orvelle-card ports --probe PATH\n";
    }
    return text;
}

std::string JsonText(const std::string& Text) { return Text.empty() ? "null" : JsonStringOf(Text); }

std::string ListingJson(const TPortScan& Scan, const std::vector<TProbeResult>* Probed, int Exit)
{
    std::string ports;
    for (const TPortInfo& port : Scan.Ports) {
        std::string com;
        for (const std::string& name : port.ComNames)
            com += (com.empty() ? "" : ", ") + JsonStringOf(name);
        ports += std::string(ports.empty() ? "" : ", ") + "{\"path\": " + JsonStringOf(port.Path)
            + ", \"device\": " + JsonStringOf(port.Device) + ", \"driver\": " + JsonText(port.Driver)
            + ", \"usbId\": " + JsonText(port.UsbId) + ", \"maker\": " + JsonText(port.Maker)
            + ", \"product\": " + JsonText(port.Product) + ", \"serial\": " + JsonText(port.Serial)
            + ", \"heldBy\": " + JsonText(port.HeldBy) + ", \"com\": [" + com + "]}";
    }
    std::string map;
    for (const TMapLink& link : Scan.Map)
        map += std::string(map.empty() ? "" : ", ") + "{\"com\": " + JsonStringOf(link.ComName)
            + ", \"target\": " + JsonStringOf(link.Target) + ", \"state\": " + JsonText(link.State) + "}";
    std::string probe = "null";
    if (Probed) {
        probe.clear();
        for (const TProbeResult& result : *Probed)
            probe += std::string(probe.empty() ? "" : ", ") + "{\"path\": " + JsonStringOf(result.Path)
                + ", \"answer\": \"" + AnswerName(result.Answer) + "\", \"words\": " + JsonStringOf(result.Words) + "}";
        probe = "[" + probe + "]";
    }
    return "{\"command\": \"ports\", \"ports\": [" + ports + "], \"map\": [" + map + "], \"probe\": " + probe
        + ", \"exit\": " + std::to_string(Exit) + "}\n";
}

// The system's own folders, or, for the program's tests, a tree of their
// own (ORVELLE_SCAN_ROOT: DIR/dev, DIR/sys, DIR/locks), so that a test never
// opens a serial device of the machine it runs on.
TScanRoots ScanRoots()
{
    TScanRoots roots;
    if (const char* root = std::getenv("ORVELLE_SCAN_ROOT"); root && *root) {
        roots.Dev = std::string(root) + "/dev";
        roots.Sys = std::string(root) + "/sys";
        roots.Locks = std::string(root) + "/locks";
    }
    return roots;
}

} // namespace

int TCardTool::ListPorts()
{
    if (!FOptions.MapFile.empty()) {
        const std::string com = QString::fromStdString(FOptions.MapFile).toUpper().toStdString();
        const TMapOutcome outcome = MapComPort(com, FOptions.Paths.front(), ScanRoots());
        const int exit = outcome.Done ? ExitDone : ExitNotDone;
        if (!outcome.Done)
            Say(outcome.Words);
        if (FOptions.Json) {
            FPrinted = true;
            PrintOut("{\"command\": \"ports\", \"map\": {\"com\": " + JsonStringOf(com) + ", \"target\": "
                + JsonText(outcome.Target) + ", \"done\": " + (outcome.Done ? "true" : "false")
                + ", \"words\": " + JsonStringOf(outcome.Words) + "}, \"exit\": " + std::to_string(exit) + "}\n");
        } else if (outcome.Done) {
            PrintOut(PrintableText(outcome.Words) + "\n");
        }
        return exit;
    }
    // A COM name among the PATHs goes through the port map as --port does;
    // a link a simulator that has ended left is not followed.
    std::vector<std::string> named;
    for (const std::string& path : FOptions.Paths) {
        const std::string com = QString::fromStdString(path).toUpper().toStdString();
        if (path.find('/') != std::string::npos || !IsComName(com))
            named.push_back(path);
        else if (const std::string stale = StaleSimulatorLink(com); !stale.empty())
            Say(stale);
        else
            named.push_back(ResolveCommName(com));
    }
    const TPortScan scan = ScanPorts(named, ScanRoots());
    std::vector<TProbeResult> probed;
    int exit = ExitDone;
    if (FOptions.Probe) {
        probed = ProbePorts(ProbeTargets(scan, named), FOptions.ReplyTimeoutMs, ScanRoots().Locks);
        const bool answered = std::any_of(probed.begin(), probed.end(),
            [](const TProbeResult& Result) { return Result.Answer == TProbeAnswer::Answers; });
        if (!answered) {
            exit = ExitNoReader;
            Say(scan.Ports.empty() && probed.empty() ? NoDeviceText : NobodyAnswersText);
        }
    }
    const std::vector<TProbeResult>* shown = FOptions.Probe ? &probed : nullptr;
    FPrinted = FOptions.Json;
    const bool printed = PrintOut(FOptions.Json ? ListingJson(scan, shown, exit) : ListingText(scan, shown, PortMapDirectory()));
    return printed || exit != ExitDone ? exit : ExitNotDone;
}
