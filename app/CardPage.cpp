// The "Card" page: its controls and what each press does over the session's
// card work. The card window, where the card or a dump file is shown and
// edited, is CardPageWindow.cpp.
#include "app/CardPage.h"

#include "app/BatchWindow.h"
#include "app/CardPageState.h"
#include "app/FormDialogs.h"
#include "app/FormParts.h"
#include "app/TrailersDialog.h"
#include "session/CardWords.h"
#include "session/LinkSession.h"
#include "widgets/CardView.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <string>
#include <utility>

using namespace FormParts;

namespace {

const QString BoxCaption = QStringLiteral("Message");
const QString KeyFilter = QStringLiteral("Key files (*.keys *.txt);;Binary key maps (*.bin);;All files (*)");
const QString DumpFilter = QStringLiteral("Card dumps (*.txt *.bin *.mfd *.raw *.dump *.eml *.json);;All files (*)");
const QString SaveFilter = QStringLiteral(
    "Text dumps (*.txt);;Binary dumps (*.bin *.mfd *.raw *.dump);;.eml dumps (*.eml);;JSON dumps (*.json);;All files (*)");

// The name a write of the edits gives its dump in the log and the records.
const char* const EditsName = "edited in the card window";

std::string FileName(const QString& Path) { return QFile::encodeName(Path).toStdString(); }
QString ErrorText(const TFileError& Error) { return QFile::decodeName(Error.Text().c_str()); }

} // namespace

TCardPage::TCardPage(TCardPageHost Host, QWidget* Parent)
    : QWidget(Parent)
    , FHost(std::move(Host))
    , FWork(FHost.Session, *this)
    , FState(std::make_unique<TCardPageState>())
{
    setObjectName(QStringLiteral("TabSheet9"));
    QFrame* bevel = NewBevel(this, "Bevel9");
    auto* layout = new QVBoxLayout(bevel);
    layout->setContentsMargins(8, 8, 8, 6);
    layout->setSpacing(6);
    BuildKeyRow(layout, bevel);
    BuildButtons(layout, bevel);
    BuildProgress(layout, bevel);
    layout->addStretch(1);
    Wire();
    FHost.Session.Listeners().Add(*this);
}

TCardPage::~TCardPage()
{
    FHost.Session.Listeners().Remove(*this);
    // The card window reports its edits to what the page knows, and the
    // batch window works on the session: both go before the page's parts.
    delete std::exchange(CardWindow, nullptr);
    delete std::exchange(BatchWindow, nullptr);
}

// ------------------------------------------------------------- the controls

void TCardPage::BuildKeyRow(QVBoxLayout* Layout, QWidget* Bevel)
{
    // The first step for someone new to the page.
    CardHint = new QLabel(
        QStringLiteral("Place a card on the reader and press Read card: it finds the keys by itself."), Bevel);
    CardHint->setObjectName(QStringLiteral("CardHint"));
    CardHint->setWordWrap(true);
    Layout->addWidget(CardHint);

    auto* keys = new QHBoxLayout;
    keys->setSpacing(4);
    CardKeyFile = NewEdit("CardKeyFile", 0, Bevel);
    CardKeyFile->setPlaceholderText(QStringLiteral("one key of 12 hex digits a line"));
    CardBrowseKeys = NewButton("CardBrowseKeys", QStringLiteral("..."), Bevel);
    CardBrowseKeys->setFixedWidth(28);
    CardBuiltInKeys = new QCheckBox(QStringLiteral("built-in keys"), Bevel);
    CardBuiltInKeys->setObjectName(QStringLiteral("CardBuiltInKeys"));
    CardBuiltInKeys->setChecked(true);
    keys->addWidget(NewLabel(QStringLiteral("Key file："), Bevel));
    keys->addWidget(CardKeyFile, 1);
    keys->addWidget(CardBrowseKeys);
    keys->addSpacing(8);
    keys->addWidget(CardBuiltInKeys);
    Layout->addLayout(keys);
}

