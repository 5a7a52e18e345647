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
    return ReplaceFile(Path, Image, Error);
}

std::optional<TDumpBytes> ReadDump(const std::string& Path, std::string& Error)
{
    constexpr uint64_t noSize = ~uint64_t(0);
    uint64_t size = noSize;
    const auto content = ReadRegularFile(Path, DumpBytes, Error, &size);
    if (content && content->size() == DumpBytes) {
        TDumpBytes image;
        std::memcpy(image.data(), content->data(), DumpBytes);
        return image;
    }
    // Too large or too small: the size says what it is not.
    if (size != noSize && size != DumpBytes)
        Error = Path + " holds " + std::to_string(size) + " bytes, not a " + std::to_string(DumpBytes) + "-byte card dump";
    return std::nullopt;
}

} // namespace sim
