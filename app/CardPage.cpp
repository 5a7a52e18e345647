// The "Card" page: whole-card jobs over the session (map keys, read, write,
// compare), dump files, and the card window that shows the card read, the
// key map and where the card differs from the dump last opened.
#include "app/CardPage.h"

#include "session/CardWords.h"
#include "widgets/CardView.h"

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>
#include <string>

namespace {

const QString MapKeysJob = QStringLiteral("Map keys");
const QString ReadJob = QStringLiteral("Read card");
const QString WriteJob = QStringLiteral("Write card");
const QString CompareJob = QStringLiteral("Compare");
const QString BoxCaption = QStringLiteral("Message");
const QString KeyFilter = QStringLiteral("Key files (*.keys *.txt);;All files (*)");
const QString DumpFilter = QStringLiteral("Card dumps (*.txt *.bin *.mfd);;All files (*)");
const QString SaveFilter = QStringLiteral("Text dumps (*.txt);;Binary dumps (*.bin *.mfd);;All files (*)");

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

// The 32 digits of each block, '-' for the unknown ones, in the text dump's
// own spelling.
QStringList BlockDigits(const TDumpImage& Image)
{
    QStringList blocks;
    for (const QString& line : QString::fromStdString(TextOf(Image)).split(QLatin1Char('\n')))
        if (!line.isEmpty() && !line.startsWith(QLatin1Char('+')))
            blocks << line;
    return blocks;
}

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
    , Jobs(Owner.Session(), Owner)
{
}

// ------------------------------------------------------------------ dialogs

QString TCardPageState::OpenFileName(const QString& Caption, const QString& Filter)
{
    if (Form.OpenFileNameHandler)
        return Form.OpenFileNameHandler(Caption);
    return QFileDialog::getOpenFileName(&Form, Caption, QString(), Filter);
}

std::optional<std::vector<TTrailerChange>> TCardPageState::AskTrailers(const std::vector<TTrailerChange>& Changes)
{
    QDialog dialog(&Form);
    dialog.setObjectName(QStringLiteral("CardTrailers"));
    dialog.setWindowTitle(WriteJob);
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
    if (Form.DialogHandler)
        Form.DialogHandler(dialog);
    else
        dialog.exec();
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
    TKeyList fromFile;
    const QString path = Form.CardKeyFile->text().trimmed();
    if (!path.isEmpty()) {
        TFileError error;
        const std::optional<TKeyList> keys = ReadKeyFile(FileName(path), error);
        if (!keys) {
            Form.MessageBox(ErrorText(error), BoxCaption);
            return std::nullopt;
        }
        fromFile = *keys;
    }
    TKeyList all = JobKeys(fromFile, StatedBy, Form.CardBuiltInKeys->isChecked());
    if (all.empty()) {
        Form.MessageBox(QStringLiteral("No keys to try: name a key file or tick \"built-in keys\"."), BoxCaption);
        return std::nullopt;
    }
    return all;
}

// ------------------------------------------------------------------ the jobs

void TCardPageState::UpdateControls()
{
    // While a press runs only Cancel is live; while another operation holds
    // the session, nothing that talks to the card may start.
    const bool idle = !Running;
    const bool lineFree = idle && !Form.Session().OperationRunning();
    for (QWidget* control : std::initializer_list<QWidget*>{Form.CardKeyFile, Form.CardBrowseKeys,
             Form.CardBuiltInKeys, Form.CardOpenDump, Form.CardShow})
        control->setEnabled(idle);
    for (QPushButton* button : {Form.CardMapKeys, Form.CardRead, Form.CardWrite, Form.CardCompare})
        button->setEnabled(lineFree);
    Form.CardSaveDump->setEnabled(idle && Card.has_value());
    Form.CardCancel->setEnabled(Running);
}

bool TCardPageState::Stopped() const { return CancelAsked || Form.Session().CloseRequested(); }

template <class TJob>
void TCardPageState::Run(const QString& Name, const TKeyList& Keys, bool NeedsMap, TJob&& Job)
{
    Running = true;
    CancelAsked = false;
    Form.CardProgress->reset();
    UpdateControls();
    const std::optional<TSerial> serial = FindCard(Name);
    if (serial && !Stopped() && (!NeedsMap || HasMap(*serial, Keys) || MapKeys(*serial, Keys)) && !Stopped()) {
        ShowProgressOf(Name);
        Job(*serial);
    }
    Running = false;
    UpdateControls();
    Refresh();
}

std::optional<TSerial> TCardPageState::FindCard(const QString& Name)
{
    TOperationScope scope(Form.Session());
    if (!scope) {
        Refused(Name);
        return std::nullopt;
    }
    const std::optional<TCardId> card = Form.Session().FindAnyCard();
    if (!card) {
        Form.LogJob(Name + QStringLiteral(": ") + QLatin1String(NoCardText));
        return std::nullopt;
    }
    return card->Serial;
}

void TCardPageState::ShowProgressOf(const QString& Name)
{
    JobName = Name;
    Form.CardProgress->reset();
    Form.CardProgress->setFormat(Name);
}

bool TCardPageState::HasMap(const TSerial& Serial, const TKeyList& Keys) const
{
    if (!KeyMap || MapCard != Serial)
        return false;
    // Sorted for the look-ups: each of tens of thousands of keys against all
    // the others would hold the window for seconds.
    TKeyList mapped = MappedWith;
    std::sort(mapped.begin(), mapped.end());
    return std::all_of(Keys.begin(), Keys.end(), [&mapped](const TKey& Key) {
        return std::binary_search(mapped.begin(), mapped.end(), Key);
    });
}

bool TCardPageState::MapKeys(const TSerial& Serial, const TKeyList& Keys)
{
    ShowProgressOf(MapKeysJob);
    const std::optional<TMapResult> map = Jobs.MapKeys(Keys);
    if (!map) {
        Refused(MapKeysJob);
        return false;
    }
    if (NoCard(MapKeysJob, *map))
        return false;
    Report(MapKeysJob, *map);
    // A sector not tried (cancelled, card gone) would pass for one no key
    // opens: such a map is shown, but the next job maps again.
    const bool whole = *map->Serial == Serial && std::none_of(map->Sectors.begin(), map->Sectors.end(), [](const TSectorOutcome& Sector) {
        return Sector.Result == TSectorResult::NotRun || Sector.Result == TSectorResult::CardGone;
    });
    KeyMap = map->Keys;
    MapTrailers = map->Trailers;
    MapCard = *map->Serial;
    MappedWith = whole ? Keys : TKeyList{};
    return whole;
}

void TCardPageState::Report(const QString& Name, const TJobResult& Result, const QString& DumpFile, const QString& Tail)
{
    const TSectorOutcomes& sectors = Result.Sectors;
    Outcomes = sectors;
    LastJob = Name + QStringLiteral(" at ") + QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
    int done = 0;
    int notRun = 0;
    // The other results, each with its sectors, in the order they first come.
    std::vector<std::pair<TSectorResult, QStringList>> others;
    QStringList declined;
    for (int sector = 0; sector < SectorCount; ++sector) {
        const TSectorResult result = sectors[size_t(sector)].Result;
        if (sectors[size_t(sector)].Trailer == TTrailerNote::Declined)
            declined << QString::number(sector);
        if (result == TSectorResult::Done) {
            ++done;
            continue;
        }
        if (result == TSectorResult::NotRun) {
            ++notRun;
            continue;
        }
        auto at = std::find_if(others.begin(), others.end(), [result](const auto& O) { return O.first == result; });
        if (at == others.end())
            at = others.insert(others.end(), {result, {}});
        at->second << QString::number(sector);
    }
    QStringList parts{QStringLiteral("%1 %2 done").arg(done).arg(done == 1 ? "sector" : "sectors")};
    for (const auto& [result, numbers] : others) {
        parts << QStringLiteral("%1 %2 %3")
                     .arg(numbers.size() == 1 ? "sector" : "sectors", numbers.join(QStringLiteral(", ")),
                         QLatin1String(SectorResultText(result)));
    }
    if (notRun > 0)
        parts << QStringLiteral("%1 not run").arg(notRun);
    if (!declined.isEmpty())
        parts << Words(TrailerNoteText(TTrailerNote::Declined)) + QStringLiteral(" in sector%1 %2").arg(declined.size() == 1 ? "" : "s", declined.join(QStringLiteral(", ")));
    QString subject = QStringLiteral("card ") + Words(SerialText(Result.Serial.value_or(TSerial{})));
    if (!DumpFile.isEmpty())
        subject += QStringLiteral(", dump ") + QDir::toNativeSeparators(DumpFile);
    QString line = Name + QStringLiteral(" (") + subject + QStringLiteral("): ")
        + (Stopped() ? QStringLiteral("cancelled; ") : QString()) + parts.join(QStringLiteral(", "));
    if (!Tail.isEmpty())
        line += QStringLiteral("; ") + Tail;
    Form.LogJob(line);
}

bool TCardPageState::NoCard(const QString& Name, const TJobResult& Result)
{
    if (Result.Serial)
        return false;
    Form.LogJob(Name + QStringLiteral(": ") + QLatin1String(NoCardText));
    return true;
}

void TCardPageState::Refused(const QString& Name)
{
    Form.LogJob(Name + QStringLiteral(": refused, another operation is running"));
}

// ------------------------------------------------------------ the card window

TCardViewData TCardPageState::ViewData() const
{
    TCardViewData data;
    const TDumpImage blank;
    const TDumpImage& card = Card ? *Card : blank;
    const QStringList digits = BlockDigits(card);
    // The last Compare, or the card read against the dump opened since.
    std::optional<TCompareResult> against = Compared;
    if (!against && Card && Dump) {
        against = CompareCard(*Card, CardSectors, *Dump);
        against->Serial = CardSerial;
    }
    for (int block = 0; block < CardBlocks; ++block) {
        TCardViewBlock row;
        row.Sector = SectorOf(block);
        row.Block = block;
        row.Digits = digits.value(block);
        row.Kind = KindOf(card, block, row.Detail);
        row.Differs = against && against->Blocks[size_t(block)] == TBlockMatch::Differs;
        data.Blocks.push_back(row);
    }
    for (int sector = 0; sector < SectorCount; ++sector)
        data.Sectors.push_back({sector, KeyCell(KeyMap, Card, sector, false), KeyCell(KeyMap, Card, sector, true),
            LastJob.isEmpty() ? QString() : OutcomeText(Outcomes[size_t(sector)])});

    QStringList summary;
    // A compare reads the card too: its digits are shown.
    summary << (Card ? QStringLiteral("Card read at %1.").arg(CardReadAt.toString(QStringLiteral("HH:mm:ss")))
                     : QStringLiteral("Card not read yet."));
    if (Dump) {
        const QString dump = QStringLiteral("Dump %1: ").arg(QDir::toNativeSeparators(DumpPath));
        if (!against)
            summary << dump + QStringLiteral("read the card or compare to see where they differ.");
        else
            summary << dump + Words(CompareText(*against)) + (against->Differ.empty() ? QStringLiteral(".") : QStringLiteral(" (highlighted)."));
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

void TMainForm::CardBrowseKeysClick()
{
    const QString path = FCard->OpenFileName(QStringLiteral("Key file"), KeyFilter);
    if (!path.isEmpty())
        CardKeyFile->setText(path);
}

void TMainForm::CardMapKeysClick()
{
    const std::optional<TKeyList> keys = FCard->Candidates(nullptr);
    if (!keys)
        return;
    // Maps again also a card the page has a map of: the key file may have changed.
    FCard->Run(MapKeysJob, *keys, false, [this, &keys](const TSerial& Serial) { FCard->MapKeys(Serial, *keys); });
}

void TMainForm::CardReadClick()
{
    const std::optional<TKeyList> keys = FCard->Candidates(nullptr);
    if (!keys)
        return;
    FCard->Run(ReadJob, *keys, true, [this](const TSerial&) {
        const std::optional<TReadResult> read = FCard->Jobs.ReadCard(*FCard->KeyMap);
        if (!read) {
            FCard->Refused(ReadJob);
            return;
        }
        if (FCard->NoCard(ReadJob, *read))
            return;
        FCard->Card = read->Image;
        FCard->CardReadAt = QDateTime::currentDateTime();
        FCard->CardSerial = *read->Serial;
        FCard->CardSectors = read->Sectors;
        FCard->Compared.reset();
        FCard->Report(ReadJob, *read);
    });
}

void TMainForm::CardWriteClick()
{
    QString path;
    const std::optional<TDumpImage> dump = FCard->ChooseDump(QStringLiteral("Dump to write"), path);
    if (!dump)
        return;
    const std::optional<TKeyList> keys = FCard->Candidates(&*dump);
    if (!keys)
        return;
    FCard->Run(WriteJob, *keys, true, [this, &dump, &path](const TSerial&) {
        // One question for every trailer that would change the card's.
        const std::vector<TTrailerChange> changes = TrailerChanges(*dump, FCard->MapTrailers);
        FCard->Approved.clear();
        if (!changes.empty()) {
            const std::optional<std::vector<TTrailerChange>> ticked = FCard->AskTrailers(changes);
            if (!ticked) {
                Log(WriteJob + QStringLiteral(": cancelled; ") + QLatin1String(NothingWrittenText));
                return;
            }
            FCard->Approved = *ticked;
        }
        const std::optional<TWriteResult> written = FCard->Jobs.WriteCard(*dump, *FCard->KeyMap, true);
        FCard->Approved.clear();
        if (!written) {
            FCard->Refused(WriteJob);
            return;
        }
        if (FCard->NoCard(WriteJob, *written))
            return;
        // The trailers as the card has them now, for the next write.
        for (int sector = 0; sector < SectorCount; ++sector) {
            const size_t trailer = TrailerOf(sector);
            if (written->Trailers.Known[trailer] != TBlockData{}) {
                FCard->MapTrailers.Data[trailer] = written->Trailers.Data[trailer];
                FCard->MapTrailers.Known[trailer] = written->Trailers.Known[trailer];
            }
        }
        FCard->Report(WriteJob, *written, path, written->Wrote() ? QString() : QLatin1String(NothingWrittenText));
    });
}

void TMainForm::CardCompareClick()
{
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
    FCard->Run(CompareJob, *keys, true, [this](const TSerial&) {
        const std::optional<TCompareResult> compared = FCard->Jobs.Compare(*FCard->Dump, *FCard->KeyMap);
        if (!compared) {
            FCard->Refused(CompareJob);
            return;
        }
        if (FCard->NoCard(CompareJob, *compared))
            return;
        FCard->Compared = compared;
        FCard->Card = compared->Card;
        FCard->CardReadAt = QDateTime::currentDateTime();
        FCard->CardSerial = *compared->Serial;
        FCard->CardSectors = compared->Sectors;
        FCard->Report(CompareJob, *compared, FCard->DumpPath, Words(CompareText(*compared)));
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
    Log(QStringLiteral("Open dump: %1").arg(QDir::toNativeSeparators(path)));
    FCard->Refresh();
}

void TMainForm::CardSaveDumpClick()
{
    if (!FCard->Card)
        return;
    const QString path = SaveFileNameHandler
        ? SaveFileNameHandler()
        : QFileDialog::getSaveFileName(this, QStringLiteral("Save dump"), QStringLiteral("card.txt"), SaveFilter);
    if (path.isEmpty())
        return;
    // A binary dump of a card with unknown digits is refused there, as
    // orvelle-card refuses it.
    std::string error;
    if (!WriteDumpFile(FileName(path), *FCard->Card, DumpFormatForName(FileName(path)), error)) {
        SaveFailed(QStringLiteral("Can not save the dump: %1").arg(QFile::decodeName(error.c_str())), BoxCaption);
        return;
    }
    Log(QStringLiteral("Save dump: %1").arg(QDir::toNativeSeparators(path)));
}

void TMainForm::CardCancelClick()
{
    FCard->CancelAsked = true;
    FCard->Jobs.Cancel();
}

void TMainForm::CardShowClick()
{
    const bool made = !CardWindow;
    if (made) {
        // Made a window before it is given to the form, so that it takes the
        // desktop's font rather than the form's fixed 12-pixel face.
        CardWindow = new TCardView;
        CardWindow->setParent(this, Qt::Window);
        CardWindow->setObjectName(QStringLiteral("CardWindow"));
        CardWindow->setWindowTitle(QStringLiteral("Orvelle - Card"));
    }
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
