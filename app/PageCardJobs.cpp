// The "Card" page's handlers (PageCard.cpp builds it): whole-card jobs over
// the session's card work (map keys, read, write, compare), dump files, and
// the card window that shows the card read, the key map and where the card
// differs from the dump last opened, and where the card's blocks, or a dump
// file's, are edited into a dump to save or write.
#include "app/PageCardJobs.h"

#include "app/BatchWindow.h"
#include "session/CardWords.h"
#include "session/CardWork.h"
#include "widgets/CardView.h"

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QUndoStack>
#include <QVBoxLayout>

#include <algorithm>
#include <string>

namespace {

const QString BoxCaption = QStringLiteral("Message");
const QString KeyFilter = QStringLiteral("Key files (*.keys *.txt);;Binary key maps (*.bin);;All files (*)");
const QString DumpFilter = QStringLiteral("Card dumps (*.txt *.bin *.mfd *.raw *.dump *.eml *.json);;All files (*)");
const QString SaveFilter = QStringLiteral(
    "Text dumps (*.txt);;Binary dumps (*.bin *.mfd *.raw *.dump);;.eml dumps (*.eml);;JSON dumps (*.json);;All files (*)");

std::string FileName(const QString& Path) { return QFile::encodeName(Path).toStdString(); }
QString ErrorText(const TFileError& Error) { return QFile::decodeName(Error.Text().c_str()); }

// The rights in the words the card tool uses too.
QString Words(const std::string& Text) { return QString::fromStdString(Text); }

// The trailer's access conditions when its three access bytes are known.
std::optional<TAccessConditions> KnownAccess(const TDumpImage& Image, int Sector)
{
    const size_t trailer = TrailerOf(Sector);
    for (int i = AccessBitsOffset; i < AccessBitsOffset + 3; ++i)
        if (Image.Known[trailer][size_t(i)] != 0xFF)
            return std::nullopt;
    return TrailerAccess(Image.Data[trailer]);
}

// What a block is, in short words, and what its access conditions let keys do.
QString KindOf(const TDumpImage& Image, int Block, QString& Detail)
{
    const std::optional<TAccessConditions> access = KnownAccess(Image, SectorOf(Block));
    const bool rights = access && access->Consistent;
    if (IsTrailer(Block)) {
        if (!access)
            return QStringLiteral("trailer");
        if (!access->Consistent)
            return QStringLiteral("trailer, access bits inconsistent");
        return QStringLiteral("trailer: ") + Words(TrailerRightsText(TrailerBlockRights(access->Cond[TrailerRow])));
    }
    if (Block == 0)
        return QStringLiteral("manufacturer");
    if (rights)
        Detail = Words(DataRightsText(EffectiveDataRights(access->Cond[size_t(RowOf(Block))], access->Cond[TrailerRow])));
    if (Image.BlockKnown(Block)) {
        if (const std::optional<TValueBlock> value = DecodeValueBlock(Image.Data[size_t(Block)]))
            return QStringLiteral("value %1, address %2").arg(value->Value).arg(value->Address);
    }
    return QStringLiteral("data");
}

// Which bytes of a block belong together: a trailer's keys, access bits and
// spare byte; a value block's value, its complement and the address bytes.
std::array<TByteRole, BlockBytes> RolesOf(const TDumpImage& Image, int Block)
{
    std::array<TByteRole, BlockBytes> roles{};
    const auto mark = [&roles](int From, int To, TByteRole Role) {
        std::fill(roles.begin() + From, roles.begin() + To, Role);
    };
    if (IsTrailer(Block)) {
        mark(0, KeyBytes, TByteRole::KeyA);
        mark(AccessBitsOffset, AccessBitsOffset + 3, TByteRole::Access);
        mark(AccessBitsOffset + 3, TrailerKeyBOffset, TByteRole::Spare);
        mark(TrailerKeyBOffset, BlockBytes, TByteRole::KeyB);
    } else if (Block != 0 && Image.BlockKnown(Block) && DecodeValueBlock(Image.Data[size_t(Block)])) {
        mark(0, 4, TByteRole::Value);
        mark(4, 8, TByteRole::Inverted);
        mark(8, 12, TByteRole::Value);
        mark(12, BlockBytes, TByteRole::Address);
    }
    return roles;
}

QString BlockList(const std::vector<int>& Blocks)
{
    QStringList list;
    for (const int block : Blocks)
        list << QString::number(block);
    return (list.size() == 1 ? QStringLiteral("block ") : QStringLiteral("blocks ")) + list.join(QStringLiteral(", "));
}

// The name a write of the edits gives its dump in the log and the records.
const char* const EditsName = "edited in the card window";

QString KeyCell(const std::optional<TKeyMap>& Map, const std::optional<TDumpImage>& Card, int Sector, bool B)
{
    if (!Map)
        return QStringLiteral("not mapped");
    const std::optional<TKey>& key = B ? (*Map)[size_t(Sector)].KeyB : (*Map)[size_t(Sector)].KeyA;
    if (key)
        return QString::fromStdString(KeyText(*key));
    // A key B that key A may read opens nothing, but the card showed it.
    const size_t trailer = TrailerOf(Sector);
    if (B && Card && std::all_of(Card->Known[trailer].begin() + TrailerKeyBOffset, Card->Known[trailer].end(), [](uint8_t Bits) { return Bits == 0xFF; })) {
        TKey shown{};
        std::copy_n(Card->Data[trailer].begin() + TrailerKeyBOffset, KeyBytes, shown.begin());
        return QString::fromStdString(KeyText(shown)) + QStringLiteral(" (readable)");
    }
    return QStringLiteral("unknown");
}

QString OutcomeText(const TSectorOutcome& Outcome)
{
    QString text = QString::fromLatin1(SectorResultText(Outcome.Result));
    QStringList blocks;
    for (const int block : Outcome.Blocks)
        blocks << QString::number(block);
    if (!blocks.isEmpty())
        text += QStringLiteral(" (block %1)").arg(blocks.join(QStringLiteral(", ")));
    QStringList unknown;
    for (const int block : Outcome.Unknown)
        unknown << QString::number(block);
    if (!unknown.isEmpty())
        text += QStringLiteral("; not all known in the dump, left alone: block %1").arg(unknown.join(QStringLiteral(", ")));
    if (Outcome.Trailer != TTrailerNote::None)
        text += QStringLiteral("; ") + Words(TrailerNoteText(Outcome.Trailer));
    return text;
}

} // namespace

