#include "app/StationsPanel.h"

#include "app/FormDialogs.h"
#include "app/TrailersDialog.h"
#include "protocol/DumpFile.h"
#include "serial/PortName.h"
#include "session/BatchJob.h"
#include "session/CardWords.h"

#include <QComboBox>
#include <QDeadlineTimer>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonObject>
#include <QLineEdit>
#include <QPushButton>
#include <QSysInfo>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {

enum TColumn { PortColumn,
    StationColumn,
    OperatorColumn,
    StateColumn,
    EventColumn,
    ColumnCount };

// The COM names offered; others are typed, as device paths are.
constexpr int OfferedComPorts = 4;

// The device a port name leads to, for comparing a COM name with a path.
QString DeviceOf(const QString& Port)
{
    const std::string device = ResolveCommName(Port.contains(QLatin1Char('/')) ? Port.toStdString() : Port.toUpper().toStdString());
    return device.empty() ? Port : QString::fromStdString(device);
}

// A line edit for a file, with a button that opens the file dialog.
QLineEdit* FileRow(QFormLayout& Form, const QString& Label, const char* Name, TFormDialogs& Dialogs, const QString& Filter)
{
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* edit = new QLineEdit(row);
    edit->setObjectName(QLatin1String(Name));
    auto* browse = new QToolButton(row);
    browse->setText(QStringLiteral("..."));
    browse->setObjectName(QLatin1String(Name) + QStringLiteral("Browse"));
    QObject::connect(browse, &QToolButton::clicked, row, [edit, &Dialogs, Label, Filter, row] {
        const QString file = Dialogs.OpenFileName(row, Label, Filter);
        if (!file.isEmpty())
            edit->setText(file);
    });
    layout->addWidget(edit, 1);
    layout->addWidget(browse);
    Form.addRow(Label, row);
    return edit;
}

} // namespace

QString StationEventText(const QJsonObject& Event)
{
    QString name = Event.value(QStringLiteral("event")).toString();
    const QString serial = Event.value(QStringLiteral("serial")).toString();
    const int row = Event.value(QStringLiteral("row")).toInt();
    if (name == QStringLiteral("waiting")) {
        const QJsonValue left = Event.value(QStringLiteral("rows_left"));
        return left.isDouble() ? QStringLiteral("waiting for a card (%1 rows left)").arg(left.toInt()) : QStringLiteral("waiting for a card");
    }
    if (name == QStringLiteral("card") || name == QStringLiteral("remove"))
        return name + QLatin1Char(' ') + serial;
    if (name == QStringLiteral("writing") || name == QStringLiteral("done") || name == QStringLiteral("repeat"))
        return QStringLiteral("%1 %2 row %3").arg(name, serial).arg(row);
    if (name == QStringLiteral("failed")) {
        const QString detail = Event.value(QStringLiteral("detail")).toString();
        return QStringLiteral("failed %1 row %2").arg(serial).arg(row) + (detail.isEmpty() ? QString() : QStringLiteral(": ") + detail);
    }
    if (name == QStringLiteral("complete")) {
        return QStringLiteral("complete: %1 done, %2 failed (%3)")
            .arg(Event.value(QStringLiteral("done")).toInt())
            .arg(Event.value(QStringLiteral("failed")).toInt())
            .arg(Event.value(QStringLiteral("ended")).toString());
    }
    return name;
}

TStationsPanel::TStationsPanel(QString Ledger, std::function<QString()> HeldPort, TFormDialogs& Dialogs, QWidget* Parent)
    : QWidget(Parent)
    , FLedger(std::move(Ledger))
    , FHeldPort(std::move(HeldPort))
    , FDialogs(Dialogs)
{
    setObjectName(QStringLiteral("StationsPanel"));
    auto* layout = new QVBoxLayout(this);
    FTable = new QTableWidget(0, ColumnCount, this);
    FTable->setObjectName(QStringLiteral("StationsTable"));
    FTable->setHorizontalHeaderLabels(
        {QStringLiteral("Port"), QStringLiteral("Station"), QStringLiteral("Operator"), QStringLiteral("State"), QStringLiteral("Last event")});
    FTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    FTable->setSelectionMode(QAbstractItemView::SingleSelection);
    FTable->horizontalHeader()->setStretchLastSection(true);
    FTable->verticalHeader()->hide();
    layout->addWidget(FTable, 1);
    auto* buttons = new QHBoxLayout;
    auto* add = new QPushButton(QStringLiteral("Add station..."), this);
    add->setObjectName(QStringLiteral("StationAdd"));
    FRestart = new QPushButton(QStringLiteral("Restart"), this);
    FRestart->setObjectName(QStringLiteral("StationRestart"));
    FStopAll = new QPushButton(QStringLiteral("Stop all"), this);
    FStopAll->setObjectName(QStringLiteral("StationStopAll"));
    buttons->addWidget(add);
    buttons->addWidget(FRestart);
    buttons->addStretch(1);
    buttons->addWidget(FStopAll);
    layout->addLayout(buttons);
    connect(add, &QPushButton::clicked, this, &TStationsPanel::AskForStation);
    connect(FRestart, &QPushButton::clicked, this, [this] {
        const int row = FTable->currentRow();
        if (row >= 0 && row < StationCount())
            Station(row).Restart();
    });
    connect(FStopAll, &QPushButton::clicked, this, &TStationsPanel::StopAll);
    connect(FTable, &QTableWidget::itemSelectionChanged, this, &TStationsPanel::UpdateButtons);
    UpdateButtons();
}

