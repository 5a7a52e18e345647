#include "session/BatchLedger.h"

const char* FailCauseCode(TFailCause Cause)
{
    switch (Cause) {
    case TFailCause::None:
        return "";
    case TFailCause::NoKey:
        return "no-key";
    case TFailCause::WriteRefused:
        return "write-refused";
    case TFailCause::VerifyDiffers:
        return "verify-differs";
    case TFailCause::CardLeft:
        return "card-left";
    case TFailCause::ReaderGone:
        return "reader-gone";
    case TFailCause::ClaimLost:
        return "claim-lost";
    case TFailCause::Ledger:
        return "ledger";
    case TFailCause::Stopped:
        return "stopped";
    }
    return "";
}

TFailCause FailCauseOf(const QString& Code)
{
    for (const TFailCause cause : {TFailCause::NoKey, TFailCause::WriteRefused, TFailCause::VerifyDiffers, TFailCause::CardLeft,
             TFailCause::ReaderGone, TFailCause::ClaimLost, TFailCause::Ledger, TFailCause::Stopped}) {
        if (Code == QLatin1String(FailCauseCode(cause)))
            return cause;
    }
    return TFailCause::None;
}
