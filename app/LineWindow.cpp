// The line window: built once, then fed from the ledger each time it
// changed. A ledger that cannot be opened yet (no station started one) is
// tried again by the clock, its reason shown meanwhile.
#include "app/LineWindow.h"
#include "app/FormDialogs.h"
#include "app/StationsPanel.h"

#include "records/LedgerWatch.h"

#include <QChart>
#include <QChartView>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

const QStringList StationColumns{QStringLiteral("Station"), QStringLiteral("State"), QStringLiteral("Operator"), QStringLiteral("Last card"),
    QStringLiteral("Row"), QStringLiteral("Labels"), QStringLiteral("Last hour"), QStringLiteral("Yield"), QStringLiteral("Last failure")};

// Each window its own connection: a test, or a second desk, may hold two.
int Connections = 0;

// A station's row as the table shows it, one text a column.
QStringList CellsOf(const TLineStation& Station)
{
    QString failure;
    if (Station.LastFailureAt.isValid()) {
        failure = Station.LastFailureAt.toLocalTime().toString(QStringLiteral("HH:mm:ss")) + QLatin1Char(' ') + Station.LastFailureCause;
        if (!Station.LastFailureDetail.isEmpty())
            failure += QStringLiteral(": ") + Station.LastFailureDetail;
    }
    return {Station.Name, Station.State, Station.Operator, Station.LastSerial, Station.LastRow > 0 ? QString::number(Station.LastRow) : QString(),
        Station.LastLabels.join(QStringLiteral(", ")), QString::number(Station.DoneLastHour),
        Station.Yield ? QStringLiteral("%1 %").arg(*Station.Yield * 100.0, 0, 'f', 1) : QString(), failure};
}

// A 10-minute bucket as the window's clock reads it: "07:10".
QString BucketTime(const QString& Bucket)
{
    const QDateTime start = QDateTime::fromString(Bucket, Qt::ISODate);
    return start.isValid() ? start.toLocalTime().toString(QStringLiteral("HH:mm")) : Bucket;
}

bool SameChart(const TBarChartData& A, const TBarChartData& B)
{
    if (A.Categories != B.Categories || A.Series.size() != B.Series.size())
        return false;
    for (size_t i = 0; i < A.Series.size(); ++i) {
        if (A.Series[i].Name != B.Series[i].Name || A.Series[i].Values != B.Series[i].Values)
            return false;
    }
    return true;
}

QChartView* NewChartView(const char* Name, const TBarChartData& Data, QWidget* Parent)
{
    auto* view = new QChartView(MakeBarChart(Data), Parent);
    view->setObjectName(QLatin1String(Name));
    view->setMinimumSize(360, 240);
    view->setRenderHint(QPainter::Antialiasing);
    return view;
}

} // namespace

TLineWindow::TLineWindow(const QString& Address, QWidget* Parent)
    : QWidget(Parent, Qt::Window)
    , FAddress(Address)
{
    setObjectName(QStringLiteral("LineWindow"));
    setWindowTitle(QStringLiteral("Line"));
    Build();
    connect(&FClock, &QTimer::timeout, this, &TLineWindow::Refresh);
    FClock.start(ClockMs);
    FSoon.setSingleShot(true);
    FSoon.setInterval(SoonMs);
    connect(&FSoon, &QTimer::timeout, this, &TLineWindow::Refresh);
    FChartsLater.setSingleShot(true);
    connect(&FChartsLater, &QTimer::timeout, this, &TLineWindow::Refresh);
    Refresh();
}

TLineWindow::~TLineWindow()
{
    // The watch reads the ledger: it goes first.
    FWatch.reset();
}

void TLineWindow::AddStations(TFormDialogs& Dialogs, std::function<QString()> HeldPort)
{
    if (FStationsPanel)
        return;
    FDialogs = &Dialogs;
    FStationsPanel = new TStationsPanel(FAddress, std::move(HeldPort), Dialogs, this);
    FExtra->addWidget(FStationsPanel);
    FClosing.setInterval(ClosingPollMs);
    connect(&FClosing, &QTimer::timeout, this, [this] {
        if (!StationsBusy()) {
            FClosing.stop();
            close();
        }
    });
}

