#include "app/BatchWindow.h"

#include "app/FormDialogs.h"
#include "records/Ledger.h"
#include "session/CardWords.h"
#include "session/LinkSession.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QSysInfo>
#include <QTime>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr int LastCards = 10;
// While a data file's rows are stored, the window repaints every so many.
constexpr int RowsARepaint = 2000;
const QString BoxCaption = QStringLiteral("Message");

std::string FileName(const QString& Path) { return QFile::encodeName(Path).toStdString(); }

QLineEdit* PathEdit(const char* Name, const QString& Placeholder, QWidget* Parent)
{
    auto* edit = new QLineEdit(Parent);
    edit->setObjectName(QLatin1String(Name));
    edit->setPlaceholderText(Placeholder);
    return edit;
}

} // namespace

TBatchWindow::TBatchWindow(TBatchHost Host, QWidget* Parent)
    : QWidget(Parent, Qt::Window)
    , FHost(std::move(Host))
{
    setObjectName(QStringLiteral("BatchWindow"));
    setWindowTitle(QStringLiteral("Orvelle - Batch"));
    auto* layout = new QVBoxLayout(this);
    BuildFiles(layout);
    BuildLine(layout);
    BuildButtons(layout);
    BuildStatus(layout);
    BuildCounters(layout);

    SetStatus(QStringLiteral("Choose a template, then Start"), TTone::Idle);
    ShowCounters({});
    UpdateControls();
    resize(560, 520);
}

void TBatchWindow::BuildFiles(QVBoxLayout* Layout)
{
    auto* files = new QFormLayout;
    FTemplate = PathEdit("BatchTemplate", QStringLiteral("the card dump every card gets"), this);
    FData = PathEdit("BatchData", QStringLiteral("CSV, a row a card (optional)"), this);
    FLedgerEdit = PathEdit("BatchLedger", QStringLiteral("default: %1").arg(DefaultLedgerFile()), this);
    const auto browse = [this](QLineEdit* Edit, const char* Name, const QString& Caption, const QString& Filter) {
        auto* row = new QHBoxLayout;
        auto* button = new QPushButton(QStringLiteral("..."), this);
        button->setObjectName(QLatin1String(Name));
        connect(button, &QPushButton::clicked, this, [this, Edit, Caption, Filter] {
            const QString path = FHost.Dialogs().OpenFileName(this, Caption, Filter);
            if (!path.isEmpty())
                Edit->setText(path);
        });
        row->addWidget(Edit, 1);
        row->addWidget(button);
        return row;
    };
    files->addRow(QStringLiteral("Template:"),
        browse(FTemplate, "BatchBrowseTemplate", QStringLiteral("Template"), QStringLiteral("Card dumps (*.txt *.bin *.mfd *.raw *.dump *.eml *.json);;All files (*)")));
    files->addRow(QStringLiteral("Data:"),
        browse(FData, "BatchBrowseData", QStringLiteral("Data"), QStringLiteral("CSV files (*.csv);;All files (*)")));
    files->addRow(QStringLiteral("Ledger:"), FLedgerEdit);
    Layout->addLayout(files);
    FTrailers = new QCheckBox(QStringLiteral("Write the template's trailers too"), this);
    FTrailers->setObjectName(QStringLiteral("BatchTrailers"));
    Layout->addWidget(FTrailers);
    FLabelsOnly = new QCheckBox(QStringLiteral("The data file holds labels only: every card gets the template as it is"), this);
    FLabelsOnly->setObjectName(QStringLiteral("CbLabelsOnly"));
    Layout->addWidget(FLabelsOnly);
}

