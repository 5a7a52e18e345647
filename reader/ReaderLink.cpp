// Frame exchange with the reader.
#include "reader/ReaderLink.h"

#include "protocol/Commands.h"
#include "serial/Comm.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstring>

TReaderLink::TReaderLink(TComm& Device)
    : WaitStep([](int, int Ms) { WaitWithEvents(Ms); })
    , FDevice(Device)
{
    Device.OnReceiveData = [this](TComm*, const void* Data, uint16_t Length) { MyDeviceReceiveData(Data, Length); };
}

void TReaderLink::EndWait() { FEndWait = true; }

void TReaderLink::WaitWithEvents(int Ms)
{
    if (Ms <= 0)
        return;
    QEventLoop loop;
    QTimer::singleShot(Ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

int TReaderLink::ExchangeFrame()
{
    // The buffer and the flag serve one exchange at a time; a handler that
    // runs inside this wait must not start a second one over them.
    if (FBusy)
        return ResultNotSent;
    FBusy = true;
    struct TEnd {
        TReaderLink* L;
        ~TEnd()
        {
            L->FAccepting = false;
            L->FBusy = false;
        }
    } end{this};

    FReply.Reset();
    const uint8_t command = Buffer[1];
    const int frameBytes = SealFrame(Buffer.data());

    // Whatever the line delivered before this request (a reply that came
    // after its own exchange gave up) must not pass for this one's reply;
    // what arrives from here on belongs to this request.
    FAccepting = false;
    FDevice.PurgeInput();

    if (!FDevice.WriteData(Buffer.data(), uint16_t(frameBytes)))
        return ResultNotSent;

    ReplyFlag = false;
    FReply.Reset();
    FAccepting = true;
    int32_t elapsed = 0;
    FEndWait = false;
    for (int step = 1; elapsed < ReplyTimeout && !FEndWait; ++step) {
        WaitStep(step, WaitStepMs);
        elapsed += WaitStepMs;
        if (ReplyFlag)
            break;
    }
    FAccepting = false;

    if (!ReplyFlag)
        return FReply.Received() > 0 ? ResultBadReply : ResultNoReply;
    return CheckReply(FReply.Bytes(), command);
}

bool TReaderLink::TestLink()
{
    BuildLinkTest(Buffer.data());
    return ExchangeFrame() == 0;
}

void TReaderLink::BeepReader()
{
    if (!BeepSetting)
        return;
    BuildBeep(Buffer.data());
    ExchangeFrame();
}

void TReaderLink::MyDeviceReceiveData(const void* Data, uint16_t Length)
{
    // Nothing waits, or this exchange has its whole frame already: the bytes
    // are stale or surplus. A reply may come in several chunks when the
    // reader pauses inside it.
    if (!FAccepting || ReplyFlag)
        return;
    if (FReply.Feed({static_cast<const uint8_t*>(Data), Length}))
        ReplyFlag = true;
}
