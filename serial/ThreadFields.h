#pragma once
// What the read and write threads share: the fields they are started with,
// the close event that ends every wait of theirs, the priority request, and
// TPortThread, the starting, stopping and hang-up request both are made of.

#include <cstdint>
#include <thread>

class TCommNotifier;
struct TReceiveGate;

// What both threads are given before they start.
struct TThreadFields {
    int Port = -1;
    int CloseEvent = -1;
    TCommNotifier* Notifier = nullptr;
    TReceiveGate* Gate = nullptr;
    // Which opening of the port the threads serve; a hang-up names it.
    uint32_t Session = 0;
};

// Signals the close event: the threads leave their waits and end.
void SignalClose(int CloseEvent);
// True when the close event has been signalled (checked without waiting).
bool CloseSignalled(int CloseEvent);

// Asks the scheduler for a better place for the calling thread. An
// unprivileged process may not raise its priority; whatever it gets is fine.
void AskPriority(int Steps);

// One thread of an open port, working one direction of the line (Queue:
// TCIFLUSH or TCOFLUSH). Its body is Execute(); whichever way that ends, the
// direction's driver queue is flushed after it.
class TPortThread {
public:
    struct TTraits {
        const char* Name;  // as ps and debuggers show it
        int PrioritySteps; // see AskPriority
        int Queue;         // the driver queue to flush
    };

    TPortThread(const TThreadFields& Fields, const TTraits& Traits);
    // Joins. The thread runs the derived class's Execute, so a derived
    // destructor calls WaitFor itself before its own members go.
    virtual ~TPortThread();

    TPortThread(const TPortThread&) = delete;
    TPortThread& operator=(const TPortThread&) = delete;

    // Starts the thread (throws std::system_error when it cannot).
    void Resume();
    // Signals the close event, flushes the direction's queue and joins.
    // Every wait of the threads includes the close event, so they end
    // promptly and the join needs no time limit.
    void Stop();
    // Waits for the thread to end; it ends once the close event is signalled.
    void WaitFor();

protected:
    virtual void Execute() = 0;
    // Tells the owner the line is unusable: the device has gone, or a wait
    // failed. The owner decides whether to close.
    void AskHangup() const;

    const TThreadFields FFields;

private:
    void Run();

    TTraits FTraits;
    std::thread FThread;
};
