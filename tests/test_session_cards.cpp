// Whole-card jobs on the simulator's reader engine in the same process: a
// card of mixed keys and access conditions mapped, read and compared; writes
// caught by their verification; a card taken away mid-read and mid-write, a
// cancelled job, and the guard shared with loop tests. One test runs the
// same jobs over the simulator's line, and holds the reader in the same
// process to what the line does.
#include "protocol/KeyFile.h"
#include "serial/Comm.h"
#include "session/CardJobs.h"
#include "session/CardWords.h"
#include "session/LinkSession.h"
#include "sim/SimServer.h"
#include "support/InProcessReader.h"
#include "support/PrivateHome.h"
#include "support/SessionProbe.h"
#include "support/TestPaths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace {

TKey K(const char* Text) { return *ParseKey(Text); }

const TKey Ff = K("FFFFFFFFFFFF");
const TKey Missing = K("112233445566"); // in no list

struct TJobRecorder : TCardJobEvents {
    std::function<void(int)> OnProgress;
    std::function<void(int)> OnWritten;
    std::function<bool(const TTrailerChange&)> OnConfirm;
    std::vector<int> Progressed;

    void Progress(int Sector) override
    {
        Progressed.push_back(Sector);
        if (OnProgress)
            OnProgress(Sector);
    }
    void BlockWritten(int Block) override
    {
        if (OnWritten)
            OnWritten(Block);
    }
    bool ConfirmTrailer(const TTrailerChange& Change) override { return OnConfirm && OnConfirm(Change); }
};

std::vector<TSectorResult> Results(const TSectorOutcomes& Outcomes)
{
    std::vector<TSectorResult> out;
    for (const TSectorOutcome& o : Outcomes)
        out.push_back(o.Result);
    return out;
}

std::vector<TSectorResult> All(TSectorResult Result) { return std::vector<TSectorResult>(SectorCount, Result); }

struct TLoopHook : TSessionEvents {
    std::function<void()> OnCycle;
    bool CloseReadySaid = false;
    void CloseReady() override { CloseReadySaid = true; }
    void LoopCycleEnded(const TLoopTotals&) override
    {
        if (OnCycle)
            OnCycle();
    }
};

class CardJobsTest : public ::testing::Test {
protected:
    void SetUp() override { Session.UseReader(Reader); }

    TBlockData Block(int Number) const { return Reader.Engine.Card.Raw(Number); }
    void SetBlock(int Number, const TBlockData& Data) { Reader.Engine.Card.SetRaw(Number, Data); }
    void RemoveCard() { Reader.Engine.Card.Remove(); }
    void InsertCard() { Reader.Engine.Card.Insert(); }

    void SetTrailer(int Sector, const TKey& A, const TConditionSet& Cond, const TKey& B)
    {
        TBlockData t = Block(TrailerOf(Sector));
        std::copy(A.begin(), A.end(), t.begin());
        std::copy(B.begin(), B.end(), t.begin() + TrailerKeyBOffset);
        SetAccess(t, Cond);
        SetBlock(TrailerOf(Sector), t);
    }

    // The fixture card (tests/data/README.md): keys in no list in sector 3,
    // block 16 read by key B only, block 18 by no key, value blocks 20 and
    // 21, keys last in the built-in list in sector 15.
    void MixedCard()
    {
        std::string error;
        ASSERT_TRUE(Reader.LoadDump(TestData("mixed-card.txt"), error)) << error;
    }

    TInProcessReader Reader;
    TLoopHook Loop;
    TLinkSession Session{Loop};
    TJobRecorder Events;
    TCardJobs Jobs{Session, Events};
};

