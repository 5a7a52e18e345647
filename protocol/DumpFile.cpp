#include "protocol/DumpFile.h"

#include "protocol/HexDigit.h"
#include "protocol/PlainText.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

constexpr std::string_view SectorTag = "+Sector:";
// Far more than any text dump of a 1K card; a larger file is not one.
constexpr size_t MaxTextBytes = 64 * 1024;
const std::string NotADump = "neither a card dump of 1024 bytes nor a text dump (+Sector: lines)";
// Of a bad line, as much as tells what it is.
constexpr size_t QuotedBytes = 40;

// A digit's value, 16 for the unknown digit "-", -1 for anything else.
int Nibble(char C) { return C == '-' ? 16 : HexDigitValue(C); }

std::string_view Trimmed(std::string_view Line)
{
    const size_t first = Line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return Line.substr(first, Line.find_last_not_of(" \t\r") - first + 1);
}

// A sector number of one or two decimal digits, 0..15.
std::optional<int> SectorNumber(std::string_view Text)
{
    Text = Trimmed(Text);
    if (Text.empty() || Text.size() > 2 || !std::all_of(Text.begin(), Text.end(), [](char C) { return C >= '0' && C <= '9'; }))
        return std::nullopt;
    const int n = Text.size() == 1 ? Text[0] - '0' : (Text[0] - '0') * 10 + Text[1] - '0';
    return n < SectorCount ? std::optional<int>(n) : std::nullopt;
}

std::optional<TDumpImage> ParseText(std::string_view Content, const std::string& FileName, TFileError& Error)
{
    TDumpImage image;
    std::array<bool, SectorCount> seen{};
    int sector = -1; // the sector being read, -1 before the first
    int rows = BlocksPerSector;
    int lineNo = 0;
    auto fail = [&](int Line, std::string Message) {
        Error = {FileName, Line, std::move(Message)};
        return std::nullopt;
    };
    while (!Content.empty()) {
        ++lineNo;
        const size_t end = Content.find('\n');
        const std::string_view line = Trimmed(Content.substr(0, end));
        Content = end == std::string_view::npos ? std::string_view() : Content.substr(end + 1);
        if (line.empty())
            continue;
        if (line.starts_with(SectorTag)) {
            if (rows < BlocksPerSector)
                return fail(lineNo, "sector " + std::to_string(sector) + " has " + std::to_string(rows) + " blocks, not 4");
            const std::optional<int> n = SectorNumber(line.substr(SectorTag.size()));
            if (!n)
                return fail(lineNo, "not a sector of a 1K card (0 to 15): " + PrintableText(line, QuotedBytes));
            if (seen[size_t(*n)])
                return fail(lineNo, "sector " + std::to_string(*n) + " a second time");
            seen[size_t(*n)] = true;
            sector = *n;
            rows = 0;
            continue;
        }
        if (sector < 0 || rows == BlocksPerSector)
            return fail(lineNo, sector < 0 ? "a block before the first +Sector: line" : "a fifth block in sector " + std::to_string(sector));
        if (line.size() != 2 * BlockBytes || !std::all_of(line.begin(), line.end(), [](char C) { return Nibble(C) >= 0; }))
            return fail(lineNo, "not a block of 32 hex digits ('-' where unknown): " + PrintableText(line, QuotedBytes));
        const int block = BlockOf(sector, rows++);
        for (int i = 0; i < 2 * BlockBytes; ++i) {
            const int v = Nibble(line[size_t(i)]);
            const int shift = i % 2 == 0 ? 4 : 0;
            if (v < 16) {
                image.Data[block][size_t(i / 2)] |= uint8_t(v << shift);
                image.Known[block][size_t(i / 2)] |= uint8_t(0x0F << shift);
            }
        }
    }
    if (rows < BlocksPerSector)
        return fail(lineNo, "sector " + std::to_string(sector) + " has " + std::to_string(rows) + " blocks, not 4");
    for (int s = 0; s < SectorCount; ++s) {
        if (!seen[size_t(s)])
            return fail(0, "sector " + std::to_string(s) + " is missing");
    }
    return image;
}

} // namespace

void TDumpImage::SetBlock(int Block, const TBlockData& Bytes) { SetBytes(Block, 0, Bytes.data(), BlockBytes); }

