// The window's own controls on their own: the hyperlink label, the radio
// group, the spin edit, the card view and the card window's block editors,
// on real widgets of the offscreen platform.
#include "app/CardEditors.h"
#include "app/CardWindowData.h"
#include "support/FormFixture.h"
#include "widgets/CardView.h"
#include "widgets/HyperLink.h"
#include "widgets/RadioGroup.h"
#include "widgets/SpinEdit.h"

#include <QApplication>
#include <QComboBox>
#include <QFocusEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHelpEvent>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QSplitter>
#include <QTableWidget>
#include <QTest>
#include <QToolTip>
#include <QUndoStack>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

namespace {

// ------------------------------------------------------------ hyperlink label

class HyperLinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Form = std::make_unique<QMainWindow>();
        Form->resize(300, 100);
        Link = new THyperLink(Form.get());
        Link->setText(QStringLiteral("a link"));
        Link->setGeometry(10, 10, 120, 20);
        Link->Opener = [this](const QString& Target) { Opened.push_back(Target); };
        Form->show();
    }

    void Click(Qt::MouseButton Button = Qt::LeftButton) { QTest::mouseClick(Link, Button, {}, QPoint(5, 5)); }

    std::unique_ptr<QMainWindow> Form;
    THyperLink* Link = nullptr;
    QStringList Opened;
};

