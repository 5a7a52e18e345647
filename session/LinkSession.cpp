// The session's port: choosing it, the operation guard, a vanished device and
// its relink, and closing.
#include "session/LinkSession.h"

#include "reader/CardReader.h"
#include "reader/HexText.h"
#include "reader/ReaderLink.h"
#include "serial/Comm.h"
#include "serial/OpenFailure.h"
#include "serial/PortName.h"
#include "serial/PortScan.h"

#include <QTimer>

#include <unistd.h>

#include <climits>
#include <cstdlib>

TLinkSession::TLinkSession(TSessionEvents& Events, QObject* Parent)
    : QObject(Parent)
    , FDevice(std::make_unique<TComm>())
{
    FListeners.Add(Events);
    FDevice->SetCommName("COM2");
    FDevice->SetDtrControl(TDtrControl::DtrDisable);
    FDevice->SetRtsControl(TRtsControl::RtsDisable);
    FDevice->OnRequestHangup = [this](TComm*) { DeviceHangup(); };
    FLink = std::make_unique<TReaderLink>(*FDevice);
    FReader = std::make_unique<TCardReader>(*FLink);
    FRelinkTimer = new QTimer(this);
    FRelinkTimer->setInterval(RelinkCheckMs);
    connect(FRelinkTimer, &QTimer::timeout, this, &TLinkSession::RelinkCheck);
}

TLinkSession::~TLinkSession()
{
    FRelinkTimer->stop();
    // The component's threads end with the port, before the link goes.
    FDevice->ClosePort();
}

// ----------------------------------------------------------------- the port

void TLinkSession::SetLinkState(const char* Text)
{
    // The repeated link test of a silent reader says nothing new each second.
    if (FLinkState == Text)
        return;
    FLinkState = Text;
    FListeners.LinkStateChanged(QString::fromLatin1(Text));
}

void TLinkSession::ChoosePort(int Index)
{
    if (FCloseRequested)
        return;
    // The operator's choice ends any watch for a vanished device.
    StopRelinkWatch();
    FPendingPortIndex = Index;
    if (OperationRunning()) {
        FPortChangePending = true;
        return;
    }
    TOperationScope scope(*this);
    if (!scope)
        return;
    FPortChangePending = false;
    ChangePort(Index);
}

void TLinkSession::ChangePort(int Index)
{
    if (!OpenAndTest("COM" + std::to_string(Index + 1)))
        FListeners.MessageBox(QStringLiteral("Can not open port!"), QStringLiteral("Message"), MessageFlags);
}

bool TLinkSession::OpenNamedPort(const std::string& Name)
{
    if (FCloseRequested)
        return false;
    StopRelinkWatch();
    TOperationScope scope(*this);
    if (!scope)
        return false;
    FPortChangePending = false;
    OpenAndTest(Name);
    return FLinkState == "Linked";
}

// The caller holds the operation guard, so no exchange waits while the port
// changes.
bool TLinkSession::OpenAndTest(const std::string& Name)
{
    // Also when the choice waited for a loop cycle: a hang-up meanwhile must
    // not relink the port the operator left.
    StopRelinkWatch();
    FDevice->ClosePort();
    FDevice->SetCommName(Name);
    try {
        FDevice->OpenPort();
    } catch (const ECommsError& error) {
        // A closed port is never "Linked". The component's own message means
        // nothing to the operator; the face says the cause on standard error.
        SetLinkState("Un-Linked");
        const std::string device = DeviceOf(ResolveCommName(FDevice->CommName()));
        const std::string cause = error.Cause();
        // A port another program holds: the lock table names it, when it locked.
        const std::string holder
            = error.code() == std::errc::device_or_resource_busy ? HolderOf(device, "/proc/locks") : std::string();
        const std::string words
            = cause.empty() ? DescribeOpenFailure(FDevice->CommName(), device, error, holder) : cause;
        FListeners.PortOpenFailed(QString::fromStdString(FDevice->CommName()),
            QString::fromLocal8Bit(cause.empty() ? error.code().message().c_str() : cause.c_str()),
            QString::fromLocal8Bit(words.c_str()));
        return false;
    }
    FOpenedRoute = ResolveCommName(FDevice->CommName());
    const std::string device = DeviceOf(FOpenedRoute);
    FListeners.PortOpened(QString::fromStdString(FDevice->CommName()), QString::fromStdString(device));
    TestOpenedLink(device);
    return true;
}

// The link test on a port just opened, as the port choice runs it.
void TLinkSession::TestOpenedLink(const std::string& Device)
{
    if (TestLink()) {
        SetLinkState("Linked");
        BeepReader();
    } else {
        SetLinkState("Un-Linked");
        FListeners.ReaderSilent(QString::fromStdString(FDevice->CommName()),
            QString::fromLocal8Bit(DescribeSilentReader(FDevice->CommName(), Device).c_str()));
    }
}

std::string TLinkSession::PortName() const { return FDevice->CommName(); }

bool TLinkSession::PortOpen() const { return FDevice->IsOpen(); }

// ------------------------------------------------------ the operation guard

bool TLinkSession::BeginOperation()
{
    if (FOperationDepth > 0)
        return false;
    ++FOperationDepth;
    FListeners.OperationStateChanged(true);
    return true;
}

