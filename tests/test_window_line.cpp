// The line window on a ledger that stations write meanwhile, on an SQLite
// file (its data version looked at) and on a private PostgreSQL server (its
// notifications): a card claimed and recorded shows in the stations' table
// and the progress without anything pressed; a ledger not there yet is
// said, never made, and taken once a station made it.
#include "app/LineWindow.h"
#include "support/PgServer.h"
#include "support/PtyPeer.h"

#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QStackedBarSeries>
#include <QTableWidget>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

using namespace std::chrono_literals;

namespace {

std::unique_ptr<TPgServer> Server;

TSerial Card(uint32_t N) { return {uint8_t(N >> 24), uint8_t(N >> 16), uint8_t(N >> 8), uint8_t(N)}; }

class LineWindowTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FFolder.isValid());
        if (!GetParam()) {
            FAddress = FFolder.filePath(QStringLiteral("ledger.sqlite"));
            return;
        }
        if (!Server) {
            Server = std::make_unique<TPgServer>();
            ASSERT_TRUE(Server->Start()) << Server->Error();
        }
        const QString database = Server->NewDatabase();
        ASSERT_FALSE(database.isEmpty()) << Server->Error();
        FAddress = Server->Url(database);
    }
    static void TearDownTestSuite() { Server.reset(); }

    QTemporaryDir FFolder;
    QString FAddress;
};

// The bar sets a chart of the window draws: name and values.
std::vector<std::pair<QString, QList<qreal>>> Bars(const TLineWindow& Window, const char* Name)
{
    std::vector<std::pair<QString, QList<qreal>>> bars;
    const auto* view = Window.findChild<QChartView*>(QLatin1String(Name));
    for (QAbstractSeries* series : view ? view->chart()->series() : QList<QAbstractSeries*>()) {
        for (const QBarSet* set : static_cast<QAbstractBarSeries*>(series)->barSets()) {
            QList<qreal> values;
            for (int i = 0; i < set->count(); ++i)
                values << set->at(i);
            bars.emplace_back(set->label(), values);
        }
    }
    return bars;
}

QString Cell(const QTableWidget& Table, int Row, int Column)
{
    const QTableWidgetItem* item = Table.item(Row, Column);
    return item ? item->text() : QString();
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Backends, LineWindowTest, ::testing::Values(false, true),
    [](const ::testing::TestParamInfo<bool>& Info) { return Info.param ? "PostgreSql" : "Sqlite"; });

TEST_P(LineWindowTest, AStationsCardShowsWithoutAPress)
{
    QString error;
    const auto station = TLedger::Open(FAddress, QStringLiteral("line-window-station"), error);
    ASSERT_TRUE(station) << error.toStdString();
    std::vector<QStringList> rows;
    for (int i = 1; i <= 3; ++i)
        rows.push_back({QStringLiteral("%1").arg(i, 32, 10, QLatin1Char('0')), QStringLiteral("Card %1").arg(i)});
    const TBatchStart batch{QStringLiteral("lot 1"), QStringLiteral("7e3b"), QStringLiteral("d1"), {QStringLiteral("block 4"), QStringLiteral("name")}, RowsOf(rows)};
    ASSERT_TRUE(station->StartBatch(batch)) << station->Error().toStdString();

    TLineWindow window(FAddress);
    window.show();
    auto* table = window.findChild<QTableWidget*>(QStringLiteral("LineStations"));
    auto* progress = window.findChild<QLabel*>(QStringLiteral("LineProgressText"));
    ASSERT_TRUE(table && progress);
    EXPECT_EQ(progress->text(), QStringLiteral("0 of 3 rows done, no rate yet"));
    EXPECT_EQ(table->rowCount(), 0);

    const std::optional<TClaim> claim = station->Claim(QStringLiteral("lot 1"), QStringLiteral("desk-1"), Card(7), false);
    ASSERT_TRUE(claim) << station->Error().toStdString();
    EXPECT_TRUE(WaitUntil([&]() { return Cell(*table, 0, 1) == QStringLiteral("working"); }, 30s)) << Cell(*table, 0, 1).toStdString();
    EXPECT_EQ(Cell(*table, 0, 0), QStringLiteral("desk-1"));

    TCardRecord card;
    card.Time = QDateTime::currentDateTimeUtc();
    card.Station = QStringLiteral("desk-1");
    card.Operator = QStringLiteral("Ann");
    card.Batch = QStringLiteral("lot 1");
    card.Serial = Card(7);
    card.Row = claim->Row;
    card.Outcome = TCardOutcome::Done;
    ASSERT_EQ(station->Record(*claim, card), TRecordResult::Recorded) << station->Error().toStdString();
    // Heard between cards, as a running station is.
    ASSERT_TRUE(station->Heartbeat(QStringLiteral("desk-1"))) << station->Error().toStdString();
    EXPECT_TRUE(WaitUntil([&]() { return progress->text().startsWith(QStringLiteral("1 of 3 rows done, estimated end ")); }, 30s))
        << progress->text().toStdString();
    EXPECT_TRUE(progress->text().endsWith(QStringLiteral(" at the last hour's rate"))) << progress->text().toStdString();
    const QStringList row{Cell(*table, 0, 0), Cell(*table, 0, 1), Cell(*table, 0, 2), Cell(*table, 0, 3), Cell(*table, 0, 4), Cell(*table, 0, 5), Cell(*table, 0, 6),
        Cell(*table, 0, 7)};
    // The cards per 10 minutes, one bucket so far; no failure yet.
    using TBars = std::vector<std::pair<QString, QList<qreal>>>;
    EXPECT_TRUE(WaitUntil([&]() { return Bars(window, "LineChartRate") == TBars{{QStringLiteral("desk-1"), {1.0}}}; }, 30s));
    EXPECT_EQ(Bars(window, "LineChartCauses"), (TBars{{QStringLiteral("failures"), {}}}));
    EXPECT_EQ(row, (QStringList{QStringLiteral("desk-1"), QStringLiteral("waiting"), QStringLiteral("Ann"), QStringLiteral("00000007"), QStringLiteral("1"), QStringLiteral("name: Card 1"), QStringLiteral("1"), QStringLiteral("100.0 %")}));
}

TEST(LineWindow, ALedgerNotThereYetIsSaidAndTakenOnceAStationMadeIt)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString address = folder.filePath(QStringLiteral("ledger.sqlite"));
    TLineWindow window(address);
    auto* status = window.findChild<QLabel*>(QStringLiteral("LineStatus"));
    auto* batches = window.findChild<QComboBox*>(QStringLiteral("LineBatch"));
    ASSERT_TRUE(status && batches);
    EXPECT_FALSE(status->isHidden());
    EXPECT_TRUE(status->text().contains(address)) << status->text().toStdString();
    // Read only: the window never makes the ledger itself.
    EXPECT_FALSE(QFile::exists(address));

    QString error;
    const auto station = TLedger::Open(address, QStringLiteral("line-window-late-station"), error);
    ASSERT_TRUE(station) << error.toStdString();
    ASSERT_TRUE(station->StartBatch({QStringLiteral("lot 9"), QStringLiteral("7e3b"), QString(), {}, {}})) << station->Error().toStdString();
    EXPECT_TRUE(WaitUntil([&]() { return batches->currentText() == QStringLiteral("lot 9"); }, 60s));
    EXPECT_TRUE(status->isHidden()) << status->text().toStdString();
}
