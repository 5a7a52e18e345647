// The card window of the "Card" page: made by the first "Show card", shown
// from what the page knows, and where the card's blocks, or a dump file's,
// are edited into a dump to save or write.
#include "app/CardEditors.h"
#include "app/CardPage.h"
#include "app/CardPageState.h"
#include "app/CardWindowData.h"
#include "app/FormDialogs.h"
#include "session/CardWords.h"
#include "widgets/CardView.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QUndoStack>

#include <utility>

void TCardPage::CardShowClick()
{
    const bool made = !CardWindow;
    if (made)
        MakeWindow();
    Refresh();
    if (made) {
        // Every column whole where the screen allows, and tall enough for
        // a good part of the 64 rows.
        QSize size = CardWindow->sizeHint().expandedTo(QSize(0, 640));
        if (const QScreen* screen = window()->screen())
            size = size.boundedTo(screen->availableGeometry().size() * 0.9);
        CardWindow->resize(size);
    }
    CardWindow->show();
    CardWindow->raise();
    CardWindow->activateWindow();
}

// ------------------------------------------- the dump edited in the card window

void TCardPage::EditDump(TDumpImage File, const QString& Path)
{
    FState->Editing = TCardPageState::TEditedDump{std::move(File), Path, {}, false};
    // Undoing an edit of what was shown before would land in this dump.
    if (CardWindow)
        CardWindow->UndoStack()->clear();
    UpdateControls();
}

bool TCardPage::MayDiscardDump(const QString& Caption)
{
    if (!FState->DumpUnsaved())
        return true;
    return FHost.Dialogs().Ask(window(),
        QStringLiteral("Discard the changes to %1?").arg(QDir::toNativeSeparators(FState->Editing->Path)), Caption);
}

void TCardPage::StopEditingDump()
{
    if (!FState->Editing)
        return;
    FState->Editing.reset();
    if (CardWindow)
        CardWindow->UndoStack()->clear();
}

bool TCardPage::MayDiscardCardEdits(const QString& Caption)
{
    if (FState->Edits.empty())
        return true;
    const QString text = FState->Card
        ? QStringLiteral("Discard the edits to card %1?").arg(QString::fromStdString(SerialText(FState->CardSerial)))
        : QStringLiteral("Discard the edits in the card window?");
    return FHost.Dialogs().Ask(window(), text, Caption);
}

bool TCardPage::MayCloseWindow()
{
    // Only what the window shows: the card's edits wait behind a dump being edited.
    const QString caption = CardWindow->windowTitle();
    if (FState->Editing ? !FState->DumpUnsaved() : FState->Edits.empty())
        return true;
    if (FState->Editing ? !MayDiscardDump(caption) : !MayDiscardCardEdits(caption))
        return false;
    if (FState->Editing)
        FState->Editing->Edits.clear();
    else
        FState->Edits.clear();
    // What is undone next would be an edit no longer there.
    CardWindow->UndoStack()->clear();
    UpdateControls();
    Refresh();
    return true;
}

bool TCardPage::MayClose(const QString& Caption)
{
    // The card's edits are lost with the window too.
    if (!MayDiscardDump(Caption) || !MayDiscardCardEdits(Caption))
        return false;
    if (!MayStopStations(Caption))
        return false;
    StopEditingDump();
    return true;
}

// ------------------------------------------------------------ the card window

