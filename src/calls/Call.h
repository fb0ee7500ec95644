#pragma once

#include "calls/CallView.h"
#include "core/model/Chat.h"
#include "core/model/User.h"
#include "core/wire/PacketField.h"
#include "platform/notify/NotificationCenter.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <functional>
#include <memory>

class ScreenSaverInhibitor;
class TCPserver;
class QTimer;

// One audio and video call: with a peer (one-to-one) or in a chat room. The page in the call
// window does all media work; the call moves its signalling texts between the page and the
// peers' copies ("TRTCACTION" over the messaging port), tells the page who is in the call and
// what is said in the conversation, and tells every peer when the local user leaves
// ("TRTCACTIONCALLCLOSED"). A one-to-one call becomes a chat call when a third user joins.
//
// Ownership: a call lives in the process-wide live set from its creation until windowClose(),
// then deletes itself (deleteLater); it owns its view (the window). Main thread only.
class Call : public QObject {
    Q_OBJECT
public:
    // The confirmation sheet asked before leaving a call with peers.
    static constexpr int LeaveCallKind = 5;
    // A page that has not reported "ready" by then is taken for failed.
    static constexpr int DefaultReadyTimeoutMs = 30000;
    // CALLCLOSED packets are given this long to leave when the application quits.
    static constexpr int TerminateFlushMs = 1000;

    using ViewFactory = std::function<std::unique_ptr<CallView>(Call *)>;
    // The window of every new call (the application's); an empty factory gives views that do
    // nothing.
    static void setViewFactory(ViewFactory factory);
    // Tests: where packets go instead of the TCP server.
    using PacketSender = std::function<void(const PacketArray &packet, User *to)>;
    static void setPacketSender(PacketSender sender);
    static void setReadyTimeout(int ms);
    // The system refused the camera or the microphone: the page is told at "almostReady" and
    // the window refuses the page that device.
    static void setCameraDenied(bool denied);
    static void setMicrophoneDenied(bool denied);
    static bool cameraDenied();
    static bool microphoneDenied();

    // --- Signalling ---
    static QList<Call *> liveCalls();
    static bool isWhereAnyOngoingCall();
    // The live call of the chat, else the one with the call id, else (no chat given) the one
    // with the user; a call found by chat or user takes the given call id as its own.
    static Call *findCallWithUser(User *user, Chat *chat, const QString &callId = QString());
    // The call button of a conversation: brings that call forward, or calls the user or chat.
    static Call *initCallForUser(User *user, Chat *chat);
    // A new call and its window. weCall: an outgoing call, which calls every user; otherwise
    // they are its peers already.
    static Call *create(User *user, Chat *chat, const QString &callId, bool weCall);
    // One "TRTCACTION" with the page's text to the user.
    void sendOutRTCdata(const QString &text, const QString &userId);
    // The handlers of the call words (the packet, the peer's address); each returns its reply.
    static PacketArray aCallReceivedSomeData(const PacketArray &fields, const QString &fromIP = QString());
    static PacketArray aCallReceivedPacketReply(const PacketArray &fields, const QString &fromIP = QString());
    static PacketArray aCallPeerClosedCall(const PacketArray &fields, const QString &fromIP = QString());
    static void registerHandlers(TCPserver &server);

    // --- The page ---
    // The one way into the page: queued until the page is ready. "rtc_msg" and "callers_name"
    // take the JSON text of an object; anything else is refused (false).
    bool postToJsMessage(const QString &name, const QString &data);
    // The one way out of the page: [name, ..., data].
    void didReceiveScriptMessage(const QVariantList &body);
    // The page cannot run (it did not load, its process ended, or it never reported "ready"):
    // a system line in the conversation, and the call ends.
    void pageFailed();
    // The window lost the key status, or was clicked away from the page's controls.
    void hideDropdowns();
    // The palette changed: the page gets the new colours.
    void appearanceChanged();
    void updateWindowTitle();
    void conversationClicked();
    // The open conversation window of the call's user or chat, or null.
    QObject *conversationWindow() const;

    // --- Membership and closing ---
    void callUser(User *user);
    void usersWereAdded(const QList<User *> &users);
    void conversationAddedUsers(const QList<User *> &users, Chat *chat);
    void inviteClicked();
    void peerLeft(User *user);
    // The window's close button or the page's "leave": true when the window may close now.
    bool windowShouldClose();
    void windowClose();
    static void closeCallWithChat(Chat *chat);
    // Every live call ends and its peers are told, before the application ends; no call opens
    // after it.
    static void onApplicationTerminate();
    // Tests: calls may open again.
    static void setTerminating(bool quitting);

    QString callId() const { return m_callId; }
    User *user() const { return m_user; }
    Chat *chat() const { return m_chat; }
    QString roomId() const { return m_roomId; }
    QList<User *> peers() const;
    bool isReady() const { return m_ready; }
    bool initiallyIncomingCall() const { return m_initiallyIncomingCall; }
    QString initialIncomingOfferStorage() const { return m_initialIncomingOfferStorage; }
    const QStringList &messagesQueue() const { return m_messagesQueue; }
    bool isClosed() const { return m_closed; }
    // An incoming call is answered once its page sends its first text to a peer; an outgoing
    // one is from the start.
    bool isAnswered() const { return m_answered; }
    bool isRinging() const { return m_ringing; }
    CallView *view() const { return m_view.get(); }
    ScreenSaverInhibitor *displayAwake() const { return m_displayAwake; }

    ~Call() override;

private:
    Call(User *user, Chat *chat, const QString &callId);

    void setupWebView();
    void post(const QString &name, const QString &dataLiteral);
    void runQueued(const QString &script);
    void almostReady();
    void pageReady();
    void nameIn(const QString &data);
    void stopRing();
    void subscribeToMessages();
    void unsubscribeFromMessages();
    void logUpdated();
    void userHasChangedHisName(const void *object);
    void send(const PacketArray &packet, User *to);
    bool isPeer(const User *user) const;
    void removePeer(User *user);
    void enableWindow(bool enabled);

    QStringList m_messagesQueue;
    bool m_ready = false;
    QList<QPointer<User>> m_peers;
    QString m_roomId;
    QString m_initialIncomingOfferStorage;
    bool m_initiallyIncomingCall = false;
    bool m_ringing = false;
    bool m_answered = false;
    bool m_closed = false;
    QString m_callId;
    QPointer<Chat> m_chat;
    QPointer<User> m_user;
    std::unique_ptr<CallView> m_view;
    ScreenSaverInhibitor *m_displayAwake = nullptr;
    QTimer *m_readyTimer = nullptr;
    NotificationCenter::Token m_logToken = 0;
    NotificationCenter::Token m_nameToken = 0;
    QMetaObject::Connection m_meName;
};
