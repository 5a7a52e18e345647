#include "widgets/CardView.h"

#include "widgets/CardBytesDelegate.h"
#include "widgets/CardLook.h"

#include <QAction>
#include <QCloseEvent>
#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTableWidget>
#include <QTimer>
#include <QUndoStack>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace {

// The meaning column keeps at least this many average characters.
constexpr int MeaningChars = 22;

QTableWidget* NewTable(const char* Name, const QStringList& Headers, QWidget* Parent)
{
    auto* table = new QTableWidget(0, int(Headers.size()), Parent);
    table->setObjectName(QLatin1String(Name));
    table->setHorizontalHeaderLabels(Headers);
    table->verticalHeader()->setVisible(false);
    table->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    table->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    // A long meaning or result wraps within its column; its tooltip has it whole.
    table->setWordWrap(true);
    table->horizontalHeader()->setStretchLastSection(true);
    return table;
}

// The item at Row, Column, made when missing; not editable unless told.
QTableWidgetItem* Cell(QTableWidget* Table, int Row, int Column)
{
    QTableWidgetItem* item = Table->item(Row, Column);
    if (!item) {
        item = new QTableWidgetItem;
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        Table->setItem(Row, Column, item);
    }
    return item;
}

} // namespace

// An edit of one block's digits, on the undo stack.
class TCardView::TEdit : public QUndoCommand {
public:
    TEdit(TCardView* View, int Block, QString Before, QString After)
        : QUndoCommand(QStringLiteral("edit of block %1").arg(Block))
        , FView(View)
        , FBlock(Block)
        , FBefore(std::move(Before))
        , FAfter(std::move(After))
    {
    }
    void redo() override { FView->Apply(FBlock, FAfter); }
    void undo() override { FView->Apply(FBlock, FBefore); }

private:
    TCardView* FView;
    int FBlock;
    QString FBefore;
    QString FAfter;
};

TCardView::TCardView(QWidget* Parent)
    : QWidget(Parent)
{
    auto* layout = new QVBoxLayout(this);
    BuildLabels(layout);
    BuildUndoTools(layout);
    BuildDiffTools();
    BuildTables(layout);
    ConnectTables();
    Restyle();
}

void TCardView::BuildLabels(QVBoxLayout* Layout)
{
    FSummary = new QLabel(this);
    FSummary->setObjectName(QStringLiteral("CardSummary"));
    FSummary->setWordWrap(true);
    FSummary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    Layout->addWidget(FSummary);

    FResult = new QLabel(this);
    FResult->setObjectName(QStringLiteral("CardViewResult"));
    FResult->setWordWrap(true);
    FResult->setTextInteractionFlags(Qt::TextSelectableByMouse);
    FResult->hide();
    Layout->addWidget(FResult);

    FLegend = new QLabel(this);
    FLegend->setObjectName(QStringLiteral("CardLegend"));
    FLegend->setWordWrap(true);
    FLegend->setTextFormat(Qt::RichText);
    Layout->addWidget(FLegend);
}

void TCardView::BuildUndoTools(QVBoxLayout* Layout)
{
    FUndo = new QUndoStack(this);
    FTools = new QHBoxLayout;
    FTools->setSpacing(6);
    FTools->addStretch(1);
    FUndoButton = new QPushButton(QStringLiteral("Undo"), this);
    FUndoButton->setObjectName(QStringLiteral("CardUndo"));
    FUndoButton->setToolTip(QStringLiteral("Undo the last edit (Ctrl+Z)"));
    FRedoButton = new QPushButton(QStringLiteral("Redo"), this);
    FRedoButton->setObjectName(QStringLiteral("CardRedo"));
    FRedoButton->setToolTip(QStringLiteral("Redo the edit undone last (Ctrl+Shift+Z)"));
    FUndoButton->setEnabled(false);
    FRedoButton->setEnabled(false);
    FTools->addWidget(FUndoButton);
    FTools->addWidget(FRedoButton);
    Layout->addLayout(FTools);
    connect(FUndoButton, &QPushButton::clicked, FUndo, &QUndoStack::undo);
    connect(FRedoButton, &QPushButton::clicked, FUndo, &QUndoStack::redo);
    connect(FUndo, &QUndoStack::canUndoChanged, FUndoButton, &QWidget::setEnabled);
    connect(FUndo, &QUndoStack::canRedoChanged, FRedoButton, &QWidget::setEnabled);
    // Ctrl+Z anywhere in the window; an open editor takes it for its own typing.
    QAction* undo = FUndo->createUndoAction(this);
    undo->setShortcut(QKeySequence::Undo);
    undo->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    addAction(undo);
    QAction* redo = FUndo->createRedoAction(this);
    redo->setShortcut(QKeySequence::Redo);
    redo->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    addAction(redo);
}

