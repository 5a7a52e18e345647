#include "protocol/DumpFile.h"

#include "protocol/HexDigit.h"
#include "protocol/JsonReader.h"
#include "protocol/PlainText.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

constexpr std::string_view SectorTag = "+Sector:";
// Far more than any text dump of a 1K card, enough for a 4K card's JSON dump
// to be told by its size; a larger file is not a dump.
constexpr size_t MaxTextBytes = 256 * 1024;
const std::string NotADump = "neither a card dump of 1024 bytes nor a text (+Sector: lines), .eml or JSON dump";
// Of a bad line, as much as tells what it is.
constexpr size_t QuotedBytes = 40;
constexpr char UpperDigits[] = "0123456789ABCDEF";

// The cards of other sizes whose dumps are seen, by their blocks (of 16
// bytes each in the binary form).
struct TOtherCard {
    int Blocks;
    const char* Name;
};
constexpr TOtherCard OtherCards[] = {{256, "4K"}, {128, "2K"}, {20, "Mini"}};

std::string OtherCardDump(const char* Name) { return std::string("a ") + Name + " card's dump: Orvelle works with 1K cards"; }

// The card a dump of Blocks blocks is of, when it is no 1K card's.
const TOtherCard* OtherCardOf(size_t Blocks)
{
    for (const TOtherCard& card : OtherCards) {
        if (size_t(card.Blocks) == Blocks)
            return &card;
    }
    return nullptr;
}

// A digit's value, 16 for the unknown digit "-", -1 for anything else.
int Nibble(char C) { return C == '-' ? 16 : HexDigitValue(C); }

bool IsBlockText(std::string_view Text)
{
    return Text.size() == 2 * BlockBytes && std::all_of(Text.begin(), Text.end(), [](char C) { return Nibble(C) >= 0; });
}

const std::string BadBlock = "not a block of 32 hex digits ('-' where unknown): ";

// Sets Block from 32 digits (IsBlockText), each unknown where it is '-'.
void SetBlockText(TDumpImage& Image, int Block, std::string_view Text)
{
    for (size_t i = 0; i < 2 * BlockBytes; ++i) {
        const int v = Nibble(Text[i]);
        const int shift = i % 2 == 0 ? 4 : 0;
        if (v < 16) {
            Image.Data[size_t(Block)][i / 2] |= uint8_t(v << shift);
            Image.Known[size_t(Block)][i / 2] |= uint8_t(0x0F << shift);
        }
    }
}

// 32 upper-case digits, '-' for each unknown one.
std::string BlockText(const TDumpImage& Image, int Block)
{
    std::string text;
    for (size_t i = 0; i < size_t(BlockBytes); ++i) {
        const uint8_t v = Image.Data[size_t(Block)][i];
        const uint8_t k = Image.Known[size_t(Block)][i];
        text += (k & 0xF0) ? UpperDigits[v >> 4] : '-';
        text += (k & 0x0F) ? UpperDigits[v & 0x0F] : '-';
    }
    return text;
}

std::string_view Trimmed(std::string_view Line)
{
    const size_t first = Line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return Line.substr(first, Line.find_last_not_of(" \t\r") - first + 1);
}

// The lines of a text form, trimmed, with their numbers; blank lines and
// '#' comments are skipped.
class TLines {
public:
    explicit TLines(std::string_view Content)
        : FRest(Content)
    {
    }
    bool Next(std::string_view& Line)
    {
        while (!FRest.empty()) {
            ++FNumber;
            const size_t end = FRest.find('\n');
            Line = Trimmed(FRest.substr(0, end));
            FRest = end == std::string_view::npos ? std::string_view() : FRest.substr(end + 1);
            if (!Line.empty() && Line[0] != '#')
                return true;
        }
        return false;
    }
    int Number() const { return FNumber; }

private:
    std::string_view FRest;
    int FNumber = 0;
};

// A sector number of one or two decimal digits.
std::optional<int> SectorNumber(std::string_view Text)
{
    Text = Trimmed(Text);
    if (Text.empty() || Text.size() > 2 || !std::all_of(Text.begin(), Text.end(), [](char C) { return C >= '0' && C <= '9'; }))
        return std::nullopt;
    return Text.size() == 1 ? Text[0] - '0' : (Text[0] - '0') * 10 + Text[1] - '0';
}

