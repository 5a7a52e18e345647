// The ledger at a million cards, on an SQLite file and on PostgreSQL.
//
//   bench_ledger [--rows N] [--skip-sqlite] [--skip-postgresql]
//
// PostgreSQL: the server ORVELLE_BENCH_PG names (postgresql://...), or else a
// private one started here as the tests start theirs (tests/support). For
// each store, in a new ledger:
//  - a data file of N rows (1,000,000 by default, about 55 MB) written to a
//    temporary folder, checked as it streams (ReadDataFile: its rules and
//    SHA-256 in one pass), then started (StartBatch, its rows read again as
//    they are stored): the time of each;
//  - a start of 100,000 rows made in memory (the start alone);
//  - the median and largest of 100 claim + record at row 1, and again at
//    row N - 100 once the rows before are marked done in SQL;
//  - Summary, and Series (the report is both), over N records inserted in
//    SQL;
//  - Export's peak memory (VmHWM, reset through /proc/self/clear_refs before
//    each), for a batch of 1,000 records and for the one of N.
// A table of the figures at the end. Times are the wall clock of this
// machine, shared with whatever else runs on it.
#include "bench/BenchSupport.h"
#include "protocol/BatchDataStream.h"
#include "records/Ledger.h"
#include "session/BatchJob.h"
#include "support/PgServer.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point Start) { return std::chrono::duration<double>(Clock::now() - Start).count(); }

// This process's peak resident memory in KiB (VmHWM), -1 when unknown.
long PeakKiB()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// The peak starts again from what is resident now, the heap's free memory
// given back first, so that what the export takes shows as new pages.
void ResetPeak()
{
    ::malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
}

TSerial Card(uint32_t N) { return {uint8_t(N >> 24), uint8_t(N >> 16), uint8_t(N >> 8), uint8_t(N)}; }

QString Hex32(int N) { return QStringLiteral("%1").arg(N, 32, 16, QLatin1Char('0')).toUpper(); }

