// orvelle-card's production line, run as child processes against reader
// simulators: cards in a row each written with its data row and recorded; a
// station killed (SIGKILL) mid-card and started again, its card getting the
// same row; two stations on one ledger, SQLite and a private PostgreSQL
// server, with interleaved cards, every row used once; the ledger printed
// back, summed up and made a shift report; its claims listed and released;
// the template's trailers approved ahead by their digest.
#include "protocol/AccessConditions.h"
#include "protocol/BatchData.h"
#include "protocol/DumpFile.h"
#include "records/Ledger.h"
#include "records/Records.h"
#include "session/BatchJob.h"
#include "sim/SimServer.h"
#include "support/PgServer.h"
#include "support/PrivateHome.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

QString Program() { return QCoreApplication::applicationDirPath() + "/../orvelle-card"; }

std::array<uint8_t, 4> SerialNo(int N) { return {0x40, 0x12, 0xA3, uint8_t(N)}; }

// A card's line on standard error: "4012A301 row 1 done 2.9 s".
const QRegularExpression CardLine(QStringLiteral("^[0-9A-F]{8} (row \\d+ |already prepared)"),
    QRegularExpression::MultilineOption);

// One reader with its simulator, its process and the cards still to come.
struct TStation {
    int Com = 1;
    QString Name;
    std::unique_ptr<sim::TSimServer> Sim = std::make_unique<sim::TSimServer>();
    std::vector<int> Next; // serials placed one by one as cards end
    QProcess Process;
    QString Out;
    QString Err;
    qsizetype Ended = 0;
};

class BatchToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Dir.isValid());
        // The template: block 5 the same on every card, block 4 the row's.
        TDumpImage image;
        TBlockData fixed{};
        fixed.fill(0x5A);
        image.SetBlock(5, fixed);
        std::string error;
        ASSERT_TRUE(WriteDumpFile(Path("template.txt"), image, TDumpFormat::Text, error)) << error;
        QFile data(QString::fromStdString(Path("cards.csv")));
        ASSERT_TRUE(data.open(QIODevice::WriteOnly));
        data.write("number,block 4\n");
        for (int row = 1; row <= 4; ++row)
            data.write(QStringLiteral("%1,%2\n").arg(1000 + row).arg(row, 32, 10, QLatin1Char('0')).toLatin1());
    }

    std::string Path(const char* Name) const { return Dir.filePath(QLatin1String(Name)).toStdString(); }

    void Start(TStation& S, const QString& Ledger, const QStringList& More)
    {
        S.Out.clear();
        S.Err.clear();
        S.Ended = 0;
        Home.Map(S.Com, S.Sim->DevicePath());
        QStringList args{"--timeout=3000", "--port", QStringLiteral("COM%1").arg(S.Com), "--json", "batch",
            QString::fromStdString(Path("template.txt")), "--data", QString::fromStdString(Path("cards.csv")),
            "--ledger", Ledger, "--station", S.Name};
        args << More;
        S.Process.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
        S.Process.start(Program(), args);
        ASSERT_TRUE(S.Process.waitForStarted(60000));
        S.Process.closeWriteChannel();
    }

    // Runs the stations until each has exited: as a card ends, the next of
    // its queue is put in its field (another serial: the last one taken away).
    void Drive(const std::vector<TStation*>& Stations, const std::function<bool(TStation&)>& Until = nullptr)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(10);
        for (;;) {
            bool running = false;
            for (TStation* s : Stations) {
                if (s->Process.state() == QProcess::NotRunning)
                    continue;
                running = true;
                s->Process.waitForReadyRead(20);
                s->Out += QString::fromUtf8(s->Process.readAllStandardOutput());
                s->Err += QString::fromUtf8(s->Process.readAllStandardError());
                const qsizetype ended = s->Err.count(CardLine);
                for (; s->Ended < ended; ++s->Ended) {
                    if (!s->Next.empty()) {
                        s->Sim->InsertBlankCard(SerialNo(s->Next.front()));
                        s->Next.erase(s->Next.begin());
                    }
                }
                if (Until && Until(*s))
                    return;
            }
            if (!running)
                break;
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the stations did not end";
        }
        for (TStation* s : Stations) {
            s->Out += QString::fromUtf8(s->Process.readAllStandardOutput());
            s->Err += QString::fromUtf8(s->Process.readAllStandardError());
        }
    }

    // The ledger's records of the batch, as orvelle-card prints them.
    QStringList Records(const QString& Ledger, bool Json = false)
    {
        QProcess process;
        QStringList args{"ledger", "--ledger", Ledger, "--batch", "cards.csv"};
        if (Json)
            args << "--json";
        process.start(Program(), args);
        EXPECT_TRUE(process.waitForFinished(60000));
        EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
        QStringList lines = QString::fromUtf8(process.readAllStandardOutput()).split(QRegularExpression("\r?\n"), Qt::SkipEmptyParts);
        return lines;
    }

    // Every done card's row, by serial; each row once.
    static std::map<QString, int> DoneRows(const QStringList& JsonLines)
    {
        std::map<QString, int> rows;
        std::multiset<int> used;
        for (const QString& line : JsonLines) {
            const QJsonObject record = QJsonDocument::fromJson(line.toUtf8()).object();
            if (record["result"].toString() != "done")
                continue;
            rows[record["serial"].toString()] = record["row"].toInt();
            used.insert(record["row"].toInt());
        }
        for (const int row : used)
            EXPECT_EQ(used.count(row), 1u) << "row " << row << " used twice";
        return rows;
    }

    TPrivateHome Home;
    QTemporaryDir Dir;
};