void TLinkSession::EndOperation()
{
    if (FOperationDepth == 0)
        return;
    if (--FOperationDepth > 0)
        return;
    FListeners.OperationStateChanged(false);
    if (FCloseRequested) {
        // Closing wins over whatever waited for the chain's end.
        FCloseRequested = false;
        FPortChangePending = false;
        FRelinkPending = false;
        FListeners.CloseReady();
        return;
    }
    if (FPortChangePending)
        ChoosePort(FPendingPortIndex);
    else if (FRelinkPending)
        RelinkCheck();
}

void TLinkSession::RunPendingPortChange()
{
    if (FLink->Busy() || FCloseRequested)
        return;
    if (FPortChangePending) {
        FPortChangePending = false;
        ChangePort(FPendingPortIndex);
    } else if (FRelinkPending) {
        if (FDevice->IsOpen())
            RetestLink();
        else
            Relink();
    }
}

// ------------------------------------------------------------------ closing

bool TLinkSession::RequestClose()
{
    StopRelinkWatch();
    FPortChangePending = false;
    if (!OperationRunning())
        return true;
    // An exchange waiting further down this thread's stack still uses the
    // component: stop any loop test and close when the chain ends.
    LoopFlag = false;
    FCloseRequested = true;
    return false;
}

// ---------------------------------------------------- hang-up and relinking

void TLinkSession::DeviceHangup()
{
    // A waiting exchange may be further down the stack: it ends at once with
    // no reply, and later exchanges fail without waiting.
    FDevice->ClosePort();
    FLink->EndWait();
    SetLinkState("Un-Linked");
    FRelinkPending = false;
    FRetestLink = false;
    if (!FCloseRequested)
        FRelinkTimer->start();
}

bool TLinkSession::WatchingForRelink() const { return FRelinkTimer->isActive() && !FDevice->IsOpen(); }

bool TLinkSession::RelinkActive() const { return FRelinkTimer->isActive(); }

void TLinkSession::StopRelinkWatch()
{
    FRelinkTimer->stop();
    FRelinkPending = false;
    FRetestLink = false;
}

std::string TLinkSession::RelinkTarget() const
{
    // The device must come back the way it was opened: through the same
    // port-map link (a replugged reader, a restarted simulator) or as the
    // same device. A link that has gone must not send us to the name's
    // default device.
    const std::string route = ResolveCommName(FDevice->CommName());
    if (route.empty() || route != FOpenedRoute)
        return std::string();
    // A simulator that ended leaves its link; the device it names may have
    // gone to another program since.
    if (!StaleSimulatorLink(FDevice->CommName()).empty())
        return std::string();
    // Where the route leads at this moment: that very device is opened, so
    // a link that changes between this look and the open cannot redirect it.
    std::string device = DeviceOf(route);
    if (::access(device.c_str(), R_OK | W_OK) != 0)
        return std::string();
    return device;
}

std::string TLinkSession::DeviceOf(const std::string& Route)
{
    char resolved[PATH_MAX];
    if (::realpath(Route.c_str(), resolved))
        return resolved;
    // A link to nothing: what it names is what the operator must look at.
    char target[PATH_MAX];
    const ssize_t length = ::readlink(Route.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, size_t(length)) : Route;
}

bool TLinkSession::OpenDevice(const std::string& Path)
{
    // The component opens a name with a "/" as the path it is; the COM name
    // stays the port's name for everything else.
    const std::string comName = FDevice->CommName();
    FDevice->SetCommName(Path);
    bool opened = true;
    try {
        FDevice->OpenPort();
    } catch (const std::exception&) {
        opened = false;
    }
    FDevice->SetCommName(comName);
    return opened;
}

void TLinkSession::RelinkCheck()
{
    if (FDevice->IsOpen() && !FRetestLink) {
        StopRelinkWatch();
        return;
    }
    if (!FDevice->IsOpen() && RelinkTarget().empty())
        return;
    if (OperationRunning()) {
        // A chain runs (a loop test, say): relink between its steps.
        FRelinkPending = true;
        return;
    }
    TOperationScope scope(*this);
    if (!scope)
        return;
    if (FDevice->IsOpen())
        RetestLink();
    else
        Relink();
}

// Reopens the watched port; the caller makes sure no exchange waits. A
// device that is there but cannot be opened yet is tried again at the next
// check, quietly: the operator saw "Un-Linked" already.
void TLinkSession::Relink()
{
    FRelinkPending = false;
    const std::string device = RelinkTarget();
    if (device.empty() || !OpenDevice(device))
        return;
    FListeners.PortOpened(QString::fromStdString(FDevice->CommName()), QString::fromStdString(device));
    // A reader that boots after its adapter may not answer yet: the link test
    // is then repeated once a second until it does.
    FRetestLink = true;
    RetestLink();
}

void TLinkSession::RetestLink()
{
    FRelinkPending = false;
    if (TestLink()) {
        StopRelinkWatch();
        SetLinkState("Linked");
        BeepReader();
    } else if (FDevice->IsOpen()) {
        SetLinkState("Un-Linked");
    }
}
