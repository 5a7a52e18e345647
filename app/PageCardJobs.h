#pragma once
// What the "Card" page knows between presses (its jobs, the key map and the
// card it was made for, the card last read, the dump last opened, the last
// comparison and results) and the steps its handlers share.

#include "app/MainForm.h"
#include "protocol/KeyFile.h"
#include "session/CardWork.h"

#include <QDateTime>
#include <QString>

#include <optional>
#include <vector>

struct TCardViewData;

struct TCardPageState {
    explicit TCardPageState(TMainForm& Owner);

    TMainForm& Form;
    // The jobs, the key map and the card it was made for.
    TCardWork Work;

    // A press of a job's button is running: its card search, key map and job.
    bool Running = false;

    std::optional<TDumpImage> Card;
    QDateTime CardReadAt;
    TSerial CardSerial{};        // the card read
    TSectorOutcomes CardSectors; // and how it was read
    std::optional<TDumpImage> Dump;
    QString DumpPath;
    // The last Compare, against Dump; dropped when another dump is opened
    // or the card is read again.
    std::optional<TCompareResult> Compared;
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

    TCardViewData ViewData() const;
    void Refresh();
};
