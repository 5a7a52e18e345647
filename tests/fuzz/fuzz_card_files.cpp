// Throws arbitrary file contents at the dump, key and batch data file readers,
// which take files from anywhere, and checks what must always hold: nothing is
// read out of bounds, a refusal names a line of the file and shows none of its
// control characters, whatever is accepted reads back the same from the text
// the program would write, and every row of accepted data applies.
#include "protocol/BatchData.h"
#include "protocol/DumpFile.h"
#include "protocol/KeyFile.h"
#include "protocol/PlainText.h"

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::string_view content(reinterpret_cast<const char*>(Data), Size);
    TFileError error;
    if (const std::optional<TDumpImage> dump = ParseDump(content, "fuzz", error)) {
        TFileError again;
        const std::optional<TDumpImage> back = ParseDump(TextOf(*dump), "again", again);
        Check(back && *back == *dump);
        if (dump->AllKnown())
            Check(ImageFromBinary(BinaryOf(*dump)) == *dump);
    } else {
        Check(error.File == "fuzz" && !error.Message.empty());
        Check(PrintableText(error.Text()) == error.Text());
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
        Check(error.File == "fuzz" && !error.Message.empty());
        Check(PrintableText(error.Text()) == error.Text());
    }

    error = {};
    if (const std::optional<TBatchData> data = ParseBatchData(content, "fuzz", error)) {
        Check(data->Kinds.size() == data->Columns.size());
        for (size_t row = 0; row < data->Rows.size(); ++row) {
            Check(data->Rows[row].size() == data->Columns.size());
            ApplyRow(TDumpImage{}, *data, row); // throws, and so aborts, for a cell it cannot write
        }
    } else {
        Check(error.File == "fuzz" && !error.Message.empty());
        Check(PrintableText(error.Text()) == error.Text());
    }
    return 0;
}
