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

TClock::duration Pause(int DelayMs, TClock::duration Default)
{
    return DelayMs > 0 ? std::chrono::milliseconds(DelayMs) : Default;
}

} // namespace

bool CarriesOut(const std::optional<TFault>& Fault) { return !Fault || Fault->Kind != TFaultKind::ErrorStatus; }

TFaultedReply ApplyFault(const std::vector<uint8_t>& Reply, uint8_t Command, const std::optional<TFault>& Fault,
    TClock::time_point Now)
{
    TFaultedReply out;
    out.CarriedOut = CarriesOut(Fault);
    auto send = [&out](TClock::time_point Due, std::vector<uint8_t> Bytes) {
        out.Pieces.push_back({Due, std::move(Bytes)});
    };
    if (!Fault) {
        send(Now, Reply);
        return out;
    }
    switch (Fault->Kind) {
    case TFaultKind::NoReply:
        break;
    case TFaultKind::BadChecksum: {
        std::vector<uint8_t> spoiled = Reply;
        if (!spoiled.empty())
            spoiled.back() = uint8_t(spoiled.back() + 1);
        send(Now, std::move(spoiled));
        break;
    }
    case TFaultKind::ErrorStatus: {
        // A status of 0 or of the request's own code would read as success.
        uint8_t status = Fault->Status;
        if (status == 0 || status == Command)
            status = Command == StatusNoCard ? OtherStatus : StatusNoCard;
        send(Now, TReaderEngine::MakeReply(status));
        break;
    }
    case TFaultKind::Delay:
        send(Now + Pause(Fault->DelayMs, DefaultDelay), Reply);
        break;
    case TFaultKind::Split: {
        const auto half = Reply.begin() + ptrdiff_t(Reply.size() / 2);
        send(Now, {Reply.begin(), half});
        send(Now + Pause(Fault->DelayMs, DefaultSplitPause), {half, Reply.end()});
        break;
    }
    case TFaultKind::Short:
        send(Now, {Reply.begin(), Reply.begin() + ptrdiff_t((Reply.size() + 1) / 2)});
        break;
    case TFaultKind::Noise: {
        std::vector<uint8_t> noisy = NoiseBytes;
        noisy.insert(noisy.end(), Reply.begin(), Reply.end());
        send(Now, std::move(noisy));
        break;
    }
    }
    return out;
}

} // namespace sim
