#include "support/PrivateHome.h"

#include "serial/PortName.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace {

std::optional<std::string> Replace(const char* Name, const std::string& Value)
{
    std::optional<std::string> old;
    if (const char* was = std::getenv(Name))
        old = was;
    ::setenv(Name, Value.c_str(), 1);
    return old;
}

void Restore(const char* Name, const std::optional<std::string>& Old)
{
    if (Old)
        ::setenv(Name, Old->c_str(), 1);
    else
        ::unsetenv(Name);
}

} // namespace

TPrivateHome::TPrivateHome()
{
    if (!FHome.isValid())
        throw std::runtime_error("no temporary directory for a private home");
    const std::string home = FHome.path().toStdString();
    FOldConfig = Replace("XDG_CONFIG_HOME", home + "/config");
    FOldState = Replace("XDG_STATE_HOME", home + "/state");
    FOldData = Replace("XDG_DATA_HOME", home + "/data");
    std::filesystem::create_directories(home + "/config/orvelle/ports");
}

TPrivateHome::~TPrivateHome()
{
    Restore("XDG_CONFIG_HOME", FOldConfig);
    Restore("XDG_STATE_HOME", FOldState);
    Restore("XDG_DATA_HOME", FOldData);
}

std::string TPrivateHome::StateFolder() const { return FHome.path().toStdString() + "/state/orvelle"; }
std::string TPrivateHome::DataFolder() const { return FHome.path().toStdString() + "/data/orvelle"; }

std::string TPrivateHome::Link(int N) const
{
    return FHome.path().toStdString() + "/config/orvelle/ports/COM" + std::to_string(N);
}

void TPrivateHome::Map(int N, const std::string& Target)
{
    Unmap(N);
    std::filesystem::create_symlink(Target, Link(N));
}

void TPrivateHome::Unmap(int N)
{
    std::error_code ignored;
    std::filesystem::remove(Link(N), ignored);
}

void TPrivateHome::RecordSimulator(int N, long Pid, const std::string& Device, unsigned long long Start)
{
    std::ofstream(SimRecordPath(Link(N))) << Pid << ' ' << (Start ? Start : ProcessStartTime(Pid)) << ' ' << Device << '\n';
}
