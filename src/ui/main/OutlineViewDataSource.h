#pragma once

#include "platform/notify/NotificationCenter.h"
#include "platform/store/ManagedObjectContext.h"
#include "ui/main/CheckBoxSubClass.h"

#include <QAbstractItemModel>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QSet>
#include <QTreeView>

#include <functional>

class Group;
class ManagedObject;
class QTimer;
class TreeItem;
class User;

// The user tree as a model: groups at the top, sorted by name, and under each group its users,
// online ones first and then by name (both without regard to case). The main window has one;
// each selection sheet makes its own and sets `excludedUser`, which narrows the users to online
// ones not in that set.
//
// The rows the view was told about are kept here, so counts never disagree with what the view
// knows. Changes of names and online state re-sort only the groups they touched, in one pass
// 20 ms after the last change of a burst; a change the kept rows cannot place (a group never
// seen, a group deleted) reloads everything with the selection kept. Dragging users onto groups
// or users moves them; files dropped on an online user are sent to that user.
//
// Not owned by the view; lives as long as the window that made it.
class OutlineViewDataSource : public QAbstractItemModel {
    Q_OBJECT
    Q_PROPERTY(bool isGroupSelected READ isGroupSelected NOTIFY selectionFlagsChanged)
    Q_PROPERTY(bool isUserSelected READ isUserSelected NOTIFY selectionFlagsChanged)
    Q_PROPERTY(bool isEmptyGroupSelected READ isEmptyGroupSelected NOTIFY selectionFlagsChanged)
    Q_PROPERTY(bool canStartConversationWithSelection READ canStartConversationWithSelection NOTIFY
                   selectionFlagsChanged)
    Q_PROPERTY(bool canStartGroupConversationWithSelection READ canStartGroupConversationWithSelection NOTIFY
                   selectionFlagsChanged)
    Q_PROPERTY(bool isOnlineUserSelected READ isOnlineUserSelected NOTIFY selectionFlagsChanged)
public:
    enum Role {
        TreeItemRole = Qt::UserRole + 1, // the TreeItem* of the row
        IsGroupRole,
        StatusRole,     // a user's status code
        StatusTextRole, // a user's status text while busy or away, else empty
        LocalUserRole,  // true for the local user's row
    };
    // How long after the last change of a burst the touched groups are re-sorted, and the
    // longest a stream of changes can put that off.
    static constexpr int ResortDelayMs = 20;
    static constexpr int ResortMaxDelayMs = 250;
    // What a drag of tree items carries besides the names as plain text: the row ids.
    static const QString TreeItemMimeType;

    explicit OutlineViewDataSource(ManagedObjectContext *context = nullptr, QObject *parent = nullptr);
    ~OutlineViewDataSource() override;

    ManagedObjectContext *context() const { return m_context; }

    // The view whose selection the flags describe; it is given this model.
    void setOutlineView(QTreeView *view);
    QTreeView *outlineView() const { return m_outlineView; }

    // Selection sheets: only online users outside the set are offered.
    void setExcludedUser(const QList<User *> &users);
    bool hasExcludedUser() const { return m_hasExcluded; }
    // The check boxes of a selection sheet (not owned).
    void setCheckBoxes(CheckBoxSubClass *boxes);
    CheckBoxSubClass *checkBoxes() const { return m_checkBoxes; }

    // The rule for users shown: not removed, online when "hideOfflineUsers" is on, and online
    // and not excluded while an exclusion is set.
    bool usersPredicate(const User *user) const;
    // A group's users that the rule shows, in tree order, as the store has them now.
    QList<User *> shownUsers(const Group *group) const;
    static bool groupLessThan(const TreeItem *a, const TreeItem *b);
    static bool userLessThan(const User *a, const User *b);
    // Where the user belongs among its group's shown users now; -1 when it is not shown.
    int IndexOfUserInGroup(const User *user) const;

