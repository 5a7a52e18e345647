// orvelle-sim's command line: the options and the fault notation that the
// console's "fault" command shares.
#include "sim/SimProgram.h"

#include "serial/PortName.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
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
    if (rest == "noreply")
        f.Kind = TFaultKind::NoReply;
    else if (rest == "badsum")
        f.Kind = TFaultKind::BadChecksum;
    else if (rest == "status")
        f.Kind = TFaultKind::ErrorStatus;
    else if (rest == "delay")
        f.Kind = TFaultKind::Delay;
    else if (rest == "split")
        f.Kind = TFaultKind::Split;
    else if (rest == "short")
        f.Kind = TFaultKind::Short;
    else if (rest == "noise")
        f.Kind = TFaultKind::Noise;
    else
        return false;
    if (!arg.empty()) {
        long v = 0;
        if (f.Kind == TFaultKind::ErrorStatus) {
            if (!ParseInt(arg, 16, 255, v) || v == 0 || v == Out.Command)
                return false;
            f.Status = uint8_t(v);
        } else if (f.Kind == TFaultKind::Delay || f.Kind == TFaultKind::Split) {
            if (!ParseInt(arg, 10, 600000, v))
                return false;
            f.DelayMs = int(v);
        } else {
            return false;
        }
    }
    Out.Fault = f;
    Error.clear();
    return true;
}

bool ParseSimOptions(const std::vector<std::string>& Args, TSimOptions& Out, std::string& Error)
{
    for (size_t i = 0; i < Args.size(); ++i) {
        // "--opt VALUE" or "--opt=VALUE", as the other two programs take them.
        std::string a = Args[i];
        std::optional<std::string> joined;
        if (const size_t eq = a.find('='); a.starts_with("--") && eq != std::string::npos) {
            joined = a.substr(eq + 1);
            a.resize(eq);
        }
        auto value = [&](std::string& V) {
            if (joined) {
                V = *std::exchange(joined, std::nullopt);
                return true;
            }
            if (i + 1 >= Args.size()) {
                Error = a + " needs a value";
                return false;
            }
            V = Args[++i];
            return true;
        };
        std::string v;
        if (joined && (a == "--help" || a == "--version" || a == "--quiet")) {
            Error = a + " takes no value";
            return false;
        }
        if (a == "--help" || a == "-h") {
            Out.Help = true;
        } else if (a == "--version" || a == "-v") {
            Out.Version = true;
        } else if (a == "--quiet" || a == "-q") {
            Out.Quiet = true;
        } else if (a == "--port") {
            if (!value(v))
                return false;
            // The component takes the same names: a path, or COMn by the
            // port map's own rule.
            if (v.find('/') == std::string::npos && !IsComName(v)) {
                Error = "--port wants COMn or a path with a '/', not \"" + v + "\"";
                return false;
            }
            Out.Port = v;
        } else if (a == "--serial") {
            if (!value(v))
                return false;
            std::array<uint8_t, 4> s{};
            if (!ParseHexBytes(v, s.data(), 4)) {
                Error = "--serial wants 8 hex digits, not \"" + v + "\"";
                return false;
            }
            Out.Serial = s;
        } else if (a == "--card") {
            if (!value(Out.CardFile))
                return false;
        } else if (a == "--save") {
            if (!value(Out.SaveFile))
                return false;
        } else if (a == "--fault") {
            if (!value(v))
                return false;
            TFaultOption f;
            if (!ParseFaultOption(v, f, Error))
                return false;
            Out.Faults.push_back(f);
        } else if (a == "--random-faults") {
            if (!value(v))
                return false;
            char* end = nullptr;
            const double p = std::strtod(v.c_str(), &end);
            if (v.empty() || *end || !(p >= 0 && p <= 1)) {
                Error = "--random-faults wants a probability from 0 to 1, not \"" + v + "\"";
                return false;
            }
            Out.RandomProbability = p;
        } else if (a == "--seed") {
            if (!value(v))
                return false;
            long n = 0;
            if (!ParseInt(v, 10, UINT32_MAX, n)) {
                Error = "--seed wants a number, not \"" + v + "\"";
                return false;
            }
            Out.Seed = uint32_t(n);
        } else if (a == "--pace") {
            if (!value(v))
                return false;
            long ms = 0;
            if (!ParseInt(v, 10, MaxPaceMs, ms)) {
                Error = "--pace wants a processing time in ms from 0 to " + std::to_string(MaxPaceMs) + ", not \"" + v
                    + "\"";
                return false;
            }
            Out.PaceMs = int(ms);
        } else {
            Error = "unknown option \"" + Args[i] + "\" (see --help)";
            return false;
        }
    }
    return true;
}

} // namespace sim
