#pragma once
// How the threads report to the component: the notifications they post, the
// data blocks some of them carry, and the notifier object on the
// user-interface thread that receives them.

#include <QEvent>
#include <QObject>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

// The notifications, as event types of their own: only the notifier sees
// them, so any five consecutive user types serve (the notifier tells its own
// by the range).
constexpr int CommEventBase = 1024; // clear of the first user types other code may take
constexpr QEvent::Type NotifyReceiveData = QEvent::Type(QEvent::User + CommEventBase + 1);
constexpr QEvent::Type NotifyReceiveError = QEvent::Type(QEvent::User + CommEventBase + 2);
constexpr QEvent::Type NotifyRequestHangup = QEvent::Type(QEvent::User + CommEventBase + 3);
constexpr QEvent::Type NotifyModemStateChange = QEvent::Type(QEvent::User + CommEventBase + 4);
constexpr QEvent::Type NotifySendDataEmpty = QEvent::Type(QEvent::User + CommEventBase + 5);

// A zero-filled block of Count + 1 bytes: the data, then one uncounted zero.
struct TDataBlock {
    std::unique_ptr<uint8_t[]> Bytes;
    size_t Count = 0;

    static TDataBlock Copy(const void* Data, size_t Length); // throws std::bad_alloc
};

// One notification. Whatever block it carries is freed with it, so a block
// lives until its handler has returned, and also when nobody handles it.
class TCommMessage : public QEvent {
public:
    TCommMessage(QEvent::Type Kind, uint32_t Value)
        : QEvent(Kind)
        , Param(Value)
    {
    }
    TCommMessage(TDataBlock&& Data, uint64_t ReadGeneration)
        : QEvent(NotifyReceiveData)
        , Generation(ReadGeneration)
        , Block(std::move(Data))
    {
    }
    ~TCommMessage() override { TakeOver(); }

    // The event queue's own lock hands a message over between threads, but
    // it is invisible to race checkers; this release/acquire pair states the
    // same hand-off in terms they see. Posted() after the message is filled
    // in, TakeOver() before the receiving side touches it.
    static void Posted() { Handoff.fetch_add(1, std::memory_order_release); }
    static void TakeOver() { (void)Handoff.load(std::memory_order_acquire); }

    uint32_t Param = 0;
    // Received data: the receive generation the bytes were read in.
    uint64_t Generation = 0;
    TDataBlock Block;

private:
    static inline std::atomic<uint64_t> Handoff{0};
};

// The notifier: a plain object on the constructing thread that the threads
// post to; its event() hands each notification to its owner's handler there.
class TCommNotifier : public QObject {
public:
    using THandler = std::function<void(QEvent* Message)>;

    explicit TCommNotifier(THandler Handler)
        : FHandler(std::move(Handler))
    {
    }

    // The owner goes away; the notifier may be inside one of its handlers.
    void Release();

    bool event(QEvent* Message) override;

private:
    THandler FHandler;
    int FDispatching = 0;
    bool FReleased = false;
};

// Posting to the notifier from any thread. Posting cannot fail here: the
// event queue grows as needed.
void PostNotification(TCommNotifier* Notifier, QEvent::Type Type, uint32_t Param = 0);
void PostReceiveData(TCommNotifier* Notifier, TDataBlock&& Block, uint64_t Generation);
