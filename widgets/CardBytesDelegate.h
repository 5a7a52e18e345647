#pragma once
// The card view's painter and editor of a block's row: the mark where the
// block differs from the dump, and its bytes in pairs (the card's line, and
// the dump's under it where they differ), parts tinted and set apart. It
// reads the rows the view shows and hands what is typed back through two
// calls, so it needs nothing else of the view.

#include "widgets/CardCompare.h"

#include <QStyledItemDelegate>

#include <functional>
#include <vector>

class TCardBytesDelegate : public QStyledItemDelegate {
public:
    struct THost {
        QWidget* View;                                             // its palette and font; the delegate's parent
        const std::vector<TCardViewBlock>* Rows;                   // the rows shown, one a table row
        int MarkColumn;                                            // the mark's column; the bytes in any other
        std::function<void(int Row, const QString& Text)> Typed;   // as the editor's text changes
        std::function<void(int Row, const QString& Digits)> Taken; // the editor closed: 32 digits, or empty
    };

    explicit TCardBytesDelegate(THost Host);

    void paint(QPainter* Painter, const QStyleOptionViewItem& Option, const QModelIndex& Index) const override;
    QSize sizeHint(const QStyleOptionViewItem& Option, const QModelIndex& Index) const override;
    QWidget* createEditor(QWidget* Parent, const QStyleOptionViewItem& Option, const QModelIndex& Index) const override;
    void setEditorData(QWidget* Editor, const QModelIndex& Index) const override;
    void setModelData(QWidget* Editor, QAbstractItemModel* Model, const QModelIndex& Index) const override;
    void updateEditorGeometry(QWidget* Editor, const QStyleOptionViewItem& Option, const QModelIndex& Index) const override;

private:
    const TCardViewBlock* RowAt(int Row) const;
    QFont DigitsFont() const;
    void PaintMark(QPainter* Painter, const QStyleOptionViewItem& Opt, const TCardViewBlock& Row) const;
    void PaintBytes(QPainter* Painter, const QStyleOptionViewItem& Opt, const TCardViewBlock& Row) const;

    THost FHost;
};
