#pragma once
// A CSV text cut into records and cells by RFC 4180: quoted cells may hold
// commas, doubled quotes and line breaks; lines end in CRLF or LF. Each
// record and each cell keeps the line it starts on, so that a message can
// point at it. Empty lines at the end are dropped.

#include <string>
#include <string_view>
#include <vector>

struct TCsvCell {
    std::string Text; // quotes undone
    int Line = 0;     // where the cell starts
    bool Quoted = false;
};

struct TCsvRecord {
    int Line = 0;
    std::vector<TCsvCell> Cells;
    // An empty line: what an editor leaves at a file's end.
    bool Blank() const { return Cells.size() == 1 && !Cells[0].Quoted && Cells[0].Text.empty(); }
};

// Where a text is no CSV, and why.
struct TCsvFault {
    int Line = 0;
    int Column = 0; // 1-based
    std::string Message;
};

// False, with Fault set, on a quoted cell left open or a stray quote.
bool SplitCsvRecords(std::string_view Text, std::vector<TCsvRecord>& Out, TCsvFault& Fault);
