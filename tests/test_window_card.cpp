// The "Card" page and the card window, driven through the real window against
// the simulator loaded with the fixture card (tests/data/mixed-card.txt):
// the key map, a read shown block by block, differences against a dump and
// how much was compared, the trailers' dialog, what a write and an empty
// reader report, a dump file edited, saved and written, bad files refused
// before anything is sent, Cancel, the guard shared with the loop tests, and
// a batch's start waiting for another station given up with Stop.
#include "app/BatchWindow.h"
#include "app/CardPage.h"
#include "app/LineWindow.h"
#include "app/MainForm.h"
#include "protocol/AccessConditions.h"
#include "protocol/Commands.h"
#include "protocol/DumpFile.h"
#include "records/Ledger.h"
#include "support/FormFixture.h"
#include "support/PgServer.h"
#include "support/TestPaths.h"
#include "widgets/CardView.h"

#include <QCheckBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string Fixture = TestData("mixed-card.txt");

class CardPageTest : public TWindowTest {
protected:
    void SetUp() override
    {
        TWindowTest::SetUp();
        ASSERT_TRUE(Sim().LoadDump(Fixture));
        ASSERT_TRUE(Dir.isValid());
        Dialogs().OnOpen = [this](const QString&) { return OpenAnswer; };
    }

    QPushButton* Button(const char* Name) { return Ctl<QPushButton>(Form(), Name); }
    QTableWidget* Table(const char* Name)
    {
        if (!Form().findChild<TCardView*>(QStringLiteral("CardWindow")))
            Click(Button("CardShow"));
        return Ctl<QTableWidget>(Form(), Name);
    }
    QString Cell(const char* Name, int Row, int Column) { return Table(Name)->item(Row, Column)->text(); }
    // The rows of the blocks table marked as differing.
    std::vector<int> Highlighted()
    {
        QTableWidget* blocks = Table("CardBlocks");
        std::vector<int> rows;
        for (int row = 0; row < blocks->rowCount(); ++row)
            if (blocks->item(row, TCardView::MarkColumn)->text() == QStringLiteral("\u2260"))
                rows.push_back(row);
        return rows;
    }
    QString Summary() { return Ctl<QLabel>(*Ctl<TCardView>(Form(), "CardWindow"), "CardSummary")->text(); }
    // Digits typed into a block's row of the card window, as the operator does.
    void TypeBlock(int Block, const QString& Digits)
    {
        QTableWidget* blocks = Table("CardBlocks");
        blocks->setCurrentCell(Block, TCardView::DataColumn);
        blocks->edit(blocks->currentIndex());
        auto* editor = Ctl<QLineEdit>(*Ctl<TCardView>(Form(), "CardWindow"), "CardBlockEditor");
        editor->selectAll();
        QTest::keyClicks(editor, Digits);
        QTest::keyClick(editor, Qt::Key_Return);
    }
    std::string WriteFile(const char* Name, const std::string& Content)
    {
        const std::string path = Dir.filePath(QLatin1String(Name)).toStdString();
        std::ofstream(path) << Content;
        return path;
    }
    static TDumpImage FixtureDump()
    {
        TFileError error;
        return *ReadDumpFile(Fixture, error);
    }
    // The fixture as text with block 9 changed.
    std::string ChangedDump()
    {
        TDumpImage dump = FixtureDump();
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
        {"CardOpenDump", "Open dump...", true}, {"CardEditDump", "Edit dump...", true}, {"CardSaveDump", "Save dump...", false},
        {"CardCancel", "Cancel", false}, {"CardShow", "Show card", true}, {"CardBatch", "Batch...", true},
        {"CardLine", "Line...", true}, {"CardPorts", "Ports...", true}};
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
    // The first step, above everything else.
    auto* hint = Ctl<QLabel>(Form(), "CardHint");
    EXPECT_EQ(hint->text(), QStringLiteral("Place a card on the reader and press Read card: it finds the keys by itself."));
    EXPECT_TRUE(hint->isVisible());
    EXPECT_TRUE(hint->wordWrap());
    EXPECT_TRUE(inside.contains(QRect(hint->mapTo(page, QPoint()), hint->size())));
    EXPECT_LT(hint->mapTo(page, QPoint()).y(), Ctl<QLineEdit>(Form(), "CardKeyFile")->mapTo(page, QPoint()).y());
}

TEST_F(CardPageTest, MapKeysGivesTheFixturesMap)
{
    Click(Button("CardMapKeys"));
    EXPECT_EQ(LastLog(), QStringLiteral("Map keys (card 12345678): 15 sectors done, sector 3 no key"));
    // Key B where the trailer lets key A read it is data, no key: shown as
    // the card showed it, marked, as orvelle-card's table shows it.
    const QString none = QStringLiteral("-");
    const QString ff = QStringLiteral("FFFFFFFFFFFF");
    const QString ffShown = QStringLiteral("FFFFFFFFFFFF (readable)");
    std::vector<std::pair<QString, QString>> want{{ff, ffShown}, {QStringLiteral("A0A1A2A3A4A5"), QStringLiteral("B0B1B2B3B4B5")},
        {QStringLiteral("D3F7D3F7D3F7"), QStringLiteral("0123456789AB (readable)")}, {none, none},
        {ff, QStringLiteral("AABBCCDDEEFF")}, {ff, QStringLiteral("4D3A99C351DD")}};
    want.resize(15, {ff, ffShown});
    want.push_back({QStringLiteral("8FD0A4F256E9"), QStringLiteral("8FD0A4F256E9")});
    ASSERT_EQ(Table("CardKeys")->rowCount(), 16);
    for (int sector = 0; sector < 16; ++sector) {
        SCOPED_TRACE(sector);
        EXPECT_EQ(Cell("CardKeys", sector, 1), want[size_t(sector)].first);
        EXPECT_EQ(Cell("CardKeys", sector, 2), want[size_t(sector)].second);
        EXPECT_EQ(Cell("CardKeys", sector, 3), sector == 3 ? QStringLiteral("no key") : QStringLiteral("done"));
    }
}

