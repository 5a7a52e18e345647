#pragma once
// orvelle-card's command table and option table. A new command is one row
// of the command table (Commands.cpp) and one member of TCardTool that runs
// it; a new option, one row of the option table, named in the rows of the
// commands it belongs to unless its scope says which.

#include "cardtool/CardCommand.h"

#include <QString>

#include <span>

// In the order --help lists them.
std::span<const TCardCommand> CardCommands();
std::span<const TCardOption> CardOptionTable();
// The command of that name; none for an unknown one.
const TCardCommand* FindCardCommand(const QString& Name);