TEST_F(BatchToolTest, CardsInARowEachGetTheirRowAndTheLedgerSaysWhichGotWhat)
{
    const QString ledger = QString::fromStdString(Path("ledger.sqlite"));
    TStation s;
    s.Name = "desk-1";
    s.Sim->InsertBlankCard(SerialNo(1));
    s.Next = {2, 3};
    Start(s, ledger, {"--count", "3", "--operator", "ann"});
    Drive({&s});
    EXPECT_EQ(s.Process.exitCode(), 0) << s.Err.toStdString();
    QList<QJsonObject> cards;
    for (const QString& line : s.Out.split('\n', Qt::SkipEmptyParts)) {
        const QJsonObject event = QJsonDocument::fromJson(line.toUtf8()).object();
        if (event["event"].toString() == "done")
            cards << event;
    }
    ASSERT_EQ(cards.size(), 3) << s.Out.toStdString();
    for (int i = 0; i < 3; ++i) {
        const QJsonObject& card = cards[i];
        EXPECT_EQ(card["serial"].toString(), QStringLiteral("4012A30%1").arg(i + 1));
        EXPECT_EQ(card["row"].toInt(), i + 1);
        EXPECT_EQ(card["result"].toString(), "done");
        EXPECT_EQ(card["station"].toString(), "desk-1");
        EXPECT_EQ(card["operator"].toString(), "ann");
    }
    EXPECT_TRUE(s.Err.contains(QRegularExpression("^4012A303 row 3 done \\(1003\\) \\d+\\.\\d s$", QRegularExpression::MultilineOption)))
        << s.Err.toStdString();
    // What each card gets, said before the first.
    EXPECT_TRUE(s.Err.startsWith("orvelle-card: the template gives block 5; no trailer is written\n"
                                 "orvelle-card: the data file writes over it block 4 (column 2 'block 4')\n"
                                 "orvelle-card: labels kept in the ledger: 'number'\n"
                                 "orvelle-card: batch cards.csv at station desk-1, operator ann\n"))
        << s.Err.toStdString();
    // The card in the field is the third: the template with its row.
    TBlockData row3{};
    row3[15] = 0x03;
    TBlockData fixed{};
    fixed.fill(0x5A);
    EXPECT_EQ(s.Sim->Block(4), row3);
    EXPECT_EQ(s.Sim->Block(5), fixed);

    const QStringList csv = Records(ledger);
    ASSERT_EQ(csv.size(), 4);
    EXPECT_EQ(csv[0], "time,station,batch,serial,row,result,detail,cause,operator,number");
    EXPECT_TRUE(csv[2].endsWith(",desk-1,cards.csv,4012A302,2,done,,,ann,1002")) << csv[2].toStdString();
}

// --json: a program follows the batch on standard output, an event a line,
// a card's end keeping every field of the card's object.
TEST_F(BatchToolTest, JsonFollowsEachStepOfEveryCardAndTheBatchsEnd)
{
    QFile data(QString::fromStdString(Path("two.csv")));
    ASSERT_TRUE(data.open(QIODevice::WriteOnly));
    data.write("number,name,block 4\n1001,Ada,00000000000000000000000000000001\n1002,\"Bo \"\"B\"\"\",00000000000000000000000000000002\n");
    data.close();
    TStation s;
    s.Name = "desk-1";
    s.Sim->InsertBlankCard(SerialNo(1));
    s.Next = {2};
    Start(s, QString::fromStdString(Path("ledger.sqlite")), {"--data", data.fileName()});
    Drive({&s});
    EXPECT_EQ(s.Process.exitCode(), 0) << s.Err.toStdString();
    QStringList events;
    QList<QJsonObject> objects;
    for (const QString& line : s.Out.split('\n', Qt::SkipEmptyParts)) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
        ASSERT_TRUE(document.isObject()) << line.toStdString() << ": " << error.errorString().toStdString();
        objects << document.object();
        events << objects.back()["event"].toString();
    }
    EXPECT_EQ(events.join(' ').toStdString(), "waiting card writing done remove waiting card writing done complete") << s.Out.toStdString();
    ASSERT_EQ(objects.size(), 10);
    EXPECT_EQ(objects[0]["rows_left"].toInt(-1), 2);
    EXPECT_EQ(objects[5]["rows_left"].toInt(-1), 1);
    EXPECT_EQ(objects[1]["serial"].toString(), "4012A301");
    EXPECT_EQ(objects[6]["serial"].toString(), "4012A302");
    EXPECT_EQ(objects[2]["row"].toInt(), 1);
    EXPECT_EQ(objects[7]["serial"].toString(), "4012A302");
    EXPECT_EQ(objects[7]["row"].toInt(), 2);
    EXPECT_EQ(QJsonDocument(objects[7]["labels"].toArray()).toJson(QJsonDocument::Compact), "[\"1002\",\"Bo \\\"B\\\"\"]");
    EXPECT_EQ(objects[4]["serial"].toString(), "4012A301");
    // A card's end: the fields a reader of the card's object had, as they were.
    const QJsonObject done = objects[8];
    EXPECT_EQ(done.keys(), (QStringList{"batch", "cause", "detail", "duration_ms", "event", "operator", "result", "row", "serial", "station", "written"}));
    // No --operator: the login name.
    const passwd* user = ::getpwuid(::geteuid());
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(done["operator"].toString(), QString::fromLocal8Bit(user->pw_name));
    EXPECT_EQ(done["serial"].toString(), "4012A302");
    EXPECT_EQ(done["row"].toInt(), 2);
    EXPECT_EQ(done["result"].toString(), "done");
    EXPECT_EQ(done["cause"].toString(), "");
    EXPECT_EQ(done["station"].toString(), "desk-1");
    EXPECT_EQ(done["batch"].toString(), "two.csv");
    EXPECT_EQ(QJsonDocument(done["written"].toArray()).toJson(QJsonDocument::Compact), "[4,5]");
    EXPECT_TRUE(done["duration_ms"].isDouble());
    const QJsonObject complete = objects[9];
    EXPECT_EQ(complete["done"].toInt(-1), 2);
    EXPECT_EQ(complete["failed"].toInt(-1), 0);
    EXPECT_EQ(complete["ended"].toString(), "rows out");
    EXPECT_TRUE(complete["error"].isNull());
    EXPECT_EQ(complete["exit"].toInt(-1), 0);
}

