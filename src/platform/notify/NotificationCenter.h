#pragma once

#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <functional>
#include <vector>

// A posted notification: its name, the object it is about (may be null) and extra values.
struct Notification {
    QString name;
    const void *object = nullptr;
    QVariantMap userInfo;
};

// Named notifications, delivered synchronously to the observers registered for the name and
// (when an observer gave one) the object. Posts from another thread are delivered on the main
// thread. Observers may add or remove observers, or post, from inside a callback.
class NotificationCenter {
public:
    using Token = std::uint64_t;
    using Callback = std::function<void(const Notification &)>;

    static NotificationCenter &defaultCenter();

    // An empty name observes every notification; a null object observes every sender.
    Token addObserver(const QString &name, const void *object, Callback callback);
    void removeObserver(Token token);

    void post(const QString &name, const void *object = nullptr, const QVariantMap &userInfo = {});

private:
    struct Observer {
        Token token;
        QString name;
        const void *object;
        Callback callback;
    };
    void deliver(const Notification &note);

    std::vector<Observer> m_observers;
    Token m_next = 1;
};
