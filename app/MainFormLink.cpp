// The window's side of the reader link: components, start-up, the settings
// handlers, the exchange wrappers and the operation guard.
#include "app/MainForm.h"

#include "reader/CardReader.h"
#include "reader/ReaderLink.h"
#include "serial/Comm.h"
#include "serial/PortName.h"
#include "widgets/RadioGroup.h"
#include "widgets/SpinEdit.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QTimer>

#include <unistd.h>

#include <string>

namespace {

// Every button that starts an exchange chain. The trailer-row buttons stay
// disabled for good, and the Stop buttons belong to the loop tests.
std::array<QPushButton*, 31> CardOperationButtons(const TMainForm& F)
{
    return {F.Button9, F.Button10, F.Button11, F.Button12,
        F.Button1, F.Button7, F.Button5, F.Button3,
        F.BtnWriteBlock0, F.Button6, F.Button4,
        F.Button13, F.Button14, F.Button15,
        F.Button18, F.Button24, F.Button22, F.Button20,
        F.Button19, F.Button23, F.Button21,
        F.Button25, F.Button26, F.Button27,
        F.Button29, F.Button30, F.Button31,
        F.BtnDownKeys, F.BtnChangeKey, F.BtnStartRead, F.BtnStartWrite};
}

void SetLinkPanel(TMainForm& F, const QString& Text)
{
    if (F.StatusPanels[1])
        F.StatusPanels[1]->setText(Text);
}

// The link test on a port just opened, as the port selection runs it.
void TestOpenedLink(TMainForm& F)
{
    if (F.TestLink()) {
        SetLinkPanel(F, QStringLiteral("Linked"));
        F.BeepReader();
    } else {
        SetLinkPanel(F, QStringLiteral("Un-Linked"));
    }
}

// Close, rename, open and test: the port selection itself. The caller holds
// the operation guard, so no exchange waits while the port changes.
void ChangePort(TMainForm& F)
{
    F.MyDevice->ClosePort();
    const int index = F.RgPort ? F.RgPort->ItemIndex() : 0;
    F.MyDevice->SetCommName("COM" + std::to_string(index + 1));
    try {
        F.MyDevice->OpenPort();
    } catch (...) {
        // The component's own message means nothing to the operator.
        F.MessageBox(QStringLiteral("Can not open port!"), QStringLiteral("Message"), TMainForm::MessageFlags);
        return;
    }
    F.PortOpened();
    TestOpenedLink(F);
}

} // namespace

void TMainForm::CreateComponents()
{
    MyDevice = new TComm(this);
    MyDevice->SetCommName("COM2");
    MyDevice->SetDtrControl(TDtrControl::DtrDisable);
    MyDevice->SetRtsControl(TRtsControl::RtsDisable);
    MyDevice->OnRequestHangup = [this](TComm* Sender) { MyDeviceRequestHangup(Sender); };
    Link = std::make_unique<TReaderLink>(*MyDevice);
    Reader = std::make_unique<TCardReader>(*Link);
    FRelinkTimer = new QTimer(this);
    FRelinkTimer->setInterval(RelinkCheckMs);
    connect(FRelinkTimer, &QTimer::timeout, this, &TMainForm::RelinkCheck);
}