void TBatchWindow::BuildLine(QVBoxLayout* Layout)
{
    auto* line = new QFormLayout;
    FStation = PathEdit("BatchStation", QStringLiteral("default: %1:PORT").arg(QSysInfo::machineHostName()), this);
    FOperator = PathEdit("BatchOperator", QStringLiteral("who works this station"), this);
    FOperator->setText(LoginName());
    FName = PathEdit("BatchName", QStringLiteral("default: the data file's name, else the template's"), this);
    FCount = new QSpinBox(this);
    FCount->setObjectName(QStringLiteral("BatchCount"));
    FCount->setRange(0, 1000000);
    FCount->setSpecialValueText(QStringLiteral("no limit"));
    line->addRow(QStringLiteral("Station:"), FStation);
    line->addRow(QStringLiteral("Operator:"), FOperator);
    line->addRow(QStringLiteral("Batch:"), FName);
    line->addRow(QStringLiteral("Cards:"), FCount);
    Layout->addLayout(line);
    FAgain = new QCheckBox(QStringLiteral("Prepare cards again (rewrite cards done before)"), this);
    FAgain->setObjectName(QStringLiteral("BatchAgain"));
    Layout->addWidget(FAgain);
}

void TBatchWindow::BuildButtons(QVBoxLayout* Layout)
{
    auto* buttons = new QHBoxLayout;
    FStart = new QPushButton(QStringLiteral("Start"), this);
    FStart->setObjectName(QStringLiteral("BatchStart"));
    FStop = new QPushButton(QStringLiteral("Stop"), this);
    FStop->setObjectName(QStringLiteral("BatchStop"));
    buttons->addWidget(FStart);
    buttons->addWidget(FStop);
    buttons->addStretch(1);
    Layout->addLayout(buttons);
    connect(FStart, &QPushButton::clicked, this, &TBatchWindow::StartClick);
    connect(FStop, &QPushButton::clicked, this, &TBatchWindow::StopClick);
}

void TBatchWindow::BuildStatus(QVBoxLayout* Layout)
{
    // Read from a step away: large, and its state in words as well as colour.
    FStatus = new QLabel(this);
    FStatus->setObjectName(QStringLiteral("BatchStatus"));
    FStatus->setAlignment(Qt::AlignCenter);
    FStatus->setWordWrap(true);
    FStatus->setAutoFillBackground(true);
    FStatus->setMinimumHeight(96);
    QFont big = FStatus->font();
    big.setPointSizeF(big.pointSizeF() > 0 ? big.pointSizeF() * 2.2 : 22);
    big.setBold(true);
    FStatus->setFont(big);
    Layout->addWidget(FStatus);
    FDetail = new QLabel(this);
    FDetail->setObjectName(QStringLiteral("BatchDetail"));
    FDetail->setWordWrap(true);
    FDetail->setTextInteractionFlags(Qt::TextSelectableByMouse);
    Layout->addWidget(FDetail);
    FWho = new QLabel(this);
    FWho->setObjectName(QStringLiteral("BatchWho"));
    Layout->addWidget(FWho);
    FAfterEnd = new QTimer(this);
    FAfterEnd->setInterval(300);
    connect(FAfterEnd, &QTimer::timeout, this, &TBatchWindow::WatchAfterEnd);
}

void TBatchWindow::BuildCounters(QVBoxLayout* Layout)
{
    FCounters = new QLabel(this);
    FCounters->setObjectName(QStringLiteral("BatchCounters"));
    Layout->addWidget(FCounters);
    FLast = new QListWidget(this);
    FLast->setObjectName(QStringLiteral("BatchLastCards"));
    Layout->addWidget(FLast, 1);
}

TBatchWindow::~TBatchWindow()
{
    if (FJob)
        FJob->Stop();
}

QString TBatchWindow::Status() const { return FStatus->text(); }
QString TBatchWindow::Detail() const { return FDetail->text(); }

