#include "support/InProcessReader.h"

#include "sim/CardDump.h"
#include "sim/Faults.h"

#include <stdexcept>

int TInProcessReader::ExchangeFrame(const TRequest& Request)
{
    if (Request.Length < 2 || Request.Frame[0] != Request.Length)
        return ResultNotSent;
    std::vector<uint8_t> frame(Request.Frame.begin(), Request.Frame.begin() + Request.Length + 1);
    SealFrame(frame.data());
    Requests.push_back(frame);
    const uint8_t command = Request.Command();
    FReply.Start(command);
    const std::optional<sim::TFault> fault = FFaults.Take(command);
    // A refused command never reaches the card.
    const std::vector<uint8_t> answer = sim::CarriesOut(fault) ? Engine.Handle(frame) : std::vector<uint8_t>{};
    std::vector<uint8_t> line;
    for (const sim::TTimedBytes& piece : sim::ApplyFault(answer, command, fault, {}).Pieces)
        line.insert(line.end(), piece.Bytes.begin(), piece.Bytes.end());
    Replies.push_back(line);
    if (line.empty())
        return ResultNoReply;
    if (FReply.Feed(line) || FReply.Failed())
        return CheckReply(FReply.Bytes(), command);
    // Bytes but no whole reply: what the link says at its time-out.
    return ResultBadReply;
}

bool TInProcessReader::LoadDump(const std::string& Path, std::string& Error)
{
    const std::optional<TDumpBytes> image = sim::ReadDump(Path, Error);
    if (!image)
        return false;
    sim::LoadImage(Engine.Card, *image);
    return true;
}

void TInProcessReader::InjectFault(uint8_t Command, sim::TFault Fault, int Count, int Skip)
{
    if (Fault.Kind == sim::TFaultKind::Delay || Fault.Kind == sim::TFaultKind::Split)
        throw std::invalid_argument("a delayed or split reply needs the line");
    FFaults.Inject(Command, Fault, Count, Skip);
}

TInProcessReader::TFrames TInProcessReader::RequestsWithoutBeeps() const
{
    TFrames out;
    for (const std::vector<uint8_t>& request : Requests)
        if (request[1] != Cmd::Beep)
            out.push_back(request);
    return out;
}

void TInProcessReader::ClearRequests()
{
    Requests.clear();
    Replies.clear();
}