TEST_F(BatchToolTest, ANearMissOfADataColumnIsRefusedBeforeTheLedgerOrThePort)
{
    QFile data(QString::fromStdString(Path("near.csv")));
    ASSERT_TRUE(data.open(QIODevice::WriteOnly));
    data.write("number,blok 4\n1001,00000000000000000000000000001001\n");
    data.close();
    const QString ledger = QString::fromStdString(Path("ledger.sqlite"));
    QProcess process;
    process.start(Program(), {"batch", QString::fromStdString(Path("template.txt")), "--data", data.fileName(), "--ledger", ledger});
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 2);
    EXPECT_EQ(QString::fromUtf8(process.readAllStandardError()),
        "orvelle-card: " + data.fileName() + ":1: column 2 'blok 4': did you mean 'block 4'? (`--label 'blok 4'` keeps it as a label)\n");
    EXPECT_FALSE(QFile::exists(ledger));
}

// A template that changes sector 1's trailer, approved ahead by its digest
// as a window's station is: taken without a question on no terminal when the
// digest is the template's, refused before the ledger and the port otherwise.
TEST_F(BatchToolTest, TrailersApprovedAheadAreWrittenOnlyWhileTheirDigestIsTheTemplates)
{
    const std::array<uint8_t, 16> trailer{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xFF, 0x07, 0x80, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    TDumpImage image;
    TBlockData fixed{};
    fixed.fill(0x5A);
    image.SetBlock(5, fixed);
    image.SetBlock(7, trailer);
    std::string error;
    ASSERT_TRUE(WriteDumpFile(Path("trailer.txt"), image, TDumpFormat::Text, error)) << error;
    // The digest as a window computes it: sector byte, then its 16 bytes.
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArray("\x01", 1) + QByteArray(reinterpret_cast<const char*>(trailer.data()), 16));
    const QString digest = QString::fromLatin1(hash.result().toHex());
    ASSERT_EQ(TrailersDigest(image), digest);
    const QString other(64, QLatin1Char('0'));
    // The same change with access bits no key can change again, nor the keys.
    TBlockData locking = trailer;
    SetAccess(locking, {0b000, 0b000, 0b000, 0b110});
    image.SetBlock(7, locking);
    ASSERT_TRUE(WriteDumpFile(Path("locking.txt"), image, TDumpFormat::Text, error)) << error;
    const QString lockingDigest = TrailersDigest(image);
    struct TCase {
        const char* Template;
        QString Approved;
        QStringList More;
        int Exit;
        QString Err; // the whole of standard error, when refused
        TBlockData Written;
    };
    const TCase cases[] = {
        {"trailer.txt", digest.toUpper(), {}, 0, {}, trailer},
        {"trailer.txt", other, {}, 2,
            "orvelle-card: the template's trailers are not the ones approved (SHA-256 " + digest + ", approved " + other
                + "): approve them again\n",
            {}},
        {"locking.txt", lockingDigest, {}, 2,
            "orvelle-card: --trailers: sector 1: after this no key can change this sector's access bits; after this no key "
            "can change this sector's keys: give --permanent if this is meant\n",
            {}},
        {"locking.txt", lockingDigest, {"--permanent"}, 0, {}, locking},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Template + (" " + c.Approved + " " + c.More.join(' ')).toStdString());
        const QString ledger = Dir.filePath("approved-" + c.Approved.left(4) + QString::number(c.More.size()) + ".sqlite");
        TStation s;
        s.Name = "desk-1";
        s.Sim->InsertBlankCard(SerialNo(21));
        Home.Map(s.Com, s.Sim->DevicePath());
        s.Process.start(Program(), QStringList{"--port", "COM1", "batch", QString::fromStdString(Path(c.Template)), "--data", QString::fromStdString(Path("cards.csv")), "--ledger", ledger, "--station", s.Name, "--count", "1", "--trailers", "--approve-trailers", c.Approved} + c.More);
        ASSERT_TRUE(s.Process.waitForStarted(60000));
        s.Process.closeWriteChannel();
        Drive({&s});
        EXPECT_EQ(s.Process.exitCode(), c.Exit) << s.Err.toStdString();
        if (c.Exit == 0) {
            EXPECT_TRUE(s.Err.contains("4012A315 row 1 done")) << s.Err.toStdString();
            EXPECT_EQ(s.Sim->Block(7), c.Written);
        } else {
            EXPECT_EQ(s.Err, c.Err);
            EXPECT_FALSE(QFile::exists(ledger));
            EXPECT_TRUE(s.Sim->Requests().empty());
        }
    }
}

