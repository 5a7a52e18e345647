#include "support/InProcessReader.h"

#include "sim/CardDump.h"

int TInProcessReader::ExchangeFrame(const TRequest& Request)
{
    if (Request.Length < 2 || Request.Frame[0] != Request.Length)
        return ResultNotSent;
    std::vector<uint8_t> frame(Request.Frame.begin(), Request.Frame.begin() + Request.Length + 1);
    SealFrame(frame.data());
    Requests.push_back(frame);
    const uint8_t command = Request.Command();
    FReply.Start(command);
    const std::vector<uint8_t> reply = Engine.Handle(frame);
    if (reply.empty())
        return ResultNoReply;
    if (!FReply.Feed(reply))
        return ResultBadReply;
    return CheckReply(FReply.Bytes(), command);
}

bool TInProcessReader::LoadDump(const std::string& Path, std::string& Error)
{
    const std::optional<TDumpBytes> image = sim::ReadDump(Path, Error);
    if (!image)
        return false;
    sim::LoadImage(Engine.Card, *image);
    return true;
}
