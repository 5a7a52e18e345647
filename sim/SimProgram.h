#pragma once
// The pieces of the orvelle-sim program that are worth testing without
// starting it: options (ProgramOptions.cpp, HelpText.cpp), the port-map link
// (PortLink.cpp), the operator's console commands (Console.cpp) and the
// printed decoding of frames (FrameText.cpp).

#include "sim/HexBytes.h"
#include "sim/SimServer.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct TFaultOption {
    uint8_t Command = 0;
    TFault Fault{TFaultKind::NoReply};
    int Count = 0; // 0: every such request
};

struct TSimOptions {
    std::string Port = "COM1";
    std::optional<std::array<uint8_t, 4>> Serial;
    std::string CardFile;
    std::string SaveFile;
    bool Quiet = false;
    bool Help = false;
    bool Version = false;
    std::vector<TFaultOption> Faults;
    double RandomProbability = 0;
    uint32_t Seed = 1;
    int PaceMs = 0; // the reader's processing time, replies paced at the line rate; 0: not paced
};

// The longest processing time --pace takes.
constexpr int MaxPaceMs = 60000;

// Exit codes of orvelle-sim.
constexpr int ExitOk = 0;
constexpr int ExitFailure = 1; // no pseudo-terminal, or the dump could not be saved
constexpr int ExitUsage = 2;   // bad option, unusable card or save file, port link refused

bool ParseSimOptions(const std::vector<std::string>& Args, TSimOptions& Out, std::string& Error);
std::string SimHelpText();

// "06:noreply", "06:status=84", "06:delay=800", "0A:split=300*2", ...
bool ParseFaultOption(const std::string& Text, TFaultOption& Out, std::string& Error);
// ParseHexBytes (exactly 2*N hex digits) comes with HexBytes.h.

// One frame in hex with what it means, e.g. "03 06 08 11  read block 8".
std::string DescribeFrame(const std::vector<uint8_t>& Frame, bool FromProgram);

// Links Device into place as Port ("COMn" in the port map, created when
// missing, or a path with a "/") and records this process beside it in
// Port.pid. Replaces only a missing or dangling link, or a stale one: the
// link of a simulator that is gone. Anything else that exists is left alone
// and reported in Error. Links in the port map that name Device, which has
// just been handed to us, are stale and go first.
bool PlacePortLink(const std::string& Port, const std::string& Device, std::string& LinkPath,
    std::string& Error);
// Removes LinkPath, and our record beside it, if it is still our link to
// Device.
void RemovePortLink(const std::string& LinkPath, const std::string& Device);

// One line typed at the console; returns the text to print. Quit is set by
// "quit"; Quiet is flipped by "quiet"/"verbose". What follows the command
// word is its one argument, blanks and all ("save my card.bin").
std::string RunConsoleCommand(TSimServer& Server, const std::string& Line, bool& Quit, bool& Quiet);

// Cuts console input into lines. A line longer than MaxLine bytes is no
// command: it is rejected whole, its tail included.
class TConsoleLines {
public:
    static constexpr size_t MaxLine = 4096;
    struct TLine {
        std::string Text;
        bool TooLong = false; // Text is empty then
    };
    // The lines that Data completes, in order.
    std::vector<TLine> Feed(const char* Data, size_t Size);

private:
    std::string FPending;
    bool FSkipping = false; // inside a line that is too long
};

} // namespace sim