void TCardView::BuildDiffTools()
{
    // At the left of the row of tools, before the feeder's.
    const auto newButton = [this](const char* Name, const QString& Caption, const QKeySequence& Key, int Step) {
        auto* button = new QPushButton(Caption, this);
        button->setObjectName(QLatin1String(Name));
        button->setToolTip(QStringLiteral("The %1 block that differs from the dump (%2)")
                               .arg(Step > 0 ? QStringLiteral("next") : QStringLiteral("previous"), Key.toString(QKeySequence::NativeText)));
        button->setEnabled(false);
        connect(button, &QPushButton::clicked, this, [this, Step] { GoToDifference(Step); });
        auto* action = new QAction(this);
        action->setShortcut(Key);
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        connect(action, &QAction::triggered, this, [this, Step] { GoToDifference(Step); });
        addAction(action);
        return button;
    };
    FPrevDiff = newButton("CardViewPrevDiff", QStringLiteral("Previous difference"), QKeySequence(Qt::SHIFT | Qt::Key_F8), -1);
    FNextDiff = newButton("CardViewNextDiff", QStringLiteral("Next difference"), QKeySequence(Qt::Key_F8), 1);
    FTools->insertWidget(0, FPrevDiff);
    FTools->insertWidget(1, FNextDiff);
}

void TCardView::BuildTables(QVBoxLayout* Layout)
{
    FSplit = new QSplitter(Qt::Horizontal, this);
    FSplit->setObjectName(QStringLiteral("CardSplitter"));
    FSplit->setChildrenCollapsible(false);
    FBlocks = NewTable("CardBlocks",
        {QStringLiteral("Sector"), QStringLiteral("Block"), QStringLiteral("\u2260"), QStringLiteral("Bytes"),
            QStringLiteral("ASCII"), QStringLiteral("Meaning")},
        FSplit);
    FBlocks->horizontalHeaderItem(MarkColumn)->setToolTip(QStringLiteral("Marked where the block differs from the dump"));
    FBlocks->horizontalHeaderItem(AsciiColumn)->setToolTip(QStringLiteral("The bytes as characters; '.' for any other byte"));
    FKeys = NewTable("CardKeys",
        {QStringLiteral("Sector"), QStringLiteral("Key A"), QStringLiteral("Key B"), QStringLiteral("Result")}, FSplit);
    FKeys->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FSplit->addWidget(FBlocks);
    FSplit->addWidget(FKeys);
    FSplit->setStretchFactor(0, 3);
    FSplit->setStretchFactor(1, 1);
    Layout->addWidget(FSplit, 1);
}

void TCardView::ConnectTables()
{
    FDelegate = new TCardBytesDelegate({this, &FRows, MarkColumn, [this](int Row, const QString& Text) { Typed(Row, Text); },
        [this](int Row, const QString& Digits) { Taken(Row, Digits); }});
    FBlocks->setItemDelegateForColumn(MarkColumn, FDelegate);
    FBlocks->setItemDelegateForColumn(DataColumn, FDelegate);
    // An editor closed without its digits taken: the meaning as it was.
    connect(FDelegate, &QAbstractItemDelegate::closeEditor, this, [this] {
        for (int row = 0; row < int(FRows.size()); ++row)
            ShowRow(row);
    });
    connect(FBlocks, &QTableWidget::currentCellChanged, this,
        [this](int Row) { emit CurrentBlockChanged(Row >= 0 && Row < int(FRows.size()) ? FRows[size_t(Row)].Block : -1); });
    // Wrapped meanings take the height a new width gives them.
    auto* rowHeights = new QTimer(this);
    rowHeights->setSingleShot(true);
    rowHeights->setInterval(0);
    connect(rowHeights, &QTimer::timeout, FBlocks, &QTableView::resizeRowsToContents);
    connect(FBlocks->horizontalHeader(), &QHeaderView::sectionResized, rowHeights, qOverload<>(&QTimer::start));
}

