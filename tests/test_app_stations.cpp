// Stations run from the window: TStationProcess running orvelle-card batch
// against a simulator on a pseudo-terminal. Its events in order and its end;
// a station killed mid-card shown ended unexpectedly and restarted, its card
// finishing the batch; a station stopped with SIGINT ending cleanly. The
// stations panel driven through its object names: a station added with the
// template's trailers approved in the window, the held port not offered; a
// station that fails beside one that waits, offered for a restart, and
// "Stop all" stopping the other.
#include "app/StationProcess.h"
#include "app/StationsPanel.h"
#include "protocol/AccessConditions.h"
#include "protocol/DumpFile.h"
#include "session/BatchJob.h"
#include "sim/SimServer.h"
#include "support/FormFixture.h"
#include "support/PrivateHome.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
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
    command.Operator = QStringLiteral("ada");
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
    const QByteArray arguments = cmdline.readAll();
    EXPECT_FALSE(arguments.contains("pw-for-the-child"));
    EXPECT_TRUE(arguments.contains(QByteArray("\0--operator\0ada\0", 16))) << arguments.toStdString();
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

// The panel: a template that changes sector 1's trailer for good (no key
// may change its keys or access bits after), its questions answered with
// every trailer ticked and yes; the station it adds writes them (the
// window's approval is the one the batch checks, --permanent with it) and
// its row follows it to its end. The port the window holds (COM2) is not
// offered.
TEST_F(StationProcessTest, ThePanelAddsAStationWithTheTrailersApprovedAndShowsItsEnd)
{
    std::array<uint8_t, 16> trailer{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xFF, 0x07, 0x80, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    SetAccess(trailer, {0b000, 0b000, 0b000, 0b110});
    TDumpImage image;
    image.SetBlock(7, trailer);
    std::string error;
    ASSERT_TRUE(WriteDumpFile(Path("trailer.txt").toStdString(), image, TDumpFormat::Text, error)) << error;
    Sim.InsertBlankCard(SerialNo(1));
    Next = {2};
    TTestDialogs dialogs;
    TStationsPanel panel(
        Path("ledger.sqlite"), [] { return QStringLiteral("COM2"); }, dialogs);
    panel.SetProgram(Command().Program);
    panel.show();
    QStringList seen;
    dialogs.OnDialog = [&](QDialog& Dialog) {
        seen << Dialog.objectName();
        if (Dialog.objectName() == "CardTrailers") {
            for (QCheckBox* box : Dialog.findChildren<QCheckBox*>())
                box->setChecked(true);
            Ctl<QPushButton>(Dialog, "CardTrailersWrite")->click();
            return;
        }
        auto* port = Ctl<QComboBox>(Dialog, "StationPort");
        QStringList offered;
        for (int i = 0; i < port->count(); ++i)
            offered << port->itemText(i);
        EXPECT_EQ(offered.join(' '), "COM1 COM3 COM4");
        port->setCurrentText("COM1");
        Ctl<QLineEdit>(Dialog, "StationTemplate")->setText(Path("trailer.txt"));
        Ctl<QLineEdit>(Dialog, "StationData")->setText(Path("cards.csv"));
        Ctl<QLineEdit>(Dialog, "StationName")->setText("desk-1");
        Ctl<QLineEdit>(Dialog, "StationOperator")->setText("ada");
        Ctl<QPushButton>(Dialog, "StationOk")->click();
    };
    QStringList asked;
    dialogs.OnAsk = [&](const QString& Text) {
        asked << Text;
        return true;
    };
    Ctl<QPushButton>(panel, "StationAdd")->click();
    EXPECT_EQ(seen.join(' '), "StationDialog CardTrailers");
    EXPECT_EQ(asked, QStringList{"These trailers cannot be undone once written:\nsector 1: after this no key can change this "
                                 "sector's access bits; after this no key can change this sector's keys\nWrite them?"});
    ASSERT_EQ(panel.StationCount(), 1);
    EXPECT_TRUE(panel.Station(0).Command().Permanent);
    Follow(panel.Station(0));
    const auto* table = Ctl<QTableWidget>(panel, "StationsTable");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Ended(panel.Station(0)); }, DeadlineMs));
    EXPECT_EQ(panel.Station(0).State(), TStationProcess::TState::Finished) << panel.Station(0).LastError().toStdString();
    EXPECT_EQ(panel.Station(0).Command().ApprovedTrailers, TrailersDigest(image));
    QStringList row;
    for (int column = 0; column < table->columnCount(); ++column)
        row << table->item(0, column)->text();
    EXPECT_EQ(row.join(" | "), "COM1 | desk-1 | ada | finished | complete: 2 done, 0 failed (rows out)");
    EXPECT_EQ(Sim.Block(7), trailer);
    QStringList operators;
    for (const QJsonObject& event : Events) {
        if (event["event"].toString() == "done")
            operators << event["operator"].toString();
    }
    EXPECT_EQ(operators.join(' '), "ada ada");
    EXPECT_FALSE(Ctl<QPushButton>(panel, "StationRestart")->isEnabled());
}

