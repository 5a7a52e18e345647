#include "sim/SimProgram.h"

#include "protocol/CardLayout.h"
#include "protocol/Commands.h"
#include "protocol/Frame.h"
#include "serial/PortName.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace sim {

namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string HexOf(const uint8_t* p, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

bool ParseInt(const std::string& s, int Base, long Max, long& Out)
{
    if (s.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(s.c_str(), &end, Base);
    if (errno || *end || v < 0 || v > Max)
        return false;
    Out = v;
    return true;
}

std::string StatusName(uint8_t St)
{
    switch (St) {
    case StatusNoCard: return "no card";
    case StatusBadChecksum: return "bad checksum";
    case StatusUnknown: return "unknown command";
    case StatusBadRequest: return "bad request";
    case StatusAuthFailed: return "authentication failed";
    case StatusNotAuth: return "not authenticated";
    case StatusAccessDenied: return "access denied";
    case StatusNotValue: return "not a value block";
    }
    return "status";
}

// What a request asks for, e.g. "read block 8".
std::string DescribeRequest(const std::vector<uint8_t>& F)
{
    const uint8_t cmd = F[1];
    const TCommandInfo* info = FindCommand(cmd);
    std::string what = info ? info->Name : "unknown command";
    char text[96];
    const size_t n = F.size();
    if ((cmd == Cmd::SearchCard || cmd == Cmd::SearchCardSerial) && n >= 4) {
        what += F[2] ? " all cards" : " idle cards";
    } else if (cmd == Cmd::Authenticate && n >= 5) {
        std::snprintf(text, sizeof text, " sector %d key source %d", F[2], F[3]);
        what += text;
        if (n >= 11)
            what += " key " + HexOf(F.data() + AuthKeyOffset, KeyBytes);
    } else if ((cmd == Cmd::ReadBlock || cmd == Cmd::WriteBlock) && n >= 4) {
        std::snprintf(text, sizeof text, " block %d", F[2]);
        what += text;
    } else if (cmd == Cmd::ValueOperation && n >= 10) {
        std::snprintf(text, sizeof text, " %s block %d to %d by %u",
                      F[2] == ValueOp::Increment ? "increment" : "decrement", F[3], F[4],
                      unsigned(F[5]) << 24 | unsigned(F[6]) << 16 | unsigned(F[7]) << 8 | F[8]);
        what += text;
    } else if (cmd == Cmd::DownloadKey && n >= 11) {
        std::snprintf(text, sizeof text, " key %c sector %d ", F[2] ? 'B' : 'A', F[3]);
        what += text + HexOf(F.data() + DownloadKeyOffset, KeyBytes);
    }
    return what;
}

// "ok read", or "error 84 authentication failed" for a status reply.
std::string DescribeReply(const std::vector<uint8_t>& F)
{
    const uint8_t code = F[1];
    if (const TCommandInfo* info = FindCommand(code))
        return std::string("ok ") + info->Name;
    char text[96];
    std::snprintf(text, sizeof text, "error %02X %s", code, StatusName(code).c_str());
    return text;
}

} // namespace

bool ParseHexBytes(const std::string& Text, uint8_t* Out, size_t N)
{
    if (Text.size() != 2 * N)
        return false;
    for (size_t i = 0; i < N; ++i) {
        const int hi = HexDigit(Text[2 * i]), lo = HexDigit(Text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        Out[i] = uint8_t(hi << 4 | lo);
    }
    return true;
}

bool ParseFaultOption(const std::string& Text, FaultOption& Out, std::string& Error)
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
    Fault f{FaultKind::NoReply};
    if (rest == "noreply") f.Kind = FaultKind::NoReply;
    else if (rest == "badsum") f.Kind = FaultKind::BadChecksum;
    else if (rest == "status") f.Kind = FaultKind::ErrorStatus;
    else if (rest == "delay") f.Kind = FaultKind::Delay;
    else if (rest == "split") f.Kind = FaultKind::Split;
    else if (rest == "short") f.Kind = FaultKind::Short;
    else if (rest == "noise") f.Kind = FaultKind::Noise;
    else return false;
    if (!arg.empty()) {
        long v = 0;
        if (f.Kind == FaultKind::ErrorStatus) {
            if (!ParseInt(arg, 16, 255, v) || v == 0 || v == Out.Command)
                return false;
            f.Status = uint8_t(v);
        } else if (f.Kind == FaultKind::Delay || f.Kind == FaultKind::Split) {
            if (!ParseInt(arg, 10, 600000, v))
                return false;
            f.DelayMs = int(v);
        } else {
            return false;
        }
    }
    Out.F = f;
    Error.clear();
    return true;
}

bool ParseSimOptions(const std::vector<std::string>& Args, SimOptions& Out, std::string& Error)
{
    for (size_t i = 0; i < Args.size(); ++i) {
        const std::string& a = Args[i];
        auto value = [&](std::string& v) {
            if (i + 1 >= Args.size()) {
                Error = a + " needs a value";
                return false;
            }
            v = Args[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            Out.Help = true;
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
            FaultOption f;
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
        } else {
            Error = "unknown option \"" + a + "\" (see --help)";
            return false;
        }
    }
    return true;
}

std::string SimHelpText()
{
    return R"(Usage: orvelle-sim [options]
A card reader/encoder with one MIFARE Classic 1K card, served on a
pseudo-terminal at 9600 8N1 for Orvelle. It prints the device path and links
it into the port map ($XDG_CONFIG_HOME/orvelle/ports, or
~/.config/orvelle/ports) as the chosen COM name, removed again on exit.

Options:
  --port NAME          COMn in the port map (default COM1), or a path with a
                       '/' for a plain symbolic link of that name. Only a
                       missing or dangling link is replaced.
  --serial HEX         the card's serial number, 8 hex digits (default 12345678)
  --card FILE          load the card from a 1024-byte dump (block 0 first)
  --save FILE          save the card to a 1024-byte dump on exit
  --quiet, -q          do not print the frames
  --fault CC:KIND[=ARG][*COUNT]
                       spoil replies to command CC (hex), every time or the
                       next COUNT times. KIND: noreply, badsum, status[=SS]
                       (status byte SS in hex, default 01), delay[=MS]
                       (default 1000), split[=MS] (pause, default 250), short,
                       noise. Repeatable. Only "status" stops the command;
                       with the others the card carries it out and only the
                       reply suffers.
  --random-faults P    spoil each reply with probability P (0..1), kind at
                       random
  --seed N             seed for --random-faults (default 1)
  --help, -h           this text

Reply status codes (byte 1 when a command was not carried out):
  01 no card (out of the field, halted, or not selected)
  81 bad request checksum     82 unknown command
  83 bad length or parameter  84 authentication failed
  85 sector not authenticated 86 access conditions forbid it
  87 not a value block

Console (standard input): remove, insert, halt, dump, serial HEX, beeps,
  save FILE, load FILE, fault CC:KIND, nofaults, quiet, verbose, help, quit.

Exit codes: 0 done, 1 no pseudo-terminal or dump not saved,
  2 bad option, unreadable card file or port link refused.
)";
}

std::string DescribeFrame(const std::vector<uint8_t>& F, bool FromProgram)
{
    const std::string hex = HexOf(F.data(), F.size());
    if (F.size() < 2)
        return hex;
    // The meaning starts in one column while the hex leaves room for it.
    const std::string gap(hex.size() < 60 ? 60 - hex.size() : 2, ' ');
    if (F.size() != size_t(F[0]) + 1)
        return hex + gap + "(part of a frame, or noise)";
    if (Checksum({F.data(), F.size() - 1}) != F.back())
        return hex + gap + "(bad checksum)";
    return hex + gap + (FromProgram ? DescribeRequest(F) : DescribeReply(F));
}

bool PlacePortLink(const std::string& Port, const std::string& Device, std::string& LinkPath,
                   std::string& Error)
{
    if (Port.find('/') != std::string::npos) {
        LinkPath = Port;
    } else {
        const std::string dir = PortMapDirectory();
        if (dir.empty()) {
            Error = "no port map directory: set HOME or XDG_CONFIG_HOME";
            return false;
        }
        // The map holds COM names only; the component would never look
        // anything else up.
        LinkPath = PortMapLink(Port, dir);
        if (LinkPath.empty()) {
            Error = "\"" + Port + "\" is neither COMn nor a path with a '/'";
            return false;
        }
        // Create the directory and its parents as needed.
        for (size_t at = 0; at != std::string::npos;) {
            at = dir.find('/', at + 1);
            const std::string part = dir.substr(0, at);
            if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
                Error = "cannot create " + part + ": " + std::strerror(errno);
                return false;
            }
        }
    }
    struct stat st {};
    if (::lstat(LinkPath.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            Error = LinkPath + " exists and is not a link; not replacing it";
            return false;
        }
        struct stat target {};
        if (::stat(LinkPath.c_str(), &target) == 0) {
            char to[PATH_MAX] = {};
            const ssize_t n = ::readlink(LinkPath.c_str(), to, sizeof to - 1);
            Error = LinkPath + " already points at " + std::string(to, n > 0 ? size_t(n) : 0)
                    + ", which exists; remove it or choose another --port";
            return false;
        }
        // Dangling (left by a reader that is gone): replace it in one step.
        const std::string tmp = LinkPath + ".orvelle-sim." + std::to_string(::getpid());
        ::unlink(tmp.c_str());
        if (::symlink(Device.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), LinkPath.c_str()) != 0) {
            Error = "cannot replace " + LinkPath + ": " + std::strerror(errno);
            ::unlink(tmp.c_str());
            return false;
        }
        return true;
    }
    if (::symlink(Device.c_str(), LinkPath.c_str()) != 0) {
        Error = "cannot create " + LinkPath + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void RemovePortLink(const std::string& LinkPath, const std::string& Device)
{
    char to[PATH_MAX] = {};
    const ssize_t n = ::readlink(LinkPath.c_str(), to, sizeof to - 1);
    if (n > 0 && std::string(to, size_t(n)) == Device)
        ::unlink(LinkPath.c_str());
}

std::string RunConsoleCommand(SimServer& Server, const std::string& Line, bool& Quit, bool& Quiet)
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
    if (cmd == "dump") {
        std::string out;
        constexpr int blocks = SectorCount * BlocksPerSector;
        for (int b = 0; b < blocks; ++b) {
            const auto blk = Server.Block(b);
            char h[16];
            std::snprintf(h, sizeof h, "%2d/%02d  ", b / BlocksPerSector, b);
            out += h + HexOf(blk.data(), blk.size()) + (IsTrailer(b) ? "  trailer" : "")
                   + (b < blocks - 1 ? "\n" : "");
        }
        return out;
    }
    if (cmd == "serial") {
        std::array<uint8_t, 4> s{};
        if (!arg.empty()) {
            if (!ParseHexBytes(arg, s.data(), 4))
                return "serial wants 8 hex digits";
            Server.SetSerial(s);
        }
        s = Server.Serial();
        return "serial " + HexOf(s.data(), 4) + (Server.CardPresent() ? "" : " (out of the field)");
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
        FaultOption f;
        std::string err;
        if (!ParseFaultOption(arg, f, err))
            return err;
        Server.InjectFault(f.Command, f.F, f.Count > 0 ? f.Count : INT_MAX);
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
