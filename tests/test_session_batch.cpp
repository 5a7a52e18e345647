// The production line on a reader in the same process and a real SQLite
// ledger: cards in a row each written with its data row and recorded, a
// card presented again, a card taken away mid-write (failed, its row given
// back to the next card), a station stopped mid-card whose card gets its
// row again, and the beeps only after the record.
#include "protocol/BatchData.h"
#include "protocol/DumpFile.h"
#include "protocol/KeyFile.h"
#include "records/Ledger.h"
#include "session/BatchJob.h"
#include "session/CardWork.h"
#include "session/LinkSession.h"
#include "support/InProcessReader.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

TSerial SerialNo(int N) { return {0x40, 0x12, 0xA3, uint8_t(N)}; }

struct TLine : TBatchEvents {
    std::vector<TBatchCard> Cards;
    int Placed = 0; // times a card was asked for
    std::function<void(const TSerial&)> OnTakeAway;
    std::function<void(int)> OnProgress;
    void CardEnded(const TBatchCard& Card, const TBatchCounters& /*Counters*/) override { Cards.push_back(Card); }
    void PlaceCard() override { ++Placed; }
    void CardInField(const TSerial& Serial) override { InField.push_back(Serial); }
    std::vector<TSerial> InField;
    void TakeAway(const TSerial& Serial) override
    {
        if (OnTakeAway)
            OnTakeAway(Serial);
    }
    void Progress(int Sector) override
    {
        if (OnProgress)
            OnProgress(Sector);
    }
};

class BatchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Dir.isValid());
        Session.UseReader(Reader);
        QString error;
        Ledger = TLedger::Open(Dir.filePath("ledger.sqlite"), QStringLiteral("batch-test"), error);
        ASSERT_TRUE(Ledger) << error.toStdString();
        TFileError fileError;
        Data = ParseBatchData("number,block 4,block 8\n"
                              "1001,00000000000000000000000000001001,AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n"
                              "1002,00000000000000000000000000001002,BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB\n"
                              "1003,00000000000000000000000000001003,CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCC\n"
                              "1004,00000000000000000000000000001004,DDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDD\n",
            "cards.csv", fileError);
        ASSERT_TRUE(Data) << fileError.Text();
        TBatchStart start;
        start.Name = QStringLiteral("cards.csv");
        start.TemplateSha256 = QStringLiteral("t");
        start.DataSha256 = QStringLiteral("d");
        for (const std::string& column : Data->Columns)
            start.Columns << QString::fromStdString(column);
        std::vector<QStringList> rows;
        for (const auto& row : Data->Rows) {
            QStringList cells;
            for (const std::string& cell : row)
                cells << QString::fromStdString(cell);
            rows.push_back(cells);
        }
        start.Rows = RowsOf(rows);
        ASSERT_TRUE(Ledger->StartBatch(start)) << Ledger->Error().toStdString();
        std::string keysError;
        Settings.Batch = start.Name;
        Settings.Station = QStringLiteral("station 1");
        Settings.Keys = *KeysToTry({}, nullptr, keysError);
        Settings.PollMs = 1;
        Settings.CardImage = [this](const TClaim& Claim) { return ApplyRow(TDumpImage{}, *Data, size_t(Claim.Row - 1)); };
        Job = std::make_unique<TBatchJob>(Session, *Ledger, Line);
        Place(1);
    }

    // A fresh card in the field, as a new one from the lot.
    void Place(int N)
    {
        Reader.Engine.Card = sim::TMifareCard(SerialNo(N));
        Reader.Engine.Card.Format();
    }

    // The next card of Queue at each take-away; the batch stops after the last.
    void Feed(std::vector<int> Queue)
    {
        Line.OnTakeAway = [this, Queue, at = size_t(0)](const TSerial&) mutable {
            if (at < Queue.size())
                Place(Queue[at++]);
            else
                Job->Stop();
        };
    }

    size_t Beeps(uint8_t Sent)
    {
        size_t n = 0;
        for (const auto& r : Reader.Requests)
            n += r.size() > 1 && r[1] == Sent ? 1 : 0;
        return n;
    }

    QTemporaryDir Dir;
    TInProcessReader Reader;
    TSessionEvents Quiet;
    TLinkSession Session{Quiet};
    std::unique_ptr<TLedger> Ledger;
    std::optional<TBatchData> Data;
    TBatchSettings Settings;
    TLine Line;
    std::unique_ptr<TBatchJob> Job;
};

struct TExpect {
    int Serial;
    int Row;
    TBatchResult Result;
};

