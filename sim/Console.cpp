// The operator's console of orvelle-sim: one typed line, one answer.
#include "sim/SimProgram.h"

#include "protocol/CardLayout.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string_view>
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

// What a command gets: the reader, the rest of its line, and the program's
// two switches it may set.
struct TCall {
    TSimServer& Server;
    const std::string& Arg;
    bool& Quit;
    bool& Quiet;
};

std::string Remove(TCall& C)
{
    C.Server.RemoveCard();
    return "card removed from the field";
}

std::string Insert(TCall& C)
{
    C.Server.InsertCard();
    return "card in the field";
}

std::string Halt(TCall& C)
{
    C.Server.HaltCard();
    return "card halted";
}

std::string Dump(TCall& C) { return DumpText(C.Server); }

std::string Serial(TCall& C)
{
    std::array<uint8_t, 4> s{};
    if (!C.Arg.empty()) {
        if (!ParseHexBytes(C.Arg, s.data(), s.size()))
            return "serial wants 8 hex digits";
        C.Server.SetSerial(s);
    }
    s = C.Server.Serial();
    return "serial " + HexOf(s.data(), s.size()) + (C.Server.CardPresent() ? "" : " (out of the field)");
}

std::string Blank(TCall& C)
{
    std::array<uint8_t, 4> s{};
    if (!C.Arg.empty() && !ParseHexBytes(C.Arg, s.data(), s.size()))
        return "blank wants 8 hex digits, or none for a random serial";
    s = C.Server.InsertBlankCard(C.Arg.empty() ? std::nullopt : std::optional(s));
    return "blank card " + HexOf(s.data(), s.size()) + " in the field";
}

std::string Beeps(TCall& C) { return "beeps " + std::to_string(C.Server.BeepCount()); }

std::string Save(TCall& C)
{
    if (C.Arg.empty())
        return "save wants a file name";
    std::string error;
    return C.Server.SaveDump(C.Arg, &error) ? "saved " + C.Arg : "cannot save the card: " + error;
}

std::string Load(TCall& C)
{
    if (C.Arg.empty())
        return "load wants a file name";
    std::string error;
    return C.Server.LoadDump(C.Arg, &error) ? "loaded " + C.Arg : "cannot load a card: " + error;
}

std::string Fault(TCall& C)
{
    TFaultOption f;
    std::string error;
    if (!ParseFaultOption(C.Arg, f, error))
        return error;
    C.Server.InjectFault(f.Command, f.Fault, f.Count > 0 ? f.Count : INT_MAX);
    return "fault set";
}

std::string NoFaults(TCall& C)
{
    C.Server.ClearFaults();
    return "faults cleared";
}

std::string Quiet(TCall& C)
{
    C.Quiet = true;
    return "frames not shown";
}

std::string Verbose(TCall& C)
{
    C.Quiet = false;
    return "frames shown";
}

std::string Quit(TCall& C)
{
    C.Quit = true;
    return "";
}

std::string Help(TCall&);

// One row a command: its word, its handler, and how help shows it (empty:
// not shown). A new command is one row here.
struct TCommand {
    std::string_view Word;
    std::string (*Run)(TCall&);
    std::string_view Usage;
};

constexpr TCommand Commands[] = {
    {"remove", Remove, "remove"},
    {"insert", Insert, "insert"},
    {"blank", Blank, "blank [HEX]"},
    {"halt", Halt, "halt"},
    {"dump", Dump, "dump"},
    {"serial", Serial, "serial [HEX]"},
    {"beeps", Beeps, "beeps"},
    {"save", Save, "save FILE"},
    {"load", Load, "load FILE"},
    {"fault", Fault, "fault CC:KIND[=ARG][*COUNT]"},
    {"nofaults", NoFaults, "nofaults"},
    {"quiet", Quiet, "quiet"},
    {"verbose", Verbose, "verbose"},
    {"quit", Quit, "quit"},
    {"exit", Quit, ""},
    {"help", Help, ""},
};

// The commands' usages, a comma between two, lines kept to helpWidth.
std::string Help(TCall&)
{
    constexpr size_t helpWidth = 76;
    std::string out, line;
    for (const TCommand& command : Commands) {
        if (command.Usage.empty())
            continue;
        if (!line.empty() && line.size() + 2 + command.Usage.size() + 1 > helpWidth) {
            out += line + ",\n";
            line.clear();
        } else if (!line.empty()) {
            line += ", ";
        }
        line += command.Usage;
    }
    return out + line;
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
    TCall call{Server, arg, Quit, Quiet};
    for (const TCommand& command : Commands)
        if (cmd == command.Word)
            return command.Run(call);
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
