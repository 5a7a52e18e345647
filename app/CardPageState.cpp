// What the "Card" page knows between presses and the rules that change it.
#include "app/CardPageState.h"

#include <QTime>

void TCardPageState::OpenedDump(const TDumpImage& File, const QString& Path)
{
    Dump = File;
    DumpPath = Path;
    Compared.reset();
    CardChanged = false;
}

void TCardPageState::Ended(const TCardJobRecord& Record)
{
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

TDumpImage TCardPageState::Image() const
{
    TDumpImage image = Editing ? Editing->File : Card.value_or(TDumpImage{});
    for (const auto& [block, bytes] : Editing ? Editing->Edits : Edits)
        SetBlockAt(image, block, bytes);
    return image;
}

bool TCardPageState::Edited(int Block, const QString& Digits)
{
    const std::optional<TBlockImage> bytes = BlockOfDigits(Digits);
    if (!bytes || Block < 0 || Block >= CardBlocks)
        return false;
    if (Editing) {
        Editing->Edits[Block] = *bytes;
        // Typed back to what the file holds: no change to save.
        if (BlockAt(Editing->File, Block) == *bytes)
            Editing->Edits.erase(Block);
    } else {
        Edits[Block] = *bytes;
        DropEditsOnCard();
    }
    return true;
}

void TCardPageState::DropEditsOnCard()
{
    const TDumpImage card = Card.value_or(TDumpImage{});
    std::erase_if(Edits, [&card](const auto& Edit) { return BlockAt(card, Edit.first) == Edit.second; });
}

void TCardPageState::SavedDump(const TDumpImage& Saved, const QString& Path)
{
    if (!Editing)
        return;
    Editing->File = Saved;
    Editing->Path = Path;
    Editing->Edits.clear();
    Editing->Saved = true;
}
