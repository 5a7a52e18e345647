#include "sim/Faults.h"

#include "sim/ReaderEngine.h"

namespace sim {

namespace {

constexpr auto DefaultDelay = std::chrono::milliseconds(1000);
constexpr auto DefaultSplitPause = std::chrono::milliseconds(250);
const std::vector<uint8_t> NoiseBytes = {0xFF, 0x5A, 0x00};
// Sent instead of a refusal status that would read as success, for the one
// request code that is also StatusNoCard.
constexpr uint8_t OtherStatus = 0x02;

Clock::duration Pause(int DelayMs, Clock::duration Default)
{
    return DelayMs > 0 ? std::chrono::milliseconds(DelayMs) : Default;
}

} // namespace

bool CarriesOut(const std::optional<Fault>& F) { return !F || F->Kind != FaultKind::ErrorStatus; }

FaultedReply ApplyFault(const std::vector<uint8_t>& Reply, uint8_t Command, const std::optional<Fault>& F,
    Clock::time_point Now)
{
    FaultedReply out;
    out.CarriedOut = CarriesOut(F);
    auto send = [&out](Clock::time_point Due, std::vector<uint8_t> Bytes) {
        out.Pieces.push_back({Due, std::move(Bytes)});
    };
    if (!F) {
        send(Now, Reply);
        return out;
    }
    switch (F->Kind) {
    case FaultKind::NoReply:
        break;
    case FaultKind::BadChecksum: {
        std::vector<uint8_t> spoiled = Reply;
        if (!spoiled.empty())
            spoiled.back() = uint8_t(spoiled.back() + 1);
        send(Now, std::move(spoiled));
        break;
    }
    case FaultKind::ErrorStatus: {
        // A status of 0 or of the request's own code would read as success.
        uint8_t status = F->Status;
        if (status == 0 || status == Command)
            status = Command == StatusNoCard ? OtherStatus : StatusNoCard;
        send(Now, ReaderEngine::MakeReply(status));
        break;
    }
    case FaultKind::Delay:
        send(Now + Pause(F->DelayMs, DefaultDelay), Reply);
        break;
    case FaultKind::Split: {
        const auto half = Reply.begin() + ptrdiff_t(Reply.size() / 2);
        send(Now, {Reply.begin(), half});
        send(Now + Pause(F->DelayMs, DefaultSplitPause), {half, Reply.end()});
        break;
    }
    case FaultKind::Short:
        send(Now, {Reply.begin(), Reply.begin() + ptrdiff_t((Reply.size() + 1) / 2)});
        break;
    case FaultKind::Noise: {
        std::vector<uint8_t> noisy = NoiseBytes;
        noisy.insert(noisy.end(), Reply.begin(), Reply.end());
        send(Now, std::move(noisy));
        break;
    }
    }
    return out;
}

} // namespace sim
