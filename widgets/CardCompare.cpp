#include "widgets/CardCompare.h"

#include <QStringList>

#include <algorithm>

std::array<bool, CardViewBlockBytes> TCardViewBlock::DiffBytes() const
{
    std::array<bool, CardViewBlockBytes> differ{};
    if (Digits.size() != CardViewBlockDigits || DumpDigits.size() != CardViewBlockDigits)
        return differ;
    for (int i = 0; i < CardViewBlockDigits; ++i) {
        const QChar card = Digits[i].toUpper();
        const QChar dump = DumpDigits[i].toUpper();
        if (card != QLatin1Char('-') && dump != QLatin1Char('-') && card != dump)
            differ[size_t(i / 2)] = true;
    }
    return differ;
}

bool TCardViewBlock::Differs() const
{
    const std::array<bool, CardViewBlockBytes> differ = DiffBytes();
    return std::find(differ.begin(), differ.end(), true) != differ.end();
}

QString BlockDigitPairs(const QString& Digits)
{
    QString pairs;
    for (int i = 0; i < Digits.size(); i += 2) {
        if (i > 0)
            pairs += QLatin1Char(' ');
        pairs += Digits.mid(i, 2);
    }
    return pairs;
}

QString PlainBlockDigits(const QString& Text)
{
    QString digits;
    for (const QChar c : Text) {
        if (c == QLatin1Char(' '))
            continue;
        const QChar upper = c.toUpper();
        const bool hex = (upper >= QLatin1Char('0') && upper <= QLatin1Char('9'))
            || (upper >= QLatin1Char('A') && upper <= QLatin1Char('F')) || upper == QLatin1Char('-');
        if (!hex)
            return {};
        digits += upper;
    }
    return digits.size() == CardViewBlockDigits ? digits : QString();
}

QString BlockAsciiText(const QString& Digits)
{
    QString text;
    for (int i = 0; i + 1 < Digits.size(); i += 2) {
        const QString pair = Digits.mid(i, 2);
        bool ok = !pair.contains(QLatin1Char('-'));
        const uint byte = ok ? pair.toUInt(&ok, 16) : 0;
        text += ok && byte >= 0x20 && byte <= 0x7E ? QChar(char16_t(byte)) : QLatin1Char('.');
    }
    return text;
}

QString DifferingBytesText(const std::array<bool, CardViewBlockBytes>& Bytes)
{
    QStringList list;
    for (int i = 0; i < CardViewBlockBytes; ++i)
        if (Bytes[size_t(i)])
            list << QString::number(i);
    return list.size() == 1 ? QStringLiteral("byte %1 differs").arg(list[0])
                            : QStringLiteral("bytes %1 differ").arg(list.join(QStringLiteral(", ")));
}