void TBatchWindow::SetStatus(const QString& Text, TTone Tone, const QString& Detail)
{
    FStatus->setText(Text);
    FDetail->setText(Detail);
    // The window's own palette gives idle and busy; done and failed are
    // green and red whatever the theme, each with text that stays legible.
    QPalette palette = this->palette();
    QColor back = palette.color(QPalette::Window);
    QColor text = palette.color(QPalette::WindowText);
    switch (Tone) {
    case TTone::Idle:
        break;
    case TTone::Busy:
        back = palette.color(QPalette::Highlight);
        text = palette.color(QPalette::HighlightedText);
        break;
    case TTone::Good:
        back = QColor(0x1b, 0x5e, 0x20);
        text = Qt::white;
        break;
    case TTone::Notice:
        back = QColor(0xff, 0xb3, 0x00);
        text = Qt::black;
        break;
    case TTone::Bad:
        back = QColor(0xb7, 0x1c, 0x1c);
        text = Qt::white;
        break;
    }
    palette.setColor(QPalette::Window, back);
    palette.setColor(QPalette::WindowText, text);
    FStatus->setPalette(palette);
}

void TBatchWindow::UpdateControls()
{
    for (QWidget* control : std::initializer_list<QWidget*>{FTemplate, FData, FLedgerEdit, FTrailers, FLabelsOnly, FStation, FOperator, FName,
             FCount, FAgain, FStart})
        control->setEnabled(!FRunning && !FStarting);
    FStop->setEnabled(FRunning || FStartWaiting);
}

void TBatchWindow::ShowCounters(const TBatchCounters& Counters)
{
    const qint64 minutes = FStartedMs > 0 ? SteadyMs(FHost.Session.Steady()) - FStartedMs : 0;
    const double rate = minutes > 0 ? double(Counters.Done + Counters.Failed) * 60000.0 / double(minutes) : 0.0;
    FCounters->setText(QStringLiteral("Done %1    Failed %2    Already prepared %3    Rows left %4    Cards a minute %5")
                           .arg(Counters.Done)
                           .arg(Counters.Failed)
                           .arg(Counters.AlreadyPrepared)
                           .arg(Counters.RowsLeft ? QString::number(*Counters.RowsLeft) : QStringLiteral("-"))
                           .arg(rate, 0, 'f', 1));
}

void TBatchWindow::Refuse(const QString& Text) { FHost.Dialogs().MessageBox(this, Text, BoxCaption, TLinkSession::MessageFlags); }

bool TBatchWindow::Prepare()
{
    const QString templatePath = FTemplate->text().trimmed();
    const QString dataPath = FData->text().trimmed();
    if (!ReadFiles(templatePath, dataPath))
        return false;
    std::string refused;
    const std::optional<TBatchPlan> plan = PlanBatch(FTemplateImage, FRows, FTrailers->isChecked(), refused);
    if (!plan) {
        Refuse(QString::fromStdString(refused));
        return false;
    }
    FPlan = plan->Lines;
    std::string error;
    const std::optional<TKeyList> keys = KeysToTry(FHost.KeySources(), &FTemplateImage, error);
    if (!keys) {
        Refuse(QFile::decodeName(error.c_str()));
        return false;
    }
    const QString operatorName = FOperator->text().trimmed();
    if (operatorName.isEmpty()) {
        Refuse(QStringLiteral("Say who works this station: the operator is kept with each card."));
        return false;
    }
    const TBatchStart start = BatchStartOf(FName->text().trimmed(), FileName(templatePath), FileName(dataPath), FRows);
    if (!StartInLedger(start))
        return false;
    const std::optional<TDumpImage> cardImage = CardImage();
    if (!cardImage)
        return false;
    FSettings = TBatchSettings{};
    FSettings.Batch = start.Name;
    FSettings.Station = FStation->text().trimmed();
    if (FSettings.Station.isEmpty())
        FSettings.Station = QSysInfo::machineHostName() + QLatin1Char(':') + QString::fromStdString(FHost.Session.PortName());
    FSettings.Operator = operatorName;
    FSettings.Count = FCount->value();
    FSettings.Again = FAgain->isChecked();
    FSettings.Keys = *keys;
    FSettings.Trailers = FTrailers->isChecked();
    FSettings.HasRows = FRows.has_value();
    FSettings.CardImage = CardImages(*cardImage, FRows);
    return true;
}

