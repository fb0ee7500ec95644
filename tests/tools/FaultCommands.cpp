// Commands of the driver for fault runs: every message row of the store at once, and a copy that
// stops right before it would save a message it received, so a test can kill it there.
//
// Environment: MURNAVELL_STALL_BEFORE_SAVE=message makes the first save that would write a
// received message say {"event":"stalled"} and block the main thread (up to 60 s) instead.
#include "DriverCommands.h"

#include "core/app/AppContext.h"
#include "core/model/Message.h"
#include "core/model/User.h"
#include "platform/store/ManagedObjectContext.h"

#include <QJsonArray>

#include <chrono>
#include <thread>

namespace {

// "messages": every message row, received and sent.
void messages(const QString &) {
    QJsonArray list;
    for (const Message *m : appManagedObjectContext()->fetch<Message>()) {
        QJsonArray users;
        for (const User *u : m->user()) users.append(u->userId());
        list.append(QJsonObject{{"id", QString::number(m->messageId())},
                                {"incoming", m->incoming()},
                                {"users", users},
                                {"text", m->message()},
                                {"mass", m->mass()},
                                {"offline", m->offline()}});
    }
    DriverCommands::emitEvent({{"event", "messages"}, {"messages", list}});
}

void stallBeforeSavingAReceivedMessage() {
    static bool stalled = false;
    if (stalled) return;
    for (ManagedObject *object : appManagedObjectContext()->insertedObjects()) {
        const auto *m = dynamic_cast<const Message *>(object);
        if (!m || !m->incoming()) continue;
        stalled = true;
        DriverCommands::emitEvent({{"event", "stalled"}, {"id", QString::number(m->messageId())}});
        // The test kills the copy meanwhile; what the copy queued before has time to leave.
        std::this_thread::sleep_for(std::chrono::seconds(60));
        return;
    }
}

DriverCommands::Registrar faults([] {
    DriverCommands::add(QStringLiteral("messages"), messages);
    DriverCommands::addStartup([] {
        if (qEnvironmentVariable("MURNAVELL_STALL_BEFORE_SAVE") != QLatin1String("message")) return;
        ManagedObjectContext *ctx = appManagedObjectContext();
        QObject::connect(ctx, &ManagedObjectContext::willSave, ctx, stallBeforeSavingAReceivedMessage,
                         Qt::DirectConnection);
    });
});

} // namespace
