#include "widgets/CardView.h"

#include <QAction>
#include <QEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTimer>
#include <QUndoStack>
#include <QVBoxLayout>
#include <QValidator>

#include <algorithm>
#include <cmath>

namespace {

constexpr int DigitCount = 2 * CardViewBlockBytes;
// Pixels around the lines of a cell the view paints itself.
constexpr int Margin = 4;
constexpr int Pad = 2;
// The meaning column keeps at least this many average characters.
constexpr int MeaningChars = 22;

// Fixed hues the tints lean towards; how far depends on the role. None of
// them is the palette's Highlight, so nothing reads as selected.
const QColor DifferenceHue(220, 40, 40);
const QColor KeyAHue(40, 170, 70);
const QColor AccessHue(230, 160, 0);
const QColor KeyBHue(0, 160, 170);
// How much of the hue a tint takes: parts lightly, differences boldly.
constexpr double PartShare = 0.22;
constexpr double DifferenceShare = 0.45;
constexpr double DarkDifferenceShare = 0.6;

QColor Blend(const QColor& From, const QColor& To, double Share)
{
    const auto mix = [Share](float A, float B) { return float(A * (1.0 - Share) + B * Share); };
    return QColor::fromRgbF(mix(From.redF(), To.redF()), mix(From.greenF(), To.greenF()),
        mix(From.blueF(), To.blueF()));
}

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

// Where each byte of a line starts, in character widths: a space between
// bytes, two where one part of the block ends and another begins.
struct TByteLayout {
    std::array<int, CardViewBlockBytes> Start{};
    int Chars = 0;
};

TByteLayout LayoutOf(const std::array<TByteRole, CardViewBlockBytes>& Roles)
{
    TByteLayout layout;
    int at = 0;
    for (int i = 0; i < CardViewBlockBytes; ++i) {
        if (i > 0)
            at += Roles[size_t(i)] == Roles[size_t(i - 1)] ? 1 : 2;
        layout.Start[size_t(i)] = at;
        at += 2;
    }
    layout.Chars = at;
    return layout;
}

bool Tinted(TByteRole Role)
{
    return Role == TByteRole::KeyA || Role == TByteRole::Access || Role == TByteRole::Spare || Role == TByteRole::KeyB;
}

// A block's digits being typed: taken (Enter) only when there are 32 of
// them; spaces may stand anywhere.
class TDigitsValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& Input, int& /*Position*/) const override
    {
        int digits = 0;
        for (const QChar c : Input) {
            if (c == QLatin1Char(' '))
                continue;
            if (TCardView::PlainDigits(QString(32, c)).isEmpty())
                return Invalid;
            ++digits;
        }
        return digits > DigitCount ? Invalid : digits == DigitCount ? Acceptable
                                                                    : Intermediate;
    }
};

// "byte 15 differs", "bytes 0, 15 differ".
QString DifferText(const std::array<bool, CardViewBlockBytes>& Bytes)
{
    QStringList list;
    for (int i = 0; i < CardViewBlockBytes; ++i)
        if (Bytes[size_t(i)])
            list << QString::number(i);
    return list.size() == 1 ? QStringLiteral("byte %1 differs").arg(list[0])
                            : QStringLiteral("bytes %1 differ").arg(list.join(QStringLiteral(", ")));
}

} // namespace

std::array<bool, CardViewBlockBytes> TCardViewBlock::DiffBytes() const
{
    std::array<bool, CardViewBlockBytes> differ{};
    if (Digits.size() != DigitCount || DumpDigits.size() != DigitCount)
        return differ;
    for (int i = 0; i < DigitCount; ++i) {
        const QChar card = Digits[i].toUpper();
        const QChar dump = DumpDigits[i].toUpper();
        if (card != QLatin1Char('-') && dump != QLatin1Char('-') && card != dump)
            differ[size_t(i / 2)] = true;
    }
    return differ;
}

bool TCardViewBlock::Differs() const
{
    const std::array<bool, CardViewBlockBytes> differ = DiffBytes();
    return std::find(differ.begin(), differ.end(), true) != differ.end();
}

// ------------------------------------------------------------------- delegate

// Paints the mark and the bytes of a row (the card's line, and the dump's
// under it where the block differs), and edits the digits.
class TCardView::TDelegate : public QStyledItemDelegate {
public:
    explicit TDelegate(TCardView* View)
        : QStyledItemDelegate(View)
        , FView(View)
    {
    }