TCardView::~TCardView()
{
    // The stack's commands point back at the view.
    FUndo->disconnect(this);
    FUndo->clear();
    // The tables go first: closing the widget lays them out once more, and
    // their delegate reads this view's rows, which its members hold.
    delete FSplit;
    FSplit = nullptr;
    FBlocks = nullptr;
    FKeys = nullptr;
}

QSize TCardView::sizeHint() const
{
    const QMargins margins = contentsMargins() + layout()->contentsMargins();
    return {ContentWidth(FBlocks) + FSplit->handleWidth() + ContentWidth(FKeys) + margins.left() + margins.right(),
        QWidget::sizeHint().height()};
}

// The width that shows every column of Table whole, with its scroll bar.
int TCardView::ContentWidth(const QTableWidget* Table)
{
    int width = 2 * Table->frameWidth() + Table->verticalScrollBar()->sizeHint().width();
    // Not columnWidth(): the last column stretches to whatever is left.
    // (QTableView hides its override; the view's public one dispatches to it.)
    const QAbstractItemView* view = Table;
    for (int column = 0; column < Table->columnCount(); ++column)
        width += std::max(view->sizeHintForColumn(column), Table->horizontalHeader()->sectionSizeHint(column));
    return width;
}

int TCardView::NarrowBlocksWidth() const
{
    int width = 2 * FBlocks->frameWidth() + FBlocks->verticalScrollBar()->sizeHint().width();
    const QAbstractItemView* view = FBlocks;
    for (int column = 0; column < MeaningColumn; ++column)
        width += std::max(view->sizeHintForColumn(column), FBlocks->horizontalHeader()->sectionSizeHint(column));
    return width + MeaningChars * FBlocks->fontMetrics().averageCharWidth();
}

QFont TCardView::DigitsFont() const { return CardDigitsFont(font()); }

QString TCardView::Pairs(const QString& Digits) { return BlockDigitPairs(Digits); }

QString TCardView::PlainDigits(const QString& Text) { return PlainBlockDigits(Text); }

void TCardView::SetDescriber(TDescriber Describer) { FDescriber = std::move(Describer); }

void TCardView::SetCloseGuard(std::function<bool()> MayClose) { FCloseGuard = std::move(MayClose); }

void TCardView::closeEvent(QCloseEvent* Event)
{
    if (FCloseGuard && !FCloseGuard()) {
        Event->ignore();
        return;
    }
    QWidget::closeEvent(Event);
}

bool TCardView::GoToDifference(int Step)
{
    const int count = int(FRows.size());
    const int from = FBlocks->currentRow();
    // From no row, the first step lands on the first or the last row.
    const int start = from >= 0 ? from : (Step > 0 ? -1 : count);
    for (int i = 1; i <= count; ++i) {
        const int row = ((start + Step * i) % count + count) % count;
        if (FRows[size_t(row)].Differs()) {
            FBlocks->setCurrentCell(row, DataColumn);
            FBlocks->scrollToItem(FBlocks->item(row, DataColumn));
            return true;
        }
    }
    return false;
}

int TCardView::RowOf(int Block) const
{
    for (size_t row = 0; row < FRows.size(); ++row)
        if (FRows[row].Block == Block)
            return int(row);
    return -1;
}

QString TCardView::Digits(int Block) const
{
    const int row = RowOf(Block);
    return row < 0 ? QString() : FRows[size_t(row)].Digits;
}

int TCardView::CurrentBlock() const
{
    const int row = FBlocks->currentRow();
    return row >= 0 && row < int(FRows.size()) ? FRows[size_t(row)].Block : -1;
}

void TCardView::AddTool(QWidget* Tool)
{
    // Before the stretch that keeps Undo and Redo at the right.
    FTools->insertWidget(FTools->count() - 3, Tool);
}

bool TCardView::EditBlock(int Block, const QString& Digits)
{
    const QString digits = PlainDigits(Digits);
    const int row = RowOf(Block);
    if (digits.isEmpty() || row < 0)
        return false;
    if (digits != FRows[size_t(row)].Digits)
        FUndo->push(new TEdit(this, Block, FRows[size_t(row)].Digits, digits));
    return true;
}

