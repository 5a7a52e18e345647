#pragma once
// The card window's editors of one block, each a dialog the window opens
// through TFormDialogs: the access conditions of a sector's trailer, chosen
// row by row from the data sheet's tables, and a value block from its value
// and address. Each gives the block's new bytes; the window puts them in as
// an edit that can be undone.

#include "protocol/AccessConditions.h"
#include "protocol/CardLayout.h"
#include "protocol/DumpFile.h"

#include <QDialog>
#include <QString>

#include <array>
#include <optional>

class QComboBox;
class QLabel;
class QSpinBox;

// One block of a dump: its bytes and, per byte, the bits of its known digits.
struct TBlockImage {
    TBlockData Data{};
    TBlockData Known{};
    bool operator==(const TBlockImage&) const = default;
};

TBlockImage BlockAt(const TDumpImage& Image, int Block);
void SetBlockAt(TDumpImage& Image, int Block, const TBlockImage& Bytes);
// 32 upper-case hex digits, '-' for an unknown one (the text dump's
// spelling), and back: none unless 32 hex digits or '-'.
QString DigitsOf(const TBlockImage& Block);
std::optional<TBlockImage> BlockOfDigits(const QString& Digits);

// Child objectNames: AccessBlock0, AccessBlock1, AccessBlock2 and
// AccessTrailer (the rows of the data sheet's tables, in its order),
// AccessBytes (bytes 6 to 8 they give), AccessNote, AccessOk, AccessCancel.
class TAccessEditor : public QDialog {
    Q_OBJECT
public:
    // Starts from the trailer's conditions, or the transport configuration
    // where its access bits are unknown or inconsistent (the note says so).
    TAccessEditor(int Sector, const TBlockImage& Trailer, QWidget* Parent = nullptr);

    TConditionSet Conditions() const;
    // Bytes 6 to 8 from the conditions with their inverted copies: never
    // inconsistent.
    std::array<uint8_t, 3> Bytes() const;
    // The trailer with those bytes; the keys and byte 9 as they were.
    TBlockImage Trailer() const;

private:
    void Update();

    int FSector = 0;
    TBlockImage FTrailer;
    std::array<QComboBox*, BlocksPerSector> FRows{};
    QLabel* FBytes = nullptr;
    QLabel* FNote = nullptr;
    QLabel* FPermanent = nullptr; // red: what the choice makes impossible for ever
    QString FStart;               // what the note says of the starting conditions
};

// Child objectNames: ValueAmount and ValueAddress (spin boxes), ValueBytes
// (the 16 bytes they give), ValueOk, ValueCancel.
class TValueEditor : public QDialog {
    Q_OBJECT
public:
    // Starts from the block's value and address when it is a value block,
    // else 0 at the block's own number.
    TValueEditor(int Block, const TBlockImage& Current, QWidget* Parent = nullptr);

    // Value, its complement, value, then address, ~address, address, ~address.
    TBlockImage Block() const;

private:
    void Update();

    QSpinBox* FValue = nullptr;
    QSpinBox* FAddress = nullptr;
    QLabel* FBytes = nullptr;
};
