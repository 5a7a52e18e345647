// The "Card" page and the card window, driven through the real window against
// the simulator loaded with the fixture card (tests/data/mixed-card.txt):
// the key map, a read shown block by block, differences against a dump,
// bad files refused before anything is sent, Cancel, and the guard shared
// with the loop tests.
#include "app/MainForm.h"
#include "protocol/Commands.h"
#include "protocol/DumpFile.h"
#include "support/FormFixture.h"
#include "widgets/CardView.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace {

const std::string Fixture = std::string(ORVELLE_TEST_DATA) + "/mixed-card.txt";

class CardPageTest : public TWindowTest {
protected:
    void SetUp() override
    {
        TWindowTest::SetUp();
        ASSERT_TRUE(Sim().LoadDump(Fixture));
        ASSERT_TRUE(Dir.isValid());
        Form().OpenFileNameHandler = [this](const QString&) { return OpenAnswer; };
        Form().QuestionHandler = [](const QString&, const QString&) { return false; };
    }

    QPushButton* Button(const char* Name) { return Ctl<QPushButton>(Form(), Name); }
    QTableWidget* Table(const char* Name)
    {
        if (!Form().findChild<TCardView*>(QStringLiteral("CardWindow")))
            Click(Button("CardShow"));
        return Ctl<QTableWidget>(Form(), Name);
    }
    QString Cell(const char* Name, int Row, int Column) { return Table(Name)->item(Row, Column)->text(); }
    // The rows of the blocks table shown as differing.
    std::vector<int> Highlighted()
    {
        QTableWidget* blocks = Table("CardBlocks");
        const QColor tint = Ctl<TCardView>(Form(), "CardWindow")->DifferenceColour();
        std::vector<int> rows;
        for (int row = 0; row < blocks->rowCount(); ++row)
            if (blocks->item(row, 0)->background().color() == tint)
                rows.push_back(row);
        return rows;
    }
    std::string WriteFile(const char* Name, const std::string& Content)
    {
        const std::string path = Dir.filePath(QLatin1String(Name)).toStdString();
        std::ofstream(path) << Content;
        return path;
    }
    // The fixture as text with block 9 changed.
    std::string ChangedDump()
    {
        TFileError error;
        TDumpImage dump = *ReadDumpFile(Fixture, error);
        dump.Data[9][15] = 0x99;
        return WriteFile("changed.txt", TextOf(dump));
    }
    static int Requests(const std::vector<std::vector<uint8_t>>& Frames, uint8_t Command)
    {
        return int(std::count_if(Frames.begin(), Frames.end(), [Command](const auto& Frame) { return Frame.size() > 1 && Frame[1] == Command; }));
    }

    QTemporaryDir Dir;
    QString OpenAnswer;
};

TEST_F(CardPageTest, ControlsCaptionsStatesAndTheyFitThePage)
{
    struct TRow {
        const char* Name;
        const char* Caption;
        bool Enabled;
    };
    const std::vector<TRow> rows{{"CardBrowseKeys", "...", true}, {"CardMapKeys", "Map keys", true},
        {"CardRead", "Read card", true}, {"CardWrite", "Write card...", true}, {"CardCompare", "Compare...", true},
        {"CardOpenDump", "Open dump...", true}, {"CardSaveDump", "Save dump...", false},
        {"CardCancel", "Cancel", false}, {"CardShow", "Show card", true}};
    QWidget* page = Ctl<QWidget>(Form(), "TabSheet9");
    Ctl<QTabWidget>(Form(), "PageControl1")->setCurrentWidget(page);
    const QRect inside = page->rect();
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        EXPECT_EQ(Button(row.Name)->text(), QLatin1String(row.Caption));
        EXPECT_EQ(Button(row.Name)->isEnabled(), row.Enabled);
        EXPECT_TRUE(inside.contains(QRect(Button(row.Name)->mapTo(page, QPoint()), Button(row.Name)->size())));
    }
    EXPECT_TRUE(Ctl<QCheckBox>(Form(), "CardBuiltInKeys")->isChecked());
    EXPECT_TRUE(Ctl<QLineEdit>(Form(), "CardKeyFile")->text().isEmpty());
    auto* progress = Ctl<QProgressBar>(Form(), "CardProgress");
    EXPECT_TRUE(inside.contains(QRect(progress->mapTo(page, QPoint()), progress->size())));
}

