// The line as the line window reads it, on an SQLite file and on a private
// PostgreSQL server alike: a batch's progress and its stations (working,
// waiting, silent; last card with its labels, last hour, yield, last
// failure; counted on from look to look, a long batch too), the batches
// newest first, and a watch that says when a station wrote (SQLite's data
// version; PostgreSQL's notifications and poll).
#include "records/Ledger.h"
#include "records/LedgerWatch.h"
#include "session/CardWords.h"
#include "support/PtyPeer.h"
#include "support/SharedPg.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <tuple>

using namespace std::chrono_literals;

namespace {

enum class TBackend { Sqlite,
    PostgreSql };

TSerial Card(uint32_t N) { return {uint8_t(N >> 24), uint8_t(N >> 16), uint8_t(N >> 8), uint8_t(N)}; }
QString SerialOf(uint32_t N) { return QString::fromStdString(SerialText(Card(N))); }

TBatchStart Batch(const QString& Name, int Rows, const QString& Data)
{
    std::vector<QStringList> rows;
    for (int i = 1; i <= Rows; ++i)
        rows.push_back({QString::number(i), QStringLiteral("%1").arg(i, 32, 10, QLatin1Char('0')), QStringLiteral("Card %1").arg(i)});
    return TBatchStart{Name, QStringLiteral("7e3b"), Data, {QStringLiteral("number"), QStringLiteral("block 4"), QStringLiteral("name")}, RowsOf(rows)};
}

// A statement on the ledger behind the program's back; the error, if any.
QString RawExec(const QString& Address, const QString& Sql)
{
    QString error;
    const std::optional<TLedgerPlace> place = ParseLedgerPlace(Address, error);
    if (!place)
        return error;
    const QString name = QStringLiteral("line-test-raw");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(place->PostgreSql ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(place->PostgreSql ? place->Database : place->File);
        db.setHostName(place->Host);
        db.setUserName(place->User);
        QSqlQuery query(db);
        if (!db.open())
            error = db.lastError().text();
        else if (!query.exec(Sql))
            error = query.lastError().text();
    }
    QSqlDatabase::removeDatabase(name);
    return error;
}

int Connections = 0;

class LineTest : public ::testing::TestWithParam<TBackend> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FFolder.isValid());
        if (GetParam() == TBackend::Sqlite) {
            FAddress = FFolder.filePath(QStringLiteral("ledger.sqlite"));
            return;
        }
        TPgServer* server = Pg->Server();
        ASSERT_NE(server, nullptr) << "the PostgreSQL server for the tests did not start: " << Pg->Failure();
        const QString database = server->NewDatabase();
        ASSERT_FALSE(database.isEmpty()) << server->Error();
        FAddress = server->Url(database);
    }

    std::unique_ptr<TLedger> Open(bool ReadOnly = false)
    {
        QString error;
        TLedgerAccess access;
        access.ReadOnly = ReadOnly;
        auto ledger = TLedger::Open(FAddress, QStringLiteral("line-test-%1").arg(++Connections), error, access);
        EXPECT_TRUE(ledger) << error.toStdString();
        return ledger;
    }

    // A card claimed and recorded at Station, Minutes ago.
    void Recorded(TLedger& Ledger, const QString& BatchName, const QString& Station, uint32_t Serial, TCardOutcome Outcome, int Minutes = 0)
    {
        const std::optional<TClaim> claim = Ledger.Claim(BatchName, Station, Card(Serial), false);
        ASSERT_TRUE(claim) << Ledger.Error().toStdString();
        TCardRecord card;
        card.Time = Now.addSecs(-60 * Minutes);
        card.Station = Station;
        card.Operator = QStringLiteral("op ") + Station;
        card.Batch = BatchName;
        card.Serial = Card(Serial);
        card.Row = claim->Row;
        card.Outcome = Outcome;
        if (Outcome == TCardOutcome::Failed) {
            card.Cause = TFailCause::NoKey;
            card.Detail = QStringLiteral("no key opened sector 2");
        }
        card.DurationMs = 2900;
        ASSERT_EQ(Ledger.Record(*claim, card), TRecordResult::Recorded) << Ledger.Error().toStdString();
    }

    const QDateTime Now = QDateTime::fromMSecsSinceEpoch(QDateTime::currentMSecsSinceEpoch(), Qt::UTC);
    QTemporaryDir FFolder;
    QString FAddress;
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Backends, LineTest, ::testing::Values(TBackend::Sqlite, TBackend::PostgreSql),
    [](const ::testing::TestParamInfo<TBackend>& Info) {
        return Info.param == TBackend::Sqlite ? "Sqlite" : "PostgreSql";
    });

