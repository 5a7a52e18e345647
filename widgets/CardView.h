#pragma once
// The view of a whole card: its blocks one a row (sector, block, the hex
// digits with '-' for the unknown ones, what the block is), each sector's
// keys and last result, and a summary line above. It is fed plain texts and
// knows nothing of cards; whoever feeds it decides what a block is and which
// blocks differ. A differing row is tinted from the palette (Highlight
// blended into Base) and set in bold, so it reads on a dark theme as on a
// light one, and without colour too.

#include <QColor>
#include <QFont>
#include <QString>
#include <QWidget>

#include <vector>

class QLabel;
class QSplitter;
class QTableWidget;

struct TCardViewBlock {
    int Sector = 0;
    int Block = 0;
    QString Digits;
    QString Kind;
    QString Detail; // the row's tooltip; may be empty
    bool Differs = false;
};

struct TCardViewSector {
    int Sector = 0;
    QString KeyA;
    QString KeyB;
    QString Result;
};

struct TCardViewData {
    QString Summary;
    std::vector<TCardViewBlock> Blocks;
    std::vector<TCardViewSector> Sectors;
};

// Child objectNames: CardSummary (label), CardBlocks and CardKeys (tables).
class TCardView : public QWidget {
    Q_OBJECT
public:
    explicit TCardView(QWidget* Parent = nullptr);

    // Replaces everything shown.
    void SetData(const TCardViewData& Data);
    // The background of a differing row under the current palette.
    QColor DifferenceColour() const;
    // Wide enough for every column of both tables.
    QSize sizeHint() const override;

protected:
    void changeEvent(QEvent* Event) override;

private:
    QFont DigitsFont() const;
    static int ContentWidth(const QTableWidget* Table);
    // Colours and faces of the rows again; after new data, palette or font.
    void Restyle();

    QLabel* FSummary = nullptr;
    QSplitter* FSplit = nullptr;
    QTableWidget* FBlocks = nullptr;
    QTableWidget* FKeys = nullptr;
    std::vector<bool> FDiffers;
    bool FFitted = false;
};
