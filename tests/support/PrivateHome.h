#pragma once
// A private home for one test: XDG_CONFIG_HOME, XDG_STATE_HOME and
// XDG_DATA_HOME point into a temporary directory for the object's life, so
// COMn names lead where the test says and never to a real serial port of the
// machine, and the records (journal, run reports) and the default ledger stay
// with the test.

#include <QTemporaryDir>

#include <optional>
#include <string>

class TPrivateHome {
public:
    TPrivateHome();  // throws std::runtime_error without a temporary directory
    ~TPrivateHome(); // XDG_CONFIG_HOME and XDG_STATE_HOME as they were

    TPrivateHome(const TPrivateHome&) = delete;
    TPrivateHome& operator=(const TPrivateHome&) = delete;

    // Maps COMn to Target (replacing any link); Unmap removes the link.
    void Map(int N, const std::string& Target);
    void Unmap(int N);
    // Writes COMn.pid beside the link as orvelle-sim does: process Pid,
    // started at Start (0: Pid's own start time), placed it to Device.
    void RecordSimulator(int N, long Pid, const std::string& Device, unsigned long long Start = 0);

    // $XDG_STATE_HOME/orvelle: where the program keeps its records.
    std::string StateFolder() const;
    // $XDG_DATA_HOME/orvelle: where the default ledger goes.
    std::string DataFolder() const;

private:
    std::string Link(int N) const;

    QTemporaryDir FHome;
    std::optional<std::string> FOldConfig;
    std::optional<std::string> FOldState;
    std::optional<std::string> FOldData;
};
