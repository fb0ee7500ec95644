#pragma once

#include "platform/notify/NotificationCenter.h"

#include <QObject>
#include <QPointer>
#include <QSet>

class Group;
class OutlineViewDataSource;
class TreeItem;
class User;

// The check boxes of a selection tree. A user's box is on while the window's selection holds
// the user; a group's box is on when the selection holds all of the group's shown users, mixed
// when it holds some, off when none. Clicking changes the selection and posts "selectionUpdated"
// (object: the window); every box follows every "selectionUpdated", so quick selections made by
// the window show at once.
//
// The selection belongs to the window controller and must outlive this object.
class CheckBoxSubClass : public QObject {
    Q_OBJECT
public:
    CheckBoxSubClass(OutlineViewDataSource *outline, QSet<TreeItem *> *selection, const void *window,
                     QObject *parent = nullptr);
    ~CheckBoxSubClass() override;

    // The box of a row.
    Qt::CheckState state(const TreeItem *item) const;
    // A click that leaves the box in `newState` (a mixed box always turns on).
    void click(TreeItem *item, Qt::CheckState newState);
    // Every shown user of the group into the selection (on) or out of it (off).
    void updateChildsState(Group *group, bool on);
    // The group's users that the tree shows.
    QList<User *> getSubSetForGroup(const Group *group) const;
    // A group held in the selection stands for its shown users: it is replaced by them.
    void replaceGroupsByUsers();

signals:
    // The boxes may show something else now.
    void changed();

private:
    void posted();

    OutlineViewDataSource *m_outline;
    QSet<TreeItem *> *m_selection;
    const void *m_window;
    NotificationCenter::Token m_observer = 0;
};