TEST_F(HyperLinkTest, StartsAsABlueHandPointerWithHintsAndNoLink)
{
    EXPECT_TRUE(Link->URL.isEmpty());
    EXPECT_TRUE(Link->ShowHint);
    EXPECT_EQ(Link->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(Link->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    EXPECT_EQ(Link->font().pointSize(), 9);
    EXPECT_FALSE(Link->font().underline());
    EXPECT_EQ(Link->Owner(), Form.get());
    EXPECT_TRUE(static_cast<bool>(Link->Opener)) << "a link must open through the desktop by default";
}

TEST_F(HyperLinkTest, EmptyUrlIgnoresClicks)
{
    Click();
    Click();
    EXPECT_TRUE(Opened.isEmpty());
}

TEST_F(HyperLinkTest, OpensTheUrlOfTheMomentOfEachClick)
{
    Link->URL = QStringLiteral("https://orvelle.example/");
    Click();
    Link->URL = QStringLiteral("mailto:support@orvelle.example");
    Click();
    Link->URL.clear();
    Click();
    EXPECT_EQ(Opened, QStringList({QStringLiteral("https://orvelle.example/"), QStringLiteral("mailto:support@orvelle.example")}));
}

TEST_F(HyperLinkTest, OnlyALeftClickOnTheLabelOpens)
{
    Link->URL = QStringLiteral("https://orvelle.example/");
    Click(Qt::RightButton);
    // Pressed on the label, released away from it: no click.
    QTest::mousePress(Link, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseRelease(Link, Qt::LeftButton, {}, QPoint(500, 5));
    EXPECT_TRUE(Opened.isEmpty());
    Click();
    EXPECT_EQ(Opened.size(), 1);
}

TEST_F(HyperLinkTest, AnOnClickHandlerReplacesTheLinkAction)
{
    Link->URL = QStringLiteral("https://orvelle.example/");
    int Handled = 0;
    Link->OnClick = [&] { ++Handled; };
    Click();
    EXPECT_EQ(Handled, 1);
    EXPECT_TRUE(Opened.isEmpty());
    // The handler may still open the link itself.
    Link->OnClick = [&] { Link->OpenLink(Link->URL); };
    Click();
    EXPECT_EQ(Opened, QStringList{QStringLiteral("https://orvelle.example/")});
}

TEST_F(HyperLinkTest, TheTipShowsTheCurrentLinkWhileHintsAreOn)
{
    Link->URL = QStringLiteral("https://orvelle.example/first");
    Link->URL = QStringLiteral("https://orvelle.example/second");
    QHelpEvent Tip(QEvent::ToolTip, QPoint(5, 5), Link->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(Link, &Tip);
    EXPECT_EQ(QToolTip::text(), QStringLiteral("https://orvelle.example/second"));

    Link->ShowHint = false;
    Link->URL = QStringLiteral("https://orvelle.example/third");
    QApplication::sendEvent(Link, &Tip);
    EXPECT_NE(QToolTip::text(), QStringLiteral("https://orvelle.example/third"));
}

TEST(HyperLinkOwner, MustBeAForm)
{
    EXPECT_THROW(THyperLink(nullptr), std::invalid_argument);

    QMainWindow Form;
    auto* Page = new QWidget(&Form);
    EXPECT_THROW(THyperLink{Page}, std::invalid_argument);
    EXPECT_TRUE(Form.findChildren<THyperLink*>().isEmpty()) << "a refused label must not stay behind";

    QWidget TopLevel;
    EXPECT_NO_THROW({
        THyperLink OnTopLevel(&TopLevel);
        THyperLink OnForm(&Form);
    });
}

// ---------------------------------------------------------------- radio group

TEST(RadioGroup, FillsColumnsTopToBottomAndStartsWithNothingChosen)
{
    TRadioGroup Group(QStringLiteral("Port："),
        {QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C"), QStringLiteral("D"), QStringLiteral("E")}, 2);
    Group.show();
    Group.layout()->activate();
    ASSERT_EQ(Group.Count(), 5);
    EXPECT_EQ(Group.ItemIndex(), -1);
    EXPECT_EQ(Group.title(), QStringLiteral("Port："));
    for (int I = 0; I < 5; ++I)
        EXPECT_EQ(Group.Button(I)->text(), QString(QChar('A' + I)));
    // Three to a column: A B C down the first, D E down the second.
    EXPECT_EQ(Group.Button(1)->x(), Group.Button(0)->x());
    EXPECT_EQ(Group.Button(2)->x(), Group.Button(0)->x());
    EXPECT_GT(Group.Button(1)->y(), Group.Button(0)->y());
    EXPECT_GT(Group.Button(3)->x(), Group.Button(0)->x());
    EXPECT_EQ(Group.Button(3)->y(), Group.Button(0)->y());
    EXPECT_EQ(Group.Button(4)->x(), Group.Button(3)->x());
}

TEST(RadioGroup, ClickReportsEachChangeOnceAndEachRepeatedClick)
{
    TRadioGroup Group(QStringLiteral("Search Card by："), {QStringLiteral("Idel card"), QStringLiteral("All cards")}, 2);
    Group.show();
    QSignalSpy Clicks(&Group, &TRadioGroup::Click);

    Group.SetItemIndex(0);
    EXPECT_EQ(Group.ItemIndex(), 0);
    EXPECT_EQ(Clicks.count(), 1);
    Group.SetItemIndex(0); // no change, no click
    EXPECT_EQ(Clicks.count(), 1);

    QTest::mouseClick(Group.Button(1), Qt::LeftButton);
    EXPECT_EQ(Group.ItemIndex(), 1);
    EXPECT_FALSE(Group.Button(0)->isChecked());
    EXPECT_EQ(Clicks.count(), 2);
    // The item already chosen, clicked or pressed with the space bar: asked
    // again, reported again; a program's SetItemIndex to it is no change.
    QTest::mouseClick(Group.Button(1), Qt::LeftButton);
    EXPECT_EQ(Clicks.count(), 3);
    Group.Button(1)->setFocus();
    QTest::keyClick(Group.Button(1), Qt::Key_Space);
    EXPECT_EQ(Clicks.count(), 4);
    Group.SetItemIndex(1);
    EXPECT_EQ(Clicks.count(), 4);
    EXPECT_EQ(Group.ItemIndex(), 1);

    Group.SetItemIndex(-1);
    EXPECT_EQ(Group.ItemIndex(), -1);
    EXPECT_FALSE(Group.Button(1)->isChecked());
    EXPECT_EQ(Clicks.count(), 5);
    Group.SetItemIndex(7); // out of range: as -1, already so
    EXPECT_EQ(Clicks.count(), 5);
}

// ------------------------------------------------------------------ spin edit

class SpinEditTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto* Row = new QHBoxLayout(&Window);
        Spin = new TSpinEdit(&Window);
        Spin->setRange(1, 63);
        Spin->setValue(12);
        Other = new QLineEdit(&Window);
        Row->addWidget(Spin);
        Row->addWidget(Other);
        Window.show();
        Window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&Window));
        Spin->setFocus();
        ASSERT_TRUE(Spin->hasFocus());
    }

    void Leave()
    {
        Other->setFocus();
        ASSERT_TRUE(Other->hasFocus());
    }

    QWidget Window;
    TSpinEdit* Spin = nullptr;
    QLineEdit* Other = nullptr;
};

TEST_F(SpinEditTest, ReadsItsMinimumWhileTheTextIsNoNumber)
{
    EXPECT_EQ(Spin->Value(), 12);
    // The operator empties the box: value() would still say 12.
    QTest::keyClick(Spin, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(Spin, Qt::Key_Backspace);
    ASSERT_TRUE(Spin->text().isEmpty());
    EXPECT_EQ(Spin->Value(), 1);

    Spin->findChild<QLineEdit*>()->setText(QStringLiteral("abc"));
    EXPECT_EQ(Spin->Value(), 1);
    Spin->findChild<QLineEdit*>()->setText(QStringLiteral("40"));
    EXPECT_EQ(Spin->Value(), 40);
}

TEST_F(SpinEditTest, LeavingTheBoxSettlesTheTextOnWhatItReads)
{
    QTest::keyClick(Spin, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(Spin, Qt::Key_Backspace);
    Leave();
    EXPECT_EQ(Spin->value(), 1);
    EXPECT_EQ(Spin->text(), QStringLiteral("1"));

    Spin->setFocus();
    Spin->findChild<QLineEdit*>()->setText(QStringLiteral("99"));
    EXPECT_EQ(Spin->Value(), 63);
    Leave();
    EXPECT_EQ(Spin->value(), 63);
    EXPECT_EQ(Spin->text(), QStringLiteral("63"));

    Spin->setFocus();
    Spin->findChild<QLineEdit*>()->setText(QStringLiteral("0"));
    Leave();
    EXPECT_EQ(Spin->value(), 1);
    EXPECT_EQ(Spin->text(), QStringLiteral("1"));

    // Typed within range: kept as typed.
    Spin->setFocus();
    QTest::keyClick(Spin, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(Spin, QStringLiteral("37"));
    Leave();
    EXPECT_EQ(Spin->value(), 37);
    EXPECT_EQ(Spin->Value(), 37);
}

TEST_F(SpinEditTest, ReportsEveryTextChangeOnce)
{
    QStringList Seen;
    QObject::connect(Spin, &TSpinEdit::TextChanged, [&](const QString& Text) { Seen << Text; });
    QTest::keyClick(Spin, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(Spin, Qt::Key_Backspace); // an empty box is a change too
    QTest::keyClicks(Spin, QStringLiteral("25"));
    Spin->setValue(7); // and so is one made by the program
    EXPECT_EQ(Seen, (QStringList{QString(), QStringLiteral("2"), QStringLiteral("25"), QStringLiteral("7")}));
}

// ------------------------------------------------------------------ card view

class CardViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TCardViewBlock same;
        same.Sector = 2;
        same.Block = 8;
        same.Digits = QStringLiteral("08C0DE00000000000000000000000000");
        same.Kind = QStringLiteral("data");
        TCardViewBlock differs = same;
        differs.Block = 9;
        differs.Digits = QStringLiteral("09C0DE00000000000000000000000000");
        differs.DumpDigits = QStringLiteral("09C0DE00000000000000000000000099");
        TCardViewBlock trailer = same;
        trailer.Block = 11;
        trailer.Digits = QStringLiteral("------------FF078069FFFFFFFFFFFF");
        trailer.Kind = QStringLiteral("trailer: key A write A; access bits read A, write A; key B read A, write A");
        Data.Blocks = {same, differs, trailer};
        Data.Sectors = {{2, QStringLiteral("FFFFFFFFFFFF"), QStringLiteral("unknown"), QStringLiteral("done")}};
        View.SetData(Data);
        View.SetDescriber([](int, const QString& Digits) {
            TCardViewBlock described;
            described.Kind = QStringLiteral("starts ") + Digits.left(2);
            return described;
        });
        View.resize(1400, 500);
        View.show();
        View.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&View));
    }

    QTableWidget* Blocks() { return Ctl<QTableWidget>(View, "CardBlocks"); }
    QString Cell(int Row, int Column) { return Blocks()->item(Row, Column)->text(); }
    QLineEdit* OpenEditor(int Row)
    {
        Blocks()->setCurrentCell(Row, TCardView::DataColumn);
        Blocks()->edit(Blocks()->currentIndex());
        return Ctl<QLineEdit>(View, "CardBlockEditor");
    }

    TCardViewData Data;
    TCardView View;
};

TEST_F(CardViewTest, ABlockIsEditedInPlaceItsMeaningFollowingTheTypingAndUndone)
{
    QSignalSpy edits(&View, &TCardView::BlockEdited);
    EXPECT_EQ(Cell(0, TCardView::DataColumn), QStringLiteral("08 C0 DE 00 00 00 00 00 00 00 00 00 00 00 00 00"));
    EXPECT_FALSE(Ctl<QPushButton>(View, "CardUndo")->isEnabled());

    QLineEdit* editor = OpenEditor(0);
    EXPECT_EQ(editor->text(), Cell(0, TCardView::DataColumn));
    editor->selectAll();
    QTest::keyClicks(editor, QStringLiteral("ab 12"));
    EXPECT_EQ(Cell(0, TCardView::MeaningColumn), QStringLiteral("4 of 32 digits"));
    // Not taken while short: Enter leaves the editor open.
    QTest::keyClick(editor, Qt::Key_Return);
    QCoreApplication::processEvents();
    EXPECT_TRUE(edits.isEmpty());
    QTest::keyClicks(editor, QString(27, QLatin1Char('0')) + QStringLiteral("-"));
    EXPECT_EQ(Cell(0, TCardView::MeaningColumn), QStringLiteral("starts AB"));
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_COMPARE(edits.size(), 1);
    const QString typed = QStringLiteral("AB12") + QString(27, QLatin1Char('0')) + QStringLiteral("-");
    EXPECT_EQ(edits[0], QVariantList({8, typed}));
    EXPECT_EQ(Cell(0, TCardView::DataColumn), TCardView::Pairs(typed));
    EXPECT_EQ(View.Digits(8), typed);

    // Escape drops what was typed, and the meaning comes back.
    editor = OpenEditor(1);
    QTest::keyClicks(editor, QStringLiteral("FF"));
    QTest::keyClick(editor, Qt::Key_Escape);
    QTRY_VERIFY(!View.findChild<QLineEdit*>(QStringLiteral("CardBlockEditor")));
    EXPECT_EQ(Cell(1, TCardView::MeaningColumn), QStringLiteral("data"));
    EXPECT_EQ(edits.size(), 1);

    // The button and Ctrl+Z undo; the button redoes.
    Ctl<QPushButton>(View, "CardUndo")->click();
    EXPECT_EQ(View.Digits(8), Data.Blocks[0].Digits);
    EXPECT_EQ(edits.last(), QVariantList({8, Data.Blocks[0].Digits}));
    Ctl<QPushButton>(View, "CardRedo")->click();
    EXPECT_EQ(View.Digits(8), typed);
    QTest::keyClick(Blocks(), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(View.Digits(8), Data.Blocks[0].Digits);
    EXPECT_EQ(edits.size(), 4);

    // Only 32 hex digits or '-' are an edit.
    for (const char* bad : {"AB", "0123456789ABCDEF0123456789ABCDEG", "0123456789ABCDEF0123456789ABCDEF00"})
        EXPECT_FALSE(View.EditBlock(8, QLatin1String(bad))) << bad;
    EXPECT_FALSE(View.EditBlock(12, typed)) << "no row shows block 12";
    EXPECT_EQ(edits.size(), 4);
}

TEST_F(CardViewTest, TheBytesAreShownAsCharactersInStepWithTheirEdits)
{
    // 0x20 to 0x7E as they are; any other byte, or one not known, '.'.
    EXPECT_EQ(Cell(2, TCardView::AsciiColumn), QStringLiteral(".........i......"));
    const struct {
        const char* Digits;
        const char* Ascii;
    } rows[] = {{"4F7276656C6C65206669787475726500", "Orvelle fixture."}, {"207E7F1F41----0000000000000000FF", " ~..A..........."}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Digits);
        ASSERT_TRUE(View.EditBlock(8, QLatin1String(row.Digits)));
        EXPECT_EQ(Cell(0, TCardView::AsciiColumn), QLatin1String(row.Ascii));
        EXPECT_FALSE(Blocks()->item(0, TCardView::AsciiColumn)->flags() & Qt::ItemIsEditable);
    }
    View.UndoStack()->undo();
    EXPECT_EQ(Cell(0, TCardView::AsciiColumn), QLatin1String(rows[0].Ascii));
}

TEST_F(CardViewTest, ADifferingByteIsMarkedOnTheCardsLineAndTheDumpsNeverInTheSelectionsColour)
{
    EXPECT_EQ(Cell(1, TCardView::MarkColumn), QStringLiteral("\u2260"));
    EXPECT_TRUE(Blocks()->item(1, TCardView::MarkColumn)->toolTip().startsWith(QStringLiteral("byte 15 differs")));
    EXPECT_TRUE(Blocks()->item(1, TCardView::BlockColumn)->font().bold());
    for (const int row : {0, 2}) {
        EXPECT_TRUE(Cell(row, TCardView::MarkColumn).isEmpty());
        EXPECT_FALSE(Blocks()->item(row, TCardView::BlockColumn)->font().bold());
    }

    // Painted: the mark's colour stands behind byte 15 of both lines, and
    // nowhere in a block that does not differ.
    Blocks()->clearSelection();
    QImage shot(Blocks()->viewport()->size(), QImage::Format_RGB32);
    Blocks()->viewport()->render(&shot);
    const QRgb mark = View.DifferenceColour().rgb();
    const auto marked = [&](int Row) {
        QRect where;
        const QRect cell = Blocks()->visualRect(Blocks()->model()->index(Row, TCardView::DataColumn));
        for (int y = cell.top(); y <= cell.bottom(); ++y)
            for (int x = cell.left(); x <= cell.right(); ++x)
                if (shot.pixel(x, y) == mark)
                    where |= QRect(x, y, 1, 1);
        return std::pair(cell, where);
    };
    const auto [cell, where] = marked(1);
    ASSERT_FALSE(where.isEmpty());
    EXPECT_GT(where.left(), cell.left() + cell.width() * 14 / 16) << "byte 15 only";
    EXPECT_LT(where.top(), cell.center().y());
    EXPECT_GT(where.bottom(), cell.center().y()) << "the dump's line too";
    EXPECT_TRUE(marked(0).second.isEmpty());

    // Its own colour: not the selection's, whatever the selection's is.
    const QColor before = View.DifferenceColour();
    EXPECT_NE(before, View.palette().color(QPalette::Highlight));
    QPalette other = View.palette();
    other.setColor(QPalette::Highlight, QColor(200, 40, 40));
    View.setPalette(other);
    EXPECT_EQ(View.DifferenceColour(), before);
}

TEST_F(CardViewTest, NarrowedTheKeysGoBelowTheBlocksAndTheMeaningStaysInSight)
{
    auto* split = Ctl<QSplitter>(View, "CardSplitter");
    EXPECT_EQ(split->orientation(), Qt::Horizontal);
    const int oneLine = Blocks()->rowHeight(0);
    View.resize(820, 500);
    QCoreApplication::processEvents();
    EXPECT_EQ(split->orientation(), Qt::Vertical);
    QHeaderView* header = Blocks()->horizontalHeader();
    const int meaning = header->sectionSize(TCardView::MeaningColumn);
    EXPECT_GE(meaning, 15 * View.fontMetrics().averageCharWidth());
    EXPECT_LE(header->sectionViewportPosition(TCardView::MeaningColumn) + meaning, Blocks()->viewport()->width());
    // The trailer's long meaning wraps rather than be cut.
    QTRY_VERIFY(Blocks()->rowHeight(2) > oneLine);
    View.resize(1400, 500);
    QCoreApplication::processEvents();
    EXPECT_EQ(split->orientation(), Qt::Horizontal);
}

// ---------------------------------------------------------- the block editors

TBlockImage Known(const char* Digits) { return *BlockOfDigits(QLatin1String(Digits)); }

TEST(AccessEditor, GivesTheBytesOfTheRowsChosenKeysAndSpareByteKept)
{
    const struct {
        TConditionSet Cond;
        const char* Bytes;
    } rows[] = {
        {{0b000, 0b000, 0b000, 0b001}, "FF 07 80"}, // transport configuration
        {{0b100, 0b100, 0b100, 0b011}, "78 77 88"},
        {{0b011, 0b000, 0b111, 0b011}, "2B 42 DD"},
        {{0b110, 0b110, 0b000, 0b011}, "4C 37 8B"},
        {{0b010, 0b001, 0b111, 0b100}, "A3 C9 65"},
    };
    TAccessEditor editor(5, Known("------------FF078069AABBCCDDEEFF"));
    const char* names[] = {"AccessBlock0", "AccessBlock1", "AccessBlock2", "AccessTrailer"};
    EXPECT_EQ(Ctl<QComboBox>(editor, "AccessBlock1")->itemText(1),
        QStringLiteral("010   read A|B, write never, increment never, decrement never"));
    EXPECT_EQ(Ctl<QComboBox>(editor, "AccessTrailer")->itemText(4),
        QStringLiteral("001   key A write A; access bits read A, write A; key B read A, write A"));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Bytes);
        for (size_t i = 0; i < 4; ++i) {
            auto* combo = Ctl<QComboBox>(editor, names[i]);
            ASSERT_EQ(combo->count(), 8);
            combo->setCurrentIndex(combo->findData(row.Cond[i]));
        }
        EXPECT_EQ(Ctl<QLabel>(editor, "AccessBytes")->text(), QStringLiteral("Bytes 6, 7, 8: ") + QLatin1String(row.Bytes));
        const QString digits = QStringLiteral("------------") + QString::fromLatin1(row.Bytes).remove(QLatin1Char(' '))
            + QStringLiteral("69AABBCCDDEEFF");
        EXPECT_EQ(DigitsOf(editor.Trailer()), digits);
    }
}

