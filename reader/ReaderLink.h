#pragma once
// The reader link: the one exchange buffer, the reply flag and the settings
// that steer an exchange. (Starter declaration; the reader-link work fills it in.)

#include <array>
#include <cstdint>
#include <functional>

class TComm;

class TReaderLink {
public:
    static constexpr int BufferSize = 1024;

    explicit TReaderLink(TComm& Device);

    bool BeepSetting = true;
    uint8_t SearchMode = 0;
    int32_t ReplyTimeout = 500;
    bool ReplyFlag = false;
    std::array<uint8_t, BufferSize> Buffer{};

    int ExchangeFrame();
    bool TestLink();
    void BeepReader();
    void MyDeviceReceiveData(const void* Data, uint16_t Length);
    // Bytes of the last reply frame that truly arrived (L + 1 when complete).
    int ReplyLength() const;

private:
    TComm& FDevice;
};
