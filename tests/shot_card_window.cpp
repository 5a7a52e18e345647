// Not a test of the suite: grabs the card window to a PNG as the operator
// sees it after reading the fixture card and comparing it with a dump one
// byte apart (block 9, its last byte), or the main window on its "Card" page
// after a read. scripts/card-shots.sh makes the pictures in docs/ with it:
//
//   ORVELLE_SHOT=out.png [ORVELLE_SHOT_DARK=1] [QT_SCALE_FACTOR=2] shot_card_window
//       --gtest_filter=CardWindowShot.*    (or MainWindowShot.*)
//
// It fails where the window does not show that one difference, or the main
// window not its nine pages. ReportShot.* draws the shift report's four
// charts (orvelle-card ledger --report) of a sample shift kept in a ledger,
// LineShot.* the line window over that shift, PortsShot.* the ports window
// after a probe of the simulator and a terminal nobody answers on.
#include "app/FormDialogs.h"
#include "app/LineWindow.h"
#include "app/MainForm.h"
#include "app/PortsWindow.h"
#include "cardtool/ShiftReport.h"
#include "protocol/DumpFile.h"
#include "sim/SimServer.h"
#include "support/FormFixture.h"
#include "support/PtyPeer.h"
#include "support/ScanRoots.h"
#include "support/TestPaths.h"
#include "widgets/CardView.h"

#include <QApplication>
#include <QChart>
#include <QGraphicsScene>
#include <QImage>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyleFactory>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace {

// A dark palette as desktops give one: light text on dark bases.
QPalette DarkPalette()
{
    QPalette dark;
    const QColor window(45, 45, 48), base(30, 30, 32), text(220, 220, 220);
    dark.setColor(QPalette::Window, window);
    dark.setColor(QPalette::WindowText, text);
    dark.setColor(QPalette::Base, base);
    dark.setColor(QPalette::AlternateBase, window);
    dark.setColor(QPalette::Text, text);
    dark.setColor(QPalette::Button, window);
    dark.setColor(QPalette::ButtonText, text);
    dark.setColor(QPalette::ToolTipBase, window);
    dark.setColor(QPalette::ToolTipText, text);
    dark.setColor(QPalette::PlaceholderText, QColor(130, 130, 135));
    dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    dark.setColor(QPalette::Link, QColor(100, 170, 240));
    dark.setColor(QPalette::Mid, QColor(70, 70, 74));
    dark.setColor(QPalette::Light, QColor(80, 80, 84));
    dark.setColor(QPalette::Midlight, QColor(62, 62, 66));
    dark.setColor(QPalette::Dark, QColor(20, 20, 22));
    dark.setColor(QPalette::Shadow, Qt::black);
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        dark.setColor(QPalette::Disabled, role, QColor(120, 120, 124));
    return dark;
}

TEST(CardWindowShot, ReadAndComparedWithADumpOneByteApart)
{
    const char* out = std::getenv("ORVELLE_SHOT");
    ASSERT_NE(out, nullptr) << "ORVELLE_SHOT names the PNG to write";
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    if (const char* dark = std::getenv("ORVELLE_SHOT_DARK"); dark && *dark == '1')
        QApplication::setPalette(DarkPalette());

    TFormFixture F;
    ASSERT_EQ(F.LinkPanel(), "Linked");
    const std::string fixture = TestData("mixed-card.txt");
    ASSERT_TRUE(F.Sim.LoadDump(fixture));
    TFileError error;
    TDumpImage dump = *ReadDumpFile(fixture, error);
    dump.Data[9][15] = 0x99;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("changed.txt"));
    std::ofstream(path.toStdString()) << TextOf(dump);
    F.Dialogs.OnOpen = [&path](const QString&) { return path; };

    F.Click(Ctl<QPushButton>(*F.Form, "CardRead"));
    F.Click(Ctl<QPushButton>(*F.Form, "CardCompare"));
    F.Click(Ctl<QPushButton>(*F.Form, "CardShow"));
    auto* window = Ctl<TCardView>(*F.Form, "CardWindow");
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    auto* blocks = Ctl<QTableWidget>(*window, "CardBlocks");
    ASSERT_EQ(blocks->item(9, TCardView::MarkColumn)->text(), QStringLiteral("\u2260"));
    // A row chosen, to show the selection beside the mark.
    blocks->selectRow(6);
    QApplication::processEvents();
    // No alpha channel: the window is opaque, and the file smaller.
    const QImage shot = window->grab().toImage().convertToFormat(QImage::Format_RGB888);
    ASSERT_FALSE(shot.isNull());
    ASSERT_TRUE(shot.save(QString::fromLocal8Bit(out), "PNG", 9)) << out;
}

