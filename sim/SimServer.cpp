// SimServer ties its parts together under one lock: requests from the line
// go through the parser, the fault choice and the engine, and their replies
// wait in the queue for their time.
#include "sim/SimServer.h"

#include "protocol/Commands.h"
#include "sim/CardDump.h"
#include "sim/FaultChoice.h"
#include "sim/Faults.h"
#include "sim/FrameParser.h"
#include "sim/PtyLine.h"
#include "sim/ReaderEngine.h"
#include "sim/ReplyQueue.h"
#include "sim/RequestLog.h"

#include <mutex>
#include <stdexcept>
#include <utility>

namespace sim {

namespace {

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
    RequestLog History;
    FaultChoice Faults;
    std::function<void(const Record&)> Observer;

    // Owned by the line's thread alone.
    FrameParser Parser;
    ReplyQueue Queue;
    std::vector<Record> Sent; // written, the observer not yet told

    // Last, so the thread ends before anything it uses goes.
    PtyLine Line;

    void Received(const uint8_t* Data, size_t Size);
    // Under M: what goes on the line for one request.
    FaultedReply Answer(const ParsedFrame& Request, Clock::time_point Now);
    std::optional<Clock::time_point> TakeDue(std::vector<uint8_t>& Out);
    // After the write, so the observer never holds a reply up.
    void Written() { Notify(std::exchange(Sent, {})); }
    // Outside M: hands Records to the observer.
    void Notify(const std::vector<Record>& Records);
};

FaultedReply SimServer::Impl::Answer(const ParsedFrame& Request, Clock::time_point Now)
{
    if (!Request.ChecksumOk)
        return {true, {{Now, ReaderEngine::MakeReply(StatusBadChecksum)}}};
    const uint8_t cmd = Request.Bytes[1];
    const std::optional<Fault> fault = Faults.Take(cmd);
    // A refused command never reaches the card.
    const std::vector<uint8_t> reply = CarriesOut(fault) ? Engine.Handle(Request.Bytes) : std::vector<uint8_t>{};
    return ApplyFault(reply, cmd, fault, Now);
}

void SimServer::Impl::Received(const uint8_t* Data, size_t Size)
{
    const auto frames = Parser.Feed(Data, Size);
    if (frames.empty())
        return;
    std::vector<Record> records;
    {
        std::lock_guard lock(M);
        const auto now = Clock::now();
        for (const auto& frame : frames) {
            records.push_back(History.AddRequest(now, frame.Bytes));
            for (auto& piece : Answer(frame, now).Pieces)
                Queue.Add(std::move(piece));
        }
    }
    // After the engine ran: an observer that sees a request sees it done.
    Notify(records);
}

std::optional<Clock::time_point> SimServer::Impl::TakeDue(std::vector<uint8_t>& Out)
{
    const auto now = Clock::now();
    const auto due = Queue.TakeDue(now);
    if (!due.empty()) {
        std::lock_guard lock(M);
        for (const auto& bytes : due) {
            Out.insert(Out.end(), bytes.begin(), bytes.end());
            Sent.push_back(History.AddSent(now, bytes));
        }
    }
    return Queue.NextDue();
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

SimServer::SimServer()
    : d(std::make_unique<Impl>())
{
    d->Line.Start({[this](const uint8_t* Data, size_t Size) { d->Received(Data, Size); },
        [this](std::vector<uint8_t>& Out) { return d->TakeDue(Out); },
        [this] { d->Written(); }});
}

SimServer::~SimServer() { d->Line.Stop(); }

const std::string& SimServer::DevicePath() const { return d->Line.Path(); }

std::vector<std::vector<uint8_t>> SimServer::Requests() const
{
    std::lock_guard lock(d->M);
    return d->History.Requests();
}

std::vector<std::vector<uint8_t>> SimServer::RequestsWithoutBeeps() const
{
    std::lock_guard lock(d->M);
    return d->History.RequestsWithout(Cmd::Beep);
}

void SimServer::ClearRequests()
{
    std::lock_guard lock(d->M);
    d->History.ClearRequests();
}

int SimServer::BeepCount() const
{
    std::lock_guard lock(d->M);
    return d->Engine.Beeps;
}

std::vector<SimServer::Record> SimServer::Log() const
{
    std::lock_guard lock(d->M);
    return d->History.Records();
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
    std::lock_guard lock(d->M);
    d->Faults.Inject(Command, F, Count, Skip);
}

void SimServer::SetRandomFaults(double Probability, uint32_t Seed)
{
    std::lock_guard lock(d->M);
    d->Faults.SetRandom(Probability, Seed);
}

void SimServer::ClearFaults()
{
    std::lock_guard lock(d->M);
    d->Faults.Clear();
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
