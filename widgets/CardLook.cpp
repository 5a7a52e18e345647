#include "widgets/CardLook.h"

#include <QFontDatabase>
#include <QPalette>

namespace {

// Fixed hues the tints lean towards; how far depends on the role. None of
// them is the palette's Highlight, so nothing reads as selected.
const QColor DifferenceHue(220, 40, 40);
const QColor KeyAHue(40, 170, 70);
const QColor AccessHue(230, 160, 0);
const QColor KeyBHue(0, 160, 170);
// How much of the hue a tint takes: parts lightly, differences boldly.
constexpr double PartShare = 0.22;
constexpr double DifferenceShare = 0.45;
constexpr double DarkDifferenceShare = 0.6;

QColor Blend(const QColor& From, const QColor& To, double Share)
{
    const auto mix = [Share](float A, float B) { return float(A * (1.0 - Share) + B * Share); };
    return QColor::fromRgbF(mix(From.redF(), To.redF()), mix(From.greenF(), To.greenF()),
        mix(From.blueF(), To.blueF()));
}

} // namespace

QColor CardDifferenceColour(const QPalette& Palette)
{
    // On a dark base the red needs a larger share to stand out as much.
    const QColor base = Palette.color(QPalette::Base);
    return Blend(base, DifferenceHue, base.lightnessF() < 0.5 ? DarkDifferenceShare : DifferenceShare);
}

QColor CardPartColour(const QPalette& Palette, TByteRole Role)
{
    const QColor base = Palette.color(QPalette::Base);
    switch (Role) {
    case TByteRole::KeyA:
        return Blend(base, KeyAHue, PartShare);
    case TByteRole::Access:
        return Blend(base, AccessHue, PartShare);
    case TByteRole::Spare:
        return Blend(base, Palette.color(QPalette::Text), PartShare / 2);
    case TByteRole::KeyB:
        return Blend(base, KeyBHue, PartShare);
    default:
        return base;
    }
}

bool CardPartTinted(TByteRole Role)
{
    return Role == TByteRole::KeyA || Role == TByteRole::Access || Role == TByteRole::Spare || Role == TByteRole::KeyB;
}

QFont CardDigitsFont(const QFont& ViewFont)
{
    QFont digits = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (ViewFont.pixelSize() > 0)
        digits.setPixelSize(ViewFont.pixelSize());
    else
        digits.setPointSizeF(ViewFont.pointSizeF());
    return digits;
}
