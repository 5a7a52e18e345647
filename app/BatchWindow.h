#pragma once
// The batch window of the "Card" page ("Batch..."): a production line on the
// window's reader. Template, data file and ledger; the station, operator,
// batch name and count; the trailers, labels-only and again boxes, Start and Stop (what each card gets goes to the log at
// Start); a large status an operator reads from a step away, told by text
// and colour together, with who works the station under it; the counters and
// the last ten cards. Resizable and
// not modal: the log and the other pages stay in view. A batch holds the
// session's guard, so no loop test or card job runs beside it.

#include "protocol/BatchData.h"
#include "protocol/DumpFile.h"
#include "session/BatchJob.h"
#include "session/CardWork.h"

#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;
class QTimer;
class QVBoxLayout;
class TLedger;
class TLinkSession;
class TFormDialogs;

// What the window needs of its owner.
struct TBatchHost {
    TLinkSession& Session;
    std::function<TFormDialogs&()> Dialogs;
    // The keys to try besides the template's: the Card page's key file and
    // built-in keys.
    std::function<TKeySources()> KeySources;
    // A line for the message log and the journal.
    std::function<void(const QString&)> Log;
    // The trailers to write, ticked in the card write's dialog; none when
    // it was cancelled.
    std::function<std::optional<std::vector<TTrailerChange>>(const std::vector<TTrailerChange>&)> AskTrailers;
};

class TBatchWindow final : public QWidget, private TBatchEvents {
    Q_OBJECT
public:
    explicit TBatchWindow(TBatchHost Host, QWidget* Parent = nullptr);
    ~TBatchWindow() override;

    // The status as shown, for a test: "Place a card", "Writing 4012A3F1…",
    // "Done: take the card away", "FAILED: <cause> — <action>" (the detail
    // below it, Detail()), "Batch complete: 2 done, 0 failed".
    QString Status() const;
    QString Detail() const;
    bool Running() const { return FRunning; }
    // The ledger field as typed (empty: the default ledger).
    QString LedgerAddress() const;

    void StartClick();
    void StopClick();

private:
    enum class TTone { Idle,
        Busy,
        Good,
        Notice, // not a failure, but not done here either
        Bad };
    void SetStatus(const QString& Text, TTone Tone, const QString& Detail = {});
    // After a batch completed: a card placed is not written, and is told so.
    void WatchAfterEnd();
    void closeEvent(QCloseEvent* Event) override;
    void UpdateControls();
    void ShowCounters(const TBatchCounters& Counters);
    // The window's parts, top to bottom.
    void BuildFiles(QVBoxLayout* Layout);
    void BuildLine(QVBoxLayout* Layout);
    void BuildButtons(QVBoxLayout* Layout);
    void BuildStatus(QVBoxLayout* Layout);
    void BuildCounters(QVBoxLayout* Layout);
    // Reads the files and starts the batch in the ledger; false with a box
    // (or when the trailers' question was cancelled).
    bool Prepare();
    // The steps of it: the template and the data file read, the batch
    // started in the ledger, and the image every card gets, its trailers as
    // the operator ticked them.
    bool ReadFiles(const QString& TemplatePath, const QString& DataPath);
    bool StartInLedger(const TBatchStart& Start);
    std::optional<TDumpImage> CardImage();
    void Refuse(const QString& Text);

    void CardInField(const TSerial& Serial) override;
    void PlaceCard() override;
    void ReaderGone() override;
    void ReaderBack() override;
    void Writing(const TSerial& Serial, int Row) override;
    void CardEnded(const TBatchCard& Card, const TBatchCounters& Counters) override;
    void AddLine(const QString& Line);

    TBatchHost FHost;
    QLineEdit* FTemplate = nullptr;
    QLineEdit* FData = nullptr;
    QLineEdit* FLedgerEdit = nullptr;
    QCheckBox* FTrailers = nullptr;
    QCheckBox* FLabelsOnly = nullptr;
    // Who and what the batch is: empty station and name take the defaults.
    QLineEdit* FStation = nullptr;
    QLineEdit* FOperator = nullptr;
    QLineEdit* FName = nullptr;
    QSpinBox* FCount = nullptr; // 0: no limit
    QCheckBox* FAgain = nullptr;
    QLabel* FWho = nullptr; // station, operator and batch of the batch running
    QPushButton* FStart = nullptr;
    QPushButton* FStop = nullptr;
    QLabel* FStatus = nullptr;
    QLabel* FDetail = nullptr;
    QTimer* FAfterEnd = nullptr;
    std::optional<TSerial> FAfterEndCard; // the card in the field, told of once
    QLabel* FCounters = nullptr;
    QListWidget* FLast = nullptr;

    bool FRunning = false;
    // Starting the batch in the ledger: Start does nothing meanwhile. While
    // the start waits for another station, Stop gives it up.
    bool FStarting = false;
    bool FStartWaiting = false;
    bool FStartStopped = false;
    bool FStartGivenUp = false; // the wait ended by Stop or a close
    std::unique_ptr<TLedger> FLedger;
    std::unique_ptr<TBatchJob> FJob;
    std::optional<TBatchData> FRows;
    TDumpImage FTemplateImage;
    TBatchSettings FSettings;
    // What each card gets, said in the log at Start.
    std::vector<std::string> FPlan;
    qint64 FStartedMs = 0;
    bool FLastFailed = false;
};
