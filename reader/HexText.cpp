// Hex text rules for typed fields and shown bytes.
#include "reader/HexText.h"

namespace {

// Only the ASCII hex digits count: full-width or other Unicode digits are
// not hex digits for the reader's fields.
int DigitValue(QChar C)
{
    const char16_t u = C.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    return -1;
}

} // namespace

THexResult HexToBytes(QStringView Text, uint8_t* Out, int Count)
{
    if (Count < 0 || Text.size() != qsizetype(Count) * 2)
        return THexResult::BadLength;
    for (int k = 0; k < Count; ++k) {
        const int high = DigitValue(Text[2 * k]);
        const int low = DigitValue(Text[2 * k + 1]);
        if (high < 0 || low < 0)
            return THexResult::BadDigit;
        Out[k] = uint8_t(high << 4 | low);
    }
    return THexResult::Ok;
}

QString BytesToHex(const uint8_t* Data, int Count)
{
    static const char digits[] = "0123456789ABCDEF";
    QString text;
    if (Count <= 0)
        return text;
    text.reserve(Count * 2);
    for (int i = 0; i < Count; ++i) {
        text.append(QChar(digits[Data[i] >> 4]));
        text.append(QChar(digits[Data[i] & 0x0F]));
    }
    return text;
}

std::optional<uint32_t> HexNumber(QStringView Text)
{
    if (Text.isEmpty() || Text.size() > 8)
        return std::nullopt;
    uint32_t value = 0;
    for (QChar c : Text) {
        const int digit = DigitValue(c);
        if (digit < 0)
            return std::nullopt;
        value = value << 4 | uint32_t(digit);
    }
    return value;
}

QString TrimText(const QString& Text)
{
    qsizetype first = 0;
    qsizetype last = Text.size();
    while (first < last && Text[first].unicode() <= 32)
        ++first;
    while (last > first && Text[last - 1].unicode() <= 32)
        --last;
    return Text.mid(first, last - first);
}