TEST_F(CardPageTest, NoKeyOpeningAnySectorNamesThePagesKeyFile)
{
    Ctl<QLineEdit>(Form(), "CardKeyFile")->setText(QString::fromStdString(WriteFile("wrong.keys", "5A5A5A5A5A5A\n")));
    Ctl<QCheckBox>(Form(), "CardBuiltInKeys")->setChecked(false);
    Click(Button("CardMapKeys"));
    EXPECT_EQ(LastLog(), QStringLiteral("Map keys (card 12345678): 0 sectors done, sectors 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, "
                                        "11, 12, 13, 14, 15 no key; no key opens any sector of this card: choose a key file "
                                        "beside \"Key file\" on the Card page"));

    // The fixture card's own dump for the key file: its trailers' keys open every sector.
    Ctl<QLineEdit>(Form(), "CardKeyFile")->setText(QString::fromStdString(Fixture));
    Click(Button("CardMapKeys"));
    EXPECT_EQ(LogLines().mid(LogLines().size() - 2),
        QStringList({QString::fromStdString(Fixture + " is a card dump: using the keys its 16 sector trailers state"),
            QStringLiteral("Map keys (card 12345678): 16 sectors done")}));
}

TEST_F(CardPageTest, ReadCardMapsAsItReadsAndShowsEveryBlockWithWhatItIs)
{
    Click(Button("CardRead"));
    EXPECT_EQ(LogLines(), QStringList{QStringLiteral("Read card (card 12345678): 14 sectors done, sector 3 no key, sector 4 read denied")});
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
        EXPECT_EQ(Cell("CardBlocks", block, TCardView::SectorColumn), QString::number(block / 4));
        EXPECT_EQ(Cell("CardBlocks", block, TCardView::BlockColumn), QString::number(block));
        EXPECT_EQ(Cell("CardBlocks", block, TCardView::DataColumn), TCardView::Pairs(digits));
        EXPECT_EQ(Cell("CardBlocks", block, TCardView::MeaningColumn), kind);
    }
    EXPECT_EQ(Cell("CardKeys", 4, 3), QStringLiteral("read denied (block 18)"));
    EXPECT_EQ(Cell("CardKeys", 2, 2), QStringLiteral("0123456789AB (readable)"));
    EXPECT_EQ(Cell("CardKeys", 3, 2), QStringLiteral("-"));
    EXPECT_TRUE(Highlighted().empty()) << "no dump opened";
}

TEST_F(CardPageTest, DifferencesAgainstTheDumpLastOpenedAreHighlighted)
{
    Click(Button("CardRead"));
    const QString changed = QString::fromStdString(ChangedDump());
    OpenAnswer = changed;
    Click(Button("CardOpenDump"));
    EXPECT_EQ(Highlighted(), std::vector<int>{9});
    // The card read knows neither sector 3 nor block 18.
    EXPECT_TRUE(Summary().contains(QStringLiteral(": 59 of 64 known blocks compared, 1 differ: block 9; not compared: blocks 12, 13, 14, 15 no key, block 18 read denied (marked \u2260).")))
        << Summary().toStdString();
    // The dump states the keys of sector 3: they are mapped before the compare.
    Click(Button("CardCompare"));
    EXPECT_EQ(LogLines().mid(LogLines().size() - 2),
        QStringList({QStringLiteral("Map keys (card 12345678): 16 sectors done"),
            QStringLiteral("Compare (card 12345678, dump %1): 15 sectors done, sector 4 read denied; 63 of 64 known blocks "
                           "compared, 1 differ: block 9; not compared: block 18 read denied")
                .arg(changed)}));
    EXPECT_EQ(Highlighted(), std::vector<int>{9});

    // Agreement only where every known block was compared.
    TDumpImage readable = FixtureDump();
    readable.Known[18].fill(0);
    const struct {
        std::string Dump;
        QString Ends;
    } cases[] = {
        {Fixture, QStringLiteral("; 63 of 64 known blocks compared, 0 differ; not compared: block 18 read denied")},
        {WriteFile("readable.txt", TextOf(readable)), QStringLiteral("; card and dump agree")},
    };
    for (const auto& c : cases) {
        OpenAnswer = QString::fromStdString(c.Dump);
        Click(Button("CardCompare"));
        EXPECT_TRUE(LastLog().endsWith(c.Ends)) << LastLog().toStdString();
        EXPECT_TRUE(Highlighted().empty());
    }
}

