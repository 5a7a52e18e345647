// A batch card's result and a failure's headline, in the words both faces use.
#include "session/BatchJob.h"

std::string FailureHeadline(TFailCause Cause, int Sector, int Block)
{
    const std::string sector = Sector >= 0 ? "Sector " + std::to_string(Sector) : std::string("A sector");
    switch (Cause) {
    case TFailCause::None:
        return {};
    case TFailCause::NoKey:
        return "No key opens " + (Sector >= 0 ? "sector " + std::to_string(Sector) : std::string("a sector")) + " \u2014 put this card aside";
    case TFailCause::WriteRefused:
        return sector + " refused the write \u2014 put this card aside";
    case TFailCause::VerifyDiffers:
        return (Block >= 0 ? "Block " + std::to_string(Block) : std::string("A block")) + " read back other than written \u2014 put this card aside";
    case TFailCause::CardLeft:
        return "Card left the field \u2014 place it again";
    case TFailCause::ReaderGone:
        return "Reader gone \u2014 reconnecting";
    case TFailCause::ClaimLost:
        return "Claim released meanwhile \u2014 card written but not counted: put it aside";
    case TFailCause::Ledger:
        return "Ledger not written \u2014 card written but NOT recorded: put it aside";
    case TFailCause::Stopped:
        return "Stopped mid-card \u2014 put this card aside";
    }
    return {};
}

const char* BatchResultText(TBatchResult Result)
{
    switch (Result) {
    case TBatchResult::Done:
        return "done";
    case TBatchResult::Failed:
        return "failed";
    case TBatchResult::AlreadyPrepared:
        return "already prepared";
    case TBatchResult::NotRecorded:
        return "not recorded";
    }
    return "";
}
