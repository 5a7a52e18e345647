// orvelle-sim's command line: the options and the fault notation that the
// console's "fault" command shares.
#include "sim/SimProgram.h"

#include "serial/PortName.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>

namespace sim {

namespace {

// A whole number in 0 .. Max, nothing else in Text.
bool ParseInt(const std::string& Text, int Base, long Max, long& Out)
{
    if (Text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(Text.c_str(), &end, Base);
    if (errno || *end || v < 0 || v > Max)
        return false;
    Out = v;
    return true;
}

// The fault kinds by the names the notation gives them.
constexpr std::pair<std::string_view, TFaultKind> FaultKindNames[] = {
    {"noreply", TFaultKind::NoReply},
    {"badsum", TFaultKind::BadChecksum},
    {"status", TFaultKind::ErrorStatus},
    {"delay", TFaultKind::Delay},
    {"split", TFaultKind::Split},
    {"short", TFaultKind::Short},
    {"noise", TFaultKind::Noise},
};

bool FindFaultKind(std::string_view Name, TFaultKind& Out)
{
    for (const auto& [name, kind] : FaultKindNames)
        if (Name == name) {
            Out = kind;
            return true;
        }
    return false;
}

// "=ARG": the status byte in hex (never 0, never the request's Command), or
// a delay in ms; the other kinds take none.
bool ReadFaultArgument(const std::string& Arg, uint8_t Command, TFault& Fault)
{
    long v = 0;
    if (Fault.Kind == TFaultKind::ErrorStatus) {
        if (!ParseInt(Arg, 16, 255, v) || v == 0 || v == Command)
            return false;
        Fault.Status = uint8_t(v);
        return true;
    }
    if (Fault.Kind == TFaultKind::Delay || Fault.Kind == TFaultKind::Split) {
        if (!ParseInt(Arg, 10, 600000, v))
            return false;
        Fault.DelayMs = int(v);
        return true;
    }
    return false;
}

} // namespace

bool ParseFaultOption(const std::string& Text, TFaultOption& Out, std::string& Error)
{
    Error = "bad fault \"" + Text + "\" (want CC:KIND[=ARG][*COUNT], see --help)";
    const size_t colon = Text.find(':');
    if (colon != 2 || !ParseHexBytes(Text.substr(0, 2), &Out.Command, 1))
        return false;
    std::string rest = Text.substr(3);
    Out.Count = 0;
    if (const size_t star = rest.find('*'); star != std::string::npos) {
        long n = 0;
        if (!ParseInt(rest.substr(star + 1), 10, INT_MAX, n) || n == 0)
            return false;
        Out.Count = int(n);
        rest.resize(star);
    }
    std::string arg;
    if (const size_t eq = rest.find('='); eq != std::string::npos) {
        arg = rest.substr(eq + 1);
        rest.resize(eq);
        if (arg.empty())
            return false;
    }
    TFault f{TFaultKind::NoReply};
    if (!FindFaultKind(rest, f.Kind) || (!arg.empty() && !ReadFaultArgument(arg, Out.Command, f)))
        return false;
    Out.Fault = f;
    Error.clear();
    return true;
}

namespace {

// The options that take a value: each reads it into the options, or says in
// Error why it cannot.
bool ReadPort(const std::string& V, TSimOptions& Out, std::string& Error)
{
    // The component takes the same names: a path, or COMn by the port map's
    // own rule.
    if (V.find('/') == std::string::npos && !IsComName(V)) {
        Error = "--port wants COMn or a path with a '/', not \"" + V + "\"";
        return false;
    }
    Out.Port = V;
    return true;
}

bool ReadSerial(const std::string& V, TSimOptions& Out, std::string& Error)
{
    std::array<uint8_t, 4> s{};
    if (!ParseHexBytes(V, s.data(), 4)) {
        Error = "--serial wants 8 hex digits, not \"" + V + "\"";
        return false;
    }
    Out.Serial = s;
    return true;
}

bool ReadCard(const std::string& V, TSimOptions& Out, std::string&)
{
    Out.CardFile = V;
    return true;
}

bool ReadSave(const std::string& V, TSimOptions& Out, std::string&)
{
    Out.SaveFile = V;
    return true;
}

bool ReadFault(const std::string& V, TSimOptions& Out, std::string& Error)
{
    TFaultOption f;
    if (!ParseFaultOption(V, f, Error))
        return false;
    Out.Faults.push_back(f);
    return true;
}

bool ReadRandomFaults(const std::string& V, TSimOptions& Out, std::string& Error)
{
    char* end = nullptr;
    const double p = std::strtod(V.c_str(), &end);
    if (V.empty() || *end || !(p >= 0 && p <= 1)) {
        Error = "--random-faults wants a probability from 0 to 1, not \"" + V + "\"";
        return false;
    }
    Out.RandomProbability = p;
    return true;
}

bool ReadSeed(const std::string& V, TSimOptions& Out, std::string& Error)
{
    long n = 0;
    if (!ParseInt(V, 10, UINT32_MAX, n)) {
        Error = "--seed wants a number, not \"" + V + "\"";
        return false;
    }
    Out.Seed = uint32_t(n);
    return true;
}

bool ReadPace(const std::string& V, TSimOptions& Out, std::string& Error)
{
    long ms = 0;
    if (!ParseInt(V, 10, MaxPaceMs, ms)) {
        Error = "--pace wants a processing time in ms from 0 to " + std::to_string(MaxPaceMs) + ", not \"" + V + "\"";
        return false;
    }
    Out.PaceMs = int(ms);
    return true;
}

// One row an option: a switch sets its flag, any other option reads a value.
// A new option is one row here (and its line in SimHelpText).
struct TOptionRow {
    std::string_view Name;
    std::string_view Short; // empty: none
    bool TSimOptions::*Flag;
    bool (*Read)(const std::string& Value, TSimOptions& Out, std::string& Error);
};

constexpr TOptionRow Options[] = {
    {"--help", "-h", &TSimOptions::Help, nullptr},
    {"--version", "-v", &TSimOptions::Version, nullptr},
    {"--quiet", "-q", &TSimOptions::Quiet, nullptr},
    {"--port", "", nullptr, ReadPort},
    {"--serial", "", nullptr, ReadSerial},
    {"--card", "", nullptr, ReadCard},
    {"--save", "", nullptr, ReadSave},
    {"--fault", "", nullptr, ReadFault},
    {"--random-faults", "", nullptr, ReadRandomFaults},
    {"--seed", "", nullptr, ReadSeed},
    {"--pace", "", nullptr, ReadPace},
};

const TOptionRow* FindOption(std::string_view Name)
{
    for (const TOptionRow& row : Options)
        if (Name == row.Name || (!row.Short.empty() && Name == row.Short))
            return &row;
    return nullptr;
}

} // namespace

bool ParseSimOptions(const std::vector<std::string>& Args, TSimOptions& Out, std::string& Error)
{
    for (size_t i = 0; i < Args.size(); ++i) {
        // "--opt VALUE" or "--opt=VALUE", as the other two programs take them.
        std::string name = Args[i];
        std::optional<std::string> joined;
        if (const size_t eq = name.find('='); name.starts_with("--") && eq != std::string::npos) {
            joined = name.substr(eq + 1);
            name.resize(eq);
        }
        const TOptionRow* row = FindOption(name);
        if (!row) {
            Error = "unknown option \"" + Args[i] + "\" (see --help)";
            return false;
        }
        if (row->Flag) {
            if (joined) {
                Error = name + " takes no value";
                return false;
            }
            Out.*(row->Flag) = true;
            continue;
        }
        if (!joined && i + 1 >= Args.size()) {
            Error = name + " needs a value";
            return false;
        }
        if (!row->Read(joined ? *joined : Args[++i], Out, Error))
            return false;
    }
    return true;
}

} // namespace sim
