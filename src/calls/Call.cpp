#include "calls/Call.h"

#include "calls/CallPacket.h"
#include "calls/CallPage.h"
#include "core/app/AppContext.h"
#include "core/app/AppInterface.h"
#include "core/model/Chat.h"
#include "core/model/LogEntry.h"
#include "core/model/Me.h"
#include "core/model/Message.h"
#include "core/model/SystemMessage.h"
#include "core/model/User.h"
#include "core/net/TCPserver.h"
#include "core/net/UserList.h"
#include "core/wire/KDTPacket.h"
#include "platform/defaults/Defaults.h"
#include "platform/strings/Strings.h"
#include "platform/system/ScreenSaverInhibitor.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLoggingCategory>
#include <QTimer>

#include <typeinfo>

namespace {

Q_LOGGING_CATEGORY(lcCall, "murnavell.calls")

const QString kSeparator = QString(QChar(0x08));
const QString kLineEnd = QStringLiteral("\r\n");
const QString kCallInternals = QStringLiteral("CallInternals");
// Page texts the window keeps, at most: the page's settings are a few device names.
constexpr qsizetype kMaxSettingsLength = 64 * 1024;
constexpr int kMaxMinWidth = 4000;

QList<QPointer<Call>> &liveSet() {
    static QList<QPointer<Call>> set;
    return set;
}

Call::ViewFactory &viewFactory() {
    static Call::ViewFactory factory;
    return factory;
}

Call::PacketSender &packetSender() {
    static Call::PacketSender sender;
    return sender;
}

int &readyTimeout() {
    static int ms = Call::DefaultReadyTimeoutMs;
    return ms;
}

bool &cameraDeniedFlag() {
    static bool denied = false;
    return denied;
}

bool &microphoneDeniedFlag() {
    static bool denied = false;
    return denied;
}

// Set while the application quits: no new call opens then.
bool &terminating() {
    static bool value = false;
    return value;
}

bool usable(const User *u) { return u && !u->isDeleted(); }

// A user this copy knows, by id alone; never the local user.
User *knownUser(const QString &userId) {
    if (userId.isEmpty() || userId == QLatin1String("*")) return nullptr;
    UserList *roster = UserList::shared();
    User *u = roster ? roster->getUserById(userId, QString())
                     : User::findByUserId(appManagedObjectContext(), userId);
    if (!usable(u) || u == Me::current()) return nullptr;
    return u;
}

// The first part of field 7 of a reply, whatever the rest holds.
QString callIdOfReply(const PacketArray &fields) {
    return CallPacket::field(fields, 7).section(kLineEnd, 0, 0);
}

Call *liveCallWithId(const QString &callId) {
    if (callId.isEmpty()) return nullptr;
    for (Call *call : Call::liveCalls())
        if (call->callId() == callId) return call;
    return nullptr;
}

} // namespace

// --- Settings of the class ---

void Call::setViewFactory(ViewFactory factory) { viewFactory() = std::move(factory); }
void Call::setPacketSender(PacketSender sender) { packetSender() = std::move(sender); }
void Call::setReadyTimeout(int ms) { readyTimeout() = ms; }
void Call::setCameraDenied(bool denied) { cameraDeniedFlag() = denied; }
void Call::setMicrophoneDenied(bool denied) { microphoneDeniedFlag() = denied; }
bool Call::cameraDenied() { return cameraDeniedFlag(); }
bool Call::microphoneDenied() { return microphoneDeniedFlag(); }

// --- The live set ---

QList<Call *> Call::liveCalls() {
    liveSet().removeIf([](const QPointer<Call> &c) { return !c || c->isClosed(); });
    QList<Call *> out;
    for (const QPointer<Call> &c : liveSet()) out.append(c.data());
    return out;
}

bool Call::isWhereAnyOngoingCall() { return !liveCalls().isEmpty(); }

Call *Call::findCallWithUser(User *user, Chat *chat, const QString &callId) {
    const QList<Call *> calls = liveCalls();
    Call *found = nullptr;
    // 1. By chat; the call takes the given id.
    if (chat) {
        for (Call *c : calls)
            if (c->chat() == chat) found = c;
        if (found && !callId.isEmpty()) found->m_callId = callId;
    }
    // 2. By id.
    if (!found && !callId.isEmpty())
        for (Call *c : calls)
            if (c->callId() == callId) found = c;
    // 3. By user when no chat was given; the call takes the given id.
    if (!found && user && !chat) {
        for (Call *c : calls)
            if (c->user() == user) found = c;
        if (found && !callId.isEmpty()) found->m_callId = callId;
    }
    return found;
}