void TCardView::Apply(int Block, const QString& Digits)
{
    const int row = RowOf(Block);
    if (row < 0)
        return;
    TCardViewBlock& shown = FRows[size_t(row)];
    shown.Digits = Digits;
    if (FDescriber) {
        const TCardViewBlock described = FDescriber(Block, Digits);
        shown.Kind = described.Kind;
        shown.Detail = described.Detail;
        shown.Roles = described.Roles;
    }
    ShowRow(row);
    UpdateDiffTools();
    // The feeder may answer with new data for every row.
    emit BlockEdited(Block, Digits);
}

void TCardView::Taken(int Row, const QString& Digits)
{
    if (!Digits.isEmpty() && Digits != FRows[size_t(Row)].Digits)
        EditBlock(FRows[size_t(Row)].Block, Digits);
    else
        ShowRow(Row);
}

void TCardView::Typed(int Row, const QString& Text)
{
    if (Row >= int(FRows.size()))
        return;
    QTableWidgetItem* meaning = Cell(FBlocks, Row, MeaningColumn);
    const QString digits = PlainDigits(Text);
    Cell(FBlocks, Row, AsciiColumn)->setText(BlockAsciiText(digits.isEmpty() ? FRows[size_t(Row)].Digits : digits));
    if (digits.isEmpty()) {
        const auto count = std::count_if(Text.begin(), Text.end(), [](QChar C) { return C != QLatin1Char(' '); });
        meaning->setText(QStringLiteral("%1 of 32 digits").arg(count));
        meaning->setToolTip(QString());
        return;
    }
    if (!FDescriber)
        return;
    const TCardViewBlock described = FDescriber(FRows[size_t(Row)].Block, digits);
    meaning->setText(described.Kind);
    meaning->setToolTip(described.Detail.isEmpty() ? described.Kind : described.Kind + QLatin1Char('\n') + described.Detail);
}

void TCardView::ShowRow(int Row)
{
    const TCardViewBlock& block = FRows[size_t(Row)];
    const bool differs = block.Differs();
    QTableWidgetItem* sector = Cell(FBlocks, Row, SectorColumn);
    sector->setText(QString::number(block.Sector));
    sector->setTextAlignment(Qt::AlignCenter);
    QTableWidgetItem* number = Cell(FBlocks, Row, BlockColumn);
    number->setText(QString::number(block.Block));
    QFont face = FBlocks->font();
    face.setBold(differs);
    number->setFont(face);
    QTableWidgetItem* mark = Cell(FBlocks, Row, MarkColumn);
    mark->setText(differs ? QStringLiteral("\u2260") : QString());
    QTableWidgetItem* bytes = Cell(FBlocks, Row, DataColumn);
    bytes->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable);
    bytes->setText(Pairs(block.Digits));
    QString tip = QStringLiteral("card: ") + Pairs(block.Digits);
    if (!block.DumpDigits.isEmpty())
        tip += QStringLiteral("\ndump: ") + Pairs(block.DumpDigits);
    if (differs)
        tip += QLatin1Char('\n') + DifferingBytesText(block.DiffBytes());
    tip += QStringLiteral("\nDouble-click or F2 to edit");
    bytes->setToolTip(tip);
    QTableWidgetItem* ascii = Cell(FBlocks, Row, AsciiColumn);
    ascii->setText(BlockAsciiText(block.Digits));
    ascii->setFont(DigitsFont());
    ascii->setToolTip(block.DumpDigits.isEmpty() ? QString() : QStringLiteral("dump: ") + BlockAsciiText(block.DumpDigits));
    mark->setToolTip(differs ? DifferingBytesText(block.DiffBytes()) + QStringLiteral(" from the dump's") : QString());
    QTableWidgetItem* meaning = Cell(FBlocks, Row, MeaningColumn);
    meaning->setText(block.Kind);
    // The meaning in full, should its column be too narrow, and the detail.
    meaning->setToolTip(block.Detail.isEmpty() ? block.Kind : block.Kind + QLatin1Char('\n') + block.Detail);
}

