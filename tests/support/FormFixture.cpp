#include "support/FormFixture.h"

#include "support/PtyPeer.h"
#include "widgets/RadioGroup.h"
#include "widgets/SpinEdit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

TFormFixture::TFormFixture(TFormOptions Options)
{
    if (!FConfig.isValid())
        throw std::runtime_error("no temporary directory for the port map");
    if (const char* Old = std::getenv("XDG_CONFIG_HOME")) {
        FOldConfig = Old;
        FHadOldConfig = true;
    }
    ::setenv("XDG_CONFIG_HOME", FConfig.path().toLocal8Bit().constData(), 1);
    std::filesystem::create_directories(FConfig.path().toStdString() + "/orvelle/ports");
    if (Options.Com1Target == "sim")
        MapPort(1, Sim.DevicePath());
    else if (!Options.Com1Target.empty())
        MapPort(1, Options.Com1Target);

    Form = std::make_unique<TMainForm>();
    Form->MessageBoxHandler = [this](const QString& Text, const QString& Caption, int Flags) {
        Boxes.push_back({Text, Caption, Flags});
        LogLinesAtBox.push_back(int(LogLines().size()));
    };
    if (Options.ReplyTimeoutMs > 0)
        SetReplyTimeout(Options.ReplyTimeoutMs);
    if (Options.Show)
        Show();
}

TFormFixture::~TFormFixture()
{
    if (Form) {
        Form->MessageBoxHandler = nullptr;
        Form->close();
        Form.reset();
    }
    QCoreApplication::processEvents();
    if (FHadOldConfig)
        ::setenv("XDG_CONFIG_HOME", FOldConfig.c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");
}

void TFormFixture::Show()
{
    Form->show();
    QCoreApplication::processEvents();
}

void TFormFixture::MapPort(int N, const std::string& Target)
{
    const std::string Link = FConfig.path().toStdString() + "/orvelle/ports/COM" + std::to_string(N);
    std::error_code Ignored;
    std::filesystem::remove(Link, Ignored);
    std::filesystem::create_symlink(Target, Link);
}

void TFormFixture::Click(QPushButton* Button)
{
    ASSERT_NE(Button, nullptr);
    ASSERT_TRUE(Button->isEnabled()) << Button->objectName().toStdString() << " is disabled";
    Button->click();
}

void TFormFixture::SetReplyTimeout(int Ms)
{
    Form->EdtMS->setFocus();
    Form->EdtMS->setValue(Ms);
}

void TFormFixture::SetBeep(bool On)
{
    if (Form->ChkBeep->isChecked() != On)
        Form->ChkBeep->click();
}

void TFormFixture::SetSearchAllCards(bool All) { Form->RgQueryType->SetItemIndex(All ? 1 : 0); }

void TFormFixture::ChooseKeySource(QComboBox* Selector, int Index) { Selector->setCurrentIndex(Index); }

void TFormFixture::SetKeyText(QLineEdit* Edit, const QString& Text)
{
    Edit->clear();
    Edit->setText(Text);
}

QStringList TFormFixture::LogLines() const
{
    const QString Text = Form->MmoMsg->toPlainText();
    if (Text.isEmpty())
        return {};
    return Text.split(QLatin1Char('\n'));
}

QString TFormFixture::LastLog() const
{
    const QStringList Lines = LogLines();
    return Lines.isEmpty() ? QString() : Lines.last();
}

void TFormFixture::ClearLog() { Form->MmoMsg->clear(); }

QString TFormFixture::LinkPanel() const { return Form->StatusPanels[1] ? Form->StatusPanels[1]->text() : QString(); }

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
