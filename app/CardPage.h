#pragma once
// The "Card" page of the main window (its tab, objectName TabSheet9): whole-
// card work on the window's reader. The key file and the built-in keys, the
// jobs (map keys, read, write, compare) over the session's card work, the
// dump files, a job's progress, the card window that shows the card read,
// its keys and where it differs from the dump last opened, and where the
// card's blocks, or a dump file's, are edited into a dump to save or write;
// and the batch window.
//
// Every control carries its member name as objectName (tests find them
// through the main window); so do the card window (CardWindow) and the batch
// window (BatchWindow), which are windows of the main window's own.
//
// What the page knows between presses is CardPageState.h; what the card
// window shows of it, CardWindowData.h; the trailers' question,
// TrailersDialog.h.

#include "session/CardWork.h"
#include "session/SessionEvents.h"

#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QVBoxLayout;
class TBatchWindow;
class TLineWindow;
class TPortsWindow;
class TCardView;
class TFormDialogs;
class TLinkSession;
struct TCardPageState;

// What the page needs of the window that holds it.
struct TCardPageHost {
    TLinkSession& Session;
    std::function<TFormDialogs&()> Dialogs;
    // A line for the message log only: a job's own line, which the journal
    // has from the session.
    std::function<void(const QString&)> Log;
    // A line for the journal only (what a box said).
    std::function<void(const QString&)> Journal;
    // A file the operator asked for could not be saved: a box, or while a
    // loop test runs none.
    std::function<void(const QString& Text, const QString& Caption)> SaveFailed;
};

class TCardPage final : public QWidget, private TCardWorkEvents, private TSessionEvents {
    Q_OBJECT
public:
    explicit TCardPage(TCardPageHost Host, QWidget* Parent = nullptr);
    ~TCardPage() override;

    // The main window may close: no dump being edited has unsaved changes
    // and the card no edits, or the operator lets them go (Caption: the
    // window's, which asks). The card window shows the card then.
    bool MayClose(const QString& Caption);

    // What "Read card" does, for a test that must start one where no click
    // can (inside another chain, or while disabled).
    void CardReadClick();

private:
    // ------------------------------------------------------------ the controls
    void BuildKeyRow(QVBoxLayout* Layout, QWidget* Bevel);
    void BuildButtons(QVBoxLayout* Layout, QWidget* Bevel);
    void BuildProgress(QVBoxLayout* Layout, QWidget* Bevel);
    void Wire();

    // ------------------------------------------------------------ the handlers
    // Each job reads the key file first (a bad line: a box naming file and
    // line, nothing sent), then looks for the card; Read, Write and Compare
    // map its keys first when the page has no map for that card.
    void CardBrowseKeysClick();
    void CardMapKeysClick();
    void CardWriteClick();
    void CardCompareClick();
    void CardOpenDumpClick();
    // A dump file into the card window, to be edited, saved and written.
    void CardEditDumpClick();
    void CardSaveDumpClick();
    void CardCancelClick();
    void CardShowClick();
    void CardBatchClick();
    // The line window, on the batch window's ledger.
    void CardLineClick();
    // The ports window: the serial devices, a probe, a COM link
    // (CardPagePorts.cpp).
    void CardPortsClick();
    // Closing with stations of the line window running: the operator agrees
    // to stop them (CardPageLine.cpp).
    bool MayStopStations(const QString& Caption);

    // What a card job reports and asks.
    void JobStarted(TCardJob Job) override;
    void Progress(int Sector) override;
    bool ApproveTrailers(const std::vector<TTrailerChange>& Changes) override;
    bool ConfirmTrailer(const TTrailerChange& Change) override;
    // What the session tells everyone: a job's end, the guard taken or left.
    void CardJobEnded(const TCardJobRecord& Record) override;
    void OperationStateChanged(bool Running) override;