TEST_F(BatchToolTest, AStationKilledMidCardGivesThatCardTheSameRowAgain)
{
    const QString ledger = QString::fromStdString(Path("ledger.sqlite"));
    TStation s;
    s.Name = "desk-1";
    s.Sim->InsertBlankCard(SerialNo(7));
    // The card's first write goes unanswered, so the station is still in
    // the middle of it, waiting, when it is killed.
    s.Sim->InjectFault(0x07, {sim::TFaultKind::NoReply});
    Start(s, ledger, {});
    // Killed as soon as it writes the card.
    Drive({&s}, [](TStation& S) {
        for (const auto& request : S.Sim->Requests()) {
            if (request.size() > 1 && request[1] == 0x07) {
                ::kill(pid_t(S.Process.processId()), SIGKILL);
                S.Process.waitForFinished(60000);
                return true;
            }
        }
        return false;
    });
    ASSERT_EQ(s.Process.exitStatus(), QProcess::CrashExit);
    s.Next = {8};
    Start(s, ledger, {"--count", "2"});
    Drive({&s});
    EXPECT_EQ(s.Process.exitCode(), 0) << s.Err.toStdString();
    EXPECT_TRUE(s.Err.contains("4012A307 row 1 done")) << s.Err.toStdString();
    EXPECT_TRUE(s.Err.contains("4012A308 row 2 done")) << s.Err.toStdString();
    const std::map<QString, int> rows = DoneRows(Records(ledger, true));
    EXPECT_EQ(rows, (std::map<QString, int>{{"4012A307", 1}, {"4012A308", 2}}));
}

TEST_F(BatchToolTest, TwoStationsOnOneLedgerUseEveryRowOnce)
{
    TPgServer postgres;
    ASSERT_TRUE(postgres.Start()) << postgres.Error();
    const QString database = postgres.NewDatabase();
    ASSERT_FALSE(database.isEmpty()) << postgres.Error();
    for (const QString& ledger : {QString::fromStdString(Path("shared.sqlite")), postgres.Url(database)}) {
        SCOPED_TRACE(ledger.toStdString());
        TStation a;
        a.Com = 1;
        a.Name = "desk-1";
        a.Sim->InsertBlankCard(SerialNo(11));
        a.Next = {12};
        TStation b;
        b.Com = 2;
        b.Name = "desk-2";
        b.Sim->InsertBlankCard(SerialNo(21));
        b.Next = {22};
        Start(a, ledger, {"--count", "2"});
        Start(b, ledger, {"--count", "2"});
        Drive({&a, &b});
        EXPECT_EQ(a.Process.exitCode(), 0) << a.Err.toStdString();
        EXPECT_EQ(b.Process.exitCode(), 0) << b.Err.toStdString();
        std::set<int> rows;
        for (const auto& [serial, row] : DoneRows(Records(ledger, true)))
            rows.insert(row);
        EXPECT_EQ(rows, (std::set<int>{1, 2, 3, 4}));
    }
}

TEST_F(BatchToolTest, ALedgerLostMidBatchFailsTheCardNotRecordedAndExitsFive)
{
    TPgServer postgres;
    ASSERT_TRUE(postgres.Start()) << postgres.Error();
    const QString database = postgres.NewDatabase();
    ASSERT_FALSE(database.isEmpty()) << postgres.Error();
    TStation s;
    s.Name = "desk-1";
    s.Sim->InsertBlankCard(SerialNo(31));
    Start(s, postgres.Url(database), {});
    bool stopped = false;
    // The server goes away once the first card is recorded, before the next
    // card is placed.
    Drive({&s}, [&](TStation& S) {
        if (S.Ended == 1 && !stopped) {
            stopped = postgres.Stop();
            S.Sim->InsertBlankCard(SerialNo(32));
        }
        return false;
    });
    ASSERT_TRUE(stopped) << postgres.Error();
    EXPECT_EQ(s.Process.exitCode(), 5) << s.Err.toStdString();
    EXPECT_TRUE(s.Err.contains("4012A31F row 1 done")) << s.Err.toStdString();
    EXPECT_TRUE(s.Err.contains(QRegularExpression("^4012A320 row \\d+ FAILED: Ledger not written \u2014 card written but NOT recorded: put it aside", QRegularExpression::MultilineOption)))
        << s.Err.toStdString();
    EXPECT_TRUE(s.Err.contains("orvelle-card: the ledger failed: ")) << s.Err.toStdString();
}

TEST_F(BatchToolTest, AReaderRestartedMidBatchIsLinkedAgainAndTheBatchGoesOn)
{
    TStation s;
    s.Name = "desk-1";
    s.Sim->InsertBlankCard(SerialNo(41));
    Start(s, QString::fromStdString(Path("ledger.sqlite")), {"--count", "2"});
    bool restarted = false;
    // Once the first card is done the reader goes (its terminal hangs up)
    // and comes back on another terminal behind the same port name.
    Drive({&s}, [&](TStation& S) {
        if (S.Ended == 1 && !restarted) {
            restarted = true;
            S.Sim = std::make_unique<sim::TSimServer>();
            S.Sim->InsertBlankCard(SerialNo(42));
            Home.Map(S.Com, S.Sim->DevicePath());
        }
        return false;
    });
    EXPECT_EQ(s.Process.exitCode(), 0) << s.Err.toStdString();
    const qsizetype gone = s.Err.indexOf("Reader gone \u2014 reconnecting");
    const qsizetype back = s.Err.indexOf("Reader back");
    const qsizetype second = s.Err.indexOf("4012A32A row 2 done");
    EXPECT_TRUE(gone >= 0 && back > gone && second > back) << s.Err.toStdString();
}

