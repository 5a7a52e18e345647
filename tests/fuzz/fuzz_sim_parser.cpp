// Throws arbitrary byte streams, cut into arbitrary reads, at the simulator's
// request parser and checks what must always hold: every frame it returns is
// whole, with a request's length byte and the right verdict on its checksum;
// it never holds more than the start of one request back; frames come out in
// the order their bytes came in. Each good frame also goes to the reader,
// whose reply must be a whole, sealed frame.
#include "protocol/Frame.h"
#include "sim/FrameParser.h"
#include "sim/ReaderEngine.h"
#include "sim/ReaderStatus.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

// Requests carry L = 2 (a command alone) to 19 (a block write).
constexpr size_t MinLength = 2;
constexpr size_t MaxLength = 19;

void Check(bool Condition)
{
    if (!Condition)
        std::abort();
}

bool Sealed(const std::vector<uint8_t>& Frame)
{
    return Frame.size() >= 2 && Frame.size() == size_t(Frame[0]) + 1
        && Checksum({Frame.data(), Frame[0]}) == Frame.back();
}

bool IsStatus(uint8_t Code)
{
    return Code == sim::StatusNoCard || (Code >= sim::StatusBadChecksum && Code <= sim::StatusNotValue);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    sim::TFrameParser parser;
    sim::TReaderEngine engine;
    // Everything fed since the last reset, and where the next frame may start.
    std::vector<uint8_t> stream;
    size_t next = 0;
    // Each read is a count byte and that many bytes (count % 24, so empty
    // reads and reads longer than a frame turn up); 0xFF starts afresh.
    for (size_t at = 0; at < Size;) {
        const uint8_t head = Data[at++];
        if (head == 0xFF) {
            parser.Reset();
            Check(parser.Pending() == 0);
            stream.clear();
            next = 0;
            continue;
        }
        const size_t count = std::min<size_t>(head % 24, Size - at);
        stream.insert(stream.end(), Data + at, Data + at + count);
        const auto frames = parser.Feed(Data + at, count);
        at += count;
        for (const auto& frame : frames) {
            const std::vector<uint8_t>& bytes = frame.Bytes;
            Check(bytes.size() >= MinLength + 1);
            const size_t length = bytes[0];
            Check(length >= MinLength && length <= MaxLength);
            Check(bytes.size() == length + 1);
            Check(frame.ChecksumOk == (Checksum({bytes.data(), length}) == bytes[length]));
            // A frame is bytes of the stream, in order. A frame with a bad
            // checksum is scanned again from its second byte.
            const auto found = std::search(stream.begin() + std::ptrdiff_t(next), stream.end(), bytes.begin(),
                bytes.end());
            Check(found != stream.end());
            next = size_t(found - stream.begin()) + (frame.ChecksumOk ? bytes.size() : 1);
            if (!frame.ChecksumOk)
                continue;
            const std::vector<uint8_t> reply = engine.Handle(bytes);
            Check(Sealed(reply));
            Check(reply.size() <= size_t(MaxFrameBytes));
            Check(reply[1] == bytes[1] || IsStatus(reply[1]));
        }
        // What is held back is the start of one request, no more.
        Check(parser.Pending() <= MaxLength);
        Check(parser.Pending() <= stream.size() - std::min(next, stream.size()));
    }
    return 0;
}
