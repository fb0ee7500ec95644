#pragma once

#include "platform/store/ManagedObject.h"

#include <functional>

class ManagedObjectContext;
class User;

// A message held for users who are offline.
class MessageForForwarding : public ManagedObject {
public:
    static constexpr const char *EntityName = "MessageForForwarding";

    static QList<MessageForForwarding *> findByMessageId(ManagedObjectContext *context, qint64 messageId);

    // A user came online (every status but "10"). The delivery run is installed by the
    // forwarding code; until then this does nothing.
    static void sendOnUserIn(User *user);
    static void setSendOnUserInHandler(std::function<void(User *)> handler);

    bool mass() const { return boolValue(QStringLiteral("mass")); }
    void setMass(bool v) { setValue(QStringLiteral("mass"), v); }
    // The text, encrypted with the string cipher.
    QByteArray message() const { return dataValue(QStringLiteral("message")); }
    void setMessage(const QByteArray &v) { setValue(QStringLiteral("message"), v); }
    qint64 messageId() const { return integerValue(QStringLiteral("messageId")); }
    void setMessageId(qint64 v) { setValue(QStringLiteral("messageId"), v); }
    QDateTime time() const { return dateValue(QStringLiteral("time")); }
    void setTime(const QDateTime &v) { setValue(QStringLiteral("time"), v); }

    QList<User *> recipients() const;
    void addRecipientsObject(User *user);
    void removeRecipientsObject(User *user);
    User *sender() const;
    void setSender(User *user);
};
