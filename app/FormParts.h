#pragma once
// The pieces the window's pages are built from: sizes, the small control
// factories, the sector selectors (and their tags) and the block rows, and
// the wiring of a button or a selector to its handler. Used by the page
// builders, the "Card" page and the window; it knows none of them.

#include <QObject>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>

#include <array>
#include <initializer_list>

class QComboBox;
class QFrame;
class QGridLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QVBoxLayout;
class QWidget;

namespace FormParts {

constexpr int RowHeight = 20; // edits, lists and buttons on the pages

// The entries of the three key selectors, in key-source order.
extern const QStringList KeySourceItems;

QLabel* NewLabel(const QString& Caption, QWidget* Parent);
QPushButton* NewButton(const char* Name, const QString& Caption, QWidget* Parent, bool Enabled = true);
QLineEdit* NewEdit(const char* Name, int MaxLength, QWidget* Parent);
QComboBox* NewList(const char* Name, const QStringList& Items, int Index, QWidget* Parent);
// Every page is framed by a bevel that fills it; the page's controls sit on it.
QFrame* NewBevel(QWidget* Page, const char* Name);
// Sixteen radio buttons "S0".."S15" in four rows of four, one exclusive
// group per page, tagged with their sector numbers, tabbing in sector order.
QWidget* NewSectorGrid(QWidget* Parent, const std::array<const char*, 16>& Names,
    std::array<QRadioButton*, 16>& Radios);
QGroupBox* NewSectorBox(const char* Name, QWidget* Parent);

// The top of the "Sector", "Block" and "ChangePS" pages: the radio grid at the
// left and the key source (label, list, then the typed key below) at the right.
// Returns the right-hand column so a page can add rows under the key edit.
QGridLayout* NewSelectorTop(QVBoxLayout* PageLayout, QWidget* Grid, const QString& KeyCaption,
    QComboBox* KeyList, QLineEdit* KeyEdit, QWidget* Bevel);
// The column of the "Sector" and "Block" pages: selector top, then the rows.
QVBoxLayout* NewBlockPageColumn(QFrame* Bevel);
// The grid of a sector's group box, one row a block.
QGridLayout* NewBlockRows(QGroupBox* Box);
// One row of a sector's group box: "Blk<n>", the block's data edit, then its buttons.
void AddBlockRow(QGridLayout* Rows, int Row, QLineEdit* Data, std::initializer_list<QPushButton*> Buttons,
    QWidget* Box);

// The sector a selector chose is its group box's tag, as each radio button's
// is its sector.
int Tag(const QObject* Control);
void SetTag(QObject* Control, int Value);

// A click of Button runs Handler.
template <class TForm>
void OnClick(TForm* Form, QPushButton* Button, void (TForm::*Handler)())
{
    QObject::connect(Button, &QPushButton::clicked, Form, [Form, Handler] { (Form->*Handler)(); });
}
// A selector's handler runs only when a button becomes the checked one.
template <class TForm>
void OnSectorChosen(TForm* Form, const std::array<QRadioButton*, 16>& Radios, void (TForm::*Handler)(QObject*))
{
    for (QRadioButton* radio : Radios)
        QObject::connect(radio, &QRadioButton::toggled, Form, [Form, radio, Handler](bool Checked) {
            if (Checked)
                (Form->*Handler)(radio);
        });
}

} // namespace FormParts
