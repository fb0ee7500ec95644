#include "ui/conversation/ConversationServices.h"

#include "calls/Call.h"
#include "transfer/FILEserver.h"
#include "transfer/FileTransferView.h"
#include "ui/conversation/Invite.h"
#include "ui/history/HistoryViewer.h"
#include "ui/settings/SettingsWindow.h"
#include "ui/userinfo/UserInformationWindow.h"

#include <QTextCursor>

namespace {

ConversationServices *&installed() {
    static ConversationServices *services = nullptr;
    return services;
}

} // namespace

void ConversationServices::install(ConversationServices *services) { installed() = services; }

ConversationServices *ConversationServices::current() {
    static ConversationServices defaults;
    ConversationServices *services = installed();
    return services ? services : &defaults;
}

void ConversationServices::openHistory(ManagedObject *userOrChat) { HistoryViewer::initAndShow(userOrChat); }

void ConversationServices::showSettings(QWidget *from) {
    (void)from;
    SettingsWindow::showTab(SettingsWindow::Messaging);
}

void ConversationServices::openCall(User *user, Chat *chat) { Call::initCallForUser(user, chat); }

void ConversationServices::closeCallWithChat(Chat *chat) { Call::closeCallWithChat(chat); }

bool ConversationServices::sendFiles(const QStringList &paths, User *to) {
    FILEserver *server = FILEserver::shared();
    return server && to && !paths.isEmpty() && server->outgoingFiles(paths, to);
}

void ConversationServices::insertTransfer(QTextCursor &cursor, FileTransfer *transfer,
                                          const QTextCharFormat &format) {
    FileTransferView::insert(cursor, transfer, format);
}

bool ConversationServices::canShowUserInfo() const { return true; }

void ConversationServices::showUserInfo(User *user) { UserInformationWindow::showForUser(user); }

void ConversationServices::inviteUsers(QWidget *window, const QList<User *> &excluded,
                                       bool conversationHasCall,
                                       std::function<void(const QList<User *> &)> done) {
    Invite::returnInvited(excluded, window, conversationHasCall, std::move(done));
}