void TCardPage::BuildButtons(QVBoxLayout* Layout, QWidget* Bevel)
{
    // Card jobs on the first row, then the dumps, Cancel, the card window.
    auto* buttons = new QGridLayout;
    buttons->setHorizontalSpacing(6);
    buttons->setVerticalSpacing(6);
    CardMapKeys = NewButton("CardMapKeys", QStringLiteral("Map keys"), Bevel);
    CardRead = NewButton("CardRead", QStringLiteral("Read card"), Bevel);
    CardWrite = NewButton("CardWrite", QStringLiteral("Write card..."), Bevel);
    CardCompare = NewButton("CardCompare", QStringLiteral("Compare..."), Bevel);
    CardOpenDump = NewButton("CardOpenDump", QStringLiteral("Open dump..."), Bevel);
    CardEditDump = NewButton("CardEditDump", QStringLiteral("Edit dump..."), Bevel);
    CardSaveDump = NewButton("CardSaveDump", QStringLiteral("Save dump..."), Bevel, false);
    CardCancel = NewButton("CardCancel", QStringLiteral("Cancel"), Bevel, false);
    CardShow = NewButton("CardShow", QStringLiteral("Show card"), Bevel);
    // A production line, in a window of its own.
    CardBatch = NewButton("CardBatch", QStringLiteral("Batch..."), Bevel);
    CardLine = NewButton("CardLine", QStringLiteral("Line..."), Bevel);
    CardPorts = NewButton("CardPorts", QStringLiteral("Ports..."), Bevel);
    const std::array<QPushButton*, 12> grid{CardMapKeys, CardRead, CardWrite, CardCompare, CardOpenDump,
        CardEditDump, CardSaveDump, CardCancel, CardShow, CardBatch, CardLine, CardPorts};
    for (size_t i = 0; i < grid.size(); ++i)
        buttons->addWidget(grid[i], int(i / 4), int(i % 4));
    Layout->addLayout(buttons);
}

void TCardPage::BuildProgress(QVBoxLayout* Layout, QWidget* Bevel)
{
    CardProgress = new QProgressBar(Bevel);
    CardProgress->setObjectName(QStringLiteral("CardProgress"));
    CardProgress->setRange(0, 16);
    // "Read card: sector 5 of 16" while a job runs.
    CardProgress->setFixedHeight(RowHeight);
    CardProgress->reset();
    Layout->addWidget(CardProgress);
    // The bar's last step is gone with the next job; what the job found
    // stays here, in the words of the log.
    CardResult = new QLabel(Bevel);
    CardResult->setObjectName(QStringLiteral("CardResult"));
    CardResult->setWordWrap(true);
    CardResult->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // A long dump name is cut at the page's edge rather than widen the fixed window.
    CardResult->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    Layout->addWidget(CardResult);
    CardDump = new QLabel(QStringLiteral("No dump opened."), Bevel);
    CardDump->setObjectName(QStringLiteral("CardDump"));
    // A long name is cut at the page's edge rather than widen the fixed window.
    CardDump->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    CardDump->setFixedHeight(RowHeight);
    Layout->addWidget(CardDump);
}

void TCardPage::Wire()
{
    const std::array<std::pair<QPushButton*, void (TCardPage::*)()>, 13> handlers{{
        {CardBrowseKeys, &TCardPage::CardBrowseKeysClick},
        {CardMapKeys, &TCardPage::CardMapKeysClick},
        {CardRead, &TCardPage::CardReadClick},
        {CardWrite, &TCardPage::CardWriteClick},
        {CardCompare, &TCardPage::CardCompareClick},
        {CardOpenDump, &TCardPage::CardOpenDumpClick},
        {CardEditDump, &TCardPage::CardEditDumpClick},
        {CardSaveDump, &TCardPage::CardSaveDumpClick},
        {CardCancel, &TCardPage::CardCancelClick},
        {CardShow, &TCardPage::CardShowClick},
        {CardBatch, &TCardPage::CardBatchClick},
        {CardLine, &TCardPage::CardLineClick},
        {CardPorts, &TCardPage::CardPortsClick},
    }};
    for (const auto& [button, handler] : handlers)
        connect(button, &QPushButton::clicked, this, [this, handler = handler] { (this->*handler)(); });
}

void TCardPage::UpdateControls()
{
    // While a press runs only Cancel is live; while another operation holds
    // the session, nothing that talks to the card may start.
    const bool idle = !FRunning;
    const bool lineFree = idle && !FHost.Session.OperationRunning();
    for (QWidget* control : std::initializer_list<QWidget*>{
             CardKeyFile, CardBrowseKeys, CardBuiltInKeys, CardOpenDump, CardEditDump, CardShow, CardBatch, CardLine, CardPorts})
        control->setEnabled(idle);
    for (QPushButton* button : {CardMapKeys, CardRead, CardWrite, CardCompare})
        button->setEnabled(lineFree);
    CardSaveDump->setEnabled(idle && FState->HasImage());
    CardCancel->setEnabled(FRunning);
    CardWrite->setToolTip(FState->Editing ? QStringLiteral("Writes the dump being edited in the card window")
            : FState->Edits.empty()       ? QStringLiteral("Writes a dump file you choose onto the card")
                                          : QStringLiteral("Writes the card as edited in the card window"));
    UpdateWindowTools();
}