TCardPageState::TCardPageState(TMainForm& Owner)
    : Form(Owner)
    , Work(Owner.Session(), Owner)
{
}

// ------------------------------------------------------------------ dialogs

QString TCardPageState::OpenFileName(const QString& Caption, const QString& Filter)
{
    return Form.FDialogs->OpenFileName(&Form, Caption, Filter);
}

std::optional<std::vector<TTrailerChange>> TCardPageState::AskTrailers(const std::vector<TTrailerChange>& Changes)
{
    QDialog dialog(&Form);
    dialog.setObjectName(QStringLiteral("CardTrailers"));
    dialog.setWindowTitle(QLatin1String(CardJobName(TCardJob::Write)));
    auto* layout = new QVBoxLayout(&dialog);
    auto* intro = new QLabel(QStringLiteral("These trailers of the dump differ from the card's. Only those ticked are "
                                            "written; the data blocks are written in any case."),
        &dialog);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    auto* list = new QWidget;
    auto* rows = new QVBoxLayout(list);
    std::vector<QCheckBox*> boxes;
    for (const TTrailerChange& change : Changes) {
        // Unticked: a trailer is written only by the operator's own choice.
        auto* box = new QCheckBox(QStringLiteral("Write the trailer of sector %1").arg(change.Sector), list);
        box->setObjectName(QStringLiteral("CardTrailer%1").arg(change.Sector));
        auto* now = new QLabel(Words(TrailerChangeText(change)).trimmed(), list);
        now->setObjectName(QStringLiteral("CardTrailerText%1").arg(change.Sector));
        now->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        now->setTextInteractionFlags(Qt::TextSelectableByMouse);
        rows->addWidget(box);
        rows->addWidget(now);
        boxes.push_back(box);
    }
    rows->addStretch(1);
    auto* scroll = new QScrollArea(&dialog);
    scroll->setObjectName(QStringLiteral("CardTrailerList"));
    scroll->setWidget(list);
    scroll->setWidgetResizable(true);
    layout->addWidget(scroll, 1);
    auto* buttons = new QDialogButtonBox(&dialog);
    QPushButton* write = buttons->addButton(QStringLiteral("Write"), QDialogButtonBox::AcceptRole);
    write->setObjectName(QStringLiteral("CardTrailersWrite"));
    buttons->addButton(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("CardTrailersCancel"));
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog.resize(dialog.sizeHint().expandedTo(QSize(list->sizeHint().width() + 40, 480)));
    Form.FDialogs->Exec(dialog);
    if (dialog.result() != QDialog::Accepted)
        return std::nullopt;
    std::vector<TTrailerChange> ticked;
    for (size_t i = 0; i < boxes.size(); ++i) {
        if (boxes[i]->isChecked())
            ticked.push_back(Changes[i]);
    }
    return ticked;
}