TEST_F(CardJobsTest, MapsKeysReadsAMixedCardAndComparesEqual)
{
    MixedCard();
    // The first search's reply is lost and the first authentication's is
    // spoiled: asked again, not taken for an empty field or a wrong key.
    Reader.InjectFault(0x0A, {sim::TFaultKind::NoReply});
    Reader.InjectFault(0x05, {sim::TFaultKind::BadChecksum});
    // The operator chooses "Idel card" meanwhile: the job's searches still
    // find any card, and the operator's choice stands after it.
    const auto SearchMode = [this](uint8_t Mode) {
        TReaderSettings Settings = Session.Settings();
        Settings.SearchMode = Mode;
        Session.SetSettings(Settings);
    };
    SearchMode(1);
    Events.OnProgress = [&](int Number) {
        if (Number == 5)
            SearchMode(0);
    };
    const std::optional<TMapResult> mapping = Jobs.MapKeys(CandidateKeys({}, true));
    ASSERT_TRUE(mapping);
    Events.OnProgress = nullptr;
    EXPECT_EQ(mapping->Serial, (TSerial{0x12, 0x34, 0x56, 0x78}));
    const TSectorOutcomes& mapped = mapping->Sectors;
    const TKeyMap* map = &mapping->Keys;
    EXPECT_EQ(Session.Settings().SearchMode, 0) << "the operator's choice is kept";
    int searches = 0;
    for (const auto& request : Reader.Requests)
        if (request[1] == 0x0A) {
            EXPECT_EQ(request[2], 1) << "a job searches for all cards";
            ++searches;
        }
    EXPECT_GT(searches, 16);
    EXPECT_EQ(TSessionProbe::Device(Session).ReadIntervalTimeout(), 100u) << "restored after the job";
    std::vector<TSectorResult> expected = All(TSectorResult::Done);
    expected[3] = TSectorResult::NoKey;
    EXPECT_EQ(Results(mapped), expected);
    for (int sector = 0; sector < 16; ++sector) {
        TSectorKeys want{Ff, std::nullopt}; // a readable key B is no key
        if (sector == 1)
            want = {K("A0A1A2A3A4A5"), K("B0B1B2B3B4B5")};
        else if (sector == 2)
            want = {K("D3F7D3F7D3F7"), std::nullopt};
        else if (sector == 3)
            want = {};
        else if (sector == 4)
            want = {Ff, K("AABBCCDDEEFF")};
        else if (sector == 5)
            want = {Ff, K("4D3A99C351DD")};
        else if (sector == 15)
            want = {K("8FD0A4F256E9"), K("8FD0A4F256E9")};
        EXPECT_EQ((*map)[size_t(sector)], want) << sector;
    }

    // After every refused authentication the card is activated again (a
    // search for all cards) before the next try.
    int refusals = 0;
    for (size_t i = 0; i + 1 < Reader.Requests.size(); ++i) {
        const std::vector<uint8_t>& reply = Reader.Replies[i];
        if (Reader.Requests[i][1] != 0x05 || reply.size() < 2 || reply[1] == 0x05)
            continue;
        ++refusals;
        EXPECT_EQ(Reader.Requests[i + 1][1], 0x0A) << "no search after the refused authentication " << i;
        EXPECT_EQ(Reader.Requests[i + 1][2], 1) << "search mode: all cards";
    }
    EXPECT_GT(refusals, 0);

    // Block 16 is read with key B; block 18 with neither.
    const std::optional<TReadResult> read = Jobs.ReadCard(*map);
    ASSERT_TRUE(read);
    expected[4] = TSectorResult::ReadDenied;
    EXPECT_EQ(Results(read->Sectors), expected);
    EXPECT_EQ(read->Sectors[4].Blocks, std::vector<int>{18});
    for (int block = 0; block < 64; ++block) {
        const bool unknown = block == 18 || SectorOf(block) == 3;
        EXPECT_EQ(read->Image.BlockKnown(block), !unknown) << block;
        EXPECT_EQ(read->Image.Known[size_t(block)] == TBlockData{}, unknown) << block;
        if (!unknown) {
            EXPECT_EQ(read->Image.Data[size_t(block)], Block(block)) << block;
        }
    }
    EXPECT_EQ(DecodeValueBlock(read->Image.Data[20]), (TValueBlock{1234, 20}));
    EXPECT_EQ(DecodeValueBlock(read->Image.Data[21]), (TValueBlock{-5, 21}));

    // The dump read knows neither block 18 nor sector 3: every block it
    // knows was compared.
    std::optional<TCompareResult> diff = Jobs.Compare(read->Image, *map);
    ASSERT_TRUE(diff);
    EXPECT_TRUE(diff->Agree());
    EXPECT_EQ(diff->Known, 59);
    EXPECT_EQ(diff->Blocks[18], TBlockMatch::NotInDump);
    EXPECT_EQ(diff->Blocks[13], TBlockMatch::NotInDump);
    EXPECT_EQ(diff->Blocks[16], TBlockMatch::Same);

    SetBlock(5, TBlockData{0x55});
    diff = Jobs.Compare(read->Image, *map);
    ASSERT_TRUE(diff);
    EXPECT_FALSE(diff->Agree());
    EXPECT_EQ(diff->Differ, std::vector<int>{5});
    for (int block = 0; block < 64; ++block) {
        if (block != 18 && SectorOf(block) != 3) {
            EXPECT_EQ(diff->Blocks[size_t(block)], block == 5 ? TBlockMatch::Differs : TBlockMatch::Same) << block;
        }
    }
}

