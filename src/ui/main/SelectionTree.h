#pragma once

#include <QList>
#include <QObject>
#include <QSet>

#include <optional>

class CheckBoxSubClass;
class OutlineViewDataSource;
class QTreeView;
class TreeItem;
class User;

// The user tree of a selection sheet: a view over a data source of its own, with a check box on
// every row bound to the window's selection, and every group kept open so that each user can be
// ticked. With an exclusion, only online users outside it are offered.
//
// Owned by the window (its parent); the selection must outlive it.
class SelectionTree : public QObject {
    Q_OBJECT
public:
    SelectionTree(QTreeView *view, QSet<TreeItem *> *selection, const void *window,
                  const std::optional<QList<User *>> &excluded, QObject *parent);

    OutlineViewDataSource *dataSource() const { return m_dataSource; }
    CheckBoxSubClass *checkBoxes() const { return m_boxes; }
    QTreeView *view() const { return m_view; }

private:
    QTreeView *m_view;
    OutlineViewDataSource *m_dataSource;
    CheckBoxSubClass *m_boxes;
};