void TCardView::SetData(const TCardViewData& Data)
{
    FSummary->setText(Data.Summary);
    FResult->setText(Data.Result);
    FResult->setVisible(!Data.Result.isEmpty());
    FRows = Data.Blocks;
    FBlocks->setRowCount(int(FRows.size()));
    FBlocks->clearSpans();
    for (int row = 0; row < int(FRows.size()); ++row) {
        ShowRow(row);
        // One sector cell for its run of rows.
        if (row == 0 || FRows[size_t(row - 1)].Sector != FRows[size_t(row)].Sector) {
            int end = row + 1;
            while (end < int(FRows.size()) && FRows[size_t(end)].Sector == FRows[size_t(row)].Sector)
                ++end;
            if (end - row > 1)
                FBlocks->setSpan(row, SectorColumn, end - row, 1);
        }
    }

    FKeys->setRowCount(int(Data.Sectors.size()));
    for (int row = 0; row < int(Data.Sectors.size()); ++row) {
        const TCardViewSector& sector = Data.Sectors[size_t(row)];
        Cell(FKeys, row, 0)->setText(QString::number(sector.Sector));
        Cell(FKeys, row, 1)->setText(sector.KeyA);
        Cell(FKeys, row, 2)->setText(sector.KeyB);
        Cell(FKeys, row, 3)->setText(sector.Result);
        Cell(FKeys, row, 3)->setToolTip(sector.Result);
    }
    Restyle();
    // Every column but the last as wide as it needs; the last takes the rest.
    for (QTableWidget* table : {FBlocks, FKeys})
        for (int column = 0; column + 1 < table->columnCount(); ++column)
            table->resizeColumnToContents(column);
    FBlocks->resizeRowsToContents();
    UpdateDiffTools();
    Reflow();
}

void TCardView::UpdateDiffTools()
{
    const bool any = std::any_of(FRows.begin(), FRows.end(), [](const TCardViewBlock& Row) { return Row.Differs(); });
    FPrevDiff->setEnabled(any);
    FNextDiff->setEnabled(any);
}

QColor TCardView::DifferenceColour() const { return CardDifferenceColour(palette()); }

QColor TCardView::PartColour(TByteRole Role) const { return CardPartColour(palette(), Role); }

void TCardView::changeEvent(QEvent* Event)
{
    QWidget::changeEvent(Event);
    if (Event->type() == QEvent::PaletteChange || Event->type() == QEvent::FontChange)
        Restyle();
}

void TCardView::resizeEvent(QResizeEvent* Event)
{
    QWidget::resizeEvent(Event);
    Reflow();
}

void TCardView::Reflow()
{
    if (FRows.empty())
        return;
    const QMargins margins = contentsMargins() + layout()->contentsMargins();
    const int both = NarrowBlocksWidth() + FSplit->handleWidth() + ContentWidth(FKeys) + margins.left() + margins.right();
    const Qt::Orientation wanted = width() >= both ? Qt::Horizontal : Qt::Vertical;
    if (FFitted && FSplit->orientation() == wanted)
        return;
    FFitted = true;
    FSplit->setOrientation(wanted);
    // Shared out as the tables need it; later the operator's sizes stay.
    if (wanted == Qt::Horizontal) {
        const int keys = ContentWidth(FKeys);
        FSplit->setSizes({std::max(FSplit->width() - keys, NarrowBlocksWidth()), keys});
    } else {
        const int height = std::max(FSplit->height(), 400);
        FSplit->setSizes({height * 2 / 3, height / 3});
    }
}

void TCardView::Restyle()
{
    const QFont digits = DigitsFont();
    for (int row = 0; row < FKeys->rowCount(); ++row) {
        Cell(FKeys, row, 1)->setFont(digits);
        Cell(FKeys, row, 2)->setFont(digits);
    }
    const auto swatch = [](const QColor& Colour, const QString& Text) {
        return QStringLiteral("<span style=\"background-color:%1\">&nbsp;%2&nbsp;</span>").arg(Colour.name(), Text);
    };
    FLegend->setText(swatch(PartColour(TByteRole::KeyA), QStringLiteral("key A")) + QStringLiteral(" ")
        + swatch(PartColour(TByteRole::Access), QStringLiteral("access bits")) + QStringLiteral(" ")
        + swatch(PartColour(TByteRole::Spare), QStringLiteral("spare byte (GPB)")) + QStringLiteral(" ")
        + swatch(PartColour(TByteRole::KeyB), QStringLiteral("key B")) + QStringLiteral("&nbsp;&nbsp; ")
        + swatch(DifferenceColour(), QStringLiteral("<b><u>\u2260 differs from the dump</u></b>"))
        + QStringLiteral("&nbsp;&nbsp; <span style=\"color:%1\">--</span> unknown")
              .arg(palette().color(QPalette::PlaceholderText).name()));
    FBlocks->viewport()->update();
}