TEST_F(CardJobsTest, ACardTakenAwayMidJobIsGoneForTheRest)
{
    TKeyMap map;
    map.fill(TSectorKeys{Ff, std::nullopt});
    Events.OnProgress = [&](int Sector) {
        if (Sector == 5)
            RemoveCard();
    };
    const std::optional<TReadResult> read = Jobs.ReadCard(map);
    ASSERT_TRUE(read);
    std::vector<TSectorResult> expected = All(TSectorResult::CardGone);
    std::fill_n(expected.begin(), 5, TSectorResult::Done);
    EXPECT_EQ(Results(read->Sectors), expected);
    EXPECT_TRUE(read->Image.BlockKnown(19));
    EXPECT_EQ(read->Image.Known[20], TBlockData{});
    EXPECT_EQ(Reader.RequestsWithoutBeeps().back()[1], 0x0A) << "nothing after the search that found no card";

    // Taken away after a write: its read-back finds no card, and nothing is
    // written after it.
    InsertCard();
    TDumpImage dump;
    for (int block = 0; block < 64; ++block)
        dump.SetBlock(block, IsTrailer(block) ? Block(block) : TBlockData{0xAB, uint8_t(block)});
    Events.OnProgress = nullptr;
    Events.OnWritten = [&](int Block) {
        if (Block == 9)
            RemoveCard();
    };
    // The first write's reply is lost, but the card wrote: the read-back
    // shows it done.
    Reader.InjectFault(0x07, {sim::TFaultKind::NoReply});
    Reader.ClearRequests();
    const std::optional<TWriteResult> wrote = Jobs.WriteCard(dump, map, false);
    ASSERT_TRUE(wrote);
    EXPECT_EQ(Block(1), dump.Data[1]);
    expected = All(TSectorResult::CardGone);
    expected[0] = expected[1] = TSectorResult::Done;
    EXPECT_EQ(Results(wrote->Sectors), expected);
    EXPECT_EQ(wrote->Sectors[2].Blocks, std::vector<int>{9});
    EXPECT_EQ(Block(9), dump.Data[9]);
    EXPECT_NE(Block(10), dump.Data[10]);
    EXPECT_EQ(Reader.RequestsWithoutBeeps().back()[1], 0x0A);

    // No card at a job's start: one search, no card named, no sector tried.
    Events.OnWritten = nullptr;
    RemoveCard();
    Reader.ClearRequests();
    const std::optional<TMapResult> mapped = Jobs.MapKeys(CandidateKeys({}, true));
    ASSERT_TRUE(mapped);
    EXPECT_FALSE(mapped->Serial);
    EXPECT_EQ(Results(mapped->Sectors), All(TSectorResult::NotRun));
    EXPECT_EQ(Reader.RequestsWithoutBeeps().size(), 1u);
}

