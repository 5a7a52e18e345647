#pragma once
// TPortsWindow ("Ports..." on the Card page): the serial devices this system
// has, what each is and who holds it, the port map's COM links that lead to
// it, and what a probe found there; a COM name linked to the row chosen.
// The scan opens nothing; "Probe" opens the ports that may be opened, on a
// thread of its own so that the window goes on painting, and never the port
// the main window holds (marked in the table). After a link the operator
// chooses the port on the "Setting" page, which tries it again.

#include "serial/PortScan.h"

#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QPushButton;
class QTableWidget;
class QThread;

class TPortsWindow final : public QWidget {
    Q_OBJECT
public:
    // The table's columns, in order.
    enum TColumn { PathColumn,
        DeviceColumn,
        DriverColumn,
        ProductColumn,
        SerialColumn,
        HeldByColumn,
        ComColumn,
        ProbeColumn,
        ColumnCount };

    // Roots: where the scan looks and which port map it links in. Named:
    // paths listed and probed beyond those the scan finds. HeldPort: the
    // device the main window holds now ("" when none), asked at each scan.
    TPortsWindow(TScanRoots Roots, std::vector<std::string> Named, std::function<std::string()> HeldPort,
        QWidget* Parent = nullptr);
    ~TPortsWindow() override;
    TPortsWindow(const TPortsWindow&) = delete;
    TPortsWindow& operator=(const TPortsWindow&) = delete;

    // How long a probe waits for the readers' replies.
    void SetProbeTimeout(int Ms) { FProbeTimeoutMs = Ms; }
    // Looks at the devices and the port map again; a probe's results stay
    // with their paths.
    void Rescan();
    bool Probing() const { return FProbe != nullptr; }

signals:
    // A probe's results are in the table.
    void ProbeFinished();

private:
    void Build();
    void ShowScan();
    void ProbeClick();
    void ProbeDone(const std::vector<TProbeResult>& Results);
    void LinkClick();
    bool IsHeld(const TPortInfo& Port) const;

    TScanRoots FRoots;
    std::vector<std::string> FNamed;
    std::function<std::string()> FHeldPort;
    std::string FHeld; // the held device as the last scan saw it
    TPortScan FScan;
    // What the last probe said, by the path it probed.
    std::vector<TProbeResult> FResults;
    int FProbeTimeoutMs = 500;
    QThread* FProbe = nullptr;

    QTableWidget* PortsTable = nullptr;
    QPushButton* PortsProbe = nullptr;
    QComboBox* PortsCom = nullptr;
    QPushButton* PortsLink = nullptr;
    QLabel* PortsStatus = nullptr;
};
