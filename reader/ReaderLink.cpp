// Frame exchange with the reader.
#include "reader/ReaderLink.h"

#include "reader/Commands.h"
#include "serial/Comm.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstring>

namespace {

uint8_t Checksum(const uint8_t* Data, int Count)
{
    unsigned Sum = 0;
    for (int i = 0; i < Count; ++i)
        Sum += Data[i];
    return uint8_t(Sum);
}

} // namespace

TReaderLink::TReaderLink(TComm& Device)
    : WaitStep([](int, int Ms) { WaitWithEvents(Ms); })
    , FDevice(Device)
{
}

void TReaderLink::WaitWithEvents(int Ms)
{
    if (Ms <= 0)
        return;
    QEventLoop Loop;
    QTimer::singleShot(Ms, Qt::PreciseTimer, &Loop, &QEventLoop::quit);
    Loop.exec();
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
    } End{this};

    FReceived = 0;
    const int Length = Buffer[0];
    const uint8_t Command = Buffer[1];
    Buffer[size_t(Length)] = Checksum(Buffer.data(), Length);

    // Whatever the line delivered before this request (a reply that came
    // after its own exchange gave up) must not pass for this one's reply;
    // what arrives from here on belongs to this request.
    FAccepting = false;
    FDevice.PurgeInput();

    if (!FDevice.WriteData(Buffer.data(), uint16_t(Length + 1)))
        return ResultNotSent;

    ReplyFlag = false;
    FReceived = 0;
    FAccepting = true;
    int32_t Elapsed = 0;
    for (int Step = 1; Elapsed < ReplyTimeout; ++Step) {
        WaitStep(Step, WaitStepMs);
        Elapsed += WaitStepMs;
        if (ReplyFlag)
            break;
    }
    FAccepting = false;

    if (!ReplyFlag)
        return FReceived > 0 ? ResultBadReply : ResultNoReply;
    const int ReplyL = Buffer[0];
    // A frame without a status byte says nothing; byte 1 would be left over
    // from the request.
    if (ReplyL < 2)
        return ResultBadReply;
    if (Checksum(Buffer.data(), ReplyL) != Buffer[size_t(ReplyL)])
        return ResultBadReply;
    return Buffer[1] == Command ? 0 : Buffer[1];
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
    // are stale or surplus.
    if (!FAccepting || ReplyFlag || Length == 0)
        return;
    auto Bytes = static_cast<const uint8_t*>(Data);
    int Left = Length;
    if (FReceived == 0) {
        Buffer[0] = Bytes[0];
        FReceived = 1;
        ++Bytes;
        --Left;
    }
    // A reply may come in several chunks when the reader pauses inside it;
    // the frame is L + 1 bytes, at most 256, so it always fits the buffer.
    const int Needed = Buffer[0] + 1;
    const int Take = std::min(Left, Needed - FReceived);
    if (Take > 0) {
        std::memcpy(Buffer.data() + FReceived, Bytes, size_t(Take));
        FReceived += Take;
    }
    if (FReceived >= Needed)
        ReplyFlag = true;
}

int TReaderLink::ReplyLength() const { return FReceived; }