std::optional<TDumpImage> TCardPageState::ChooseDump(const QString& Caption, QString& Path)
{
    Path = OpenFileName(Caption, DumpFilter);
    if (Path.isEmpty())
        return std::nullopt;
    TFileError error;
    std::optional<TDumpImage> dump = ReadDumpFile(FileName(Path), error);
    if (!dump)
        Form.MessageBox(ErrorText(error), BoxCaption);
    return dump;
}

std::optional<TKeyList> TCardPageState::Candidates(const TDumpImage* StatedBy)
{
    TKeySources sources;
    const QString path = Form.CardKeyFile->text().trimmed();
    if (!path.isEmpty())
        sources.KeyFiles.push_back(FileName(path));
    sources.BuiltIn = Form.CardBuiltInKeys->isChecked();
    std::string error;
    std::optional<TKeyList> keys = KeysToTry(sources, StatedBy, error);
    if (!keys) {
        // The journal keeps it too: a box is gone once answered.
        const QString text = QFile::decodeName(error.c_str());
        Form.MessageBox(text, BoxCaption);
        Form.JournalOwn(text);
    }
    return keys;
}

// ------------------------------------------------------------------ the jobs

void TCardPageState::UpdateControls()
{
    // While a press runs only Cancel is live; while another operation holds
    // the session, nothing that talks to the card may start.
    const bool idle = !Running;
    const bool lineFree = idle && !Form.Session().OperationRunning();
    for (QWidget* control : std::initializer_list<QWidget*>{Form.CardKeyFile, Form.CardBrowseKeys,
             Form.CardBuiltInKeys, Form.CardOpenDump, Form.CardEditDump, Form.CardShow, Form.CardBatch})
        control->setEnabled(idle);
    for (QPushButton* button : {Form.CardMapKeys, Form.CardRead, Form.CardWrite, Form.CardCompare})
        button->setEnabled(lineFree);
    Form.CardSaveDump->setEnabled(idle && HasImage());
    Form.CardCancel->setEnabled(Running);
    Form.CardWrite->setToolTip(Editing ? QStringLiteral("Writes the dump being edited in the card window")
            : Edits.empty()            ? QStringLiteral("Writes a dump file you choose onto the card")
                                       : QStringLiteral("Writes the card as edited in the card window"));
    UpdateWindowTools();
}

template <class TPress>
void TCardPageState::Press(TPress&& Sequence)
{
    Running = true;
    Form.CardProgress->reset();
    UpdateControls();
    Sequence();
    Running = false;
    UpdateControls();
    Refresh();
}

void TCardPageState::ShowProgressOf(const QString& Name)
{
    JobName = Name;
    Form.CardProgress->reset();
    Form.CardProgress->setFormat(Name);
}

