// The window's side of the reader link: start-up and close, the settings
// handlers, and what the session reports (link panel, guard, a port that
// could not be opened, close).
#include "app/MainForm.h"

#include "app/CardPage.h"
#include "widgets/RadioGroup.h"
#include "widgets/SpinEdit.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QSignalBlocker>

#include <cstdio>

void TMainForm::showEvent(QShowEvent* Event)
{
    QMainWindow::showEvent(Event);
    if (!FShown) {
        FShown = true;
        FormShow();
    }
}

void TMainForm::FormShow() { RgPortClick(); }

void TMainForm::SetStartPort(int Index)
{
    // Only the choice: the first show opens it, as it opens COM1 by default.
    const QSignalBlocker quiet(RgPort);
    RgPort->SetItemIndex(Index);
}

void TMainForm::closeEvent(QCloseEvent* Event)
{
    // Unsaved changes to a dump are not lost without a word.
    if (!FCardPage->MayClose(windowTitle())) {
        Event->ignore();
        return;
    }
    // While a chain runs, the session stops it and reports CloseReady.
    if (!FSession->RequestClose()) {
        Event->ignore();
        return;
    }
    QMainWindow::closeEvent(Event);
}

void TMainForm::RgPortClick() { FSession->ChoosePort(RgPort ? RgPort->ItemIndex() : 0); }

void TMainForm::ChkBeepClick()
{
    TReaderSettings settings = FSession->Settings();
    settings.Beep = ChkBeep->isChecked();
    FSession->SetSettings(settings);
}

void TMainForm::EdtMSChange()
{
    bool ok = false;
    const int value = EdtMS->text().toInt(&ok);
    TReaderSettings settings = FSession->Settings();
    settings.ReplyTimeout = ok ? value : 100;
    FSession->SetSettings(settings);
}

void TMainForm::RgQueryTypeClick()
{
    TReaderSettings settings = FSession->Settings();
    settings.SearchMode = uint8_t(RgQueryType->ItemIndex());
    FSession->SetSettings(settings);
}

// ------------------------------------------------- what the session reports

void TMainForm::LinkStateChanged(const QString& Text)
{
    if (StatusPanels[1])
        StatusPanels[1]->setText(Text);
    // A link that works makes the last word on a port that failed old news;
    // whatever panel 0 shows since is left alone.
    if (Text == QLatin1String("Linked") && StatusPanels[0] && !FPortProblem.isEmpty()
        && StatusPanels[0]->text() == FPortProblem)
        ShowInHintPanel(QString());
    if (Text == QLatin1String("Linked"))
        FPortProblem.clear();
}

void TMainForm::PortOpenFailed(const QString& /*ComName*/, const QString& /*Reason*/, const QString& Detail)
{
    // The box says only "Can not open port!"; why, with the device and what
    // to do, goes to standard error and stays beside the link panel.
    std::fprintf(stderr, "orvelle: %s\n", Detail.toLocal8Bit().constData());
    ShowPortProblem(Detail);
}

void TMainForm::ReaderSilent(const QString& /*ComName*/, const QString& Words)
{
    // The link panel says "Un-Linked"; what to check goes beside it.
    std::fprintf(stderr, "orvelle: %s\n", Words.toLocal8Bit().constData());
    ShowPortProblem(Words);
}

void TMainForm::ShowPortProblem(const QString& Words)
{
    if (!StatusPanels[0])
        return;
    FPortProblem = Words;
    ShowInHintPanel(Words);
    // The panel is narrow: the whole sentence where the mouse rests.
    StatusPanels[0]->setToolTip(Words);
}

void TMainForm::OperationStateChanged(bool Running)
{
    // Every button that starts an exchange chain. The trailer-row buttons
    // stay disabled for good, and the Stop buttons belong to the loop tests.
    for (QPushButton* button : {Button9, Button10, Button11, Button12, Button1, Button7, Button5, Button3,
             BtnWriteBlock0, Button6, Button4, Button13, Button14, Button15, Button18, Button24, Button22,
             Button20, Button19, Button23, Button21, Button25, Button26, Button27, Button29, Button30,
             Button31, BtnDownKeys, BtnChangeKey, BtnStartRead, BtnStartWrite})
        if (button)
            button->setEnabled(!Running);
}

void TMainForm::CloseReady()
{
    // Not from here: the handler that held the guard is still on the stack
    // and returns into this window.
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}
