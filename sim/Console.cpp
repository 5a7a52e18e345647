// The operator's console of orvelle-sim: one typed line, one answer.
#include "sim/SimProgram.h"

#include "protocol/CardLayout.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <utility>

namespace sim {

namespace {

// Every block, "sector/block  bytes", trailers marked.
std::string DumpText(const TSimServer& Server)
{
    constexpr int blocks = SectorCount * BlocksPerSector;
    std::string out;
    for (int b = 0; b < blocks; ++b) {
        const auto blk = Server.Block(b);
        char head[32]; // room for any two ints, whatever the optimiser can prove of them
        std::snprintf(head, sizeof head, "%2d/%02d  ", SectorOf(b), b);
        out += head + HexOf(blk.data(), blk.size()) + (IsTrailer(b) ? "  trailer" : "")
            + (b < blocks - 1 ? "\n" : "");
    }
    return out;
}

} // namespace

std::string RunConsoleCommand(TSimServer& Server, const std::string& Line, bool& Quit, bool& Quiet)
{
    // The command word, then the rest of the line without its outer blanks.
    constexpr const char* blanks = " \t\r";
    const size_t cmdStart = Line.find_first_not_of(blanks);
    if (cmdStart == std::string::npos)
        return "";
    const size_t cmdEnd = std::min(Line.find_first_of(blanks, cmdStart), Line.size());
    const std::string cmd = Line.substr(cmdStart, cmdEnd - cmdStart);
    std::string arg;
    if (const size_t argStart = Line.find_first_not_of(blanks, cmdEnd); argStart != std::string::npos)
        arg = Line.substr(argStart, Line.find_last_not_of(blanks) + 1 - argStart);
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
    if (cmd == "blank") {
        std::array<uint8_t, 4> s{};
        if (!arg.empty() && !ParseHexBytes(arg, s.data(), s.size()))
            return "blank wants 8 hex digits, or none for a random serial";
        s = Server.InsertBlankCard(arg.empty() ? std::nullopt : std::optional(s));
        return "blank card " + HexOf(s.data(), s.size()) + " in the field";
    }
    if (cmd == "beeps")
        return "beeps " + std::to_string(Server.BeepCount());
    if (cmd == "save" || cmd == "load") {
        if (arg.empty())
            return cmd + " wants a file name";
        std::string error;
        if (cmd == "save")
            return Server.SaveDump(arg, &error) ? "saved " + arg : "cannot save the card: " + error;
        return Server.LoadDump(arg, &error) ? "loaded " + arg : "cannot load a card: " + error;
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
        return "remove, insert, blank [HEX], halt, dump, serial [HEX], beeps, save FILE,\n"
               "load FILE, fault CC:KIND[=ARG][*COUNT], nofaults, quiet, verbose, quit";
    return "unknown command \"" + cmd + "\" (try help)";
}

std::vector<TConsoleLines::TLine> TConsoleLines::Feed(const char* Data, size_t Size)
{
    std::vector<TLine> lines;
    for (const char* end = Data + Size; Data < end;) {
        const char* newline = std::find(Data, end, '\n');
        if (!FSkipping)
            FPending.append(Data, newline);
        if (FPending.size() > MaxLine) {
            FPending.clear();
            FSkipping = true;
        }
        if (newline == end)
            break;
        lines.push_back(FSkipping ? TLine{{}, true} : TLine{std::exchange(FPending, {}), false});
        FSkipping = false;
        Data = newline + 1;
    }
    return lines;
}

} // namespace sim