    void paint(QPainter* Painter, const QStyleOptionViewItem& Option, const QModelIndex& Index) const override
    {
        QStyleOptionViewItem opt = Option;
        initStyleOption(&opt, Index);
        opt.text.clear();
        const QWidget* widget = opt.widget;
        widget->style()->drawControl(QStyle::CE_ItemViewItem, &opt, Painter, widget);
        if (Index.row() >= int(FView->FRows.size()))
            return;
        const TCardViewBlock& row = FView->FRows[size_t(Index.row())];
        Painter->save();
        if (Index.column() == MarkColumn)
            PaintMark(Painter, opt, row);
        else
            PaintBytes(Painter, opt, row);
        Painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem& Option, const QModelIndex& Index) const override
    {
        if (Index.row() >= int(FView->FRows.size()))
            return QStyledItemDelegate::sizeHint(Option, Index);
        const TCardViewBlock& row = FView->FRows[size_t(Index.row())];
        const QFontMetricsF digits(FView->DigitsFont());
        const int lines = row.DumpDigits.isEmpty() ? 1 : 2;
        const int height = 2 * Pad + int(std::ceil(lines * digits.height()));
        if (Index.column() == MarkColumn) {
            QFont bold = Option.font;
            bold.setBold(true);
            const QFontMetricsF marks(bold);
            const double width = marks.horizontalAdvance(QStringLiteral("\u2260 "))
                + std::max(marks.horizontalAdvance(QStringLiteral("card")), marks.horizontalAdvance(QStringLiteral("dump")));
            return {2 * Margin + int(std::ceil(width)), height};
        }
        // Half a character more each side for the bands of the parts.
        const double width = (LayoutOf(row.Roles).Chars + 1) * CharWidth(digits);
        return {2 * Margin + int(std::ceil(width)), height};
    }

    QWidget* createEditor(QWidget* Parent, const QStyleOptionViewItem& /*Option*/, const QModelIndex& Index) const override
    {
        auto* editor = new QLineEdit(Parent);
        editor->setObjectName(QStringLiteral("CardBlockEditor"));
        editor->setFont(FView->DigitsFont());
        editor->setValidator(new TDigitsValidator(editor));
        editor->setToolTip(QStringLiteral("32 hex digits, '-' for an unknown one; Enter keeps them, Escape drops them"));
        const int row = Index.row();
        QObject::connect(editor, &QLineEdit::textEdited, FView, [this, row](const QString& Text) { FView->Typed(row, Text); });
        return editor;
    }

    void setEditorData(QWidget* Editor, const QModelIndex& Index) const override
    {
        if (Index.row() < int(FView->FRows.size()))
            static_cast<QLineEdit*>(Editor)->setText(Pairs(FView->FRows[size_t(Index.row())].Digits));
    }

    void setModelData(QWidget* Editor, QAbstractItemModel* /*Model*/, const QModelIndex& Index) const override
    {
        // Not into the model: an edit goes on the undo stack, which shows it.
        const int row = Index.row();
        if (row >= int(FView->FRows.size()))
            return;
        const QString digits = PlainDigits(static_cast<QLineEdit*>(Editor)->text());
        if (!digits.isEmpty() && digits != FView->FRows[size_t(row)].Digits)
            FView->EditBlock(FView->FRows[size_t(row)].Block, digits);
        else
            FView->ShowRow(row);
    }

    void updateEditorGeometry(QWidget* Editor, const QStyleOptionViewItem& Option, const QModelIndex& /*Index*/) const override
    {
        // One line high, on the card's line, however tall the row.
        QRect rect = Option.rect;
        rect.setHeight(std::min(rect.height(), Editor->sizeHint().height()));
        Editor->setGeometry(rect);
    }

private:
    static double CharWidth(const QFontMetricsF& Metrics) { return Metrics.horizontalAdvance(QLatin1Char('0')); }

    // The top of the first line: the lines stand in the middle of the row.
    static double FirstLine(const QRect& Rect, int Lines, double LineHeight)
    {
        return Rect.top() + std::max<double>(Pad, (Rect.height() - Lines * LineHeight) / 2);
    }

