#include "support/PortMap.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

TPortMap::TPortMap()
{
    if (!FConfig.isValid())
        throw std::runtime_error("no temporary directory for the port map");
    if (const char* Old = std::getenv("XDG_CONFIG_HOME")) {
        FOldConfig = Old;
        FHadOldConfig = true;
    }
    ::setenv("XDG_CONFIG_HOME", FConfig.path().toLocal8Bit().constData(), 1);
    std::filesystem::create_directories(FConfig.path().toStdString() + "/orvelle/ports");
}

TPortMap::~TPortMap()
{
    if (FHadOldConfig)
        ::setenv("XDG_CONFIG_HOME", FOldConfig.c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");
}

std::string TPortMap::Link(int N) const
{
    return FConfig.path().toStdString() + "/orvelle/ports/COM" + std::to_string(N);
}

void TPortMap::Map(int N, const std::string& Target)
{
    Unmap(N);
    std::filesystem::create_symlink(Target, Link(N));
}

void TPortMap::Unmap(int N)
{
    std::error_code ignored;
    std::filesystem::remove(Link(N), ignored);
}
