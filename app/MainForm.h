#pragma once
// The main window: nine pages of controls (the eight of the reader's own
// operations and "Card" for whole cards, a widget of its own: CardPage.h),
// the message log and the status bar. The link itself (port, operation
// guard, relink, loop tests) is its session's; the window shows what the
// session reports and turns the operator's clicks into operations.
//
// Every control carries its member name as objectName: tests find them with
// findChild<T*>("Name").
//
// The implementation is split by concern:
//   MainForm.cpp        the window made: its frame (tabs, log, status bar,
//                       hints), the session and the records, the "Card" page
//   Page*.cpp           one page each (Pages.h): its builder, from the parts
//                       in FormParts.h, and its handlers, each reading the
//                       page's controls, calling the session and showing
//                       the result
//   MainFormLink.cpp    start-up and close, the settings handlers, what the
//                       session reports
//   FormParts.cpp       the pieces the pages are built from, the sector
//                       selectors' tags
//   EnduranceTests.cpp  the loop tests' buttons and labels
//   CardPage.cpp        the "Card" page (TCardPage): it reaches the window
//                       through TCardPageHost only

#include "app/FormDialogs.h"
#include "app/FormParts.h"
#include "session/LinkSession.h"

#include <QMainWindow>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QAction;
class QCheckBox;
class QCloseEvent;
class QComboBox;
class QDialog;
class QFont;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QShowEvent;
class QStatusBar;
class QTabWidget;
class QVBoxLayout;

class TCardPage;
class TSessionRecorder;
class THyperLink;
class TRadioGroup;
class TSpinEdit;

class TMainForm : public QMainWindow, private TSessionEvents {
    Q_OBJECT
public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // The reader link this window drives.
    TLinkSession& Session() { return *FSession; }
    // The port the first show opens (0 for COM1 .. 3 for COM4); set before it.
    void SetStartPort(int Index);
    // The dialogs to open from now on; null: the real ones. Dialogs must
    // outlive its use.
    void SetDialogs(TFormDialogs* Dialogs);

private:
    // The page builders make the controls.
    friend void BuildBasicPage(TMainForm* F);
    friend void BuildSectorPage(TMainForm* F);
    friend void BuildBlockPage(TMainForm* F);
    friend void BuildDownPSPage(TMainForm* F);
    friend void BuildChangePSPage(TMainForm* F);
    friend void BuildOthersPage(TMainForm* F);
    friend void BuildSettingPage(TMainForm* F);
    friend void BuildAboutPage(TMainForm* F);

    // ---------------------------------------------------------------- controls
    QTabWidget* PageControl1 = nullptr;
    QWidget* TabSheet1 = nullptr; // "Basic"
    QWidget* TabSheet2 = nullptr; // "Sector"
    QWidget* TabSheet3 = nullptr; // "Block"
    QWidget* TabSheet4 = nullptr; // "DownPS"
    QWidget* TabSheet5 = nullptr; // "ChangePS"
    QWidget* TabSheet8 = nullptr; // "Others"
    QWidget* TabSheet6 = nullptr; // "Setting"
    QWidget* TabSheet7 = nullptr; // "About"
    // "Card", a page of its own (objectName TabSheet9).
    TCardPage* FCardPage = nullptr;

    QPlainTextEdit* MmoMsg = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* C1 = nullptr;
    QAction* SaveLog = nullptr; // "Save log..."
    QStatusBar* StatusBar = nullptr;
    // Panels 0 (hint), 1 (link state), 2; objectNames StatusPanel0..2.
    std::array<QLabel*, 3> StatusPanels{};
    // Panel 0's context menu: the folder of the records it names.
    QAction* OpenRecordsFolder = nullptr; // "Open folder"

    // "Basic"
    QLineEdit* EdtCardType = nullptr;
    QLineEdit* EdtSN = nullptr;
    QPushButton* Button9 = nullptr;
    QPushButton* Button10 = nullptr;
    QPushButton* Button11 = nullptr;
    QPushButton* Button12 = nullptr;