TEST_P(LineTest, TheLineShowsEachStationOfTheBatchAndItsProgress)
{
    const auto ledger = Open();
    ASSERT_TRUE(ledger);
    ASSERT_TRUE(ledger->StartBatch(Batch(QStringLiteral("lot 1"), 7, QStringLiteral("d1")))) << ledger->Error().toStdString();
    ASSERT_TRUE(ledger->StartBatch(Batch(QStringLiteral("lot 2"), 2, QStringLiteral("d2")))) << ledger->Error().toStdString();
    const QString desk1 = QStringLiteral("desk-1");
    const QString desk2 = QStringLiteral("desk-2");
    const QString desk3 = QStringLiteral("desk-3");
    // desk-1: rows 1 and 2 done (one two hours ago), row 3 failed and
    // taken again by the card it holds now.
    Recorded(*ledger, QStringLiteral("lot 1"), desk1, 1, TCardOutcome::Done, 120);
    Recorded(*ledger, QStringLiteral("lot 1"), desk1, 2, TCardOutcome::Done);
    Recorded(*ledger, QStringLiteral("lot 1"), desk1, 3, TCardOutcome::Failed);
    ASSERT_TRUE(ledger->Claim(QStringLiteral("lot 1"), desk1, Card(4), false)) << ledger->Error().toStdString();
    // desk-2 heard now, between cards; desk-3 last heard a little over
    // three minutes ago; desk-9 worked in the other batch only.
    Recorded(*ledger, QStringLiteral("lot 1"), desk2, 5, TCardOutcome::Done);
    Recorded(*ledger, QStringLiteral("lot 1"), desk3, 6, TCardOutcome::Done);
    Recorded(*ledger, QStringLiteral("lot 2"), QStringLiteral("desk-9"), 7, TCardOutcome::Done);
    const QString threeMinutesAgo = Now.addSecs(-200).toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"));
    ASSERT_EQ(RawExec(FAddress, QStringLiteral("UPDATE ledger_stations SET heartbeat_at = '%1' WHERE name = 'desk-3'").arg(threeMinutesAgo)), QString());

    const auto reader = Open(true);
    ASSERT_TRUE(reader);
    const std::optional<TLineView> view = reader->Stations(QStringLiteral("lot 1"));
    ASSERT_TRUE(view) << reader->Error().toStdString();
    EXPECT_EQ(view->Batch, QStringLiteral("lot 1"));
    EXPECT_EQ(view->Rows, 7);
    EXPECT_EQ(view->RowsDone, 4);

    const struct {
        const QString& Name;
        const char* State;
        uint32_t LastCard;
        int Row;
        int Done;
        int Failed;
        int LastHour;
        std::optional<double> Yield;
        bool FailedOnce;
    } want[] = {
        {desk1, "working", 3, 3, 2, 1, 1, 2.0 / 3, true},
        {desk2, "waiting", 5, 4, 1, 0, 1, 1.0, false},
        {desk3, "silent 3 min", 6, 5, 1, 0, 1, 1.0, false},
    };
    ASSERT_EQ(view->Stations.size(), std::size(want));
    for (size_t i = 0; i < std::size(want); ++i) {
        const TLineStation& got = view->Stations[i];
        const auto& w = want[i];
        SCOPED_TRACE(w.Name.toStdString());
        EXPECT_EQ(got.Name, w.Name);
        EXPECT_EQ(got.State, QLatin1String(w.State));
        EXPECT_EQ(got.Operator, QStringLiteral("op ") + w.Name);
        EXPECT_EQ(got.LastSerial, SerialOf(w.LastCard));
        EXPECT_EQ(got.LastRow, w.Row);
        EXPECT_EQ(got.LastLabels, (QStringList{QStringLiteral("number: %1").arg(w.Row), QStringLiteral("name: Card %1").arg(w.Row)}));
        EXPECT_EQ(got.Done, w.Done);
        EXPECT_EQ(got.Failed, w.Failed);
        EXPECT_EQ(got.DoneLastHour, w.LastHour);
        ASSERT_TRUE(got.Yield);
        EXPECT_DOUBLE_EQ(*got.Yield, *w.Yield);
        EXPECT_EQ(got.LastFailureAt.isValid(), w.FailedOnce);
        if (w.FailedOnce) {
            EXPECT_EQ(got.LastFailureAt, Now);
            EXPECT_EQ(got.LastFailureCause, QStringLiteral("no-key"));
            EXPECT_EQ(got.LastFailureDetail, QStringLiteral("no key opened sector 2"));
        }
    }

    // The next look counts on from the last: two more cards, each once.
    Recorded(*ledger, QStringLiteral("lot 1"), desk2, 8, TCardOutcome::Failed);
    Recorded(*ledger, QStringLiteral("lot 1"), desk3, 9, TCardOutcome::Done, 90);
    const std::optional<TLineView> next = reader->Stations(QStringLiteral("lot 1"));
    ASSERT_TRUE(next) << reader->Error().toStdString();
    ASSERT_EQ(next->Stations.size(), 3u);
    const TLineStation& two = next->Stations[1];
    EXPECT_EQ(std::tuple(two.Done, two.Failed, two.DoneLastHour, two.LastSerial, two.LastFailureCause), std::tuple(1, 1, 1, SerialOf(8), QStringLiteral("no-key")));
    const TLineStation& three = next->Stations[2];
    EXPECT_EQ(std::tuple(three.Done, three.Failed, three.DoneLastHour, three.LastSerial), std::tuple(2, 0, 1, SerialOf(9)));
    EXPECT_EQ(next->Stations[0].Done, 2);
    EXPECT_EQ(next->RowsDone, 5);

    // A long batch: what the looks keep and what they count again meet
    // without a card counted twice or left out.
    ASSERT_EQ(RawExec(FAddress, QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000)"
                                               " INSERT INTO ledger_records (recorded_at, station, batch_id, serial, row_no, result, detail, blocks, duration_ms)"
                                               " SELECT '2026-01-01T00:00:00.000Z', 'desk-5', b.id, 'S' || i, 0, 'done', '', '[]', 1"
                                               " FROM n, ledger_batches b WHERE b.name = 'lot 1'")),
        QString());
    for (const int done : {3000, 3001}) {
        if (done > 3000)
            Recorded(*ledger, QStringLiteral("lot 1"), QStringLiteral("desk-5"), 10, TCardOutcome::Done);
        const std::optional<TLineView> longer = reader->Stations(QStringLiteral("lot 1"));
        ASSERT_TRUE(longer) << reader->Error().toStdString();
        ASSERT_EQ(longer->Stations.size(), 4u);
        EXPECT_EQ(longer->Stations[3].Done, done);
        EXPECT_EQ(longer->Stations[2].Done, 2);
    }

    EXPECT_EQ(reader->Batches(), (QStringList{QStringLiteral("lot 2"), QStringLiteral("lot 1")}));
    EXPECT_FALSE(reader->Stations(QStringLiteral("lot 3")));
    EXPECT_TRUE(reader->Error().contains(QLatin1String("no batch named lot 3"))) << reader->Error().toStdString();
}

