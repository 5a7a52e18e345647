// What the card window shows of the "Card" page's state: the blocks with
// what each is and where it differs from the dump, the sectors' keys and
// results, and the summary above them.
#include "app/CardWindowData.h"

#include "app/CardEditors.h"
#include "app/CardPageState.h"
#include "session/CardWords.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <string>

namespace {

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
        // Marked where the bits take something away for good, the words in the tooltip.
        QStringList locks;
        for (const std::string& words : PermanentLocks(access->Cond, SectorOf(Block)))
            locks << Words(words);
        Detail = locks.join(QLatin1Char('\n'));
        return (locks.isEmpty() ? QStringLiteral("trailer: ") : QStringLiteral("trailer, permanent: "))
            + Words(TrailerRightsText(TrailerBlockRights(access->Cond[TrailerRow])));
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

QString KeyCell(const std::optional<TKeyMap>& Map, const TDumpImage& Trailers, int Sector, bool B)
{
    if (!Map)
        return QStringLiteral("not mapped");
    // The words orvelle-card's table uses: a key B readable is data, no key.
    return Words(KeyCellText((*Map)[size_t(Sector)], B, Trailers, Sector));
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

// The blocks edited, for the summary.
std::vector<int> EditedBlocks(const std::map<int, TBlockImage>& Edits)
{
    std::vector<int> edited;
    edited.reserve(Edits.size());
    for (const auto& edit : Edits)
        edited.push_back(edit.first);
    return edited;
}

const QString TimeFormat = QStringLiteral("HH:mm:ss");

// A dump being edited is no card read: it is compared with nothing.
QString EditingSummary(const TCardPageState& State)
{
    QStringList summary;
    const QString path = QDir::toNativeSeparators(State.Editing->Path);
    if (!State.Editing->Edits.empty())
        summary << QStringLiteral("Editing dump %1 (changed): %2 edited, not saved.").arg(path, BlockList(EditedBlocks(State.Editing->Edits)));
    else if (State.Editing->Saved)
        summary << QStringLiteral("Editing dump %1: the edits are saved.").arg(path);
    else
        summary << QStringLiteral("Editing dump %1.").arg(path);
    summary << QStringLiteral("\"Read card\" or \"Compare...\" shows the card again.");
    if (!State.LastJob.isEmpty())
        summary << QStringLiteral("Results: %1.").arg(State.LastJob);
    return summary.join(QLatin1Char(' '));
}

// The card: when it was read and written, the edits not on it, and how it
// stands against the dump (Against, when it can be compared).
QString CardSummary(const TCardPageState& State, const std::optional<TCompareResult>& Against)
{
    QStringList summary;
    // A compare reads the card too: its digits are shown.
    if (!State.Card)
        summary << QStringLiteral("Card not read yet.");
    else if (State.CardReadAt.isValid())
        summary << QStringLiteral("Card read at %1.").arg(State.CardReadAt.toString(TimeFormat));
    else
        summary << QStringLiteral("Card not read; the blocks written to it are shown.");
    if (State.Card && State.CardWrittenAt.isValid())
        summary << QStringLiteral("Written at %1.").arg(State.CardWrittenAt.toString(TimeFormat));
    if (!State.Edits.empty())
        summary << QStringLiteral("Edited, not on the card: %1.").arg(BlockList(EditedBlocks(State.Edits)));
    if (State.Dump) {
        QString dump = QStringLiteral("Dump %1: ").arg(QDir::toNativeSeparators(State.DumpPath));
        if (State.Compared && State.CardChanged)
            dump += QStringLiteral("the card changed since the comparison; now ");
        if (!State.Edits.empty() && Against)
            dump += QStringLiteral("with the edits, ");
        if (!Against)
            summary << dump + QStringLiteral("read the card or compare to see where they differ.");
        else
            summary << dump + Words(CompareText(*Against)) + (Against->Differ.empty() ? QStringLiteral(".") : QStringLiteral(" (marked \u2260)."));
    } else {
        summary << QStringLiteral("No dump opened.");
    }
    if (!State.LastJob.isEmpty())
        summary << QStringLiteral("Results: %1.").arg(State.LastJob);
    return summary.join(QLatin1Char(' '));
}

} // namespace

TCardViewBlock CardWindowRow(const TDumpImage& Image, int Block, const TCompareResult* Against, const TDumpImage* Dump)
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

TCardViewData CardWindowData(const TCardPageState& State, const std::optional<TKeyMap>& Map, const TDumpImage& Trailers)
{
    TCardViewData data;
    const TDumpImage image = State.Image();
    // The card as it stands, edits and all, against the dump: after every
    // job and every edit, not only at a Compare.
    std::optional<TCompareResult> against;
    if (!State.Editing && State.HasImage() && State.Dump) {
        against = CompareCard(image, State.CardSectors, *State.Dump);
        if (State.Card)
            against->Serial = State.CardSerial;
    }
    const TDumpImage* dump = State.Dump ? &*State.Dump : nullptr;
    for (int block = 0; block < CardBlocks; ++block)
        data.Blocks.push_back(CardWindowRow(image, block, against ? &*against : nullptr, dump));
    for (int sector = 0; sector < SectorCount; ++sector)
        data.Sectors.push_back({sector, KeyCell(Map, Trailers, sector, false), KeyCell(Map, Trailers, sector, true),
            State.LastJob.isEmpty() ? QString() : OutcomeText(State.Outcomes[size_t(sector)])});
    data.Summary = State.Editing ? EditingSummary(State) : CardSummary(State, against);
    // The comparison as the job made it, whatever was edited since.
    if (State.Compared && !State.Editing)
        data.Result = QStringLiteral("Compare with %1: %2\n%3")
                          .arg(QFileInfo(State.DumpPath).fileName(), Words(SectorResultsText(State.Compared->Sectors)),
                              Words(CompareText(*State.Compared)));
    return data;
}
