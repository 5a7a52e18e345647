// The operator's console of orvelle-sim: one typed line, one answer.
#include "sim/SimProgram.h"

#include "protocol/CardLayout.h"

#include <climits>
#include <cstdio>
#include <sstream>

namespace sim {

namespace {

// Every block, "sector/block  bytes", trailers marked.
std::string DumpText(const TSimServer& Server)
{
    constexpr int blocks = SectorCount * BlocksPerSector;
    std::string out;
    for (int b = 0; b < blocks; ++b) {
        const auto blk = Server.Block(b);
        char head[16];
        std::snprintf(head, sizeof head, "%2d/%02d  ", b / BlocksPerSector, b);
        out += head + HexOf(blk.data(), blk.size()) + (IsTrailer(b) ? "  trailer" : "")
            + (b < blocks - 1 ? "\n" : "");
    }
    return out;
}

} // namespace

std::string RunConsoleCommand(TSimServer& Server, const std::string& Line, bool& Quit, bool& Quiet)
{
    std::istringstream in(Line);
    std::string cmd, arg;
    in >> cmd >> arg;
    if (cmd.empty())
        return "";
    if (cmd == "remove") {
        Server.RemoveCard();
        return "card removed from the field";
    }
    if (cmd == "insert") {
        Server.InsertCard();
        return "card in the field";
    }
    if (cmd == "halt") {
        Server.HaltCard();
        return "card halted";
    }
    if (cmd == "dump")
        return DumpText(Server);
    if (cmd == "serial") {
        std::array<uint8_t, 4> s{};
        if (!arg.empty()) {
            if (!ParseHexBytes(arg, s.data(), s.size()))
                return "serial wants 8 hex digits";
            Server.SetSerial(s);
        }
        s = Server.Serial();
        return "serial " + HexOf(s.data(), s.size()) + (Server.CardPresent() ? "" : " (out of the field)");
    }
    if (cmd == "beeps")
        return "beeps " + std::to_string(Server.BeepCount());
    if (cmd == "save" || cmd == "load") {
        if (arg.empty())
            return cmd + " wants a file name";
        const bool ok = cmd == "save" ? Server.SaveDump(arg) : Server.LoadDump(arg);
        return ok ? (cmd == "save" ? "saved " : "loaded ") + arg
                  : (cmd == "save" ? "cannot save " : "cannot load a 1024-byte dump from ") + arg;
    }
    if (cmd == "fault") {
        TFaultOption f;
        std::string err;
        if (!ParseFaultOption(arg, f, err))
            return err;
        Server.InjectFault(f.Command, f.Fault, f.Count > 0 ? f.Count : INT_MAX);
        return "fault set";
    }
    if (cmd == "nofaults") {
        Server.ClearFaults();
        return "faults cleared";
    }
    if (cmd == "quiet" || cmd == "verbose") {
        Quiet = cmd == "quiet";
        return Quiet ? "frames not shown" : "frames shown";
    }
    if (cmd == "quit" || cmd == "exit") {
        Quit = true;
        return "";
    }
    if (cmd == "help")
        return "remove, insert, halt, dump, serial [HEX], beeps, save FILE, load FILE,\n"
               "fault CC:KIND[=ARG][*COUNT], nofaults, quiet, verbose, quit";
    return "unknown command \"" + cmd + "\" (try help)";
}

} // namespace sim
