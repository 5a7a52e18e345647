#pragma once
// TStationsPanel: the readers of one desk, each a station process
// (TStationProcess) on a port of its own, in a table (objectName
// StationsTable: Port, Station, Operator, State, Last event) kept live from
// their events. "Add station..." (StationAdd) asks for a port, the files, the
// batch and the names, and the template's trailers once; "Restart"
// (StationRestart) runs a station that ended unexpectedly again, resuming
// its claim; "Stop all" (StationStopAll) asks each to stop after its card
// and shows it stopping until it has ended. The port the main window holds
// is never offered. It knows the window only through the ledger's address,
// that port and the dialogs.

#include "app/StationProcess.h"

#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

class QPushButton;
class QTableWidget;
class TFormDialogs;

class TStationsPanel : public QWidget {
    Q_OBJECT

public:
    // Ledger: the address stations record into (empty: the program's
    // default); HeldPort: the port the main window holds now, if any.
    TStationsPanel(QString Ledger, std::function<QString()> HeldPort, TFormDialogs& Dialogs, QWidget* Parent = nullptr);
    ~TStationsPanel() override;

    // The PostgreSQL password, passed to each station's environment.
    void SetLedgerPassword(const QString& Password) { FPassword = Password; }
    // The program the stations run; empty: orvelle-card beside this one.
    void SetProgram(const QString& Program) { FProgram = Program; }
    // Runs a station of Command (its password and program the panel's).
    void AddStation(TStationCommand Command);
    // Every running station asked to stop; returns at once.
    void StopAll();
    // A station still runs or stops.
    bool Busy() const;

    int StationCount() const { return int(FStations.size()); }
    TStationProcess& Station(int Row) { return *FStations[size_t(Row)]; }

private:
    void AskForStation();
    // The ports a new station may take: COM1 to COM4, less the window's and
    // those of the stations running.
    QStringList FreePorts() const;
    bool PortTaken(const QString& Port) const;
    // A station of that name runs from this panel.
    bool NameTaken(const QString& Station) const;
    // The trailers' approval for Template: false when the user cancelled;
    // Digest empty when no trailer is to be written; Permanent when the
    // user agreed to trailers that lock something for good.
    bool ApproveTrailers(const QString& Template, QString& Digest, bool& Permanent);
    void ShowRow(int Row);
    void UpdateButtons();

    QString FLedger;
    std::function<QString()> FHeldPort;
    TFormDialogs& FDialogs;
    QString FPassword;
    QString FProgram;
    QTableWidget* FTable = nullptr;
    QPushButton* FRestart = nullptr;
    QPushButton* FStopAll = nullptr;
    std::vector<std::unique_ptr<TStationProcess>> FStations;
};

// What a station's last event says, in a line: "done 4012A301 row 2".
QString StationEventText(const QJsonObject& Event);
