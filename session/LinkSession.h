#pragma once
// TLinkSession: the life of one reader link, with no widgets. It owns the
// serial component, the frame exchange over it and the typed card
// operations; the operation guard that lets one chain of exchanges run at a
// time; the port choice (open, link test, beep) and a change asked for while a
// chain runs; the hang-up of a vanished device and the watch that relinks it;
// a close asked for during a chain; and the loop read and loop write tests
// with their counters. Whatever it has to say goes, in values, to every
// listener (Listeners(): the face that made it first, then the records and
// whoever else subscribes); it prints nothing itself. The whole-card jobs
// run over it (CardJobs.h, CardWork.h).
//
// Everything runs on the thread that made the session: the serial component
// delivers there, and an exchange waits there with the event loop running.

#include "session/SessionEvents.h"

#include <QDateTime>
#include <QObject>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QTimer;
class TCardReader;
class TComm;
class TReaderExchange;
class TReaderLink;

// The reader's settings, as the "Setting" page sets them.
struct TReaderSettings {
    bool Beep = true;
    uint8_t SearchMode = SearchModes::IdleCards;
    int32_t ReplyTimeout = 500; // milliseconds
    bool operator==(const TReaderSettings&) const = default;
};

// The key an authentication names, as the operator chose it: the key
// selector's index (KeySources, None when nothing is chosen) and the typed
// text, which only a typed source uses.
struct TKeyChoice {
    uint8_t Source = KeySources::None;
    QString Typed;
};

// A sector trailer as typed on the "ChangePS" page.
struct TTrailerText {
    QString KeyA;
    QString Control;
    QString KeyB;
};

// The "Basic" page's one-exchange operations.
enum class TBasicOp { Search,
    Anticollision,
    Select,
    Halt };

// The counters a loop-test run starts from.
struct TLoopCounters {
    int32_t SearchErr = 0;
    int32_t Read = 0;
    int32_t ReadErr = 0;
    int32_t Write = 0;
    int32_t WriteErr = 0;
    int32_t CheckErr = 0;
};

class TLinkSession : public QObject {
    Q_OBJECT
public:
    // Every message box of the program: information icon, OK button.
    static constexpr int MessageFlags = 64;
    // How often a hung-up port's device is looked for, and how often the link
    // test is repeated on a relinked reader that does not answer yet.
    static constexpr int RelinkCheckMs = 1000;
    // A counter shows 1000000 once, then starts again from 1.
    static constexpr int32_t CounterWrapLimit = 1000000;

    explicit TLinkSession(TSessionEvents& Events, QObject* Parent = nullptr);
    ~TLinkSession() override;

    // Everyone told what the session does; Events (given above) first.
    TSessionListeners& Listeners() { return FListeners; }

    // ------------------------------------------------------------- the port
    // Closes the port, names it COM<Index + 1>, opens it and tests the link:
    // "Linked" and a beep, or "Un-Linked". A port that cannot be opened gives
    // the box "Can not open port!" and "Un-Linked". While a chain runs, the
    // change waits for its end (a loop test runs it between cycles). Ends any
    // relink watch.
    void ChoosePort(int Index);
    // For a program without a window: the same at once for Name, a COM name
    // (through the port map) or a device path, and with no box; why a port
    // could not be opened goes to the listeners (PortOpenFailed).
    // True when the reader answered the link test; false, and nothing done,
    // while a chain runs.
    bool OpenNamedPort(const std::string& Name);
    // The port's COM name (or the path it was opened by), and whether it is
    // open now.
    std::string PortName() const;
    bool PortOpen() const;
    // True while a hung-up port is closed and its device is looked for.
    bool WatchingForRelink() const;
    // True while the relink watch or the repeated link test runs.
    bool RelinkActive() const;

    // ---------------------------------------------------- the operation guard
    // One operation chain at a time: a second one is refused while one runs.
    bool OperationRunning() const { return FOperationDepth > 0; }
    bool BeginOperation();
    void EndOperation();
    // Runs a port change, relink or link test asked for while a chain ran;
    // a loop test calls it between cycles, where no exchange waits.
    void RunPendingPortChange();

    // ---------------------------------------------------------------- closing
    // True when the owner may close now. While a chain runs, stops any loop
    // test, drops a pending port change or relink, and answers false:
    // CloseReady follows when the chain has ended.
    bool RequestClose();
    // A close waits for the running chain's end: a card job ends early.
    bool CloseRequested() const { return FCloseRequested; }

    // ------------------------------------------------------------ settings
    const TReaderSettings& Settings() const { return FSettings; }
    // Acts at once, also on an exchange that waits.
    void SetSettings(const TReaderSettings& Settings);
    // Card operations and jobs from here on go to Reader, a reader in the
    // same process (the simulator's engine, in tests that do not test the
    // line), not to the port.
    void UseReader(TReaderExchange& Reader);

    // ------------------------------------ one exchange (CardOperations.cpp)
    // Each logs its line; a bad input gives its box and sends nothing.
    bool TestLink();
    void BeepReader();
    // Reports the card type found (CardTypeFound).
    bool SearchCard();
    // Search with serial number: logs "Search card successful!" and reports
    // the card, or logs "Search card fail!".
    bool SearchCardSerial();
    // Reports the serial number found (SerialFound).
    bool AnticollCard();
    bool SelectCard();
    bool HaltCard();
    bool VerifySectorKey(uint8_t Sector, const TKeyChoice& Key);
    // A stored key (source 0 or 1), no log: the loop tests' authentication.
    bool AuthSector(uint8_t KeySource, uint8_t Sector);
    // A search for any card in the field (a halted one too), without a log
    // line or report: what a whole-card job starts with.
    std::optional<TCardId> FindAnyCard();
    // A search with serial number, then the sector's authentication.
    bool FindAndVerify(uint8_t Sector, const TKeyChoice& Key);
    // The block's 32 digits; none when the read failed.
    std::optional<QString> ReadBlockHex(uint8_t Block);
    std::optional<QString> ReadBlockLogged(uint8_t Block);
    bool WriteBlockHex(uint8_t Block, const QString& Hex);
    bool WriteBlockLogged(uint8_t Block, const QString& Hex);
    bool InitValueBlock(uint8_t Block);