TEST_F(CardJobsTest, WritesDataVerifiesEachBlockAndAsksForTrailers)
{
    // Sector 1: data written by key B only, both keys known; sector 8 the
    // same with key A known alone.
    SetTrailer(1, K("A0A1A2A3A4A5"), {4, 4, 4, 3}, K("B0B1B2B3B4B5"));
    SetTrailer(8, Ff, {4, 4, 4, 3}, K("AABBCCDDEEFF"));
    TDumpImage dump;
    for (int block = 0; block < 64; ++block)
        dump.SetBlock(block, IsTrailer(block) ? Block(block) : TBlockData{0xD0, uint8_t(block)});
    dump.Known[9][15] = 0xF0; // one unknown digit: block 9 stays
    dump.Data[27][7] ^= 0x01; // inconsistent access bits: refused unsent
    TBlockData trailer5 = dump.Data[27 - 4];
    std::fill_n(trailer5.begin(), KeyBytes, 0xA1);
    SetAccess(trailer5, {0, 0, 4, 3});
    std::fill_n(trailer5.begin() + TrailerKeyBOffset, KeyBytes, 0xB1);
    dump.SetBlock(23, trailer5);
    dump.Known[31][0] = 0x0F; // key A not known in full: not written

    Reader.InjectFault(0x07, {sim::TFaultKind::ErrorStatus}, 1, 2); // the third write: block 4
    Events.OnWritten = [&](int Block) {
        if (Block == 10)
            SetBlock(10, TBlockData{0xEE}); // differs when read back
    };
    // Asked only where the trailer would change what the card shows: sector
    // 5's keys, and sector 8's key B, which the map does not know.
    std::vector<int> asked;
    Events.OnConfirm = [&](const TTrailerChange& Change) {
        asked.push_back(Change.Sector);
        if (Change.Sector == 5) {
            EXPECT_EQ(Change.DataRights[2].Write, TKeys::B);
            EXPECT_TRUE(std::all_of(Change.NowKnown.begin(), Change.NowKnown.end(), [](uint8_t K) { return K == 0xFF; }));
            EXPECT_EQ(Change.Now, Block(23));
        }
        return Change.Sector == 5;
    };
    TKeyMap map;
    map.fill(TSectorKeys{Ff, std::nullopt});
    map[1] = {K("A0A1A2A3A4A5"), K("B0B1B2B3B4B5")};
    const TBlockData block0 = Block(0);
    const TBlockData block9 = Block(9);
    const std::optional<TWriteResult> result = Jobs.WriteCard(dump, map, true);
    ASSERT_TRUE(result);
    const TSectorOutcomes& wrote = result->Sectors;

    std::vector<TSectorResult> expected = All(TSectorResult::Done);
    expected[1] = TSectorResult::WriteRefused;
    expected[2] = TSectorResult::VerifyFailed;
    expected[6] = TSectorResult::WriteRefused;
    expected[8] = TSectorResult::WriteRefused;
    EXPECT_EQ(Results(wrote), expected);
    EXPECT_EQ(wrote[8].Blocks, (std::vector<int>{32, 33, 34}));
    EXPECT_EQ(wrote[1].Blocks, std::vector<int>{4});
    EXPECT_EQ(wrote[2].Blocks, std::vector<int>{10});
    EXPECT_EQ(wrote[2].Unknown, std::vector<int>{9});
    EXPECT_EQ(wrote[6].Blocks, std::vector<int>{27});
    EXPECT_EQ(wrote[7].Unknown, std::vector<int>{31});
    EXPECT_EQ(wrote[5].Written, (std::vector<int>{20, 21, 22, 23}));
    EXPECT_EQ(asked, (std::vector<int>{5, 8}));
    for (int sector : {0, 1, 2, 3, 4, 9, 15})
        EXPECT_EQ(wrote[size_t(sector)].Trailer, TTrailerNote::Unchanged) << sector;
    EXPECT_EQ(wrote[8].Trailer, TTrailerNote::Declined);
    EXPECT_FALSE(result->Complete());

    EXPECT_EQ(Block(0), block0);
    EXPECT_EQ(Block(9), block9);
    for (int block : {1, 2, 5, 6, 22, 62}) { // 5 and 6 by key B
        EXPECT_EQ(Block(block), dump.Data[size_t(block)]) << block;
    }
    EXPECT_EQ(Block(23), trailer5);
    EXPECT_EQ(map[5], (TSectorKeys{K("A1A1A1A1A1A1"), K("B1B1B1B1B1B1")})) << "the keys written";
    EXPECT_EQ(map[4], (TSectorKeys{Ff, std::nullopt}));
    EXPECT_EQ(Block(27), Block(31)) << "refused trailers left as they were";
    const std::vector<uint8_t> authB1 = {0x0A, 0x05, 0x01, 0x03, 0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5};
    const auto requests = Reader.Requests;
    EXPECT_TRUE(std::any_of(requests.begin(), requests.end(),
        [&](const std::vector<uint8_t>& R) { return std::equal(authB1.begin(), authB1.end(), R.begin(), R.begin() + std::min(R.size(), authB1.size())) && R.size() > authB1.size(); }))
        << "sector 1 written with key B";
    for (const std::vector<uint8_t>& request : requests) {
        if (request[1] == 0x07) {
            EXPECT_TRUE(request[2] != 0 && request[2] != 9 && request[2] != 27 && request[2] != 31
                && SectorOf(request[2]) != 8)
                << int(request[2]);
        }
    }
}