TEST(MainWindowShot, TheCardPageAfterARead)
{
    const char* out = std::getenv("ORVELLE_SHOT");
    ASSERT_NE(out, nullptr) << "ORVELLE_SHOT names the PNG to write";
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    TFormFixture F;
    ASSERT_EQ(F.LinkPanel(), "Linked");
    ASSERT_TRUE(F.Sim.LoadDump(TestData("mixed-card.txt")));
    auto* tabs = Ctl<QTabWidget>(*F.Form, "PageControl1");
    ASSERT_EQ(tabs->count(), 9);
    tabs->setCurrentWidget(Ctl<QWidget>(*F.Form, "TabSheet9"));
    F.Click(Ctl<QPushButton>(*F.Form, "CardRead"));
    ASSERT_TRUE(F.LastLog().startsWith(QStringLiteral("Read card (card 12345678): "))) << F.LastLog().toStdString();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(F.Form.get()));
    QApplication::processEvents();
    const QImage shot = F.Form->grab().toImage().convertToFormat(QImage::Format_RGB888);
    ASSERT_FALSE(shot.isNull());
    ASSERT_TRUE(shot.save(QString::fromLocal8Bit(out), "PNG", 9)) << out;
}

// A sample shift in a new ledger in Dir, from Start: three desks over two
// hours, a card every 40 to 100 s, one desk slower and one with a worn
// reader; the same shift every time.
std::unique_ptr<TLedger> SampleShift(const QTemporaryDir& Dir, const QDateTime& Start)
{
    QString error;
    std::unique_ptr<TLedger> ledger = TLedger::Open(Dir.filePath(QStringLiteral("ledger.sqlite")), QStringLiteral("report-shot"), error);
    EXPECT_TRUE(ledger) << error.toStdString();
    if (!ledger)
        return nullptr;
    std::vector<QStringList> rows;
    for (int row = 1; row <= 400; ++row)
        rows.push_back({QString::number(row), QStringLiteral("Card %1").arg(row)});
    const TBatchStart batch{QStringLiteral("lot 12"), QStringLiteral("7e3b"), QStringLiteral("d474"), {QStringLiteral("number"), QStringLiteral("name")}, RowsOf(rows)};
    if (!ledger->StartBatch(batch)) {
        ADD_FAILURE() << ledger->Error().toStdString();
        return nullptr;
    }
    const TFailCause causes[] = {TFailCause::NoKey, TFailCause::CardLeft, TFailCause::NoKey, TFailCause::CardLeft, TFailCause::NoKey};
    uint32_t seed = 12345;
    const auto next = [&seed](uint32_t Range) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % Range;
    };
    uint32_t serial = 0;
    for (int desk = 1; desk <= 3; ++desk) {
        for (int second = int(next(60)); second < 7200; second += 40 + int(next(60)) + (desk == 3 ? 30 : 0)) {
            if (second > 2400 && second < 3000 && desk == 2)
                continue; // a break
            TCardRecord card;
            card.Time = Start.addSecs(second);
            card.Station = QStringLiteral("desk-%1").arg(desk);
            card.Operator = QStringList{QStringLiteral("ann"), QStringLiteral("bo"), QStringLiteral("cy")}[desk - 1];
            card.Batch = batch.Name;
            ++serial;
            card.Serial = {uint8_t(serial >> 24), uint8_t(serial >> 16), uint8_t(serial >> 8), uint8_t(serial)};
            const bool failed = next(desk == 3 ? 8 : 25) == 0;
            card.Outcome = failed ? TCardOutcome::Failed : TCardOutcome::Done;
            card.Cause = failed ? causes[next(5)] : TFailCause::None;
            card.DurationMs = 2200 + qint64(next(1400)) + (next(12) == 0 ? 4000 : 0);
            const std::optional<TClaim> claim = ledger->Claim(card.Batch, card.Station, card.Serial, false);
            if (!claim) {
                ADD_FAILURE() << ledger->Error().toStdString();
                return nullptr;
            }
            card.Row = claim->Row;
            if (ledger->Record(*claim, card) != TRecordResult::Recorded) {
                ADD_FAILURE() << ledger->Error().toStdString();
                return nullptr;
            }
        }
    }
    return ledger;
}

