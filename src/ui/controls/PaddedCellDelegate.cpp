#include "ui/controls/PaddedCellDelegate.h"

#include <QPainter>
#include <QWidget>

PaddedCellDelegate::PaddedCellDelegate(QObject *parent) : QStyledItemDelegate(parent) {}

QRect PaddedCellDelegate::titleRect(const QRect &bounds, int textHeight) const {
    QRect r = bounds;
    if (m_centered) {
        const int third = (bounds.height() - textHeight) / 3;
        r.setTop(bounds.top() + third);
        r.setHeight(bounds.height() - third);
    } else {
        r.setWidth(bounds.width() - m_paddingRight);
    }
    return r;
}

void PaddedCellDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                               const QModelIndex &index) const {
    QStyleOptionViewItem inner(option);
    inner.rect = titleRect(option.rect, option.fontMetrics.height());
    if (m_centered)
        inner.displayAlignment = (inner.displayAlignment & ~Qt::AlignVertical_Mask) | Qt::AlignTop;
    QStyledItemDelegate::paint(painter, inner, index);
}

void PaddedCellDelegate::updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                                              const QModelIndex &index) const {
    QStyleOptionViewItem inner(option);
    inner.rect.setWidth(option.rect.width() - m_paddingRight);
    QStyledItemDelegate::updateEditorGeometry(editor, inner, index);
}