TEST_F(CardJobsTest, CancelStopsBetweenExchangesAndAWriteIsStillVerified)
{
    TKeyMap map;
    map.fill(TSectorKeys{Ff, std::nullopt});
    Events.OnProgress = [&](int Sector) {
        if (Sector == 2)
            Jobs.Cancel();
    };
    std::optional<TReadResult> read = Jobs.ReadCard(map);
    ASSERT_TRUE(read);
    std::vector<TSectorResult> expected = All(TSectorResult::NotRun);
    expected[0] = expected[1] = TSectorResult::Done;
    EXPECT_EQ(Results(read->Sectors), expected);
    EXPECT_EQ(Events.Progressed, (std::vector<int>{0, 1, 2}));

    // Cancelled between a write and its read-back: the read-back still runs,
    // and nothing after it.
    TDumpImage dump;
    for (int block = 0; block < 64; ++block)
        dump.SetBlock(block, Block(block));
    dump.Data[5][0] = 0x77;
    Events.OnProgress = nullptr;
    Events.OnWritten = [&](int Block) {
        if (Block == 5)
            Jobs.Cancel();
    };
    Reader.ClearRequests();
    const std::optional<TWriteResult> wrote = Jobs.WriteCard(dump, map, false);
    ASSERT_TRUE(wrote);
    EXPECT_EQ(Block(5), dump.Data[5]);
    const auto requests = Reader.RequestsWithoutBeeps();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[requests.size() - 2][1], 0x07);
    EXPECT_EQ(requests.back()[1], 0x06);
    EXPECT_EQ(requests.back()[2], 5);
    EXPECT_EQ(wrote->Sectors[1], (TSectorOutcome{TSectorResult::NotRun, {6}, {}, {4, 5}})) << "block 6 not reached";
    EXPECT_EQ(wrote->Sectors[2].Result, TSectorResult::NotRun);

    // A close asked for during a job ends it like a cancel, then closes.
    Events.OnWritten = nullptr;
    Events.OnProgress = [&](int Sector) {
        if (Sector == 1) {
            EXPECT_FALSE(Session.RequestClose());
        }
    };
    read = Jobs.ReadCard(map);
    ASSERT_TRUE(read);
    expected[1] = TSectorResult::NotRun;
    EXPECT_EQ(Results(read->Sectors), expected);
    EXPECT_TRUE(Loop.CloseReadySaid);
}