Call *Call::initCallForUser(User *user, Chat *chat) {
    if (Call *call = findCallWithUser(user, chat)) {
        call->m_view->bringToFront();
        return call;
    }
    return create(user, chat, QString(), true);
}

// --- Creation ---

Call::Call(User *user, Chat *chat, const QString &callId)
    : m_callId(callId.isEmpty() ? CallPacket::newCallId() : callId), m_chat(chat),
      m_user(chat ? nullptr : user) {}

Call *Call::create(User *user, Chat *chat, const QString &callId, bool weCall) {
    auto *call = new Call(user, chat, callId);
    // 1. The display stays awake for as long as the call lives.
    call->m_displayAwake = new ScreenSaverInhibitor(QStringLiteral("Audio/Video Call Started"), call);
    // 2. The window; the call is live from now on.
    const ViewFactory &factory = viewFactory();
    call->m_view = factory ? factory(call) : nullptr;
    if (!call->m_view) call->m_view = std::make_unique<CallView>();
    liveSet().append(QPointer<Call>(call));
    // 4. Who the local user is, once the page is there.
    call->m_answered = weCall;
    if (Me *me = Me::current()) {
        call->postToJsMessage(QStringLiteral("uid"), me->userId());
        call->postToJsMessage(QStringLiteral("name"), me->name());
        call->m_meName = connect(me, &ManagedObject::attributeChanged, call,
                                 [call, me](const QString &key, const QVariant &) {
                                     if (key == QLatin1String("name"))
                                         call->postToJsMessage(QStringLiteral("name"), me->name());
                                 });
    }
    // 5. The conversation's lines reach the page.
    call->subscribeToMessages();
    // 6. Who is in the call.
    QList<User *> users;
    if (chat)
        users = chat->currentUsers();
    else if (usable(user))
        users = {user};
    if (weCall) {
        for (User *u : users) call->callUser(u);
    } else {
        for (User *u : users)
            if (usable(u) && u != Me::current() && !call->isPeer(u)) call->m_peers.append(u);
    }
    // 7.
    call->m_nameToken = NotificationCenter::defaultCenter().addObserver(
        QStringLiteral("userChangedHisName"), nullptr, [guard = QPointer<Call>(call)](const Notification &n) {
            if (guard) guard->userHasChangedHisName(n.object);
        });
    call->setupWebView();
    call->m_view->showWindow();
    call->updateWindowTitle();
    return call;
}

Call::~Call() {
    if (!m_closed) {
        // Deleted without being closed (the application object going away): nobody is told.
        unsubscribeFromMessages();
        NotificationCenter::defaultCenter().removeObserver(m_nameToken);
    }
    liveSet().removeIf([this](const QPointer<Call> &c) { return !c || c.data() == this; });
}

void Call::setupWebView() {
    const QVariant stored = Defaults::standard().value(kCallInternals);
    std::optional<QString> settings;
    if (stored.isValid() && !stored.isNull()) settings = stored.toString();
    const CallPage::Sources sources = CallPage::load();
    const QString css = CallPage::css(sources, m_view->colours());
    const QString localization =
        CallPage::localization([](const QString &key) { return Strings::localized(key); });
    m_view->loadPage(CallPage::document(CallPage::script(sources, css, settings, localization)),
                     CallPage::baseUrl());
    // A page that never says it is ready (no renderer, a broken page) must not ring for ever.
    m_readyTimer = new QTimer(this);
    m_readyTimer->setSingleShot(true);
    connect(m_readyTimer, &QTimer::timeout, this, [this] {
        if (!m_ready) {
            qCWarning(lcCall) << "the call page did not report ready in" << readyTimeout() << "ms";
            pageFailed();
        }
    });
    m_readyTimer->start(readyTimeout());
}

// --- Signalling ---

