#pragma once
// What the benchmark programs share.

#include <cstdlib>
#include <fstream>
#include <string>

// This process's resident memory in KiB (VmRSS), -1 when unknown.
inline long RssKiB()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}
