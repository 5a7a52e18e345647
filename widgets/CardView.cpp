#include "widgets/CardView.h"

#include <QEvent>
#include <QFontDatabase>
#include <QHeaderView>
#include <QLabel>
#include <QScrollBar>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// How much of the highlight colour a differing row takes: enough to catch
// the eye, little enough that the text colour keeps its contrast.
constexpr double DifferenceShare = 0.35;
constexpr int DigitsColumn = 2;

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
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setWordWrap(false);
    table->horizontalHeader()->setStretchLastSection(true);
    return table;
}

QTableWidgetItem* NewItem(const QString& Text) { return new QTableWidgetItem(Text); }

} // namespace

TCardView::TCardView(QWidget* Parent)
    : QWidget(Parent)
{
    auto* layout = new QVBoxLayout(this);
    FSummary = new QLabel(this);
    FSummary->setObjectName(QStringLiteral("CardSummary"));
    FSummary->setWordWrap(true);
    FSummary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(FSummary);

    FSplit = new QSplitter(Qt::Horizontal, this);
    FSplit->setObjectName(QStringLiteral("CardSplitter"));
    FBlocks = NewTable("CardBlocks",
        {QStringLiteral("Sector"), QStringLiteral("Block"), QStringLiteral("Data"), QStringLiteral("Kind")}, FSplit);
    FKeys = NewTable("CardKeys",
        {QStringLiteral("Sector"), QStringLiteral("Key A"), QStringLiteral("Key B"), QStringLiteral("Result")}, FSplit);
    FSplit->addWidget(FBlocks);
    FSplit->addWidget(FKeys);
    FSplit->setStretchFactor(0, 3);
    FSplit->setStretchFactor(1, 1);
    layout->addWidget(FSplit, 1);
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

void TCardView::SetData(const TCardViewData& Data)
{
    FSummary->setText(Data.Summary);

    FBlocks->setRowCount(int(Data.Blocks.size()));
    FDiffers.assign(Data.Blocks.size(), false);
    for (int row = 0; row < int(Data.Blocks.size()); ++row) {
        const TCardViewBlock& block = Data.Blocks[size_t(row)];
        FBlocks->setItem(row, 0, NewItem(QString::number(block.Sector)));
        FBlocks->setItem(row, 1, NewItem(QString::number(block.Block)));
        FBlocks->setItem(row, 2, NewItem(block.Digits));
        FBlocks->setItem(row, 3, NewItem(block.Kind));
        // The kind in full, should its column be too narrow, and the detail.
        const QString tip = block.Detail.isEmpty() ? block.Kind : block.Kind + QLatin1Char('\n') + block.Detail;
        for (int column = 0; column < FBlocks->columnCount(); ++column)
            FBlocks->item(row, column)->setToolTip(tip);
        FDiffers[size_t(row)] = block.Differs;
    }

    FKeys->setRowCount(int(Data.Sectors.size()));
    for (int row = 0; row < int(Data.Sectors.size()); ++row) {
        const TCardViewSector& sector = Data.Sectors[size_t(row)];
        FKeys->setItem(row, 0, NewItem(QString::number(sector.Sector)));
        FKeys->setItem(row, 1, NewItem(sector.KeyA));
        FKeys->setItem(row, 2, NewItem(sector.KeyB));
        FKeys->setItem(row, 3, NewItem(sector.Result));
    }
    Restyle();
    for (QTableWidget* table : {FBlocks, FKeys})
        table->resizeColumnsToContents();
    // The first data share the width out as the columns need it; later
    // data keep what the operator made of it.
    if (!FFitted) {
        FFitted = true;
        FSplit->setSizes({ContentWidth(FBlocks), ContentWidth(FKeys)});
    }
}

QColor TCardView::DifferenceColour() const
{
    return Blend(palette().color(QPalette::Base), palette().color(QPalette::Highlight), DifferenceShare);
}

void TCardView::changeEvent(QEvent* Event)
{
    QWidget::changeEvent(Event);
    if (Event->type() == QEvent::PaletteChange || Event->type() == QEvent::FontChange)
        Restyle();
}

void TCardView::Restyle()
{
    const QBrush tint(DifferenceColour());
    const QFont digits = DigitsFont();
    for (int row = 0; row < FBlocks->rowCount(); ++row) {
        const bool differs = FDiffers[size_t(row)];
        for (int column = 0; column < FBlocks->columnCount(); ++column) {
            QTableWidgetItem* item = FBlocks->item(row, column);
            item->setBackground(differs ? tint : QBrush());
            QFont face = column == DigitsColumn ? digits : FBlocks->font();
            face.setBold(differs);
            item->setFont(face);
        }
    }
    for (int row = 0; row < FKeys->rowCount(); ++row) {
        FKeys->item(row, 1)->setFont(digits);
        FKeys->item(row, 2)->setFont(digits);
    }
}