    void PaintMark(QPainter* Painter, const QStyleOptionViewItem& Opt, const TCardViewBlock& Row) const
    {
        if (!Row.Differs())
            return;
        QFont bold = Opt.font;
        bold.setBold(true);
        const QFontMetricsF marks(bold);
        const QFontMetricsF digits(FView->DigitsFont());
        const double lineHeight = digits.height();
        const double top = FirstLine(Opt.rect, 2, lineHeight);
        Painter->fillRect(QRectF(Opt.rect.left() + 1, top, Opt.rect.width() - 2, 2 * lineHeight), FView->DifferenceColour());
        Painter->setFont(bold);
        Painter->setPen(FView->palette().color(QPalette::Text));
        const double sign = marks.horizontalAdvance(QStringLiteral("\u2260 "));
        const double left = Opt.rect.left() + Margin;
        const double shift = (lineHeight - marks.height()) / 2 + marks.ascent();
        Painter->drawText(QPointF(left, top + shift), QStringLiteral("\u2260"));
        Painter->drawText(QPointF(left + sign, top + shift), QStringLiteral("card"));
        Painter->drawText(QPointF(left + sign, top + lineHeight + shift), QStringLiteral("dump"));
    }

    void PaintBytes(QPainter* Painter, const QStyleOptionViewItem& Opt, const TCardViewBlock& Row) const
    {
        const QFont plain = FView->DigitsFont();
        QFont marked = plain;
        marked.setBold(true);
        marked.setUnderline(true);
        const QFontMetricsF metrics(plain);
        const QFontMetricsF markedMetrics(marked);
        const double width = CharWidth(metrics);
        const double lineHeight = metrics.height();
        const bool selected = (Opt.state & QStyle::State_Selected) != 0;
        const QPalette& palette = FView->palette();
        const TByteLayout layout = LayoutOf(Row.Roles);
        const std::array<bool, CardViewBlockBytes> differ = Row.DiffBytes();
        const QString lines[2] = {Row.Digits, Row.DumpDigits};
        const int count = Row.DumpDigits.isEmpty() ? 1 : 2;
        const double left = Opt.rect.left() + Margin + width / 2;
        const double first = FirstLine(Opt.rect, count, lineHeight);
        for (int line = 0; line < count; ++line) {
            const QString& digits = lines[line];
            const double top = first + line * lineHeight;
            for (int i = 0; i < CardViewBlockBytes; ++i) {
                const double x = left + layout.Start[size_t(i)] * width;
                const TByteRole role = Row.Roles[size_t(i)];
                // A band under each part, half a space beyond its bytes.
                if (!selected && Tinted(role))
                    Painter->fillRect(QRectF(x - width / 2, top, 3 * width, lineHeight), FView->PartColour(role));
                const bool marks = differ[size_t(i)];
                if (marks)
                    Painter->fillRect(QRectF(x - width / 4, top, 2.5 * width, lineHeight), FView->DifferenceColour());
                Painter->setFont(marks ? marked : plain);
                const QFontMetricsF& face = marks ? markedMetrics : metrics;
                for (int k = 0; k < 2; ++k) {
                    const QChar digit = 2 * i + k < digits.size() ? digits[2 * i + k] : QLatin1Char('-');
                    QColor pen = selected && !marks ? palette.color(QPalette::HighlightedText) : palette.color(QPalette::Text);
                    if (digit == QLatin1Char('-'))
                        pen = palette.color(QPalette::PlaceholderText);
                    Painter->setPen(pen);
                    const double slot = x + k * width + (width - face.horizontalAdvance(digit)) / 2;
                    Painter->drawText(QPointF(slot, top + metrics.ascent()), QString(digit));
                }
            }
        }
    }

    TCardView* FView;
};

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

// ----------------------------------------------------------------------- view

