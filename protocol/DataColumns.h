#pragma once
// The columns of a batch's data file and what their cells hold. A column is
//  - "block N" (N a block of the card): each cell 32 hex digits, the block's
//    16 bytes;
//  - "value N": each cell a whole number in the signed 32-bit range, written
//    as a value block at N with N as its address byte;
//  - anything else: a label.
// DataColumnOf is the one rule for which names are data columns: the word
// "block" or "value" in any case, then the number, with or without spaces
// ("block 4", "Block4", "block 04"). MeantDataColumn tells a near miss: a
// word one edit from "block" or "value", then a number 1 to 63 ("blok 4",
// "vaule 8").

#include "protocol/CardLayout.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

enum class TColumnKind { Label,
    Block,
    Value };

struct TDataColumn {
    TColumnKind Kind = TColumnKind::Label;
    int Block = -1; // the block a Block or Value column writes; -1 for a label
    bool operator==(const TDataColumn&) const = default;
};

// What a name as a header spells it is: a Block or Value column with the
// number written (CardBlocks for any number past the card, so that the header
// can refuse it), or none for a label.
std::optional<TDataColumn> DataColumnOf(std::string_view Name);
// The data column a near miss seems to mean ("blok 4": "block 4"); none for
// a name that is a data column or plainly a label.
std::optional<std::string> MeantDataColumn(std::string_view Name);

// Text without the spaces and tabs around it, as names and cells are read.
std::string_view TrimBlanks(std::string_view Text);

// A block column's cell: 32 hex digits, blanks around aside.
std::optional<TBlockData> BlockOfCell(std::string_view Cell);

enum class TCellNumber { Good,
    NotANumber,
    OutOfRange };
// A value column's cell: a whole number, a sign allowed, blanks around
// aside; Value is set when Good.
TCellNumber ValueOfCell(std::string_view Cell, int32_t& Value);
