#include "session/JobLineScope.h"

#include "protocol/Frame.h"
#include "session/LinkSession.h"

TJobLineScope::TJobLineScope(TLinkSession& Session, uint32_t IntervalMs)
    : FDevice(Session.Device())
    , FInterval(FDevice.ReadIntervalTimeout())
    , FWhole(FDevice.FirstChunkWhole())
{
    if (IntervalMs != 0)
        FDevice.SetReadIntervalTimeout(IntervalMs);
    FDevice.SetFirstChunkWhole(&StartsWithWholeFrame);
}

TJobLineScope::~TJobLineScope()
{
    FDevice.SetReadIntervalTimeout(FInterval);
    FDevice.SetFirstChunkWhole(FWhole);
}