TEST_F(BatchToolTest, AStoppedStationsClaimIsReleasableOnlyOnceItIsSilent)
{
    const QString ledger = QString::fromStdString(Path("ledger.sqlite"));
    TStation s;
    s.Name = "desk-1";
    // Slow enough that the card is still being written when looked at.
    s.Sim->SetPace(20);
    s.Sim->InsertBlankCard(SerialNo(51));
    Start(s, ledger, {});
    const auto run = [&](const QStringList& Args) {
        QProcess process;
        process.start(Program(), Args);
        EXPECT_TRUE(process.waitForFinished(60000));
        return std::make_pair(process.exitCode(), QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError()));
    };
    const QStringList claims{"ledger", "--ledger", ledger, "--claims"};
    const QStringList release{"ledger", "--ledger", ledger, "--release", "desk-1"};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (!run(claims).second.contains("card 4012A333")) {
        ASSERT_EQ(s.Process.state(), QProcess::Running) << s.Process.readAllStandardError().toStdString();
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no claim was seen";
    }
    ::kill(pid_t(s.Process.processId()), SIGSTOP);
    // Just stopped: heard a moment ago, so its claim is kept.
    const auto [kept, said] = run(release);
    EXPECT_EQ(kept, 1) << said.toStdString();
    // Silent long enough by the database's clock: released, and named.
    std::pair<int, QString> released;
    do {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << released.second.toStdString();
        released = run(release);
    } while (released.first != 0);
    EXPECT_TRUE(released.second.contains("row 1 card 4012A333")) << released.second.toStdString();
    // Woken, the station records its card as failed, naming the cause, and goes on.
    ::kill(pid_t(s.Process.processId()), SIGCONT);
    Drive({&s}, [](TStation& S) { return S.Err.contains(QRegularExpression("^4012A333 row 1 FAILED: Claim released", QRegularExpression::MultilineOption)); });
    s.Process.terminate();
    EXPECT_TRUE(s.Process.waitForFinished(60000));
    EXPECT_TRUE(Records(ledger, true).join('\n').contains("\"cause\":\"claim-lost\"")) << s.Err.toStdString();
}