// A 2K card has sectors 0 to 31, a 4K card 0 to 39.
constexpr int Sectors2K = 32;
constexpr int Sectors4K = 40;

struct TFail {
    const std::string& FileName;
    TFileError& Error;
    std::nullopt_t operator()(int Line, std::string Message) const
    {
        Error = {FileName, Line, std::move(Message)};
        return std::nullopt;
    }
};

std::optional<TDumpImage> ParseText(std::string_view Content, const TFail& Fail)
{
    TDumpImage image;
    std::array<bool, SectorCount> seen{};
    int sector = -1; // the sector being read, -1 before the first
    int rows = BlocksPerSector;
    TLines lines(Content);
    std::string_view line;
    while (lines.Next(line)) {
        const int lineNo = lines.Number();
        if (line.starts_with(SectorTag)) {
            if (rows < BlocksPerSector)
                return Fail(lineNo, "sector " + std::to_string(sector) + " has " + std::to_string(rows) + " blocks, not 4");
            const std::optional<int> n = SectorNumber(line.substr(SectorTag.size()));
            if (n && *n >= SectorCount && *n < Sectors4K) {
                // The highest sector named tells a 2K card's dump from a 4K card's.
                int highest = *n;
                for (std::string_view rest; lines.Next(rest);) {
                    const std::optional<int> m = rest.starts_with(SectorTag) ? SectorNumber(rest.substr(SectorTag.size())) : std::nullopt;
                    if (m && *m < Sectors4K)
                        highest = std::max(highest, *m);
                }
                return Fail(lineNo, OtherCardDump(highest < Sectors2K ? "2K" : "4K"));
            }
            if (!n || *n >= SectorCount)
                return Fail(lineNo, "not a sector of a 1K card (0 to 15): " + PrintableText(line, QuotedBytes));
            if (seen[size_t(*n)])
                return Fail(lineNo, "sector " + std::to_string(*n) + " a second time");
            seen[size_t(*n)] = true;
            sector = *n;
            rows = 0;
            continue;
        }
        if (sector < 0 || rows == BlocksPerSector)
            return Fail(lineNo, sector < 0 ? "a block before the first +Sector: line" : "a fifth block in sector " + std::to_string(sector));
        if (!IsBlockText(line))
            return Fail(lineNo, BadBlock + PrintableText(line, QuotedBytes));
        SetBlockText(image, BlockOf(sector, rows++), line);
    }
    if (rows < BlocksPerSector)
        return Fail(lines.Number(), "sector " + std::to_string(sector) + " has " + std::to_string(rows) + " blocks, not 4");
    return image;
}

std::optional<TDumpImage> ParseEml(std::string_view Content, const TFail& Fail)
{
    TDumpImage image;
    size_t blocks = 0;
    TLines lines(Content);
    for (std::string_view line; lines.Next(line); ++blocks) {
        if (!IsBlockText(line))
            return Fail(lines.Number(), BadBlock + PrintableText(line, QuotedBytes));
        if (blocks < size_t(CardBlocks))
            SetBlockText(image, int(blocks), line);
    }
    if (const TOtherCard* other = OtherCardOf(blocks))
        return Fail(0, OtherCardDump(other->Name));
    if (blocks != size_t(CardBlocks))
        return Fail(0, "an .eml dump of " + std::to_string(blocks) + " blocks, not the 64 of a 1K card");
    return image;
}

// A block's number as a JSON dump names it: decimal digits, no sign.
std::optional<int> BlockNumber(std::string_view Text)
{
    if (Text.empty() || Text.size() > 4 || !std::all_of(Text.begin(), Text.end(), [](char C) { return C >= '0' && C <= '9'; }))
        return std::nullopt;
    int n = 0;
    for (const char c : Text)
        n = n * 10 + (c - '0');
    return n;
}

