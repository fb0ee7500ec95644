#include "platform/notify/NotificationCenter.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <algorithm>

NotificationCenter &NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(const QString &name, const void *object,
                                                          Callback callback) {
    const Token token = m_next++;
    m_observers.push_back({token, name, object, std::move(callback)});
    return token;
}

void NotificationCenter::removeObserver(Token token) {
    std::erase_if(m_observers, [token](const Observer &o) { return o.token == token; });
}

void NotificationCenter::post(const QString &name, const void *object, const QVariantMap &userInfo) {
    Notification note{name, object, userInfo};
    QCoreApplication *app = QCoreApplication::instance();
    if (app && QThread::currentThread() != app->thread()) {
        QMetaObject::invokeMethod(
            app, [this, note] { deliver(note); }, Qt::QueuedConnection);
        return;
    }
    deliver(note);
}

void NotificationCenter::deliver(const Notification &note) {
    // Snapshot the tokens: a callback may change the observer list while we walk it.
    std::vector<Token> targets;
    for (const Observer &o : m_observers) {
        if ((o.name.isEmpty() || o.name == note.name) && (!o.object || o.object == note.object))
            targets.push_back(o.token);
    }
    for (Token t : targets) {
        auto it = std::find_if(m_observers.begin(), m_observers.end(),
                               [t](const Observer &o) { return o.token == t; });
        if (it == m_observers.end()) continue; // removed by an earlier callback
        Callback cb = it->callback;            // copy: the vector may grow during the call
        cb(note);
    }
}