void TCardPage::MakeWindow()
{
    // Made a window before it is given to the main window, so that it takes
    // the desktop's font rather than the main window's fixed 12-pixel face.
    auto* view = new TCardView;
    view->setParent(window(), Qt::Window);
    view->setObjectName(QStringLiteral("CardWindow"));
    view->setWindowTitle(QStringLiteral("Orvelle - Card"));
    // The meaning of digits being typed, in the card as it stands.
    view->SetCloseGuard([this] { return MayCloseWindow(); });
    view->SetDescriber([this](int Block, const QString& Digits) {
        TDumpImage image = FState->Image();
        if (const std::optional<TBlockImage> bytes = BlockOfDigits(Digits))
            SetBlockAt(image, Block, *bytes);
        return CardWindowRow(image, Block);
    });
    connect(view, &TCardView::BlockEdited, this, [this](int Block, const QString& Digits) { Edited(Block, Digits); });
    connect(view, &TCardView::CurrentBlockChanged, this, [this] { UpdateWindowTools(); });
    const auto newTool = [view](const char* Name, const QString& Caption, const QString& Tip) {
        auto* tool = new QPushButton(Caption, view);
        tool->setObjectName(QLatin1String(Name));
        tool->setToolTip(Tip);
        view->AddTool(tool);
        return tool;
    };
    EditAccessButton = newTool("CardEditAccess", QStringLiteral("Access conditions..."),
        QStringLiteral("Choose the access conditions of the chosen block's sector"));
    EditValueButton = newTool(
        "CardEditValue", QStringLiteral("Value block..."), QStringLiteral("Make the chosen data block a value block"));
    WindowSaveButton = newTool(
        "CardWindowSave", QStringLiteral("Save dump..."), QStringLiteral("Save the card as shown, with its edits"));
    connect(EditAccessButton, &QPushButton::clicked, this, [this] { EditAccess(); });
    connect(EditValueButton, &QPushButton::clicked, this, [this] { EditValue(); });
    // The page's own press: the same questions, trailers and job.
    WindowWriteButton = newTool("CardViewWrite", QStringLiteral("Write card..."), QString());
    connect(WindowSaveButton, &QPushButton::clicked, this, [this] { CardSaveDumpClick(); });
    connect(WindowWriteButton, &QPushButton::clicked, this, [this] { CardWriteClick(); });
    CardWindow = view;
    UpdateWindowTools();
}

void TCardPage::UpdateWindowTools()
{
    if (!CardWindow)
        return;
    // The editors are modal: none while a job runs its exchanges.
    const int block = FRunning ? -1 : CardWindow->CurrentBlock();
    EditAccessButton->setEnabled(block >= 0);
    // Block 0 is the maker's; a trailer is no value block.
    EditValueButton->setEnabled(block > 0 && !IsTrailer(block));
    WindowSaveButton->setEnabled(CardSaveDump->isEnabled());
    WindowWriteButton->setEnabled(CardWrite->isEnabled() && FState->HasImage());
    WindowWriteButton->setToolTip(CardWrite->toolTip());
}

void TCardPage::Edited(int Block, const QString& Digits)
{
    if (!FState->Edited(Block, Digits))
        return;
    UpdateControls();
    Refresh();
}

void TCardPage::EditAccess()
{
    const int block = CardWindow->CurrentBlock();
    if (block < 0)
        return;
    const int trailer = TrailerOf(SectorOf(block));
    TAccessEditor editor(SectorOf(block), BlockAt(FState->Image(), trailer), CardWindow);
    FHost.Dialogs().Exec(editor);
    if (editor.result() == QDialog::Accepted)
        CardWindow->EditBlock(trailer, DigitsOf(editor.Trailer()));
}

void TCardPage::EditValue()
{
    const int block = CardWindow->CurrentBlock();
    if (block <= 0 || IsTrailer(block))
        return;
    TValueEditor editor(block, BlockAt(FState->Image(), block), CardWindow);
    FHost.Dialogs().Exec(editor);
    if (editor.result() == QDialog::Accepted)
        CardWindow->EditBlock(block, DigitsOf(editor.Block()));
}

void TCardPage::Refresh()
{
    // The file's name on the page, its whole path in the tooltip.
    CardDump->setText(FState->Dump ? QStringLiteral("Dump: %1").arg(QFileInfo(FState->DumpPath).fileName())
                                   : QStringLiteral("No dump opened."));
    CardDump->setToolTip(FState->Dump ? QDir::toNativeSeparators(FState->DumpPath) : QString());
    if (CardWindow)
        CardWindow->SetData(CardWindowData(*FState, FWork.KeyMap(), FWork.MapTrailers()));
}
