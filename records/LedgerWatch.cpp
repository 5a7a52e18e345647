// The ledger watched for the line window: a notification or a moved mark
// is a change; a failed look is none (the next one tries again).
#include "records/LedgerWatch.h"

#include "records/Ledger.h"

#include <QSqlDatabase>
#include <QSqlDriver>

TLedgerWatch::TLedgerWatch(TLedger& Ledger, QObject* Parent)
    : QObject(Parent)
    , FLedger(Ledger)
{
    FMark = FLedger.ChangeMark();
    if (FLedger.Notifies()) {
        // The driver stays the same object when its connection is made
        // again; only its subscriptions are lost, and Look renews them.
        QSqlDriver* driver = QSqlDatabase::database(FLedger.ConnectionName(), false).driver();
        connect(driver, &QSqlDriver::notification, this, [this](const QString& Name) {
            if (Name != QLatin1String(TLedger::LineChannel))
                return;
            // A station wrote: said at once, the mark kept for the poll.
            if (std::optional<QString> mark = FLedger.ChangeMark())
                FMark = std::move(mark);
            emit Changed();
        });
        FLedger.Subscribe();
    }
    connect(&FTimer, &QTimer::timeout, this, &TLedgerWatch::Look);
    FTimer.start(FLedger.Notifies() ? PollMs : SqliteMs);
}

void TLedgerWatch::Look()
{
    // The mark first: a connection lost meanwhile is made again by it, and
    // then listens again.
    std::optional<QString> mark = FLedger.ChangeMark();
    if (FLedger.Notifies())
        FLedger.Subscribe();
    if (!mark || mark == FMark)
        return;
    FMark = std::move(mark);
    emit Changed();
}
