#pragma once
// The reader link: one request frame goes out, one reply frame comes back.
// The link owns what an exchange needs: the buffer the request is sent from,
// the reply flag and the reply being collected, and it takes the serial
// component's received data itself. Callers hand it a request (protocol/
// Commands.h) and read the reply through Reply(). The wait keeps the
// user-interface thread processing its events, since that is where the
// serial component delivers what it received.

#include "protocol/Commands.h"
#include "protocol/Frame.h"
#include "reader/ReaderExchange.h"

#include <array>
#include <cstdint>
#include <functional>
#include <span>

class TComm;

class TReaderLink : public TReaderExchange {
public:
    static constexpr int WaitStepMs = 50;

    // Takes Device's received data (its OnReceiveData) for its lifetime.
    explicit TReaderLink(TComm& Device);
    ~TReaderLink() override;

    TReaderLink(const TReaderLink&) = delete;
    TReaderLink& operator=(const TReaderLink&) = delete;

    int32_t ReplyTimeout = 500;

    // Step number Step (from 1 in each exchange) of an exchange's wait: Ms
    // milliseconds with the event loop running, so the window repaints and
    // takes clicks and a reply that arrives during the step is taken in at
    // once. Tests replace it to count steps or to play the reader at a given
    // step, without depending on the speed of the machine.
    std::function<void(int Step, int Ms)> WaitStep;
    // The default wait: Ms milliseconds of event processing. Called by an
    // exchange's WaitStep, it ends as soon as the exchange has its reply or
    // its wait is ended, so the time-out counts steps but a reply is not
    // kept waiting for the end of one.
    static void WaitWithEvents(int Ms);

    // Sends Request (sealed with its checksum) and waits for the reply (see
    // TReplyAssembler for which frame is taken): 0 when it came back with
    // the command code, 12 as soon as the first frame is whole and neither
    // it nor a frame behind it may be taken, or when bytes came but no reply
    // by the time-out, 20 when nothing could be sent (port closed, no request,
    // or an exchange already waits), 22 when nothing arrived in time or the
    // wait was ended (EndWait, port closed), otherwise the reader's status
    // byte.
    int ExchangeFrame(const TRequest& Request) override;
    // Ends a waiting exchange at once with 22, as if nothing had come (a
    // reply already in still counts): for the hang-up handler, which closes
    // the port while an exchange waits further down the stack. Nothing when
    // no exchange waits.
    void EndWait();
    // Bytes of the last reply: the frame taken (L + 1), or as much of the
    // first frame as arrived when none was taken.
    int ReplyLength() const { return FReply.Received(); }
    // Those bytes, for the decoders.
    std::span<const uint8_t> Reply() const override { return FReply.Bytes(); }
    // True while an exchange is under way (sending or waiting).
    bool Busy() const { return FBusy; }

private:
    struct TStep; // one wait step under way (ReaderLink.cpp)

    void ReceiveData(const void* Data, uint16_t Length);
    // Nothing more to wait for: the current step's wait returns at once.
    void EndStep();

    TComm& FDevice;
    // The exchange buffer: the request as it goes out, checksum included.
    std::array<uint8_t, MaxRequestLength + 1> FBuffer{};
    // Set once the waiting exchange has its whole reply frame, or knows it
    // has a bad one.
    bool FReplyFlag = false;
    bool FBusy = false;
    bool FAccepting = false; // received bytes belong to the waiting exchange
    bool FWaitEnded = false; // EndWait ended the waiting exchange
    TReplyAssembler FReply;
    TStep* FStep = nullptr; // this link's step, while its wait runs one

    // The innermost exchange step on this thread, and how many waits of
    // WaitWithEvents run on it: a wait belongs to a step only when it runs
    // directly in it, not in a handler's own wait further up the stack.
    static thread_local TStep* FCurrentStep;
    static thread_local int FWaitDepth;
};
