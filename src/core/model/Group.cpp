#include "core/model/Group.h"

#include "core/model/User.h"
#include "core/model/UserTreeOutline.h"
#include "platform/store/ManagedObjectContext.h"

#include <QCoreApplication>
#include <QPointer>

namespace {
UserTreeOutline *g_outline = nullptr;
}

void Group::setOutline(UserTreeOutline *outline) { g_outline = outline; }

Group *Group::findByName(ManagedObjectContext *context, const QString &name) {
    if (!context) return nullptr;
    // Groups share their table with the users: the index spares a walk through all of them.
    static const QString entity = QString::fromLatin1(Group::EntityName);
    return dynamic_cast<Group *>(context->firstWithValue(entity, QStringLiteral("name"), name));
}

Group *Group::general(ManagedObjectContext *context) {
    const QString name = QStringLiteral("General");
    if (Group *existing = findByName(context, name)) return existing;
    if (!context) return nullptr;
    Group *group = context->insert<Group>();
    if (!group) return nullptr;
    group->setName(name);
    if (QCoreApplication *app = QCoreApplication::instance()) {
        QPointer<ManagedObject> guard(group);
        QMetaObject::invokeMethod(
            app,
            [guard] {
                if (guard && !guard->isDeleted() && g_outline)
                    g_outline->reloadAndExpand(static_cast<Group *>(guard.data()));
            },
            Qt::QueuedConnection);
    }
    return group;
}

QList<User *> Group::users() const { return toManyAs<User>(QStringLiteral("users")); }

void Group::addUsersObject(User *user) { addToMany(QStringLiteral("users"), user); }

void Group::removeUsersObject(User *user) { removeToMany(QStringLiteral("users"), user); }

QList<User *> Group::onlineUsers() {
    m_onlineUsers.clear();
    for (User *u : users())
        if (!u->userOffline()) m_onlineUsers.append(u);
    return m_onlineUsers;
}

void Group::resetTransients() {
    setIcon(QStringLiteral("Group"));
    m_userOffline = false;
    m_onlineUsers.clear();
}

void Group::awakeFromInsert() {
    TreeItem::awakeFromInsert();
    resetTransients();
}

void Group::awakeFromFetch() {
    TreeItem::awakeFromFetch();
    resetTransients();
}
