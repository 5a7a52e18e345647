// TSimServer ties its parts together under one lock: requests from the line
// go through the parser, the fault choice and the engine, and their replies
// wait in the queue for their time.
#include "sim/SimServer.h"

#include "protocol/Commands.h"
#include "sim/CardDump.h"
#include "sim/FaultChoice.h"
#include "sim/Faults.h"
#include "sim/FrameParser.h"
#include "sim/PacedLine.h"
#include "sim/PtyLine.h"
#include "sim/ReaderEngine.h"
#include "sim/ReplyQueue.h"
#include "sim/RequestLog.h"

#include <atomic>
#include <mutex>
#include <random>
#include <stdexcept>
#include <utility>

namespace sim {

namespace {

void CheckBlock(int Block)
{
    if (Block < 0 || Block >= TMifareCard::Blocks)
        throw std::out_of_range("block number out of range");
}

void CheckKey(int KeyType, int Sector)
{
    if (KeyType < 0 || KeyType > 1 || Sector < 0 || Sector >= SectorCount)
        throw std::out_of_range("key type or sector out of range");
}

} // namespace

struct TSimServer::TImpl {
    mutable std::mutex Lock;
    TReaderEngine Engine;
    TRequestLog History;
    TFaultChoice Faults;
    TDropCounts Drops;
    std::function<void(const TRecord&)> Observer;
    std::function<void(const std::string&)> NoticeObserver;
    std::atomic<int> PaceMs{0};                      // the reader's processing time when paced; 0: not paced
    std::mt19937 SerialDraw{std::random_device{}()}; // under Lock: blank cards' serial numbers

    // Owned by the line's thread alone.
    TFrameParser Parser;
    TReplyQueue Queue;
    TPacedLine Wire; // paced replies under way
    TClock::time_point LastByte;
    uint64_t DropRun = 0;           // replies dropped since one last went out
    std::vector<TRecord> Sent;      // written, the observer not yet told
    std::vector<std::string> Notes; // made, the notice observer not yet told

    // Last, so the thread ends before anything it uses goes.
    TPtyLine Line;