TEST(AccessEditor, MakesNoInconsistentBitsFromAnyChoice)
{
    // Bytes 6 to 8 that disagree: the transport configuration is proposed.
    TAccessEditor editor(1, Known("FFFFFFFFFFFF000000FFFFFFFFFFFFFF"));
    EXPECT_TRUE(Ctl<QLabel>(editor, "AccessNote")->text().contains(QStringLiteral("inconsistent")));
    EXPECT_EQ(editor.Conditions(), TransportConditions);
    std::array<QComboBox*, 4> combos{Ctl<QComboBox>(editor, "AccessBlock0"), Ctl<QComboBox>(editor, "AccessBlock1"),
        Ctl<QComboBox>(editor, "AccessBlock2"), Ctl<QComboBox>(editor, "AccessTrailer")};
    int checked = 0;
    for (int choice = 0; choice < 8 * 8 * 8 * 8; ++choice) {
        TConditionSet chosen{};
        for (size_t i = 0; i < 4; ++i) {
            combos[i]->setCurrentIndex((choice >> (3 * i)) & 7);
            chosen[i] = uint8_t(combos[i]->currentData().toUInt());
        }
        const TAccessConditions made = TrailerAccess(editor.Trailer().Data);
        ASSERT_TRUE(made.Consistent) << choice;
        ASSERT_EQ(made.Cond, chosen) << choice;
        ++checked;
    }
    EXPECT_EQ(checked, 4096);
}

