#pragma once
// What a whole-card job's result says, in the words the Card page and
// orvelle-card both use: one result is never told two ways.

#include "session/CardJobs.h"

#include <string>

// A job that found no card at its start.
extern const char* const NoCardText; // "no card in the reader's field"
// A write that changed no block of the card.
extern const char* const NothingWrittenText; // "nothing was written"
// A job on a card that none of the keys tried opens anywhere, and what each
// face says to do then.
extern const char* const NoKeyOpensText;    // "no key opens any sector of this card"
extern const char* const NoKeyStepCardTool; // "add a key file with --keys"
extern const char* const NoKeyStepWindow;   // "choose a key file beside "Key file" on the Card page"
// Every sector's result is "no key".
bool NoKeyOpens(const TSectorOutcomes& Sectors);

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

// What writing the change's trailer makes impossible for ever, or nothing:
// "sector 5: after this no key can change this sector's access bits; after
// this block 21 cannot be read with either key".
std::string PermanentText(const TTrailerChange& Change);
// The same for every trailer of Dump known in full, "; " between sectors;
// empty when none locks anything for good.
std::string PermanentTrailersText(const TDumpImage& Dump);

// Progress numbers sectors as the results do: "sector 3 (4 of 16)".
std::string ProgressText(int Sector);

// "14 sectors done, sector 3 no key, sector 4 read denied, 2 not run": the
// results other than done in the order they first come, each with its
// sectors, and any trailer not confirmed.
std::string SectorResultsText(const TSectorOutcomes& Sectors);
