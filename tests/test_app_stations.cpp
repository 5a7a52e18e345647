// Stations run from the window: TStationProcess running orvelle-card batch
// against a simulator on a pseudo-terminal. Its events in order and its end;
// a station killed mid-card shown ended unexpectedly and restarted, its card
// finishing the batch; a station stopped with SIGINT ending cleanly.
#include "app/StationProcess.h"
#include "protocol/DumpFile.h"
#include "sim/SimServer.h"
#include "support/PrivateHome.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <signal.h>

#include <array>
#include <memory>
#include <vector>

namespace {

// Generous: the machine is shared and slow; nothing waits this long unless
// something is wrong.
constexpr int DeadlineMs = 5 * 60 * 1000;

std::array<uint8_t, 4> SerialNo(int N) { return {0x40, 0x12, 0xA3, uint8_t(N)}; }

class StationProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Dir.isValid());
        TDumpImage image;
        TBlockData fixed{};
        fixed.fill(0x5A);
        image.SetBlock(5, fixed);
        std::string error;
        ASSERT_TRUE(WriteDumpFile(Path("template.txt").toStdString(), image, TDumpFormat::Text, error)) << error;
        QFile data(Path("cards.csv"));
        ASSERT_TRUE(data.open(QIODevice::WriteOnly));
        data.write("number,block 4\n");
        for (int row = 1; row <= 2; ++row)
            data.write(QStringLiteral("%1,%2\n").arg(1000 + row).arg(row, 32, 10, QLatin1Char('0')).toLatin1());
        data.close();
        Home.Map(1, Sim.DevicePath());
    }

    QString Path(const char* Name) const { return Dir.filePath(QLatin1String(Name)); }

    TStationCommand Command() const
    {
        TStationCommand command;
        command.Port = QStringLiteral("COM1");
        command.Template = Path("template.txt");
        command.Data = Path("cards.csv");
        command.Station = QStringLiteral("desk-1");
        command.Ledger = Path("ledger.sqlite");
        command.ReplyTimeoutMs = 3000;
        command.Program = QCoreApplication::applicationDirPath() + QStringLiteral("/../orvelle-card");
        return command;
    }

    // Follows Station: its events' names in order, and the next card of
    // Next put in the field as each card ends (another serial: the last one
    // taken away).
    void Follow(TStationProcess& Station)
    {
        QObject::connect(&Station, &TStationProcess::EventArrived, &Station, [this](const QJsonObject& Event) {
            Events << Event;
            Names << Event.value("event").toString();
            const QString name = Event.value("event").toString();
            if ((name == "done" || name == "failed") && !Next.empty()) {
                Sim.InsertBlankCard(SerialNo(Next.front()));
                Next.erase(Next.begin());
            }
        });
        QObject::connect(&Station, &TStationProcess::StateChanged, &Station,
            [this](TStationProcess::TState State) { States << StationStateText(State); });
    }

    static bool Ended(const TStationProcess& Station)
    {
        return Station.State() == TStationProcess::TState::Finished || Station.State() == TStationProcess::TState::EndedUnexpectedly;
    }

    TPrivateHome Home;
    QTemporaryDir Dir;
    sim::TSimServer Sim;
    std::vector<int> Next;
    QList<QJsonObject> Events;
    QStringList Names;
    QStringList States;
};

TEST_F(StationProcessTest, ABatchOfTwoRowsReportsEachStepInOrderAndFinishes)
{
    Sim.InsertBlankCard(SerialNo(1));
    Next = {2};
    TStationProcess station(Command());
    Follow(station);
    station.Start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Ended(station); }, DeadlineMs)) << Names.join(' ').toStdString();
    EXPECT_EQ(Names.join(' ').toStdString(), "waiting card writing done remove waiting card writing done complete")
        << station.LastError().toStdString();
    EXPECT_EQ(States.join(", "), "starting, running, finished");
    EXPECT_EQ(station.ExitStatus(), 0);
    ASSERT_EQ(Events.size(), 10);
    EXPECT_EQ(Events[3]["row"].toInt(), 1);
    EXPECT_EQ(Events[8]["row"].toInt(), 2);
    EXPECT_EQ(Events[8]["serial"].toString(), "4012A302");
    EXPECT_EQ(station.LastEvent()["ended"].toString(), "rows out");
}

TEST_F(StationProcessTest, AStationKilledMidCardEndsUnexpectedlyAndItsRestartCompletesTheBatch)
{
    Sim.InsertBlankCard(SerialNo(7));
    // The card's first write goes unanswered: the station is still in the
    // middle of it when it is killed.
    Sim.InjectFault(0x07, {sim::TFaultKind::NoReply});
    TStationProcess station(Command());
    Follow(station);
    station.Start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Names.contains("writing") || Ended(station); }, DeadlineMs));
    ASSERT_EQ(station.State(), TStationProcess::TState::Running) << station.LastError().toStdString();
    ::kill(pid_t(station.ProcessId()), SIGKILL);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Ended(station); }, DeadlineMs));
    EXPECT_EQ(station.State(), TStationProcess::TState::EndedUnexpectedly);
    EXPECT_EQ(station.ExitStatus(), -1);

    Events.clear();
    Names.clear();
    Next = {8};
    station.Restart();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Ended(station) && !Names.isEmpty(); }, DeadlineMs));
    EXPECT_EQ(station.State(), TStationProcess::TState::Finished) << station.LastError().toStdString();
    QStringList done;
    for (const QJsonObject& event : Events) {
        if (event["event"].toString() == "done")
            done << QStringLiteral("%1 row %2").arg(event["serial"].toString()).arg(event["row"].toInt());
    }
    // The killed card's claim resumed: it gets row 1, the next card row 2.
    EXPECT_EQ(done.join(", "), "4012A307 row 1, 4012A308 row 2") << Names.join(' ').toStdString();
    EXPECT_EQ(station.LastEvent()["ended"].toString(), "rows out");
}

TEST_F(StationProcessTest, StopEndsAWaitingStationCleanly)
{
    // No card: the station waits for one until it is stopped.
    Sim.RemoveCard();
    TStationCommand command = Command();
    command.Password = QStringLiteral("pw-for-the-child");
    TStationProcess station(command);
    Follow(station);
    station.Start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Names.contains("waiting") || Ended(station); }, DeadlineMs));
    ASSERT_EQ(station.State(), TStationProcess::TState::Running) << station.LastError().toStdString();
    // The password is in the child's environment, never among its arguments.
    const QString proc = QStringLiteral("/proc/%1/").arg(station.ProcessId());
    QFile cmdline(proc + "cmdline");
    QFile environ(proc + "environ");
    ASSERT_TRUE(cmdline.open(QIODevice::ReadOnly) && environ.open(QIODevice::ReadOnly));
    EXPECT_FALSE(cmdline.readAll().contains("pw-for-the-child"));
    EXPECT_TRUE(environ.readAll().split('\0').contains("PGPASSWORD=pw-for-the-child"));
    station.Stop();
    EXPECT_EQ(station.State(), TStationProcess::TState::Stopping);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Ended(station); }, DeadlineMs));
    EXPECT_EQ(station.State(), TStationProcess::TState::Finished) << station.LastError().toStdString();
    EXPECT_EQ(station.ExitStatus(), 0);
    EXPECT_EQ(Names.join(' ').toStdString(), "waiting complete");
    EXPECT_EQ(station.LastEvent()["ended"].toString(), "stopped");
    EXPECT_EQ(States.join(", "), "starting, running, stopping, finished");
}

} // namespace