TEST(AccessEditor, MarksInRedWhatAChoiceTakesAwayForGood)
{
    const struct {
        TConditionSet Cond;
        const char* Words; // "" when the mark is hidden
    } rows[] = {
        {TransportConditions, ""},
        {{0b100, 0b100, 0b100, 0b011}, ""},
        {{0b000, 0b000, 0b000, 0b110},
            "Permanent: after this no key can change this sector's access bits; after this no key can change this "
            "sector's keys."},
        {{0b000, 0b011, 0b000, 0b000},
            "Permanent: after this no key can change this sector's access bits; after this block 21 cannot be read with "
            "either key."},
    };
    TAccessEditor editor(5, Known("------------FF078069AABBCCDDEEFF"));
    editor.show();
    const char* names[] = {"AccessBlock0", "AccessBlock1", "AccessBlock2", "AccessTrailer"};
    auto* mark = Ctl<QLabel>(editor, "AccessPermanent");
    EXPECT_TRUE(mark->styleSheet().contains(QStringLiteral("red")));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Words);
        for (size_t i = 0; i < 4; ++i) {
            auto* combo = Ctl<QComboBox>(editor, names[i]);
            combo->setCurrentIndex(combo->findData(row.Cond[i]));
        }
        EXPECT_EQ(mark->text(), QLatin1String(row.Words));
        EXPECT_EQ(mark->isVisible(), *row.Words != 0);
    }
}