void Call::send(const PacketArray &packet, User *to) {
    if (!usable(to)) return;
    if (const PacketSender &sender = packetSender()) {
        sender(packet, to);
        return;
    }
    if (TCPserver *server = TCPserver::shared())
        server->SendTCPpacket(KDTPacket::PlainPackeFromArray(packet), to, nullptr);
}

void Call::sendOutRTCdata(const QString &text, const QString &userId) {
    User *to = knownUser(userId);
    if (!to) return;
    const QString room = m_chat ? QString::number(m_chat->roomId()) : QStringLiteral("0");
    send(CallPacket::dataPacket(to->userId(), text, m_callId, room), to);
}

PacketArray Call::aCallReceivedSomeData(const PacketArray &fields, const QString &) {
    // This system never refuses a call: every packet is answered "0", also one it drops.
    const PacketArray reply = CallPacket::dataReply(fields);
    if (terminating()) return reply;
    // 1. Only from a user this copy knows, with a call id and room id, and a text that is a
    // signalling object: anything else opens no call, makes no room and reaches no page.
    User *sender = knownUser(CallPacket::field(fields, 3));
    if (!sender) return reply;
    const std::optional<CallPacket::CallField> ids = CallPacket::parseCallField(CallPacket::field(fields, 7));
    if (!ids) return reply;
    const std::optional<QString> payload = CallPacket::decodePayload(CallPacket::field(fields, 6));
    if (!payload) return reply;
    const std::optional<QString> literal = CallPage::jsObject(*payload);
    if (!literal) return reply;

    // 2. The chat room of the call, made when this copy does not know it.
    Chat *chat = nullptr;
    if (ids->roomId != QLatin1String("0")) {
        chat = Chat::findByChatRoomId(ids->roomId);
        if (chat && chat->currentUsers().isEmpty()) {
            chat->setCurrentUsers({sender});
            chat->requestRoomInfo();
        } else if (!chat && Chat::admitRoomFromNetwork()) {
            chat = Chat::createWithUsers({sender}, ids->roomId);
        }
    }
    // 4. The call, or a new incoming one.
    Call *call = findCallWithUser(sender, chat, ids->callId);
    if (!call) {
        call = create(sender, chat, ids->callId, false);
        call->m_initiallyIncomingCall = true;
        const Defaults &defaults = Defaults::standard();
        if (defaults.value(QStringLiteral("sounds.enabled")).toBool() &&
            defaults.value(QStringLiteral("sounds.onCall")).toBool()) {
            call->m_ringing = true;
            call->m_view->startRing();
        }
    } else if (chat && call->user()) {
        call->m_roomId = ids->roomId;
    }
    // 5. The first offer of an incoming call is kept for the page's "almostReady".
    if (!call->m_ready && call->m_initiallyIncomingCall && call->m_initialIncomingOfferStorage.isEmpty() &&
        payload->contains(QLatin1String("offer")) && payload->contains(QLatin1String("name")))
        call->m_initialIncomingOfferStorage = *payload;
    // 6.
    call->post(QStringLiteral("rtc_msg"), *literal);
    return reply;
}

PacketArray Call::aCallReceivedPacketReply(const PacketArray &fields, const QString &) {
    if (CallPacket::field(fields, 6) == QLatin1String("0")) return {};
    Call *call = liveCallWithId(callIdOfReply(fields));
    User *user = knownUser(CallPacket::field(fields, 3));
    if (!call || !user || !call->isPeer(user)) return {};
    const QString text = Strings::format(
        Strings::localized(QStringLiteral(
            "%@ is unable to accept your call due to restrictions imposed by the system administrator.")),
        {user->name()});
    ManagedObject *log = call->chat() ? static_cast<ManagedObject *>(call->chat()) : call->user();
    if (!log) log = user;
    SystemMessage::addText(text, log, true);
    saveContextIfChanged();
    NotificationCenter::defaultCenter().post(QStringLiteral("logUpdated"), log);
    const QPointer<Call> guard(call);
    const QString id = user->userId(), name = user->name();
    call->peerLeft(user);
    if (guard && !guard->isClosed())
        guard->postToJsMessage(QStringLiteral("message"), id + kSeparator + name + kSeparator + text);
    return {};
}

PacketArray Call::aCallPeerClosedCall(const PacketArray &fields, const QString &) {
    const PacketArray reply = CallPacket::closedReply(fields);
    Call *call = liveCallWithId(CallPacket::field(fields, 6));
    User *user = knownUser(CallPacket::field(fields, 3));
    // Only a user in the call can leave it.
    if (call && user && call->isPeer(user)) call->peerLeft(user);
    return reply;
}

