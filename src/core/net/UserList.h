#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>

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
    ~UserList() override;

    // The context the roster works in: the program's own unless one was set (tests, tools).
    ManagedObjectContext *context() const;
    void setContext(ManagedObjectContext *context);

    void updateMe();
    Me *me() const;
    void setMe(Me *me);

    // Users made for ids never seen before: up to UnknownUserBurst at once (a whole office
    // starting together), then UnknownUsersPerSecond. A flood of made-up ids cannot fill the
    // store, nor open a connection back to each of them.
    static constexpr double UnknownUserBurst = 1024;
    static constexpr double UnknownUsersPerSecond = 16;
    // The burst of this roster, UnknownUserBurst unless set. Only a benchmark of an office
    // larger than the burst raises it, so that it measures the intake rather than the limit.
    double unknownUserBurst() const { return unknownUserBurst_; }
    void setUnknownUserBurst(double burst);

    // The user with this id; with an address, an unknown user is created with it (and the
    // address of a known one is updated silently). Without an address, known users only.
    // `limited` is set when an unknown user was not made for want of a place.
    User *getUserById(const QString &userId, const QString &ip, bool *limited = nullptr);
    // Takes a place for a user made for an unknown id; false when none is left now.
    bool admitUnknownUser();
    // Users of the store: without offline ones (first flag) and without the local user
    // (second flag); removed users are left out whenever either flag is set.
    QList<User *> allUsersWithoutOffline(bool withoutOffline, bool andMe);
    // Applies one decoded presence datagram (sender's address appended as last element);
    // null tells the caller to ignore the packet. Fewer than 9 fields before the address are
    // ignored.
    User *UpdateUserDataWithUDP(const QStringList &packet);
    void goOffline();
    // Another copy runs with this user id: networking stops, and stays stopped whatever would
    // restart it (a network change, a wake, a retry), until startEverything(): the user's
    // sign-in. A new start of the program begins with networking on. The address is the other
    // copy's, for the main window to name it.
    void stopEverything(const QString &otherCopyAddress = QString());
    void startEverything();
    // The sign-in button of the main window: networking on again.
    void signInButtonClicked();
    bool networkingStopped() const { return stopped_; }
    // The address of the copy that made networking stop (empty when not known).
    QString otherCopyAddress() const { return otherCopyAddress_; }
    // Whether the process's roster holds networking stopped; the servers ask before starting.
    static bool networkingHeldStopped();
    Group *AddNewGroup();

    // How the roster asks a user for its information ("TRI"), on the main queue's next turn;
    // tests record instead.
    static void setInfoRequestFunction(std::function<void(User *)> request);
    static void requestUserInfo(User *user);
    // How networking is switched off and on again; by default the TCP server's listener, which
    // ends and begins the UDP server's work (the UDP server alone when there is no TCP server).
    static void setNetworkingSwitch(std::function<void(bool on)> change);

    bool someUsersExceptMeEverSeen() const { return someUsersExceptMeEverSeen_; }
    void setSomeUsersExceptMeEverSeen(bool v) { someUsersExceptMeEverSeen_ = v; }

signals:
    // Networking was stopped because another copy uses the local user's id, or started again.
    void networkingChanged(bool on);

private:
    User *adoptFormerMe(Me *former);

    bool someUsersExceptMeEverSeen_ = false;
    double unknownUserBurst_ = UnknownUserBurst;
    double unknownUserPlaces_ = UnknownUserBurst;
    QDateTime placesCountedAt_;
    bool stopped_ = false;
    QString otherCopyAddress_;
    QPointer<Me> me_;
    QPointer<ManagedObjectContext> context_;
};