TEST_F(CardJobsTest, ACompareAgreesOnlyWhenEveryKnownBlockWasCompared)
{
    MixedCard();
    TFileError error;
    const TDumpImage fixture = *ReadDumpFile(TestData("mixed-card.txt"), error);
    const std::optional<TMapResult> mapped = Jobs.MapKeys(JobKeys({}, &fixture, true));
    ASSERT_TRUE(mapped);
    TDumpImage changed = fixture;
    changed.Data[9][0] ^= 1;
    const struct {
        const char* Name;
        TDumpImage Dump;
        TKeyMap Keys;
        int GoneAt; // the card taken away before this sector, -1 never
        std::string Says;
    } cases[] = {
        {"no key may read block 18", fixture, mapped->Keys, -1,
            "63 of 64 known blocks compared, 0 differ; not compared: block 18 read denied"},
        {"one block differs", changed, mapped->Keys, -1,
            "63 of 64 known blocks compared, 1 differ: block 9; not compared: block 18 read denied"},
        {"no key at all", fixture, TKeyMap{}, -1,
            "0 of 64 known blocks compared, 0 differ; not compared: blocks 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, "
            "13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, "
            "39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63 no key"},
        {"the card gone", changed, mapped->Keys, 15,
            "59 of 64 known blocks compared, 1 differ: block 9; not compared: block 18 read denied, "
            "blocks 60, 61, 62, 63 card gone"},
        {"a dump that knows nothing", TDumpImage{}, mapped->Keys, -1, "0 of 0 known blocks compared, 0 differ: the dump knows no block"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        InsertCard();
        Events.OnProgress = [&](int Sector) {
            if (Sector == c.GoneAt)
                RemoveCard();
        };
        const std::optional<TCompareResult> result = Jobs.Compare(c.Dump, c.Keys);
        ASSERT_TRUE(result);
        EXPECT_FALSE(result->Agree());
        EXPECT_EQ(CompareText(*result), c.Says);
    }
    InsertCard();
    Events.OnProgress = nullptr;
    // What no key may read left out of the dump: all of it compared.
    TDumpImage readable = fixture;
    readable.Known[18].fill(0);
    std::optional<TCompareResult> result = Jobs.Compare(readable, mapped->Keys);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->Agree());
    EXPECT_EQ(CompareText(*result), "card and dump agree");

    // An empty reader agrees with nothing.
    RemoveCard();
    result = Jobs.Compare(readable, mapped->Keys);
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->Serial);
    EXPECT_FALSE(result->Agree());
}

TEST_F(CardJobsTest, AWriteIsDoneOnlyForWhatItWroteAndACancelAtAQuestionRunsNoFurther)
{
    TKeyMap map;
    map.fill(TSectorKeys{Ff, std::nullopt});
    // Nothing known but a trailer the card has already.
    TDumpImage dump;
    dump.SetBlock(7, Block(7));
    std::optional<TWriteResult> wrote = Jobs.WriteCard(dump, map, true);
    ASSERT_TRUE(wrote);
    EXPECT_EQ(Results(wrote->Sectors), All(TSectorResult::NothingToWrite));
    EXPECT_EQ(wrote->Sectors[1].Trailer, TTrailerNote::Unchanged);
    EXPECT_FALSE(wrote->Wrote());
    EXPECT_FALSE(wrote->Complete());

    // One data block: its sector done, the others with nothing to write.
    dump.SetBlock(6, TBlockData{0x66});
    dump.SetBlock(11, Block(11));
    std::fill_n(dump.Data[11].begin(), KeyBytes, 0xA1);
    dump.SetBlock(15, Block(15));
    std::fill_n(dump.Data[15].begin(), KeyBytes, 0xA3);
    Events.OnConfirm = [&](const TTrailerChange& Change) {
        if (Change.Sector == 2)
            Jobs.Cancel();
        return true;
    };
    wrote = Jobs.WriteCard(dump, map, false);
    ASSERT_TRUE(wrote);
    std::vector<TSectorResult> expected = All(TSectorResult::NothingToWrite);
    expected[1] = TSectorResult::Done;
    EXPECT_EQ(Results(wrote->Sectors), expected);
    EXPECT_TRUE(wrote->Complete());

    // A cancel while the trailer question is open: that sector and the rest
    // are not run, and its trailer is not written.
    const TBlockData trailer2 = Block(11);
    wrote = Jobs.WriteCard(dump, map, true);
    ASSERT_TRUE(wrote);
    expected = All(TSectorResult::NotRun);
    expected[0] = TSectorResult::NothingToWrite;
    expected[1] = TSectorResult::Done;
    EXPECT_EQ(Results(wrote->Sectors), expected);
    EXPECT_EQ(wrote->Sectors[2].Blocks, std::vector<int>{11});
    EXPECT_EQ(Block(11), trailer2);
    EXPECT_NE(Block(15), dump.Data[15]);
}

TEST_F(CardJobsTest, AKeyThatOpenedASectorIsTriedFirstOnTheNext)
{
    const TKey last = DefaultKeys().back();
    for (int sector = 0; sector < 16; ++sector)
        SetTrailer(sector, last, TransportConditions, Ff);
    const std::optional<TMapResult> map = Jobs.MapKeys(CandidateKeys({}, true));
    ASSERT_TRUE(map);
    for (const TSectorKeys& keys : map->Keys)
        EXPECT_EQ(keys, (TSectorKeys{last, std::nullopt}));
    const auto requests = Reader.RequestsWithoutBeeps();
    const auto auths = std::count_if(requests.begin(), requests.end(), [](const auto& R) { return R[1] == 0x05; });
    EXPECT_EQ(auths, long(DefaultKeys().size()) + 15);
}