void TCardPageState::Ended(const TCardJobRecord& Record)
{
    Form.Log(QString::fromStdString(Record.Line));
    if (!Record.Serial)
        return;
    Outcomes = Record.Sectors;
    LastJob = QLatin1String(CardJobName(Record.Job)) + QStringLiteral(" at ") + QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
}

void TCardPageState::TookCard(const TDumpImage& Image, const TJobResult& Result)
{
    if (Compared) {
        for (int block = 0; block < CardBlocks; ++block)
            CardChanged = CardChanged || CompareBlock(Image, Compared->Card, block) == TBlockMatch::Differs;
    }
    // The card read is shown, not the dump edited before.
    StopEditingDump();
    Card = Image;
    CardReadAt = QDateTime::currentDateTime();
    CardWrittenAt = QDateTime();
    CardSerial = *Result.Serial;
    CardSectors = Result.Sectors;
    DropEditsOnCard();
}

void TCardPageState::Wrote(const TDumpImage& Written, const TWriteResult& Result)
{
    // The card held is another card's: what was written is not added to it.
    if (!Result.Wrote() || (Card && Result.Serial != CardSerial))
        return;
    if (!Card) {
        Card = TDumpImage{};
        CardSerial = *Result.Serial;
        CardReadAt = QDateTime();
    }
    for (const TSectorOutcome& sector : Result.Sectors)
        for (const int block : sector.Written)
            Card->SetBlock(block, IsTrailer(block) ? Result.Trailers.Data[size_t(block)] : Written.Data[size_t(block)]);
    CardWrittenAt = QDateTime::currentDateTime();
    CardChanged = Compared.has_value();
    DropEditsOnCard();
}

// ------------------------------------------------------------------ the edits

TDumpImage TCardPageState::Image() const
{
    TDumpImage image = Editing ? Editing->File : Card.value_or(TDumpImage{});
    for (const auto& [block, bytes] : Editing ? Editing->Edits : Edits)
        SetBlockAt(image, block, bytes);
    return image;
}

void TCardPageState::Edited(int Block, const QString& Digits)
{
    const std::optional<TBlockImage> bytes = BlockOfDigits(Digits);
    if (!bytes || Block < 0 || Block >= CardBlocks)
        return;
    if (Editing) {
        Editing->Edits[Block] = *bytes;
        // Typed back to what the file holds: no change to save.
        if (BlockAt(Editing->File, Block) == *bytes)
            Editing->Edits.erase(Block);
    } else {
        Edits[Block] = *bytes;
        DropEditsOnCard();
    }
    UpdateControls();
    Refresh();
}

void TCardPageState::DropEditsOnCard()
{
    const TDumpImage card = Card.value_or(TDumpImage{});
    std::erase_if(Edits, [&card](const auto& Edit) { return BlockAt(card, Edit.first) == Edit.second; });
}

void TCardPageState::EditDump(TDumpImage File, const QString& Path)
{
    Editing = TEditedDump{std::move(File), Path, {}, false};
    // Undoing an edit of what was shown before would land in this dump.
    if (Form.CardWindow)
        Form.CardWindow->UndoStack()->clear();
    UpdateControls();
}

bool TCardPageState::MayDiscardDump(const QString& Caption)
{
    if (!Editing || Editing->Edits.empty())
        return true;
    return Form.FDialogs->Ask(
        &Form, QStringLiteral("Discard the changes to %1?").arg(QDir::toNativeSeparators(Editing->Path)), Caption);
}

void TCardPageState::StopEditingDump()
{
    if (!Editing)
        return;
    Editing.reset();
    if (Form.CardWindow)
        Form.CardWindow->UndoStack()->clear();
}

void TCardPageState::SavedDump(const TDumpImage& Saved, const QString& Path)
{
    if (!Editing)
        return;
    Editing->File = Saved;
    Editing->Path = Path;
    Editing->Edits.clear();
    Editing->Saved = true;
    Refresh();
}

