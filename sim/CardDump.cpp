#include "sim/CardDump.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

namespace sim {

TDumpImage ImageOf(const TMifareCard& Card)
{
    TDumpImage image{};
    for (int b = 0; b < TMifareCard::Blocks; ++b)
        std::memcpy(image.data() + size_t(b) * BlockBytes, Card.Raw(b).data(), BlockBytes);
    return image;
}

void LoadImage(TMifareCard& Card, const TDumpImage& Image)
{
    for (int b = 0; b < TMifareCard::Blocks; ++b) {
        TBlockData block;
        std::memcpy(block.data(), Image.data() + size_t(b) * BlockBytes, BlockBytes);
        Card.SetRaw(b, block);
    }
    Card.Insert();
}

bool WriteDump(const std::string& Path, const TDumpImage& Image)
{
    const std::string tmp = Path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        if (!f.write(reinterpret_cast<const char*>(Image.data()), std::streamsize(Image.size())) || !f.flush()) {
            ::unlink(tmp.c_str());
            return false;
        }
    }
    if (std::rename(tmp.c_str(), Path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

std::optional<TDumpImage> ReadDump(const std::string& Path)
{
    std::ifstream f(Path, std::ios::binary);
    if (!f)
        return std::nullopt;
    // One byte more than a dump, to tell a longer file from a dump.
    std::array<char, DumpBytes + 1> bytes;
    f.read(bytes.data(), std::streamsize(bytes.size()));
    if (f.gcount() != std::streamsize(DumpBytes))
        return std::nullopt;
    TDumpImage image;
    std::memcpy(image.data(), bytes.data(), DumpBytes);
    return image;
}

} // namespace sim