TEST_F(CardPageTest, MapKeysGivesTheFixturesMap)
{
    Click(Button("CardMapKeys"));
    EXPECT_EQ(LastLog(), QStringLiteral("Map keys: 15 sectors done, sector 3 no key"));
    // Key B where the trailer lets key A read it is data, no key: none mapped.
    const QString none = QStringLiteral("unknown");
    const QString ff = QStringLiteral("FFFFFFFFFFFF");
    std::vector<std::pair<QString, QString>> want{{ff, none}, {QStringLiteral("A0A1A2A3A4A5"), QStringLiteral("B0B1B2B3B4B5")},
        {QStringLiteral("D3F7D3F7D3F7"), none}, {none, none}, {ff, QStringLiteral("AABBCCDDEEFF")},
        {ff, QStringLiteral("4D3A99C351DD")}};
    want.resize(15, {ff, none});
    want.push_back({QStringLiteral("8FD0A4F256E9"), QStringLiteral("8FD0A4F256E9")});
    ASSERT_EQ(Table("CardKeys")->rowCount(), 16);
    for (int sector = 0; sector < 16; ++sector) {
        SCOPED_TRACE(sector);
        EXPECT_EQ(Cell("CardKeys", sector, 1), want[size_t(sector)].first);
        EXPECT_EQ(Cell("CardKeys", sector, 2), want[size_t(sector)].second);
        EXPECT_EQ(Cell("CardKeys", sector, 3), sector == 3 ? QStringLiteral("no key") : QStringLiteral("done"));
    }
}

TEST_F(CardPageTest, ReadCardMapsFirstAndShowsEveryBlockWithWhatItIs)
{
    Click(Button("CardRead"));
    const QStringList log = LogLines();
    ASSERT_EQ(log.size(), 2);
    EXPECT_TRUE(log[0].startsWith(QStringLiteral("Map keys: "))) << log[0].toStdString();
    EXPECT_EQ(log[1], QStringLiteral("Read card: 14 sectors done, sector 3 no key, sector 4 read denied"));
    EXPECT_TRUE(Button("CardSaveDump")->isEnabled());

    const QString transport = QStringLiteral("trailer: key A write A; access bits read A, write A; key B read A, write A");
    const std::vector<std::tuple<int, QString, QString>> rows{
        {0, QStringLiteral("12345678080804004F525653494D3031"), QStringLiteral("manufacturer")},
        {1, QStringLiteral("4F7276656C6C65206669787475726500"), QStringLiteral("data")},
        {3, QStringLiteral("FFFFFFFFFFFFFF078069FFFFFFFFFFFF"), transport},
        {12, QString(32, QLatin1Char('-')), QStringLiteral("data")},
        {16, QStringLiteral("10C0DE00000000000000000000000000"), QStringLiteral("data")}, // by key B
        {18, QString(32, QLatin1Char('-')), QStringLiteral("data")},
        {17, QStringLiteral("11C0DE00000000000000000000000000"), QStringLiteral("data")},
        {19, QStringLiteral("FFFFFFFFFFFF2B42DD69AABBCCDDEEFF"),
            QStringLiteral("trailer: key A write B; access bits read A|B, write B; key B read never, write B")},
        {20, QStringLiteral("D20400002DFBFFFFD204000014EB14EB"), QStringLiteral("value 1234, address 20")},
        {21, QStringLiteral("FBFFFFFF04000000FBFFFFFF15EA15EA"), QStringLiteral("value -5, address 21")},
        {63, QStringLiteral("8FD0A4F256E97F0788698FD0A4F256E9"),
            QStringLiteral("trailer: key A write B; access bits read A|B, write B; key B read never, write B")}};
    ASSERT_EQ(Table("CardBlocks")->rowCount(), 64);
    for (const auto& [block, digits, kind] : rows) {
        SCOPED_TRACE(block);
        EXPECT_EQ(Cell("CardBlocks", block, 0), QString::number(block / 4));
        EXPECT_EQ(Cell("CardBlocks", block, 1), QString::number(block));
        EXPECT_EQ(Cell("CardBlocks", block, 2), digits);
        EXPECT_EQ(Cell("CardBlocks", block, 3), kind);
    }
    EXPECT_EQ(Cell("CardKeys", 4, 3), QStringLiteral("read denied (block 18)"));
    EXPECT_EQ(Cell("CardKeys", 2, 2), QStringLiteral("0123456789AB (readable)"));
    EXPECT_EQ(Cell("CardKeys", 3, 2), QStringLiteral("unknown"));
    EXPECT_TRUE(Highlighted().empty()) << "no dump opened";
}

TEST_F(CardPageTest, DifferencesAgainstTheDumpLastOpenedAreHighlighted)
{
    Click(Button("CardRead"));
    OpenAnswer = QString::fromStdString(ChangedDump());
    Click(Button("CardOpenDump"));
    EXPECT_EQ(Highlighted(), std::vector<int>{9});
    // The dump states the keys of sector 3: they are mapped before the compare.
    Click(Button("CardCompare"));
    EXPECT_EQ(LogLines().mid(LogLines().size() - 2),
        QStringList({QStringLiteral("Map keys: 16 sectors done"),
            QStringLiteral("Compare: 15 sectors done, sector 4 read denied; block 9 differs")}));
    EXPECT_EQ(Highlighted(), std::vector<int>{9});

    OpenAnswer = QString::fromStdString(Fixture);
    Click(Button("CardCompare"));
    EXPECT_TRUE(LastLog().endsWith(QStringLiteral("; card and dump agree"))) << LastLog().toStdString();
    EXPECT_TRUE(Highlighted().empty());
}

