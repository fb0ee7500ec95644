#include "core/model/SystemMessage.h"

#include "core/model/Chat.h"
#include "core/model/User.h"
#include "platform/store/ManagedObjectContext.h"

SystemMessage *SystemMessage::addText(const QString &text, ManagedObject *forChatOrUser, bool withError) {
    Chat *chat = dynamic_cast<Chat *>(forChatOrUser);
    User *user = dynamic_cast<User *>(forChatOrUser);
    if ((!chat && !user) || !forChatOrUser->managedObjectContext()) return nullptr;
    auto *line = forChatOrUser->managedObjectContext()->insert<SystemMessage>();
    if (chat) {
        line->setChat(chat);
        line->setOriginalSenderName(QStringLiteral("system"));
    } else {
        line->addUserObject(user);
        line->setOriginalSenderName(user->name());
    }
    line->setError(withError);
    line->setText(text);
    return line;
}
