// The ports window: a scan shown as a table, a probe off the window's
// thread, and a COM link made for the row chosen.
#include "app/PortsWindow.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>
#include <utility>

namespace {

const QStringList Columns{QStringLiteral("Path"), QStringLiteral("Device"), QStringLiteral("Driver"),
    QStringLiteral("Maker / product"), QStringLiteral("Serial"), QStringLiteral("Held by"),
    QStringLiteral("COM links"), QStringLiteral("Probe")};

// What the probe column says of the port this program holds.
const QString HeldHere = QStringLiteral("in use here (not probed)");

QString Text(const std::string& Value) { return QString::fromStdString(Value); }

QString Joined(const std::vector<std::string>& Values)
{
    QStringList texts;
    for (const std::string& value : Values)
        texts << Text(value);
    return texts.join(QStringLiteral(", "));
}

QString MakerAndProduct(const TPortInfo& Port)
{
    if (Port.Maker.empty() || Port.Product.empty())
        return Text(Port.Maker + Port.Product);
    return Text(Port.Maker + " / " + Port.Product);
}

} // namespace

TPortsWindow::TPortsWindow(TScanRoots Roots, std::vector<std::string> Named, std::function<std::string()> HeldPort,
    QWidget* Parent)
    : QWidget(Parent, Qt::Window)
    , FRoots(std::move(Roots))
    , FNamed(std::move(Named))
    , FHeldPort(std::move(HeldPort))
{
    setObjectName(QStringLiteral("PortsWindow"));
    setWindowTitle(QStringLiteral("Ports"));
    Build();
    Rescan();
}

TPortsWindow::~TPortsWindow()
{
    // A probe ends within its reply time-out; its results have nowhere to go.
    if (FProbe) {
        FProbe->disconnect(this);
        FProbe->wait();
        delete FProbe;
    }
}

void TPortsWindow::Build()
{
    auto* layout = new QVBoxLayout(this);
    PortsTable = new QTableWidget(0, ColumnCount, this);
    PortsTable->setObjectName(QStringLiteral("PortsTable"));
    PortsTable->setHorizontalHeaderLabels(Columns);
    PortsTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    PortsTable->setSelectionMode(QAbstractItemView::SingleSelection);
    PortsTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    PortsTable->verticalHeader()->hide();
    PortsTable->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(PortsTable, 1);

    auto* row = new QHBoxLayout;
    PortsProbe = new QPushButton(QStringLiteral("Probe"), this);
    PortsProbe->setObjectName(QStringLiteral("PortsProbe"));
    PortsProbe->setToolTip(QStringLiteral("Sends the link test to every port that may be opened"));
    PortsCom = new QComboBox(this);
    PortsCom->setObjectName(QStringLiteral("PortsCom"));
    PortsCom->addItems({QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"), QStringLiteral("COM4")});
    PortsLink = new QPushButton(QStringLiteral("Link"), this);
    PortsLink->setObjectName(QStringLiteral("PortsLink"));
    PortsLink->setToolTip(QStringLiteral("Links the COM name to the port chosen in the table"));
    row->addWidget(PortsProbe);
    row->addStretch(1);
    row->addWidget(PortsCom);
    row->addWidget(PortsLink);
    layout->addLayout(row);

    PortsStatus = new QLabel(this);
    PortsStatus->setObjectName(QStringLiteral("PortsStatus"));
    PortsStatus->setWordWrap(true);
    PortsStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(PortsStatus);

    connect(PortsProbe, &QPushButton::clicked, this, &TPortsWindow::ProbeClick);
    connect(PortsLink, &QPushButton::clicked, this, &TPortsWindow::LinkClick);
    resize(860, 320);
}

void TPortsWindow::Rescan()
{
    FHeld = FHeldPort ? FHeldPort() : std::string();
    std::vector<std::string> named = FNamed;
    // The held port is listed, so that it shows as held.
    if (!FHeld.empty() && std::find(named.begin(), named.end(), FHeld) == named.end())
        named.push_back(FHeld);
    FScan = ScanPorts(named, FRoots);
    ShowScan();
}

bool TPortsWindow::IsHeld(const TPortInfo& Port) const { return !FHeld.empty() && Port.Device == FHeld; }

void TPortsWindow::ShowScan()
{
    const int chosen = PortsTable->currentRow();
    PortsTable->setRowCount(int(FScan.Ports.size()));
    for (size_t i = 0; i < FScan.Ports.size(); ++i) {
        const TPortInfo& port = FScan.Ports[i];
        QString probe;
        if (IsHeld(port))
            probe = HeldHere;
        else
            for (const TProbeResult& result : FResults)
                if (result.Path == port.Path || result.Path == port.Device)
                    probe = Text(result.Words);
        const QStringList cells{Text(port.Path), Text(port.Device), Text(port.Driver), MakerAndProduct(port),
            Text(port.Serial), Text(port.HeldBy), Joined(port.ComNames), probe};
        for (int column = 0; column < ColumnCount; ++column) {
            auto* item = new QTableWidgetItem(cells[column]);
            item->setToolTip(cells[column]);
            PortsTable->setItem(int(i), column, item);
        }
    }
    if (chosen >= 0 && chosen < PortsTable->rowCount())
        PortsTable->selectRow(chosen);
    PortsTable->resizeColumnsToContents();
}

void TPortsWindow::ProbeClick()
{
    if (FProbe)
        return;
    Rescan();
    std::vector<std::string> targets;
    for (const std::string& path : ProbeTargets(FScan, FNamed)) {
        // The main window's own port: a probe would interrupt its reader.
        const bool held = std::any_of(FScan.Ports.begin(), FScan.Ports.end(),
            [&](const TPortInfo& Port) { return IsHeld(Port) && (Port.Path == path || Port.Device == path); });
        if (!held)
            targets.push_back(path);
    }
    PortsProbe->setEnabled(false);
    PortsStatus->setText(QStringLiteral("Probing %1 ports...").arg(qsizetype(targets.size())));
    auto results = std::make_shared<std::vector<TProbeResult>>();
    const std::string locks = FRoots.Locks;
    const int timeout = FProbeTimeoutMs;
    FProbe = QThread::create([results, targets, locks, timeout] { *results = ProbePorts(targets, timeout, locks); });
    connect(FProbe, &QThread::finished, this, [this, results] {
        // Told just before the thread ends: it is let end before it goes.
        FProbe->wait();
        delete std::exchange(FProbe, nullptr);
        ProbeDone(*results);
    });
    FProbe->start();
}

void TPortsWindow::ProbeDone(const std::vector<TProbeResult>& Results)
{
    FResults = Results;
    PortsProbe->setEnabled(true);
    const auto answers = std::count_if(Results.begin(), Results.end(),
        [](const TProbeResult& Result) { return Result.Answer == TProbeAnswer::Answers; });
    PortsStatus->setText(QStringLiteral("Probed %1 ports: %2 with a reader that answers.").arg(qsizetype(Results.size())).arg(qsizetype(answers)));
    ShowScan();
    emit ProbeFinished();
}

void TPortsWindow::LinkClick()
{
    const int row = PortsTable->currentRow();
    if (row < 0 || row >= int(FScan.Ports.size())) {
        PortsStatus->setText(QStringLiteral("Choose a port in the table first."));
        return;
    }
    const TMapOutcome outcome = MapComPort(PortsCom->currentText().toStdString(), FScan.Ports[size_t(row)].Path, FRoots);
    PortsStatus->setText(Text(outcome.Words));
    Rescan();
}
