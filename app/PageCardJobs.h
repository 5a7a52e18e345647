#pragma once
// What the "Card" page knows between presses (its jobs, the key map and the
// card it was made for, the card last read, the dump last opened, the last
// comparison and results, the edits made in the card window, a dump file
// being edited there) and the steps its handlers share.

#include "app/CardEditors.h"
#include "app/MainForm.h"
#include "protocol/KeyFile.h"
#include "session/CardWork.h"

#include <QDateTime>
#include <QString>

#include <map>
#include <optional>
#include <vector>

class QPushButton;
struct TCardViewBlock;
struct TCardViewData;

struct TCardPageState {
    explicit TCardPageState(TMainForm& Owner);

    TMainForm& Form;
    // The jobs, the key map and the card it was made for.
    TCardWork Work;

    // A press of a job's button is running: its card search, key map and job.
    bool Running = false;

    // The card as last seen: read, compared, and the blocks written since.
    std::optional<TDumpImage> Card;
    QDateTime CardReadAt;        // invalid when only written blocks are known
    QDateTime CardWrittenAt;     // invalid when nothing was written since
    TSerial CardSerial{};        // the card read
    TSectorOutcomes CardSectors; // and how it was read
    // The operator's edits in the card window, block by block, over Card;
    // only those that differ from it.
    std::map<int, TBlockImage> Edits;
    // A dump file opened for editing: the card window shows it, with its
    // own edits, in place of the card until a Read or Compare shows the
    // card again. The card's edits wait meanwhile.
    struct TEditedDump {
        TDumpImage File; // as read, or as last saved
        QString Path;    // where it was read or last saved
        // Only those that differ from File: the changes not saved.
        std::map<int, TBlockImage> Edits;
        bool Saved = false; // saved since it was opened
    };
    std::optional<TEditedDump> Editing;
    std::optional<TDumpImage> Dump;
    QString DumpPath;
    // The last Compare, against Dump; dropped when another dump is opened.
    std::optional<TCompareResult> Compared;
    // A read or write since that Compare showed or made the card different.
    bool CardChanged = false;
    QString LastJob; // its name and time, for the card window
    TSectorOutcomes Outcomes;
    QString JobName; // the job running, for its progress
    // The trailers the operator ticked for the write running.
    std::vector<TTrailerChange> Approved;

    // Dialogs, through the window's test hooks when set.
    QString OpenFileName(const QString& Caption, const QString& Filter);
    // One dialog for every trailer change, each with a box to tick; the
    // changes ticked, none when the dialog was cancelled.
    std::optional<std::vector<TTrailerChange>> AskTrailers(const std::vector<TTrailerChange>& Changes);
    // A dump chosen in the open-file dialog and read whole; none when the
    // dialog was cancelled or the file is bad (a box says where).
    std::optional<TDumpImage> ChooseDump(const QString& Caption, QString& Path);

    // The keys to try: those the dump states in full, the key file's, then
    // the built-in list when ticked. None when the key file is bad or there
    // is no key at all (a box says why); nothing has been sent then.
    std::optional<TKeyList> Candidates(const TDumpImage* StatedBy);

    void UpdateControls();

    // One press of a job's button: the page locked but for Cancel while
    // Sequence runs, the card window brought up to date after.
    template <class TPress>
    void Press(TPress&& Sequence);
    // The progress bar, empty, for the job about to run.
    void ShowProgressOf(const QString& Name);
    // A job ended: its line in the log, its results for the card window.
    void Ended(const TCardJobRecord& Record);
    // What a read or a compare showed of the card.
    void TookCard(const TDumpImage& Image, const TJobResult& Result);
    // What a write of Written did to the card.
    void Wrote(const TDumpImage& Written, const TWriteResult& Result);

    // The card, or the dump being edited, with the edits over it: what the
    // card window shows, "Save dump..." saves, and "Write card..." writes
    // while there are edits or a dump is being edited.
    TDumpImage Image() const;
    bool HasImage() const { return Card.has_value() || !Edits.empty() || Editing.has_value(); }
    // An edit (or its undoing) in the card window.
    void Edited(int Block, const QString& Digits);
    // Edits the card now holds are edits no longer.
    void DropEditsOnCard();
    // Path into the card window for editing, in place of what it showed.
    void EditDump(TDumpImage File, const QString& Path);
    // The dump being edited, whose unsaved changes a press would discard
    // once it shows something else: true when there are none or the
    // operator lets them go (Caption: the press that asks).
    bool MayDiscardDump(const QString& Caption);
    // The card window shows the card again; the dump's edits are gone.
    void StopEditingDump();
    // Image was saved to Path: the dump being edited is that file now.
    void SavedDump(const TDumpImage& Saved, const QString& Path);

    // The card window and its editors (the tools are made with it).
    void MakeWindow();
    void UpdateWindowTools();
    void EditAccess();
    void EditValue();
    QPushButton* EditAccessButton = nullptr;
    QPushButton* EditValueButton = nullptr;
    QPushButton* WindowSaveButton = nullptr;

    // A block's row: what it is, its parts, and the dump's digits where
    // Against says it differs.
    static TCardViewBlock Row(const TDumpImage& Image, int Block, const TCompareResult* Against, const TDumpImage* Dump);
    TCardViewData ViewData() const;
    void Refresh();
};