TEST_F(CardPageTest, TheComparisonStaysShownItsDifferencesAreVisitedInTurnAndTheCardWindowWritesTheDump)
{
    // The fixture with blocks 9 and 33 changed; block 18, which no key
    // reads, unknown: every known block can be compared.
    TDumpImage dump = FixtureDump();
    dump.Data[9][15] = 0x99;
    dump.Data[33][0] = 0x33;
    dump.Known[18].fill(0);
    OpenAnswer = QString::fromStdString(WriteFile("two.txt", TextOf(dump)));
    Table("CardBlocks");
    auto* window = Ctl<TCardView>(Form(), "CardWindow");
    auto* result = Ctl<QLabel>(Form(), "CardResult");
    auto* windowResult = Ctl<QLabel>(*window, "CardViewResult");
    auto* next = Ctl<QPushButton>(*window, "CardViewNextDiff");
    auto* previous = Ctl<QPushButton>(*window, "CardViewPrevDiff");
    auto* write = Ctl<QPushButton>(*window, "CardViewWrite");
    EXPECT_TRUE(result->text().isEmpty());
    EXPECT_FALSE(next->isEnabled() || previous->isEnabled() || write->isEnabled()) << "nothing compared, nothing shown";
    EXPECT_TRUE(next->toolTip().endsWith(QStringLiteral("(F8)")));

    Click(Button("CardCompare"));
    const QString compared = QStringLiteral("Compare (card 12345678, dump %1): 15 sectors done, sector 4 read denied; "
                                            "63 of 63 known blocks compared, 2 differ: blocks 9, 33")
                                 .arg(OpenAnswer);
    EXPECT_EQ(LastLog(), compared);
    EXPECT_EQ(result->text(), compared) << "after the job, not only in the log";
    // On the page, wrapped: the dump's label below it stays on it too.
    QWidget* page = Ctl<QWidget>(Form(), "TabSheet9");
    Ctl<QTabWidget>(Form(), "PageControl1")->setCurrentWidget(page);
    for (QWidget* label : {static_cast<QWidget*>(result), Ctl<QWidget>(Form(), "CardDump")})
        EXPECT_TRUE(page->rect().contains(QRect(label->mapTo(page, QPoint()), label->size()))) << label->objectName().toStdString();
    EXPECT_EQ(windowResult->text(), QStringLiteral("Compare with two.txt: 15 sectors done, sector 4 read denied\n"
                                                   "63 of 63 known blocks compared, 2 differ: blocks 9, 33"));
    EXPECT_TRUE(windowResult->isVisible());

    // From the first row: each difference in turn, round past either end,
    // by the buttons or their keys (none: F8, with Shift for the previous).
    const struct {
        QPushButton* Press;
        int Block;
        Qt::KeyboardModifiers Keys = Qt::NoModifier;
    } steps[] = {{next, 9}, {next, 33}, {next, 9}, {previous, 33}, {previous, 9}, {previous, 33}, {nullptr, 9},
        {nullptr, 33, Qt::ShiftModifier}};
    Table("CardBlocks")->setCurrentCell(0, TCardView::DataColumn);
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    std::vector<int> visited;
    for (const auto& step : steps) {
        if (step.Press)
            Click(step.Press);
        else
            QTest::keyClick(Table("CardBlocks"), Qt::Key_F8, step.Keys);
        visited.push_back(window->CurrentBlock());
    }
    std::vector<int> want;
    for (const auto& step : steps)
        want.push_back(step.Block);
    EXPECT_EQ(visited, want);

    // Written from the window as from the page: the file asked for, then
    // the next comparison agrees.
    ASSERT_TRUE(write->isEnabled());
    QStringList asked;
    Dialogs().OnOpen = [&](const QString& Caption) {
        asked << Caption;
        return OpenAnswer;
    };
    Click(write);
    EXPECT_EQ(asked, QStringList{QStringLiteral("Dump to write")});
    EXPECT_TRUE(LastLog().startsWith(QStringLiteral("Write card (card 12345678, dump %1): ").arg(OpenAnswer))) << LastLog().toStdString();
    EXPECT_EQ(result->text(), LastLog());
    EXPECT_EQ(Sim().Block(33), dump.Data[33]);
    Click(Button("CardCompare"));
    EXPECT_TRUE(result->text().endsWith(QStringLiteral("; card and dump agree"))) << result->text().toStdString();
    EXPECT_TRUE(windowResult->text().endsWith(QStringLiteral("\ncard and dump agree"))) << windowResult->text().toStdString();
    EXPECT_FALSE(next->isEnabled() || previous->isEnabled());
}

TEST_F(CardPageTest, ClosingWithEditsToTheCardAsksFirst)
{
    Click(Button("CardRead"));
    const QString typed = QStringLiteral("0123456789ABCDEF0123456789ABCDEF");
    TypeBlock(9, typed);
    QTRY_VERIFY(Summary().contains(QStringLiteral("Edited, not on the card: block 9.")));
    auto* window = Ctl<TCardView>(Form(), "CardWindow");
    // The main window asks as well: it would lose them too.
    const struct {
        QWidget* Closing;
        bool Discard;
    } rows[] = {{&Form(), false}, {window, false}, {window, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Closing->objectName().toStdString() + (row.Discard ? " yes" : " no"));
        QStringList asked;
        Dialogs().OnAsk = [&](const QString& Text) {
            asked << Text;
            return row.Discard;
        };
        EXPECT_EQ(row.Closing->close(), row.Discard);
        EXPECT_EQ(asked, QStringList{QStringLiteral("Discard the edits to card 12345678?")});
        EXPECT_EQ(row.Closing->isVisible(), !row.Discard);
    }
    // Let go: the card as read, and nothing to ask the next time.
    Dialogs().OnAsk = nullptr;
    Click(Button("CardShow"));
    EXPECT_FALSE(Summary().contains(QStringLiteral("Edited"))) << Summary().toStdString();
    EXPECT_EQ(window->Digits(9), QStringLiteral("09C0DE00000000000000000000000000"));
    EXPECT_TRUE(window->close());
}