    // "Sector": Rd0..Rd15 by sector number
    std::array<QRadioButton*, 16> SectorRadios{};
    QGroupBox* GbSec1 = nullptr;
    QComboBox* CmbKeyTypeRW = nullptr;
    QLineEdit* EdtInKeyRW = nullptr;
    QLineEdit* EdtHex0 = nullptr;
    QLineEdit* EdtHex1 = nullptr;
    QLineEdit* EdtHex2 = nullptr;
    QLineEdit* EdtHex3 = nullptr;
    QPushButton* Button1 = nullptr;        // Read row 0
    QPushButton* Button7 = nullptr;        // Read row 1
    QPushButton* Button5 = nullptr;        // Read row 2
    QPushButton* Button3 = nullptr;        // Read row 3
    QPushButton* BtnWriteBlock0 = nullptr; // Write row 0
    QPushButton* Button6 = nullptr;        // Write row 1
    QPushButton* Button4 = nullptr;        // Write row 2
    QPushButton* Button8 = nullptr;        // Write row 3 (disabled)
    QPushButton* Button13 = nullptr;       // Initialize row 0
    QPushButton* Button14 = nullptr;       // Initialize row 1
    QPushButton* Button15 = nullptr;       // Initialize row 2
    QPushButton* Button16 = nullptr;       // Initialize row 3 (disabled)

    // "Block": RdInc, RadioButton2.. by sector number
    std::array<QRadioButton*, 16> BlockRadios{};
    QGroupBox* GbSec2 = nullptr;
    QComboBox* CmbKeyTypeBlock = nullptr;
    QLineEdit* EdtInKeyBlock = nullptr;
    QLineEdit* EdtBlockData = nullptr;
    QLineEdit* EdtBlock0 = nullptr;
    QLineEdit* EdtBlock1 = nullptr;
    QLineEdit* EdtBlock2 = nullptr;
    QLineEdit* EdtBlock3 = nullptr;
    QPushButton* Button18 = nullptr; // Read row 0
    QPushButton* Button24 = nullptr; // Read row 1
    QPushButton* Button22 = nullptr; // Read row 2
    QPushButton* Button20 = nullptr; // Read row 3
    QPushButton* Button19 = nullptr; // Inc row 0
    QPushButton* Button23 = nullptr; // Inc row 1
    QPushButton* Button21 = nullptr; // Inc row 2
    QPushButton* Button17 = nullptr; // Inc row 3 (disabled)
    QPushButton* Button25 = nullptr; // Des row 0
    QPushButton* Button26 = nullptr; // Des row 1
    QPushButton* Button27 = nullptr; // Des row 2
    QPushButton* Button28 = nullptr; // Des row 3 (disabled)
    QPushButton* Button29 = nullptr; // Initial row 0
    QPushButton* Button30 = nullptr; // initial row 1
    QPushButton* Button31 = nullptr; // initial row 2
    QPushButton* Button32 = nullptr; // initial row 3 (disabled)

    // "DownPS"
    std::array<QCheckBox*, 16> Ck{};     // Ck0..Ck15
    std::array<QLineEdit*, 16> EdtKey{}; // EdtKey0..EdtKey15
    QComboBox* CmbDownKeyType = nullptr;
    QPushButton* BtnDownKeys = nullptr;

    // "ChangePS": RbCardSecor, RadioButton17.. by sector number
    std::array<QRadioButton*, 16> ChangeRadios{};
    QGroupBox* GbSec3 = nullptr;
    QComboBox* CmbKeyTypeEdit = nullptr;
    QLineEdit* EdtInKeyEdit = nullptr;
    QLineEdit* EdtKeyA = nullptr;
    QLineEdit* EdtKeyB = nullptr;
    QLineEdit* EdtKeyC = nullptr;
    QPushButton* BtnChangeKey = nullptr;

    // "Others"
    QComboBox* CmbTestKeyType = nullptr;
    TSpinEdit* EdtBlock = nullptr;
    QPushButton* BtnStartRead = nullptr;
    QPushButton* BtnStopRead = nullptr;
    QPushButton* BtnStartWrite = nullptr;
    QPushButton* BtnStopWrite = nullptr;
    QLabel* LbQuerySum = nullptr;
    QLabel* LbTimeSum = nullptr;
    QLabel* LbCheckErrSum = nullptr;
    QLabel* LbReadSum = nullptr;
    QLabel* LbReadErrSum = nullptr;
    QLabel* LbReadHex = nullptr;
    QLabel* LbWriteSum = nullptr;
    QLabel* LbWriteErrSum = nullptr;
    QLabel* LbWriteHex = nullptr;