void TCardPageState::MakeWindow()
{
    // Made a window before it is given to the form, so that it takes the
    // desktop's font rather than the form's fixed 12-pixel face.
    auto* window = new TCardView;
    window->setParent(&Form, Qt::Window);
    window->setObjectName(QStringLiteral("CardWindow"));
    window->setWindowTitle(QStringLiteral("Orvelle - Card"));
    // The meaning of digits being typed, in the card as it stands.
    window->SetDescriber([this](int Block, const QString& Digits) {
        TDumpImage image = Image();
        if (const std::optional<TBlockImage> bytes = BlockOfDigits(Digits))
            SetBlockAt(image, Block, *bytes);
        return Row(image, Block, nullptr, nullptr);
    });
    QObject::connect(window, &TCardView::BlockEdited, &Form, [this](int Block, const QString& Digits) { Edited(Block, Digits); });
    QObject::connect(window, &TCardView::CurrentBlockChanged, &Form, [this] { UpdateWindowTools(); });
    EditAccessButton = new QPushButton(QStringLiteral("Access conditions..."), window);
    EditAccessButton->setObjectName(QStringLiteral("CardEditAccess"));
    EditAccessButton->setToolTip(QStringLiteral("Choose the access conditions of the chosen block's sector"));
    EditValueButton = new QPushButton(QStringLiteral("Value block..."), window);
    EditValueButton->setObjectName(QStringLiteral("CardEditValue"));
    EditValueButton->setToolTip(QStringLiteral("Make the chosen data block a value block"));
    WindowSaveButton = new QPushButton(QStringLiteral("Save dump..."), window);
    WindowSaveButton->setObjectName(QStringLiteral("CardWindowSave"));
    WindowSaveButton->setToolTip(QStringLiteral("Save the card as shown, with its edits"));
    for (QPushButton* tool : {EditAccessButton, EditValueButton, WindowSaveButton})
        window->AddTool(tool);
    QObject::connect(EditAccessButton, &QPushButton::clicked, &Form, [this] { EditAccess(); });
    QObject::connect(EditValueButton, &QPushButton::clicked, &Form, [this] { EditValue(); });
    QObject::connect(WindowSaveButton, &QPushButton::clicked, &Form, [this] { Form.CardSaveDumpClick(); });
    Form.CardWindow = window;
    UpdateWindowTools();
}

void TCardPageState::UpdateWindowTools()
{
    if (!Form.CardWindow)
        return;
    // The editors are modal: none while a job runs its exchanges.
    const int block = Running ? -1 : Form.CardWindow->CurrentBlock();
    EditAccessButton->setEnabled(block >= 0);
    // Block 0 is the maker's; a trailer is no value block.
    EditValueButton->setEnabled(block > 0 && !IsTrailer(block));
    WindowSaveButton->setEnabled(Form.CardSaveDump->isEnabled());
}

void TCardPageState::EditAccess()
{
    const int block = Form.CardWindow->CurrentBlock();
    if (block < 0)
        return;
    const int trailer = TrailerOf(SectorOf(block));
    TAccessEditor editor(SectorOf(block), BlockAt(Image(), trailer), Form.CardWindow);
    Form.FDialogs->Exec(editor);
    if (editor.result() == QDialog::Accepted)
        Form.CardWindow->EditBlock(trailer, DigitsOf(editor.Trailer()));
}

void TCardPageState::EditValue()
{
    const int block = Form.CardWindow->CurrentBlock();
    if (block <= 0 || IsTrailer(block))
        return;
    TValueEditor editor(block, BlockAt(Image(), block), Form.CardWindow);
    Form.FDialogs->Exec(editor);
    if (editor.result() == QDialog::Accepted)
        Form.CardWindow->EditBlock(block, DigitsOf(editor.Block()));
}

// ------------------------------------------------------------ the card window

TCardViewBlock TCardPageState::Row(const TDumpImage& Image, int Block, const TCompareResult* Against, const TDumpImage* Dump)
{
    TCardViewBlock row;
    row.Sector = SectorOf(Block);
    row.Block = Block;
    row.Digits = DigitsOf(BlockAt(Image, Block));
    row.Kind = KindOf(Image, Block, row.Detail);
    row.Roles = RolesOf(Image, Block);
    if (Against && Dump && Against->Blocks[size_t(Block)] == TBlockMatch::Differs)
        row.DumpDigits = DigitsOf(BlockAt(*Dump, Block));
    return row;
}

