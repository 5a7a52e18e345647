#pragma once
// The real main window connected to the reader simulator: a private port map
// (XDG_CONFIG_HOME in a temporary directory) whose COM1 is the simulator's
// pseudo-terminal, a recorder in place of the modal message box, and helpers
// to press buttons and read the log. Each test owns one; nothing outlives it.
//
//     TFormFixture F;                       // shown, linked on COM1
//     F.Click(Ctl<QPushButton>(*F.Form, "Button9"));
//     EXPECT_EQ(F.LastLog(), "Search card successfule!");
//     EXPECT_EQ(F.Frames(), ...);           // requests without the beeps

#include "app/MainForm.h"
#include "sim/SimServer.h"
#include "support/PrivateHome.h"
#include "support/PtyPeer.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

struct TMessageRecord {
    QString Text;
    QString Caption;
    int Flags = 0;
    bool operator==(const TMessageRecord&) const = default;
};

// The window's dialogs answered by the test: each hook a test sets answers
// its dialog; a box with no hook is recorded, a file dialog with none is
// cancelled, a dialog of the window's own with none fails the test, and a
// folder to show is only recorded.
struct TTestDialogs : TFormDialogs {
    std::function<void(const QString& Text, const QString& Caption, int Flags)> OnBox;
    std::function<QString(const QString& Caption)> OnSave;
    std::function<QString(const QString& Caption)> OnOpen;
    std::function<void(QDialog& Dialog)> OnDialog;
    std::function<bool(const QString& Text)> OnAsk;
    // Every folder the window asked to show, in order; none is shown, and
    // the answer is FolderShown.
    QStringList Folders;
    bool FolderShown = true;
    QStringList Files; // every file the window asked to open, none opened

    void MessageBox(QWidget* Parent, const QString& Text, const QString& Caption, int Flags) override;
    bool Ask(QWidget* Parent, const QString& Text, const QString& Caption) override;
    QString SaveFileName(QWidget* Parent, const QString& Caption, const QString& Name, const QString& Filter) override;
    QString OpenFileName(QWidget* Parent, const QString& Caption, const QString& Filter) override;
    void Exec(QDialog& Dialog) override;
    bool OpenFolder(const QString& Path) override;
    bool OpenFile(const QString& Path) override;
};

struct TFormOptions {
    // Reply time-out set in EdtMS before the first show; generous because the
    // machine is slow and shared. 0 leaves the window's default (500).
    int ReplyTimeoutMs = 3000;
    // Show the window (and so link it) in the constructor.
    bool Show = true;
    // Port-map entries: COM1 is the simulator unless this says otherwise
    // (an empty name leaves COM1 unmapped).
    std::string Com1Target = "sim";
    // The state folder (journal, run reports) cannot be made: its parent is
    // a regular file.
    bool UnwritableState = false;
};

class TFormFixture {
public:
    explicit TFormFixture(TFormOptions Options = {});
    ~TFormFixture();

    TFormFixture(const TFormFixture&) = delete;
    TFormFixture& operator=(const TFormFixture&) = delete;

    sim::TSimServer Sim;
    TTestDialogs Dialogs; // the boxes are recorded below
    std::unique_ptr<TMainForm> Form;
    std::vector<TMessageRecord> Boxes; // every message box, in order
    // How many log lines stood when each box showed: what came before it.
    std::vector<int> LogLinesAtBox;

    // Shows the window: its first show runs the port selection.
    void Show();
    // Maps COMn to Target in the private port map (replacing any link).
    void MapPort(int N, const std::string& Target);
    // The private config and state folders the window runs with.
    const TPrivateHome& Home() const { return FHome; }

    // Presses Button as the operator would; fails the test if it is disabled.
    // The button's handler runs its whole chain before this returns.
    void Click(QPushButton* Button);
    void SetReplyTimeout(int Ms);     // through EdtMS, as the operator types it
    void SetBeep(bool On);            // through ChkBeep
    void SetSearchAllCards(bool All); // through RgQueryType
    void ChooseKeySource(QComboBox* Selector, int Index);
    void SetKeyText(QLineEdit* Edit, const QString& Text);

    QStringList LogLines() const;
    QString LastLog() const;
    void ClearLog();
    QString LinkPanel() const;

    // Requests the simulator received, without the beeps, then forgets them.
    std::vector<std::vector<uint8_t>> TakeFrames();
    // All requests received (beeps included), then forgets them.
    std::vector<std::vector<uint8_t>> TakeAllFrames();

private:
    TPrivateHome FHome;
};

// A control of the window by its objectName. A missing one is the fixture's
// own fault: it throws, and the test fails with the name.
template <class T>
T* Ctl(const QObject& Form, const char* Name)
{
    T* control = Form.findChild<T*>(QLatin1String(Name));
    if (!control)
        throw std::runtime_error(std::string("the window has no control named ") + Name);
    return control;
}
// The controls the window keeps sixteen or three of, by index.
QRadioButton* SectorRadio(const QObject& Form, size_t Sector); // "Sector" page
QRadioButton* BlockRadio(const QObject& Form, size_t Sector);  // "Block" page
QRadioButton* ChangeRadio(const QObject& Form, size_t Sector); // "ChangePS" page
QCheckBox* KeyCheck(const QObject& Form, size_t Sector);       // "DownPS" Ck0..Ck15
QLineEdit* KeyEdit(const QObject& Form, size_t Sector);        // "DownPS" EdtKey0..EdtKey15
QLabel* StatusPanel(const QObject& Form, size_t Index);        // StatusPanel0..2

// Readable QString values in test failures.
inline void PrintTo(const QString& Text, std::ostream* Out) { *Out << '"' << Text.toStdString() << '"'; }

// Frames as text for readable failures: "03 0A 01 0E | 04 05 00 FF 08".
std::string FramesText(const std::vector<std::vector<uint8_t>>& Frames);

// Base of the tests that drive the linked window: a fresh window on the
// simulator for every test, with an empty log and no requests recorded.
class TWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        F = std::make_unique<TFormFixture>();
        ASSERT_EQ(F->LinkPanel(), "Linked");
        F->ClearLog();
        F->Sim.ClearRequests();
    }

    TMainForm& Form() { return *F->Form; }
    TTestDialogs& Dialogs() { return F->Dialogs; }
    sim::TSimServer& Sim() { return F->Sim; }
    void Click(QPushButton* Button) { F->Click(Button); }
    const std::vector<TMessageRecord>& Boxes() const { return F->Boxes; }
    const std::vector<int>& LogLinesAtBox() const { return F->LogLinesAtBox; }
    void ClearBoxes()
    {
        F->Boxes.clear();
        F->LogLinesAtBox.clear();
    }
    QStringList LogLines() const { return F->LogLines(); }
    QString LastLog() const { return F->LastLog(); }
    void ClearLog() { F->ClearLog(); }

    std::unique_ptr<TFormFixture> F;
};
