#include "core/app/AppInterface.h"

#include "calls/Call.h"

namespace {
AppInterface *&installed() {
    static AppInterface *ui = nullptr;
    return ui;
}
} // namespace

void AppInterface::install(AppInterface *ui) { installed() = ui; }

AppInterface *AppInterface::current() {
    static AppInterface none;
    AppInterface *ui = installed();
    return ui ? ui : &none;
}

bool AppInterface::isCallLive(User *user, Chat *chat) {
    if (!user && !chat) return Call::isWhereAnyOngoingCall();
    return Call::findCallWithUser(chat ? nullptr : user, chat) != nullptr;
}

void AppInterface::conversationAddedUsers(Chat *callChat, User *callUser, const QList<User *> &users,
                                          Chat *toChat) {
    if (Call *call = Call::findCallWithUser(callChat ? nullptr : callUser, callChat))
        call->conversationAddedUsers(users, toChat);
}

void AppInterface::endAllCalls() { Call::onApplicationTerminate(); }