TEST(CardWindowRows, ATrailerThatLocksForGoodIsMarkedWithItsWords)
{
    TDumpImage image;
    TBlockData trailer;
    trailer.fill(0xFF);
    SetAccess(trailer, TransportConditions);
    image.SetBlock(23, trailer);
    EXPECT_EQ(CardWindowRow(image, 23).Kind,
        QStringLiteral("trailer: key A write A; access bits read A, write A; key B read A, write A"));
    EXPECT_EQ(CardWindowRow(image, 23).Detail, QString());
    SetAccess(trailer, {0b111, 0b000, 0b000, 0b100});
    image.SetBlock(23, trailer);
    const TCardViewBlock row = CardWindowRow(image, 23);
    EXPECT_EQ(row.Kind, QStringLiteral("trailer, permanent: key A write B; access bits read A|B, write never; key B read never, write B"));
    EXPECT_EQ(row.Detail, QStringLiteral("after this no key can change this sector's access bits\n"
                                         "after this block 20 cannot be read with either key"));
}

TEST(ValueEditor, GivesValueComplementValueAndTheAddressFourTimes)
{
    const struct {
        int Value;
        int Address;
        const char* Digits;
    } rows[] = {
        {1234, 20, "D20400002DFBFFFFD204000014EB14EB"},
        {-5, 21, "FBFFFFFF04000000FBFFFFFF15EA15EA"},
        {0, 0, "00000000FFFFFFFF0000000000FF00FF"},
    };
    TValueEditor editor(4, Known("04C0DE00000000000000000000000000"));
    EXPECT_EQ(Ctl<QSpinBox>(editor, "ValueAmount")->value(), 0);
    EXPECT_EQ(Ctl<QSpinBox>(editor, "ValueAddress")->value(), 4) << "not a value block: its own number";
    for (const auto& row : rows) {
        Ctl<QSpinBox>(editor, "ValueAmount")->setValue(row.Value);
        Ctl<QSpinBox>(editor, "ValueAddress")->setValue(row.Address);
        EXPECT_EQ(DigitsOf(editor.Block()), QLatin1String(row.Digits));
        EXPECT_EQ(Ctl<QLabel>(editor, "ValueBytes")->text().remove(QLatin1Char(' ')), QStringLiteral("Bytes:") + QLatin1String(row.Digits));
    }
    TValueEditor value(21, Known("FBFFFFFF04000000FBFFFFFF15EA15EA"));
    EXPECT_EQ(Ctl<QSpinBox>(value, "ValueAmount")->value(), -5);
    EXPECT_EQ(Ctl<QSpinBox>(value, "ValueAddress")->value(), 21);
}

} // namespace
