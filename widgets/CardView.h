#pragma once
// The view of a whole card: its blocks one a row (sector, block, a mark where
// the block differs from a dump, the bytes in pairs with '-' for unknown
// digits, the bytes as characters, what the block means), each sector's keys
// and last result, a summary line above and the last comparison's result. It is fed plain texts and knows nothing of cards;
// whoever feeds it decides what a block is, which of its bytes belong
// together and which differ from the dump.
//
// A block is edited in place (32 hex digits, '-' for an unknown one); its
// meaning follows the typing through the describer the feeder gives. Every
// edit, typed or handed in (EditBlock), goes on the view's undo stack and
// is reported as BlockEdited.
//
// Colours come from the palette: the parts of a block (keys, access bits)
// are Base tinted towards a hue, the text keeps the palette's Text, so a
// dark theme reads as a light one. A differing byte is bold and underlined
// on a red tint, beside a mark in its own column: never the selection's
// colour, and readable without colour.
//
// Its parts: the rows and the comparison's rules (CardCompare.h), the
// colours and the digits' face (CardLook.h), the painter and editor of a
// block's bytes (CardBytesDelegate.h); this class holds the tables, the undo
// stack and the layout.

#include "widgets/CardCompare.h"

#include <QColor>
#include <QFont>
#include <QString>
#include <QWidget>

#include <functional>
#include <vector>

class QHBoxLayout;
class QLabel;
class QPushButton;
class QSplitter;
class QTableWidget;
class QUndoStack;
class QVBoxLayout;
class TCardBytesDelegate;

// Child objectNames: CardSummary, CardViewResult and CardLegend (labels),
// CardBlocks and CardKeys (tables), CardSplitter, CardUndo, CardRedo,
// CardViewPrevDiff and CardViewNextDiff (buttons), CardBlockEditor (the line
// edit of a block being edited).
class TCardView : public QWidget {
    Q_OBJECT
public:
    // The blocks table's columns.
    enum TColumn { SectorColumn,
        BlockColumn,
        MarkColumn,
        DataColumn,
        AsciiColumn,
        MeaningColumn };

    // What a block with these digits is (Kind, Detail, Roles); the rest of
    // the row is ignored.
    using TDescriber = std::function<TCardViewBlock(int Block, const QString& Digits)>;

    explicit TCardView(QWidget* Parent = nullptr);
    ~TCardView() override;

    // Replaces everything shown; the undo stack stays.
    void SetData(const TCardViewData& Data);
    void SetDescriber(TDescriber Describer);
    // Puts Digits into Block as an edit that can be undone; false (and
    // nothing done) when they are not 32 hex digits or '-', or no row shows
    // Block. Spaces are ignored, lower case is taken.
    bool EditBlock(int Block, const QString& Digits);
    // The digits shown for Block; empty when no row shows it.
    QString Digits(int Block) const;
    // The block of the current row, -1 for none.
    int CurrentBlock() const;
    // A control of the feeder's in the row of tools above the tables.
    void AddTool(QWidget* Tool);
    // The current row moved to the next (Step 1) or previous (-1) block that
    // differs from the dump, round past either end; false when none does.
    bool GoToDifference(int Step);
    // Asked before the window closes; false keeps it open.
    void SetCloseGuard(std::function<bool()> MayClose);
    QUndoStack* UndoStack() const { return FUndo; }

    // The background of a differing byte and its mark under the current palette.
    QColor DifferenceColour() const;
    // The tint of a part of a block; Base for parts that are not tinted.
    QColor PartColour(TByteRole Role) const;
    // 32 digits as 16 pairs, "A0 A1 ...", and back; the latter empty when
    // Text is not 32 hex digits or '-' (spaces aside).
    static QString Pairs(const QString& Digits);
    static QString PlainDigits(const QString& Text);

    // Wide enough for every column of both tables.
    QSize sizeHint() const override;

signals:
    void BlockEdited(int Block, const QString& Digits);
    void CurrentBlockChanged(int Block);

protected:
    void changeEvent(QEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;

private:
    class TEdit;

    // The parts of the view, top to bottom, as the constructor builds them.
    void BuildLabels(QVBoxLayout* Layout);
    void BuildUndoTools(QVBoxLayout* Layout);
    // Next and previous difference, with their keys.
    void BuildDiffTools();
    // Enabled while some row differs from the dump.
    void UpdateDiffTools();
    void BuildTables(QVBoxLayout* Layout);
    // The blocks' painter and editor, and what the tables tell.
    void ConnectTables();

    QFont DigitsFont() const;
    static int ContentWidth(const QTableWidget* Table);
    // The blocks table narrowed to its meaning column's least width.
    int NarrowBlocksWidth() const;
    int RowOf(int Block) const;
    // The row's cells from FRows.
    void ShowRow(int Row);
    // Digits into the row (from the undo stack), described anew, reported.
    void Apply(int Block, const QString& Digits);
    // An editor closed on Row: its digits as an edit, or empty (not 32
    // digits) for the row as it was.
    void Taken(int Row, const QString& Digits);
    // While an editor is open: the meaning of what has been typed so far.
    void Typed(int Row, const QString& Text);
    // Colours and faces again; after new data, palette or font.
    void Restyle();
    // The tables side by side where both fit, else the keys below the blocks.
    void Reflow();

    QLabel* FSummary = nullptr;
    QLabel* FResult = nullptr;
    QLabel* FLegend = nullptr;
    QHBoxLayout* FTools = nullptr;
    QPushButton* FUndoButton = nullptr;
    QPushButton* FRedoButton = nullptr;
    QPushButton* FPrevDiff = nullptr;
    QPushButton* FNextDiff = nullptr;
    QSplitter* FSplit = nullptr;
    QTableWidget* FBlocks = nullptr;
    QTableWidget* FKeys = nullptr;
    QUndoStack* FUndo = nullptr;
    TCardBytesDelegate* FDelegate = nullptr;
    TDescriber FDescriber;
    std::function<bool()> FCloseGuard;
    std::vector<TCardViewBlock> FRows;
    bool FFitted = false;
};