std::optional<TDumpImage> ParseJsonDump(std::string_view Content, const TFail& Fail)
{
    int errorLine = 0;
    std::string error;
    const std::optional<TJsonValue> root = ParseJson(Content, errorLine, error);
    if (!root)
        return Fail(errorLine, error);
    const TJsonValue* blocks = root->Member("blocks");
    if (root->Kind != TJsonValue::Object || !blocks || blocks->Kind != TJsonValue::Object)
        return Fail(root->Line, "a JSON dump without its \"blocks\" object");
    // Which of two would be the card is anyone's guess: refused like a block named twice.
    for (const TJsonMember& member : root->Members) {
        if (member.Name == "blocks" && &member.Value != blocks)
            return Fail(member.Value.Line, "\"blocks\" a second time");
    }
    // The tool writes the dumps of other kinds of card alike.
    if (const TJsonValue* type = root->Member("FileType"); type && type->Text != "mfcard")
        return Fail(type->Line, "a JSON dump of another kind of card (\"FileType\": \"" + PrintableText(type->Text, QuotedBytes) + "\"), not of a MIFARE Classic card (\"mfcard\")");
    TDumpImage image;
    std::array<bool, CardBlocks> seen{};
    for (const auto& [name, value] : blocks->Members) {
        const std::optional<int> block = BlockNumber(name);
        if (!block)
            return Fail(value.Line, "not a block number: \"" + PrintableText(name, QuotedBytes) + "\"");
        if (value.Kind != TJsonValue::String || !IsBlockText(value.Text)) {
            std::string why = "block " + name;
            why += ": ";
            why += BadBlock;
            why += PrintableText(value.Text, QuotedBytes);
            return Fail(value.Line, why);
        }
        if (*block >= CardBlocks)
            continue; // another card's block: the count below says which card
        if (seen[size_t(*block)])
            return Fail(value.Line, "block " + name + " a second time");
        seen[size_t(*block)] = true;
        SetBlockText(image, *block, value.Text);
    }
    if (const TOtherCard* other = OtherCardOf(blocks->Members.size()))
        return Fail(0, OtherCardDump(other->Name));
    for (const auto& [name, value] : blocks->Members) {
        if (BlockNumber(name) >= CardBlocks)
            return Fail(value.Line, "block " + name + " is not a block of a 1K card (0 to 63)");
    }
    for (int b = 0; b < CardBlocks; ++b) {
        if (!seen[size_t(b)])
            return Fail(blocks->Line, "block " + std::to_string(b) + " is missing");
    }
    if (const TJsonValue* card = root->Member("Card"); card && card->Kind == TJsonValue::Object) {
        if (const TJsonValue* uid = card->Member("UID")) {
            const std::string& text = uid->Text;
            const bool hex = std::all_of(text.begin(), text.end(), [](char C) { return HexDigitValue(C) >= 0; });
            if (uid->Kind != TJsonValue::String || text.empty() || text.size() % 2 != 0 || text.size() > 20 || !hex)
                return Fail(uid->Line, "the card's \"UID\" is no serial number of hex digits: " + PrintableText(text, QuotedBytes));
            for (size_t i = 0; i < text.size(); i += 2)
                image.Serial.push_back(uint8_t(HexDigitValue(text[i]) << 4 | HexDigitValue(text[i + 1])));
        }
    }
    return image;
}

// The first line that is no comment.
std::string_view FirstLine(std::string_view Content)
{
    TLines lines(Content);
    std::string_view line;
    return lines.Next(line) ? line : std::string_view();
}

// Quotes Text as a JSON string; the dumps' own strings are plain ASCII.
std::string JsonString(std::string_view Text)
{
    // Appended piece by piece: GCC 12 at -O3 takes "\"" + std::string as an
    // overlapping copy (-Wrestrict), a false alarm the release build makes fatal.
    std::string quoted;
    quoted.reserve(Text.size() + 2);
    quoted.push_back('"');
    quoted.append(Text);
    quoted.push_back('"');
    return quoted;
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
    std::string text;
    for (int s = 0; s < SectorCount; ++s) {
        text += std::string(SectorTag) + " " + std::to_string(s) + "\n";
        for (int row = 0; row < BlocksPerSector; ++row)
            text += BlockText(Image, BlockOf(s, row)) + "\n";
    }
    return text;
}

std::string EmlOf(const TDumpImage& Image)
{
    const TDumpImage known = ImageFromBinary(BinaryOf(Image));
    std::string text;
    for (int b = 0; b < CardBlocks; ++b)
        text += BlockText(known, b) + "\n";
    return text;
}

