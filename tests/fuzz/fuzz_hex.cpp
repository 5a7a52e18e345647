// Throws arbitrary text at the hex rules and checks what must always hold:
// nothing is read or written out of bounds, and every accepted text means
// exactly the bytes (or number) that its digits say.
#include "reader/HexText.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int Digit(char16_t C)
{
    if (C >= u'0' && C <= u'9')
        return C - u'0';
    if (C >= u'A' && C <= u'F')
        return C - u'A' + 10;
    if (C >= u'a' && C <= u'f')
        return C - u'a' + 10;
    return -1;
}

void Check(bool Condition)
{
    if (!Condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    if (Size < 1)
        return 0;
    // The first byte picks the field size; the rest is UTF-16 text, so that
    // every code unit (controls, Unicode blanks and digits) can turn up.
    const int Count = Data[0] % 20;
    const size_t Units = (Size - 1) / 2;
    std::vector<char16_t> Chars(Units);
    if (Units)
        std::memcpy(Chars.data(), Data + 1, Units * 2);
    const QString Text = QString::fromUtf16(Chars.data(), qsizetype(Units));

    // HexToBytes: the length decides first, then the pairs in order.
    std::vector<uint8_t> Out(size_t(Count) + 1, 0xA5); // one guard byte past the field
    const THexResult R = HexToBytes(Text, Out.data(), Count);
    Check(Out[size_t(Count)] == 0xA5);
    if (Text.size() != 2 * Count) {
        Check(R == THexResult::BadLength);
    } else {
        int FirstBad = -1;
        for (int k = 0; k < Count && FirstBad < 0; ++k)
            if (Digit(Text[2 * k].unicode()) < 0 || Digit(Text[2 * k + 1].unicode()) < 0)
                FirstBad = k;
        Check(R == (FirstBad < 0 ? THexResult::Ok : THexResult::BadDigit));
        const int Done = FirstBad < 0 ? Count : FirstBad;
        for (int k = 0; k < Done; ++k)
            Check(Out[size_t(k)] == uint8_t(Digit(Text[2 * k].unicode()) << 4 | Digit(Text[2 * k + 1].unicode())));
        for (int k = Done; k < Count; ++k)
            Check(Out[size_t(k)] == 0xA5);
        if (R == THexResult::Ok) {
            // Shown again, the bytes give the same text in upper case.
            Check(BytesToHex(Out.data(), Count) == Text.toUpper());
        }
    }

    // HexNumber: 1 to 8 digits, nothing else.
    const std::optional<uint32_t> N = HexNumber(Text);
    bool AllDigits = !Text.isEmpty() && Text.size() <= 8;
    uint32_t Expect = 0;
    for (QChar C : Text) {
        if (!AllDigits)
            break;
        const int D = Digit(C.unicode());
        AllDigits = D >= 0;
        Expect = Expect << 4 | uint32_t(D);
    }
    Check(N.has_value() == AllDigits);
    if (N)
        Check(*N == Expect);

    // TrimText: a middle part of the text without codes <= 32 at its ends.
    const QString T = TrimText(Text);
    Check(Text.contains(T));
    if (!T.isEmpty()) {
        Check(T.front().unicode() > 32 && T.back().unicode() > 32);
        const qsizetype Lead = Text.indexOf(T);
        for (qsizetype i = 0; i < Lead; ++i)
            Check(Text[i].unicode() <= 32);
    } else {
        for (QChar C : Text)
            Check(C.unicode() <= 32);
    }
    return 0;
}
