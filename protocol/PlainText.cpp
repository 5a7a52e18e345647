#include "protocol/PlainText.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";

unsigned char ByteAt(std::string_view Text, size_t I) { return static_cast<unsigned char>(Text[I]); }

// The length of the valid UTF-8 sequence at Text's start (no overlong form,
// no surrogate, nothing above U+10FFFF), 0 when there is none.
size_t SequenceLength(std::string_view Text)
{
    const unsigned char lead = ByteAt(Text, 0);
    if (lead < 0x80)
        return 1;
    size_t length = 0;
    unsigned char low = 0x80; // the second byte's bounds
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return 0;
    }
    if (Text.size() < length || ByteAt(Text, 1) < low || ByteAt(Text, 1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i) {
        if (ByteAt(Text, i) < 0x80 || ByteAt(Text, i) > 0xBF)
            return 0;
    }
    return length;
}

bool IsControl(unsigned char Byte) { return Byte < 0x20 || Byte == 0x7F; }

void AppendEscaped(std::string& Out, std::string_view Bytes)
{
    for (size_t i = 0; i < Bytes.size(); ++i) {
        char text[5];
        std::snprintf(text, sizeof text, "\\x%02X", ByteAt(Bytes, i));
        Out += text;
    }
}

} // namespace

std::string PrintableText(std::string_view Text, size_t MaxBytes)
{
    std::string out;
    size_t i = 0;
    while (i < Text.size() && i < MaxBytes) {
        const std::string_view rest = Text.substr(i);
        const size_t length = SequenceLength(rest);
        // U+0080 to U+009F are controls too: some terminals take them as
        // escape sequences.
        const bool control = length == 0 || (length == 1 && IsControl(ByteAt(rest, 0)))
            || (length == 2 && ByteAt(rest, 0) == 0xC2 && ByteAt(rest, 1) < 0xA0);
        const size_t take = std::max<size_t>(length, 1);
        if (control)
            AppendEscaped(out, rest.substr(0, take));
        else
            out += rest.substr(0, take);
        i += take;
    }
    if (i < Text.size())
        out += "...";
    return out;
}

bool IsPlainText(std::string_view Text)
{
    return std::none_of(Text.begin(), Text.end(), [](char C) {
        const auto byte = static_cast<unsigned char>(C);
        return IsControl(byte) && C != '\t' && C != '\n' && C != '\r';
    });
}

bool IsUtf8(std::string_view Text)
{
    for (size_t i = 0; i < Text.size();) {
        const size_t length = SequenceLength(Text.substr(i));
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

std::string_view WithoutByteOrderMark(std::string_view Text)
{
    return Text.starts_with(ByteOrderMark) ? Text.substr(ByteOrderMark.size()) : Text;
}