TCardViewData TCardPageState::ViewData() const
{
    TCardViewData data;
    const TDumpImage image = Image();
    // The card as it stands, edits and all, against the dump: after every
    // job and every edit, not only at a Compare. A dump being edited is no
    // card read: it is compared with nothing.
    std::optional<TCompareResult> against;
    if (!Editing && HasImage() && Dump) {
        against = CompareCard(image, CardSectors, *Dump);
        if (Card)
            against->Serial = CardSerial;
    }
    for (int block = 0; block < CardBlocks; ++block)
        data.Blocks.push_back(Row(image, block, against ? &*against : nullptr, Dump ? &*Dump : nullptr));
    for (int sector = 0; sector < SectorCount; ++sector)
        data.Sectors.push_back({sector, KeyCell(Work.KeyMap(), Card, sector, false), KeyCell(Work.KeyMap(), Card, sector, true),
            LastJob.isEmpty() ? QString() : OutcomeText(Outcomes[size_t(sector)])});

    const QString time = QStringLiteral("HH:mm:ss");
    QStringList summary;
    if (Editing) {
        const QString path = QDir::toNativeSeparators(Editing->Path);
        if (!Editing->Edits.empty()) {
            std::vector<int> edited;
            for (const auto& edit : Editing->Edits)
                edited.push_back(edit.first);
            summary << QStringLiteral("Editing dump %1 (changed): %2 edited, not saved.").arg(path, BlockList(edited));
        } else if (Editing->Saved) {
            summary << QStringLiteral("Editing dump %1: the edits are saved.").arg(path);
        } else {
            summary << QStringLiteral("Editing dump %1.").arg(path);
        }
        summary << QStringLiteral("\"Read card\" or \"Compare...\" shows the card again.");
        if (!LastJob.isEmpty())
            summary << QStringLiteral("Results: %1.").arg(LastJob);
        data.Summary = summary.join(QLatin1Char(' '));
        return data;
    }
    // A compare reads the card too: its digits are shown.
    if (!Card)
        summary << QStringLiteral("Card not read yet.");
    else if (CardReadAt.isValid())
        summary << QStringLiteral("Card read at %1.").arg(CardReadAt.toString(time));
    else
        summary << QStringLiteral("Card not read; the blocks written to it are shown.");
    if (Card && CardWrittenAt.isValid())
        summary << QStringLiteral("Written at %1.").arg(CardWrittenAt.toString(time));
    if (!Edits.empty()) {
        std::vector<int> edited;
        for (const auto& edit : Edits)
            edited.push_back(edit.first);
        summary << QStringLiteral("Edited, not on the card: %1.").arg(BlockList(edited));
    }
    if (Dump) {
        QString dump = QStringLiteral("Dump %1: ").arg(QDir::toNativeSeparators(DumpPath));
        if (Compared && CardChanged)
            dump += QStringLiteral("the card changed since the comparison; now ");
        if (!Edits.empty() && against)
            dump += QStringLiteral("with the edits, ");
        if (!against)
            summary << dump + QStringLiteral("read the card or compare to see where they differ.");
        else
            summary << dump + Words(CompareText(*against)) + (against->Differ.empty() ? QStringLiteral(".") : QStringLiteral(" (marked \u2260)."));
    } else {
        summary << QStringLiteral("No dump opened.");
    }
    if (!LastJob.isEmpty())
        summary << QStringLiteral("Results: %1.").arg(LastJob);
    data.Summary = summary.join(QLatin1Char(' '));
    return data;
}

void TCardPageState::Refresh()
{
    // The file's name on the page, its whole path in the tooltip.
    Form.CardDump->setText(Dump ? QStringLiteral("Dump: %1").arg(QFileInfo(DumpPath).fileName())
                                : QStringLiteral("No dump opened."));
    Form.CardDump->setToolTip(Dump ? QDir::toNativeSeparators(DumpPath) : QString());
    if (Form.CardWindow)
        Form.CardWindow->SetData(ViewData());
}