void Call::registerHandlers(TCPserver &server) {
    server.setHandler(CallPacket::dataWord(), &Call::aCallReceivedSomeData);
    server.setHandler(CallPacket::closedWord(), &Call::aCallPeerClosedCall);
    server.setHandler(CallPacket::dataReplyWord(), &Call::aCallReceivedPacketReply);
}

// --- The page ---

bool Call::postToJsMessage(const QString &name, const QString &data) {
    if (m_closed) return false;
    if (name == QLatin1String("rtc_msg") || name == QLatin1String("callers_name")) {
        const std::optional<QString> literal = CallPage::jsObject(data);
        if (!literal) return false;
        post(name, *literal);
    } else {
        post(name, CallPage::jsString(data));
    }
    return true;
}

void Call::post(const QString &name, const QString &dataLiteral) {
    runQueued(CallPage::message(name, dataLiteral));
}

void Call::runQueued(const QString &script) {
    if (m_closed) return;
    if (m_ready)
        m_view->runScript(script);
    else
        m_messagesQueue.append(script);
}

void Call::didReceiveScriptMessage(const QVariantList &body) {
    if (m_closed || body.isEmpty()) return;
    const QString name = body.first().toString();
    const QString data = body.last().toString();
    if (name == QLatin1String("settings")) {
        if (data.size() <= kMaxSettingsLength) Defaults::standard().setValue(kCallInternals, data);
    } else if (name == QLatin1String("nameIn")) {
        nameIn(data);
    } else if (name == QLatin1String("invite")) {
        inviteClicked();
    } else if (name == QLatin1String("conversation")) {
        conversationClicked();
    } else if (name == QLatin1String("leave")) {
        windowShouldClose();
    } else if (name == QLatin1String("minWidth")) {
        bool ok = false;
        const int width = data.toInt(&ok);
        if (ok && width > 0) m_view->setMinimumContentWidth(qMin(width, kMaxMinWidth));
    } else if (name == QLatin1String("ready")) {
        pageReady();
    } else if (name == QLatin1String("almostReady")) {
        almostReady();
    } else if (name == QLatin1String("privacy")) {
        if (data == QLatin1String("Camera") || data == QLatin1String("Microphone"))
            m_view->openPrivacySettings(data);
    } else {
        // A signalling text for a peer: the local user has answered an incoming call.
        if (!m_answered) {
            m_answered = true;
            stopRing();
        }
        sendOutRTCdata(data, name);
    }
}

void Call::almostReady() {
    m_view->runScript(QStringLiteral("document.body.oncontextmenu = e => e.preventDefault();"));
    if (cameraDenied()) m_view->runScript(QStringLiteral("macPrivacyDisable('Camera');"));
    if (microphoneDenied()) m_view->runScript(QStringLiteral("macPrivacyDisable('Microphone');"));
    if (!m_initialIncomingOfferStorage.isEmpty())
        if (const std::optional<QString> literal = CallPage::jsObject(m_initialIncomingOfferStorage))
            m_view->runScript(CallPage::message(QStringLiteral("callers_name"), *literal));
}

void Call::pageReady() {
    if (m_ready) return;
    m_ready = true;
    if (m_readyTimer) m_readyTimer->stop();
    const QStringList queued = std::exchange(m_messagesQueue, {});
    for (const QString &script : queued) m_view->runScript(script);
}

void Call::nameIn(const QString &data) {
    User *user = knownUser(data.section(kLineEnd, 0, 0));
    if (!user || isPeer(user)) return;
    // The peer of a one-to-one call calling back after leaving is only its peer again.
    if (!(m_user == user && !m_chat)) usersWereAdded({user});
    if (m_closed) return;
    if (!isPeer(user)) m_peers.append(user);
    if (!m_logToken) subscribeToMessages();
    updateWindowTitle();
}

void Call::pageFailed() {
    if (m_closed) return;
    ManagedObject *log = m_chat ? static_cast<ManagedObject *>(m_chat) : m_user.data();
    if (log) {
        SystemMessage::addText(Strings::localized(QStringLiteral(
                                   "The call could not go on: the call window failed to show it.")),
                               log, true);
        saveContextIfChanged();
        NotificationCenter::defaultCenter().post(QStringLiteral("logUpdated"), log);
    }
    windowClose();
}