// ------------------------------------------------------ the steps they share

template <class TPress>
void TCardPage::Press(TPress&& Sequence)
{
    FRunning = true;
    CardProgress->reset();
    UpdateControls();
    Sequence();
    FRunning = false;
    UpdateControls();
    Refresh();
}

TKeySources TCardPage::KeySources() const
{
    TKeySources sources;
    const QString path = CardKeyFile->text().trimmed();
    if (!path.isEmpty())
        sources.KeyFiles.push_back(FileName(path));
    sources.BuiltIn = CardBuiltInKeys->isChecked();
    return sources;
}

std::optional<TKeyList> TCardPage::Candidates(const TDumpImage* StatedBy)
{
    std::string error;
    std::vector<std::string> notes; // a dump given for the key file, said so
    std::optional<TKeyList> keys = KeysToTry(KeySources(), StatedBy, error, &notes);
    for (const std::string& note : notes)
        FHost.Log(QFile::decodeName(note.c_str()));
    if (!keys) {
        // The journal keeps it too: a box is gone once answered.
        const QString text = QFile::decodeName(error.c_str());
        ShowBox(text);
        FHost.Journal(text);
    }
    return keys;
}

std::optional<TDumpImage> TCardPage::ChooseDump(const QString& Caption, QString& Path)
{
    Path = FHost.Dialogs().OpenFileName(window(), Caption, DumpFilter);
    if (Path.isEmpty())
        return std::nullopt;
    TFileError error;
    std::optional<TDumpImage> dump = ReadDumpFile(FileName(Path), error);
    if (!dump)
        ShowBox(ErrorText(error));
    return dump;
}

void TCardPage::ShowBox(const QString& Text)
{
    FHost.Dialogs().MessageBox(window(), Text, BoxCaption, TLinkSession::MessageFlags);
}

void TCardPage::LogOwn(const QString& Line)
{
    FHost.Log(Line);
    FHost.Journal(Line);
}

void TCardPage::TookCard(const TDumpImage& Image, const TJobResult& Result)
{
    // The card read is shown, not the dump edited before.
    StopEditingDump();
    FState->TookCard(Image, Result);
}

// ------------------------------------------------- what a card job reports

void TCardPage::JobStarted(TCardJob Job)
{
    FJobName = QLatin1String(CardJobName(Job));
    CardProgress->reset();
    CardProgress->setFormat(FJobName);
}

void TCardPage::Progress(int Sector)
{
    CardProgress->setMaximum(SectorCount);
    CardProgress->setValue(Sector + 1);
    CardProgress->setFormat(FJobName + QStringLiteral(": ") + QString::fromStdString(ProgressText(Sector)));
}

bool TCardPage::ApproveTrailers(const std::vector<TTrailerChange>& Changes)
{
    const std::optional<std::vector<TTrailerChange>> ticked = AskTrailers(window(), FHost.Dialogs(), Changes);
    FApproved = ticked.value_or(std::vector<TTrailerChange>{});
    return ticked.has_value();
}

bool TCardPage::ConfirmTrailer(const TTrailerChange& Change)
{
    // Asked before the job, once for all: the answer ticked then, for this
    // very trailer.
    return std::any_of(FApproved.begin(), FApproved.end(), [&Change](const TTrailerChange& Ticked) {
        return Ticked.Sector == Change.Sector && Ticked.Trailer == Change.Trailer;
    });
}

void TCardPage::CardJobEnded(const TCardJobRecord& Record)
{
    const QString line = QString::fromStdString(Record.Line);
    FHost.Log(line);
    CardResult->setText(line);
    CardResult->setToolTip(line);
    FState->Ended(Record);
}

void TCardPage::OperationStateChanged(bool /*Running*/) { UpdateControls(); }

// -------------------------------------------------------------- the handlers

void TCardPage::CardBrowseKeysClick()
{
    const QString path = FHost.Dialogs().OpenFileName(window(), QStringLiteral("Key file"), KeyFilter);
    if (!path.isEmpty())
        CardKeyFile->setText(path);
}

void TCardPage::CardMapKeysClick()
{
    const std::optional<TKeyList> keys = Candidates(nullptr);
    if (keys)
        Press([this, &keys] { FWork.MapKeys(*keys); });
}

void TCardPage::CardReadClick()
{
    if (!MayDiscardDump(QLatin1String(CardJobName(TCardJob::Read))))
        return;
    const std::optional<TKeyList> keys = Candidates(nullptr);
    if (!keys)
        return;
    Press([this, &keys] {
        const TWorkRun<TReadResult> read = FWork.Read(*keys);
        if (read.End != TWorkEnd::Done)
            return;
        TookCard(read.Result->Image, *read.Result);
    });
}

