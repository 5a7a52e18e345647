// Reader key download ("DownPS") and sector trailer change ("ChangePS"), end
// to end: the real window drives the reader simulator over a pseudo-terminal.
#include "support/FormFixture.h"
#include "support/PtyPeer.h"

#include "app/MainForm.h"
#include "sim/SimServer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <gtest/gtest.h>

namespace {

using Frame = std::vector<uint8_t>;
using Key6 = std::array<uint8_t, 6>;
using Block16 = std::array<uint8_t, 16>;

constexpr Key6 Factory{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

Frame DownloadFrame(uint8_t Type, uint8_t Sector, const Key6& Key)
{
    Frame F{0x0A, 0x0B, Type, Sector};
    F.insert(F.end(), Key.begin(), Key.end());
    return WithSum(F);
}

// A distinct key for each sector.
Key6 KeyOf(int Sector)
{
    const uint8_t s = uint8_t(Sector);
    return {uint8_t(0xA0 + s), 0x1B, 0x2C, 0x3D, 0x4E, uint8_t(0x50 + s)};
}

QString TextOf(const Key6& Key)
{
    return QString::fromStdString(Hex(Frame(Key.begin(), Key.end()))).remove(' ');
}

class KeyOps : public TWindowTest {
protected:
    void CheckOnly(std::initializer_list<int> Sectors)
    {
        for (size_t s = 0; s < 16; ++s)
            KeyCheck(Form(), s)->setChecked(false);
        for (int s : Sectors)
            KeyCheck(Form(), size_t(s))->setChecked(true);
    }
    std::vector<std::string> Sent()
    {
        std::vector<std::string> Out;
        for (const Frame& Request : Sim().RequestsWithoutBeeps())
            Out.push_back(Hex(Request));
        return Out;
    }
    void ExpectOneBox(const char* Text, const char* Caption)
    {
        ASSERT_EQ(Boxes().size(), 1u);
        EXPECT_EQ(Boxes()[0].Text, Text);
        EXPECT_EQ(Boxes()[0].Caption, Caption);
        EXPECT_EQ(Boxes()[0].Flags, 64);
    }
};

// --------------------------------------------------------------- download

TEST_F(KeyOps, DownloadSendsTheCheckedSectorsInOrderAndTheReaderKeepsThem)
{
    CheckOnly({9, 3});
    KeyEdit(Form(), 3)->setText(TextOf(KeyOf(3)));
    KeyEdit(Form(), 9)->setText(TextOf(KeyOf(9)).toLower()); // either case
    KeyEdit(Form(), 12)->setText("rubbish");                 // unchecked: never looked at
    Ctl<QComboBox>(Form(), "CmbDownKeyType")->setCurrentIndex(1);
    const int Beeps = Sim().BeepCount();
    Click(Ctl<QPushButton>(Form(), "BtnDownKeys"));

    EXPECT_EQ(Sim().RequestsWithoutBeeps(), (std::vector<Frame>{DownloadFrame(1, 3, KeyOf(3)), DownloadFrame(1, 9, KeyOf(9))}));
    EXPECT_EQ(LogLines(), (QStringList{"downlaod sector3 password success!", "downlaod sector9 password success!"}));
    EXPECT_EQ(Sim().BeepCount(), Beeps + 1);
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(Sim().StoredKey(1, 3), KeyOf(3));
    EXPECT_EQ(Sim().StoredKey(1, 9), KeyOf(9));
    EXPECT_EQ(Sim().StoredKey(0, 3), Factory);
    // The beep comes after the last key.
    EXPECT_EQ(Sim().Requests().back(), (Frame{0x02, 0x13, 0x15}));
}

TEST_F(KeyOps, DownloadOfEverySectorAsKeyA)
{
    for (int s = 0; s < 16; ++s)
        KeyEdit(Form(), size_t(s))->setText(TextOf(KeyOf(s)));
    Click(Ctl<QPushButton>(Form(), "BtnDownKeys"));

    const auto Requests = Sim().RequestsWithoutBeeps();
    ASSERT_EQ(Requests.size(), 16u);
    EXPECT_EQ(Hex(Requests[3]), "0A 0B 00 03 A3 1B 2C 3D 4E 53 E0");
    for (int s = 0; s < 16; ++s) {
        EXPECT_EQ(Requests[size_t(s)], DownloadFrame(0, uint8_t(s), KeyOf(s)));
        EXPECT_EQ(Sim().StoredKey(0, s), KeyOf(s));
    }
    EXPECT_EQ(LogLines().size(), 16);
    EXPECT_EQ(LastLog(), "downlaod sector15 password success!");
}

// The keys are all checked before the first request: one bad key and
// nothing goes out, not even the good ones before it.
TEST_F(KeyOps, BadCheckedKeyStopsThePressBeforeAnythingIsSent)
{
    struct Case {
        const char* Name;
        std::function<void(TMainForm&)> Arrange;
    };
    const Case Cases[] = {
        {"right after start-up: all checked, all empty", [](TMainForm&) {}},
        {"11 characters in sector 7",
            [this](TMainForm& W) {
                CheckOnly({2, 7});
                KeyEdit(W, 2)->setText(TextOf(KeyOf(2)));
                KeyEdit(W, 7)->setText("A1B2C3D4E5F");
            }},
        {"a blank in sector 5",
            [this](TMainForm& W) {
                CheckOnly({5});
                KeyEdit(W, 5)->setText("A1B2C3 4E5F6");
            }},
        {"a G in sector 15",
            [this](TMainForm& W) {
                CheckOnly({0, 15});
                KeyEdit(W, 0)->setText("000000000000");
                KeyEdit(W, 15)->setText("00000000000G");
            }},
        {"leading blank, not trimmed",
            [this](TMainForm& W) {
                CheckOnly({1});
                KeyEdit(W, 1)->setText(" 00000000000");
            }},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        C.Arrange(Form());
        Sim().ClearRequests();
        ClearBoxes();
        ClearLog();
        Click(Ctl<QPushButton>(Form(), "BtnDownKeys"));
        ExpectOneBox("Pls. input correct data!", "Message");
        EXPECT_TRUE(Sim().Requests().empty());
        EXPECT_TRUE(LogLines().isEmpty());
    }
    for (int s = 0; s < 16; ++s)
        EXPECT_EQ(Sim().StoredKey(0, s), Factory);
}

TEST_F(KeyOps, NoSectorCheckedStillBeeps)
{
    CheckOnly({});
    KeyEdit(Form(), 4)->setText("x");
    const int Beeps = Sim().BeepCount();
    Click(Ctl<QPushButton>(Form(), "BtnDownKeys"));
    EXPECT_TRUE(Sim().RequestsWithoutBeeps().empty());
    EXPECT_EQ(Sim().Requests(), (std::vector<Frame>{{0x02, 0x13, 0x15}}));
    EXPECT_EQ(Sim().BeepCount(), Beeps + 1);
    EXPECT_TRUE(LogLines().isEmpty());
    EXPECT_TRUE(Boxes().empty());

    // With the beep setting off, nothing at all goes out.
    Ctl<QCheckBox>(Form(), "ChkBeep")->click();
    Sim().ClearRequests();
    Click(Ctl<QPushButton>(Form(), "BtnDownKeys"));
    EXPECT_TRUE(Sim().Requests().empty());
}

TEST_F(KeyOps, ReaderRefusingMidwayEndsThePressWithoutRollBack)
{
    CheckOnly({1, 4, 6});
    for (int s : {1, 4, 6})
        KeyEdit(Form(), size_t(s))->setText(TextOf(KeyOf(s)));
    Sim().InjectFault(0x0B, sim::TFault{sim::TFaultKind::ErrorStatus}, 1, 1); // the second request
    const int Beeps = Sim().BeepCount();
    Click(Ctl<QPushButton>(Form(), "BtnDownKeys"));

    EXPECT_EQ(Sim().RequestsWithoutBeeps(),
        (std::vector<Frame>{DownloadFrame(0, 1, KeyOf(1)), DownloadFrame(0, 4, KeyOf(4))}));
    EXPECT_EQ(LogLines(), (QStringList{"downlaod sector1 password success!", "download sector4 password fail!"}));
    EXPECT_EQ(Sim().BeepCount(), Beeps);
    EXPECT_EQ(Sim().StoredKey(0, 1), KeyOf(1));
    EXPECT_EQ(Sim().StoredKey(0, 4), Factory);
    EXPECT_EQ(Sim().StoredKey(0, 6), Factory);

    // A reader that does not answer at all is a refusal too.
    F->SetReplyTimeout(300);
    Sim().ClearRequests();
    ClearLog();
    Sim().InjectFault(0x0B, sim::TFault{sim::TFaultKind::NoReply});
    Click(Ctl<QPushButton>(Form(), "BtnDownKeys"));
    EXPECT_EQ(Sim().RequestsWithoutBeeps().size(), 1u);
    EXPECT_EQ(LogLines(), (QStringList{"download sector1 password fail!"}));
}

// ------------------------------------------------------------ trailer change

class TrailerChange : public KeyOps {
protected:
    void SetUp() override
    {
        KeyOps::SetUp();
        Ctl<QComboBox>(Form(), "CmbKeyTypeEdit")->setCurrentIndex(0);
    }
    void Fields(const QString& A, const QString& C, const QString& B)
    {
        Ctl<QLineEdit>(Form(), "EdtKeyA")->setText(A);
        Ctl<QLineEdit>(Form(), "EdtKeyC")->setText(C);
        Ctl<QLineEdit>(Form(), "EdtKeyB")->setText(B);
    }
};

TEST_F(TrailerChange, WritesTheTrailerOfTheChosenSector)
{
    ChangeRadio(Form(), 4)->click();
    Fields("A0A1A2A3A4A5", "FF078069", "b0b1b2b3b4b5");
    const int Beeps = Sim().BeepCount();
    Click(Ctl<QPushButton>(Form(), "BtnChangeKey"));

    EXPECT_EQ(Sent(), (std::vector<std::string>{"03 0A 00 0D", Hex(WithSum({0x04, 0x05, 0x04, 0x00})), Hex(WithSum({0x13, 0x07, 19, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xFF, 0x07, 0x80, 0x69, 0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5}))}));
    EXPECT_EQ(LastLog(), "Modify password success!");
    EXPECT_EQ(Sim().BeepCount(), Beeps + 1);
    const Block16 Written = Sim().Block(19);
    EXPECT_EQ(Hex(Frame(Written.begin(), Written.end())), "A0 A1 A2 A3 A4 A5 FF 07 80 69 B0 B1 B2 B3 B4 B5");
    EXPECT_TRUE(Boxes().empty());
    // The page is left as it was.
    EXPECT_EQ(Ctl<QLineEdit>(Form(), "EdtKeyB")->text(), "b0b1b2b3b4b5");
    EXPECT_EQ(Ctl<QComboBox>(Form(), "CmbKeyTypeEdit")->currentIndex(), 0);

    // The old key no longer opens the sector; the new one typed does.
    Click(Ctl<QPushButton>(Form(), "BtnChangeKey"));
    EXPECT_EQ(LastLog(), "Verify sector password fail!");
    Ctl<QComboBox>(Form(), "CmbKeyTypeEdit")->setCurrentIndex(2);
    Ctl<QLineEdit>(Form(), "EdtInKeyEdit")->setText("A0A1A2A3A4A5");
    Fields("FFFFFFFFFFFF", "FF078069", "FFFFFFFFFFFF");
    Click(Ctl<QPushButton>(Form(), "BtnChangeKey"));
    EXPECT_EQ(LastLog(), "Modify password success!");
    EXPECT_EQ(Sim().Block(19), (Block16{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x07, 0x80, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

// Consistent access bits are the operator's choice, however restrictive;
// byte 9 is free.
TEST_F(TrailerChange, ConsistentAccessBitsAreWritten)
{
    const std::pair<int, const char*> Cases[] = {{1, "78778800"}, {2, "7F0788C3"}, {3, "0F00FF00"},
        {6, "ff078069"}};
    for (const auto& [Sector, Bits] : Cases) {
        SCOPED_TRACE(Bits);
        ChangeRadio(Form(), size_t(Sector))->click();
        Fields("FFFFFFFFFFFF", Bits, "FFFFFFFFFFFF");
        Click(Ctl<QPushButton>(Form(), "BtnChangeKey"));
        EXPECT_EQ(LastLog(), "Modify password success!");
        const Block16 Stored = Sim().Block(4 * Sector + 3);
        EXPECT_EQ(QString::fromStdString(Hex(Frame(Stored.begin() + 6, Stored.begin() + 10))).remove(' '),
            QString(Bits).toUpper());
    }
    EXPECT_TRUE(Boxes().empty());
}

// The trailer checks run in order, before anything is sent: length of all
// three fields, key A, control bits (content and consistency), key B.
TEST_F(TrailerChange, BadFieldsAreRefusedInOrderWithNothingSent)
{
    struct Case {
        const char* A;
        const char* C;
        const char* B;
        const char* Box;
        const char* Caption;
    };
    const Case Cases[] = {
        {" FFFFFFFFFFF", "FF078069", "FFFFFFFFFFFF", "Pls. input correct data", "Message"},
        {"FFFFFFFFFFFF", "FF07806", "FFFFFFFFFFFF", "Pls. input correct data", "Message"},
        {"FFFFFFFFFFFF", "FF078069", "", "Pls. input correct data", "Message"},
        {"GFFFFFFFFFFF", "zz", "FFFFFFFFFFFF", "Pls. input correct data", "Message"},
        {"FFFFFF FFFFF", "FF078069", "FFFFFFFFFFFF", "Pls. input correct KEYA!", "Message"},
        {"FFFFFFFFFFFG", "XX078069", "GGGGGGGGGGGG", "Pls. input correct KEYA!", "Message"},
        {"FFFFFFFFFFFF", "FF07806X", "GGGGGGGGGGGG", "Pls. input correct control bit!", "message"},
        {"FFFFFFFFFFFF", "FF078169", "FFFFFFFFFFFF", "Pls. input correct control bit!", "message"},
        {"FFFFFFFFFFFF", "00000000", "FFFFFFFFFFFF", "Pls. input correct control bit!", "message"},
        {"FFFFFFFFFFFF", "FF0F8069", "GGGGGGGGGGGG", "Pls. input correct control bit!", "message"},
        {"FFFFFFFFFFFF", "FF078069", "FFFFFFFFFF-F", "Pls. input correct KEYB!", "Message"},
    };
    const Block16 Before = Sim().Block(3);
    const int Beeps = Sim().BeepCount();
    for (const Case& C : Cases) {
        SCOPED_TRACE(std::string(C.A) + "|" + C.C + "|" + C.B);
        ClearBoxes();
        Fields(C.A, C.C, C.B);
        Click(Ctl<QPushButton>(Form(), "BtnChangeKey"));
        ExpectOneBox(C.Box, C.Caption);
    }
    EXPECT_TRUE(Sim().Requests().empty());
    EXPECT_TRUE(LogLines().isEmpty());
    EXPECT_EQ(Sim().BeepCount(), Beeps);
    EXPECT_EQ(Sim().Block(3), Before);
}

TEST_F(TrailerChange, CardFailuresStillBeep)
{
    Fields("A0A1A2A3A4A5", "FF078069", "B0B1B2B3B4B5");
    const Block16 Before = Sim().Block(3);

    Sim().RemoveCard();
    int Beeps = Sim().BeepCount();
    Click(Ctl<QPushButton>(Form(), "BtnChangeKey"));
    EXPECT_EQ(LogLines(), (QStringList{"Search card fail!"}));
    EXPECT_EQ(Sent(), (std::vector<std::string>{"03 0A 00 0D"}));
    EXPECT_EQ(Sim().BeepCount(), Beeps + 1);
    Sim().InsertCard();

    Sim().ClearRequests();
    ClearLog();
    Sim().InjectFault(0x07, sim::TFault{sim::TFaultKind::ErrorStatus});
    Beeps = Sim().BeepCount();
    Click(Ctl<QPushButton>(Form(), "BtnChangeKey"));
    EXPECT_EQ(Sent().size(), 3u);
    EXPECT_EQ(LogLines(), (QStringList{"Search card successful!", "Verify sector0 password success!", "Modify password fail"}));
    EXPECT_EQ(Sim().BeepCount(), Beeps + 1);
    EXPECT_EQ(Sim().Block(3), Before);

    // A bad typed current key: the search, the box, no authentication, and the beep.
    Sim().ClearRequests();
    ClearLog();
    Ctl<QComboBox>(Form(), "CmbKeyTypeEdit")->setCurrentIndex(3);
    Ctl<QLineEdit>(Form(), "EdtInKeyEdit")->setText("12345");
    Beeps = Sim().BeepCount();
    Click(Ctl<QPushButton>(Form(), "BtnChangeKey"));
    EXPECT_EQ(Sent(), (std::vector<std::string>{"03 0A 00 0D"}));
    ExpectOneBox("Pls. input correct password", "Message");
    EXPECT_EQ(Sim().BeepCount(), Beeps + 1);
    EXPECT_EQ(Sim().Block(3), Before);
}

} // namespace
