#include "sim/CardDump.h"

#include <cstring>

namespace sim {

static_assert(TMifareCard::Blocks == CardBlocks);

TDumpBytes ImageOf(const TMifareCard& Card)
{
    TDumpBytes image{};
    for (int b = 0; b < TMifareCard::Blocks; ++b)
        std::memcpy(image.data() + size_t(b) * BlockBytes, Card.Raw(b).data(), BlockBytes);
    return image;
}

void LoadImage(TMifareCard& Card, const TDumpBytes& Image)
{
    for (int b = 0; b < TMifareCard::Blocks; ++b) {
        TBlockData block;
        std::memcpy(block.data(), Image.data() + size_t(b) * BlockBytes, BlockBytes);
        Card.SetRaw(b, block);
    }
    Card.Insert();
}

bool WriteDump(const std::string& Path, const TDumpBytes& Image, std::string& Error)
{
    return WriteDumpFile(Path, ImageFromBinary(Image), DumpFormatForName(Path), Error);
}

std::optional<TDumpBytes> ReadDump(const std::string& Path, std::string& Error)
{
    TFileError error;
    const std::optional<TDumpImage> image = ReadDumpFile(Path, error);
    if (!image) {
        Error = error.Text();
        return std::nullopt;
    }
    // A card holds every byte: a text dump with unknown digits is no card.
    if (!image->AllKnown()) {
        Error = Path + " leaves digits unknown ('-'): a card needs all of them";
        return std::nullopt;
    }
    return BinaryOf(*image);
}

} // namespace sim