void TMainForm::FormCreate()
{
    Link->SearchMode = 0;
    Link->BeepSetting = true;
    Link->ReplyTimeout = 500;
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

void TMainForm::closeEvent(QCloseEvent* Event)
{
    // An exchange waiting further down this thread's stack still uses the
    // window and its component: stop any loop test and close when it ends.
    if (OperationRunning()) {
        LoopFlag = false;
        FCloseRequested = true;
        Event->ignore();
        return;
    }
    QMainWindow::closeEvent(Event);
}

void TMainForm::RgPortClick()
{
    // The operator's choice ends any watch for a vanished device.
    StopRelinkWatch();
    if (OperationRunning()) {
        FPortChangePending = true;
        return;
    }
    TOperationScope scope(this);
    if (!scope)
        return;
    FPortChangePending = false;
    ChangePort(*this);
}

void TMainForm::RunPendingPortChange()
{
    if (Link->Busy())
        return;
    if (FPortChangePending) {
        FPortChangePending = false;
        ChangePort(*this);
    } else if (FRelinkPending) {
        Relink();
    }
}

void TMainForm::PortOpened() { FOpenedDevice = ResolveCommName(MyDevice->CommName()); }

void TMainForm::MyDeviceRequestHangup(TComm* /*Sender*/)
{
    // A waiting exchange may be further down the stack; with the port closed
    // it simply sees no reply, and later exchanges fail at once.
    MyDevice->ClosePort();
    SetLinkPanel(*this, QStringLiteral("Un-Linked"));
    FRelinkPending = false;
    FRelinkTimer->start();
}

bool TMainForm::WatchingForRelink() const { return FRelinkTimer->isActive(); }

void TMainForm::StopRelinkWatch()
{
    FRelinkTimer->stop();
    FRelinkPending = false;
}

void TMainForm::RelinkCheck()
{
    if (MyDevice->IsOpen()) {
        StopRelinkWatch();
        return;
    }
    // Cheap look first: the name must lead to a device we may open.
    const std::string device = ResolveCommName(MyDevice->CommName());
    // The device must come back the way it was opened: through the same
    // port-map link (a replugged reader, a restarted simulator) or as the
    // same device. A link that has gone must not send us to the name's
    // default device.
    if (device.empty() || device != FOpenedDevice || ::access(device.c_str(), R_OK | W_OK) != 0)
        return;
    if (OperationRunning()) {
        // A chain runs (a loop test, say): relink between its steps.
        FRelinkPending = true;
        return;
    }
    TOperationScope scope(this);
    if (scope)
        Relink();
}

// Reopens the watched port; the caller makes sure no exchange waits. A
// device that is there but cannot be opened yet is tried again at the next
// check, quietly: the operator saw "Un-Linked" already.
void TMainForm::Relink()
{
    FRelinkPending = false;
    try {
        MyDevice->OpenPort();
    } catch (const ECommsError&) {
        return;
    }
    FRelinkTimer->stop();
    TestOpenedLink(*this);
}

void TMainForm::ChkBeepClick()
{
    if (ChkBeep)
        Link->BeepSetting = ChkBeep->isChecked();
}

void TMainForm::EdtMSChange()
{
    if (!EdtMS)
        return;
    bool ok = false;
    const int value = EdtMS->text().toInt(&ok);
    Link->ReplyTimeout = ok ? value : 100;
}

void TMainForm::RgQueryTypeClick()
{
    if (RgQueryType)
        Link->SearchMode = uint8_t(RgQueryType->ItemIndex());
}

int TMainForm::ExchangeFrame(const TRequest& Request) { return Link->ExchangeFrame(Request); }

bool TMainForm::TestLink() { return Link->TestLink(); }

void TMainForm::BeepReader() { Link->BeepReader(); }

bool TMainForm::BeginOperation()
{
    if (FOperationDepth > 0)
        return false;
    ++FOperationDepth;
    for (QPushButton* button : CardOperationButtons(*this))
        if (button)
            button->setEnabled(false);
    return true;
}

void TMainForm::EndOperation()
{
    if (FOperationDepth == 0)
        return;
    if (--FOperationDepth > 0)
        return;
    for (QPushButton* button : CardOperationButtons(*this))
        if (button)
            button->setEnabled(true);
    if (FPortChangePending)
        RgPortClick();
    else if (FRelinkPending)
        RelinkCheck();
    if (FCloseRequested && !OperationRunning()) {
        FCloseRequested = false;
        // Not from here: the handler that held the guard is still on the
        // stack and returns into this window.
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    }
}
