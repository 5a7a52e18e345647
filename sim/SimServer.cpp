#include "sim/SimServer.h"

#include "protocol/Commands.h"

#include "sim/CardDump.h"
#include "sim/FrameParser.h"
#include "sim/ReaderEngine.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

namespace sim {

namespace {

// A reader left serving a loop test for days must not eat the memory: past
// this many entries the older half of the request list and log goes.
constexpr size_t HistoryLimit = 200000;

template <class T>
void Trim(std::vector<T>& V)
{
    if (V.size() > HistoryLimit)
        V.erase(V.begin(), V.begin() + ptrdiff_t(HistoryLimit / 2));
}

struct FaultEntry {
    uint8_t Command;
    Fault F;
    int Count;
    int Skip;
};

// A piece of reply due at a time.
struct Outgoing {
    Clock::time_point Due;
    std::vector<uint8_t> Bytes;
};

void CheckBlock(int Block)
{
    if (Block < 0 || Block >= MifareCard::Blocks)
        throw std::out_of_range("block number out of range");
}

void CheckKey(int KeyType, int Sector)
{
    if (KeyType < 0 || KeyType > 1 || Sector < 0 || Sector >= SectorCount)
        throw std::out_of_range("key type or sector out of range");
}

} // namespace

struct SimServer::Impl {
    mutable std::mutex M;
    ReaderEngine Engine;
    std::vector<std::vector<uint8_t>> Requests;
    std::vector<Record> Log;
    std::function<void(const Record&)> Observer;
    std::vector<FaultEntry> Faults;
    double RandomProbability = 0;
    std::mt19937 Random;

    // Owned by the server thread alone.
    FrameParser Parser;
    std::vector<Outgoing> Scheduled; // in due order
    std::vector<uint8_t> Out;        // due now, not yet written

    std::string Path;
    int Master = -1;
    int SlaveKeep = -1; // so the program can close and reopen the slave side
    int Wake = -1;
    bool Stop = false; // under M
    std::thread Thread;