std::vector<uint8_t> DumpSerial(const TDumpImage& Image)
{
    const TDumpBytes bytes = BinaryOf(Image);
    if ((bytes[0] ^ bytes[1] ^ bytes[2] ^ bytes[3]) == bytes[4])
        return {bytes.begin(), bytes.begin() + 4};
    if (!Image.Serial.empty())
        return Image.Serial;
    return {bytes.begin(), bytes.begin() + 7};
}

std::string JsonOf(const TDumpImage& Image)
{
    const TDumpImage known = ImageFromBinary(BinaryOf(Image));
    std::string serial;
    for (const uint8_t b : DumpSerial(Image)) {
        serial += UpperDigits[b >> 4];
        serial += UpperDigits[b & 0x0F];
    }
    std::string text = "{\n  \"Created\": \"orvelle\",\n  \"FileType\": \"mfcard\",\n  \"Card\": {\n    \"UID\": "
        + JsonString(serial) + "\n  },\n  \"blocks\": {\n";
    for (int b = 0; b < CardBlocks; ++b)
        text += "    " + JsonString(std::to_string(b)) + ": " + JsonString(BlockText(known, b)) + (b + 1 < CardBlocks ? ",\n" : "\n");
    return text + "  }\n}\n";
}

std::optional<TDumpImage> ParseDump(std::string_view Content, const std::string& FileName, TFileError& Error)
{
    const TFail fail{FileName, Error};
    // Whatever a card holds makes binary bytes that are no text: those are
    // not mistaken for a text form that a first byte happens to resemble.
    const TOtherCard* other = Content.size() % BlockBytes == 0 ? OtherCardOf(Content.size() / BlockBytes) : nullptr;
    const bool binary = (Content.size() == DumpBytes || other) && !IsPlainText(Content);
    const std::string_view text = WithoutByteOrderMark(Content);
    const std::string_view first = binary ? std::string_view() : FirstLine(text);
    if (first.starts_with(SectorTag))
        return ParseText(text, fail);
    if (first.starts_with("{"))
        return ParseJsonDump(text, fail);
    if (IsBlockText(first))
        return ParseEml(text, fail);
    if (Content.size() == DumpBytes) {
        TDumpBytes bytes;
        std::memcpy(bytes.data(), Content.data(), DumpBytes);
        return ImageFromBinary(bytes);
    }
    if (other)
        return fail(0, OtherCardDump(other->Name));
    return fail(0, NotADump);
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
    if (endsWith(".bin") || endsWith(".mfd") || endsWith(".raw") || endsWith(".dump"))
        return TDumpFormat::Binary;
    if (endsWith(".eml"))
        return TDumpFormat::Eml;
    if (endsWith(".json"))
        return TDumpFormat::Json;
    return TDumpFormat::Text;
}

std::optional<TDumpFormat> DumpFormatNamed(std::string_view Word)
{
    if (Word == "bin")
        return TDumpFormat::Binary;
    if (Word == "text")
        return TDumpFormat::Text;
    if (Word == "eml")
        return TDumpFormat::Eml;
    if (Word == "json")
        return TDumpFormat::Json;
    return std::nullopt;
}

bool WriteDumpFile(const std::string& Path, const TDumpImage& Image, TDumpFormat Format, std::string& Error)
{
    std::string content;
    switch (Format) {
    case TDumpFormat::Text:
        content = TextOf(Image);
        break;
    case TDumpFormat::Eml:
        content = EmlOf(Image);
        break;
    case TDumpFormat::Json:
        content = JsonOf(Image);
        break;
    case TDumpFormat::Binary: {
        const TDumpBytes bytes = BinaryOf(Image);
        content.resize(bytes.size());
        std::memcpy(content.data(), bytes.data(), bytes.size());
        break;
    }
    }
    if (Format != TDumpFormat::Text) {
        // These forms would turn every unknown digit into a known zero: a
        // key of zeros written back onto a card locks its sector.
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
    }
    return ReplaceFile(Path, {reinterpret_cast<const uint8_t*>(content.data()), content.size()}, Error);
}