bool TBatchWindow::ReadFiles(const QString& TemplatePath, const QString& DataPath)
{
    if (TemplatePath.isEmpty()) {
        Refuse(QStringLiteral("Choose the template: the card dump every card gets."));
        return false;
    }
    TFileError fileError;
    const std::optional<TDumpImage> image = ReadDumpFile(FileName(TemplatePath), fileError);
    if (!image) {
        Refuse(QFile::decodeName(fileError.Text().c_str()));
        return false;
    }
    FTemplateImage = *image;
    FRows.reset();
    if (!DataPath.isEmpty()) {
        FRows = ReadDataFile(FileName(DataPath), fileError, {{}, FLabelsOnly->isChecked()});
        if (!FRows) {
            Refuse(QFile::decodeName(fileError.Text().c_str()));
            return false;
        }
    }
    return true;
}

bool TBatchWindow::StartInLedger(const TBatchStart& Start)
{
    QString why;
    FLedger = TLedger::Open(FLedgerEdit->text().trimmed(), QStringLiteral("orvelle-batch-window"), why);
    if (!FLedger) {
        Refuse(QStringLiteral("The ledger cannot be opened: %1").arg(why));
        return false;
    }
    // The start runs on this thread, as the whole batch does: while it
    // stores the rows or waits for another station, the window repaints,
    // and only Stop is taken while it waits.
    FLedger->OnStartWaiting([this](const QString& Why) {
        FHost.Log(Why);
        FStartWaiting = true;
        SetStatus(Why, TTone::Notice);
        UpdateControls();
    });
    FLedger->OnStartPause([this](int Ms) {
        QEventLoop loop;
        QTimer::singleShot(Ms, &loop, &QEventLoop::quit);
        // Closing the window or the program ends the wait too.
        const auto goOn = [this] { return !FStartStopped && isVisible() && !FHost.Session.CloseRequested(); };
        if (goOn())
            loop.exec();
        FStartGivenUp = !goOn();
        return !FStartGivenUp;
    });
    TBatchStart start = Start;
    if (Start.Rows) {
        start.Rows = [this, rows = Start.Rows](const TRowSink& Take, QString& Fault) {
            int given = 0;
            return rows(
                [&](const QStringList& Cells) {
                    if (!Take(Cells))
                        return false;
                    // No input: a click now could begin what the start is in the middle of.
                    if (++given % RowsARepaint == 0) {
                        SetStatus(QStringLiteral("Storing the batch's rows: %1").arg(given), TTone::Busy);
                        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
                    }
                    return true;
                },
                Fault);
        };
    }
    const QString statusBefore = FStatus->text();
    const QString detailBefore = FDetail->text();
    const QPalette paletteBefore = FStatus->palette();
    FStarting = true;
    FStartWaiting = false;
    FStartStopped = false;
    FStartGivenUp = false;
    UpdateControls();
    const bool started = FLedger->StartBatch(start);
    const bool stopped = FStartStopped;
    FStarting = false;
    FStartWaiting = false;
    FStartStopped = false;
    UpdateControls();
    if (started) {
        if (!stopped)
            return true;
        // Stop pressed as the start went through: no card is taken.
        SetStatus(QStringLiteral("Stopped"), TTone::Idle);
        return false;
    }
    if (FStartGivenUp) {
        // The operator's own choice: said, not asked to be confirmed.
        FHost.Log(FLedger->Error());
        SetStatus(QStringLiteral("Stopped"), TTone::Idle, FLedger->Error());
        return false;
    }
    FStatus->setText(statusBefore);
    FDetail->setText(detailBefore);
    FStatus->setPalette(paletteBefore);
    Refuse(QStringLiteral("The batch cannot be started: %1").arg(FLedger->Error()));
    return false;
}