    void Received(const uint8_t* Data, size_t Size);
    // Under Lock: what goes on the line for one request.
    TFaultedReply Answer(const TParsedFrame& Request, TClock::time_point Now);
    std::optional<TClock::time_point> TakeDue(std::vector<uint8_t>& Out);
    void HungUp(size_t Unwritten);
    // Under Lock: one more reply dropped.
    void DropReply();
    // Under Lock: the notice for a run of dropped replies that ended.
    void EndDropRun();
    // After the write, so the observers never hold a reply up.
    void Written();
    // Outside Lock: hands Records to the observer.
    void Notify(const std::vector<TRecord>& Records);
};

TFaultedReply TSimServer::TImpl::Answer(const TParsedFrame& Request, TClock::time_point Now)
{
    if (!Request.ChecksumOk)
        return {true, {{Now, TReaderEngine::MakeReply(StatusBadChecksum)}}};
    const uint8_t cmd = Request.Bytes[1];
    const std::optional<TFault> fault = Faults.Take(cmd);
    // A refused command never reaches the card.
    const std::vector<uint8_t> reply = CarriesOut(fault) ? Engine.Handle(Request.Bytes) : std::vector<uint8_t>{};
    return ApplyFault(reply, cmd, fault, Now);
}

void TSimServer::TImpl::DropReply()
{
    ++Drops.Replies;
    ++DropRun;
}

void TSimServer::TImpl::EndDropRun()
{
    if (DropRun == 0)
        return;
    Notes.push_back("dropped " + std::to_string(DropRun) + " replies the program did not read, beyond "
        + std::to_string(ReplyBacklogLimit) + " bytes waiting");
    DropRun = 0;
}

void TSimServer::TImpl::Received(const uint8_t* Data, size_t Size)
{
    LastByte = TClock::now();
    const auto frames = Parser.Feed(Data, Size);
    if (frames.empty())
        return;
    std::vector<TRecord> records;
    {
        std::lock_guard lock(Lock);
        const auto now = TClock::now();
        const int paceMs = PaceMs;
        // Paced, the reader answers its processing time after the request's
        // last byte would have come in over the line, the requests of one
        // read back to back.
        TClock::time_point requestEnd = now;
        for (const auto& frame : frames) {
            records.push_back(History.AddRequest(now, frame.Bytes));
            TClock::time_point answerAt = now;
            if (paceMs > 0) {
                requestEnd += ptrdiff_t(frame.Bytes.size()) * ByteTime;
                answerAt = requestEnd + std::chrono::milliseconds(paceMs);
            }
            for (auto& piece : Answer(frame, answerAt).Pieces) {
                if (Queue.Bytes() + piece.Bytes.size() > ReplyBacklogLimit)
                    DropReply();
                else
                    Queue.Add(std::move(piece));
            }
        }
    }
    // After the engine ran: an observer that sees a request sees it done.
    Notify(records);
}

std::optional<TClock::time_point> TSimServer::TImpl::TakeDue(std::vector<uint8_t>& Out)
{
    const auto now = TClock::now();
    if (Parser.Pending() > 0 && now - LastByte >= InterCharTimeout) {
        // A reader's inter-character time-out: the rest of this frame is not
        // coming, and the next request must not be read as its tail.
        Notes.push_back("dropped " + std::to_string(Parser.Pending()) + " bytes of an unfinished request: no byte for "
            + std::to_string(InterCharTimeout.count()) + " ms");
        Parser.Reset();
        std::lock_guard lock(Lock);
        ++Drops.UnfinishedRequests;
    }
    const bool paced = PaceMs > 0;
    const auto due = Queue.TakeDue(now);
    if (!due.empty()) {
        std::lock_guard lock(Lock);
        for (const auto& piece : due) {
            // Out and the wire hold what the program has not read yet.
            if (Out.size() + Wire.Bytes() + piece.Bytes.size() > ReplyBacklogLimit) {
                DropReply();
                continue;
            }
            EndDropRun();
            if (paced)
                Wire.Add(piece.Due, piece.Bytes);
            else
                Out.insert(Out.end(), piece.Bytes.begin(), piece.Bytes.end());
            Sent.push_back(History.AddSent(now, piece.Bytes));
        }
    }
    if (paced)
        Wire.TakeDue(now, Out);
    else
        Wire.TakeAll(Out); // pacing was turned off with bytes on the line
    std::optional<TClock::time_point> next = Queue.NextDue();
    if (const auto wire = Wire.NextDue(); wire && (!next || *wire < *next))
        next = wire;
    if (Parser.Pending() > 0 && (!next || LastByte + InterCharTimeout < *next))
        next = LastByte + InterCharTimeout;
    return next;
}

void TSimServer::TImpl::HungUp(size_t Unwritten)
{
    const size_t waiting = Unwritten + Queue.Bytes() + Wire.Bytes();
    Parser.Reset();
    Queue.Clear();
    Wire.Clear();
    std::lock_guard lock(Lock);
    EndDropRun();
    if (waiting == 0)
        return;
    ++Drops.ClosedBacklogs;
    Notes.push_back("the program closed the port: dropped the " + std::to_string(waiting)
        + " bytes of replies it had not read");
}

void TSimServer::TImpl::Written()
{
    Notify(std::exchange(Sent, {}));
    if (Notes.empty())
        return;
    std::function<void(const std::string&)> observer;
    {
        std::lock_guard lock(Lock);
        observer = NoticeObserver;
    }
    const std::vector<std::string> notes = std::exchange(Notes, {});
    if (observer)
        for (const auto& note : notes)
            observer(note);
}

void TSimServer::TImpl::Notify(const std::vector<TRecord>& Records)
{
    if (Records.empty())
        return;
    std::function<void(const TRecord&)> observer;
    {
        std::lock_guard lock(Lock);
        observer = Observer;
    }
    if (observer)
        for (const auto& r : Records)
            observer(r);
}

TSimServer::TSimServer()
    : FImpl(std::make_unique<TImpl>())
{
    FImpl->Line.Start({[this](const uint8_t* Data, size_t Size) { FImpl->Received(Data, Size); },
        [this](std::vector<uint8_t>& Out) { return FImpl->TakeDue(Out); }, [this] { FImpl->Written(); },
        [this](size_t Unwritten) { FImpl->HungUp(Unwritten); }});
}

TSimServer::~TSimServer() { FImpl->Line.Stop(); }

const std::string& TSimServer::DevicePath() const { return FImpl->Line.Path(); }

std::vector<std::vector<uint8_t>> TSimServer::Requests() const
{
    std::lock_guard lock(FImpl->Lock);
    return FImpl->History.Requests();
}

std::vector<std::vector<uint8_t>> TSimServer::RequestsWithoutBeeps() const
{
    std::lock_guard lock(FImpl->Lock);
    return FImpl->History.RequestsWithout(Cmd::Beep);
}

void TSimServer::ClearRequests()
{
    std::lock_guard lock(FImpl->Lock);
    FImpl->History.ClearRequests();
}

int TSimServer::BeepCount() const
{
    std::lock_guard lock(FImpl->Lock);
    return FImpl->Engine.Beeps;
}

std::vector<TSimServer::TRecord> TSimServer::Log() const
{
    std::lock_guard lock(FImpl->Lock);
    return FImpl->History.Records();
}

void TSimServer::SetObserver(std::function<void(const TRecord&)> Observer)
{
    std::lock_guard lock(FImpl->Lock);
    FImpl->Observer = std::move(Observer);
}

void TSimServer::SetNoticeObserver(std::function<void(const std::string&)> Observer)
{
    std::lock_guard lock(FImpl->Lock);
    FImpl->NoticeObserver = std::move(Observer);
}

void TSimServer::SetPace(int ProcessingMs)
{
    if (ProcessingMs < 0)
        throw std::out_of_range("processing time below 0");
    FImpl->PaceMs = ProcessingMs;
}

TSimServer::TDropCounts TSimServer::Drops() const
{
    std::lock_guard lock(FImpl->Lock);
    return FImpl->Drops;
}

void TSimServer::RemoveCard()
{
    std::lock_guard lock(FImpl->Lock);
    FImpl->Engine.Card.Remove();
}

void TSimServer::InsertCard()
{
    std::lock_guard lock(FImpl->Lock);
    FImpl->Engine.Card.Insert();
}

bool TSimServer::CardPresent() const
{
    std::lock_guard lock(FImpl->Lock);
    return FImpl->Engine.Card.Present();
}

void TSimServer::HaltCard()
{
    std::lock_guard lock(FImpl->Lock);
    FImpl->Engine.Card.ForceHalt();
}

std::array<uint8_t, 4> TSimServer::Serial() const
{
    std::lock_guard lock(FImpl->Lock);
    return FImpl->Engine.Card.Serial();
}

void TSimServer::SetSerial(std::array<uint8_t, 4> Serial)
{
    std::lock_guard lock(FImpl->Lock);
    FImpl->Engine.Card.SetSerial(Serial);
}

std::array<uint8_t, 4> TSimServer::InsertBlankCard(std::optional<std::array<uint8_t, 4>> Serial)
{
    std::lock_guard lock(FImpl->Lock);
    const TSerial previous = FImpl->Engine.Card.Serial();
    TSerial serial = Serial.value_or(previous);
    // A new card, so a new number; 88 first is the cascade tag, which would
    // announce a longer serial number to a real reader.
    while (!Serial && (serial == previous || serial[0] == 0x88)) {
        const uint32_t draw = FImpl->SerialDraw();
        serial = {uint8_t(draw >> 24), uint8_t(draw >> 16), uint8_t(draw >> 8), uint8_t(draw)};
    }
    FImpl->Engine.Card = TMifareCard(serial);
    return serial;
}

std::array<uint8_t, 16> TSimServer::Block(int Block) const
{
    CheckBlock(Block);
    std::lock_guard lock(FImpl->Lock);
    return FImpl->Engine.Card.Raw(Block);
}

void TSimServer::SetBlock(int Block, const std::array<uint8_t, 16>& Data)
{
    CheckBlock(Block);
    std::lock_guard lock(FImpl->Lock);
    FImpl->Engine.Card.SetRaw(Block, Data);
}

std::array<uint8_t, 6> TSimServer::StoredKey(int KeyType, int Sector) const
{
    CheckKey(KeyType, Sector);
    std::lock_guard lock(FImpl->Lock);
    return FImpl->Engine.StoredKeys[KeyType][Sector];
}

void TSimServer::SetStoredKey(int KeyType, int Sector, const std::array<uint8_t, 6>& Key)
{
    CheckKey(KeyType, Sector);
    std::lock_guard lock(FImpl->Lock);
    FImpl->Engine.StoredKeys[KeyType][Sector] = Key;
}

void TSimServer::InjectFault(uint8_t Command, TFault Fault, int Count, int Skip)
{
    std::lock_guard lock(FImpl->Lock);
    FImpl->Faults.Inject(Command, Fault, Count, Skip);
}

void TSimServer::SetRandomFaults(double Probability, uint32_t Seed)
{
    std::lock_guard lock(FImpl->Lock);
    FImpl->Faults.SetRandom(Probability, Seed);
}

void TSimServer::ClearFaults()
{
    std::lock_guard lock(FImpl->Lock);
    FImpl->Faults.Clear();
}

bool TSimServer::SaveDump(const std::string& Path, std::string* Error) const
{
    TDumpBytes image;
    {
        std::lock_guard lock(FImpl->Lock);
        image = ImageOf(FImpl->Engine.Card);
    }
    std::string error;
    const bool saved = WriteDump(Path, image, error);
    if (Error)
        *Error = error;
    return saved;
}

bool TSimServer::LoadDump(const std::string& Path, std::string* Error)
{
    std::string error;
    const std::optional<TDumpBytes> image = ReadDump(Path, error);
    if (Error)
        *Error = error;
    if (!image)
        return false;
    std::lock_guard lock(FImpl->Lock);
    LoadImage(FImpl->Engine.Card, *image);
    return true;
}

} // namespace sim
