#pragma once
// The far end of a real pseudo-terminal, scripted by a test: the program
// under test opens SlavePath() as its serial port, the test reads and writes
// the master side.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

class PtyPeer {
public:
    PtyPeer();  // throws std::runtime_error when no pseudo-terminal can be had
    ~PtyPeer(); // closes whatever is still open

    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& SlavePath() const { return FSlavePath; }
    int MasterFd() const { return FMaster; }

    // Writes all bytes to the master side.
    void Write(const std::vector<uint8_t>& Bytes);
    // Reads until Count bytes arrived or Timeout passed; returns what arrived.
    std::vector<uint8_t> Read(size_t Count, std::chrono::milliseconds Timeout);
    // Reads whatever arrives until the line has been quiet for Quiet.
    std::vector<uint8_t> ReadUntilQuiet(std::chrono::milliseconds Quiet,
        std::chrono::milliseconds Timeout);
    // Closes the master side: the device vanishes for the program.
    void CloseMaster();

private:
    int FMaster = -1;
    int FSlaveKeep = -1; // keeps the slave side alive until the program opens it
    std::string FSlavePath;
};

// Pumps Qt events until Pred() holds or Timeout passes; returns Pred().
template <class Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds Timeout = std::chrono::seconds(10));
// The same without handing out any event: for what a thread does on its own
// (the serial component taking bytes in), while the test holds back the
// notifications.
template <class Pred>
bool WaitWithoutEvents(Pred pred, std::chrono::milliseconds Timeout = std::chrono::seconds(10));

std::vector<uint8_t> Bytes(std::initializer_list<int> List);
// A frame with its checksum appended.
std::vector<uint8_t> WithSum(std::vector<uint8_t> Frame);
// A whole frame from its body: length byte, the body, checksum.
std::vector<uint8_t> Framed(std::vector<uint8_t> Body);
// Reads Fd until Count bytes arrived or Timeout passed; returns what arrived.
std::vector<uint8_t> ReadFrom(int Fd, size_t Count, std::chrono::milliseconds Timeout);
std::string Hex(const std::vector<uint8_t>& Bytes);
// What a terminal's master side shows: its line settings, and what waits on
// it now without waiting for more (the master must be non-blocking).
std::string TerminalSettings(int Master);
std::string PendingOn(int Master);

#include <QCoreApplication>
#include <QThread>

template <class Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds Timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + Timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

template <class Pred>
bool WaitWithoutEvents(Pred pred, std::chrono::milliseconds Timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + Timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return pred();
        QThread::msleep(1);
    }
    return true;
}
