#pragma once
// The reader link: the one exchange buffer, the reply flag and the settings
// that steer an exchange. One request frame goes out, one reply frame comes
// back; the wait keeps the user-interface thread processing its events, since
// that is where the serial component delivers what it received.

#include "protocol/Frame.h"

#include <array>
#include <cstdint>
#include <functional>
#include <span>

class TComm;

class TReaderLink {
public:
    static constexpr int BufferSize = 1024;
    static constexpr int WaitStepMs = 50;

    static_assert(BufferSize >= MaxFrameBytes);

    explicit TReaderLink(TComm& Device);

    bool BeepSetting = true;
    uint8_t SearchMode = 0;
    int32_t ReplyTimeout = 500;
    // Set once a whole reply frame (L + 1 bytes) has arrived for the waiting
    // exchange.
    bool ReplyFlag = false;
    std::array<uint8_t, BufferSize> Buffer{};

    // Step number Step (from 1 in each exchange) of an exchange's wait: Ms
    // milliseconds with the event loop running, so the window repaints and
    // takes clicks and a reply that arrives during the step is taken in at
    // once. Tests replace it to count steps or to play the reader at a given
    // step, without depending on the speed of the machine.
    std::function<void(int Step, int Ms)> WaitStep;
    // The default wait: Ms milliseconds of event processing.
    static void WaitWithEvents(int Ms);

    // Sends bytes 0 .. L of Buffer (after writing the checksum at L) and
    // waits for the reply: 0 when it came back with the command code, 12 for a
    // bad or incomplete reply, 20 when nothing could be sent (or an exchange
    // already waits), 22 when nothing arrived in time, otherwise the reader's
    // status byte.
    int ExchangeFrame();
    // Ends a waiting exchange at once with no reply (the port has gone).
    void EndWait();
    bool TestLink();
    void BeepReader();
    void MyDeviceReceiveData(const void* Data, uint16_t Length);
    // Bytes of the last reply frame that truly arrived (L + 1 when complete).
    int ReplyLength() const { return FReply.Received(); }
    // The last reply frame as it arrived, for the decoders.
    std::span<const uint8_t> Reply() const { return FReply.Bytes(); }
    // True while an exchange is under way (sending or waiting).
    bool Busy() const { return FBusy; }

private:
    TComm& FDevice;
    bool FBusy = false;
    bool FEndWait = false;
    bool FAccepting = false; // received bytes belong to the waiting exchange
    TReplyAssembler FReply{Buffer.data()};
};
