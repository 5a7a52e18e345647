#pragma once
// How the card view looks under the current palette and font: the tints of
// a block's parts, the colour of a difference, the face of the digits. The
// tints are Base leaning towards a hue while the text keeps the palette's
// Text, so a dark theme reads as a light one; none of them is the
// selection's colour.

#include "widgets/CardCompare.h"

#include <QColor>
#include <QFont>

class QPalette;

// The background of a differing byte and its mark.
QColor CardDifferenceColour(const QPalette& Palette);
// The tint of a part of a block; Base for parts that are not tinted.
QColor CardPartColour(const QPalette& Palette, TByteRole Role);
bool CardPartTinted(TByteRole Role);
// Hex digits in the system's fixed-width face, as large as ViewFont.
QFont CardDigitsFont(const QFont& ViewFont);
