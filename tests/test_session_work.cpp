// The whole-card workflow both faces share, on a reader in the same process:
// the key map kept per card and reused while it stays, a cancel that outlasts
// the map, how each sequence ends and what every listener is told, the keys
// to try and the rule a dump is saved by.
#include "protocol/DumpFile.h"
#include "protocol/KeyFile.h"
#include "session/CardWords.h"
#include "session/CardWork.h"
#include "session/LinkSession.h"
#include "support/InProcessReader.h"
#include "support/TestPaths.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

const std::string MixedCard = TestData("mixed-card.txt");

struct TWorkRecorder : TCardWorkEvents {
    std::vector<TCardJob> Started;
    std::function<void(int)> OnProgress;
    bool Approve = true;
    int Asked = 0;

    void JobStarted(TCardJob Job) override { Started.push_back(Job); }
    void Progress(int Sector) override
    {
        if (OnProgress)
            OnProgress(Sector);
    }
    bool ApproveTrailers(const std::vector<TTrailerChange>& /*Changes*/) override
    {
        ++Asked;
        return Approve;
    }
    bool ConfirmTrailer(const TTrailerChange& /*Change*/) override { return Approve; }
};

struct TJobLines : TSessionEvents {
    std::vector<TCardJobRecord> Records;
    std::vector<std::string> Lines() const
    {
        std::vector<std::string> lines;
        for (const TCardJobRecord& r : Records)
            lines.push_back(r.Line);
        return lines;
    }
    void CardJobEnded(const TCardJobRecord& Record) override { Records.push_back(Record); }
};

class CardWorkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(Reader.LoadDump(MixedCard, error)) << error;
        Session.UseReader(Reader);
        Session.Listeners().Add(Second);
        Keys = *KeysToTry({}, nullptr, error);
    }
    void TearDown() override { Session.Listeners().Remove(Second); }

    // Requests of one command code sent since the last call.
    size_t Sent(uint8_t Code)
    {
        size_t n = 0;
        for (const auto& r : Reader.Requests)
            n += r.size() > 1 && r[1] == Code ? 1 : 0;
        Reader.Requests.clear();
        return n;
    }

    TInProcessReader Reader;
    TJobLines First;
    TJobLines Second; // a second listener, told the same
    TLinkSession Session{First};
    TWorkRecorder Events;
    TCardWork Work{Session, Events};
    TKeyList Keys;
};

