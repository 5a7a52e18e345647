#pragma once
// A system tree of a test's own for the serial-port scan: empty dev and sys
// folders, an empty locks file and a port map, all under Dir, so that no
// serial device of the machine is listed or touched.

#include "serial/PortScan.h"

#include <QTemporaryDir>

#include <sys/stat.h>

#include <fstream>
#include <optional>

inline std::optional<TScanRoots> EmptyScanRoots(const QTemporaryDir& Dir)
{
    const std::string root = Dir.path().toStdString();
    TScanRoots roots;
    roots.Dev = root + "/dev";
    roots.Sys = root + "/sys";
    roots.Locks = root + "/locks";
    roots.MapDirectory = root + "/map";
    for (const std::string& folder : {roots.Dev, roots.Sys, roots.MapDirectory})
        if (::mkdir(folder.c_str(), 0755) != 0)
            return std::nullopt;
    if (!std::ofstream(roots.Locks).flush())
        return std::nullopt;
    return roots;
}
