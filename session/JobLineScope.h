#pragma once
// TJobLineScope: the line as whole-card work wants it while the scope lasts,
// restored after: a reply is handed on as soon as a whole frame that checks
// is in, anything else once the line has been quiet IntervalMs (0 leaves the
// component's interval). The operator's own pages keep the component's
// settings. Scopes nest. The card jobs (CardJobs.h) and the production line
// (BatchJob.h) hold one for their length.

#include "serial/Comm.h"

#include <cstdint>

class TLinkSession;

class TJobLineScope {
public:
    TJobLineScope(TLinkSession& Session, uint32_t IntervalMs);
    ~TJobLineScope();
    TJobLineScope(const TJobLineScope&) = delete;
    TJobLineScope& operator=(const TJobLineScope&) = delete;

private:
    TComm& FDevice;
    uint32_t FInterval;
    TChunkWhole FWhole;
};
