// A batch's start on an SQLite file and on a private PostgreSQL server
// alike: its rows stored as they come (many a statement where the database
// takes arrays), every cell kept as given whatever it holds, a source that
// fails mid-way storing nothing, and a second station starting the same
// batch while the first still stores its rows waiting and then joining.
#include "records/Ledger.h"
#include "session/BatchJob.h"
#include "support/SharedPg.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <memory>
#include <thread>

namespace {

enum class TBackend { Sqlite,
    PostgreSql };

TSerial Card(uint32_t N) { return {uint8_t(N >> 24), uint8_t(N >> 16), uint8_t(N >> 8), uint8_t(N)}; }

int Connections = 0;

class BatchStartTest : public ::testing::TestWithParam<TBackend> {
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

    std::unique_ptr<TLedger> Open()
    {
        QString error;
        std::unique_ptr<TLedger> ledger = TLedger::Open(FAddress, QStringLiteral("start-test-%1").arg(++Connections), error);
        EXPECT_TRUE(ledger) << error.toStdString();
        return ledger;
    }

    QTemporaryDir FFolder;
    QString FAddress;
};

TBatchStart Lot(TRowSource Rows)
{
    return TBatchStart{QStringLiteral("lot 9"), QStringLiteral("7e3b"), QStringLiteral("d474"), {QStringLiteral("name")}, std::move(Rows)};
}

// Row N's one cell.
QString Numbered(int N) { return QStringLiteral("card %1").arg(N); }

// Every row's cells as stored, in order, read behind the ledger's back.
std::vector<QStringList> StoredRows(const QString& Address, QString& Error)
{
    std::vector<QStringList> rows;
    const std::optional<TLedgerPlace> place = ParseLedgerPlace(Address, Error);
    if (!place)
        return rows;
    const QString name = QStringLiteral("start-test-raw");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(place->PostgreSql ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(place->PostgreSql ? place->Database : place->File);
        db.setHostName(place->Host);
        db.setUserName(place->User);
        QSqlQuery query(db);
        if (!db.open() || !query.exec(QStringLiteral("SELECT row_no, cells FROM ledger_rows ORDER BY row_no"))) {
            Error = db.lastError().text() + query.lastError().text();
        } else {
            while (query.next()) {
                if (query.value(0).toInt() != int(rows.size()) + 1)
                    Error = QStringLiteral("row %1 after %2").arg(query.value(0).toInt()).arg(rows.size());
                QStringList cells;
                for (const auto& cell : QJsonDocument::fromJson(query.value(1).toString().toUtf8()).array())
                    cells << cell.toString();
                rows.push_back(cells);
            }
        }
        query.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return rows;
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Backends, BatchStartTest, ::testing::Values(TBackend::Sqlite, TBackend::PostgreSql),
    [](const ::testing::TestParamInfo<TBackend>& Info) {
        return Info.param == TBackend::Sqlite ? "Sqlite" : "PostgreSql";
    });

TEST_P(BatchStartTest, EveryCellIsStoredAsGivenAcrossStatements)
{
    // Rows past a statement's chunk, the odd cells at both ends of one.
    const QStringList odd{QStringLiteral("say \"hi\""), QStringLiteral("back\\slash \\\""), QStringLiteral("a,b"),
        QStringLiteral("{braces}"), QStringLiteral("two\nlines"), QStringLiteral("Zoë Ørsted ✓"), QStringLiteral("NULL"), QString()};
    constexpr int Rows = 5003;
    const int ends = int(odd.size());
    const auto cellOf = [&](int Row) { return Row <= ends ? odd[Row - 1] : Row > Rows - ends ? odd[Rows - Row]
                                                                                             : Numbered(Row); };
    const std::unique_ptr<TLedger> ledger = Open();
    ASSERT_TRUE(ledger);
    int given = 0;
    ASSERT_TRUE(ledger->StartBatch(Lot([&](const TRowSink& Take, QString&) {
        for (int row = 1; row <= Rows; ++row) {
            ++given;
            if (!Take({cellOf(row)}))
                return false;
        }
        return true;
    }))) << ledger->Error().toStdString();
    EXPECT_EQ(given, Rows);
    EXPECT_EQ(ledger->RowsLeft(QStringLiteral("lot 9")), Rows);
    QString error;
    const std::vector<QStringList> stored = StoredRows(FAddress, error);
    EXPECT_TRUE(error.isEmpty()) << error.toStdString();
    ASSERT_EQ(stored.size(), size_t(Rows));
    for (int row = 1; row <= Rows; ++row)
        ASSERT_EQ(stored[size_t(row - 1)], QStringList{cellOf(row)}) << row;
    const std::optional<TClaim> claim = ledger->Claim(QStringLiteral("lot 9"), QStringLiteral("bench 1"), Card(1), false);
    ASSERT_TRUE(claim) << ledger->Error().toStdString();
    EXPECT_EQ(claim->Cells, QStringList{odd[0]});
}

TEST_P(BatchStartTest, RowsThatFailMidwayStoreNothing)
{
    const std::unique_ptr<TLedger> ledger = Open();
    ASSERT_TRUE(ledger);
    EXPECT_FALSE(ledger->StartBatch(Lot([](const TRowSink& Take, QString& Error) {
        for (int row = 1; row <= 7000; ++row) {
            if (!Take({Numbered(row)}))
                return false;
        }
        Error = QStringLiteral("cards.csv: line 7002: the file changed while it was read");
        return false;
    })));
    EXPECT_TRUE(ledger->StartRefusedInput());
    EXPECT_EQ(ledger->Error(), QStringLiteral("batch lot 9: cards.csv: line 7002: the file changed while it was read"));
    EXPECT_FALSE(ledger->RowsLeft(QStringLiteral("lot 9")));
}

TEST_P(BatchStartTest, ASecondStationStartingMeanwhileWaitsAndJoins)
{
    std::promise<void> opened;
    std::promise<void> storing;
    std::promise<void> waiting;
    std::shared_future<void> waited = waiting.get_future().share();
    bool firstStarted = false;
    QString firstError;
    // A connection is used on the thread that made it: the first station
    // opens its ledger on its own thread.
    std::thread first([&]() {
        QString error;
        std::unique_ptr<TLedger> ledger = TLedger::Open(FAddress, QStringLiteral("start-test-first"), error);
        opened.set_value();
        if (!ledger) {
            firstError = error;
            storing.set_value();
            return;
        }
        firstStarted = ledger->StartBatch(Lot([&](const TRowSink& Take, QString&) {
            storing.set_value();
            // Held open until the second station is known to wait.
            waited.wait();
            for (int row = 1; row <= 3; ++row) {
                if (!Take({Numbered(row)}))
                    return false;
            }
            return true;
        }));
        if (!firstStarted)
            firstError = ledger->Error();
    });
    opened.get_future().wait();
    storing.get_future().wait();
    // Opened while the first holds the write lock, as a station started at
    // the same moment would.
    const std::unique_ptr<TLedger> second = Open();
    if (!second) {
        waiting.set_value();
        first.join();
        FAIL() << "the second station's ledger could not be opened";
    }
    QStringList told;
    second->OnStartWaiting([&](const QString& Why) {
        told << Why;
        waiting.set_value();
    });
    const bool joined = second->StartBatch(Lot(RowsOf({{Numbered(1)}, {Numbered(2)}, {Numbered(3)}})));
    if (told.isEmpty())
        waiting.set_value(); // the first must not wait for ever on a failed test
    first.join();
    EXPECT_TRUE(firstStarted) << firstError.toStdString();
    EXPECT_TRUE(joined) << second->Error().toStdString();
    ASSERT_EQ(told.size(), 1);
    EXPECT_TRUE(told[0].contains(QStringLiteral("another station is starting batch lot 9"))) << told[0].toStdString();
    EXPECT_EQ(second->RowsLeft(QStringLiteral("lot 9")), 3);
    const std::optional<TClaim> claim = second->Claim(QStringLiteral("lot 9"), QStringLiteral("bench 2"), Card(1), false);
    ASSERT_TRUE(claim) << second->Error().toStdString();
    EXPECT_EQ(claim->Cells, QStringList{Numbered(1)});
}

TEST_P(BatchStartTest, ADataFileIsStoredAsItStreamsAndRefusedOnceChanged)
{
    const std::string data = FFolder.filePath(QStringLiteral("cards.csv")).toStdString();
    const std::string template_ = FFolder.filePath(QStringLiteral("template.txt")).toStdString();
    std::ofstream(template_) << "template\n";
    const auto write = [&data](const std::string& Last) {
        std::ofstream out(data, std::ios::binary);
        out << "number,block 4,name\n";
        for (int i = 1; i < 12000; ++i)
            out << i << ",00112233445566778899AABBCCDDEEFF,Card " << i << "\n";
        out << Last << "\n";
    };
    write("12000,00112233445566778899AABBCCDDEEFF,\"Last, \"\"one\"\"\"");
    TFileError error;
    const std::optional<TBatchData> checked = ReadDataFile(data, error);
    ASSERT_TRUE(checked) << error.Text();
    EXPECT_EQ(checked->RowCount, 12000u);
    EXPECT_TRUE(checked->Rows.empty());
    const std::unique_ptr<TLedger> ledger = Open();
    ASSERT_TRUE(ledger);

    // Changed between its check and its start: nothing stored.
    write("12000,00112233445566778899AABBCCDDEEFF,Someone else");
    EXPECT_FALSE(ledger->StartBatch(BatchStartOf(QStringLiteral("lot 9"), template_, data, checked)));
    EXPECT_TRUE(ledger->StartRefusedInput());
    EXPECT_TRUE(ledger->Error().endsWith(QStringLiteral("cards.csv changed since it was checked: check it and start the batch again")))
        << ledger->Error().toStdString();
    EXPECT_FALSE(ledger->RowsLeft(QStringLiteral("lot 9")));

    write("12000,00112233445566778899AABBCCDDEEFF,\"Last, \"\"one\"\"\"");
    ASSERT_TRUE(ledger->StartBatch(BatchStartOf(QStringLiteral("lot 9"), template_, data, checked))) << ledger->Error().toStdString();
    EXPECT_EQ(ledger->RowsLeft(QStringLiteral("lot 9")), 12000);
    QString why;
    const std::vector<QStringList> stored = StoredRows(FAddress, why);
    ASSERT_EQ(stored.size(), 12000u) << why.toStdString();
    EXPECT_EQ(stored.front(), (QStringList{QStringLiteral("1"), QStringLiteral("00112233445566778899AABBCCDDEEFF"), QStringLiteral("Card 1")}));
    EXPECT_EQ(stored.back(), (QStringList{QStringLiteral("12000"), QStringLiteral("00112233445566778899AABBCCDDEEFF"), QStringLiteral("Last, \"one\"")}));
}
