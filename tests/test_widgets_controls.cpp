// The window's own controls on their own: the hyperlink label, the radio
// group and the spin edit, on real widgets of the offscreen platform.
#include "widgets/HyperLink.h"
#include "widgets/RadioGroup.h"
#include "widgets/SpinEdit.h"

#include <QApplication>
#include <QFocusEvent>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QLineEdit>
#include <QMainWindow>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolTip>

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

TEST(RadioGroup, ClickReportsEachChangeOnce)
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
    QTest::mouseClick(Group.Button(1), Qt::LeftButton); // already chosen
    EXPECT_EQ(Clicks.count(), 2);

    Group.SetItemIndex(-1);
    EXPECT_EQ(Group.ItemIndex(), -1);
    EXPECT_FALSE(Group.Button(1)->isChecked());
    EXPECT_EQ(Clicks.count(), 3);
    Group.SetItemIndex(7); // out of range: as -1, already so
    EXPECT_EQ(Clicks.count(), 3);
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

} // namespace