TEST_F(CardPageTest, WriteCardAsksForTrailersAndShowsEachOnesRights)
{
    OpenAnswer = QString::fromStdString(ChangedDump());
    QStringList asked;
    Form().QuestionHandler = [&](const QString& Text, const QString& Caption) {
        EXPECT_EQ(Caption, QStringLiteral("Write card"));
        asked << Text;
        return asked.size() == 1; // trailers: yes; each trailer: no
    };
    Click(Button("CardWrite"));
    EXPECT_EQ(Sim().Block(9)[15], 0x99);
    // Block 18 no key may write. The dump's own keys open sector 3.
    EXPECT_EQ(LastLog(), QStringLiteral("Write card: 15 sectors done, sector 4 write refused"));
    ASSERT_EQ(asked.size(), 17);
    EXPECT_TRUE(asked[6].startsWith(QStringLiteral("Write the trailer of sector 5?")));
    EXPECT_TRUE(asked[6].contains(QStringLiteral("key A FFFFFFFFFFFF, access bits 4C378B69, key B 4D3A99C351DD")));
    EXPECT_TRUE(asked[6].contains(QStringLiteral("block 20: read A|B, write B, increment B, decrement A|B")));
    // Every data block but 0 and 18 written; no trailer, since none was approved.
    std::vector<int> written;
    for (const auto& frame : F->TakeFrames())
        if (frame.size() > 2 && frame[1] == Cmd::WriteBlock)
            written.push_back(frame[2]);
    std::vector<int> want;
    for (int block = 1; block < 64; ++block)
        if (!IsTrailer(block) && block != 18)
            want.push_back(block);
    EXPECT_EQ(written, want);
}

TEST_F(CardPageTest, ABadKeyOrDumpFileIsNamedByLineAndNothingIsSent)
{
    const std::string badKeys = WriteFile("bad.keys", "# keys\nFFFFFFFFFFFF\nFFFFFFFFFFF\n");
    const std::string badDump = WriteFile("bad.txt", "+Sector: 0\n0000\n");
    const std::string goodDump = Fixture;
    struct TRow {
        const char* Button;
        std::string KeyFile;
        std::string Dump;
        std::string Where; // the file and line the box must name
    };
    const std::vector<TRow> rows{{"CardMapKeys", badKeys, "", badKeys + ":3:"},
        {"CardRead", badKeys, "", badKeys + ":3:"}, {"CardCompare", badKeys, goodDump, badKeys + ":3:"},
        {"CardWrite", "", badDump, badDump + ":2:"}, {"CardCompare", "", badDump, badDump + ":2:"},
        {"CardOpenDump", "", badDump, badDump + ":2:"}};
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Button + (" " + row.Where));
        ClearBoxes();
        Ctl<QLineEdit>(Form(), "CardKeyFile")->setText(QString::fromStdString(row.KeyFile));
        OpenAnswer = QString::fromStdString(row.Dump);
        Click(Button(row.Button));
        ASSERT_EQ(Boxes().size(), 1u);
        EXPECT_TRUE(Boxes()[0].Text.startsWith(QString::fromStdString(row.Where))) << Boxes()[0].Text.toStdString();
        EXPECT_TRUE(F->TakeAllFrames().empty());
    }
    EXPECT_TRUE(LogLines().isEmpty());
}

TEST_F(CardPageTest, CancelDuringAReadStopsItBeforeTheNextSector)
{
    Click(Button("CardMapKeys"));
    F->TakeFrames();
    std::vector<QString> enabledWhileRunning;
    QObject::connect(Ctl<QProgressBar>(Form(), "CardProgress"), &QProgressBar::valueChanged, &Form(), [&](int Sector) {
        if (Sector != 3)
            return;
        for (QPushButton* button : Form().findChildren<QPushButton*>())
            if (button->objectName().startsWith(QLatin1String("Card")) && button->isEnabled())
                enabledWhileRunning.push_back(button->objectName());
        Click(Button("CardCancel"));
    });
    Click(Button("CardRead"));
    EXPECT_EQ(enabledWhileRunning, std::vector<QString>{QStringLiteral("CardCancel")});
    EXPECT_EQ(LastLog(), QStringLiteral("Read card: cancelled; 2 sectors done, 14 not run"));
    // Sectors 0 and 1 read, four blocks each; nothing of sector 2.
    EXPECT_EQ(Requests(F->TakeFrames(), Cmd::ReadBlock), 8);
    EXPECT_TRUE(Button("CardRead")->isEnabled());
    EXPECT_FALSE(Button("CardCancel")->isEnabled());
}

TEST_F(CardPageTest, AJobAndALoopTestExcludeEachOther)
{
    bool readLive = true;
    QTimer::singleShot(0, &Form(), [&] {
        readLive = Button("CardRead")->isEnabled();
        Form().CardReadClick();
        Click(Button("BtnStopRead"));
    });
    Click(Button("BtnStartRead"));
    EXPECT_FALSE(readLive);
    EXPECT_TRUE(LogLines().contains(QStringLiteral("Read card: refused, another operation is running")));
    EXPECT_TRUE(Button("CardRead")->isEnabled());
}

} // namespace
