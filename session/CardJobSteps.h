#pragma once
// What the files of the whole-card jobs share (CardJobSteps.cpp,
// CardJobsMap.cpp, CardJobsRead.cpp, CardJobsWrite.cpp): the key types, how a
// sector's outcome takes a failure or a cancel, and the frame every job and
// every sector runs in. Not for a face: it sees CardJobs.h.

#include "session/CardJobs.h"
#include "session/JobLineScope.h"
#include "session/LinkSession.h"

#include <algorithm>
#include <optional>
#include <span>
#include <utility>

namespace CardJobSteps {

inline constexpr int KeyA = 0;
inline constexpr int KeyB = 1;
inline uint8_t Source(int KeyType) { return KeyType == KeyA ? KeySources::TypedA : KeySources::TypedB; }

inline const std::optional<TKey>& KeyOf(const TSectorKeys& Keys, int KeyType) { return KeyType == KeyA ? Keys.KeyA : Keys.KeyB; }

// A sector's first failure is its result; a card gone outweighs any.
inline void Fail(TSectorOutcome& Out, TSectorResult Result, int Block)
{
    if (Out.Result == TSectorResult::Done || Result == TSectorResult::CardGone)
        Out.Result = Result;
    if (Block >= 0 && std::find(Out.Blocks.begin(), Out.Blocks.end(), Block) == Out.Blocks.end())
        Out.Blocks.push_back(Block);
}

// Cancelled inside a sector: a sector not done in full is not done; Blocks
// gets those not reached. A failure found before stays the result.
inline void CutShort(TSectorOutcome& Out, std::span<const int> NotReached)
{
    if (Out.Result == TSectorResult::Done)
        Out.Result = TSectorResult::NotRun;
    Out.Blocks.insert(Out.Blocks.end(), NotReached.begin(), NotReached.end());
}

// A key out of trailer bytes.
inline TKey KeyAt(const TBlockData& Trailer, int Offset)
{
    TKey key{};
    std::copy_n(Trailer.begin() + Offset, KeyBytes, key.begin());
    return key;
}

} // namespace CardJobSteps

// Defined here: every job file runs its jobs through them.
template <class TJob>
auto TCardJobs::Run(TJob&& Job) -> std::optional<decltype(Job())>
{
    std::optional<TOperationScope> scope;
    if (!GuardHeld) {
        scope.emplace(FSession);
        if (!*scope)
            return std::nullopt;
    }
    FCancelled = false;
    FActive = FStartOn.has_value();
    FGone = false;
    FSerial = std::exchange(FStartOn, std::nullopt);
    const TJobLineScope line(FSession, JobReadIntervalMs);
    return Job();
}

template <class TSectorJob>
TSectorOutcomes TCardJobs::EverySector(TSectorJob&& Job)
{
    TSectorOutcomes outcomes;
    for (int sector = 0; sector < SectorCount && !Stopping(); ++sector) {
        FEvents.Progress(sector);
        if (Stopping())
            break;
        TSectorOutcome& out = outcomes[size_t(sector)];
        if (FGone)
            out.Result = TSectorResult::CardGone;
        else
            out = Job(sector);
        FEvents.SectorResult(sector, out);
    }
    return outcomes;
}
