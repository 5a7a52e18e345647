// Sector authentication through the real window and the reader simulator:
// key sources, typed keys, the three tabs' controls, and the failure paths.
#include "support/FormFixture.h"
#include "support/PtyPeer.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <gtest/gtest.h>

namespace {

using TFrames = std::vector<std::vector<uint8_t>>;

std::string Text(const TFrames& Frames) { return FramesText(Frames); }

// A request frame with its checksum appended.
std::vector<uint8_t> Req(std::initializer_list<int> Head)
{
    std::vector<uint8_t> F = Bytes(Head);
    int Sum = 0;
    for (uint8_t B : F)
        Sum += B;
    F.push_back(uint8_t(Sum));
    return F;
}

const std::vector<uint8_t> SearchIdle = Bytes({0x03, 0x0A, 0x00, 0x0D});

class AuthTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        F.TakeAllFrames();
        F.ClearLog();
        Beeps = F.Sim.BeepCount();
    }

    TFormFixture F;
    int Beeps = 0;
};

TEST_F(AuthTest, NoKeySourceChosenAtStart)
{
    EXPECT_EQ(Ctl<QComboBox>(*F.Form, "CmbKeyTypeRW")->currentIndex(), -1);
    F.Click(Ctl<QPushButton>(*F.Form, "Button1")); // "Read" row 0, sector 0
    const TFrames Frames = F.TakeFrames();
    ASSERT_EQ(Frames.size(), 2u) << Text(Frames);
    EXPECT_EQ(Text(Frames), Text({SearchIdle, Bytes({0x04, 0x05, 0x00, 0xFF, 0x08})}));
    EXPECT_EQ(F.LogLines(), QStringList({QStringLiteral("Search card successful!"), QStringLiteral("Verify sector password fail!")}));
    EXPECT_TRUE(F.Boxes.empty());
    EXPECT_EQ(F.Sim.BeepCount(), Beeps);
}

