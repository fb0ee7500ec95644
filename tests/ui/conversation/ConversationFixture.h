#pragma once

// A store with the local user and a few peers, the conversation windows answering the core,
// an injected clock, and recorders for typing notices and sent files.
#include "core/app/AppContext.h"
#include "core/app/AppInterface.h"
#include "core/app/KDTAppDelegate.h"
#include "core/model/Chat.h"
#include "core/model/LogQuery.h"
#include "core/model/Me.h"
#include "core/model/Message.h"
#include "core/model/SystemMessage.h"
#include "core/model/User.h"
#include "core/net/UserList.h"
#include "platform/defaults/Defaults.h"
#include "platform/notify/NotificationCenter.h"
#include "platform/runloop/Timer.h"
#include "platform/store/Clock.h"
#include "platform/store/ManagedObjectContext.h"
#include "ui/controls/DateFormatter.h"
#include "ui/conversation/Conversation.h"
#include "ui/conversation/ConversationServices.h"
#include "ui/conversation/ConversationWindows.h"

#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>

// Forwards what the core asks to the conversation windows; a call can be made live.
class WindowsInterface : public AppInterface {
public:
    void startConversation(User *user, bool incoming) override {
        ConversationWindows::startConversation(user, incoming);
    }
    bool isMainAndKeyWindow(QObject *window) override {
        return ConversationWindows::isMainAndKeyWindow(window);
    }
    void bringForward(QObject *window, bool keepFocus) override {
        ConversationWindows::bringForward(window, keepFocus);
    }
    QObject *openChatWindow(Chat *chat, bool incoming) override {
        return ConversationWindows::openChatWindow(chat, incoming);
    }
    Chat *usersJoinedToRoom(QObject *window, const QList<User *> &users, const QString &roomId) override {
        return ConversationWindows::usersJoinedToRoom(window, users, roomId);
    }
    void userLeftRoom(QObject *window, User *user) override {
        ConversationWindows::userLeftRoom(window, user);
    }
    bool isCallLive(User *, Chat *) override { return callLive; }
    bool callLive = false;
};

// Records sent files and invitations instead of starting transfers and sheets.
class RecordingServices : public ConversationServices {
public:
    bool sendFiles(const QStringList &paths, User *to) override {
        sent.append({paths, to});
        return true;
    }
    void inviteUsers(QWidget *, const QList<User *> &excluded, bool,
                     std::function<void(const QList<User *> &)> done) override {
        excludedAtInvite = excluded;
        if (done) done(invite);
    }
    struct Sent {
        QStringList paths;
        User *to;
    };
    QList<Sent> sent;
    QList<User *> invite;
    QList<User *> excludedAtInvite;
};

class ConversationFixture : public ::testing::Test {
protected:
    void SetUp() override {
        KDTAppDelegate::initialize(Defaults::standard(), {"en-US"});
        KDTAppDelegate::setShared(&delegate);
        now = QDateTime(QDate(2026, 3, 2), QTime(10, 0), Qt::UTC);
        Clock::setNowFunction([this] { return now; });
        Timer::setNowFunction([this] { return now; });
        DateFormatter::setNowFunction([this] { return now; });
        roster.updateMe();
        UserList::setShared(&roster);
        me = roster.me();
        ASSERT_NE(me, nullptr);
        me->setName("Me Myself");
        me->setStatus("0");
        for (const char *key : {"displayRecent", "displayTime", "SendMessageKey", "minimizeMessages",
                                "fontSize", "leaveConversationConfirmation", "showFileTransferPanelRequest"})
            Defaults::standard().removeObject(QString::fromLatin1(key));
        AppInterface::install(&windows);
        ConversationServices::install(&services);
        User::setTypingNoticeSender([this](User *u) { typingNotices.append(u); });
    }
    void TearDown() override {
        for (Conversation *c : Conversation::all()) c->windowClose();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        User::setTypingNoticeSender({});
        ConversationServices::install(nullptr);
        AppInterface::install(nullptr);
        UserList::setShared(nullptr);
        Clock::setNowFunction({});
        Timer::setNowFunction({});
        DateFormatter::setNowFunction({});
        KDTAppDelegate::setShared(nullptr);
    }
    ManagedObjectContext *context() { return appManagedObjectContext(); }
    User *peer(const QString &name, const QString &status = "0") {
        auto *u = context()->insert<User>();
        u->setUserId(QStringLiteral("A%1").arg(++m_ids, 9, 10, QLatin1Char('0')));
        u->setName(name);
        u->setStatus(status);
        return u;
    }
    void tick(int ms = 1000) { now = now.addMSecs(ms); }
    Message *message(User *u, const QString &text, bool incoming = true, Chat *chat = nullptr) {
        tick();
        auto *m = context()->insert<Message>();
        m->setMessage(text);
        m->setIncoming(incoming);
        m->addUserObject(u);
        if (chat) m->setChat(chat);
        return m;
    }
    void post(QObject *source) {
        NotificationCenter::defaultCenter().post(QStringLiteral("logUpdated"), source);
    }
    Conversation *open(User *u, bool incoming = false) {
        u->StartConversation(incoming);
        return Conversation::fromWindowObject(u->conversationWindow());
    }
    // How often a text shows in the log.
    static int shows(const Conversation *c, const QString &text) { return int(c->logText().count(text)); }

    KDTAppDelegate delegate;
    UserList roster;
    Me *me = nullptr;
    QDateTime now;
    WindowsInterface windows;
    RecordingServices services;
    QList<User *> typingNotices;

private:
    int m_ids = 0;
};
