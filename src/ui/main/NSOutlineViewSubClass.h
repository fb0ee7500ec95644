#pragma once

#include <QMenu>
#include <QPointer>
#include <QStringList>
#include <QTreeView>

#include <functional>

class Group;
class OutlineViewDataSource;
class TreeItem;
class User;

// The main window's user tree: the context menus (below the rows, a group, a user with the list
// of groups to move the user to), Shift/Ctrl-clicks that add or take away one row, dragging
// users onto groups and users and files onto online users, the user card while the pointer
// rests on a user, in-place renaming of groups that a right click never starts, and the groups
// that were open kept open across reloads and restarts, matched by name.
//
// Made by the main window's form; the menus are given by the window and not owned.
class NSOutlineViewSubClass : public QTreeView {
    Q_OBJECT
public:
    // The settings key under which the names of the open groups are kept.
    static QString expandedItemsKey(const QString &autosaveName);

    explicit NSOutlineViewSubClass(QWidget *parent = nullptr);

    using QTreeView::edit;
    void setDataSource(OutlineViewDataSource *dataSource);
    OutlineViewDataSource *dataSource() const { return m_dataSource; }

    // The menus: below the rows, on a user, on a group, and the user menu's group list.
    void setGlobalMenu(QMenu *menu) { m_globalMenu = menu; }
    void setUserMenu(QMenu *menu) { m_userMenu = menu; }
    void setGroupMenu(QMenu *menu) { m_groupMenu = menu; }
    void setGroupsList(QMenu *menu);
    QMenu *globalMenu() const { return m_globalMenu; }
    QMenu *userMenu() const { return m_userMenu; }
    QMenu *groupMenu() const { return m_groupMenu; }
    QMenu *groupsList() const { return m_groupsList; }

    // Open groups are remembered under this name in the settings; empty keeps nothing.
    void setAutosaveName(const QString &name);
    QString autosaveName() const { return m_autosaveName; }
    // Opens the remembered groups (after a reload, at start).
    void restoreExpandedItems();

    // The item of the selected row; null without one (or with several).
    TreeItem *selectedItem() const;
    // The user whose menu was last prepared.
    User *rightClickedUser() const { return m_rightClicked; }

    // The menu for a click at this point of the viewport; selects the row under it first (or
    // clears the selection below the rows). Null when there is no such menu.
    QMenu *menuForEvent(const QPoint &viewportPos);
    // Fills the group list for the selected user: every group but the user's own, by name.
    void menuNeedsUpdate();
    // The right-clicked user goes into the group (if it still exists).
    void moveUsertoGroup(Group *group);
    // The selected user's information window, or the right-clicked user's without a selection.
    void GetInfo();
    // How a user's information window is opened; without one the conversation windows' way is
    // used, and without that the command is hidden.
    static void setInfoWindowOpener(std::function<void(User *)> opener);
    static bool canGetInfo();

signals:
    // The single-click and double-click commands of the tree, sent only with one row selected.
    void action(const QModelIndex &index);
    void doubleAction(const QModelIndex &index);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    bool viewportEvent(QEvent *event) override;
    bool edit(const QModelIndex &index, EditTrigger trigger, QEvent *event) override;
    void startDrag(Qt::DropActions supportedActions) override;

private:
    void showCard(const QModelIndex &index, const QPoint &viewportPos);
    void rememberExpanded();

    QPointer<OutlineViewDataSource> m_dataSource;
    QPointer<User> m_rightClicked;
    QPointer<QMenu> m_globalMenu, m_userMenu, m_groupMenu, m_groupsList;
    QString m_autosaveName;
    QStringList m_expanded;
    bool m_restoring = false;
};