TEST_F(AuthTest, StoredAndTypedKeys)
{
    struct {
        const char* Name;
        int Source;
        int Sector;
        QString Key;
        std::vector<uint8_t> Auth;
        bool Accepted;
    } const Cases[] = {
        {"stored A, empty edit", 0, 5, QString(), Req({0x04, 0x05, 0x05, 0x00}), true},
        {"stored A, junk in the edit", 0, 15, QStringLiteral("junk"), Req({0x04, 0x05, 0x0F, 0x00}), true},
        // Key B of a fresh card is readable, so the card refuses it.
        {"stored B", 1, 5, QString(), Bytes({0x04, 0x05, 0x05, 0x01, 0x0F}), false},
        {"typed A, lower case", 2, 15, QStringLiteral("ffffffffffff"),
            Req({0x0A, 0x05, 0x0F, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), true},
        {"typed A, wrong key", 2, 1, QStringLiteral("A0a1A2a3A4a5"),
            Req({0x0A, 0x05, 0x01, 0x02, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}), false},
        {"typed B", 3, 2, QStringLiteral("FFFFFFFFFFFF"),
            Req({0x0A, 0x05, 0x02, 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), false},
    };
    for (const auto& C : Cases) {
        F.ClearLog();
        {
            TOperationScope Scope(F.Form->Session());
            EXPECT_EQ(F.Form->Session().FindAndVerify(uint8_t(C.Sector), {uint8_t(C.Source), C.Key}), C.Accepted) << C.Name;
        }
        EXPECT_EQ(Text(F.TakeFrames()), Text({SearchIdle, C.Auth})) << C.Name;
        const QString Verdict = C.Accepted ? QStringLiteral("Verify sector%1 password success!").arg(C.Sector)
                                           : QStringLiteral("Verify sector password fail!");
        EXPECT_EQ(F.LogLines(), QStringList({QStringLiteral("Search card successful!"), Verdict})) << C.Name;
    }
    EXPECT_TRUE(F.Boxes.empty());
    EXPECT_EQ(F.Sim.BeepCount(), Beeps); // authentication alone never beeps
}

TEST_F(AuthTest, BadTypedKeysSendNothing)
{
    F.ChooseKeySource(Ctl<QComboBox>(*F.Form, "CmbKeyTypeRW"), 3);
    const QString Keys[] = {
        QStringLiteral("FFFFFFFFFFF"),  // 11 characters
        QStringLiteral("FFFFF FFFFFF"), // a blank
        QStringLiteral("FFFFFFFFFFFG"), // not a hex digit
        QStringLiteral(" FFFFFFFFFFF"), // a leading blank: the key is not trimmed
        QStringLiteral("FFFFFFFFFFF "),
        QString(),
    };
    for (const QString& Key : Keys) {
        F.ClearLog();
        F.Boxes.clear();
        F.SetKeyText(Ctl<QLineEdit>(*F.Form, "EdtInKeyRW"), Key);
        ASSERT_EQ(Ctl<QLineEdit>(*F.Form, "EdtInKeyRW")->text(), Key);
        F.Click(Ctl<QPushButton>(*F.Form, "Button1"));
        EXPECT_EQ(Text(F.TakeFrames()), Text({SearchIdle})) << Key.toStdString();
        EXPECT_EQ(F.LogLines(), QStringList({QStringLiteral("Search card successful!")})) << Key.toStdString();
        EXPECT_EQ(F.Boxes, (std::vector<TMessageRecord>{{QStringLiteral("Pls. input correct password"), QStringLiteral("Message"), 64}}))
            << Key.toStdString();
    }

    // When the card is not found, the key is never looked at.
    F.Sim.RemoveCard();
    F.Boxes.clear();
    F.ClearLog();
    F.Click(Ctl<QPushButton>(*F.Form, "Button1"));
    EXPECT_EQ(Text(F.TakeFrames()), Text({SearchIdle}));
    EXPECT_EQ(F.LogLines(), QStringList({QStringLiteral("Search card fail!")}));
    EXPECT_TRUE(F.Boxes.empty());
}

TEST_F(AuthTest, EachTabReadsItsOwnControls)
{
    // Different settings on every tab; each page's buttons use its own pair.
    F.ChooseKeySource(Ctl<QComboBox>(*F.Form, "CmbKeyTypeRW"), 0);
    F.SetKeyText(Ctl<QLineEdit>(*F.Form, "EdtInKeyRW"), QStringLiteral("111111111111"));
    F.ChooseKeySource(Ctl<QComboBox>(*F.Form, "CmbKeyTypeBlock"), 2);
    F.SetKeyText(Ctl<QLineEdit>(*F.Form, "EdtInKeyBlock"), QStringLiteral("A0A1A2A3A4A5"));
    F.ChooseKeySource(Ctl<QComboBox>(*F.Form, "CmbKeyTypeEdit"), 3);
    F.SetKeyText(Ctl<QLineEdit>(*F.Form, "EdtInKeyEdit"), QStringLiteral("b0b1b2b3b4b5"));

    SectorRadio(*F.Form, 4)->click();
    BlockRadio(*F.Form, 6)->click();
    ChangeRadio(*F.Form, 7)->click();
    F.SetKeyText(Ctl<QLineEdit>(*F.Form, "EdtKeyA"), QStringLiteral("FFFFFFFFFFFF"));
    F.SetKeyText(Ctl<QLineEdit>(*F.Form, "EdtKeyC"), QStringLiteral("FF078069"));
    F.SetKeyText(Ctl<QLineEdit>(*F.Form, "EdtKeyB"), QStringLiteral("FFFFFFFFFFFF"));
    const std::vector<uint8_t> ReadBlock16 = Req({0x03, 0x06, 0x10});
    F.Click(Ctl<QPushButton>(*F.Form, "Button1"));
    F.Click(Ctl<QPushButton>(*F.Form, "Button18"));
    F.Click(Ctl<QPushButton>(*F.Form, "BtnChangeKey"));
    EXPECT_EQ(Text(F.TakeFrames()),
        Text({SearchIdle, Req({0x04, 0x05, 0x04, 0x00}), ReadBlock16, SearchIdle,
            Req({0x0A, 0x05, 0x06, 0x02, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}), SearchIdle,
            Req({0x0A, 0x05, 0x07, 0x03, 0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5})}));

    // A bad key on one tab does not stop the others.
    F.SetKeyText(Ctl<QLineEdit>(*F.Form, "EdtInKeyBlock"), QStringLiteral("A0A1A2A3A4"));
    F.Click(Ctl<QPushButton>(*F.Form, "Button18"));
    EXPECT_EQ(F.Boxes.size(), 1u);
    F.Click(Ctl<QPushButton>(*F.Form, "Button1"));
    EXPECT_EQ(Text(F.TakeFrames()), Text({SearchIdle, SearchIdle, Req({0x04, 0x05, 0x04, 0x00}), ReadBlock16}));
}

TEST_F(AuthTest, SilentAuthenticationAndOddKeySources)
{
    TOperationScope Scope(F.Form->Session());
    ASSERT_TRUE(F.Form->Session().SearchCardSerial());
    F.ClearLog();
    EXPECT_TRUE(F.Form->Session().AuthSector(0, 3));
    // The stored-key layout whatever the source; nothing in the log.
    EXPECT_FALSE(F.Form->Session().AuthSector(2, 3));
    EXPECT_TRUE(F.LogLines().isEmpty());
    // A key source outside 0..3 goes out as given, without key bytes.
    EXPECT_FALSE(F.Form->Session().VerifySectorKey(1, {9, QStringLiteral("not a key")}));
    EXPECT_EQ(F.LogLines(), QStringList({QStringLiteral("Verify sector password fail!")}));
    EXPECT_EQ(Text(F.TakeFrames()), Text({SearchIdle, Req({0x04, 0x05, 0x03, 0x00}), Req({0x04, 0x05, 0x03, 0x02}), Req({0x04, 0x05, 0x01, 0x09})}));
    EXPECT_TRUE(F.Boxes.empty());
}

TEST_F(AuthTest, ExchangeFailuresAreRefusals)
{
    F.SetReplyTimeout(600);
    F.ChooseKeySource(Ctl<QComboBox>(*F.Form, "CmbKeyTypeRW"), 0);
    for (sim::TFaultKind Kind : {sim::TFaultKind::NoReply, sim::TFaultKind::BadChecksum, sim::TFaultKind::ErrorStatus}) {
        F.ClearLog();
        F.Sim.InjectFault(0x05, sim::TFault{Kind});
        F.Click(Ctl<QPushButton>(*F.Form, "Button1"));
        EXPECT_EQ(F.LogLines(), QStringList({QStringLiteral("Search card successful!"), QStringLiteral("Verify sector password fail!")}))
            << int(Kind);
        EXPECT_EQ(F.TakeFrames().size(), 2u) << int(Kind); // no read after a failed authentication
    }
    EXPECT_EQ(F.Sim.BeepCount(), Beeps);
    EXPECT_TRUE(F.Boxes.empty());

    // And the chain goes through once the reader answers again.
    F.SetReplyTimeout(3000);
    F.ClearLog();
    F.Click(Ctl<QPushButton>(*F.Form, "Button1"));
    EXPECT_EQ(F.LogLines().mid(0, 2), QStringList({QStringLiteral("Search card successful!"), QStringLiteral("Verify sector0 password success!")}));
}

} // namespace