void TCardPage::CardWriteClick()
{
    // The dump being edited in the card window; else the card as edited
    // there, while there are edits; else a dump file. A dump being edited
    // stays, for the next card.
    std::optional<TDumpImage> dump;
    std::string name = EditsName;
    if (FState->Editing) {
        dump = FState->Image();
        name = FileName(QDir::toNativeSeparators(FState->Editing->Path));
        if (!FState->Editing->Edits.empty())
            name += std::string(" ") + EditsName;
    } else if (!FState->Edits.empty()) {
        dump = FState->Image();
    } else {
        QString path;
        dump = ChooseDump(QStringLiteral("Dump to write"), path);
        name = FileName(QDir::toNativeSeparators(path));
    }
    if (!dump)
        return;
    const std::optional<TKeyList> keys = Candidates(&*dump);
    if (!keys)
        return;
    Press([this, &dump, &keys, &name] {
        const TWorkRun<TWriteResult> written = FWork.Write(*dump, *keys, true, name);
        FApproved.clear();
        if (written.Result)
            FState->Wrote(*dump, *written.Result);
    });
}

void TCardPage::CardCompareClick()
{
    if (!MayDiscardDump(QLatin1String(CardJobName(TCardJob::Compare))))
        return;
    QString path;
    const std::optional<TDumpImage> dump = ChooseDump(QStringLiteral("Dump to compare with"), path);
    if (!dump)
        return;
    const std::optional<TKeyList> keys = Candidates(&*dump);
    if (!keys)
        return;
    // The dump compared with is the one the card window shows differences against.
    FState->OpenedDump(*dump, path);
    Press([this, &keys] {
        const TWorkRun<TCompareResult> compared
            = FWork.Compare(*FState->Dump, *keys, FileName(QDir::toNativeSeparators(FState->DumpPath)));
        if (compared.End != TWorkEnd::Done)
            return;
        TookCard(compared.Result->Card, *compared.Result);
        FState->Compared = compared.Result;
        FState->CardChanged = false;
    });
}

void TCardPage::CardOpenDumpClick()
{
    QString path;
    const std::optional<TDumpImage> dump = ChooseDump(QStringLiteral("Open dump"), path);
    if (!dump)
        return;
    FState->OpenedDump(*dump, path);
    LogOwn(QStringLiteral("Open dump: %1").arg(QDir::toNativeSeparators(path)));
    Refresh();
}

void TCardPage::CardEditDumpClick()
{
    if (!MayDiscardDump(QStringLiteral("Edit dump")))
        return;
    QString path;
    std::optional<TDumpImage> dump = ChooseDump(QStringLiteral("Dump to edit"), path);
    if (!dump)
        return;
    EditDump(std::move(*dump), path);
    LogOwn(QStringLiteral("Edit dump: %1").arg(QDir::toNativeSeparators(path)));
    CardShowClick();
}

void TCardPage::CardSaveDumpClick()
{
    if (!FState->HasImage())
        return;
    // A dump being edited is offered its own name: saving it is the usual end of an edit.
    const QString name = FState->Editing ? FState->Editing->Path : QStringLiteral("card.txt");
    const QString path = FHost.Dialogs().SaveFileName(window(), QStringLiteral("Save dump"), name, SaveFilter);
    if (path.isEmpty())
        return;
    // The rule orvelle-card saves by: nothing for a card of which nothing
    // was read, binary only when every digit is known.
    const TDumpImage image = FState->Image();
    std::string error;
    if (!SaveCardDump(FileName(path), image, error)) {
        FHost.SaveFailed(QStringLiteral("Can not save the dump: %1").arg(QFile::decodeName(error.c_str())), BoxCaption);
        return;
    }
    LogOwn(QStringLiteral("Save dump: %1").arg(QDir::toNativeSeparators(path)));
    if (FState->Editing) {
        FState->SavedDump(image, path);
        Refresh();
    }
}

void TCardPage::CardCancelClick() { FWork.Cancel(); }

void TCardPage::CardBatchClick()
{
    if (!BatchWindow) {
        TBatchHost host{FHost.Session, FHost.Dialogs, [this] { return KeySources(); },
            [this](const QString& Line) { LogOwn(Line); },
            [this](const std::vector<TTrailerChange>& Changes) { return AskTrailers(window(), FHost.Dialogs(), Changes); }};
        // A window of the main window's own, as the card window is.
        BatchWindow = new TBatchWindow(std::move(host), window());
    }
    BatchWindow->show();
    BatchWindow->raise();
    BatchWindow->activateWindow();
}
