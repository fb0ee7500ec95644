#include "ui/conversation/ConversationWindows.h"

#include "calls/Call.h"
#include "core/app/AppInterface.h"
#include "core/model/Chat.h"
#include "core/model/User.h"
#include "ui/conversation/Conversation.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMainWindow>

namespace {

bool canRaise() { return QGuiApplication::platformName() != QLatin1String("offscreen"); }

} // namespace

QList<Conversation *> ConversationWindows::openWindows() {
    QList<Conversation *> out;
    for (Conversation *c : Conversation::all())
        if (!c->closed()) out.append(c);
    return out;
}

void ConversationWindows::startConversation(User *user, bool incoming) {
    if (!user || user->isDeleted()) return;
    if (auto *open = Conversation::fromWindowObject(user->conversationWindow()); open && !open->closed()) {
        if (incoming) return; // the incoming-line rules decide about showing it
        // During a call with the user, the call window shows its conversation beside it.
        if (Call *call = Call::findCallWithUser(user, nullptr)) {
            call->conversationClicked();
            return;
        }
        QMainWindow *window = open->window();
        if (window->isMinimized()) window->showNormal();
        window->show();
        window->raise();
        window->activateWindow();
        return;
    }
    auto *conversation = new Conversation({user}, nullptr, incoming);
    user->setConversationWindow(conversation);
}

Conversation *ConversationWindows::startGroupConversation(const QList<User *> &users) {
    if (users.size() == 1) {
        startConversation(users.first(), false);
        return Conversation::fromWindowObject(users.first()->conversationWindow());
    }
    return users.isEmpty() ? nullptr : new Conversation(users, nullptr, false);
}

QObject *ConversationWindows::openChatWindow(Chat *chat, bool incoming) {
    if (!chat || chat->isDeleted()) return nullptr;
    if (QObject *open = chat->conversationWindow()) return open;
    auto *conversation = new Conversation(chat->currentUsers(), chat, incoming);
    chat->setConversationWindow(conversation);
    return conversation;
}

void ConversationWindows::bringForward(QObject *object, bool keepFocus) {
    Conversation *conversation = Conversation::fromWindowObject(object);
    if (!conversation || conversation->closed() || !conversation->window()) return;
    QMainWindow *window = conversation->window();
    if (window->isMinimized()) {
        window->showNormal();
    } else if (!window->isVisible()) {
        if (!keepFocus) window->setAttribute(Qt::WA_ShowWithoutActivating, true);
        window->show();
        window->setAttribute(Qt::WA_ShowWithoutActivating, false);
    }
    if (!canRaise()) return;
    if (keepFocus) {
        window->raise();
        window->activateWindow();
    } else if (!window->isActiveWindow()) {
        conversation->floatAbove();
    }
}

bool ConversationWindows::isMainAndKeyWindow(QObject *object) {
    Conversation *conversation = Conversation::fromWindowObject(object);
    return conversation && conversation->window() && conversation->window()->isActiveWindow();
}

Chat *ConversationWindows::usersJoinedToRoom(QObject *object, const QList<User *> &users,
                                             const QString &roomId) {
    Conversation *conversation = Conversation::fromWindowObject(object);
    return conversation ? conversation->usersJoined(users, roomId) : nullptr;
}

void ConversationWindows::userLeftRoom(QObject *object, User *user) {
    if (Conversation *conversation = Conversation::fromWindowObject(object)) conversation->userLeft(user);
}
