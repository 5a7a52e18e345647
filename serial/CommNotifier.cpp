#include "serial/CommNotifier.h"

#include <QCoreApplication>

#include <cstring>

TDataBlock TDataBlock::Copy(const void* Data, size_t Length)
{
    TDataBlock block;
    block.Bytes.reset(new uint8_t[Length + 1]()); // zero-filled: the extra byte stays 0
    std::memcpy(block.Bytes.get(), Data, Length);
    block.Count = Length;
    return block;
}

void PostNotification(TCommNotifier* Notifier, QEvent::Type Type, uint32_t Param)
{
    auto* message = new TCommMessage(Type, Param);
    TCommMessage::Posted();
    QCoreApplication::postEvent(Notifier, message);
}

void PostReceiveData(TCommNotifier* Notifier, TDataBlock&& Block, uint64_t Generation)
{
    auto* message = new TCommMessage(std::move(Block), Generation);
    TCommMessage::Posted();
    QCoreApplication::postEvent(Notifier, message);
}

void TCommNotifier::Release()
{
    FReleased = true;
    if (FDispatching == 0)
        delete this; // pending notifications go with it, blocks included
}

bool TCommNotifier::event(QEvent* Message)
{
    TCommMessage::TakeOver();
    const int type = Message->type();
    if (type < NotifyReceiveData || type > NotifySendDataEmpty)
        return QObject::event(Message);
    if (FReleased)
        return true;
    // A handler may destroy the component; the notifier then outlives this
    // call and goes once the outermost dispatch is over.
    ++FDispatching;
    FHandler(Message);
    --FDispatching;
    if (FReleased && FDispatching == 0)
        deleteLater();
    return true;
}
