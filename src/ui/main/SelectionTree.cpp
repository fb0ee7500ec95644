#include "ui/main/SelectionTree.h"

#include "ui/main/CheckBoxSubClass.h"
#include "ui/main/OutlineViewDataSource.h"

#include <QTreeView>

SelectionTree::SelectionTree(QTreeView *view, QSet<TreeItem *> *selection, const void *window,
                             const std::optional<QList<User *>> &excluded, QObject *parent)
    : QObject(parent), m_view(view), m_dataSource(new OutlineViewDataSource(nullptr, this)) {
    if (excluded) m_dataSource->setExcludedUser(*excluded);
    m_boxes = new CheckBoxSubClass(m_dataSource, selection, window, this);
    m_boxes->replaceGroupsByUsers();
    m_dataSource->setCheckBoxes(m_boxes);
    m_dataSource->setOutlineView(view);
    view->setHeaderHidden(true);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setDragDropMode(QAbstractItemView::NoDragDrop);
    view->expandAll();
    // Groups stay open whatever the tree does.
    connect(m_dataSource, &QAbstractItemModel::modelReset, view, &QTreeView::expandAll);
    connect(m_dataSource, &QAbstractItemModel::rowsInserted, view,
            [view, model = m_dataSource](const QModelIndex &parent, int first, int last) {
                if (parent.isValid()) return;
                for (int row = first; row <= last; ++row) view->expand(model->index(row, 0));
            });
}
