// The window's side of the reader link: its session, start-up, the settings
// handlers, and what the session reports (link panel, guard, found card,
// close).
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

void TMainForm::CreateComponents()
{
    TSessionEvents& events = *this;
    FSession = std::make_unique<TLinkSession>(events);
    FCard = std::make_unique<TCardPageState>(*this);
}

void TMainForm::FormCreate()
{
    FSession->SetSettings(TReaderSettings{});
    // The hint display (DisplayHint) is installed with the window's event
    // filter when the window is built.
}

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

bool TMainForm::TestLink() { return FSession->TestLink(); }

void TMainForm::BeepReader() { FSession->BeepReader(); }

// ------------------------------------------------- what the session reports

void TMainForm::LinkStateChanged(const QString& Text)
{
    if (StatusPanels[1])
        StatusPanels[1]->setText(Text);
    FJournal->Write(JournalText::LinkPanel(Text));
}

void TMainForm::PortOpened(const QString& ComName, const QString& Device)
{
    FDevice = Device;
    FJournal->Write(JournalText::PortOpened(ComName, Device));
}

void TMainForm::PortOpenFailed(const QString& ComName, const QString& Reason)
{
    FDevice.clear();
    FJournal->Write(JournalText::PortOpenFailed(ComName, Reason));
}

void TMainForm::RecordWarning(const QString& Warning)
{
    // Never a box: a running loop test would wait for its OK.
    std::fprintf(stderr, "orvelle: %s\n", Warning.toLocal8Bit().constData());
    if (StatusPanels[0])
        StatusPanels[0]->setText(Warning);
    // A journal that failed has said so itself and takes nothing more today.
    if (FJournal)
        FJournal->Write(Warning);
}

TRunSettings TMainForm::RunSettings(const TLoopSettings& Settings) const
{
    const TReaderSettings reader = FSession->Settings();
    TRunSettings run;
    run.Loop = Settings;
    run.Port = QString::fromStdString(FSession->PortName());
    run.Device = FDevice;
    run.ReplyTimeoutMs = reader.ReplyTimeout;
    run.Beep = reader.Beep;
    run.SearchMode = reader.SearchMode;
    return run;
}

void TMainForm::LoopRunStarted(const TLoopSettings& Settings)
{
    FRunSettings = RunSettings(Settings);
    FJournal->Write(JournalText::LoopStarted(FRunSettings));
    FRunReport = std::make_unique<TRunReport>(
        RunsDirectory(), FRunSettings, TRecordClock{}, [this](const QString& Warning) { RecordWarning(Warning); },
        FSession->Steady);
}

void TMainForm::LoopCycleEnded(const TLoopTotals& Totals)
{
    if (FRunReport)
        FRunReport->Update(Totals);
}

void TMainForm::LoopRunEnded(const TLoopSettings& /*Settings*/, const TLoopTotals& Totals)
{
    // The settings the run started with: the "Setting" page may have changed since.
    FJournal->Write(JournalText::LoopStopped(FRunSettings, Totals));
    if (!FRunReport)
        return;
    const QString report = FRunReport->Finish(Totals);
    const QString problem = FRunReport->Problem();
    FRunReport.reset();
    // Only a whole report is named; the cause went to standard error and the
    // journal when it happened, and is shown again here at the run's end.
    if (!StatusPanels[0])
        return;
    if (!report.isEmpty())
        StatusPanels[0]->setText(QStringLiteral("Report: %1").arg(report));
    else if (!problem.isEmpty())
        StatusPanels[0]->setText(QStringLiteral("Report not written: %1").arg(problem));
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
    if (FCard)
        FCard->UpdateControls();
}

void TMainForm::CloseReady()
{
    // Not from here: the handler that held the guard is still on the stack
    // and returns into this window.
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}
