#include "support/FormFixture.h"

#include "support/PtyPeer.h"
#include "widgets/RadioGroup.h"
#include "widgets/SpinEdit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

TFormFixture::TFormFixture(TFormOptions Options)
{
    if (Options.UnwritableState) {
        const std::string blocked = FHome.StateFolder() + ".blocked";
        std::filesystem::create_directories(std::filesystem::path(blocked).parent_path());
        std::ofstream(blocked) << "a file where a folder should be\n";
        ::setenv("XDG_STATE_HOME", (blocked + "/state").c_str(), 1);
    }
    if (Options.Com1Target == "sim")
        MapPort(1, Sim.DevicePath());
    else if (!Options.Com1Target.empty())
        MapPort(1, Options.Com1Target);

    Form = std::make_unique<TMainForm>();
    Dialogs.OnBox = [this](const QString& Text, const QString& Caption, int Flags) {
        Boxes.push_back({Text, Caption, Flags});
        LogLinesAtBox.push_back(int(LogLines().size()));
    };
    Form->SetDialogs(&Dialogs);
    if (Options.ReplyTimeoutMs > 0)
        SetReplyTimeout(Options.ReplyTimeoutMs);
    if (Options.Show)
        Show();
}

TFormFixture::~TFormFixture()
{
    if (Form) {
        Dialogs.OnBox = nullptr;
        Form->close();
        Form.reset();
    }
    QCoreApplication::processEvents();
}

void TTestDialogs::MessageBox(QWidget* /*Parent*/, const QString& Text, const QString& Caption, int Flags)
{
    if (OnBox)
        OnBox(Text, Caption, Flags);
}

bool TTestDialogs::Ask(QWidget* /*Parent*/, const QString& Text, const QString& /*Caption*/)
{
    if (OnAsk)
        return OnAsk(Text);
    ADD_FAILURE() << "a question nobody answers: " << Text.toStdString();
    return false;
}

QString TTestDialogs::SaveFileName(QWidget* /*Parent*/, const QString& Caption, const QString& /*Name*/, const QString& /*Filter*/)
{
    return OnSave ? OnSave(Caption) : QString();
}

QString TTestDialogs::OpenFileName(QWidget* /*Parent*/, const QString& Caption, const QString& /*Filter*/)
{
    return OnOpen ? OnOpen(Caption) : QString();
}

void TTestDialogs::Exec(QDialog& Dialog)
{
    if (OnDialog)
        OnDialog(Dialog);
    else
        ADD_FAILURE() << "a dialog nobody answers: " << Dialog.objectName().toStdString();
}

bool TTestDialogs::OpenFolder(const QString& Path)
{
    Folders << Path;
    return FolderShown;
}

bool TTestDialogs::OpenFile(const QString& Path)
{
    Files << Path;
    return true;
}

void TFormFixture::Show()
{
    Form->show();
    QCoreApplication::processEvents();
}

void TFormFixture::MapPort(int N, const std::string& Target) { FHome.Map(N, Target); }

void TFormFixture::Click(QPushButton* Button)
{
    ASSERT_NE(Button, nullptr);
    ASSERT_TRUE(Button->isEnabled()) << Button->objectName().toStdString() << " is disabled";
    Button->click();
}

void TFormFixture::SetReplyTimeout(int Ms)
{
    Ctl<TSpinEdit>(*Form, "EdtMS")->setFocus();
    Ctl<TSpinEdit>(*Form, "EdtMS")->setValue(Ms);
}

void TFormFixture::SetBeep(bool On)
{
    if (Ctl<QCheckBox>(*Form, "ChkBeep")->isChecked() != On)
        Ctl<QCheckBox>(*Form, "ChkBeep")->click();
}

void TFormFixture::SetSearchAllCards(bool All) { Ctl<TRadioGroup>(*Form, "RgQueryType")->SetItemIndex(All ? 1 : 0); }

void TFormFixture::ChooseKeySource(QComboBox* Selector, int Index) { Selector->setCurrentIndex(Index); }

void TFormFixture::SetKeyText(QLineEdit* Edit, const QString& Text)
{
    Edit->clear();
    Edit->setText(Text);
}

QStringList TFormFixture::LogLines() const
{
    const QString Text = Ctl<QPlainTextEdit>(*Form, "MmoMsg")->toPlainText();
    if (Text.isEmpty())
        return {};
    return Text.split(QLatin1Char('\n'));
}

QString TFormFixture::LastLog() const
{
    const QStringList Lines = LogLines();
    return Lines.isEmpty() ? QString() : Lines.last();
}

void TFormFixture::ClearLog() { Ctl<QPlainTextEdit>(*Form, "MmoMsg")->clear(); }

QString TFormFixture::LinkPanel() const { return StatusPanel(*Form, 1)->text(); }

std::vector<std::vector<uint8_t>> TFormFixture::TakeFrames()
{
    auto Frames = Sim.RequestsWithoutBeeps();
    Sim.ClearRequests();
    return Frames;
}

std::vector<std::vector<uint8_t>> TFormFixture::TakeAllFrames()
{
    auto Frames = Sim.Requests();
    Sim.ClearRequests();
    return Frames;
}

std::string FramesText(const std::vector<std::vector<uint8_t>>& Frames)
{
    std::string Text;
    for (const auto& F : Frames) {
        if (!Text.empty())
            Text += " | ";
        Text += Hex(F);
    }
    return Text;
}

namespace {

template <class T>
T* Numbered(const QObject& Form, const char* Stem, size_t Index)
{
    return Ctl<T>(Form, (std::string(Stem) + std::to_string(Index)).c_str());
}

// The selectors' radio buttons carry the names they were first given, in
// the order the operator sees them.
constexpr std::array<const char*, 16> BlockRadioNames{"RdInc", "RadioButton2", "RadioButton3", "RadioButton4",
    "RadioButton8", "RadioButton7", "RadioButton6", "RadioButton5", "RadioButton12", "RadioButton11",
    "RadioButton10", "RadioButton9", "RadioButton16", "RadioButton15", "RadioButton14", "RadioButton13"};
constexpr std::array<const char*, 16> ChangeRadioNames{"RbCardSecor", "RadioButton17", "RadioButton18",
    "RadioButton19", "RadioButton23", "RadioButton22", "RadioButton21", "RadioButton20", "RadioButton27",
    "RadioButton26", "RadioButton25", "RadioButton24", "RadioButton31", "RadioButton30", "RadioButton29",
    "RadioButton28"};

} // namespace

QRadioButton* SectorRadio(const QObject& Form, size_t Sector) { return Numbered<QRadioButton>(Form, "Rd", Sector); }
QRadioButton* BlockRadio(const QObject& Form, size_t Sector) { return Ctl<QRadioButton>(Form, BlockRadioNames.at(Sector)); }
QRadioButton* ChangeRadio(const QObject& Form, size_t Sector)
{
    return Ctl<QRadioButton>(Form, ChangeRadioNames.at(Sector));
}
QCheckBox* KeyCheck(const QObject& Form, size_t Sector) { return Numbered<QCheckBox>(Form, "Ck", Sector); }
QLineEdit* KeyEdit(const QObject& Form, size_t Sector) { return Numbered<QLineEdit>(Form, "EdtKey", Sector); }
QLabel* StatusPanel(const QObject& Form, size_t Index) { return Numbered<QLabel>(Form, "StatusPanel", Index); }
