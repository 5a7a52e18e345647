// What a card job's result says: the words of a sector's result, the keys a
// job tries, and when a write claims to be whole.
#include "session/CardJobs.h"

#include <algorithm>

const char* SectorResultText(TSectorResult Result)
{
    switch (Result) {
    case TSectorResult::NotRun:
        return "not run";
    case TSectorResult::Done:
        return "done";
    case TSectorResult::NoKey:
        return "no key";
    case TSectorResult::ReadDenied:
        return "read denied";
    case TSectorResult::WriteRefused:
        return "write refused";
    case TSectorResult::VerifyFailed:
        return "verify failed";
    case TSectorResult::CardGone:
        return "card gone";
    case TSectorResult::NothingToWrite:
        return "nothing to write";
    }
    return "?";
}

TKeyList JobKeys(std::span<const TKey> FileKeys, const TDumpImage* Dump, bool BuiltIn)
{
    TKeyList keys = Dump ? DumpKeys(*Dump) : TKeyList{};
    AddKeys(keys, FileKeys);
    return CandidateKeys(keys, BuiltIn);
}

bool TWriteResult::Wrote() const
{
    return std::any_of(Sectors.begin(), Sectors.end(), [](const TSectorOutcome& S) { return !S.Written.empty(); });
}

bool TWriteResult::Complete() const
{
    return Wrote() && std::all_of(Sectors.begin(), Sectors.end(), [](const TSectorOutcome& S) {
        return (S.Result == TSectorResult::Done || S.Result == TSectorResult::NothingToWrite)
            && S.Trailer != TTrailerNote::Declined;
    });
}
