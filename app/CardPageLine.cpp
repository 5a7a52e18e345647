// "Line..." on the Card page: the line window needs no reader, only the
// ledger the batch window names.
#include "app/BatchWindow.h"
#include "app/CardPage.h"
#include "app/FormDialogs.h"
#include "app/LineWindow.h"
#include "session/LinkSession.h"

#include <utility>

void TCardPage::CardLineClick()
{
    // One line window, on the batch window's ledger (or the default one);
    // made again when that ledger was changed since, unless stations run
    // from it (they would be stopped with it).
    const QString address = BatchWindow ? BatchWindow->LedgerAddress() : QString();
    if (LineWindow && LineWindow->Address() != address && !LineWindow->StationsBusy())
        delete std::exchange(LineWindow, nullptr);
    if (!LineWindow) {
        LineWindow = new TLineWindow(address, window());
        // The port this window holds is offered to no station.
        LineWindow->AddStations(FHost.Dialogs(), [this] {
            return FHost.Session.PortOpen() ? QString::fromStdString(FHost.Session.PortName()) : QString();
        });
    }
    LineWindow->show();
    LineWindow->raise();
    LineWindow->activateWindow();
}

bool TCardPage::MayStopStations(const QString& Caption)
{
    // The line window's stations end with this window: each after its card.
    return !LineWindow || !LineWindow->StationsBusy()
        || FHost.Dialogs().Ask(window(), QStringLiteral("Stations started from the line window are still running. Stop each after the card in hand, and close?"),
            Caption);
}