    // The rows as the view knows them.
    QList<Group *> groups() const { return m_groups; }
    QList<User *> usersOfGroup(Group *group) const { return m_children.value(group); }
    TreeItem *itemForIndex(const QModelIndex &index) const;
    QModelIndex indexForItem(const TreeItem *item) const;

    // QAbstractItemModel.
    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    bool hasChildren(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QStringList mimeTypes() const override;
    QMimeData *mimeData(const QModelIndexList &indexes) const override;
    Qt::DropActions supportedDropActions() const override;
    Qt::DropActions supportedDragActions() const override;
    bool canDropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                         const QModelIndex &parent) const override;
    bool dropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                      const QModelIndex &parent) override;

    // Re-sorting. A touched group is re-sorted once the burst is over (or at once by
    // delayedGroupResort); reloadData rebuilds every row, keeping the selection.
    void haveToResortGroup(Group *group);
    void delayedGroupResort();
    bool resortPending() const;
    void reloadData();
    // A group name was edited: the whole tree in its new order, the selection kept.
    void groupRenaimingFinished();

    // Moves the users into the group and saves; rows move without a reload where they can.
    void moveUsers(const QList<User *> &users, Group *group);

    // The items of the drag in progress (empty when none).
    static QList<QPointer<TreeItem>> draggedItems();
    static void setDraggedItems(const QList<TreeItem *> &items);
    static void clearDraggedItems();
    static bool inDraggingProcess();
    // How dropped files are sent (tests record instead); the default is the file server.
    static void setFileSender(std::function<bool(const QStringList &paths, User *to)> sender);

    // The selected items in row order, and the flags the commands are enabled by.
    QList<TreeItem *> selectedItems() const;
    bool isGroupSelected() const { return m_flags.group; }
    bool isUserSelected() const { return m_flags.user; }
    bool isEmptyGroupSelected() const { return m_flags.emptyGroup; }
    bool canStartConversationWithSelection() const { return m_flags.conversation; }
    bool canStartGroupConversationWithSelection() const { return m_flags.groupConversation; }
    bool isOnlineUserSelected() const { return m_flags.onlineUser; }
    void outlineViewSelectionDidChange();

signals:
    void selectionFlagsChanged();
    // After every re-sort or reload.
    void treeUpdated();

private:
    struct Flags {
        bool group = false, user = false, emptyGroup = false, conversation = false, groupConversation = false,
             onlineUser = false;
        bool operator==(const Flags &) const = default;
    };

    void watch(ManagedObject *object);
    void attributeChanged(ManagedObject *object, const QString &key, const QVariant &oldValue);
    void objectInserted(ManagedObject *object);
    void objectDeleted(ManagedObject *object);
    void touch(Group *group);
    void touchTop();
    void scheduleResort();
    void updatePredicate();
    void hideOfflineChanged();
    void rowChanged(const TreeItem *item);

    QList<Group *> fetchGroups() const;
    void rebuild();
    void syncTop();
    void syncChildren(Group *group);
    bool moveOne(User *user, Group *target);
    Group *cachedGroupOf(const User *user) const { return m_where.value(user); }
    int topRow(const Group *group) const;

    QList<TreeItem *> storeSelection() const;
    void restoreSelection(const QList<TreeItem *> &items);

    QPointer<ManagedObjectContext> m_context;
    QPointer<QTreeView> m_outlineView;
    QPointer<CheckBoxSubClass> m_checkBoxes;
    bool m_hideOffline = false;
    bool m_hasExcluded = false;
    QSet<const User *> m_excluded;

    // What the view was told.
    QList<Group *> m_groups;
    QHash<const Group *, QList<User *>> m_children;
    QHash<const User *, Group *> m_where;

    // Pending re-sort.
    QTimer *m_timer = nullptr;
    QElapsedTimer m_firstPending;
    QSet<Group *> m_touched;
    bool m_topTouched = false;
    bool m_needsReload = false;

    Flags m_flags;
    // Users of the context by address: notifications name their user only as a pointer.
    QHash<const void *, User *> m_watchedUsers;
    QList<NotificationCenter::Token> m_observers;
};