TEST(ReportShot, TheFourChartsOfASampleShift)
{
    const char* out = std::getenv("ORVELLE_SHOT");
    ASSERT_NE(out, nullptr) << "ORVELLE_SHOT names the PNG to write";
    QTemporaryDir dir;
    const std::unique_ptr<TLedger> ledger = SampleShift(dir, QDateTime(QDate(2026, 12, 8), QTime(6, 0), Qt::UTC));
    ASSERT_TRUE(ledger);
    const std::optional<TLedgerSeries> series = ledger->Series({});
    ASSERT_TRUE(series) << ledger->Error().toStdString();
    const std::vector<TBarChartData> charts = ShiftReportCharts(*series);
    ASSERT_EQ(charts.size(), 4u);

    // The four as the report lays them out, two by two.
    const QSize size(600, 300);
    QGraphicsScene scene;
    scene.setBackgroundBrush(Qt::white);
    for (size_t i = 0; i < charts.size(); ++i) {
        QChart* chart = MakeBarChart(charts[i]);
        scene.addItem(chart);
        chart->setGeometry(QRectF(QPointF(double(i % 2) * size.width(), double(i / 2) * size.height()), QSizeF(size)));
    }
    const QRectF area(0, 0, 2 * size.width(), 2 * size.height());
    scene.setSceneRect(area);
    QImage shot(area.size().toSize(), QImage::Format_RGB888);
    shot.fill(Qt::white);
    QPainter painter(&shot);
    painter.setRenderHint(QPainter::Antialiasing);
    scene.render(&painter, area, area);
    painter.end();
    ASSERT_TRUE(shot.save(QString::fromLocal8Bit(out), "PNG", 9)) << out;
}

TEST(LineShot, TheLineWindowOverASampleShift)
{
    const char* out = std::getenv("ORVELLE_SHOT");
    ASSERT_NE(out, nullptr) << "ORVELLE_SHOT names the PNG to write";
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QTemporaryDir dir;
    // The shift's last card a minute ago: the stations were heard just now.
    ASSERT_TRUE(SampleShift(dir, QDateTime::currentDateTimeUtc().addSecs(-7260)));
    TFormDialogs dialogs;
    TLineWindow window(dir.filePath(QStringLiteral("ledger.sqlite")));
    window.AddStations(dialogs, [] { return QString(); });
    window.resize(1100, 820);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.Refresh();
    QApplication::processEvents();
    const QImage shot = window.grab().toImage().convertToFormat(QImage::Format_RGB888);
    ASSERT_FALSE(shot.isNull());
    ASSERT_TRUE(shot.save(QString::fromLocal8Bit(out), "PNG", 9)) << out;
}

TEST(PortsShot, TheSimulatorAnswersAndASilentTerminalDoesNot)
{
    const char* out = std::getenv("ORVELLE_SHOT");
    ASSERT_NE(out, nullptr) << "ORVELLE_SHOT names the PNG to write";
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QTemporaryDir dir;
    const std::optional<TScanRoots> scan = EmptyScanRoots(dir);
    ASSERT_TRUE(scan);
    const TScanRoots& roots = *scan;
    sim::TSimServer sim;
    PtyPeer silent;
    TPortsWindow window(roots, {sim.DevicePath(), silent.SlavePath()}, [] { return std::string(); });
    window.SetProbeTimeout(3000);
    window.resize(900, 300);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QSignalSpy finished(&window, &TPortsWindow::ProbeFinished);
    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("PortsProbe")), Qt::LeftButton);
    ASSERT_TRUE(finished.count() == 1 || finished.wait(30000));
    const QImage shot = window.grab().toImage().convertToFormat(QImage::Format_RGB888);
    ASSERT_FALSE(shot.isNull());
    ASSERT_TRUE(shot.save(QString::fromLocal8Bit(out), "PNG", 9)) << out;
}

} // namespace