TCardView::TCardView(QWidget* Parent)
    : QWidget(Parent)
{
    auto* layout = new QVBoxLayout(this);
    FSummary = new QLabel(this);
    FSummary->setObjectName(QStringLiteral("CardSummary"));
    FSummary->setWordWrap(true);
    FSummary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(FSummary);

    FLegend = new QLabel(this);
    FLegend->setObjectName(QStringLiteral("CardLegend"));
    FLegend->setWordWrap(true);
    FLegend->setTextFormat(Qt::RichText);
    layout->addWidget(FLegend);

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
    layout->addLayout(FTools);
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

    FSplit = new QSplitter(Qt::Horizontal, this);
    FSplit->setObjectName(QStringLiteral("CardSplitter"));
    FSplit->setChildrenCollapsible(false);
    FBlocks = NewTable("CardBlocks",
        {QStringLiteral("Sector"), QStringLiteral("Block"), QStringLiteral("\u2260"), QStringLiteral("Bytes"),
            QStringLiteral("Meaning")},
        FSplit);
    FBlocks->horizontalHeaderItem(MarkColumn)->setToolTip(QStringLiteral("Marked where the block differs from the dump"));
    FKeys = NewTable("CardKeys",
        {QStringLiteral("Sector"), QStringLiteral("Key A"), QStringLiteral("Key B"), QStringLiteral("Result")}, FSplit);
    FKeys->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FSplit->addWidget(FBlocks);
    FSplit->addWidget(FKeys);
    FSplit->setStretchFactor(0, 3);
    FSplit->setStretchFactor(1, 1);
    layout->addWidget(FSplit, 1);

    FDelegate = new TDelegate(this);
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
    Restyle();
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

// Hex digits in the system's fixed-width face, as large as the view's text.
QFont TCardView::DigitsFont() const
{
    QFont digits = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (font().pixelSize() > 0)
        digits.setPixelSize(font().pixelSize());
    else
        digits.setPointSizeF(font().pointSizeF());
    return digits;
}

QString TCardView::Pairs(const QString& Digits)
{
    QString pairs;
    for (int i = 0; i < Digits.size(); i += 2) {
        if (i > 0)
            pairs += QLatin1Char(' ');
        pairs += Digits.mid(i, 2);
    }
    return pairs;
}

QString TCardView::PlainDigits(const QString& Text)
{
    QString digits;
    for (const QChar c : Text) {
        if (c == QLatin1Char(' '))
            continue;
        const QChar upper = c.toUpper();
        const bool hex = (upper >= QLatin1Char('0') && upper <= QLatin1Char('9'))
            || (upper >= QLatin1Char('A') && upper <= QLatin1Char('F')) || upper == QLatin1Char('-');
        if (!hex)
            return {};
        digits += upper;
    }
    return digits.size() == DigitCount ? digits : QString();
}

void TCardView::SetDescriber(TDescriber Describer) { FDescriber = std::move(Describer); }

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
    // The feeder may answer with new data for every row.
    emit BlockEdited(Block, Digits);
}

void TCardView::Typed(int Row, const QString& Text)
{
    if (Row >= int(FRows.size()))
        return;
    QTableWidgetItem* meaning = Cell(FBlocks, Row, MeaningColumn);
    const QString digits = PlainDigits(Text);
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
        tip += QLatin1Char('\n') + DifferText(block.DiffBytes());
    tip += QStringLiteral("\nDouble-click or F2 to edit");
    bytes->setToolTip(tip);
    mark->setToolTip(differs ? DifferText(block.DiffBytes()) + QStringLiteral(" from the dump's") : QString());
    QTableWidgetItem* meaning = Cell(FBlocks, Row, MeaningColumn);
    meaning->setText(block.Kind);
    // The meaning in full, should its column be too narrow, and the detail.
    meaning->setToolTip(block.Detail.isEmpty() ? block.Kind : block.Kind + QLatin1Char('\n') + block.Detail);
}

void TCardView::SetData(const TCardViewData& Data)
{
    FSummary->setText(Data.Summary);
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
    Reflow();
}

QColor TCardView::DifferenceColour() const
{
    // On a dark base the red needs a larger share to stand out as much.
    const QColor base = palette().color(QPalette::Base);
    return Blend(base, DifferenceHue, base.lightnessF() < 0.5 ? DarkDifferenceShare : DifferenceShare);
}

QColor TCardView::PartColour(TByteRole Role) const
{
    const QColor base = palette().color(QPalette::Base);
    switch (Role) {
    case TByteRole::KeyA:
        return Blend(base, KeyAHue, PartShare);
    case TByteRole::Access:
        return Blend(base, AccessHue, PartShare);
    case TByteRole::Spare:
        return Blend(base, palette().color(QPalette::Text), PartShare / 2);
    case TByteRole::KeyB:
        return Blend(base, KeyBHue, PartShare);
    default:
        return base;
    }
}

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