bool TLineWindow::StationsBusy() const { return FStationsPanel && FStationsPanel->Busy(); }

void TLineWindow::closeEvent(QCloseEvent* Event)
{
    if (!StationsBusy()) {
        QWidget::closeEvent(Event);
        return;
    }
    Event->ignore();
    if (FClosing.isActive())
        return;
    if (!FDialogs->Ask(this, QStringLiteral("Stations of this window are still running. Stop each after the card in hand, and close when all have ended?"),
            windowTitle()))
        return;
    FStationsPanel->StopAll();
    FClosing.start();
}

void TLineWindow::Build()
{
    auto* layout = new QVBoxLayout(this);
    auto* top = new QFormLayout;
    FBatch = new QComboBox(this);
    FBatch->setObjectName(QStringLiteral("LineBatch"));
    FBatch->setMinimumContentsLength(24);
    top->addRow(QStringLiteral("Batch:"), FBatch);
    layout->addLayout(top);
    connect(FBatch, &QComboBox::currentTextChanged, this, [this]() {
        FShown.reset();
        FCharted.reset();
        Refresh();
    });

    FStations = new QTableWidget(0, int(StationColumns.size()), this);
    FStations->setObjectName(QStringLiteral("LineStations"));
    FStations->setHorizontalHeaderLabels(StationColumns);
    FStations->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FStations->setSelectionMode(QAbstractItemView::NoSelection);
    FStations->verticalHeader()->hide();
    FStations->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(FStations, 1);

    FProgress = new QProgressBar(this);
    FProgress->setObjectName(QStringLiteral("LineProgress"));
    FProgress->setRange(0, 1);
    FProgress->setValue(0);
    layout->addWidget(FProgress);
    FProgressText = new QLabel(this);
    FProgressText->setObjectName(QStringLiteral("LineProgressText"));
    layout->addWidget(FProgressText);

    auto* charts = new QHBoxLayout;
    FRateChart = NewChartView("LineChartRate",
        {QStringLiteral("Cards per 10 minutes, last 2 hours"), {}, {}, QStringLiteral("cards"), true}, this);
    FCausesChart = NewChartView("LineChartCauses", {QStringLiteral("Failures by cause"), {}, {}, QStringLiteral("cards"), false}, this);
    charts->addWidget(FRateChart);
    charts->addWidget(FCausesChart);
    layout->addLayout(charts, 1);

    FStatus = new QLabel(this);
    FStatus->setObjectName(QStringLiteral("LineStatus"));
    FStatus->setWordWrap(true);
    FStatus->hide();
    layout->addWidget(FStatus);

    FExtra = new QVBoxLayout;
    layout->addLayout(FExtra);
    resize(960, 640);
}

bool TLineWindow::OpenLedger()
{
    if (FLedger)
        return true;
    QString why;
    TLedgerAccess access;
    access.ReadOnly = true;
    FLedger = TLedger::Open(FAddress, QStringLiteral("orvelle-line-window-%1").arg(++Connections), why, access);
    if (!FLedger) {
        ShowStatus(why);
        return false;
    }
    FWatch = std::make_unique<TLedgerWatch>(*FLedger);
    connect(FWatch.get(), &TLedgerWatch::Changed, this, [this]() {
        if (!FSoon.isActive())
            FSoon.start();
    });
    setWindowTitle(QStringLiteral("Line - %1").arg(FLedger->Place()));
    return true;
}

void TLineWindow::Refresh()
{
    if (!OpenLedger())
        return;
    FillBatches();
    const QString batch = FBatch->currentText();
    if (batch.isEmpty()) {
        ShowStatus(QStringLiteral("No batch in the ledger yet."));
        return;
    }
    const std::optional<TLineView> view = FLedger->Stations(batch);
    if (!view) {
        ShowStatus(FLedger->Error());
        return;
    }
    ShowStatus(QString());
    ShowCharts(batch);
    if (FShown == view)
        return;
    ShowLine(*view);
    ShowProgress(*view);
    FShown = view;
}