void ExpectCards(const std::vector<TBatchCard>& Cards, const std::vector<TExpect>& Expected)
{
    ASSERT_EQ(Cards.size(), Expected.size());
    for (size_t i = 0; i < Cards.size(); ++i) {
        SCOPED_TRACE("card " + std::to_string(i) + ": " + Cards[i].Detail);
        EXPECT_EQ(Cards[i].Serial, SerialNo(Expected[i].Serial));
        EXPECT_EQ(Cards[i].Row, Expected[i].Row);
        EXPECT_EQ(Cards[i].Result, Expected[i].Result);
    }
}

TEST_F(BatchTest, CardsInARowEachGetTheirRowAndACardPresentedAgainIsNotWritten)
{
    Feed({2, 1, 3});
    EXPECT_EQ(Job->Run(Settings), TBatchEnd::Stopped);
    ExpectCards(Line.Cards, {{1, 1, TBatchResult::Done}, {2, 2, TBatchResult::Done}, {1, 1, TBatchResult::AlreadyPrepared}, {3, 3, TBatchResult::Done}});
    // The card in the field at the end is the third: the template with its row.
    const TDumpImage third = ApplyRow(TDumpImage{}, *Data, 2);
    EXPECT_EQ(Reader.Engine.Card.Raw(4), third.Data[4]);
    EXPECT_EQ(Reader.Engine.Card.Raw(8), third.Data[8]);
    EXPECT_EQ(Line.Cards[3].Written, (std::vector<int>{4, 8}));
    EXPECT_EQ(Job->Counters().Done, 3);
    EXPECT_EQ(Job->Counters().AlreadyPrepared, 1);
    EXPECT_EQ(Job->Counters().RowsLeft, 1);
    // One beep a card done, two for the one prepared before: not a failure.
    EXPECT_EQ(Beeps(Cmd::Beep), 3u + 2u);
    EXPECT_EQ(Job->Counters().Failed, 0);
}

// The ledger keeps instants (stored with any offset, or in UTC); the
// operator reads when a card was prepared in local time.
TEST_F(BatchTest, ACardPresentedAgainSaysWhenInLocalTime)
{
    const struct TRestoreTz {
        QByteArray Old = qgetenv("TZ");
        ~TRestoreTz() { Old.isNull() ? qunsetenv("TZ") : qputenv("TZ", Old); }
    } restore;
    qputenv("TZ", "America/New_York");
    const std::optional<TClaim> claim = Ledger->Claim(Settings.Batch, QStringLiteral("station 0"), SerialNo(1), false);
    ASSERT_TRUE(claim) << Ledger->Error().toStdString();
    TCardRecord card;
    card.Time = QDateTime(QDate(2026, 12, 8), QTime(6, 5, 31, 123), Qt::UTC);
    card.Station = QStringLiteral("station 0");
    card.Serial = SerialNo(1);
    card.Row = claim->Row;
    card.Outcome = TCardOutcome::Done;
    ASSERT_TRUE((Ledger->Record(*claim, card) == TRecordResult::Recorded)) << Ledger->Error().toStdString();
    Feed({});
    EXPECT_EQ(Job->Run(Settings), TBatchEnd::Stopped);
    ExpectCards(Line.Cards, {{1, 1, TBatchResult::AlreadyPrepared}});
    ASSERT_EQ(Line.Cards.size(), 1u);
    EXPECT_EQ(Line.Cards[0].Detail, "2026-12-08T01:05:31.123-05:00");
}

TEST_F(BatchTest, ACardTakenAwayMidWriteFailsAndItsRowGoesToTheNext)
{
    int progress = 0;
    Line.OnProgress = [&](int) {
        // The map's sixteen sectors, then the write's: gone at its sector 1.
        if (++progress == SectorCount + 2)
            Reader.Engine.Card.Remove();
    };
    Feed({2});
    Settings.Count = 1;
    EXPECT_EQ(Job->Run(Settings), TBatchEnd::CountReached);
    ExpectCards(Line.Cards, {{1, 1, TBatchResult::Failed}, {2, 1, TBatchResult::Done}});
    EXPECT_NE(Line.Cards[0].Detail.find("card gone"), std::string::npos) << Line.Cards[0].Detail;
    EXPECT_EQ(Line.Cards[0].Cause, TFailCause::CardLeft);
    EXPECT_EQ(Line.Cards[0].Headline, "Card left the field \u2014 place it again");
    EXPECT_EQ(Job->Counters().Failed, 1);
    EXPECT_EQ(Job->Counters().RowsLeft, 3);
}