void Call::hideDropdowns() {
    if (m_ready && !m_closed) m_view->runScript(QStringLiteral("DeviceButton.hideAllDropdows();"));
}

void Call::appearanceChanged() {
    if (m_ready && !m_closed) m_view->runScript(CallPage::colourScript(m_view->colours()));
}

void Call::updateWindowTitle() {
    const QString call = Strings::localized(QStringLiteral("Call"));
    const QList<User *> in = peers();
    m_view->setTitle(in.isEmpty()
                         ? call
                         : Strings::format(QStringLiteral("%@ - %@"), {User::getUserNamesFromSet(in), call}));
}

void Call::conversationClicked() { m_view->showConversation(m_user, m_chat); }

QObject *Call::conversationWindow() const {
    if (m_chat) return m_chat->conversationWindow();
    if (m_user) return m_user->conversationWindow();
    return nullptr;
}

void Call::logUpdated() {
    QList<LogEntry *> newest;
    if (m_chat)
        newest = m_chat->lastLogEnties(1);
    else if (m_user)
        newest = m_user->lastLogEnties(1);
    if (newest.isEmpty()) return;
    // Only a message itself; transfers and system lines stay in the conversation.
    LogEntry *entry = newest.first();
    if (typeid(*entry) != typeid(Message)) return;
    auto *message = static_cast<Message *>(entry);
    User *sender = message->incoming() ? message->user().value(0) : Me::current();
    if (!sender) return;
    postToJsMessage(QStringLiteral("message"),
                    sender->userId() + kSeparator + sender->name() + kSeparator + message->message());
}

void Call::userHasChangedHisName(const void *object) {
    for (const QPointer<User> &u : std::as_const(m_peers))
        if (u && static_cast<const void *>(u.data()) == object) {
            postToJsMessage(QStringLiteral("rename"), u->userId() + kSeparator + u->name());
            updateWindowTitle();
            return;
        }
}

void Call::subscribeToMessages() {
    unsubscribeFromMessages();
    const void *source = m_chat ? static_cast<const void *>(m_chat.data()) : m_user.data();
    if (!source) return;
    m_logToken = NotificationCenter::defaultCenter().addObserver(
        QStringLiteral("logUpdated"), source, [guard = QPointer<Call>(this)](const Notification &) {
            if (guard) guard->logUpdated();
        });
}

void Call::unsubscribeFromMessages() {
    if (m_logToken) NotificationCenter::defaultCenter().removeObserver(m_logToken);
    m_logToken = 0;
}

// --- Membership ---

QList<User *> Call::peers() const {
    QList<User *> out;
    for (const QPointer<User> &u : m_peers)
        if (usable(u)) out.append(u.data());
    return out;
}

bool Call::isPeer(const User *user) const {
    for (const QPointer<User> &u : m_peers)
        if (u.data() == user) return true;
    return false;
}

void Call::removePeer(User *user) {
    m_peers.removeIf([user](const QPointer<User> &u) { return !u || u.data() == user; });
}

void Call::callUser(User *user) {
    if (!usable(user) || user == Me::current() || isPeer(user)) return;
    if (!user->canCall()) return;
    postToJsMessage(QStringLiteral("add"), user->userId() + kSeparator + user->name());
    m_peers.append(user);
    if (!m_user && !m_chat) m_user = user;
    // Observed again when the call had emptied.
    if (!m_logToken) subscribeToMessages();
}

void Call::usersWereAdded(const QList<User *> &users) {
    Chat *chat = nullptr;
    if (QObject *window = conversationWindow()) {
        // 1. The open conversation takes them into its room.
        Chat *room = AppInterface::current()->usersJoinedToRoom(window, users, m_roomId);
        if (m_chat || !room) return;
        chat = room;
    } else if (m_chat) {
        // 2.
        QList<User *> members = m_chat->currentUsers();
        for (User *u : users)
            if (!members.contains(u)) members.append(u);
        m_chat->setCurrentUsers(members);
        m_chat->informJoin();
        return;
    } else {
        // 3. A room of its own, with the call's user and the new users.
        QList<User *> members = users;
        if (m_user && !members.contains(m_user.data())) members.append(m_user.data());
        chat = Chat::createWithUsers(members, m_roomId.isEmpty() ? QString() : m_roomId);
        if (!chat) return;
    }
    // 4.
    m_chat = chat;
    m_user = nullptr;
    subscribeToMessages();
}