TEST_F(CardPageTest, EditsAreSavedAndWrittenAndTheComparisonThenSaysTheCardChanged)
{
    Click(Button("CardRead"));
    const QString changed = QString::fromStdString(ChangedDump());
    OpenAnswer = changed;
    Click(Button("CardCompare"));
    ASSERT_EQ(Highlighted(), std::vector<int>{9});

    // Block 9 typed as the dump has it, block 5 made a value block in its editor.
    auto* window = Ctl<TCardView>(Form(), "CardWindow");
    TypeBlock(9, QStringLiteral("09C0DE00000000000000000000000099"));
    QTRY_VERIFY(Highlighted().empty());
    Table("CardBlocks")->setCurrentCell(5, TCardView::DataColumn);
    Dialogs().OnDialog = [](QDialog& Dialog) {
        Ctl<QSpinBox>(Dialog, "ValueAmount")->setValue(77);
        Ctl<QPushButton>(Dialog, "ValueOk")->click();
    };
    Click(Ctl<QPushButton>(*window, "CardEditValue"));
    Dialogs().OnDialog = nullptr;
    EXPECT_EQ(Cell("CardBlocks", 5, TCardView::MeaningColumn), QStringLiteral("value 77, address 5"));
    EXPECT_TRUE(Summary().contains(QStringLiteral("Edited, not on the card: blocks 5, 9."))) << Summary().toStdString();
    EXPECT_EQ(Highlighted(), std::vector<int>{5});

    const QString saved = Dir.filePath(QStringLiteral("edited.txt"));
    Dialogs().OnSave = [&saved](const QString&) { return saved; };
    Click(Button("CardSaveDump"));
    TFileError error;
    const std::optional<TDumpImage> file = ReadDumpFile(saved.toStdString(), error);
    ASSERT_TRUE(file) << error.Text();
    const TBlockData value = MakeValueBlock(77, 5);
    EXPECT_EQ(file->Data[5], value);
    EXPECT_EQ(file->Data[9][15], 0x99);
    EXPECT_EQ(file->Data[8], FixtureDump().Data[8]);

    // Written with no file asked for; the card holds the edits now.
    Dialogs().OnOpen = [](const QString& Caption) {
        ADD_FAILURE() << "asked for a file: " << Caption.toStdString();
        return QString();
    };
    Click(Button("CardWrite"));
    EXPECT_TRUE(LastLog().startsWith(QStringLiteral("Write card (card 12345678, dump edited in the card window): ")))
        << LastLog().toStdString();
    EXPECT_EQ(Sim().Block(5), value);
    EXPECT_EQ(Sim().Block(9)[15], 0x99);
    EXPECT_FALSE(Summary().contains(QStringLiteral("Edited"))) << Summary().toStdString();
    EXPECT_TRUE(Summary().contains(QStringLiteral("the card changed since the comparison; now ")));
    EXPECT_EQ(Highlighted(), std::vector<int>{5});

    // Compared again, then read after the card changed under it.
    Dialogs().OnOpen = [&changed](const QString&) { return changed; };
    Click(Button("CardCompare"));
    EXPECT_FALSE(Summary().contains(QStringLiteral("changed since")));
    Sim().SetBlock(8, TBlockData{0x42});
    Click(Button("CardRead"));
    EXPECT_TRUE(Summary().contains(QStringLiteral("the card changed since the comparison; now ")));
    EXPECT_EQ(Highlighted(), (std::vector<int>{5, 8}));
}