    // "Setting"
    TRadioGroup* RgQueryType = nullptr;
    QCheckBox* ChkBeep = nullptr;
    TRadioGroup* RgPort = nullptr;
    TSpinEdit* EdtMS = nullptr;

    // "About"
    THyperLink* HyperLink1 = nullptr;
    THyperLink* HyperLink2 = nullptr;

public:
    // Appends one line to the message log, which keeps the latest
    // LogLineLimit. The journal takes the session's lines from the session.
    static constexpr int LogLineLimit = 100000;
    void Log(const QString& Line) override;
    // The one way to show a modal message box. Every box of the program is
    // an information box with an OK button (flags 64).
    static constexpr int MessageFlags = TLinkSession::MessageFlags;
    void MessageBox(const QString& Text, const QString& Caption, int Flags = MessageFlags) override;

    // The sector chosen on a page: the tag of its group box.
    static int Tag(const QObject* Control) { return FormParts::Tag(Control); }
    static void SetTag(QObject* Control, int Value) { FormParts::SetTag(Control, Value); }
    // An elapsed time in a long time format (QLocale's notation): hours are
    // counted on past 24, the time-zone and AM/PM parts are left out.
    static QString ElapsedText(qint64 Seconds, const QString& LongTimeFormat);

    // What the buttons of the same names do, for a test that must start one
    // where no click can (inside another chain, or while disabled).
    void BtnStartReadClick();
    void BtnStartWriteClick();
    void BtnStopReadClick();

protected:
    void showEvent(QShowEvent* Event) override;   // MainFormLink.cpp
    void closeEvent(QCloseEvent* Event) override; // MainFormLink.cpp

private:
    // ------------------------------------------- window (MainForm.cpp)
    void C1Click();
    // "Save log...": the visible log to a file chosen in a file dialog.
    void SaveLogClick();
    void DisplayHint(const QString& Hint);
    // Panel 0's text: plain, or naming a record as a link to its folder.
    void ShowInHintPanel(const QString& Text);
    // The link opens the folder of Path, or with LinkToFile Path itself.
    void ShowRecordInHintPanel(const QString& Label, const QString& Path, bool LinkToFile = false);
    // The folder of the records panel 0 named last (the state folder until
    // then), in the file manager.
    void OpenRecordsFolderClick();
    // A line of the window's own (a file opened or saved): the log and the
    // journal.
    void LogOwn(const QString& Line);
    // A line of the window's own for the journal only (what a box said).
    void JournalOwn(const QString& Line);
    // A file the operator asked for could not be saved: a box, or while a
    // loop test runs the hint panel, standard error and the journal.
    void SaveFailed(const QString& Text, const QString& Caption);

    // ------------------------------------------------------------ start-up
    void FormCreate(); // MainForm.cpp
    void FormShow();   // MainFormLink.cpp

    // The pages whose rows and sector selectors share one handler each.
    enum class TRowPage { Sector,
        Block,
        ChangePS };
    QGroupBox* SectorBox(TRowPage Page) const;
    // The key the page's selector and edit name.
    TKeyChoice KeyChoice(TRowPage Page) const;
    void SectorChosen(TRowPage Page, QObject* Sender);
    void ReadRowClick(TRowPage Page, int Row);
    void WriteRowClick(int Row); // "Sector" only
    void InitRowClick(TRowPage Page, int Row);
    void ValueRowClick(uint8_t Operation, int Row); // "Block" only

