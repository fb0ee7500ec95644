#pragma once

#include <QStyledItemDelegate>

// How a row of the user tree looks and how a group's name is edited in place: the item's image
// and name, and for a busy or away user the status text after the name in the palette's
// secondary colour. The name editor of a group passes through a GroupAndUserNameFormatter, so an
// emptied name keeps the old one and the tree re-sorts once the edit ends.
class cellView : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit cellView(QObject *parent = nullptr);

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const override;
    void setEditorData(QWidget *editor, const QModelIndex &index) const override;
    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override;
};
