// The page "Card": whole-card work. The key file and the built-in keys, the
// jobs, the dumps, the progress of a job and the card window. Its handlers
// are in PageCardJobs.cpp.
#include "app/FormParts.h"
#include "app/MainForm.h"
#include "app/Pages.h"

#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

using namespace FormParts;

void BuildCardPage(TMainForm* F)
{
    QFrame* bevel = NewBevel(F->TabSheet9, "Bevel9");
    auto* layout = new QVBoxLayout(bevel);
    layout->setContentsMargins(8, 8, 8, 6);
    layout->setSpacing(6);

    // The first step for someone new to the page.
    F->CardHint = new QLabel(
        QStringLiteral("Place a card on the reader and press Read card: it finds the keys by itself."), bevel);
    F->CardHint->setObjectName(QStringLiteral("CardHint"));
    F->CardHint->setWordWrap(true);
    layout->addWidget(F->CardHint);

    auto* keys = new QHBoxLayout;
    keys->setSpacing(4);
    F->CardKeyFile = NewEdit("CardKeyFile", 0, bevel);
    F->CardKeyFile->setPlaceholderText(QStringLiteral("one key of 12 hex digits a line"));
    F->CardBrowseKeys = NewButton("CardBrowseKeys", QStringLiteral("..."), bevel);
    F->CardBrowseKeys->setFixedWidth(28);
    F->CardBuiltInKeys = new QCheckBox(QStringLiteral("built-in keys"), bevel);
    F->CardBuiltInKeys->setObjectName(QStringLiteral("CardBuiltInKeys"));
    F->CardBuiltInKeys->setChecked(true);
    keys->addWidget(NewLabel(QStringLiteral("Key file："), bevel));
    keys->addWidget(F->CardKeyFile, 1);
    keys->addWidget(F->CardBrowseKeys);
    keys->addSpacing(8);
    keys->addWidget(F->CardBuiltInKeys);
    layout->addLayout(keys);

    // Card jobs on the first row, then the dumps, Cancel, the card window.
    auto* buttons = new QGridLayout;
    buttons->setHorizontalSpacing(6);
    buttons->setVerticalSpacing(6);
    F->CardMapKeys = NewButton("CardMapKeys", QStringLiteral("Map keys"), bevel);
    F->CardRead = NewButton("CardRead", QStringLiteral("Read card"), bevel);
    F->CardWrite = NewButton("CardWrite", QStringLiteral("Write card..."), bevel);
    F->CardCompare = NewButton("CardCompare", QStringLiteral("Compare..."), bevel);
    F->CardOpenDump = NewButton("CardOpenDump", QStringLiteral("Open dump..."), bevel);
    F->CardEditDump = NewButton("CardEditDump", QStringLiteral("Edit dump..."), bevel);
    F->CardSaveDump = NewButton("CardSaveDump", QStringLiteral("Save dump..."), bevel, false);
    F->CardCancel = NewButton("CardCancel", QStringLiteral("Cancel"), bevel, false);
    F->CardShow = NewButton("CardShow", QStringLiteral("Show card"), bevel);
    // A production line, in a window of its own.
    F->CardBatch = NewButton("CardBatch", QStringLiteral("Batch..."), bevel);
    const std::array<QPushButton*, 10> grid{F->CardMapKeys, F->CardRead, F->CardWrite, F->CardCompare,
        F->CardOpenDump, F->CardEditDump, F->CardSaveDump, F->CardCancel, F->CardShow, F->CardBatch};
    for (size_t i = 0; i < grid.size(); ++i)
        buttons->addWidget(grid[i], int(i / 4), int(i % 4));
    layout->addLayout(buttons);

    F->CardProgress = new QProgressBar(bevel);
    F->CardProgress->setObjectName(QStringLiteral("CardProgress"));
    F->CardProgress->setRange(0, 16);
    // "Read card: sector 5 of 16" while a job runs.
    F->CardProgress->setFixedHeight(RowHeight);
    F->CardProgress->reset();
    layout->addWidget(F->CardProgress);
    F->CardDump = new QLabel(QStringLiteral("No dump opened."), bevel);
    F->CardDump->setObjectName(QStringLiteral("CardDump"));
    // A long name is cut at the page's edge rather than widen the fixed window.
    F->CardDump->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    F->CardDump->setFixedHeight(RowHeight);
    layout->addWidget(F->CardDump);
    layout->addStretch(1);

    OnClick(F, F->CardBrowseKeys, &TMainForm::CardBrowseKeysClick);
    OnClick(F, F->CardMapKeys, &TMainForm::CardMapKeysClick);
    OnClick(F, F->CardRead, &TMainForm::CardReadClick);
    OnClick(F, F->CardWrite, &TMainForm::CardWriteClick);
    OnClick(F, F->CardCompare, &TMainForm::CardCompareClick);
    OnClick(F, F->CardOpenDump, &TMainForm::CardOpenDumpClick);
    OnClick(F, F->CardEditDump, &TMainForm::CardEditDumpClick);
    OnClick(F, F->CardSaveDump, &TMainForm::CardSaveDumpClick);
    OnClick(F, F->CardCancel, &TMainForm::CardCancelClick);
    OnClick(F, F->CardShow, &TMainForm::CardShowClick);
    OnClick(F, F->CardBatch, &TMainForm::CardBatchClick);
}
