// Reading a card with a key map, and comparing it with a dump.
#include "session/CardJobSteps.h"

using namespace CardJobSteps;

TSectorOutcome TCardJobs::ReadSector(int Sector, const TSectorKeys& Keys, TDumpImage& Image)
{
    TSectorOutcome out;
    out.Result = TSectorResult::Done;
    int keyType = KeyA;
    const TOpen open = OpenAny(Sector, Keys, keyType);
    if (open != TOpen::Ok) {
        Fail(out, open == TOpen::Gone ? TSectorResult::CardGone : TSectorResult::NoKey, -1);
        return out;
    }
    int row = 0;
    for (; row < BlocksPerSector && !Stopping(); ++row) {
        const int block = BlockOf(Sector, row);
        std::optional<TBlockData> data = ReadBlock(block);
        // A block one key may not read the other may: it stays the key for
        // the blocks after it.
        if (!data && !FGone && !Stopping() && SwitchKey(Keys, keyType))
            data = ReadBlock(block);
        if (!data) {
            Fail(out, FGone ? TSectorResult::CardGone : TSectorResult::ReadDenied, block);
            if (FGone)
                break;
            continue;
        }
        if (!IsTrailer(block)) {
            Image.SetBlock(block, *data);
            continue;
        }
        SeeTrailer(Image, Sector, *data, keyType, FAuthKey, Keys);
    }
    if (row < BlocksPerSector && !FGone) {
        std::vector<int> notReached;
        for (; row < BlocksPerSector; ++row)
            notReached.push_back(BlockOf(Sector, row));
        CutShort(out, notReached);
    }
    return out;
}

TReadResult TCardJobs::ReadAll(const TKeyMap& Keys)
{
    TReadResult result;
    if (Begin(result))
        result.Sectors = EverySector([&](int Sector) { return ReadSector(Sector, Keys[size_t(Sector)], result.Image); });
    return result;
}

std::optional<TReadResult> TCardJobs::ReadCard(const TKeyMap& Keys)
{
    return Run([&] { return ReadAll(Keys); });
}

std::optional<TCompareResult> TCardJobs::Compare(const TDumpImage& Dump, const TKeyMap& Keys)
{
    return Run([&] {
        const TReadResult card = ReadAll(Keys);
        TCompareResult result = CompareCard(card.Image, card.Sectors, Dump);
        result.Serial = card.Serial;
        return result;
    });
}