std::optional<TDumpImage> TBatchWindow::CardImage()
{
    if (!FTrailers->isChecked())
        return FTemplateImage;
    // Once for the batch, before the first card, in the dialog a card write
    // asks in: every trailer the template would write, none ticked at first.
    // One left unticked is written on no card.
    const std::vector<TTrailerChange> changes = TrailerChanges(FTemplateImage, TDumpImage{});
    std::vector<TTrailerChange> approved;
    if (!changes.empty()) {
        const std::optional<std::vector<TTrailerChange>> ticked = FHost.AskTrailers(changes);
        if (!ticked)
            return std::nullopt;
        approved = *ticked;
    }
    const auto isApproved = [&approved](const TTrailerChange& Change) {
        return std::any_of(approved.begin(), approved.end(), [&Change](const TTrailerChange& Approved) {
            return Approved.Sector == Change.Sector && Approved.Trailer == Change.Trailer;
        });
    };
    std::string trailerError;
    std::optional<TDumpImage> decided = DecideTrailers(FTemplateImage, isApproved, trailerError);
    if (!decided)
        Refuse(QString::fromStdString(trailerError));
    return decided;
}

void TBatchWindow::StartClick()
{
    if (FStarting)
        return;
    FAfterEnd->stop();
    FAfterEndCard.reset();
    if (FRunning || !Prepare())
        return;
    FRunning = true;
    FLast->clear();
    UpdateControls();
    FStartedMs = SteadyMs(FHost.Session.Steady());
    FJob = std::make_unique<TBatchJob>(FHost.Session, *FLedger, static_cast<TBatchEvents&>(*this));
    FHost.Log(QStringLiteral("Batch %1 started at station %2, operator %3").arg(FSettings.Batch, FSettings.Station, FSettings.Operator));
    FWho->setText(QStringLiteral("Station %1 \u00b7 operator %2 \u00b7 batch %3").arg(FSettings.Station, FSettings.Operator, FSettings.Batch));
    for (const std::string& line : FPlan)
        FHost.Log(QStringLiteral("Batch %1: %2").arg(FSettings.Batch, QString::fromStdString(line)));
    const TBatchEnd end = FJob->Run(FSettings);
    FRunning = false;
    UpdateControls();
    switch (end) {
    case TBatchEnd::LedgerFailed:
        // A card the ledger failed on shows its own headline; the reason
        // the batch stopped goes below it.
        if (FLastFailed)
            FDetail->setText(FJob->LedgerError());
        else
            SetStatus(QStringLiteral("FAILED: the ledger cannot be written \u2014 the batch stopped: check the ledger"), TTone::Bad,
                FJob->LedgerError());
        break;
    case TBatchEnd::Refused:
        SetStatus(QStringLiteral("Another operation is running: stop it first"), TTone::Bad);
        break;
    case TBatchEnd::RowsOut:
    case TBatchEnd::CountReached:
        SetStatus(QStringLiteral("Batch complete: %1 done, %2 failed").arg(FJob->Counters().Done).arg(FJob->Counters().Failed),
            TTone::Good, QStringLiteral("A card placed now is not written. Start begins the next batch."));
        FAfterEnd->start();
        break;
    case TBatchEnd::Stopped:
        // A failed last card stays in view until the next start.
        if (!FLastFailed)
            SetStatus(QStringLiteral("Stopped"), TTone::Idle);
        break;
    }
    FHost.Log(QStringLiteral("Batch %1 ended: %2 done, %3 failed, %4 already prepared")
                  .arg(FSettings.Batch)
                  .arg(FJob->Counters().Done)
                  .arg(FJob->Counters().Failed)
                  .arg(FJob->Counters().AlreadyPrepared));
}

void TBatchWindow::StopClick()
{
    if (FStarting)
        FStartStopped = true;
    else if (FJob)
        FJob->Stop();
}

void TBatchWindow::closeEvent(QCloseEvent* Event)
{
    FAfterEnd->stop();
    FAfterEndCard.reset();
    QWidget::closeEvent(Event);
}