TEST_F(CardPageTest, ADumpFileIsEditedSavedAndWrittenWithNoCardReadAndAReadAsksBeforeDroppingItsChanges)
{
    // The fixture with block 13 and the first digit of block 10 unknown.
    TDumpImage partial = FixtureDump();
    partial.Known[13].fill(0);
    partial.Known[10][0] = 0x0F;
    OpenAnswer = QString::fromStdString(WriteFile("partial.txt", TextOf(partial)));
    Click(Button("CardEditDump"));
    EXPECT_TRUE(F->TakeAllFrames().empty()) << "no card read";
    EXPECT_TRUE(Summary().startsWith(QStringLiteral("Editing dump %1.").arg(OpenAnswer))) << Summary().toStdString();
    EXPECT_EQ(Cell("CardBlocks", 10, TCardView::DataColumn), TCardView::Pairs(QStringLiteral("-AC0DE00000000000000000000000000")));

    const QString typed = QStringLiteral("0123456789ABCDEF0123456789ABCDEF");
    TypeBlock(9, typed);
    QTRY_VERIFY(Summary().startsWith(QStringLiteral("Editing dump %1 (changed): block 9 edited").arg(OpenAnswer)));
    const QString saved = Dir.filePath(QStringLiteral("edited.txt"));
    Dialogs().OnSave = [&saved](const QString&) { return saved; };
    Click(Ctl<QPushButton>(*Ctl<TCardView>(Form(), "CardWindow"), "CardWindowSave"));
    TFileError error;
    const std::optional<TDumpImage> file = ReadDumpFile(saved.toStdString(), error);
    ASSERT_TRUE(file) << error.Text();
    const TBlockData edit{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    EXPECT_EQ(file->Data[9], edit);
    EXPECT_EQ(file->Known, partial.Known) << "unknown digits stay unknown";
    EXPECT_TRUE(Summary().startsWith(QStringLiteral("Editing dump %1: the edits are saved.").arg(saved))) << Summary().toStdString();

    // Written as shown, with no file asked for; it stays for the next card.
    Dialogs().OnOpen = [](const QString& Caption) {
        ADD_FAILURE() << "asked for a file: " << Caption.toStdString();
        return QString();
    };
    Click(Button("CardWrite"));
    EXPECT_TRUE(LastLog().startsWith(QStringLiteral("Write card (card 12345678, dump %1): ").arg(saved))) << LastLog().toStdString();
    EXPECT_EQ(Sim().Block(9), edit);
    EXPECT_EQ(Sim().Block(10), FixtureDump().Data[10]) << "not fully known: left alone";
    EXPECT_TRUE(Summary().startsWith(QStringLiteral("Editing dump %1").arg(saved)));

    // A read would show the card in place of unsaved changes: asked first.
    TypeBlock(8, typed);
    QTRY_VERIFY(Summary().contains(QStringLiteral("(changed)")));
    F->TakeAllFrames();
    QStringList asked;
    // Nor does closing the window lose them unasked.
    Dialogs().OnAsk = [&](const QString& Text) {
        asked << Text;
        return false;
    };
    EXPECT_FALSE(Form().close());
    EXPECT_TRUE(Summary().contains(QStringLiteral("(changed)")));
    for (const bool discard : {false, true}) {
        Dialogs().OnAsk = [&](const QString& Text) {
            asked << Text;
            return discard;
        };
        Click(Button("CardRead"));
        EXPECT_EQ(Summary().startsWith(QStringLiteral("Editing dump")), !discard) << Summary().toStdString();
        EXPECT_EQ(F->TakeFrames().empty(), !discard);
    }
    EXPECT_EQ(asked, QStringList(3, QStringLiteral("Discard the changes to %1?").arg(saved)));
    EXPECT_EQ(Cell("CardBlocks", 9, TCardView::DataColumn), TCardView::Pairs(typed)) << "the card read";
    EXPECT_EQ(Cell("CardBlocks", 8, TCardView::DataColumn), TCardView::Pairs(QStringLiteral("08C0DE00000000000000000000000000")));
}

TEST_F(CardPageTest, AnEmptyReaderIsSaidSoAndNothingElse)
{
    Sim().RemoveCard();
    OpenAnswer = QString::fromStdString(Fixture);
    for (const char* button : {"CardMapKeys", "CardRead", "CardWrite", "CardCompare"}) {
        SCOPED_TRACE(button);
        ClearLog();
        Click(Button(button));
        EXPECT_EQ(LogLines(), QStringList{Button(button)->text().remove(QStringLiteral("...")) + QStringLiteral(": no card in the reader's field")});
    }
}

TEST_F(CardPageTest, AWriteOfNothingAndABinarySaveOfUnknownsAreRefusedAsSuch)
{
    OpenAnswer = QString::fromStdString(WriteFile("nothing.txt", TextOf(TDumpImage{})));
    Click(Button("CardWrite"));
    EXPECT_EQ(LastLog(), QStringLiteral("Write card (card 12345678, dump %1): 0 sectors done, sectors 0, 1, 2, 3, 4, 5, 6, 7, 8, "
                                        "9, 10, 11, 12, 13, 14, 15 nothing to write; nothing was written")
                             .arg(OpenAnswer));
    EXPECT_EQ(Requests(F->TakeFrames(), Cmd::WriteBlock), 0);

    Click(Button("CardRead"));
    const QString binary = Dir.filePath(QStringLiteral("card.bin"));
    Dialogs().OnSave = [&](const QString&) { return binary; };
    ClearBoxes();
    Click(Button("CardSaveDump"));
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].Text, QStringLiteral("Can not save the dump: %1: blocks 12, 13, 14, 15, 18 are not fully known: save as text to keep the unknowns").arg(binary));
    EXPECT_FALSE(QFile::exists(binary));
}

TEST_F(CardPageTest, WriteCardAsksOnceForEveryChangedTrailerNoneTickedFirst)
{
    // Sectors 5 and 6 get new keys A; every other trailer is the card's own.
    TDumpImage dump = FixtureDump();
    dump.Data[9][15] = 0x99;
    std::fill_n(dump.Data[23].begin(), KeyBytes, 0xA5);
    std::fill_n(dump.Data[27].begin(), KeyBytes, 0xA6);
    OpenAnswer = QString::fromStdString(WriteFile("trailers.txt", TextOf(dump)));
    const TBlockData trailer5 = Sim().Block(23);
    int dialogs = 0;
    Dialogs().OnDialog = [&](QDialog& Dialog) {
        ++dialogs;
        EXPECT_EQ(Dialog.windowTitle(), QStringLiteral("Write card"));
        QStringList boxes;
        for (QCheckBox* box : Dialog.findChildren<QCheckBox*>()) {
            boxes << box->objectName();
            EXPECT_FALSE(box->isChecked()) << box->objectName().toStdString();
        }
        EXPECT_EQ(boxes, QStringList({QStringLiteral("CardTrailer5"), QStringLiteral("CardTrailer6")}));
        const QString text5 = Ctl<QLabel>(Dialog, "CardTrailerText5")->text();
        EXPECT_TRUE(text5.contains(QStringLiteral("now: key A FFFFFFFFFFFF, access bits 4C378B, byte 9 69, key B 4D3A99C351DD")))
            << text5.toStdString();
        EXPECT_TRUE(text5.contains(QStringLiteral("new: key A A5A5A5A5A5A5, access bits 4C378B, byte 9 69, key B 4D3A99C351DD")));
        EXPECT_TRUE(text5.contains(QStringLiteral("blocks 20 to 21: read A|B, write B, increment B, decrement A|B")));
        Ctl<QCheckBox>(Dialog, "CardTrailer6")->setChecked(true);
        Ctl<QPushButton>(Dialog, "CardTrailersWrite")->click();
    };
    Click(Button("CardWrite"));
    EXPECT_EQ(dialogs, 1);
    EXPECT_EQ(Sim().Block(9)[15], 0x99);
    EXPECT_EQ(Sim().Block(27), dump.Data[27]);
    EXPECT_EQ(Sim().Block(23), trailer5);
    // Block 18 no key may write. The dump's own keys open sector 3.
    EXPECT_EQ(LastLog(), QStringLiteral("Write card (card 12345678, dump %1): 15 sectors done, sector 4 write refused, "
                                        "trailer not confirmed in sector 5")
                             .arg(OpenAnswer));
    // Every data block but 0 and 18, and the one trailer ticked, last in its sector.
    std::vector<int> written;
    for (const auto& frame : F->TakeFrames())
        if (frame.size() > 2 && frame[1] == Cmd::WriteBlock)
            written.push_back(frame[2]);
    std::vector<int> want;
    for (int block = 1; block < 64; ++block)
        if ((!IsTrailer(block) && block != 18) || block == 27)
            want.push_back(block);
    EXPECT_EQ(written, want);

    // The dialog cancelled: nothing is written.
    Dialogs().OnDialog = [&](QDialog& Dialog) { Ctl<QPushButton>(Dialog, "CardTrailersCancel")->click(); };
    Click(Button("CardWrite"));
    EXPECT_EQ(LastLog(), QStringLiteral("Write card: cancelled; nothing was written"));
    EXPECT_EQ(Requests(F->TakeFrames(), Cmd::WriteBlock), 0);
}