// -------------------------------------------------------------- the handlers

void TMainForm::Progress(int Sector)
{
    CardProgress->setMaximum(SectorCount);
    CardProgress->setValue(Sector + 1);
    CardProgress->setFormat(FCard->JobName + QStringLiteral(": ") + Words(ProgressText(Sector)));
}

bool TMainForm::ConfirmTrailer(const TTrailerChange& Change)
{
    // Asked before the job, once for all: the answer ticked then, for this
    // very trailer.
    return std::any_of(FCard->Approved.begin(), FCard->Approved.end(), [&Change](const TTrailerChange& Ticked) {
        return Ticked.Sector == Change.Sector && Ticked.Trailer == Change.Trailer;
    });
}

bool TMainForm::ApproveTrailers(const std::vector<TTrailerChange>& Changes)
{
    const std::optional<std::vector<TTrailerChange>> ticked = FCard->AskTrailers(Changes);
    FCard->Approved = ticked.value_or(std::vector<TTrailerChange>{});
    return ticked.has_value();
}

void TMainForm::JobStarted(TCardJob Job) { FCard->ShowProgressOf(QLatin1String(CardJobName(Job))); }

void TMainForm::CardJobEnded(const TCardJobRecord& Record) { FCard->Ended(Record); }

void TMainForm::CardBrowseKeysClick()
{
    const QString path = FCard->OpenFileName(QStringLiteral("Key file"), KeyFilter);
    if (!path.isEmpty())
        CardKeyFile->setText(path);
}

void TMainForm::CardMapKeysClick()
{
    const std::optional<TKeyList> keys = FCard->Candidates(nullptr);
    if (keys)
        FCard->Press([this, &keys] { FCard->Work.MapKeys(*keys); });
}

void TMainForm::CardReadClick()
{
    if (!FCard->MayDiscardDump(QLatin1String(CardJobName(TCardJob::Read))))
        return;
    const std::optional<TKeyList> keys = FCard->Candidates(nullptr);
    if (!keys)
        return;
    FCard->Press([this, &keys] {
        const TWorkRun<TReadResult> read = FCard->Work.Read(*keys);
        if (read.End != TWorkEnd::Done)
            return;
        FCard->TookCard(read.Result->Image, *read.Result);
    });
}

void TMainForm::CardWriteClick()
{
    // The dump being edited in the card window; else the card as edited
    // there, while there are edits; else a dump file. A dump being edited
    // stays, for the next card.
    std::optional<TDumpImage> dump;
    std::string name = EditsName;
    if (FCard->Editing) {
        dump = FCard->Image();
        name = FileName(QDir::toNativeSeparators(FCard->Editing->Path));
        if (!FCard->Editing->Edits.empty())
            name += std::string(" ") + EditsName;
    } else if (!FCard->Edits.empty()) {
        dump = FCard->Image();
    } else {
        QString path;
        dump = FCard->ChooseDump(QStringLiteral("Dump to write"), path);
        name = FileName(QDir::toNativeSeparators(path));
    }
    if (!dump)
        return;
    const std::optional<TKeyList> keys = FCard->Candidates(&*dump);
    if (!keys)
        return;
    FCard->Press([this, &dump, &keys, &name] {
        const TWorkRun<TWriteResult> written = FCard->Work.Write(*dump, *keys, true, name);
        FCard->Approved.clear();
        if (written.Result)
            FCard->Wrote(*dump, *written.Result);
    });
}

