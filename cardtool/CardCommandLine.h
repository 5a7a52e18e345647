#pragma once
// orvelle-card's command line, read before any port is opened: a mistake
// here sends nothing to the reader.

#include "cardtool/CardOptions.h"

#include <QString>
#include <QStringList>

// Args as the program got them, the program's name first.
TCardOptions ParseCardCommandLine(const QStringList& Args);
// The whole --help text.
QString CardUsage();