TEST_F(CardPageTest, ATrailerThatLocksForGoodIsAskedAgainInWordsAndNoWritesNothing)
{
    // Sector 7's trailer with access bits no key can change, nor its keys.
    TDumpImage dump = FixtureDump();
    SetAccess(dump.Data[31], {0b000, 0b000, 0b000, 0b110});
    OpenAnswer = QString::fromStdString(WriteFile("locking.txt", TextOf(dump)));
    const TBlockData before = Sim().Block(31);
    const struct {
        bool Yes;
        bool Written;
    } rows[] = {{false, false}, {true, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Yes);
        Dialogs().OnDialog = [&](QDialog& Dialog) {
            Ctl<QCheckBox>(Dialog, "CardTrailer7")->setChecked(true);
            Ctl<QPushButton>(Dialog, "CardTrailersWrite")->click();
        };
        QStringList asked;
        Dialogs().OnAsk = [&](const QString& Text) {
            asked << Text;
            return row.Yes;
        };
        Click(Button("CardWrite"));
        EXPECT_EQ(asked, QStringList{QStringLiteral("These trailers cannot be undone once written:\nsector 7: after this no "
                                                    "key can change this sector's access bits; after this no key can change "
                                                    "this sector's keys\nWrite them?")});
        EXPECT_EQ(Sim().Block(31), row.Written ? dump.Data[31] : before);
        if (!row.Written) {
            EXPECT_EQ(LastLog(), QStringLiteral("Write card: cancelled; nothing was written"));
            EXPECT_EQ(Requests(F->TakeFrames(), Cmd::WriteBlock), 0);
        }
    }
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
    EXPECT_EQ(LastLog(), QStringLiteral("Read card (card 12345678): cancelled; 2 sectors done, 14 not run"));
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
        Ctl<TCardPage>(Form(), "TabSheet9")->CardReadClick();
        Click(Button("BtnStopRead"));
    });
    Click(Button("BtnStartRead"));
    EXPECT_FALSE(readLive);
    EXPECT_TRUE(LogLines().contains(QStringLiteral("Read card: refused, another operation is running")));
    EXPECT_TRUE(Button("CardRead")->isEnabled());
}

TEST_F(CardPageTest, LineOpensOneLineWindowOnTheBatchWindowsLedger)
{
    // Before the batch window: the default ledger.
    Click(Button("CardLine"));
    auto* first = Ctl<TLineWindow>(Form(), "LineWindow");
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(first->Address(), QString());
    Click(Button("CardLine"));
    EXPECT_EQ(Form().findChildren<TLineWindow*>().size(), 1);
    Click(Button("CardBatch"));
    Ctl<QLineEdit>(*Ctl<QWidget>(Form(), "BatchWindow"), "BatchLedger")->setText(Dir.filePath("ledger.sqlite"));
    Click(Button("CardLine"));
    const QList<TLineWindow*> windows = Form().findChildren<TLineWindow*>();
    ASSERT_EQ(windows.size(), 1);
    EXPECT_EQ(windows.front()->Address(), Dir.filePath("ledger.sqlite"));
    EXPECT_TRUE(windows.front()->isVisible());
    // Its stations panel records into the same ledger and, with no station
    // running, lets the window close without asking.
    EXPECT_TRUE(windows.front()->findChild<QWidget*>(QStringLiteral("StationsPanel")));
    EXPECT_FALSE(windows.front()->StationsBusy());
    EXPECT_TRUE(windows.front()->close());
}

