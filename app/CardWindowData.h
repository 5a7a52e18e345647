#pragma once
// What the card window shows of the "Card" page's state: a row a block (its
// digits, what it is, which bytes belong together, the dump's digits where
// they differ), a row a sector (its keys and the last job's result) and a
// summary of what the window shows.

#include "protocol/DumpFile.h"
#include "session/CardWork.h"
#include "widgets/CardView.h"

#include <optional>

struct TCardPageState;

// A block's row: what it is, its parts, and Dump's digits where Against
// says it differs.
TCardViewBlock CardWindowRow(const TDumpImage& Image, int Block, const TCompareResult* Against = nullptr,
    const TDumpImage* Dump = nullptr);
// The whole window, with the keys of Map and a key B readable in Trailers
// (the map's card's, as mapping showed them).
TCardViewData CardWindowData(const TCardPageState& State, const std::optional<TKeyMap>& Map, const TDumpImage& Trailers);