TEST_P(LineTest, TheWatchSaysWhenAStationWrote)
{
    const auto ledger = Open();
    ASSERT_TRUE(ledger);
    ASSERT_TRUE(ledger->StartBatch(Batch(QStringLiteral("lot 1"), 3, QStringLiteral("d1")))) << ledger->Error().toStdString();
    const auto reader = Open(true);
    ASSERT_TRUE(reader);
    TLedgerWatch watch(*reader);
    int changes = 0;
    QObject::connect(&watch, &TLedgerWatch::Changed, [&]() { ++changes; });

    ASSERT_TRUE(ledger->Claim(QStringLiteral("lot 1"), QStringLiteral("desk-1"), Card(1), false)) << ledger->Error().toStdString();
    EXPECT_TRUE(WaitUntil([&]() { return changes > 0; }, 30s));
    if (GetParam() == TBackend::PostgreSql) {
        // Heard at once, with no change for the poll to see; and again
        // after the connection was lost and made again.
        const int before = changes;
        ASSERT_EQ(RawExec(FAddress, QStringLiteral("NOTIFY orvelle_ledger, 'lot 1'")), QString());
        EXPECT_TRUE(WaitUntil([&]() { return changes > before; }, 30s));
        ASSERT_TRUE(Pg->Server()->Stop());
        ASSERT_TRUE(Pg->Server()->Resume());
        const int after = changes;
        // Until the poll made the connection again: a notification a second.
        bool heard = false;
        for (int i = 0; i < 60 && !heard; ++i) {
            RawExec(FAddress, QStringLiteral("NOTIFY orvelle_ledger, 'lot 1'"));
            heard = WaitUntil([&]() { return changes > after; }, 1s);
        }
        EXPECT_TRUE(heard);
    }
}
