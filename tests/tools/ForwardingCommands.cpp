// Offline-forwarding commands of the driver: the held copies of this copy, a delivery run on
// demand, and an event each time a held copy goes.
#include "DriverCommands.h"

#include "core/app/AppContext.h"
#include "core/model/MessageForForwarding.h"
#include "core/model/User.h"
#include "core/wire/KDTAES.h"
#include "platform/store/ManagedObjectContext.h"

#include <QJsonArray>

namespace {

// "held": every held copy, oldest first.
void held(const QString &) {
    QList<MessageForForwarding *> copies = appManagedObjectContext()->fetch<MessageForForwarding>(
        [](const MessageForForwarding *m) { return !m->isDeleted(); });
    std::stable_sort(
        copies.begin(), copies.end(),
        [](const MessageForForwarding *a, const MessageForForwarding *b) { return a->time() < b->time(); });
    QJsonArray list;
    for (const MessageForForwarding *m : copies) {
        QJsonArray recipients;
        for (const User *u : m->recipients()) recipients.append(u->userId());
        list.append(QJsonObject{{"id", QString::number(m->messageId())},
                                {"for", recipients},
                                {"sender", m->sender() ? m->sender()->userId() : QString()},
                                {"mass", m->mass()},
                                {"text", KDTAES::decryptString(m->message(), true)},
                                {"time", m->time().toSecsSinceEpoch()}});
    }
    DriverCommands::emitEvent({{"event", "held-list"}, {"copies", list}});
}

// "forward-run": the 70 s run now.
void forwardRun(const QString &) {
    MessageForForwarding::sendOnTimer();
    DriverCommands::emitEvent({{"event", "ok"}, {"command", "forward-run"}});
}

DriverCommands::Registrar forwarding([] {
    DriverCommands::add(QStringLiteral("held"), held);
    DriverCommands::add(QStringLiteral("forward-run"), forwardRun);
    DriverCommands::addStartup([] {
        ManagedObjectContext *ctx = appManagedObjectContext();
        QObject::connect(ctx, &ManagedObjectContext::objectDeleted, ctx, [](ManagedObject *object) {
            if (auto *m = dynamic_cast<MessageForForwarding *>(object))
                DriverCommands::emitEvent({{"event", "held-gone"}, {"id", QString::number(m->messageId())}});
        });
    });
});

} // namespace
