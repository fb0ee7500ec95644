#include "core/model/MessageForForwarding.h"

#include "core/model/User.h"
#include "platform/store/ManagedObjectContext.h"

namespace {
std::function<void(User *)> &onUserIn() {
    static std::function<void(User *)> handler;
    return handler;
}
} // namespace

QList<MessageForForwarding *> MessageForForwarding::findByMessageId(ManagedObjectContext *context,
                                                                    qint64 messageId) {
    if (!context) return {};
    return context->fetch<MessageForForwarding>([messageId](const MessageForForwarding *m) {
        return m->value(QStringLiteral("messageId")) == QVariant(messageId);
    });
}

void MessageForForwarding::sendOnUserIn(User *user) {
    if (const auto &handler = onUserIn()) handler(user);
}

void MessageForForwarding::setSendOnUserInHandler(std::function<void(User *)> handler) {
    onUserIn() = std::move(handler);
}

QList<User *> MessageForForwarding::recipients() const {
    return toManyAs<User>(QStringLiteral("recipients"));
}

void MessageForForwarding::addRecipientsObject(User *user) { addToMany(QStringLiteral("recipients"), user); }

void MessageForForwarding::removeRecipientsObject(User *user) {
    removeToMany(QStringLiteral("recipients"), user);
}

User *MessageForForwarding::sender() const { return dynamic_cast<User *>(toOne(QStringLiteral("sender"))); }

void MessageForForwarding::setSender(User *user) { setToOne(QStringLiteral("sender"), user); }