TEST_F(CardPageTest, ABatchWindowPreparesCardsTellingTheOperatorEachStep)
{
    Sim().InsertBlankCard(std::array<uint8_t, 4>{0x40, 0x12, 0xA3, 0x01});
    const std::string data = WriteFile("cards.csv", "number,block 4\n1001,00000000000000000000000000001001\n"
                                                    "1002,00000000000000000000000000001002\n");
    TDumpImage image;
    image.SetBlock(5, TBlockData{0x5A});
    const std::string tpl = WriteFile("template.txt", TextOf(image));
    Click(Button("CardBatch"));
    auto* window = Ctl<QWidget>(Form(), "BatchWindow");
    EXPECT_FALSE(window->isModal());
    EXPECT_EQ(Ctl<QLineEdit>(*window, "BatchLedger")->placeholderText(), "default: " + DefaultLedgerFile());
    Ctl<QLineEdit>(*window, "BatchTemplate")->setText(QString::fromStdString(tpl));
    // A file of labels only is taken only when the box says so.
    Ctl<QLineEdit>(*window, "BatchData")->setText(QString::fromStdString(WriteFile("labels.csv", "number\n1001\n")));
    ASSERT_FALSE(Ctl<QCheckBox>(*window, "CbLabelsOnly")->isChecked());
    ClearBoxes();
    Ctl<QPushButton>(*window, "BatchStart")->click();
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_TRUE(Boxes()[0].Text.endsWith("labels.csv:1: no data column ('block N' or 'value N'): take the file as labels only, and "
                                         "every card gets the template as it is"))
        << Boxes()[0].Text.toStdString();
    Ctl<QLineEdit>(*window, "BatchData")->setText(QString::fromStdString(data));
    Ctl<QLineEdit>(*window, "BatchLedger")->setText(Dir.filePath("ledger.sqlite"));
    auto* status = Ctl<QLabel>(*window, "BatchStatus");
    // Who and what: kept with each card's record, and shown while it runs.
    EXPECT_FALSE(Ctl<QLineEdit>(*window, "BatchOperator")->text().isEmpty()) << "the login name by default";
    Ctl<QLineEdit>(*window, "BatchStation")->setText("desk-9");
    Ctl<QLineEdit>(*window, "BatchOperator")->setText("ann");
    Ctl<QLineEdit>(*window, "BatchName")->setText("lot 7");
    Ctl<QSpinBox>(*window, "BatchCount")->setValue(2);
    EXPECT_FALSE(Ctl<QCheckBox>(*window, "BatchAgain")->isChecked());

    // The operator: a card taken away and the next placed at each "Done",
    // once for each card done (the counters say which). The line is paced
    // as a real one (9600 baud, 1 ms a command), so that each step shows long
    // enough to be seen: unpaced, a card is written between two looks. The
    // batch ends by itself with its last row.
    Sim().SetPace(1);
    QStringList seen;
    QTimer operatorHand;
    int placed = 1;
    QObject::connect(&operatorHand, &QTimer::timeout, [&] {
        if (seen.isEmpty() || seen.last() != status->text())
            seen << status->text();
        const QString counters = Ctl<QLabel>(*window, "BatchCounters")->text();
        if (status->text() == QLatin1String("Done: take the card away") && counters.startsWith(QStringLiteral("Done %1 ").arg(placed)))
            Sim().InsertBlankCard(std::array<uint8_t, 4>{0x40, 0x12, 0xA3, uint8_t(++placed)});
    });
    operatorHand.start(5);
    ASSERT_TRUE(Ctl<QPushButton>(*window, "BatchStart")->isEnabled());
    Ctl<QPushButton>(*window, "BatchStart")->click();
    operatorHand.stop();

    EXPECT_TRUE(seen.contains(QStringLiteral("Writing 4012A302 (row 2)\u2026"))) << seen.join(" | ").toStdString();
    // No card is asked for after the last row.
    EXPECT_EQ(seen.indexOf(QStringLiteral("Place a card"), seen.indexOf(QStringLiteral("Writing 4012A302 (row 2)\u2026"))), -1)
        << seen.join(" | ").toStdString();
    EXPECT_EQ(status->text(), "Batch complete: 2 done, 0 failed");
    EXPECT_TRUE(Ctl<QLabel>(*window, "BatchCounters")->text().startsWith("Done 2    Failed 0    Already prepared 0    Rows left 0"))
        << Ctl<QLabel>(*window, "BatchCounters")->text().toStdString();
    EXPECT_EQ(Ctl<QListWidget>(*window, "BatchLastCards")->count(), 2);
    EXPECT_TRUE(LastLog().startsWith("Batch lot 7 ended: 2 done, 0 failed")) << LastLog().toStdString();
    EXPECT_EQ(Ctl<QLabel>(*window, "BatchWho")->text(), "Station desk-9 \u00b7 operator ann \u00b7 batch lot 7");
    QString error;
    TLedgerAccess readOnly;
    readOnly.ReadOnly = true;
    const std::unique_ptr<TLedger> ledger = TLedger::Open(Dir.filePath("ledger.sqlite"), "window-test-ledger", error, readOnly);
    ASSERT_TRUE(ledger) << error.toStdString();
    QStringList records;
    ASSERT_TRUE(ledger->Export({}, true, [&](const std::string& Line) {
        const QJsonObject record = QJsonDocument::fromJson(QByteArray::fromStdString(Line)).object();
        records << QStringList{record["batch"].toString(), record["station"].toString(), record["operator"].toString(), record["result"].toString()}.join(',');
        return true;
    })) << ledger->Error().toStdString();
    EXPECT_EQ(records, (QStringList{"lot 7,desk-9,ann,done", "lot 7,desk-9,ann,done"}));
    TBlockData row2{};
    row2[14] = 0x10;
    row2[15] = 0x02;
    EXPECT_EQ(Sim().Block(4), row2);
    // A card placed after the end is not written: three beeps and a line.
    F->TakeAllFrames();
    Sim().InsertBlankCard(std::array<uint8_t, 4>{0x40, 0x12, 0xA3, 0x03});
    auto* last = Ctl<QListWidget>(*window, "BatchLastCards");
    ASSERT_TRUE(WaitUntil([&] { return last->count() == 3; }, std::chrono::seconds(30)));
    EXPECT_EQ(last->item(0)->text(), "4012A303 not written: batch lot 7 is complete");
    const auto frames = F->TakeAllFrames();
    EXPECT_EQ(std::count_if(frames.begin(), frames.end(), [](const auto& Frame) { return Frame.size() > 1 && Frame[1] == 0x13; }), 3);
    window->close();
    EXPECT_TRUE(LogLines().contains("Batch lot 7: the data file writes over it block 4 (column 2 'block 4')"))
        << LogLines().join('\n').toStdString();
    EXPECT_TRUE(LogLines().contains("Batch lot 7 started at station desk-9, operator ann")) << LogLines().join('\n').toStdString();
    EXPECT_TRUE(LogLines().filter(QRegularExpression("^Batch lot 7: 4012A301 row 1 done")).size() == 1)
        << LogLines().join('\n').toStdString();
    EXPECT_TRUE(Button("CardRead")->isEnabled()) << "the guard is given back";
}

