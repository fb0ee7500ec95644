#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class Me;
class User;
class Group;
class ManagedObjectContext;

// The roster: the local user's row, and the one place that turns network evidence into User
// rows. One per process, reached through shared().
class UserList : public QObject {
    Q_OBJECT
public:
    static UserList *shared();
    static void setShared(UserList *list);

    explicit UserList(QObject *parent = nullptr);

    void updateMe();
    Me *me() const { return me_; }
    void setMe(Me *me);

    // The user with this id; with an address, an unknown user is created with it (and the
    // address of a known one is updated silently). Without an address, known users only.
    User *getUserById(const QString &userId, const QString &ip);
    QList<User *> allUsersWithoutOffline(bool withoutOffline, bool andMe);
    // Applies one decoded presence datagram (sender's address appended as last element);
    // null tells the caller to ignore the packet.
    User *UpdateUserDataWithUDP(const QStringList &packet);
    void goOffline();
    void stopEverything();
    void startEverything();
    Group *AddNewGroup();

    bool someUsersExceptMeEverSeen() const { return someUsersExceptMeEverSeen_; }
    void setSomeUsersExceptMeEverSeen(bool v) { someUsersExceptMeEverSeen_ = v; }

private:
    bool someUsersExceptMeEverSeen_ = false;
    QPointer<Me> me_;
};