void TMainForm::CardCompareClick()
{
    if (!FCard->MayDiscardDump(QLatin1String(CardJobName(TCardJob::Compare))))
        return;
    QString path;
    const std::optional<TDumpImage> dump = FCard->ChooseDump(QStringLiteral("Dump to compare with"), path);
    if (!dump)
        return;
    const std::optional<TKeyList> keys = FCard->Candidates(&*dump);
    if (!keys)
        return;
    // The dump compared with is the one the card window shows differences against.
    FCard->Dump = dump;
    FCard->DumpPath = path;
    FCard->Compared.reset();
    FCard->CardChanged = false;
    FCard->Press([this, &keys] {
        const TWorkRun<TCompareResult> compared
            = FCard->Work.Compare(*FCard->Dump, *keys, FileName(QDir::toNativeSeparators(FCard->DumpPath)));
        if (compared.End != TWorkEnd::Done)
            return;
        FCard->TookCard(compared.Result->Card, *compared.Result);
        FCard->Compared = compared.Result;
        FCard->CardChanged = false;
    });
}

void TMainForm::CardOpenDumpClick()
{
    QString path;
    const std::optional<TDumpImage> dump = FCard->ChooseDump(QStringLiteral("Open dump"), path);
    if (!dump)
        return;
    FCard->Dump = dump;
    FCard->DumpPath = path;
    FCard->Compared.reset();
    FCard->CardChanged = false;
    LogOwn(QStringLiteral("Open dump: %1").arg(QDir::toNativeSeparators(path)));
    FCard->Refresh();
}

void TMainForm::CardEditDumpClick()
{
    if (!FCard->MayDiscardDump(QStringLiteral("Edit dump")))
        return;
    QString path;
    std::optional<TDumpImage> dump = FCard->ChooseDump(QStringLiteral("Dump to edit"), path);
    if (!dump)
        return;
    FCard->EditDump(std::move(*dump), path);
    LogOwn(QStringLiteral("Edit dump: %1").arg(QDir::toNativeSeparators(path)));
    CardShowClick();
}

void TMainForm::CardSaveDumpClick()
{
    if (!FCard->HasImage())
        return;
    // A dump being edited is offered its own name: saving it is the usual end of an edit.
    const QString name = FCard->Editing ? FCard->Editing->Path : QStringLiteral("card.txt");
    const QString path = FDialogs->SaveFileName(this, QStringLiteral("Save dump"), name, SaveFilter);
    if (path.isEmpty())
        return;
    // The rule orvelle-card saves by: nothing for a card of which nothing
    // was read, binary only when every digit is known.
    const TDumpImage image = FCard->Image();
    std::string error;
    if (!SaveCardDump(FileName(path), image, error)) {
        SaveFailed(QStringLiteral("Can not save the dump: %1").arg(QFile::decodeName(error.c_str())), BoxCaption);
        return;
    }
    LogOwn(QStringLiteral("Save dump: %1").arg(QDir::toNativeSeparators(path)));
    FCard->SavedDump(image, path);
}

void TMainForm::CardCancelClick() { FCard->Work.Cancel(); }

void TMainForm::CardShowClick()
{
    const bool made = !CardWindow;
    if (made)
        FCard->MakeWindow();
    FCard->Refresh();
    if (made) {
        // Every column whole where the screen allows, and tall enough for
        // a good part of the 64 rows.
        QSize size = CardWindow->sizeHint().expandedTo(QSize(0, 640));
        if (const QScreen* screen = this->screen())
            size = size.boundedTo(screen->availableGeometry().size() * 0.9);
        CardWindow->resize(size);
    }
    CardWindow->show();
    CardWindow->raise();
    CardWindow->activateWindow();
}

void TMainForm::CardBatchClick()
{
    if (!BatchWindow) {
        TBatchHost host{*FSession, [this]() -> TFormDialogs& { return *FDialogs; },
            [this] {
                TKeySources sources;
                const QString path = CardKeyFile->text().trimmed();
                if (!path.isEmpty())
                    sources.KeyFiles.push_back(FileName(path));
                sources.BuiltIn = CardBuiltInKeys->isChecked();
                return sources;
            },
            [this](const QString& Line) { LogOwn(Line); },
            [this](const std::vector<TTrailerChange>& Changes) { return FCard->AskTrailers(Changes); }};
        BatchWindow = new TBatchWindow(std::move(host), this);
    }
    BatchWindow->show();
    BatchWindow->raise();
    BatchWindow->activateWindow();
}
