// The "Card" page: whole-card jobs over the session (map keys, read, write,
// compare), dump files, and the card window that shows the card read, the
// key map and where the card differs from the dump last opened.
#include "app/CardPage.h"

#include "reader/CardReader.h"
#include "reader/HexText.h"
#include "reader/ReaderLink.h"
#include "widgets/CardView.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

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

// The search mode that finds any card, a halted one too, as the jobs use.
constexpr uint8_t SearchAllCards = 1;

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

bool TCardPageState::Question(const QString& Text, const QString& Caption)
{
    if (Form.QuestionHandler)
        return Form.QuestionHandler(Text, Caption);
    return QMessageBox::question(&Form, Caption, Text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        == QMessageBox::Yes;
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
    TKeyList keys;
    const QString path = Form.CardKeyFile->text().trimmed();
    if (!path.isEmpty()) {
        TFileError error;
        const std::optional<TKeyList> fromFile = ReadKeyFile(FileName(path), error);
        if (!fromFile) {
            Form.MessageBox(ErrorText(error), BoxCaption);
            return std::nullopt;
        }
        keys = *fromFile;
    }
    if (StatedBy)
        AddKeys(keys, DumpKeys(*StatedBy));
    TKeyList all = CandidateKeys(keys, Form.CardBuiltInKeys->isChecked());
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
    TReaderLink& link = Form.Session().Link();
    const uint8_t mode = link.SearchMode;
    link.SearchMode = SearchAllCards;
    const std::optional<TCardId> card = Form.Session().Reader().SearchCardSerial();
    link.SearchMode = mode;
    if (!card) {
        Form.LogJob(Name + QStringLiteral(": no card found"));
        return std::nullopt;
    }
    return card->Serial;
}

void TCardPageState::ShowProgressOf(const QString& Name)
{
    Form.CardProgress->reset();
    Form.CardProgress->setFormat(Name + QStringLiteral(": sector %v of %m"));
}

bool TCardPageState::HasMap(const TSerial& Serial, const TKeyList& Keys) const
{
    return KeyMap && MapCard == Serial && std::all_of(Keys.begin(), Keys.end(), [this](const TKey& Key) {
        return std::find(MappedWith.begin(), MappedWith.end(), Key) != MappedWith.end();
    });
}

bool TCardPageState::MapKeys(const TSerial& Serial, const TKeyList& Keys)
{
    ShowProgressOf(MapKeysJob);
    TSectorOutcomes sectors;
    const std::optional<TKeyMap> map = Jobs.MapKeys(Keys, &sectors);
    if (!map) {
        Refused(MapKeysJob);
        return false;
    }
    Report(MapKeysJob, sectors);
    // A sector not tried (cancelled, card gone) would pass for one no key
    // opens: such a map is shown, but the next job maps again.
    const bool whole = std::none_of(sectors.begin(), sectors.end(), [](const TSectorOutcome& Sector) {
        return Sector.Result == TSectorResult::NotRun || Sector.Result == TSectorResult::CardGone;
    });
    KeyMap = map;
    MapCard = Serial;
    MappedWith = whole ? Keys : TKeyList{};
    return whole;
}

void TCardPageState::Report(const QString& Name, const TSectorOutcomes& Sectors, const QString& Tail)
{
    Outcomes = Sectors;
    LastJob = Name + QStringLiteral(" at ") + QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
    int done = 0;
    int notRun = 0;
    QStringList parts;
    for (int sector = 0; sector < SectorCount; ++sector) {
        const TSectorResult result = Sectors[size_t(sector)].Result;
        if (result == TSectorResult::Done)
            ++done;
        else if (result == TSectorResult::NotRun)
            ++notRun;
        else
            parts << QStringLiteral("sector %1 %2").arg(sector).arg(QLatin1String(SectorResultText(result)));
    }
    parts.prepend(QStringLiteral("%1 %2 done").arg(done).arg(done == 1 ? "sector" : "sectors"));
    if (notRun > 0)
        parts << QStringLiteral("%1 not run").arg(notRun);
    QString line = Name + QStringLiteral(": ") + (Stopped() ? QStringLiteral("cancelled; ") : QString())
        + parts.join(QStringLiteral(", "));
    if (!Tail.isEmpty())
        line += QStringLiteral("; ") + Tail;
    Form.LogJob(line);
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
    int differing = 0;
    for (int block = 0; block < CardBlocks; ++block) {
        TCardViewBlock row;
        row.Sector = SectorOf(block);
        row.Block = block;
        row.Digits = digits.value(block);
        row.Kind = KindOf(card, block, row.Detail);
        if (Compared)
            row.Differs = Compared->Blocks[size_t(block)] == TBlockMatch::Differs;
        else if (Card && Dump)
            row.Differs = CompareBlock(*Card, *Dump, block) == TBlockMatch::Differs;
        differing += row.Differs ? 1 : 0;
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
        const QString against = QStringLiteral("Dump %1: ").arg(QDir::toNativeSeparators(DumpPath));
        if (!Card && !Compared)
            summary << against + QStringLiteral("read the card or compare to see where they differ.");
        else if (differing == 0)
            summary << against + QStringLiteral("no block differs.");
        else
            summary << against + QStringLiteral("%1 %2 (highlighted).").arg(differing).arg(differing == 1 ? "block differs" : "blocks differ");
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

void TMainForm::Progress(int Number, int Of)
{
    CardProgress->setMaximum(Of);
    CardProgress->setValue(Number);
}

bool TMainForm::ConfirmTrailer(const TTrailerChange& Change)
{
    const uint8_t* trailer = Change.Trailer.data();
    QString text = QStringLiteral("Write the trailer of sector %1?\n\n").arg(Change.Sector);
    text += QStringLiteral("key A %1, access bits %2, key B %3\n")
                .arg(BytesToHex(trailer, KeyBytes), BytesToHex(trailer + AccessBitsOffset, TrailerKeyBOffset - AccessBitsOffset),
                    BytesToHex(trailer + TrailerKeyBOffset, KeyBytes));
    for (int row = 0; row < TrailerRow; ++row)
        text += QStringLiteral("block %1: %2\n").arg(BlockOf(Change.Sector, row)).arg(Words(DataRightsText(Change.DataRights[size_t(row)])));
    text += QStringLiteral("trailer: ") + Words(TrailerRightsText(Change.TrailerRights));
    return FCard->Question(text, WriteJob);
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
        FCard->Card = read->Image;
        FCard->CardReadAt = QDateTime::currentDateTime();
        FCard->Compared.reset();
        FCard->Report(ReadJob, read->Sectors);
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
    const bool trailers = FCard->Question(
        QStringLiteral("Write the sector trailers too?\n\nEach trailer is shown with the rights it sets and written only when you agree."),
        WriteJob);
    FCard->Run(WriteJob, *keys, true, [this, &dump, trailers](const TSerial&) {
        const std::optional<TSectorOutcomes> written = FCard->Jobs.WriteCard(*dump, *FCard->KeyMap, trailers);
        if (!written) {
            FCard->Refused(WriteJob);
            return;
        }
        FCard->Report(WriteJob, *written);
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
        FCard->Compared = compared;
        FCard->Card = compared->Card;
        FCard->CardReadAt = QDateTime::currentDateTime();
        QStringList blocks;
        for (int block = 0; block < CardBlocks; ++block)
            if (compared->Blocks[size_t(block)] == TBlockMatch::Differs)
                blocks << QString::number(block);
        const QString tail = blocks.isEmpty() ? QStringLiteral("card and dump agree")
            : blocks.size() == 1              ? QStringLiteral("block %1 differs").arg(blocks[0])
                                              : QStringLiteral("blocks %1 differ").arg(blocks.join(QStringLiteral(", ")));
        FCard->Report(CompareJob, compared->Sectors, tail);
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
    const bool binary = DumpFormatForName(FileName(path)) == TDumpFormat::Binary;
    // The binary form has no way to say "unknown": it would invent zeros.
    if (binary && !FCard->Card->AllKnown()) {
        MessageBox(QStringLiteral("The card has unknown digits, which a binary dump cannot hold: save it as text."),
            BoxCaption);
        return;
    }
    std::string error;
    if (!WriteDumpFile(FileName(path), *FCard->Card, binary ? TDumpFormat::Binary : TDumpFormat::Text, error)) {
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
