#pragma once

#include "core/model/TreeItem.h"

class ManagedObjectContext;
class User;
class UserTreeOutline;

// A named group of users in the tree.
class Group : public TreeItem {
public:
    static constexpr const char *EntityName = "Group";

    // The group "General", inserted when there is none (then the tree is reloaded on the main
    // thread's next turn). Two calls before a save give the same group.
    static Group *general(ManagedObjectContext *context);
    static Group *findByName(ManagedObjectContext *context, const QString &name);
    // The tree told about new groups; null (the default) tells nobody.
    static void setOutline(UserTreeOutline *outline);

    bool expanded() const { return boolValue(QStringLiteral("expanded")); }
    void setExpanded(bool v) { setValue(QStringLiteral("expanded"), v); }

    QList<User *> users() const;
    void addUsersObject(User *user);
    void removeUsersObject(User *user);

    // The members whose userOffline is NO, recomputed on every call.
    QList<User *> onlineUsers();
    void setOnlineUsers(const QList<User *> &users) { m_onlineUsers = users; }
    // The set-mutation accessors of "onlineUsers" change `users`.
    void addOnlineUsersObject(User *user) { addUsersObject(user); }
    void removeOnlineUsersObject(User *user) { removeUsersObject(user); }

    // Not in the model.
    QList<User *> filteredUsers() const { return m_filteredUsers; }
    void setFilteredUsers(const QList<User *> &users) { m_filteredUsers = users; }
    bool userOffline() const { return m_userOffline; }
    void setUserOffline(bool v) { m_userOffline = v; }

protected:
    void awakeFromInsert() override;
    void awakeFromFetch() override;

private:
    void resetTransients();

    QList<User *> m_filteredUsers;
    QList<User *> m_onlineUsers;
    bool m_userOffline = false;
};
