#pragma once
// What a whole-card job's result says, in the words the Card page and
// orvelle-card both use: one result is never told two ways.

#include "session/CardJobs.h"

#include <string>

// A job that found no card at its start.
extern const char* const NoCardText; // "no card in the reader's field"
// A write that changed no block of the card.
extern const char* const NothingWrittenText; // "nothing was written"

// The serial number as 8 hex digits: "12345678".
std::string SerialText(const TSerial& Serial);

// A sector's key as both faces show it in their tables. Where the trailer's
// access bits let key B be read, key B is data, not a key that opens the
// sector: the bytes the card showed (Trailers, as mapping saw them), then
// " (readable)". Otherwise the key found, and "-" where none is known.
std::string KeyCellText(const TSectorKeys& Keys, bool KeyB, const TDumpImage& Trailers, int Sector);

// "card and dump agree" only when the result agrees; otherwise "N of M known
// blocks compared, K differ", the blocks that differ, and the blocks not
// compared with why: "62 of 64 known blocks compared, 1 differ: block 9;
// not compared: block 18 read denied".
std::string CompareText(const TCompareResult& Result);

// "trailer unchanged", "trailer not confirmed", or nothing.
std::string TrailerNoteText(TTrailerNote Note);

// A trailer as it is now and as it would become, a line each ('\n' after
// every line): both keys, the access bits and byte 9, then the rights they
// give each block in words. What is not known of the card's is "unknown".
std::string TrailerChangeText(const TTrailerChange& Change);

// Progress numbers sectors as the results do: "sector 3 (4 of 16)".
std::string ProgressText(int Sector);

// "14 sectors done, sector 3 no key, sector 4 read denied, 2 not run": the
// results other than done in the order they first come, each with its
// sectors, and any trailer not confirmed.
std::string SectorResultsText(const TSectorOutcomes& Sectors);
