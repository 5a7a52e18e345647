#include "cardtool/SignalPipe.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <iterator>
#include <stdexcept>

namespace {

int WriteEnd = -1;
constexpr int Signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
struct sigaction OldActions[std::size(Signals)];

void OnSignal(int)
{
    const int saved = errno;
    [[maybe_unused]] const ssize_t n = ::write(WriteEnd, "", 1);
    errno = saved;
}

} // namespace

TSignalPipe::TSignalPipe(std::function<void()> OnSignal, QObject* Parent)
    : QObject(Parent)
    , FOnSignal(std::move(OnSignal))
{
    if (WriteEnd >= 0)
        throw std::runtime_error("only one signal pipe at a time");
    if (::pipe2(FPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("no pipe for the signals");
    WriteEnd = FPipe[1];
    // SA_RESTART: the serial threads may take the signal too, and their
    // reads and writes go on; a poll still returns.
    struct sigaction action { };
    action.sa_handler = ::OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(Signals); ++i)
        ::sigaction(Signals[i], &action, &OldActions[i]);
    FNotifier = new QSocketNotifier(FPipe[0], QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, [this] { Take(); });
}

TSignalPipe::~TSignalPipe()
{
    for (size_t i = 0; i < std::size(Signals); ++i)
        ::sigaction(Signals[i], &OldActions[i], nullptr);
    FNotifier->setEnabled(false);
    WriteEnd = -1;
    ::close(FPipe[0]);
    ::close(FPipe[1]);
}

bool TSignalPipe::Take()
{
    char bytes[16];
    bool came = false;
    ssize_t n = 0;
    while ((n = ::read(FPipe[0], bytes, sizeof bytes)) > 0 || (n < 0 && errno == EINTR))
        came = came || n > 0;
    if (came && FOnSignal)
        FOnSignal();
    return came;
}
