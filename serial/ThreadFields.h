#pragma once
// What the read and write threads share: the fields they are started with,
// the close event that ends every wait of theirs, and the priority request.

#include <cstdint>

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
