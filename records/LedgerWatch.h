#pragma once
// TLedgerWatch: tells a window that a ledger changed, so that it reads the
// line again only then. PostgreSQL: the ledger's connection listens for the
// stations' notifications (a claim, a record), with a poll every
// PollMs behind it that also listens again after the connection was made
// again; SQLite: a look at the file's data version every second. Nothing is
// said while nothing changes.

#include <QObject>
#include <QTimer>

#include <optional>

class QSqlDriver;
class TLedger;

class TLedgerWatch final : public QObject {
    Q_OBJECT
public:
    static constexpr int SqliteMs = 1000;
    static constexpr int PollMs = 5000;

    // Ledger must outlive the watch; it is read on this thread.
    explicit TLedgerWatch(TLedger& Ledger, QObject* Parent = nullptr);

signals:
    void Changed();

private:
    // Reads the ledger's mark (and listens again where it notifies); says
    // Changed when the mark moved.
    void Look();

    TLedger& FLedger;
    QTimer FTimer;
    std::optional<QString> FMark;
};