// orvelle-card ledger prints a ledger that is there, read only, and makes
// none; a password is taken only from its own sources. No reader is needed.
TEST_F(BatchToolTest, TheLedgerIsPrintedOnlyFromALedgerThatIsThereAndReadOnly)
{
    const QString ledger = QString::fromStdString(Path("ledger.sqlite"));
    {
        QString error;
        const std::unique_ptr<TLedger> made = TLedger::Open(ledger, QStringLiteral("batch-tool-test"), error);
        ASSERT_TRUE(made) << error.toStdString();
        ASSERT_TRUE(made->StartBatch(TBatchStart{QStringLiteral("lot 7"), QStringLiteral("7e3b"), {}, {}, {}}));
        const std::optional<TClaim> claim = made->Claim(QStringLiteral("lot 7"), QStringLiteral("desk-1"), {0x40, 0x12, 0xA3, 0x01}, false);
        ASSERT_TRUE(claim) << made->Error().toStdString();
        TCardRecord card;
        card.Time = QDateTime(QDate(2026, 12, 8), QTime(7, 5, 31, 123), Qt::OffsetFromUTC, 3600);
        card.Station = QStringLiteral("desk-1");
        card.Operator = QStringLiteral("ann");
        card.Serial = {0x40, 0x12, 0xA3, 0x01};
        card.Outcome = TCardOutcome::Done;
        ASSERT_TRUE((made->Record(*claim, card) == TRecordResult::Recorded)) << made->Error().toStdString();
    }
    ASSERT_EQ(::chmod(QFile::encodeName(ledger).constData(), 0444), 0);
    const QString missing = QString::fromStdString(Path("missing.sqlite"));
    const QString report = QString::fromStdString(Path("report.html"));
    const QString empty = QString::fromStdString(Path("empty.sqlite"));
    QFile(empty).open(QIODevice::WriteOnly);
    const QString openFile = QString::fromStdString(Path("password-open"));
    QFile password(openFile);
    ASSERT_TRUE(password.open(QIODevice::WriteOnly));
    password.write("s3cret\n");
    password.close();
    ASSERT_EQ(::chmod(QFile::encodeName(openFile).constData(), 0644), 0);
    const std::string local = (IsoTimeStamp(QDateTime(QDate(2026, 12, 8), QTime(6, 5, 31, 123), Qt::UTC).toLocalTime()) + ",desk-1,lot 7,").toStdString();
    const struct {
        QStringList Args;
        int Exit;
        const char* Out;       // in standard output
        const char* Err;       // in standard error
        bool Document = false; // standard output is one JSON document
    } cases[] = {
        {{"ledger", "--ledger", ledger}, 0, "2026-12-08T06:05:31.123Z,desk-1,lot 7,4012A301,0,done,", ""},
        {{"ledger", "--ledger", ledger, "--local"}, 0,
            local.c_str(), ""},
        {{"ledger", "--ledger", missing}, 5, "", ": no such ledger; a batch makes it"},
        {{"ledger", "--ledger", missing, "--release", "desk-1"}, 5, "", ": no such ledger; a batch makes it"},
        {{"ledger", "--ledger", empty}, 5, "", "holds no ledger"},
        {{"ledger", "--ledger", "postgresql://ann:secret@/line?host=/tmp"}, 5, "",
            "a password is never given in the address: it comes from PGPASSWORD, ~/.pgpass or --ledger-password-file FILE"},
        {{"ledger", "--ledger", "postgresql:///line?host=/tmp", "--ledger-password-file", openFile}, 2, "",
            "others may read or write it (mode 0644): chmod 600"},
        {{"batch", QString::fromStdString(Path("template.txt")), "--ledger", "postgresql:///line?host=/tmp", "--ledger-password-file",
             openFile},
            2, "", "others may read or write it (mode 0644): chmod 600"},
        {{"ledger", "--ledger", ledger, "--local", "--release", "desk-1", "--ledger-password-file"}, 2, "", "Missing value after"},
        {{"batch", QString::fromStdString(Path("template.txt")), "--local"}, 2, "", "--local belongs to ledger only."},
        {{"ledger", "--ledger", ledger, "--station", "desk-1", "--since", "2026-12-08T07:05+01:00", "--until", "2026-12-08T06:06Z",
             "--result", "done"},
            0, "2026-12-08T06:05:31.123Z,desk-1,lot 7,4012A301,0,done,", ""},
        {{"ledger", "--ledger", ledger, "--result", "failed"}, 0, "time,station,batch,serial,row,result,detail,cause,operator\r\n", ""},
        {{"ledger", "--ledger", ledger, "--operator", "ann", "--station", "desk-1"}, 0, "4012A301,0,done,,,ann\r\n", ""},
        {{"ledger", "--ledger", ledger, "--operator", "ann", "--json"}, 0, "\"operator\":\"ann\"", ""},
        {{"ledger", "--ledger", ledger, "--claims", "--operator", "ann"}, 2, "", "--operator belongs to the records' export only"},
        {{"ledger", "--ledger", ledger, "--since", "-8h", "--json"}, 0, "", ""},
        {{"ledger", "--ledger", ledger, "--since", "8h"}, 2, "",
            "orvelle-card: --since: '8h' is not a time: give an ISO 8601 date or date-time, today, yesterday, or -8h/-30m\n"},
        {{"ledger", "--ledger", ledger, "--until", "2026-12-32"}, 2, "", "--until: '2026-12-32' is not a time"},
        {{"ledger", "--ledger", ledger, "--since", "today", "--until", "yesterday"}, 2, "", "--since is not before --until"},
        {{"ledger", "--ledger", ledger, "--result", "ok"}, 2, "", "--result takes done, failed or repeat, not 'ok'."},
        {{"ledger", "--ledger", ledger, "--claims", "--station", "desk-1"}, 2, "", "--station belongs to the records' export only"},
        {{"ledger", "--ledger", ledger, "--release", "desk-1", "--since", "today"}, 2, "", "--since belongs to the records' export only"},
        {{"batch", QString::fromStdString(Path("template.txt")), "--result", "done"}, 2, "", "--result belongs to ledger only."},
        {{"ledger", "--ledger", ledger, "--summary", "--json"}, 0, "\"station\": \"desk-1\"", "", true},
        {{"ledger", "--ledger", ledger, "--summary", "--result", "done"}, 0, "\ntotal ", ""},
        {{"ledger", "--ledger", ledger, "--summary", "--claims"}, 2, "", "--summary belongs to the records' export only"},
        {{"ledger", "--ledger", ledger, "--report", report, "--claims"}, 2, "", "--report belongs to the records' export only"},
        {{"ledger", "--ledger", ledger, "--report", report, "--summary"}, 2, "", "--report writes the summary and the charts to FILE"},
        {{"ledger", "--ledger", ledger, "--report", report, "--json"}, 2, "", "--report writes the summary and the charts to FILE"},
        {{"batch", QString::fromStdString(Path("template.txt")), "--report", report}, 2, "", "--report belongs to ledger only."},
        {{"ledger", "--ledger", ledger, "--report", QString::fromStdString(Path("no-such-folder/report.html"))}, 1, "",
            "the report cannot be written: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Args.join(' ').toStdString());
        QProcess process;
        process.start(Program(), c.Args);
        ASSERT_TRUE(process.waitForFinished(60000));
        const QString out = QString::fromUtf8(process.readAllStandardOutput());
        const QString err = QString::fromUtf8(process.readAllStandardError());
        EXPECT_EQ(process.exitCode(), c.Exit) << err.toStdString();
        EXPECT_TRUE(out.contains(QString::fromUtf8(c.Out))) << out.toStdString();
        EXPECT_TRUE(err.contains(QString::fromUtf8(c.Err))) << err.toStdString();
        EXPECT_FALSE(err.contains("secret")) << err.toStdString();
        if (c.Document) {
            QJsonParseError error{};
            const QJsonDocument document = QJsonDocument::fromJson(out.toUtf8(), &error);
            EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
            EXPECT_EQ(document[QStringLiteral("groups")][0][QStringLiteral("done")].toInt(), 1) << out.toStdString();
            EXPECT_EQ(document[QStringLiteral("total")][QStringLiteral("done")].toInt(), 1) << out.toStdString();
        }
    }
    // Another operator's records only: none here, the header alone.
    QProcess other;
    other.start(Program(), {"ledger", "--ledger", ledger, "--operator", "ben"});
    ASSERT_TRUE(other.waitForFinished(60000));
    EXPECT_EQ(other.exitCode(), 0);
    EXPECT_EQ(QString::fromUtf8(other.readAllStandardOutput()), "time,station,batch,serial,row,result,detail,cause,operator\r\n");
    EXPECT_FALSE(QFile::exists(missing));
    EXPECT_FALSE(QFile::exists(report));
    EXPECT_EQ(QFileInfo(empty).size(), 0);

    // A reader that closed the pipe (| head -1 once it has its line): the
    // command ends, says nothing on standard error, and its status says the
    // results were not all written.
    int out[2];
    int err[2];
    ASSERT_EQ(::pipe(out), 0);
    ASSERT_EQ(::pipe(err), 0);
    ::close(out[0]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    const std::string program = QFile::encodeName(Program()).toStdString();
    const std::string file = QFile::encodeName(ledger).toStdString();
    std::vector<std::string> words{program, "ledger", "--ledger", file};
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    ASSERT_EQ(spawned, 0);
    std::string said;
    char buffer[512];
    for (ssize_t n; (n = ::read(err[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        ASSERT_GT(n, 0);
        said.append(buffer, size_t(n));
    }
    ::close(err[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(said, "");
}

// ledger --report: one HTML file with nothing outside it, whose every number
// is the one --summary --json gives for the same records.
TEST_F(BatchToolTest, TheShiftReportSaysWhatTheSummarySaysWithFourCharts)
{
    const QString ledger = QString::fromStdString(Path("ledger.sqlite"));
    const QString odd = QStringLiteral("desk <3> & \"co\"");
    {
        QString error;
        const std::unique_ptr<TLedger> made = TLedger::Open(ledger, QStringLiteral("batch-tool-test"), error);
        ASSERT_TRUE(made) << error.toStdString();
        std::vector<QStringList> rows;
        for (int row = 1; row <= 20; ++row)
            rows.push_back({QString::number(row)});
        const TBatchStart batch{QStringLiteral("lot 7"), QStringLiteral("7e3b"), QStringLiteral("d474"), {QStringLiteral("number")}, RowsOf(rows)};
        ASSERT_TRUE(made->StartBatch(batch)) << made->Error().toStdString();
        const struct {
            QString Station;
            int Minute; // past 06:00 UTC on 2026-12-08
            bool Done;
            TFailCause Cause;
            qint64 Ms;
        } records[] = {
            {"desk-1", 1, true, TFailCause::None, 2400},
            {"desk-1", 4, true, TFailCause::None, 2600},
            {"desk-1", 9, false, TFailCause::NoKey, 9000},
            {odd, 12, true, TFailCause::None, 3100},
            {odd, 13, false, TFailCause::CardLeft, 1200},
            {odd, 14, false, TFailCause::NoKey, 8000},
            {"desk-1", 41, true, TFailCause::None, 2500},
            {odd, 45, true, TFailCause::None, 7000},
        };
        uint8_t serial = 0;
        for (const auto& r : records) {
            TCardRecord card;
            card.Time = QDateTime(QDate(2026, 12, 8), QTime(6, r.Minute, 7), Qt::UTC);
            card.Station = r.Station;
            card.Batch = QStringLiteral("lot 7");
            card.Serial = {0x40, 0x12, 0xA3, ++serial};
            card.Outcome = r.Done ? TCardOutcome::Done : TCardOutcome::Failed;
            card.Cause = r.Cause;
            card.DurationMs = r.Ms;
            const std::optional<TClaim> claim = made->Claim(card.Batch, r.Station, card.Serial, false);
            ASSERT_TRUE(claim) << made->Error().toStdString();
            card.Row = claim->Row;
            ASSERT_TRUE((made->Record(*claim, card) == TRecordResult::Recorded)) << made->Error().toStdString();
        }
    }
    const QString report = QString::fromStdString(Path("report.html"));
    const auto run = [](const QStringList& Args) {
        QProcess process;
        process.start(Program(), Args);
        EXPECT_TRUE(process.waitForFinished(60000));
        EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
        return QString::fromUtf8(process.readAllStandardOutput());
    };
    const auto unescaped = [](QString Text) {
        return Text.replace("&lt;", "<").replace("&gt;", ">").replace("&quot;", "\"").replace("&amp;", "&");
    };
    // A summary's figure as the report writes it.
    const auto figure = [](const QString& Field, const QJsonValue& Value) {
        if (Value.isNull())
            return QStringLiteral("-");
        if (Field == "cards_per_hour")
            return QString::number(Value.toDouble(), 'f', 1);
        if (Value.isString())
            return Value.toString();
        if (Value.isObject()) {
            QStringList causes;
            const QJsonObject object = Value.toObject();
            for (auto cause = object.begin(); cause != object.end(); ++cause)
                causes << QStringLiteral("%1 %2").arg(cause.key().isEmpty() ? "-" : cause.key()).arg(cause.value().toInt());
            return causes.isEmpty() ? QStringLiteral("-") : causes.join(", ");
        }
        return QString::number(Value.toInteger());
    };
    const QRegularExpression cell(QStringLiteral("<td data-field=\"([a-z_0-9]+)\">([^<]*)</td>"));
    const auto expectCells = [&](const QString& Row, const QJsonObject& Want) {
        int fields = 0;
        for (const QRegularExpressionMatch& m : cell.globalMatch(Row)) {
            ++fields;
            EXPECT_EQ(unescaped(m.captured(2)), figure(m.captured(1), Want[m.captured(1)])) << m.captured(1).toStdString();
        }
        EXPECT_EQ(fields, 11) << Row.toStdString();
    };

    const QStringList filters[] = {
        {},
        {"--station", "desk-1"},
        {"--since", "2026-12-08T06:10Z", "--local"},
        {"--batch", "lot 7", "--result", "failed"},
    };
    for (const QStringList& filter : filters) {
        SCOPED_TRACE(filter.join(' ').toStdString());
        QFile::remove(report);
        EXPECT_EQ(run(QStringList{"ledger", "--ledger", ledger, "--report", report} + filter), QString());
        QFile file(report);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QString html = QString::fromUtf8(file.readAll());
        const QJsonObject summary = QJsonDocument::fromJson(run(QStringList{"ledger", "--ledger", ledger, "--summary", "--json"} + filter).toUtf8()).object();
        ASSERT_FALSE(summary.isEmpty());

        // Nothing fetched or run when it is opened, and well formed, the
        // charts' SVG with it.
        EXPECT_FALSE(html.contains("<script", Qt::CaseInsensitive));
        EXPECT_FALSE(html.contains(QRegularExpression(QStringLiteral("(src|href)\\s*=\\s*[\"']?(https?:)?//"),
            QRegularExpression::CaseInsensitiveOption)));
        EXPECT_EQ(html.count("<svg"), 4);
        EXPECT_TRUE(html.contains("@page { size: A4"));
        QXmlStreamReader xml(html);
        while (!xml.atEnd())
            xml.readNext();
        EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString() << " at line " << xml.lineNumber();
        for (int i = 0; i + 1 < filter.size(); i += 2) {
            if (filter[i] == "--batch" || filter[i] == "--station" || filter[i] == "--result") {
                EXPECT_TRUE(html.contains(QStringLiteral("data-filter=\"%1\">%2<").arg(filter[i].mid(2), filter[i + 1]))) << filter[i].toStdString();
            }
        }

        const QRegularExpressionMatch total = QRegularExpression(QStringLiteral("<tr data-total=\"total\">(.*?)</tr>")).match(html);
        ASSERT_TRUE(total.hasMatch());
        expectCells(total.captured(1), summary["total"].toObject());
        const QJsonArray groups = summary["groups"].toArray();
        int rows = 0;
        for (const QRegularExpressionMatch& row :
            QRegularExpression(QStringLiteral("<tr data-station=\"([^\"]*)\" data-batch=\"([^\"]*)\">(.*?)</tr>")).globalMatch(html)) {
            ++rows;
            const QString station = unescaped(row.captured(1));
            const auto group = std::find_if(groups.begin(), groups.end(), [&](const QJsonValue& G) {
                return G["station"].toString() == station && G["batch"].toString() == unescaped(row.captured(2));
            });
            ASSERT_NE(group, groups.end()) << station.toStdString();
            expectCells(row.captured(3), group->toObject());
        }
        EXPECT_EQ(rows, groups.size());
    }
}

} // namespace

// The ledger's claims from the command line: a data file already another
// batch's refused as bad input before any port is opened; the open claims
// listed; a live station's claims released only by force, each named.
TEST_F(BatchToolTest, ClaimsAreListedAndALiveStationsReleasedOnlyByForce)
{
    const QString ledgerFile = QString::fromStdString(Path("ledger.sqlite"));
    {
        QString error;
        const std::unique_ptr<TLedger> ledger = TLedger::Open(ledgerFile, QStringLiteral("tool-test"), error);
        ASSERT_TRUE(ledger) << error.toStdString();
        TFileError fileError;
        const std::optional<TBatchData> data = ReadBatchData(Path("cards.csv"), fileError);
        ASSERT_TRUE(data) << fileError.Text();
        ASSERT_TRUE(ledger->StartBatch(BatchStartOf(QStringLiteral("lot-42"), Path("template.txt"), Path("cards.csv"), data)))
            << ledger->Error().toStdString();
        ASSERT_TRUE(ledger->Claim(QStringLiteral("lot-42"), QStringLiteral("desk-1"), SerialNo(1), false)) << ledger->Error().toStdString();
    }
    const auto run = [&](const QStringList& Args, int Exit) {
        QProcess process;
        process.start(Program(), Args);
        EXPECT_TRUE(process.waitForFinished(60000));
        const QString err = QString::fromUtf8(process.readAllStandardError());
        EXPECT_EQ(process.exitCode(), Exit) << Args.join(' ').toStdString() << ": " << err.toStdString();
        return std::make_pair(QString::fromUtf8(process.readAllStandardOutput()), err);
    };
    const QStringList batch{"--port", "COM9", "batch", QString::fromStdString(Path("template.txt")), "--data", QString::fromStdString(Path("cards.csv")),
        "--ledger", ledgerFile};
    const auto [none, reused] = run(batch, 2);
    EXPECT_TRUE(reused.contains("cards.csv is already batch lot-42: its rows would be used twice")) << reused.toStdString();
    EXPECT_TRUE(reused.contains("--reuse-data")) << reused.toStdString();

    const auto [listed, listedErr] = run({"ledger", "--ledger", ledgerFile, "--claims"}, 0);
    EXPECT_TRUE(listed.startsWith("batch lot-42, row 1, card 4012A301, station 'desk-1', since ")) << listed.toStdString();
    EXPECT_TRUE(listed.contains(" s ago)\n")) << listed.toStdString();
    const auto [json, jsonErr] = run({"ledger", "--ledger", ledgerFile, "--claims", "--json"}, 0);
    const QJsonObject claim = QJsonDocument::fromJson(json.toUtf8()).object();
    EXPECT_EQ(claim["station"].toString(), "desk-1");
    EXPECT_EQ(claim["row"].toInt(), 1);
    EXPECT_TRUE(claim["last_heartbeat"].toString().endsWith('Z')) << json.toStdString();

    const auto [kept, refused] = run({"ledger", "--ledger", ledgerFile, "--release", "desk-1"}, 1);
    EXPECT_TRUE(refused.contains("station 'desk-1' was heard ")) << refused.toStdString();
    EXPECT_TRUE(refused.contains("or at once with --force")) << refused.toStdString();
    const auto [out, forced] = run({"ledger", "--ledger", ledgerFile, "--release", "desk-1", "--force"}, 0);
    EXPECT_TRUE(forced.contains("its claims released by --force")) << forced.toStdString();
    EXPECT_TRUE(forced.contains(QRegularExpression("released batch lot-42 row 1 card 4012A301, claimed since 20\\d\\d-\\d\\d-\\d\\dT[0-9:.]+Z\n")))
        << forced.toStdString();
    EXPECT_TRUE(forced.contains("1 unfinished claim of desk-1 given back")) << forced.toStdString();
    EXPECT_EQ(run({"ledger", "--ledger", ledgerFile, "--claims"}, 0).first, QString());
}
