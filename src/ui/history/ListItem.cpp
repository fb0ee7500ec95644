#include "ui/history/ListItem.h"

#include "core/model/Chat.h"
#include "core/model/LogQuery.h"
#include "core/model/User.h"
#include "ui/controls/DateFormatter.h"
#include "ui/main/MainInterface.h"

User *ListItem::user() const { return static_cast<User *>(m_user.data()); }

Chat *ListItem::chat() const { return static_cast<Chat *>(m_chat.data()); }

void ListItem::setUser(User *user) {
    m_user = user;
    if (!user) return;
    m_displayName = user->name();
    m_icon = MainInterface::image(user->icon().isEmpty() ? QStringLiteral("Offline") : user->icon());
    m_item = user;
}

void ListItem::setChat(Chat *chat) {
    m_chat = chat;
    if (!chat) return;
    const QDateTime first = chat->firstMessageDate();
    if (!first.isValid()) return;
    m_displayName = DateFormatter::format(first, false);
    m_icon = MainInterface::image(QStringLiteral("Group"));
    m_item = chat;
}

QList<LogEntry *> ListItem::lastLogEnties(int n) const {
    return LogQuery::newest(m_chat ? m_chat.data() : m_user.data(), n);
}