TStationsPanel::~TStationsPanel()
{
    // Every station asked to stop at once and then waited for together, so
    // that closing takes one card's time, not one a station; one still
    // running past the moment is killed with its process, and its claim is
    // carried on once it is silent.
    for (const auto& station : FStations) {
        station->disconnect(this);
        station->Stop();
    }
    const QDeadlineTimer deadline(TStationProcess::DestroyWaitMs);
    for (const auto& station : FStations)
        station->WaitEnded(deadline);
}

void TStationsPanel::AddStation(TStationCommand Command)
{
    Command.Password = FPassword;
    Command.Program = FProgram;
    const int row = StationCount();
    FStations.push_back(std::make_unique<TStationProcess>(std::move(Command)));
    TStationProcess* station = FStations.back().get();
    FTable->insertRow(row);
    for (int column = 0; column < ColumnCount; ++column)
        FTable->setItem(row, column, new QTableWidgetItem);
    connect(station, &TStationProcess::EventArrived, this, [this, row] { ShowRow(row); });
    connect(station, &TStationProcess::StateChanged, this, [this, row] {
        ShowRow(row);
        UpdateButtons();
    });
    station->Start();
    ShowRow(row);
    UpdateButtons();
}

void TStationsPanel::StopAll()
{
    // SIGINT only: each ends after its card, and says so through its state.
    for (const auto& station : FStations)
        station->Stop();
    UpdateButtons();
}

bool TStationsPanel::Busy() const
{
    for (const auto& station : FStations) {
        const TStationProcess::TState state = station->State();
        if (state != TStationProcess::TState::Finished && state != TStationProcess::TState::EndedUnexpectedly)
            return true;
    }
    return false;
}

void TStationsPanel::ShowRow(int Row)
{
    const TStationProcess& station = Station(Row);
    const TStationCommand& command = station.Command();
    const bool unexpected = station.State() == TStationProcess::TState::EndedUnexpectedly;
    QString state = StationStateText(station.State());
    if (unexpected && station.ExitStatus() >= 0)
        state += QStringLiteral(" (exit %1)").arg(station.ExitStatus());
    const QString last = unexpected && !station.LastError().isEmpty() ? station.LastError() : StationEventText(station.LastEvent());
    const QString texts[ColumnCount] = {command.Port, command.Station, command.Operator, state, last};
    for (int column = 0; column < ColumnCount; ++column)
        FTable->item(Row, column)->setText(texts[column]);
    FTable->item(Row, EventColumn)->setToolTip(station.LastError());
}

void TStationsPanel::UpdateButtons()
{
    const int row = FTable->currentRow();
    FRestart->setEnabled(row >= 0 && row < StationCount() && Station(row).State() == TStationProcess::TState::EndedUnexpectedly);
    bool running = false;
    for (const auto& station : FStations)
        running = running || station->ProcessId() > 0;
    FStopAll->setEnabled(running);
}

bool TStationsPanel::PortTaken(const QString& Port) const
{
    const QString device = DeviceOf(Port);
    const QString held = FHeldPort ? FHeldPort() : QString();
    if (!held.isEmpty() && (held.compare(Port, Qt::CaseInsensitive) == 0 || DeviceOf(held) == device))
        return true;
    for (const auto& station : FStations) {
        if (station->ProcessId() > 0 && DeviceOf(station->Command().Port) == device)
            return true;
    }
    return false;
}

bool TStationsPanel::NameTaken(const QString& Station) const
{
    return std::any_of(FStations.begin(), FStations.end(), [&Station](const auto& Running) {
        return Running->ProcessId() > 0 && Running->Command().Station == Station;
    });
}