    // ---------------------------------------------------- one button each
    // The chain under the guard (nothing while another runs), the beep after
    // a success.
    void RunBasic(TBasicOp Op);
    // None when the read was not reached (guard, search or key failed);
    // otherwise what it read, empty when the read failed.
    std::optional<QString> ReadRow(uint8_t Sector, int Row, const TKeyChoice& Key);
    void WriteRow(uint8_t Sector, int Row, const TKeyChoice& Key, const QString& Hex);
    void InitRow(uint8_t Sector, int Row, const TKeyChoice& Key);
    void ValueRow(uint8_t Operation, uint8_t Sector, int Row, const QString& Amount);
    // Keys holds the key text of each marked sector, none for the others;
    // every marked key is checked before anything is sent.
    void DownloadKeys(uint8_t KeyType, const std::array<std::optional<QString>, SectorCount>& Keys);
    // The trailer is checked before the sector is looked for; the reader
    // beeps once it passed, whatever the card said.
    void ChangeTrailer(uint8_t Sector, const TKeyChoice& Key, const TTrailerText& Trailer);

    // ------------------------------------------------------------ loop tests
    // Endless cycles until StopLoop, each outcome counted. The key type is
    // the stored key (0 = A, 1 = B); both are read once, at the start.
    void RunLoopRead(uint8_t KeyType, uint8_t Block);
    // A sector trailer is refused with the box "control block, can not be
    // tested": a test pattern written there could lock the sector for good.
    void RunLoopWrite(uint8_t KeyType, uint8_t Block);
    // The running loop ends after its current cycle.
    void StopLoop() { LoopFlag = false; }

    bool LoopFlag = false;
    // The clock of the elapsed times (a loop run's, a batch card's), to read;
    // a test drives it through TSessionProbe.
    const TSteadyClock& Steady() const { return FSteady; }

private:
    // The card jobs are the session's own: they talk to the reader and set
    // the line's read interval for their length.
    friend class TCardJobs;
    friend class TJobLineScope;
    // Tests and benchmarks of the line look at its parts.
    friend struct TSessionProbe;
    TComm& Device() { return *FDevice; }
    TCardReader& Reader() { return *FReader; }

    void Box(const char* Text, const char* Caption);
    void DeviceHangup();
    void ChangePort(int Index);
    // Close, rename, open and test; false when the port did not open.
    bool OpenAndTest(const std::string& Name);
    void TestOpenedLink(const std::string& Device);
    void SetLinkState(const char* Text);
    void RelinkCheck();
    void Relink();
    void RetestLink();
    void StopRelinkWatch();
    // The device a relink may open: where the port's name leads now, if that
    // is still the route the port was opened by and the device can be used.
    std::string RelinkTarget() const;
    bool OpenDevice(const std::string& Path);
    // The device a route (a port-map link, or a device path) leads to now.
    static std::string DeviceOf(const std::string& Route);
    template <class TCycle>
    void RunLoop(const TLoopSettings& Settings, TCycle&& Cycle);
    // A cycle's first two steps; a failure counts a search failure.
    bool FindAndAuthenticate(uint8_t Sector, uint8_t KeyType, TLoopCounters& Counters, TLoopTotals& Totals);
    // A cycle's read: counted as a read (its data shown) or a read error.
    std::optional<QString> ReadAndCount(uint8_t Block, TLoopCounters& Counters, TLoopTotals& Totals);

    TSessionListeners FListeners;
    std::unique_ptr<TComm> FDevice;
    std::unique_ptr<TReaderLink> FLink;
    std::unique_ptr<TCardReader> FReader;
    TReaderSettings FSettings;

    int FOperationDepth = 0;
    bool FPortChangePending = false;
    int FPendingPortIndex = 0;
    bool FCloseRequested = false;
    // After a hang-up: looks for the device once a second until it opens
    // again (and answers the link test), another port is chosen or the
    // session closes.
    QTimer* FRelinkTimer = nullptr;
    bool FRelinkPending = false;
    // The relinked port is open but the reader has not answered yet.
    bool FRetestLink = false;
    // What the port's name led to when it was opened by a port choice.
    std::string FOpenedRoute;
    // The link panel's text as last reported ("Un-Link" before the first choice).
    std::string FLinkState = "Un-Link";
    // Counters a run starts from. Always zero in use; a test sets them just
    // below the wrap limit to see the wrap without a million cycles.
    TLoopCounters FLoopStartCounters;
    TSteadyClock FSteady;
};

// Holds the operation guard for the length of one operation chain; a chain
// that cannot start (another one runs) is refused.
class TOperationScope {
public:
    explicit TOperationScope(TLinkSession& Session)
        : FSession(Session)
        , FStarted(Session.BeginOperation())
    {
    }
    ~TOperationScope()
    {
        if (FStarted)
            FSession.EndOperation();
    }
    TOperationScope(const TOperationScope&) = delete;
    TOperationScope& operator=(const TOperationScope&) = delete;
    explicit operator bool() const { return FStarted; }

private:
    TLinkSession& FSession;
    bool FStarted;
};