TEST_F(StationProcessTest, AFailedStationIsOfferedARestartAndStopAllStopsTheOthers)
{
    Sim.RemoveCard();
    TTestDialogs dialogs;
    TStationsPanel panel(
        Path("ledger.sqlite"), [] { return QString(); }, dialogs);
    panel.SetProgram(Command().Program);
    panel.show();
    TStationCommand waiting = Command();
    panel.AddStation(waiting);
    TStationCommand failing = Command();
    failing.Port = Path("no-such-device");
    failing.Station = QStringLiteral("desk-2");
    panel.AddStation(failing);
    auto* table = Ctl<QTableWidget>(panel, "StationsTable");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Ended(panel.Station(1)) && !panel.Station(0).LastEvent().isEmpty(); }, DeadlineMs));
    EXPECT_EQ(panel.Station(1).State(), TStationProcess::TState::EndedUnexpectedly);
    EXPECT_EQ(table->item(1, 3)->text(), "ended unexpectedly (exit 3)");
    EXPECT_EQ(table->item(1, 4)->text(), panel.Station(1).LastError());
    EXPECT_FALSE(panel.Station(1).LastError().isEmpty());
    EXPECT_EQ(table->item(0, 3)->text(), "running");
    auto* restart = Ctl<QPushButton>(panel, "StationRestart");
    table->selectRow(0);
    EXPECT_FALSE(restart->isEnabled());
    table->selectRow(1);
    EXPECT_TRUE(restart->isEnabled());

    // A second reader under a running station's name is refused: the
    // ledger could not tell the two apart.
    QStringList boxes;
    dialogs.OnBox = [&](const QString& Text, const QString&, int) { boxes << Text; };
    dialogs.OnDialog = [&](QDialog& Dialog) {
        Ctl<QComboBox>(Dialog, "StationPort")->setCurrentText("COM4");
        Ctl<QLineEdit>(Dialog, "StationTemplate")->setText(waiting.Template);
        Ctl<QLineEdit>(Dialog, "StationName")->setText(waiting.Station);
        Ctl<QPushButton>(Dialog, "StationOk")->click();
    };
    Ctl<QPushButton>(panel, "StationAdd")->click();
    EXPECT_EQ(panel.StationCount(), 2);
    EXPECT_EQ(boxes, QStringList{QStringLiteral("Station %1 is already running here: give this one another name.").arg(waiting.Station)});

    Ctl<QPushButton>(panel, "StationStopAll")->click();
    EXPECT_EQ(table->item(0, 3)->text(), "stopping");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !panel.Busy(); }, DeadlineMs));
    EXPECT_EQ(table->item(0, 3)->text(), "finished");
    EXPECT_EQ(table->item(0, 4)->text(), "complete: 0 done, 0 failed (stopped)");
}

} // namespace
