#pragma once
// A private port map for one test: XDG_CONFIG_HOME points into a temporary
// directory for the object's life, so COMn names lead where the test says and
// never to a real serial port of the machine.

#include <QTemporaryDir>

#include <string>

class TPortMap {
public:
    TPortMap();  // throws std::runtime_error without a temporary directory
    ~TPortMap(); // XDG_CONFIG_HOME as it was

    TPortMap(const TPortMap&) = delete;
    TPortMap& operator=(const TPortMap&) = delete;

    // Maps COMn to Target (replacing any link); Unmap removes the link.
    void Map(int N, const std::string& Target);
    void Unmap(int N);

private:
    std::string Link(int N) const;

    QTemporaryDir FConfig;
    std::string FOldConfig;
    bool FHadOldConfig = false;
};