    // ------------------------------------------------- the steps they share
    void UpdateControls();
    // One press of a job's button: the page locked but for Cancel while
    // Sequence runs, the card window brought up to date after.
    template <class TPress>
    void Press(TPress&& Sequence);
    // The key sources the page names: its key file and the built-in keys.
    TKeySources KeySources() const;
    // The keys to try: those the dump states in full, the key file's, then
    // the built-in list when ticked. None when the key file is bad or there
    // is no key at all (a box says why); nothing has been sent then.
    std::optional<TKeyList> Candidates(const TDumpImage* StatedBy);
    // A dump chosen in the open-file dialog and read whole; none when the
    // dialog was cancelled or the file is bad (a box says where).
    std::optional<TDumpImage> ChooseDump(const QString& Caption, QString& Path);
    // An information box over the main window.
    void ShowBox(const QString& Text);
    // A line of the page's own (a file opened or saved): the log and the
    // journal.
    void LogOwn(const QString& Line);
    // What a read or a compare showed of the card: the card window shows it
    // in place of a dump being edited.
    void TookCard(const TDumpImage& Image, const TJobResult& Result);

    // ------------------------------------- the dump edited in the card window
    // These and the card window's own are CardPageWindow.cpp.
    // Path into the card window for editing, in place of what it showed.
    void EditDump(TDumpImage File, const QString& Path);
    // The dump being edited, whose unsaved changes a press would discard
    // once it shows something else: true when there are none or the
    // operator lets them go (Caption: the press that asks).
    bool MayDiscardDump(const QString& Caption);
    // The card window shows the card again; the dump's edits are gone.
    void StopEditingDump();
    // The card's edits (not the dump's) may go: there are none, or the
    // operator lets them go (Caption: the window that asks).
    bool MayDiscardCardEdits(const QString& Caption);
    // The card window may close: the edits it shows, of the card or of a
    // dump being edited, are saved, or the operator lets them go (gone then).
    bool MayCloseWindow();

    // ------------------------------------------------------- the card window
    // Made by the first "Show card", with its editors' tools.
    void MakeWindow();
    void UpdateWindowTools();
    void Edited(int Block, const QString& Digits);
    void EditAccess();
    void EditValue();
    // The page's dump label and the card window, from what the page knows.
    void Refresh();

    TCardPageHost FHost;
    // The jobs, the key map and the card it was made for.
    TCardWork FWork;
    std::unique_ptr<TCardPageState> FState;
    // A press of a job's button is running: its card search, key map and job.
    bool FRunning = false;
    QString FJobName; // the job running, for its progress
    // The trailers the operator ticked for the write running.
    std::vector<TTrailerChange> FApproved;

    QLabel* CardHint = nullptr; // what to do first
    QLineEdit* CardKeyFile = nullptr;
    QPushButton* CardBrowseKeys = nullptr;
    QCheckBox* CardBuiltInKeys = nullptr;
    QPushButton* CardMapKeys = nullptr;
    QPushButton* CardRead = nullptr;
    QPushButton* CardWrite = nullptr;
    QPushButton* CardCompare = nullptr;
    QPushButton* CardOpenDump = nullptr;
    QPushButton* CardEditDump = nullptr;
    QPushButton* CardSaveDump = nullptr;
    QPushButton* CardCancel = nullptr;
    QPushButton* CardShow = nullptr;
    QPushButton* CardBatch = nullptr;
    QPushButton* CardLine = nullptr;
    QPushButton* CardPorts = nullptr;
    QProgressBar* CardProgress = nullptr;
    QLabel* CardResult = nullptr; // the last job's result, there until the next
    QLabel* CardDump = nullptr;   // the dump last opened
    // The card window, made by the first "Show card", and its tools.
    TCardView* CardWindow = nullptr;
    QPushButton* EditAccessButton = nullptr;
    QPushButton* EditValueButton = nullptr;
    QPushButton* WindowSaveButton = nullptr;
    QPushButton* WindowWriteButton = nullptr;
    // The batch window, made by the first "Batch...".
    TBatchWindow* BatchWindow = nullptr;
    // The line window, made by the first "Line..." (CardPageLine.cpp); it
    // needs no session, and goes with the main window.
    TLineWindow* LineWindow = nullptr;
    // The ports window, made by the first "Ports..."; it goes with the main
    // window.
    TPortsWindow* PortsWindow = nullptr;
};
