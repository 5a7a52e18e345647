#include "serial/ThreadFields.h"

#include "serial/CommNotifier.h"

#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

void SignalClose(int CloseEvent)
{
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(CloseEvent, &one, sizeof one);
}

bool CloseSignalled(int CloseEvent)
{
    pollfd p{CloseEvent, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLNVAL));
}

void AskPriority(int Steps)
{
    const pid_t tid = ::gettid();
    errno = 0;
    const int niceness = ::getpriority(PRIO_PROCESS, id_t(tid));
    if (niceness == -1 && errno != 0)
        return;
    ::setpriority(PRIO_PROCESS, id_t(tid), niceness - Steps);
}

TPortThread::TPortThread(const TThreadFields& Fields, const TTraits& Traits)
    : FFields(Fields)
    , FTraits(Traits)
{
}

TPortThread::~TPortThread()
{
    WaitFor();
}

void TPortThread::Resume()
{
    FThread = std::thread(&TPortThread::Run, this);
    ::pthread_setname_np(FThread.native_handle(), FTraits.Name);
}

void TPortThread::Stop()
{
    SignalClose(FFields.CloseEvent);
    ::tcflush(FFields.Port, FTraits.Queue);
    WaitFor();
}

void TPortThread::WaitFor()
{
    if (FThread.joinable())
        FThread.join();
}

void TPortThread::AskHangup() const
{
    PostNotification(FFields.Notifier, NotifyRequestHangup, FFields.Session);
}

void TPortThread::Run()
{
    AskPriority(FTraits.PrioritySteps);
    Execute();
    ::tcflush(FFields.Port, FTraits.Queue);
}
