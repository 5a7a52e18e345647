// "Line..." on the Card page: the line window needs no reader, only the
// ledger the batch window names.
#include "app/BatchWindow.h"
#include "app/CardPage.h"
#include "app/LineWindow.h"

#include <utility>

void TCardPage::CardLineClick()
{
    // One line window, on the batch window's ledger (or the default one);
    // made again when that ledger was changed since.
    const QString address = BatchWindow ? BatchWindow->LedgerAddress() : QString();
    if (LineWindow && LineWindow->Address() != address)
        delete std::exchange(LineWindow, nullptr);
    if (!LineWindow)
        LineWindow = new TLineWindow(address, window());
    LineWindow->show();
    LineWindow->raise();
    LineWindow->activateWindow();
}