TEST_F(CardWorkTest, TheMapIsKeptPerCardAndReusedWhileItStays)
{
    // No map yet: the read maps as it goes, in one pass, and keeps the map.
    const std::string readLine = "Read card (card 12345678): 14 sectors done, sector 3 no key, sector 4 read denied";
    TWorkRun<TReadResult> read = Work.Read(Keys);
    ASSERT_EQ(read.End, TWorkEnd::Done);
    ASSERT_TRUE(read.Map && read.Result);
    EXPECT_EQ(Events.Started, std::vector<TCardJob>{TCardJob::Read});
    EXPECT_EQ(First.Lines(), std::vector<std::string>{readLine});
    EXPECT_EQ(Second.Lines(), First.Lines());
    EXPECT_EQ(First.Records[0].Serial, (TSerial{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(SectorResultsText(read.Map->Sectors), "15 sectors done, sector 3 no key");
    // Read again with the map kept: the same card, the same keys.
    const TReadResult onePass = *read.Result;
    const TWorkRun<TReadResult> again = Work.Read(Keys);
    ASSERT_TRUE(again.Result);
    EXPECT_FALSE(again.Map);
    EXPECT_EQ(again.Result->Image, onePass.Image);
    EXPECT_EQ(again.Result->Sectors, onePass.Sectors);

    // The same card, keys it was mapped with: no second map.
    const struct {
        const char* What;
        std::function<void()> Change;
        bool Maps;
    } steps[] = {
        {"the same card again", [] {}, false},
        {"a key the map was not made with", [this] { Keys.push_back(*ParseKey("112233445566")); }, true},
        {"now with every key known", [] {}, false},
        {"another card in the field", [this] { Reader.Engine.Card.SetSerial({1, 2, 3, 4}); }, true},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.What);
        step.Change();
        read = Work.Read(Keys);
        EXPECT_EQ(read.End, TWorkEnd::Done);
        EXPECT_EQ(read.Map.has_value(), step.Maps);
        EXPECT_EQ(Work.MapCard(), Reader.Engine.Card.Serial());
    }
    // "Map keys" maps even a card it has a whole map of.
    Events.Started.clear();
    EXPECT_EQ(Work.MapKeys(Keys).End, TWorkEnd::Done);
    EXPECT_EQ(Events.Started, std::vector<TCardJob>{TCardJob::MapKeys});
    Session.Listeners().Remove(Second);
    Work.MapKeys(Keys);
    EXPECT_EQ(First.Records.size(), Second.Records.size() + 1);
}

TEST_F(CardWorkTest, AFreshCardIsReadInOnePassOfEightyOneExchanges)
{
    Reader.Engine.Card.Format();
    Reader.Requests.clear();
    const TWorkRun<TReadResult> read = Work.Read(Keys);
    ASSERT_TRUE(read.Result);
    EXPECT_TRUE(read.Result->Image.AllKnown());
    // One search (the job starts on the card it found), then each sector
    // opened once with its key A and its four blocks read while open.
    std::map<uint8_t, size_t> sent;
    for (const auto& r : Reader.Requests)
        ++sent[r.size() > 1 ? r[1] : 0];
    EXPECT_EQ(sent, (std::map<uint8_t, size_t>{{Cmd::Authenticate, 16}, {Cmd::ReadBlock, 64}, {Cmd::SearchCardSerial, 1}}));
}

TEST_F(CardWorkTest, ACancelDuringTheMapOutlastsItAndTheNextPressStartsAfresh)
{
    Events.OnProgress = [this](int Sector) {
        if (Sector == 3)
            Work.Cancel();
    };
    const TWorkRun<TCompareResult> compared = Work.Compare(TDumpImage{}, Keys, "golden.txt");
    EXPECT_EQ(compared.End, TWorkEnd::Stopped);
    EXPECT_FALSE(compared.Result);
    EXPECT_EQ(Events.Started, std::vector<TCardJob>{TCardJob::MapKeys});
    EXPECT_EQ(First.Lines(), std::vector<std::string>{"Map keys (card 12345678): cancelled; 3 sectors done, 13 not run"});
    EXPECT_TRUE(First.Records[0].Cancelled);

    // A map cut short is shown, never reused.
    Events.OnProgress = nullptr;
    Events.Started.clear();
    EXPECT_EQ(Work.Compare(TDumpImage{}, Keys, "golden.txt").End, TWorkEnd::Done);
    EXPECT_EQ(Events.Started, (std::vector<TCardJob>{TCardJob::MapKeys, TCardJob::Compare}));
}

TEST_F(CardWorkTest, EverySequenceEndsWithWhatItDidAndALineForIt)
{
    TDumpImage changedTrailer;
    {
        TFileError error;
        changedTrailer = *ReadDumpFile(MixedCard, error);
        TBlockData trailer = changedTrailer.Data[size_t(TrailerOf(1))];
        trailer[TrailerKeyBOffset] ^= 0x01;
        changedTrailer.SetBlock(TrailerOf(1), trailer);
    }
    const struct {
        const char* What;
        std::function<void()> Before;
        std::function<TWorkEnd()> Run;
        TWorkEnd End;
        std::string LastLine;
    } cases[] = {
        {"no card in the field", [this] { Reader.Engine.Card.Remove(); }, [this] { return Work.Read(Keys).End; },
            TWorkEnd::NoCard, "Read card: no card in the reader's field"},
        {"the card leaves while read in one pass",
            [this] {
                Events.OnProgress = [this](int Sector) {
                    if (Sector == 5)
                        Reader.Engine.Card.Remove();
                };
            },
            [this] { return Work.Read(Keys).End; }, TWorkEnd::Done,
            "Read card (card 12345678): 3 sectors done, sector 3 no key, sector 4 read denied, sectors 5, 6, 7, 8, 9, 10, "
            "11, 12, 13, 14, 15 card gone"},
        {"another chain holds the session", [this] { Session.BeginOperation(); },
            [this] {
                const TWorkEnd end = Work.MapKeys(Keys).End;
                Session.EndOperation();
                return end;
            },
            TWorkEnd::Refused, "Map keys: refused, another operation is running"},
        {"the card leaves while mapped",
            [this] {
                Events.OnProgress = [this](int Sector) {
                    if (Sector == 5)
                        Reader.Engine.Card.Remove();
                };
            },
            [this] { return Work.Compare(TDumpImage{}, Keys, "golden.txt").End; }, TWorkEnd::MapNotWhole,
            "Map keys (card 12345678): 4 sectors done, sector 3 no key, sectors 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15 card gone"},
        {"the trailer question is cancelled", [this] { Events.Approve = false; },
            [&] { return Work.Write(changedTrailer, Keys, true, "x.txt").End; }, TWorkEnd::Declined,
            "Write card: cancelled; nothing was written"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        TearDown();
        Reader.Engine.Card.Insert();
        First.Records.clear();
        Events = TWorkRecorder{};
        SetUp();
        c.Before();
        EXPECT_EQ(c.Run(), c.End);
        ASSERT_FALSE(First.Records.empty());
        EXPECT_EQ(First.Records.back().Line, c.LastLine);
        EXPECT_EQ(First.Records.back().End, c.End == TWorkEnd::MapNotWhole ? TWorkEnd::Done : c.End);
        EXPECT_EQ(Sent(Cmd::WriteBlock), 0u);
    }
    // Approved, the same write runs and names its dump.
    Events = TWorkRecorder{};
    const TWorkRun<TWriteResult> wrote = Work.Write(changedTrailer, Keys, true, "x.txt");
    EXPECT_EQ(wrote.End, TWorkEnd::Done);
    EXPECT_EQ(Events.Asked, 1);
    EXPECT_EQ(First.Records.back().DumpFile, "x.txt");
    EXPECT_NE(First.Records.back().Line.find("Write card (card 12345678, dump x.txt): "), std::string::npos);
    EXPECT_GT(Sent(Cmd::WriteBlock), 0u);
}

TEST(CardWorkRules, TheKeysToTryAndTheRuleADumpIsSavedBy)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string folder = dir.path().toStdString();
    {
        QFile file(dir.filePath("bad.keys"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("FFFFFFFFFFFF\nA0A1\n");
    }
    std::string error;
    EXPECT_FALSE(KeysToTry({{}, false}, nullptr, error));
    EXPECT_EQ(error, NoKeysText);
    EXPECT_FALSE(KeysToTry({{folder + "/bad.keys"}, true}, nullptr, error));
    EXPECT_NE(error.find(folder + "/bad.keys:2"), std::string::npos) << error;
    TFileError fileError;
    const TDumpImage card = *ReadDumpFile(MixedCard, fileError);
    const std::optional<TKeyList> stated = KeysToTry({{}, false}, &card, error);
    ASSERT_TRUE(stated);
    EXPECT_EQ(stated->front(), *ParseKey("FFFFFFFFFFFF")) << "the dump's own keys come first";

    TDumpImage part = card;
    part.Known[18] = TBlockData{};
    const TDumpImage nothing;
    const struct {
        const char* Name;
        const TDumpImage& Image;
        bool Saved;
        std::string Error;
    } saves[] = {
        {"nothing.txt", nothing, false, "no block could be read"},
        {"part.bin", part, false, "not fully known"},
        {"part.txt", part, true, ""},
        {"whole.mfd", card, true, ""},
    };
    for (const auto& s : saves) {
        SCOPED_TRACE(s.Name);
        error.clear();
        EXPECT_EQ(SaveCardDump(folder + "/" + s.Name, s.Image, error), s.Saved);
        EXPECT_NE(error.find(s.Error), std::string::npos) << error;
        EXPECT_EQ(QFile::exists(dir.filePath(s.Name)), s.Saved);
    }
}

} // namespace
