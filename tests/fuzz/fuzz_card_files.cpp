// Throws arbitrary file contents at the dump (every form), key file, key map
// and batch data file readers, which take files from anywhere, and checks
// what must always hold: nothing is read out of bounds, a refusal names a
// line of the file and shows none of its control characters, whatever is
// accepted reads back the same from the text the program would write (and,
// known in full, from every other form it writes), and every row of
// accepted data applies.
#include "protocol/BatchData.h"
#include "protocol/DumpFile.h"
#include "protocol/KeyFile.h"
#include "protocol/PlainText.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void Check(bool Condition)
{
    if (!Condition)
        std::abort();
}

void CheckRefusal(const TFileError& Error)
{
    Check(Error.File == "fuzz" && !Error.Message.empty());
    Check(PrintableText(Error.Text()) == Error.Text());
}

// The digits, without the serial number only the JSON form carries.
bool SameDigits(const std::optional<TDumpImage>& Back, const TDumpImage& Dump)
{
    return Back && Back->Data == Dump.Data && Back->Known == Dump.Known;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::string_view content(reinterpret_cast<const char*>(Data), Size);
    TFileError error;
    if (const std::optional<TDumpImage> dump = ParseDump(content, "fuzz", error)) {
        TFileError again;
        Check(SameDigits(ParseDump(TextOf(*dump), "again", again), *dump));
        if (dump->AllKnown()) {
            Check(SameDigits(ImageFromBinary(BinaryOf(*dump)), *dump));
            Check(SameDigits(ParseDump(EmlOf(*dump), "again", again), *dump));
            const std::optional<TDumpImage> json = ParseDump(JsonOf(*dump), "again", again);
            Check(SameDigits(json, *dump) && json->Serial == DumpSerial(*dump));
        }
    } else {
        CheckRefusal(error);
    }

    error = {};
    if (const std::optional<TKeyMap> map = ParseKeyMap(content, "fuzz", error)) {
        TFileError again;
        Check(ParseKeyMap(KeyMapText(*map), "again", again) == map);
        const bool whole = std::all_of(map->begin(), map->end(), [](const TSectorKeys& S) { return S.KeyA && S.KeyB; });
        const std::string binary = BinaryKeyMap(*map);
        // Keys whose bytes make lines of text are read as a text file: the
        // one case the binary form cannot be told by.
        const bool lines = IsPlainText(binary) && IsUtf8(binary) && binary.find('\n') != std::string::npos;
        if (whole && !lines)
            Check(ParseKeyMap(binary, "again", again) == map);
    } else {
        CheckRefusal(error);
    }

    error = {};
    if (const std::optional<TKeyList> keys = ParseKeyFile(content, "fuzz", error)) {
        std::string text;
        for (const TKey& key : *keys)
            text += KeyText(key) + "\n";
        TFileError again;
        const std::optional<TKeyList> back = ParseKeyFile(text, "again", again);
        Check(back && *back == *keys);
    } else {
        CheckRefusal(error);
    }

    error = {};
    if (const std::optional<TBatchData> data = ParseBatchData(content, "fuzz", error)) {
        Check(data->Kinds.size() == data->Columns.size());
        for (size_t row = 0; row < data->Rows.size(); ++row) {
            Check(data->Rows[row].size() == data->Columns.size());
            ApplyRow(TDumpImage{}, *data, row); // throws, and so aborts, for a cell it cannot write
        }
    } else {
        CheckRefusal(error);
    }
    return 0;
}