TEST_F(BatchTest, ACardLeftMidWayByAStoppedStationGetsItsRowAgain)
{
    // Station 0 claimed row 1 for card 1 and was killed before recording it.
    const std::optional<TClaim> lost = Ledger->Claim(Settings.Batch, QStringLiteral("station 0"), SerialNo(1), false);
    ASSERT_TRUE(lost);
    ASSERT_EQ(lost->Row, 1);
    // ... and has been silent long since: its claim may be carried on.
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("batch-test-raw"));
        db.setDatabaseName(Dir.filePath("ledger.sqlite"));
        ASSERT_TRUE(db.open());
        QSqlQuery query(db);
        ASSERT_TRUE(query.exec(QStringLiteral("UPDATE ledger_stations SET heartbeat_at = '2026-01-01T00:00:00.000Z' WHERE name = 'station 0'")));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("batch-test-raw"));
    Feed({2});
    Settings.Count = 2;
    EXPECT_EQ(Job->Run(Settings), TBatchEnd::CountReached);
    ExpectCards(Line.Cards, {{1, 1, TBatchResult::Done}, {2, 2, TBatchResult::Done}});
    // Station 0's claim is no longer its own: it records nothing.
    TCardRecord late;
    late.Station = QStringLiteral("station 0");
    late.Batch = Settings.Batch;
    late.Serial = SerialNo(1);
    late.Row = 1;
    late.Outcome = TCardOutcome::Done;
    EXPECT_FALSE((Ledger->Record(*lost, late) == TRecordResult::Recorded));
}

TEST_F(BatchTest, TheBatchEndsTheMomentItsRowsRunOut)
{
    // Card 4 is the last row's: no card is asked for after it, and no
    // removal is waited for.
    Feed({2, 3, 4});
    Settings.HasRows = true;
    EXPECT_EQ(Job->Run(Settings), TBatchEnd::RowsOut);
    ExpectCards(Line.Cards, {{1, 1, TBatchResult::Done}, {2, 2, TBatchResult::Done}, {3, 3, TBatchResult::Done}, {4, 4, TBatchResult::Done}});
    EXPECT_EQ(Line.Placed, 4);
    EXPECT_EQ(Job->Counters().RowsLeft, 0);
    // Only the card on the reader at the start is announced as such.
    EXPECT_EQ(Line.InField, std::vector<TSerial>{SerialNo(1)});
}

TEST_F(BatchTest, TrailersAreDecidedBeforeTheFirstCardAndADeclinedOneFailsNoCard)
{
    // Sector 1's trailer: new key A, the transport access bits.
    TDumpImage image;
    TBlockData trailer{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xFF, 0x07, 0x80, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    image.SetBlock(7, trailer);
    struct TCase {
        bool Approve;
        bool Written;
    };
    for (const TCase c : {TCase{false, false}, TCase{true, true}}) {
        SCOPED_TRACE(c.Approve ? "approved" : "declined");
        int asked = 0;
        std::string error;
        const std::optional<TDumpImage> decided = DecideTrailers(
            image, [&](const TTrailerChange& Change) {
                ++asked;
                EXPECT_EQ(Change.Sector, 1);
                return c.Approve;
            },
            error);
        ASSERT_TRUE(decided) << error;
        EXPECT_EQ(asked, 1);
        Line.Cards.clear();
        Place(c.Approve ? 11 : 10);
        Settings.Trailers = true;
        Settings.Count = 1;
        Settings.CardImage = [&](const TClaim& Claim) { return ApplyRow(*decided, *Data, size_t(Claim.Row - 1)); };
        EXPECT_EQ(Job->Run(Settings), TBatchEnd::CountReached);
        ASSERT_EQ(Line.Cards.size(), 1u);
        EXPECT_EQ(Line.Cards[0].Result, TBatchResult::Done) << Line.Cards[0].Detail;
        EXPECT_EQ(std::count(Line.Cards[0].Written.begin(), Line.Cards[0].Written.end(), 7), c.Written ? 1 : 0);
        EXPECT_EQ(Reader.Engine.Card.Raw(7) == trailer, c.Written);
    }
    // Access bits that contradict each other would lock the sector on every
    // card: refused before any.
    trailer[6] = 0x00;
    image.SetBlock(7, trailer);
    std::string error;
    EXPECT_FALSE(DecideTrailers(
        image, [](const TTrailerChange&) { return true; }, error));
    EXPECT_NE(error.find("sector 1"), std::string::npos) << error;
}

} // namespace
