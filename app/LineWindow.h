#pragma once
// TLineWindow: the production line as a shift supervisor watches it, from
// any desk: a batch chosen from the ledger, its stations (state, operator,
// last card, last hour, yield, last failure), its progress with an
// estimated end, and charts of the cards made and the failures. It reads a
// ledger of its own, opened read-only, and reads it again only when the
// ledger says it changed (TLedgerWatch) or the clock moves a state on
// (a station falling silent); what did not change is not redrawn.

#include "charts/LineCharts.h"
#include "records/Ledger.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QChartView;
class QComboBox;
class QLabel;
class QProgressBar;
class QTableWidget;
class QVBoxLayout;
class TFormDialogs;
class TLedgerWatch;
class TStationsPanel;

class TLineWindow final : public QWidget {
    Q_OBJECT
public:
    // How often the states are read again without a change: a station's
    // silence shows by the clock alone.
    static constexpr int ClockMs = 5000;
    // How long a change waits for the changes that come with it.
    static constexpr int SoonMs = 200;
    // The charts are read again at most this often (and no sooner than ten
    // times as long as the last read took).
    static constexpr int ChartMinMs = 3000;
    // How often a close waits for its stations to end.
    static constexpr int ClosingPollMs = 250;

    // Address: a ledger as --ledger gives it (empty: the default file).
    explicit TLineWindow(const QString& Address, QWidget* Parent = nullptr);
    ~TLineWindow() override;
    TLineWindow(const TLineWindow&) = delete;
    TLineWindow& operator=(const TLineWindow&) = delete;

    const QString& Address() const { return FAddress; }
    // The charts' span: the last two hours of the batch.
    static constexpr int ChartSeconds = 2 * 3600;

    // Below the line's parts: room for more of the line's controls.
    QVBoxLayout* ExtraArea() const { return FExtra; }

    // The desk's stations, run from this window on its ledger, below the
    // line. HeldPort: the port the main window holds now (empty: none).
    void AddStations(TFormDialogs& Dialogs, std::function<QString()> HeldPort);
    // A station of this window still runs or stops.
    bool StationsBusy() const;

    // Reads the ledger (opening it first when it is not open yet) and
    // shows what changed.
    void Refresh();

protected:
    // Closing while stations run asks first: yes stops each after its card
    // in hand, and the window closes once all have ended.
    void closeEvent(QCloseEvent* Event) override;

private:
    void Build();
    bool OpenLedger();
    void FillBatches();
    void ShowLine(const TLineView& View);
    void ShowProgress(const TLineView& View);
    void ShowCharts(const QString& Batch);
    void ShowStatus(const QString& Text);

    QString FAddress;
    std::unique_ptr<TLedger> FLedger;
    std::unique_ptr<TLedgerWatch> FWatch;
    std::optional<TLineView> FShown; // what the table and progress show
    QTimer FClock;
    // A burst of changes (several stations recording at once) read once.
    QTimer FSoon;
    // The charts read the batch's last two hours, which a long batch makes
    // slow.
    QElapsedTimer FChartedAt;
    QTimer FChartsLater; // a change the charts were too soon for
    qint64 FChartMs = 0;

    QComboBox* FBatch = nullptr;
    QTableWidget* FStations = nullptr;
    QProgressBar* FProgress = nullptr;
    QLabel* FProgressText = nullptr;
    QLabel* FStatus = nullptr;
    QChartView* FRateChart = nullptr;
    QChartView* FCausesChart = nullptr;
    // What the charts show: drawn again only when it differs.
    std::optional<std::pair<TBarChartData, TBarChartData>> FCharted;
    QVBoxLayout* FExtra = nullptr;
    TStationsPanel* FStationsPanel = nullptr;
    TFormDialogs* FDialogs = nullptr;
    // Closing waits for the stations asked to stop.
    QTimer FClosing;
};