void TLineWindow::FillBatches()
{
    const std::optional<QStringList> batches = FLedger->Batches();
    if (!batches)
        return;
    QStringList shown;
    for (int i = 0; i < FBatch->count(); ++i)
        shown << FBatch->itemText(i);
    if (shown == *batches)
        return;
    // The batch watched stays chosen; the newest is chosen at first.
    const QString chosen = FBatch->currentText();
    const QSignalBlocker quiet(FBatch);
    FBatch->clear();
    FBatch->addItems(*batches);
    FBatch->setCurrentIndex(std::max(0, int(batches->indexOf(chosen))));
}

void TLineWindow::ShowLine(const TLineView& View)
{
    FStations->setRowCount(int(View.Stations.size()));
    for (int row = 0; row < int(View.Stations.size()); ++row) {
        const QStringList cells = CellsOf(View.Stations[size_t(row)]);
        for (int column = 0; column < int(cells.size()); ++column) {
            QTableWidgetItem* item = FStations->item(row, column);
            if (!item)
                FStations->setItem(row, column, new QTableWidgetItem(cells[column]));
            else if (item->text() != cells[column])
                item->setText(cells[column]);
        }
    }
    FStations->resizeColumnsToContents();
}

void TLineWindow::ShowProgress(const TLineView& View)
{
    FProgress->setRange(0, std::max(1, View.Rows));
    FProgress->setValue(std::min(View.RowsDone, std::max(1, View.Rows)));
    QString text = QStringLiteral("%1 of %2 rows done").arg(View.RowsDone).arg(View.Rows);
    int lastHour = 0;
    for (const TLineStation& station : View.Stations)
        lastHour += station.DoneLastHour;
    const int left = View.Rows - View.RowsDone;
    if (left > 0 && lastHour > 0) {
        const qint64 seconds = qint64(std::ceil(double(left) * 3600.0 / double(lastHour)));
        text += QStringLiteral(", estimated end %1 at the last hour's rate").arg(QDateTime::currentDateTime().addSecs(seconds).toString(QStringLiteral("HH:mm")));
    } else if (left > 0) {
        text += QStringLiteral(", no rate yet");
    }
    FProgressText->setText(text);
}

void TLineWindow::ShowCharts(const QString& Batch)
{
    // A chart's bars move by a card in ten minutes; the table says each card
    // at once. Charts drawn at every card of four stations cost more than
    // the rest of the window together.
    const qint64 wait = std::max<qint64>(ChartMinMs, 10 * FChartMs);
    if (FCharted && FChartedAt.isValid() && FChartedAt.elapsed() < wait) {
        if (!FChartsLater.isActive())
            FChartsLater.start(int(wait - FChartedAt.elapsed()));
        return;
    }
    FChartedAt.start();
    TLedgerFilter filter;
    filter.Batch = Batch;
    filter.Since = QDateTime::currentDateTimeUtc().addSecs(-ChartSeconds);
    const std::optional<TLedgerSeries> series = FLedger->Series(filter);
    FChartMs = FChartedAt.elapsed();
    if (!series)
        return;
    TBarChartData rate{QStringLiteral("Cards per 10 minutes, last 2 hours"), {}, series->CardsPer10Min, QStringLiteral("cards"), true};
    for (const QString& bucket : series->Buckets)
        rate.Categories << BucketTime(bucket);
    TBarChartData causes{QStringLiteral("Failures by cause"), {}, {{QStringLiteral("failures"), {}}}, QStringLiteral("cards"), false};
    for (const auto& [cause, count] : series->FailuresByCause) {
        causes.Categories << cause;
        causes.Series.front().Values.push_back(count);
    }
    if (FCharted && SameChart(FCharted->first, rate) && SameChart(FCharted->second, causes))
        return;
    UpdateBarChart(FRateChart->chart(), rate);
    UpdateBarChart(FCausesChart->chart(), causes);
    FCharted = std::pair{rate, causes};
}

void TLineWindow::ShowStatus(const QString& Text)
{
    FStatus->setText(Text);
    FStatus->setVisible(!Text.isEmpty());
}