    void Serve();
    void OnBytes(const uint8_t* Data, size_t Size);
    // Under M: the fault for this request, if any.
    bool TakeFault(uint8_t Command, Fault& F);
    void Schedule(Clock::time_point Due, std::vector<uint8_t> Bytes);
    void SendDue();
    void Notify(const std::vector<Record>& Records);
};

bool SimServer::Impl::TakeFault(uint8_t Command, Fault& F)
{
    for (auto it = Faults.begin(); it != Faults.end(); ++it) {
        if (it->Command != Command)
            continue;
        if (it->Skip > 0) {
            --it->Skip;
            return false;
        }
        F = it->F;
        if (--it->Count <= 0)
            Faults.erase(it);
        return true;
    }
    if (RandomProbability > 0 && std::uniform_real_distribution<double>(0, 1)(Random) < RandomProbability) {
        F = Fault{FaultKind(std::uniform_int_distribution<int>(0, 6)(Random))};
        return true;
    }
    return false;
}

void SimServer::Impl::Schedule(Clock::time_point Due, std::vector<uint8_t> Bytes)
{
    auto at = std::upper_bound(Scheduled.begin(), Scheduled.end(), Due,
                               [](Clock::time_point t, const Outgoing& o) { return t < o.Due; });
    Scheduled.insert(at, Outgoing{Due, std::move(Bytes)});
}

void SimServer::Impl::Notify(const std::vector<Record>& Records)
{
    if (Records.empty())
        return;
    std::function<void(const Record&)> observer;
    {
        std::lock_guard lock(M);
        observer = Observer;
    }
    if (observer)
        for (const auto& r : Records)
            observer(r);
}

void SimServer::Impl::OnBytes(const uint8_t* Data, size_t Size)
{
    const auto frames = Parser.Feed(Data, Size);
    if (frames.empty())
        return;
    std::vector<Record> records;
    {
        std::lock_guard lock(M);
        const auto now = Clock::now();
        for (const auto& pf : frames) {
            const auto& req = pf.Bytes;
            Requests.push_back(req);
            Log.push_back({now, true, req});
            records.push_back(Log.back());
            Trim(Requests);
            Trim(Log);
            if (!pf.ChecksumOk) {
                Schedule(now, ReaderEngine::MakeReply(StatusBadChecksum));
                continue;
            }
            const uint8_t cmd = req[1];
            std::optional<Fault> fault;
            if (Fault f{FaultKind::NoReply}; TakeFault(cmd, f))
                fault = f;
            // A refused command never reaches the card.
            const std::vector<uint8_t> reply = CarriesOut(fault) ? Engine.Handle(req) : std::vector<uint8_t>{};
            for (auto& piece : ApplyFault(reply, cmd, fault, now).Pieces)
                Schedule(piece.Due, std::move(piece.Bytes));
        }
    }
    Notify(records);
}

void SimServer::Impl::SendDue()
{
    std::vector<Record> records;
    const auto now = Clock::now();
    size_t due = 0;
    while (due < Scheduled.size() && Scheduled[due].Due <= now)
        ++due;
    if (due > 0) {
        std::lock_guard lock(M);
        for (size_t i = 0; i < due; ++i) {
            Out.insert(Out.end(), Scheduled[i].Bytes.begin(), Scheduled[i].Bytes.end());
            Log.push_back({now, false, Scheduled[i].Bytes});
            records.push_back(Log.back());
        }
        Trim(Log);
        Scheduled.erase(Scheduled.begin(), Scheduled.begin() + ptrdiff_t(due));
    }
    while (!Out.empty()) {
        const ssize_t n = ::write(Master, Out.data(), Out.size());
        if (n > 0) {
            Out.erase(Out.begin(), Out.begin() + n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break; // EAGAIN: the poll waits for room
        }
    }
    Notify(records);
}

void SimServer::Impl::Serve()
{
    bool masterQuiet = false; // the master reported a hang-up: leave it alone a while
    for (;;) {
        int timeout = -1;
        if (!Scheduled.empty()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(Scheduled.front().Due - Clock::now());
            timeout = int(std::max<int64_t>(0, left.count()));
        }
        if (masterQuiet)
            timeout = timeout < 0 ? 100 : std::min(timeout, 100);
        pollfd p[2] = {{masterQuiet ? -1 : Master, short(POLLIN | (Out.empty() ? 0 : POLLOUT)), 0},
                       {Wake, POLLIN, 0}};
        const int rc = ::poll(p, 2, timeout);
        if (rc < 0 && errno != EINTR)
            break;
        masterQuiet = false;
        if (p[1].revents & POLLIN) {
            uint64_t v;
            [[maybe_unused]] ssize_t r = ::read(Wake, &v, sizeof v);
            std::lock_guard lock(M);
            if (Stop)
                break;
        }
        if (p[0].revents & POLLIN) {
            uint8_t buf[256];
            const ssize_t n = ::read(Master, buf, sizeof buf);
            if (n > 0)
                OnBytes(buf, size_t(n));
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                masterQuiet = true;
        } else if (p[0].revents & (POLLHUP | POLLERR)) {
            // Nobody holds the slave side; we keep it open, so this should
            // not last, but never spin on it.
            masterQuiet = true;
        }
        SendDue();
    }
}

SimServer::SimServer() : d(std::make_unique<Impl>())
{
    char name[256] = {};
    if (::openpty(&d->Master, &d->SlaveKeep, name, nullptr, nullptr) != 0)
        throw std::runtime_error(std::string("openpty failed: ") + std::strerror(errno));
    d->Path = name;
    // Raw, so nothing the program sends is echoed back or translated before
    // the program sets the line up itself.
    termios tio{};
    if (::tcgetattr(d->SlaveKeep, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(d->SlaveKeep, TCSANOW, &tio);
    }
    ::fcntl(d->Master, F_SETFL, ::fcntl(d->Master, F_GETFL) | O_NONBLOCK);
    ::fcntl(d->Master, F_SETFD, FD_CLOEXEC);
    ::fcntl(d->SlaveKeep, F_SETFD, FD_CLOEXEC);
    d->Wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (d->Wake < 0) {
        const int err = errno;
        ::close(d->Master);
        ::close(d->SlaveKeep);
        throw std::runtime_error(std::string("eventfd failed: ") + std::strerror(err));
    }
    d->Thread = std::thread([this] { d->Serve(); });
}

SimServer::~SimServer()
{
    {
        std::lock_guard lock(d->M);
        d->Stop = true;
    }
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(d->Wake, &one, sizeof one);
    d->Thread.join();
    ::close(d->Wake);
    ::close(d->Master);
    ::close(d->SlaveKeep);
}

const std::string& SimServer::DevicePath() const { return d->Path; }

std::vector<std::vector<uint8_t>> SimServer::Requests() const
{
    std::lock_guard lock(d->M);
    return d->Requests;
}

std::vector<std::vector<uint8_t>> SimServer::RequestsWithoutBeeps() const
{
    std::lock_guard lock(d->M);
    std::vector<std::vector<uint8_t>> out;
    for (const auto& r : d->Requests)
        if (r.size() < 2 || r[1] != Cmd::Beep)
            out.push_back(r);
    return out;
}

void SimServer::ClearRequests()
{
    std::lock_guard lock(d->M);
    d->Requests.clear();
}

int SimServer::BeepCount() const
{
    std::lock_guard lock(d->M);
    return d->Engine.Beeps;
}

std::vector<SimServer::Record> SimServer::Log() const
{
    std::lock_guard lock(d->M);
    return d->Log;
}

void SimServer::SetObserver(std::function<void(const Record&)> Observer)
{
    std::lock_guard lock(d->M);
    d->Observer = std::move(Observer);
}

void SimServer::RemoveCard()
{
    std::lock_guard lock(d->M);
    d->Engine.Card.Remove();
}

void SimServer::InsertCard()
{
    std::lock_guard lock(d->M);
    d->Engine.Card.Insert();
}

bool SimServer::CardPresent() const
{
    std::lock_guard lock(d->M);
    return d->Engine.Card.Present();
}

void SimServer::HaltCard()
{
    std::lock_guard lock(d->M);
    d->Engine.Card.ForceHalt();
}

std::array<uint8_t, 4> SimServer::Serial() const
{
    std::lock_guard lock(d->M);
    return d->Engine.Card.Serial();
}

void SimServer::SetSerial(std::array<uint8_t, 4> Serial)
{
    std::lock_guard lock(d->M);
    d->Engine.Card.SetSerial(Serial);
}

std::array<uint8_t, 16> SimServer::Block(int Block) const
{
    CheckBlock(Block);
    std::lock_guard lock(d->M);
    return d->Engine.Card.Raw(Block);
}

void SimServer::SetBlock(int Block, const std::array<uint8_t, 16>& Data)
{
    CheckBlock(Block);
    std::lock_guard lock(d->M);
    d->Engine.Card.SetRaw(Block, Data);
}

std::array<uint8_t, 6> SimServer::StoredKey(int KeyType, int Sector) const
{
    CheckKey(KeyType, Sector);
    std::lock_guard lock(d->M);
    return d->Engine.StoredKeys[KeyType][Sector];
}

void SimServer::SetStoredKey(int KeyType, int Sector, const std::array<uint8_t, 6>& Key)
{
    CheckKey(KeyType, Sector);
    std::lock_guard lock(d->M);
    d->Engine.StoredKeys[KeyType][Sector] = Key;
}

void SimServer::InjectFault(uint8_t Command, Fault F, int Count, int Skip)
{
    if (Count <= 0)
        return;
    std::lock_guard lock(d->M);
    d->Faults.push_back({Command, F, Count, std::max(0, Skip)});
}

void SimServer::SetRandomFaults(double Probability, uint32_t Seed)
{
    std::lock_guard lock(d->M);
    d->RandomProbability = std::clamp(Probability, 0.0, 1.0);
    d->Random.seed(Seed);
}

void SimServer::ClearFaults()
{
    std::lock_guard lock(d->M);
    d->Faults.clear();
    d->RandomProbability = 0;
}

bool SimServer::SaveDump(const std::string& Path) const
{
    DumpImage image;
    {
        std::lock_guard lock(d->M);
        image = ImageOf(d->Engine.Card);
    }
    return WriteDump(Path, image);
}

bool SimServer::LoadDump(const std::string& Path)
{
    const std::optional<DumpImage> image = ReadDump(Path);
    if (!image)
        return false;
    std::lock_guard lock(d->M);
    LoadImage(d->Engine.Card, *image);
    return true;
}

} // namespace sim