void Call::conversationAddedUsers(const QList<User *> &users, Chat *chat) {
    if (!m_chat && chat) {
        m_chat = chat;
        m_user = nullptr;
        subscribeToMessages();
    }
    for (User *u : users) callUser(u);
    updateWindowTitle();
}

void Call::inviteClicked() {
    enableWindow(false);
    QList<User *> excluded = peers();
    if (Me *me = Me::current()) excluded.append(me);
    if (UserList *roster = UserList::shared())
        for (User *u : roster->allUsersWithoutOffline(true, true))
            if (!u->canCall() && !excluded.contains(u)) excluded.append(u);
    const QPointer<Call> guard(this);
    m_view->chooseUsers(
        excluded,
        [guard] {
            if (guard) guard->enableWindow(false);
        },
        [guard](const QList<User *> &chosen) {
            if (!guard || guard->isClosed()) return;
            guard->enableWindow(true);
            if (chosen.isEmpty()) return;
            guard->usersWereAdded(chosen);
            for (User *u : chosen) guard->callUser(u);
            guard->updateWindowTitle();
        });
}

void Call::peerLeft(User *user) {
    if (m_closed || !user) return;
    postToJsMessage(QStringLiteral("left"), user->userId());
    removePeer(user);
    if (peers().isEmpty()) {
        unsubscribeFromMessages();
        stopRing();
        // A call that never started here (the page not ready, or an incoming call nobody
        // answered) has nothing left to show: it closes by itself.
        if (!m_ready || !m_answered) {
            windowClose();
            return;
        }
    }
    updateWindowTitle();
}

void Call::enableWindow(bool enabled) {
    postToJsMessage(QStringLiteral("enableWindow"), enabled ? QStringLiteral("1") : QStringLiteral("0"));
}

void Call::stopRing() {
    if (!m_ringing) return;
    m_ringing = false;
    m_view->stopRing();
}

// --- Closing ---

bool Call::windowShouldClose() {
    if (m_closed) return true;
    stopRing();
    if (!peers().isEmpty()) {
        enableWindow(false);
        const QPointer<Call> guard(this);
        m_view->requestConfirmation(
            LeaveCallKind,
            [guard] {
                if (guard) guard->windowClose();
            },
            [guard] {
                if (guard) guard->enableWindow(true);
            });
        return false;
    }
    windowClose();
    return true;
}

void Call::windowClose() {
    if (m_closed) return;
    // 1. Every peer is told.
    for (User *peer : peers()) send(CallPacket::closedPacket(peer->userId(), m_callId), peer);
    // 2.-4.
    if (m_displayAwake) m_displayAwake->release();
    stopRing();
    m_view->detachConversation();
    unsubscribeFromMessages();
    NotificationCenter::defaultCenter().removeObserver(m_nameToken);
    m_nameToken = 0;
    disconnect(m_meName);
    if (m_readyTimer) m_readyTimer->stop();
    // 5.
    m_closed = true;
    m_peers.clear();
    m_user = nullptr;
    m_chat = nullptr;
    m_messagesQueue.clear();
    m_view->closeWindow();
    liveSet().removeIf([this](const QPointer<Call> &c) { return !c || c.data() == this; });
    deleteLater();
}

void Call::closeCallWithChat(Chat *chat) {
    if (!chat) return;
    if (Call *call = findCallWithUser(nullptr, chat)) call->windowClose();
}

void Call::setTerminating(bool quitting) { terminating() = quitting; }

void Call::onApplicationTerminate() {
    terminating() = true;
    const QList<Call *> calls = liveCalls();
    if (calls.isEmpty()) return;
    for (Call *call : calls) call->windowClose();
    // The packets go out on the main queue: give them a bounded time before the process ends.
    TCPserver *server = TCPserver::shared();
    if (!server || packetSender()) return;
    const QDeadlineTimer deadline(TerminateFlushMs);
    while (server->outgoingConnectionCount() > 0 && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}
