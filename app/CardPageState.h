#pragma once
// What the "Card" page knows between presses: the card as last seen (read,
// compared, and the blocks written since), the operator's edits in the card
// window, a dump file being edited there, the dump last opened and the last
// comparison with it, and what the last job did to each sector. Plain data
// and the rules that change it; the page (CardPage.h) shows it.

#include "app/CardEditors.h"
#include "session/CardWork.h"

#include <QDateTime>
#include <QString>

#include <map>
#include <optional>

struct TCardPageState {
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

    // The card, or the dump being edited, with the edits over it: what the
    // card window shows, "Save dump..." saves, and "Write card..." writes
    // while there are edits or a dump is being edited.
    TDumpImage Image() const;
    bool HasImage() const { return Card.has_value() || !Edits.empty() || Editing.has_value(); }
    // The dump being edited has changes not saved.
    bool DumpUnsaved() const { return Editing && !Editing->Edits.empty(); }

    // Dump is the one differences are shown against from now on.
    void OpenedDump(const TDumpImage& File, const QString& Path);
    // A job ended: the sectors' results for the card window.
    void Ended(const TCardJobRecord& Record);
    // What a read or a compare showed of the card.
    void TookCard(const TDumpImage& Image, const TJobResult& Result);
    // What a write of Written did to the card.
    void Wrote(const TDumpImage& Written, const TWriteResult& Result);
    // An edit (or its undoing) in the card window; false when Digits are no
    // block's.
    bool Edited(int Block, const QString& Digits);
    // Edits the card now holds are edits no longer.
    void DropEditsOnCard();
    // Saved was saved to Path: the dump being edited is that file now.
    void SavedDump(const TDumpImage& Saved, const QString& Path);
};
