// Frame exchange with the reader.
#include "reader/ReaderLink.h"

#include "serial/Comm.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

// Runs its action when the scope ends, however it ends.
template <class TAction>
class TOnScopeExit {
public:
    explicit TOnScopeExit(TAction Action)
        : FAction(std::move(Action))
    {
    }
    ~TOnScopeExit() { FAction(); }

    TOnScopeExit(const TOnScopeExit&) = delete;
    TOnScopeExit& operator=(const TOnScopeExit&) = delete;

private:
    TAction FAction;
};

} // namespace

// A wait step of an exchange. The step's wait runs an event loop, in which
// the reply is taken in; the exchange quits that loop the moment there is
// nothing more to wait for, instead of letting the step run out.
struct TReaderLink::TStep {
    int Depth = 0;              // waits running on the thread when the step began
    QEventLoop* Loop = nullptr; // the step's own wait, while it runs
    bool Over = false;          // the reply is in, or the wait was ended
    TStep* Outer = nullptr;     // the step this one runs inside, if any
};

thread_local TReaderLink::TStep* TReaderLink::FCurrentStep = nullptr;
thread_local int TReaderLink::FWaitDepth = 0;

TReaderLink::TReaderLink(TComm& Device)
    : WaitStep([](int, int Ms) { WaitWithEvents(Ms); })
    , FDevice(Device)
{
    FDevice.OnReceiveData = [this](TComm*, const void* Data, uint16_t Length) { ReceiveData(Data, Length); };
}

TReaderLink::~TReaderLink() { FDevice.OnReceiveData = nullptr; }

void TReaderLink::WaitWithEvents(int Ms)
{
    if (Ms <= 0)
        return;
    TStep* step = FCurrentStep && FCurrentStep->Depth == FWaitDepth ? FCurrentStep : nullptr;
    if (step && step->Over)
        return;
    QEventLoop loop;
    QTimer::singleShot(Ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    if (step)
        step->Loop = &loop;
    ++FWaitDepth;
    loop.exec();
    --FWaitDepth;
    if (step)
        step->Loop = nullptr;
}

int TReaderLink::ExchangeFrame(const TRequest& Request)
{
    // The buffer and the flag serve one exchange at a time; a handler that
    // runs inside this wait must not start a second one over them.
    if (FBusy)
        return ResultNotSent;
    if (Request.Length < 2 || Request.Length > MaxRequestLength || Request.Frame[0] != Request.Length)
        return ResultNotSent;
    FBusy = true;
    const TOnScopeExit done([this] {
        FAccepting = false;
        FBusy = false;
    });

    const uint8_t command = Request.Command();
    FReply.Start(command);
    std::copy_n(Request.Frame.begin(), Request.Length, FBuffer.begin());
    const int frameBytes = SealFrame(FBuffer.data());

    // Whatever the line delivered before this request (a reply that came
    // after its own exchange gave up) must not pass for this one's reply;
    // what arrives from here on belongs to this request.
    FAccepting = false;
    FDevice.PurgeInput();

    if (!FDevice.WriteData(FBuffer.data(), uint16_t(frameBytes)))
        return ResultNotSent;

    FReplyFlag = false;
    FWaitEnded = false;
    FReply.Start(command);
    FAccepting = true;
    int32_t elapsed = 0;
    for (int step = 1; elapsed < ReplyTimeout; ++step) {
        {
            TStep current{FWaitDepth, nullptr, false, FCurrentStep};
            FStep = FCurrentStep = &current;
            const TOnScopeExit leave([this, &current] {
                FCurrentStep = current.Outer;
                FStep = nullptr;
            });
            WaitStep(step, WaitStepMs);
        }
        elapsed += WaitStepMs;
        // A closed port brings nothing more: no need to wait out the time-out.
        if (FReplyFlag || FWaitEnded || !FDevice.IsOpen())
            break;
    }
    FAccepting = false;

    if (FReplyFlag)
        return CheckReply(FReply.Bytes(), command);
    if (FWaitEnded || !FDevice.IsOpen())
        return ResultNoReply;
    return FReply.Received() > 0 ? ResultBadReply : ResultNoReply;
}

void TReaderLink::EndWait()
{
    if (!FAccepting)
        return;
    FWaitEnded = true;
    FAccepting = false;
    EndStep();
}

void TReaderLink::EndStep()
{
    if (!FStep)
        return;
    FStep->Over = true;
    if (FStep->Loop)
        FStep->Loop->quit();
}

void TReaderLink::ReceiveData(const void* Data, uint16_t Length)
{
    // Nothing waits, or this exchange has its reply already: the bytes are
    // stale or surplus. A reply may come in several chunks when the reader
    // pauses inside it, or behind the tail of a late reply (the assembler
    // looks past that).
    if (!FAccepting || FReplyFlag)
        return;
    // A bad reply is known as soon as its chunk is in: no need to wait out
    // the time-out for it.
    if (FReply.Feed({static_cast<const uint8_t*>(Data), Length}) || FReply.Failed()) {
        FReplyFlag = true;
        EndStep();
    }
}
