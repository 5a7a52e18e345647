// The ports window: over a system tree of the test's own, the simulator's
// pseudo-terminal named, a probe that runs off the window's thread and a COM
// link made in a private port map; from the Card page, the main window's own
// port shown as held and left alone.
#include "app/PortsWindow.h"
#include "serial/PortName.h"
#include "sim/SimServer.h"
#include "support/FormFixture.h"
#include "support/PtyPeer.h"
#include "support/ScanRoots.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <poll.h>

#include <filesystem>
#include <string>

namespace {

// The row of the table whose path (or device) is Path; -1 when none.
int RowOf(QTableWidget& Table, const std::string& Path)
{
    for (int row = 0; row < Table.rowCount(); ++row)
        for (int column : {TPortsWindow::PathColumn, TPortsWindow::DeviceColumn})
            if (Table.item(row, column)->text().toStdString() == Path)
                return row;
    return -1;
}

QString Cell(QTableWidget& Table, int Row, int Column) { return Table.item(Row, Column)->text(); }

TEST(PortsWindow, ProbeFindsTheSimulatorLeavesTheHeldPortAloneAndLinkMakesTheComLink)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::optional<TScanRoots> scan = EmptyScanRoots(dir);
    ASSERT_TRUE(scan);
    const TScanRoots& roots = *scan;

    sim::TSimServer sim;
    PtyPeer held; // the main window's port
    const std::string heldDevice = std::filesystem::canonical(held.SlavePath()).string();
    TPortsWindow window(roots, {sim.DevicePath(), held.SlavePath()}, [&] { return heldDevice; });
    window.SetProbeTimeout(3000);
    window.show();
    auto* table = Ctl<QTableWidget>(window, "PortsTable");
    const int simRow = RowOf(*table, sim.DevicePath());
    const int heldRow = RowOf(*table, held.SlavePath());
    ASSERT_GE(simRow, 0);
    ASSERT_GE(heldRow, 0);
    EXPECT_EQ(Cell(*table, heldRow, TPortsWindow::ProbeColumn), QStringLiteral("in use here (not probed)"));

    // The probe runs on a thread of its own: the click returns at once.
    QSignalSpy finished(&window, &TPortsWindow::ProbeFinished);
    QTest::mouseClick(Ctl<QPushButton>(window, "PortsProbe"), Qt::LeftButton);
    EXPECT_TRUE(window.Probing());
    EXPECT_FALSE(Ctl<QPushButton>(window, "PortsProbe")->isEnabled());
    ASSERT_TRUE(finished.count() == 1 || finished.wait(30000));
    EXPECT_TRUE(Ctl<QPushButton>(window, "PortsProbe")->isEnabled());
    EXPECT_EQ(Cell(*table, RowOf(*table, sim.DevicePath()), TPortsWindow::ProbeColumn), QStringLiteral("reader answers"));
    EXPECT_EQ(Cell(*table, RowOf(*table, held.SlavePath()), TPortsWindow::ProbeColumn),
        QStringLiteral("in use here (not probed)"));
    pollfd pending{held.MasterFd(), POLLIN, 0};
    EXPECT_EQ(::poll(&pending, 1, 0), 0) << "nothing was sent to the held port";

    // COM2 linked to the simulator's row, in the private port map.
    table->selectRow(RowOf(*table, sim.DevicePath()));
    Ctl<QComboBox>(window, "PortsCom")->setCurrentText(QStringLiteral("COM2"));
    QTest::mouseClick(Ctl<QPushButton>(window, "PortsLink"), Qt::LeftButton);
    EXPECT_EQ(LinkTarget(roots.MapDirectory + "/COM2"), sim.DevicePath());
    EXPECT_TRUE(Ctl<QLabel>(window, "PortsStatus")->text().startsWith(QStringLiteral("COM2 -> ")))
        << Ctl<QLabel>(window, "PortsStatus")->text().toStdString();
    EXPECT_EQ(Cell(*table, RowOf(*table, sim.DevicePath()), TPortsWindow::ComColumn), QStringLiteral("COM2"));
}

TEST(PortsWindow, TheCardPageOpensItWithTheWindowsPortHeld)
{
    TFormFixture F;
    ASSERT_EQ(F.LinkPanel(), QStringLiteral("Linked"));
    Ctl<QTabWidget>(*F.Form, "PageControl1")->setCurrentWidget(Ctl<QWidget>(*F.Form, "TabSheet9"));
    F.Click(Ctl<QPushButton>(*F.Form, "CardPorts"));
    auto* window = Ctl<TPortsWindow>(*F.Form, "PortsWindow");
    EXPECT_TRUE(window->isVisible());
    auto* table = Ctl<QTableWidget>(*window, "PortsTable");
    const int row = RowOf(*table, std::filesystem::canonical(F.Sim.DevicePath()).string());
    ASSERT_GE(row, 0) << "the window's own port is listed";
    EXPECT_EQ(Cell(*table, row, TPortsWindow::ProbeColumn), QStringLiteral("in use here (not probed)"));
}

} // namespace
