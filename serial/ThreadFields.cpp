#include "serial/ThreadFields.h"

#include <poll.h>
#include <sys/resource.h>
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