void TDumpImage::SetBytes(int Block, int Offset, const uint8_t* Bytes, int Count)
{
    std::memcpy(Data[size_t(Block)].data() + Offset, Bytes, size_t(Count));
    std::memset(Known[size_t(Block)].data() + Offset, 0xFF, size_t(Count));
}

bool TDumpImage::BlockKnown(int Block) const
{
    const TBlockData& k = Known[size_t(Block)];
    return std::all_of(k.begin(), k.end(), [](uint8_t B) { return B == 0xFF; });
}

bool TDumpImage::AllKnown() const
{
    for (int b = 0; b < CardBlocks; ++b) {
        if (!BlockKnown(b))
            return false;
    }
    return true;
}

TDumpImage ImageFromBinary(const TDumpBytes& Bytes)
{
    TDumpImage image;
    for (int b = 0; b < CardBlocks; ++b)
        image.SetBytes(b, 0, Bytes.data() + size_t(b) * BlockBytes, BlockBytes);
    return image;
}

TDumpBytes BinaryOf(const TDumpImage& Image)
{
    TDumpBytes bytes{};
    for (size_t b = 0; b < size_t(CardBlocks); ++b) {
        for (size_t i = 0; i < size_t(BlockBytes); ++i)
            bytes[b * BlockBytes + i] = Image.Data[b][i] & Image.Known[b][i];
    }
    return bytes;
}

std::string TextOf(const TDumpImage& Image)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (int s = 0; s < SectorCount; ++s) {
        text += std::string(SectorTag) + " " + std::to_string(s) + "\n";
        for (int row = 0; row < BlocksPerSector; ++row) {
            const int b = BlockOf(s, row);
            for (size_t i = 0; i < size_t(BlockBytes); ++i) {
                const uint8_t v = Image.Data[size_t(b)][i];
                const uint8_t k = Image.Known[size_t(b)][i];
                text += (k & 0xF0) ? digits[v >> 4] : '-';
                text += (k & 0x0F) ? digits[v & 0x0F] : '-';
            }
            text += '\n';
        }
    }
    return text;
}

std::optional<TDumpImage> ParseDump(std::string_view Content, const std::string& FileName, TFileError& Error)
{
    const std::string_view text = WithoutByteOrderMark(Content);
    if (text.starts_with(SectorTag))
        return ParseText(text, FileName, Error);
    if (Content.size() == DumpBytes) {
        TDumpBytes bytes;
        std::memcpy(bytes.data(), Content.data(), DumpBytes);
        return ImageFromBinary(bytes);
    }
    Error = {FileName, 0, NotADump};
    return std::nullopt;
}

std::optional<TDumpImage> ReadDumpFile(const std::string& Path, TFileError& Error)
{
    std::string error;
    uint64_t size = 0;
    const auto content = ReadRegularFile(Path, MaxTextBytes, error, &size);
    if (!content) {
        Error = {Path, 0, size > MaxTextBytes ? NotADump : error};
        return std::nullopt;
    }
    return ParseDump(std::string_view(reinterpret_cast<const char*>(content->data()), content->size()), Path, Error);
}

TDumpFormat DumpFormatForName(std::string_view Path)
{
    const auto endsWith = [&](std::string_view End) {
        return Path.size() >= End.size()
            && std::equal(End.begin(), End.end(), Path.end() - std::ptrdiff_t(End.size()),
                [](char A, char B) { return A == std::tolower(static_cast<unsigned char>(B)); });
    };
    return endsWith(".bin") || endsWith(".mfd") ? TDumpFormat::Binary : TDumpFormat::Text;
}

bool WriteDumpFile(const std::string& Path, const TDumpImage& Image, TDumpFormat Format, std::string& Error)
{
    if (Format == TDumpFormat::Binary) {
        // The binary form would turn every unknown digit into a known zero:
        // a key of zeros written back onto a card locks its sector.
        std::string blocks;
        int count = 0;
        for (int b = 0; b < CardBlocks; ++b) {
            if (Image.BlockKnown(b))
                continue;
            if (count++ > 0)
                blocks += ", ";
            blocks += std::to_string(b);
        }
        if (count > 0) {
            Error = Path + (count == 1 ? ": block " : ": blocks ") + blocks + (count == 1 ? " is" : " are")
                + " not fully known: save as text to keep the unknowns";
            return false;
        }
        const TDumpBytes bytes = BinaryOf(Image);
        return ReplaceFile(Path, bytes, Error);
    }
    const std::string text = TextOf(Image);
    return ReplaceFile(Path, {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, Error);
}
