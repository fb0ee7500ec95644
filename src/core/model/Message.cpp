#include "core/model/Message.h"

#include "platform/store/ManagedObjectContext.h"

Message *Message::findByMessageId(ManagedObjectContext *context, qint64 messageId) {
    if (!context) return nullptr;
    FetchRequest r;
    r.entityName = QString::fromLatin1(EntityName);
    r.where = QStringLiteral("t.\"messageId\" = ?");
    r.bindings = {messageId};
    r.predicate = [messageId](const ManagedObject *o) {
        return static_cast<const Message *>(o)->value(QStringLiteral("messageId")) == QVariant(messageId);
    };
    r.limit = 1;
    const QList<ManagedObject *> found = context->executeFetch(r);
    return found.isEmpty() ? nullptr : static_cast<Message *>(found.first());
}