// Another station starting batch Name, held while it stores its rows: on a
// thread of its own (a connection stays on the thread that made it), until
// released, or after a deadline, so that a window which never gives its wait
// up fails the test rather than hangs it.
class THeldStart {
public:
    THeldStart(const QString& Address, const QString& Name)
        : FHolder([this, Address, Name] { Hold(Address, Name); })
    {
        FStoring.get_future().wait();
    }
    ~THeldStart()
    {
        FRelease.set_value();
        FHolder.join();
    }
    THeldStart(const THeldStart&) = delete;
    THeldStart& operator=(const THeldStart&) = delete;
    QString Error;

private:
    void Hold(const QString& Address, const QString& Name)
    {
        const std::unique_ptr<TLedger> ledger = TLedger::Open(Address, QStringLiteral("window-test-first"), Error);
        if (!ledger) {
            FStoring.set_value();
            return;
        }
        std::shared_future<void> released = FRelease.get_future().share();
        ledger->StartBatch(TBatchStart{Name, QStringLiteral("7e3b"), QString(), {}, [&](const TRowSink& Take, QString&) {
                                           FStoring.set_value();
                                           released.wait_for(std::chrono::minutes(4));
                                           return Take({QStringLiteral("1001")});
                                       }});
    }

    std::promise<void> FStoring;
    std::promise<void> FRelease;
    std::thread FHolder;
};

TEST_F(CardPageTest, ABatchStartWaitingForAnotherStationShowsItAndStopGivesItUp)
{
    // Two stations' locks on one batch are rows of a server: an SQLite file
    // would lock the second station out of opening the ledger at all.
    TPgServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    const QString database = server.NewDatabase();
    ASSERT_FALSE(database.isEmpty()) << server.Error();
    const QString address = server.Url(database);
    Click(Button("CardBatch"));
    auto* window = Ctl<TBatchWindow>(Form(), "BatchWindow");
    TDumpImage image;
    image.SetBlock(5, TBlockData{0x5A});
    Ctl<QLineEdit>(*window, "BatchTemplate")->setText(QString::fromStdString(WriteFile("template.txt", TextOf(image))));
    Ctl<QLineEdit>(*window, "BatchLedger")->setText(address);
    Ctl<QLineEdit>(*window, "BatchName")->setText("lot 8");
    auto* start = Ctl<QPushButton>(*window, "BatchStart");
    auto* stop = Ctl<QPushButton>(*window, "BatchStop");
    ClearBoxes();

    bool waiting = false;
    bool stopEnabled = false;
    bool startEnabled = true;
    QElapsedTimer looked;
    looked.start();
    QTimer operatorHand;
    QObject::connect(&operatorHand, &QTimer::timeout, [&] {
        if (!waiting && window->Status().contains("another station is starting batch lot 8 this moment")) {
            waiting = true;
            stopEnabled = stop->isEnabled();
            startEnabled = start->isEnabled();
            window->StartClick(); // again, while it starts: nothing
            stop->click();
        } else if (looked.elapsed() > 5 * 60 * 1000) {
            stop->click();
        }
    });
    {
        THeldStart held(address, "lot 8");
        ASSERT_TRUE(held.Error.isEmpty()) << held.Error.toStdString();
        operatorHand.start(5);
        start->click();
        operatorHand.stop();
    }
    EXPECT_TRUE(waiting) << window->Status().toStdString();
    EXPECT_TRUE(stopEnabled);
    EXPECT_FALSE(startEnabled);
    EXPECT_EQ(window->Status(), "Stopped");
    QString error;
    const std::unique_ptr<TLedger> ledger = TLedger::Open(address, "window-test-second", error);
    ASSERT_TRUE(ledger) << error.toStdString();
    EXPECT_EQ(window->Detail(), "ledger " + ledger->Place() + ": the start of batch lot 8 was given up while another station was starting it");
    EXPECT_EQ(Boxes().size(), 0u) << (Boxes().empty() ? std::string() : Boxes().front().Text.toStdString());
    EXPECT_FALSE(window->Running());
    EXPECT_TRUE(start->isEnabled());
    EXPECT_FALSE(stop->isEnabled());
    int records = 0;
    EXPECT_TRUE(ledger->Export({}, true, [&](const std::string&) { return ++records, true; })) << ledger->Error().toStdString();
    EXPECT_EQ(records, 0);
}

} // namespace