QStringList TStationsPanel::FreePorts() const
{
    QStringList ports;
    for (int n = 1; n <= OfferedComPorts; ++n) {
        const QString name = QStringLiteral("COM%1").arg(n);
        if (!PortTaken(name))
            ports << name;
    }
    return ports;
}

bool TStationsPanel::ApproveTrailers(const QString& Template, QString& Digest, bool& Permanent)
{
    Digest.clear();
    Permanent = false;
    TFileError error;
    const std::optional<TDumpImage> image = ReadDumpFile(Template.toStdString(), error);
    if (!image) {
        FDialogs.MessageBox(this, QString::fromStdString(error.Text()), QStringLiteral("Add station"), 0);
        return false;
    }
    const std::vector<TTrailerChange> changes = TrailerChanges(*image, TDumpImage{});
    if (changes.empty())
        return true;
    const std::optional<std::vector<TTrailerChange>> ticked = AskTrailers(this, FDialogs, changes);
    if (!ticked)
        return false;
    if (ticked->empty())
        return true;
    // A station's batch takes the template's trailers whole or not at all.
    if (ticked->size() != changes.size()) {
        FDialogs.MessageBox(this, QStringLiteral("A station writes every trailer of the template or none: tick them all, or none."),
            QStringLiteral("Add station"), 0);
        return false;
    }
    Digest = TrailersDigest(*image);
    // AskTrailers asked these again in words: the station's refusal of them
    // is answered already.
    Permanent = !PermanentTrailersText(*image).empty();
    return true;
}

void TStationsPanel::AskForStation()
{
    QDialog dialog(this);
    dialog.setObjectName(QStringLiteral("StationDialog"));
    dialog.setWindowTitle(QStringLiteral("Add station"));
    auto* form = new QFormLayout(&dialog);
    auto* port = new QComboBox(&dialog);
    port->setObjectName(QStringLiteral("StationPort"));
    port->setEditable(true);
    port->addItems(FreePorts());
    form->addRow(QStringLiteral("Port"), port);
    QLineEdit* templ = FileRow(*form, QStringLiteral("Template"), "StationTemplate", FDialogs, QStringLiteral("Dumps (*)"));
    QLineEdit* dataFile = FileRow(*form, QStringLiteral("Data file"), "StationData", FDialogs, QStringLiteral("CSV files (*.csv);;All files (*)"));
    auto* batch = new QLineEdit(&dialog);
    batch->setObjectName(QStringLiteral("StationBatch"));
    batch->setPlaceholderText(QStringLiteral("the data file's name"));
    form->addRow(QStringLiteral("Batch"), batch);
    auto* name = new QLineEdit(QStringLiteral("%1-%2").arg(QSysInfo::machineHostName()).arg(StationCount() + 1), &dialog);
    name->setObjectName(QStringLiteral("StationName"));
    form->addRow(QStringLiteral("Station"), name);
    auto* person = new QLineEdit(LoginName(), &dialog);
    person->setObjectName(QStringLiteral("StationOperator"));
    form->addRow(QStringLiteral("Operator"), person);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("StationOk"));
    buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("StationCancel"));
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    FDialogs.Exec(dialog);
    if (dialog.result() != QDialog::Accepted)
        return;
    TStationCommand command;
    command.Port = port->currentText().trimmed();
    command.Template = templ->text().trimmed();
    command.Data = dataFile->text().trimmed();
    command.Batch = batch->text().trimmed();
    command.Station = name->text().trimmed();
    command.Operator = person->text().trimmed();
    command.Ledger = FLedger;
    const bool path = command.Port.contains(QLatin1Char('/'));
    QString refused;
    if (!path && !IsComName(command.Port.toUpper().toStdString()))
        refused = QStringLiteral("Unknown port '%1': COM1, COM2, ... or a device path.").arg(command.Port);
    else if (PortTaken(command.Port))
        refused = QStringLiteral("Port %1 is in use by this window.").arg(command.Port);
    else if (command.Template.isEmpty())
        refused = QStringLiteral("A station needs a template.");
    else if (NameTaken(command.Station))
        // Two readers under one name would be one station to the ledger: its
        // claims and heartbeats could no longer tell them apart.
        refused = QStringLiteral("Station %1 is already running here: give this one another name.").arg(command.Station);
    if (!refused.isEmpty()) {
        FDialogs.MessageBox(this, refused, QStringLiteral("Add station"), 0);
        return;
    }
    if (!path)
        command.Port = command.Port.toUpper();
    if (!ApproveTrailers(command.Template, command.ApprovedTrailers, command.Permanent))
        return;
    AddStation(std::move(command));
}