// A statement on the ledger behind its back; false with the reason printed.
bool Raw(const QString& Address, const QString& Sql)
{
    QString error;
    const std::optional<TLedgerPlace> place = ParseLedgerPlace(Address, error);
    bool ran = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(place && place->PostgreSql ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"), QStringLiteral("bench-raw"));
        if (place) {
            db.setDatabaseName(place->PostgreSql ? place->Database : place->File);
            db.setHostName(place->Host);
            db.setUserName(place->User);
        }
        QSqlQuery query(db);
        ran = place && db.open() && query.exec(Sql);
        if (!ran)
            std::fprintf(stderr, "bench_ledger: %s: %s%s\n", qPrintable(Sql.left(60)), qPrintable(error), qPrintable(db.lastError().text() + query.lastError().text()));
        query.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-raw"));
    return ran;
}

struct TFigures {
    QString Store;
    double ScanSeconds = -1;  // the data file checked as it streams
    double StartSeconds = -1; // N rows stored
    double Start100kSeconds = -1;
    double ClaimFirstMs = -1, ClaimFirstMaxMs = -1; // median, largest
    double ClaimLastMs = -1, ClaimLastMaxMs = -1;
    double SummarySeconds = -1;
    double SeriesSeconds = -1;
    long ExportSmallKiB = -1, ExportLargeKiB = -1; // peak above what was resident
};

// The median and largest of 100 claim + record, in ms.
bool ClaimAndRecord(TLedger& Ledger, const QString& Batch, uint32_t FirstSerial, double& Median, double& Largest)
{
    std::vector<double> ms;
    for (uint32_t i = 0; i < 100; ++i) {
        const Clock::time_point start = Clock::now();
        const std::optional<TClaim> claim = Ledger.Claim(Batch, QStringLiteral("bench 1"), Card(FirstSerial + i), false);
        if (!claim)
            return false;
        TCardRecord card;
        card.Time = QDateTime::currentDateTimeUtc();
        card.Station = QStringLiteral("bench 1");
        card.Batch = Batch;
        card.Serial = Card(FirstSerial + i);
        card.Row = claim->Row;
        card.Outcome = TCardOutcome::Done;
        card.Written = {4};
        card.DurationMs = 900;
        if (Ledger.Record(*claim, card) != TRecordResult::Recorded)
            return false;
        ms.push_back(SecondsSince(start) * 1000);
    }
    std::sort(ms.begin(), ms.end());
    Median = ms[ms.size() / 2];
    Largest = ms.back();
    return true;
}

// Peak memory of exporting Batch as CSV, above what was resident before.
long ExportPeak(TLedger& Ledger, const QString& Batch, size_t& Lines)
{
    ResetPeak();
    const long before = RssKiB();
    Lines = 0;
    if (!Ledger.Export(TLedgerFilter{Batch}, false, [&Lines](const std::string&) { return ++Lines > 0; }))
        return -1;
    return PeakKiB() - before;
}

// Records for every row of Batch (by its id), inserted in SQL.
QString InsertRecords(const QString& Batch)
{
    return QStringLiteral("INSERT INTO ledger_records (recorded_at, station, batch_id, serial, row_no, result, detail, blocks, duration_ms, cause)"
                          " SELECT '2026-12-08T06:00:00.000Z', 'bench ' || (r.row_no % 4), r.batch_id, 'S' || r.row_no, r.row_no, 'done', '',"
                          " '[4]', 900 + r.row_no % 300, '' FROM ledger_rows r JOIN ledger_batches b ON b.id = r.batch_id WHERE b.name = '%1'")
        .arg(Batch);
}

bool Fail(TFigures& Figures, const QString& What)
{
    std::fprintf(stderr, "bench_ledger: %s: %s\n", qPrintable(Figures.Store), qPrintable(What));
    return false;
}

bool Measure(const QString& Address, int Rows, const QTemporaryDir& Folder, TFigures& Figures)
{
    QString error;
    std::unique_ptr<TLedger> ledger = TLedger::Open(Address, QStringLiteral("bench-ledger"), error);
    if (!ledger)
        return Fail(Figures, error);
    const std::string data = Folder.filePath(QStringLiteral("cards.csv")).toStdString();
    const std::string templatePath = Folder.filePath(QStringLiteral("template.txt")).toStdString();

    Clock::time_point start = Clock::now();
    TFileError fileError;
    const std::optional<TBatchData> checked = ReadDataFile(data, fileError);
    if (!checked)
        return Fail(Figures, QString::fromStdString(fileError.Text()));
    Figures.ScanSeconds = SecondsSince(start);
    const TBatchStart lot = BatchStartOf(QStringLiteral("lot"), templatePath, data, checked);
    start = Clock::now();
    if (!ledger->StartBatch(lot))
        return Fail(Figures, ledger->Error());
    Figures.StartSeconds = SecondsSince(start);

    std::vector<QStringList> memory;
    for (int i = 1; i <= 100'000; ++i)
        memory.push_back({QString::number(i), Hex32(i), QStringLiteral("Card %1").arg(i)});
    start = Clock::now();
    if (!ledger->StartBatch({QStringLiteral("lot 100k"), QStringLiteral("t"), QStringLiteral("m100k"), {QStringLiteral("number"), QStringLiteral("block 4"), QStringLiteral("name")}, RowsOf(std::move(memory))}))
        return Fail(Figures, ledger->Error());
    Figures.Start100kSeconds = SecondsSince(start);

    if (!ClaimAndRecord(*ledger, QStringLiteral("lot"), 1, Figures.ClaimFirstMs, Figures.ClaimFirstMaxMs))
        return Fail(Figures, ledger->Error());
    const int last = Rows - 100;
    if (!Raw(Address, QStringLiteral("UPDATE ledger_rows SET done_serial = 'F' || row_no WHERE row_no < %1 AND done_serial IS NULL AND claim_id IS NULL"
                                     " AND batch_id = (SELECT id FROM ledger_batches WHERE name = 'lot')")
                          .arg(last)))
        return Fail(Figures, QStringLiteral("the rows before could not be marked done"));
    // Marked at once, the rows leave a million dead entries in the free rows'
    // index that a line running for days would have had vacuumed away (by
    // autovacuum on PostgreSQL; SQLite keeps no dead entries).
    if (Address.startsWith(QStringLiteral("postgresql:")) && !Raw(Address, QStringLiteral("VACUUM ANALYZE ledger_rows")))
        return Fail(Figures, QStringLiteral("the rows could not be vacuumed"));
    if (!ClaimAndRecord(*ledger, QStringLiteral("lot"), 0x100000, Figures.ClaimLastMs, Figures.ClaimLastMaxMs))
        return Fail(Figures, ledger->Error());

    if (!Raw(Address, InsertRecords(QStringLiteral("lot"))))
        return Fail(Figures, QStringLiteral("the records could not be inserted"));
    start = Clock::now();
    const std::optional<TLedgerSummary> summary = ledger->Summary(TLedgerFilter{QStringLiteral("lot")});
    if (!summary)
        return Fail(Figures, ledger->Error());
    Figures.SummarySeconds = SecondsSince(start);
    std::fprintf(stderr, "bench_ledger: %s: summary of %d done cards\n", qPrintable(Figures.Store), summary->Total.Done);
    start = Clock::now();
    const std::optional<TLedgerSeries> series = ledger->Series(TLedgerFilter{QStringLiteral("lot")});
    if (!series)
        return Fail(Figures, ledger->Error());
    Figures.SeriesSeconds = SecondsSince(start);
    std::fprintf(stderr, "bench_ledger: %s: series of %lld buckets\n", qPrintable(Figures.Store), qlonglong(series->Buckets.size()));

    // A batch of 1,000 records beside it, for the export's small case.
    if (!ledger->StartBatch({QStringLiteral("small"), QStringLiteral("t"), QStringLiteral("m1k"), {QStringLiteral("n")}, [](const TRowSink& Take, QString&) {
                                 for (int i = 1; i <= 1000; ++i) {
                                     if (!Take({QString::number(i)}))
                                         return false;
                                 }
                                 return true;
                             }}))
        return Fail(Figures, ledger->Error());
    if (!Raw(Address, InsertRecords(QStringLiteral("small"))))
        return Fail(Figures, QStringLiteral("the small batch's records could not be inserted"));
    size_t lines = 0;
    Figures.ExportSmallKiB = ExportPeak(*ledger, QStringLiteral("small"), lines);
    std::fprintf(stderr, "bench_ledger: %s: exported %zu lines\n", qPrintable(Figures.Store), lines);
    Figures.ExportLargeKiB = ExportPeak(*ledger, QStringLiteral("lot"), lines);
    std::fprintf(stderr, "bench_ledger: %s: exported %zu lines\n", qPrintable(Figures.Store), lines);
    return true;
}

void WriteDataFile(const std::string& Path, int Rows)
{
    std::ofstream out(Path, std::ios::binary);
    out << "number,block 4,name\n";
    for (int i = 1; i <= Rows; ++i)
        out << i << ',' << Hex32(i).toStdString() << ",Card " << i << '\n';
}

std::string Cell(double Value, const char* Format)
{
    if (Value < 0)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, Format, Value);
    return text;
}

void PrintTable(const std::vector<TFigures>& All, int Rows)
{
    std::printf("\n%-44s", "");
    for (const TFigures& f : All)
        std::printf("%16s", qPrintable(f.Store));
    std::printf("\n");
    const auto row = [&All](const std::string& Name, const auto& Value, const char* Format) {
        std::printf("%-44s", Name.c_str());
        for (const TFigures& f : All)
            std::printf("%16s", Cell(Value(f), Format).c_str());
        std::printf("\n");
    };
    const std::string n = std::to_string(Rows);
    row(
        "data file of " + n + " rows checked, s", [](const TFigures& f) { return f.ScanSeconds; }, "%.2f");
    row(
        "start of " + n + " rows from the file, s", [](const TFigures& f) { return f.StartSeconds; }, "%.2f");
    row(
        "start of 100000 rows, s", [](const TFigures& f) { return f.Start100kSeconds; }, "%.2f");
    row(
        "claim + record at row 1, median ms", [](const TFigures& f) { return f.ClaimFirstMs; }, "%.2f");
    row(
        "claim + record at row 1, largest ms", [](const TFigures& f) { return f.ClaimFirstMaxMs; }, "%.2f");
    row(
        "claim + record at row " + std::to_string(Rows - 100) + ", median ms", [](const TFigures& f) { return f.ClaimLastMs; }, "%.2f");
    row(
        "claim + record at row " + std::to_string(Rows - 100) + ", largest ms", [](const TFigures& f) { return f.ClaimLastMaxMs; }, "%.2f");
    row(
        "summary over " + n + " records, s", [](const TFigures& f) { return f.SummarySeconds; }, "%.2f");
    row(
        "series over " + n + " records, s", [](const TFigures& f) { return f.SeriesSeconds; }, "%.2f");
    row(
        "export of 1000 records, peak MiB", [](const TFigures& f) { return f.ExportSmallKiB < 0 ? -1.0 : f.ExportSmallKiB / 1024.0; }, "%.1f");
    row(
        "export of " + n + " records, peak MiB", [](const TFigures& f) { return f.ExportLargeKiB < 0 ? -1.0 : f.ExportLargeKiB / 1024.0; }, "%.1f");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int rows = 1'000'000;
    bool sqlite = true;
    bool postgreSql = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rows") == 0 && i + 1 < argc)
            rows = std::max(1000, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--skip-sqlite") == 0)
            sqlite = false;
        else if (std::strcmp(argv[i], "--skip-postgresql") == 0)
            postgreSql = false;
        else {
            std::fprintf(stderr, "usage: bench_ledger [--rows N] [--skip-sqlite] [--skip-postgresql]\n");
            return 2;
        }
    }
    QTemporaryDir folder;
    if (!folder.isValid())
        return 1;
    WriteDataFile(folder.filePath(QStringLiteral("cards.csv")).toStdString(), rows);
    std::ofstream(folder.filePath(QStringLiteral("template.txt")).toStdString()) << "bench\n";

    std::vector<TFigures> all;
    bool measured = true;
    if (sqlite) {
        all.push_back({QStringLiteral("SQLite")});
        measured = Measure(folder.filePath(QStringLiteral("ledger.sqlite")), rows, folder, all.back()) && measured;
    }
    TPgServer server;
    if (postgreSql) {
        all.push_back({QStringLiteral("PostgreSQL")});
        QString address = qEnvironmentVariable("ORVELLE_BENCH_PG");
        if (address.isEmpty()) {
            if (!server.Start()) {
                std::fprintf(stderr, "bench_ledger: no PostgreSQL server: %s\n", server.Error().c_str());
                return 1;
            }
            address = server.Url(server.NewDatabase());
        }
        measured = Measure(address, rows, folder, all.back()) && measured;
    }
    PrintTable(all, rows);
    return measured ? 0 : 1;
}
