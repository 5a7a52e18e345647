// Hex text rules for typed fields and shown bytes.
#include "reader/HexText.h"

namespace {

// Only the ASCII hex digits count: full-width or other Unicode digits are
// not hex digits for the reader's fields.
int DigitValue(QChar C)
{
    const char16_t U = C.unicode();
    if (U >= u'0' && U <= u'9')
        return U - u'0';
    if (U >= u'A' && U <= u'F')
        return U - u'A' + 10;
    if (U >= u'a' && U <= u'f')
        return U - u'a' + 10;
    return -1;
}

} // namespace

THexResult HexToBytes(QStringView Text, uint8_t* Out, int Count)
{
    if (Count < 0 || Text.size() != qsizetype(Count) * 2)
        return THexResult::BadLength;
    for (int k = 0; k < Count; ++k) {
        const int High = DigitValue(Text[2 * k]);
        const int Low = DigitValue(Text[2 * k + 1]);
        if (High < 0 || Low < 0)
            return THexResult::BadDigit;
        Out[k] = uint8_t(High << 4 | Low);
    }
    return THexResult::Ok;
}

QString BytesToHex(const uint8_t* Data, int Count)
{
    static const char Digits[] = "0123456789ABCDEF";
    QString Text;
    if (Count <= 0)
        return Text;
    Text.reserve(Count * 2);
    for (int i = 0; i < Count; ++i) {
        Text.append(QChar(Digits[Data[i] >> 4]));
        Text.append(QChar(Digits[Data[i] & 0x0F]));
    }
    return Text;
}

std::optional<uint32_t> HexNumber(QStringView Text)
{
    if (Text.isEmpty() || Text.size() > 8)
        return std::nullopt;
    uint32_t Value = 0;
    for (QChar C : Text) {
        const int Digit = DigitValue(C);
        if (Digit < 0)
            return std::nullopt;
        Value = Value << 4 | uint32_t(Digit);
    }
    return Value;
}

QString TrimText(const QString& Text)
{
    qsizetype First = 0;
    qsizetype Last = Text.size();
    while (First < Last && Text[First].unicode() <= 32)
        ++First;
    while (Last > First && Text[Last - 1].unicode() <= 32)
        --Last;
    return Text.mid(First, Last - First);
}
