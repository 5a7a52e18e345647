#pragma once
// SIGINT, SIGTERM, SIGHUP (the terminal went away) and SIGPIPE (standard
// output or error is a pipe nobody reads any more) as events, not as the end
// of the process: the handler only writes a byte into a pipe, and a socket
// notifier on its other end tells the owner on its own thread, whenever the
// event loop runs (as it does while an exchange waits). One at a time; the
// handlers that were there before come back with its end.

#include <QObject>

#include <functional>

class QSocketNotifier;

class TSignalPipe : public QObject {
    Q_OBJECT
public:
    // throws std::runtime_error when no pipe can be had
    explicit TSignalPipe(std::function<void()> OnSignal, QObject* Parent = nullptr);
    ~TSignalPipe() override;

    // The end to wait on beside something else (poll for POLLIN).
    int ReadFd() const { return FPipe[0]; }
    // Empties the pipe: true when a signal had come, and OnSignal is called.
    bool Take();

private:
    int FPipe[2] = {-1, -1};
    QSocketNotifier* FNotifier = nullptr;
    std::function<void()> FOnSignal;
};