void TBatchWindow::WatchAfterEnd()
{
    // A look between other work only: a card job or loop test has the reader.
    if (FRunning || FHost.Session.OperationRunning() || !FHost.Session.PortOpen())
        return;
    TOperationScope scope(FHost.Session);
    if (!scope)
        return;
    const std::optional<TCardId> card = FHost.Session.FindAnyCard();
    if (!card) {
        FAfterEndCard.reset();
        return;
    }
    if (FAfterEndCard == card->Serial)
        return;
    FAfterEndCard = card->Serial;
    for (int beep = 0; beep < 3; ++beep)
        FHost.Session.BeepReader();
    AddLine(QStringLiteral("%1 not written: batch %2 is complete").arg(QString::fromStdString(SerialText(card->Serial)), FSettings.Batch));
}

void TBatchWindow::AddLine(const QString& Line)
{
    FLast->insertItem(0, Line);
    while (FLast->count() > LastCards)
        delete FLast->takeItem(FLast->count() - 1);
    FHost.Log(QStringLiteral("Batch %1: %2").arg(FSettings.Batch, Line));
}

void TBatchWindow::CardInField(const TSerial& Serial)
{
    FHost.Log(QStringLiteral("Batch %1: card %2 is in the field: it will be prepared").arg(FSettings.Batch, QString::fromStdString(SerialText(Serial))));
}

void TBatchWindow::PlaceCard() { SetStatus(QStringLiteral("Place a card"), TTone::Idle); }

void TBatchWindow::ReaderGone()
{
    SetStatus(QStringLiteral("Reader gone \u2014 reconnecting"), TTone::Bad, QStringLiteral("Check the reader's cable and power."));
    FHost.Log(QStringLiteral("Batch %1: reader gone, reconnecting").arg(FSettings.Batch));
}

void TBatchWindow::ReaderBack() { FHost.Log(QStringLiteral("Batch %1: reader back").arg(FSettings.Batch)); }

void TBatchWindow::Writing(const TSerial& Serial, int Row)
{
    SetStatus(QStringLiteral("Writing %1 (row %2)\u2026").arg(QString::fromStdString(SerialText(Serial))).arg(Row), TTone::Busy);
}

void TBatchWindow::CardEnded(const TBatchCard& Card, const TBatchCounters& Counters)
{
    const QString serial = QString::fromStdString(SerialText(Card.Serial));
    const QString detail = QString::fromStdString(Card.Detail);
    QString line;
    FLastFailed = Card.Result == TBatchResult::Failed || Card.Result == TBatchResult::NotRecorded;
    switch (Card.Result) {
    case TBatchResult::Done:
        SetStatus(QStringLiteral("Done: take the card away"), TTone::Good);
        line = QStringLiteral("%1 row %2 done %3 s").arg(serial).arg(Card.Row).arg(double(Card.DurationMs) / 1000.0, 0, 'f', 1);
        break;
    case TBatchResult::AlreadyPrepared:
        // Not a failure: the card has its data already.
        SetStatus(QStringLiteral("Already prepared: row %1 at %2: take the card away").arg(Card.Row).arg(detail), TTone::Notice);
        line = QStringLiteral("%1 already prepared: row %2 at %3").arg(serial).arg(Card.Row).arg(detail);
        break;
    case TBatchResult::Failed:
    case TBatchResult::NotRecorded:
        SetStatus(QStringLiteral("FAILED: %1").arg(QString::fromStdString(Card.Headline)), TTone::Bad, detail);
        line = QStringLiteral("%1 row %2 %3: %4 (%5)")
                   .arg(serial)
                   .arg(Card.Row)
                   .arg(QLatin1String(BatchResultText(Card.Result)), QString::fromStdString(Card.Headline), detail);
        break;
    }
    ShowCounters(Counters);
    AddLine(line);
}

QString TBatchWindow::LedgerAddress() const { return FLedgerEdit->text().trimmed(); }
