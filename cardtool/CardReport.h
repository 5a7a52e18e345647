#pragma once
// What orvelle-card prints: the results as a table or as JSON on standard
// output, and a trailer change for the operator to approve. Plain text
// builders, so that the shapes stay in one place.
//
// The JSON shape (one object; every key always present for its command):
//   {"command": "keys"|"read"|"write"|"diff",
//    "interrupted": false,
//    "sectors": [{"sector": 0..15,
//                 "keyA": "12 hex digits" or null, "keyB": ... or null,
//                 "result": a SectorResultText word,
//                 "blocks": [card block numbers the result is about],
//                 write only: "unknown": [data blocks left alone, the dump
//                   not knowing all their digits], "trailerDeclined": bool,
//                 diff only: "differing": [blocks of the sector that differ]}
//                ... 16 of them],
//    diff only: "differing": [every block that differs], "agree": bool,
//    "exit": the exit status}
// A command that ends without results (exit 2, 3 or 4) prints instead
//   {"error": "what went wrong", "exit": the exit status}

#include "cardtool/CardCommandLine.h"
#include "session/CardJobs.h"

#include <string>
#include <string_view>
#include <vector>

struct TSectorReport {
    TSectorKeys Keys;
    TSectorOutcome Outcome;
    bool TrailerDeclined = false; // write
    std::vector<int> Differing;   // diff
};

struct TCardReport {
    TCardCommand Command = TCardCommand::Keys;
    bool Interrupted = false;
    std::array<TSectorReport, SectorCount> Sectors;
    bool Agree = false; // diff: no block differs and the card was read to the end
    int Exit = 0;       // the exit status the results give
};

// A column each for the sector, its keys ("-" when unknown), the result and
// the blocks it is about; diff adds the differing blocks and a last line
// that says whether the card and the dump agree.
std::string TableOf(const TCardReport& Report);
std::string JsonOf(const TCardReport& Report);
// The document of a command that ends without results.
std::string JsonErrorOf(const std::string& Error, int Exit);
// Text as a JSON string, quotes included: what JSON must escape escaped,
// control characters and bytes that are no UTF-8 shown as \xHH.
std::string JsonStringOf(std::string_view Text);

// The trailer, its access conditions and the rights they give each block,
// some lines ending in '\n'.
std::string TrailerChangeText(const TTrailerChange& Change);