TEST_F(CardJobsTest, JobsAndLoopTestsExcludeEachOther)
{
    TKeyMap map;
    map.fill(TSectorKeys{Ff, std::nullopt});
    Events.OnProgress = [&](int) {
        Session.RunLoopRead(0, 1); // refused: returns at once
        EXPECT_FALSE(Session.BeginOperation());
    };
    ASSERT_TRUE(Jobs.ReadCard(map));
    // A search, then an authentication and four reads a sector: no loop cycle.
    EXPECT_EQ(Reader.RequestsWithoutBeeps().size(), size_t(1 + 16 * 5));
    EXPECT_FALSE(Session.OperationRunning());

    int cycles = 0;
    Events.OnProgress = nullptr;
    Loop.OnCycle = [&] {
        ++cycles;
        EXPECT_FALSE(Jobs.ReadCard(map));
        EXPECT_FALSE(Jobs.MapKeys(CandidateKeys({}, true)));
        Session.StopLoop();
    };
    Reader.ClearRequests();
    Session.RunLoopRead(0, 1);
    EXPECT_EQ(cycles, 1);
    EXPECT_EQ(Reader.RequestsWithoutBeeps().size(), 3u) << "the loop's cycle alone";
}

// The same jobs over the simulator's line: the session on a port, as the
// programs use it.
class CardJobsLineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Ports.Map(1, Sim.DevicePath());
        Session.SetSettings({.ReplyTimeout = 3000}); // generous: the machine is shared
        Session.ChoosePort(0);
        ASSERT_TRUE(Session.PortOpen());
        Sim.ClearRequests();
    }

    TPrivateHome Ports;
    sim::TSimServer Sim;
    TSessionEvents Quiet;
    TLinkSession Session{Quiet};
    TJobRecorder Events;
    TCardJobs Jobs{Session, Events};
};

TEST_F(CardJobsLineTest, AReaderInTheSameProcessAnswersAsTheLineDoes)
{
    // The same jobs on the same card, with the same replies spoiled (a bad
    // checksum, a refusal, noise before a reply), over the line and in
    // process: the same requests, results and card read.
    std::string error;
    ASSERT_TRUE(Sim.LoadDump(TestData("mixed-card.txt"), &error)) << error;
    TInProcessReader Reader;
    ASSERT_TRUE(Reader.LoadDump(TestData("mixed-card.txt"), error)) << error;
    const std::vector<std::pair<uint8_t, sim::TFault>> faults = {
        {0x05, {sim::TFaultKind::BadChecksum}},
        {0x06, {sim::TFaultKind::ErrorStatus}},
        {0x0A, {sim::TFaultKind::Noise}},
    };
    for (const auto& [command, fault] : faults) {
        Sim.InjectFault(command, fault, 1, 2);
        Reader.InjectFault(command, fault, 1, 2);
    }
    const auto MapAndRead = [this] {
        const std::optional<TMapResult> mapping = Jobs.MapKeys(CandidateKeys({}, true));
        EXPECT_TRUE(mapping);
        std::optional<TReadResult> read = mapping ? Jobs.ReadCard(mapping->Keys) : std::nullopt;
        EXPECT_TRUE(read);
        return read.value_or(TReadResult{});
    };
    const TReadResult overLine = MapAndRead();
    const auto lineRequests = Sim.Requests();

    Session.UseReader(Reader);
    const TReadResult inProcess = MapAndRead();
    EXPECT_EQ(Reader.Requests, lineRequests);
    EXPECT_EQ(inProcess.Serial, overLine.Serial);
    EXPECT_EQ(inProcess.Sectors, overLine.Sectors);
    EXPECT_TRUE(inProcess.Image == overLine.Image);
    EXPECT_GT(Reader.Requests.size(), 100u);
    EXPECT_TRUE(Sim.Requests() == lineRequests) << "nothing more went over the line";
}

} // namespace
