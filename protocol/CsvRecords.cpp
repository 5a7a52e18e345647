#include "protocol/CsvRecords.h"

#include <utility>

namespace {

bool LineEndAt(std::string_view Text, size_t I)
{
    return I < Text.size() && (Text[I] == '\n' || (Text[I] == '\r' && I + 1 < Text.size() && Text[I + 1] == '\n'));
}

bool Fail(TCsvFault& Fault, int Line, int Column, std::string Message)
{
    Fault = {Line, Column, std::move(Message)};
    return false;
}

// A quoted cell from its opening quote at I; I ends past the closing quote,
// Line on the line it ends on.
bool ReadQuotedCell(std::string_view Text, size_t& I, int& Line, int Column, TCsvCell& Cell, TCsvFault& Fault)
{
    Cell.Quoted = true;
    for (++I;; ++I) {
        if (I == Text.size())
            return Fail(Fault, Cell.Line, Column, "a quoted cell is not closed");
        if (Text[I] == '"') {
            if (I + 1 < Text.size() && Text[I + 1] == '"') {
                Cell.Text += '"';
                ++I;
                continue;
            }
            ++I;
            break;
        }
        Line += Text[I] == '\n';
        Cell.Text += Text[I];
    }
    if (I < Text.size() && Text[I] != ',' && !LineEndAt(Text, I))
        return Fail(Fault, Line, Column, "text after the closing quote of a cell");
    return true;
}

// A plain cell from I up to the next comma or line end.
bool ReadPlainCell(std::string_view Text, size_t& I, int Line, int Column, TCsvCell& Cell, TCsvFault& Fault)
{
    for (; I < Text.size() && Text[I] != ',' && !LineEndAt(Text, I); ++I) {
        if (Text[I] == '"')
            return Fail(Fault, Line, Column, "a quote in a cell that does not start with one");
        Cell.Text += Text[I];
    }
    return true;
}

} // namespace

bool SplitCsvRecords(std::string_view Text, std::vector<TCsvRecord>& Out, TCsvFault& Fault)
{
    size_t i = 0;
    int line = 1;
    while (i < Text.size()) {
        TCsvRecord record{line, {}};
        for (;;) {
            TCsvCell cell{{}, line, false};
            const int column = int(record.Cells.size()) + 1;
            const bool read = i < Text.size() && Text[i] == '"' ? ReadQuotedCell(Text, i, line, column, cell, Fault)
                                                                : ReadPlainCell(Text, i, line, column, cell, Fault);
            if (!read)
                return false;
            record.Cells.push_back(std::move(cell));
            if (i < Text.size() && Text[i] == ',') {
                ++i;
                continue;
            }
            if (i < Text.size()) {
                i += Text[i] == '\r' ? 2 : 1;
                ++line;
            }
            break;
        }
        Out.push_back(std::move(record));
    }
    while (!Out.empty() && Out.back().Blank())
        Out.pop_back();
    return true;
}
