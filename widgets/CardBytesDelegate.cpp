#include "widgets/CardBytesDelegate.h"

#include "widgets/CardLook.h"

#include <QLineEdit>
#include <QPainter>
#include <QValidator>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

// Pixels around the lines of a cell the view paints itself.
constexpr int Margin = 4;
constexpr int Pad = 2;

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

double CharWidth(const QFontMetricsF& Metrics) { return Metrics.horizontalAdvance(QLatin1Char('0')); }

// The top of the first line: the lines stand in the middle of the row.
double FirstLine(const QRect& Rect, int Lines, double LineHeight)
{
    return Rect.top() + std::max<double>(Pad, (Rect.height() - Lines * LineHeight) / 2);
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
            if (PlainBlockDigits(QString(CardViewBlockDigits, c)).isEmpty())
                return Invalid;
            ++digits;
        }
        return digits > CardViewBlockDigits ? Invalid : digits == CardViewBlockDigits ? Acceptable
                                                                                      : Intermediate;
    }
};

} // namespace

TCardBytesDelegate::TCardBytesDelegate(THost Host)
    : QStyledItemDelegate(Host.View)
    , FHost(std::move(Host))
{
}

const TCardViewBlock* TCardBytesDelegate::RowAt(int Row) const
{
    return Row >= 0 && Row < int(FHost.Rows->size()) ? &(*FHost.Rows)[size_t(Row)] : nullptr;
}

QFont TCardBytesDelegate::DigitsFont() const { return CardDigitsFont(FHost.View->font()); }

void TCardBytesDelegate::paint(QPainter* Painter, const QStyleOptionViewItem& Option, const QModelIndex& Index) const
{
    QStyleOptionViewItem opt = Option;
    initStyleOption(&opt, Index);
    opt.text.clear();
    const QWidget* widget = opt.widget;
    widget->style()->drawControl(QStyle::CE_ItemViewItem, &opt, Painter, widget);
    const TCardViewBlock* row = RowAt(Index.row());
    if (!row)
        return;
    Painter->save();
    if (Index.column() == FHost.MarkColumn)
        PaintMark(Painter, opt, *row);
    else
        PaintBytes(Painter, opt, *row);
    Painter->restore();
}

QSize TCardBytesDelegate::sizeHint(const QStyleOptionViewItem& Option, const QModelIndex& Index) const
{
    const TCardViewBlock* row = RowAt(Index.row());
    if (!row)
        return QStyledItemDelegate::sizeHint(Option, Index);
    const QFontMetricsF digits(DigitsFont());
    const int lines = row->DumpDigits.isEmpty() ? 1 : 2;
    const int height = 2 * Pad + int(std::ceil(lines * digits.height()));
    if (Index.column() == FHost.MarkColumn) {
        QFont bold = Option.font;
        bold.setBold(true);
        const QFontMetricsF marks(bold);
        const double width = marks.horizontalAdvance(QStringLiteral("\u2260 "))
            + std::max(marks.horizontalAdvance(QStringLiteral("card")), marks.horizontalAdvance(QStringLiteral("dump")));
        return {2 * Margin + int(std::ceil(width)), height};
    }
    // Half a character more each side for the bands of the parts.
    const double width = (LayoutOf(row->Roles).Chars + 1) * CharWidth(digits);
    return {2 * Margin + int(std::ceil(width)), height};
}

QWidget* TCardBytesDelegate::createEditor(QWidget* Parent, const QStyleOptionViewItem& /*Option*/, const QModelIndex& Index) const
{
    auto* editor = new QLineEdit(Parent);
    editor->setObjectName(QStringLiteral("CardBlockEditor"));
    editor->setFont(DigitsFont());
    editor->setValidator(new TDigitsValidator(editor));
    editor->setToolTip(QStringLiteral("32 hex digits, '-' for an unknown one; Enter keeps them, Escape drops them"));
    const int row = Index.row();
    QObject::connect(editor, &QLineEdit::textEdited, FHost.View, [this, row](const QString& Text) { FHost.Typed(row, Text); });
    return editor;
}

void TCardBytesDelegate::setEditorData(QWidget* Editor, const QModelIndex& Index) const
{
    if (const TCardViewBlock* row = RowAt(Index.row()))
        static_cast<QLineEdit*>(Editor)->setText(BlockDigitPairs(row->Digits));
}

void TCardBytesDelegate::setModelData(QWidget* Editor, QAbstractItemModel* /*Model*/, const QModelIndex& Index) const
{
    // Not into the model: the view puts an edit on its undo stack, which
    // shows it.
    if (RowAt(Index.row()))
        FHost.Taken(Index.row(), PlainBlockDigits(static_cast<QLineEdit*>(Editor)->text()));
}

void TCardBytesDelegate::updateEditorGeometry(QWidget* Editor, const QStyleOptionViewItem& Option, const QModelIndex& /*Index*/) const
{
    // One line high, on the card's line, however tall the row.
    QRect rect = Option.rect;
    rect.setHeight(std::min(rect.height(), Editor->sizeHint().height()));
    Editor->setGeometry(rect);
}

void TCardBytesDelegate::PaintMark(QPainter* Painter, const QStyleOptionViewItem& Opt, const TCardViewBlock& Row) const
{
    if (!Row.Differs())
        return;
    QFont bold = Opt.font;
    bold.setBold(true);
    const QFontMetricsF marks(bold);
    const QFontMetricsF digits(DigitsFont());
    const double lineHeight = digits.height();
    const double top = FirstLine(Opt.rect, 2, lineHeight);
    const QPalette& palette = FHost.View->palette();
    Painter->fillRect(QRectF(Opt.rect.left() + 1, top, Opt.rect.width() - 2, 2 * lineHeight), CardDifferenceColour(palette));
    Painter->setFont(bold);
    Painter->setPen(palette.color(QPalette::Text));
    const double sign = marks.horizontalAdvance(QStringLiteral("\u2260 "));
    const double left = Opt.rect.left() + Margin;
    const double shift = (lineHeight - marks.height()) / 2 + marks.ascent();
    Painter->drawText(QPointF(left, top + shift), QStringLiteral("\u2260"));
    Painter->drawText(QPointF(left + sign, top + shift), QStringLiteral("card"));
    Painter->drawText(QPointF(left + sign, top + lineHeight + shift), QStringLiteral("dump"));
}

void TCardBytesDelegate::PaintBytes(QPainter* Painter, const QStyleOptionViewItem& Opt, const TCardViewBlock& Row) const
{
    const QFont plain = DigitsFont();
    QFont marked = plain;
    marked.setBold(true);
    marked.setUnderline(true);
    const QFontMetricsF metrics(plain);
    const QFontMetricsF markedMetrics(marked);
    const double width = CharWidth(metrics);
    const double lineHeight = metrics.height();
    const bool selected = (Opt.state & QStyle::State_Selected) != 0;
    const QPalette& palette = FHost.View->palette();
    const QColor difference = CardDifferenceColour(palette);
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
            if (!selected && CardPartTinted(role))
                Painter->fillRect(QRectF(x - width / 2, top, 3 * width, lineHeight), CardPartColour(palette, role));
            const bool marks = differ[size_t(i)];
            if (marks)
                Painter->fillRect(QRectF(x - width / 4, top, 2.5 * width, lineHeight), difference);
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