    // The handlers, as the pages wire them (Page*.cpp).
    void Rd0Click(QObject* Sender) { SectorChosen(TRowPage::Sector, Sender); }
    void RdIncClick(QObject* Sender) { SectorChosen(TRowPage::Block, Sender); }
    void RbCardSecorClick(QObject* Sender) { SectorChosen(TRowPage::ChangePS, Sender); }
    void RgPortClick();
    void ChkBeepClick();
    void EdtMSChange();
    void RgQueryTypeClick();
    void Button9Click() { FSession->RunBasic(TBasicOp::Search); }
    void Button10Click() { FSession->RunBasic(TBasicOp::Anticollision); }
    void Button11Click() { FSession->RunBasic(TBasicOp::Select); }
    void Button12Click() { FSession->RunBasic(TBasicOp::Halt); }
    // "Sector": Read, Write, Initialize rows 0 to 3.
    void Button1Click() { ReadRowClick(TRowPage::Sector, 0); }
    void Button7Click() { ReadRowClick(TRowPage::Sector, 1); }
    void Button5Click() { ReadRowClick(TRowPage::Sector, 2); }
    void Button3Click() { ReadRowClick(TRowPage::Sector, 3); }
    void BtnWriteBlock0Click() { WriteRowClick(0); }
    void Button6Click() { WriteRowClick(1); }
    void Button4Click() { WriteRowClick(2); }
    void Button8Click() { WriteRowClick(3); }
    void Button13Click() { InitRowClick(TRowPage::Sector, 0); }
    void Button14Click() { InitRowClick(TRowPage::Sector, 1); }
    void Button15Click() { InitRowClick(TRowPage::Sector, 2); }
    void Button16Click() { InitRowClick(TRowPage::Sector, 3); }
    // "Block": Read, Inc, Des, Initial rows 0 to 3.
    void Button18Click() { ReadRowClick(TRowPage::Block, 0); }
    void Button24Click() { ReadRowClick(TRowPage::Block, 1); }
    void Button22Click() { ReadRowClick(TRowPage::Block, 2); }
    void Button20Click() { ReadRowClick(TRowPage::Block, 3); }
    void Button19Click() { ValueRowClick(ValueOp::Increment, 0); }
    void Button23Click() { ValueRowClick(ValueOp::Increment, 1); }
    void Button21Click() { ValueRowClick(ValueOp::Increment, 2); }
    void Button17Click() { ValueRowClick(ValueOp::Increment, 3); }
    void Button25Click() { ValueRowClick(ValueOp::Decrement, 0); }
    void Button26Click() { ValueRowClick(ValueOp::Decrement, 1); }
    void Button27Click() { ValueRowClick(ValueOp::Decrement, 2); }
    void Button28Click() { ValueRowClick(ValueOp::Decrement, 3); }
    void Button29Click() { InitRowClick(TRowPage::Block, 0); }
    void Button30Click() { InitRowClick(TRowPage::Block, 1); }
    void Button31Click() { InitRowClick(TRowPage::Block, 2); }
    void Button32Click() { InitRowClick(TRowPage::Block, 3); }
    void BtnDownKeysClick();
    void BtnChangeKeyClick();

    // The frame and the eight pages of the reader's own operations.
    void BuildUi(); // MainForm.cpp
    void BuildTabs(QVBoxLayout* Client);
    void BuildLog(QVBoxLayout* Client, const QFont& FormFont);
    void BuildStatusBar();
    void WireFrame();
    void CreateComponents(); // the session and the records
    // The "Card" page, on the session: the ninth tab.
    void AddCardPage(); // MainForm.cpp

    // What the session reports (MainFormLink.cpp, EnduranceTests.cpp).
    void LinkStateChanged(const QString& Text) override;
    void OperationStateChanged(bool Running) override;
    void CardFound(const TCardId& Card) override;
    void CardTypeFound(uint8_t Type) override;
    void SerialFound(const TSerial& Serial) override;
    void PortOpenFailed(const QString& ComName, const QString& Reason, const QString& Detail) override;
    void ReaderSilent(const QString& ComName, const QString& Words) override;
    void LoopStarted(TLoopKind Kind) override;
    void LoopTime(qint64 ElapsedSeconds) override;
    void LoopCounted(TLoopCounter Counter, int32_t Value) override;
    void LoopReadData(const QString& Hex) override;
    void LoopWriteData(const QString& Hex) override;
    void LoopEnded(TLoopKind Kind) override;
    void CloseReady() override;

    // A record that cannot be written: once on standard error, and in the
    // hint panel.
    void RecordWarning(const QString& Warning);
    // Why the port is not linked, in panel 0 until a link works.
    void ShowPortProblem(const QString& Words);

    TFormDialogs FRealDialogs;
    TFormDialogs* FDialogs = &FRealDialogs;
    std::unique_ptr<TLinkSession> FSession;
    // The journal and the loop runs' reports, kept from the session's events.
    std::unique_ptr<TSessionRecorder> FRecords;
    // Where panel 0's records link and "Open folder" lead.
    QString FRecordsFolder;
    // The words on the port panel 0 shows, cleared by the next link.
    QString FPortProblem;
    bool FShown = false;
    // The long time format the running loop test shows its time in.
    QString FLoopTimeFormat;
};
