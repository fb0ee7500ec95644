#include "core/net/UDPserver.h"

#include "core/app/AppContext.h"
#include "core/model/Me.h"
#include "core/model/MessageForForwarding.h"
#include "core/model/User.h"
#include "core/net/BroadcastItem.h"
#include "core/net/UserList.h"
#include "core/wire/IntegerValue.h"
#include "core/wire/KDTPacket.h"
#include "core/wire/TextCodec.h"
#include "platform/defaults/Defaults.h"
#include "platform/dispatch/Queue.h"
#include "platform/runloop/Timer.h"
#include "platform/store/Clock.h"
#include "platform/store/ManagedObjectContext.h"
#include "platform/system/AccountInfo.h"
#include "platform/system/SystemIdentity.h"
#include "transport/SocketError.h"
#include "transport/UdpSocket.h"
#include "transport/UdpSocketDelegate.h"

#include <QLoggingCategory>

#include <sys/socket.h>

namespace {

Q_LOGGING_CATEGORY(lcUdp, "murnavell.core.udp")

QPointer<UDPserver> &sharedServer() {
    static QPointer<UDPserver> server;
    return server;
}

std::function<QStringList()> &broadcastSource() {
    static std::function<QStringList()> source;
    return source;
}

const QString kStar = QStringLiteral("*");

// A name in the legacy form: the code pages write the broken bar as the frame separator, which
// would split the field on every receiver, whose field count then rejects the whole packet (the
// copy would vanish from the network). It is shown as the plain bar instead. The UTF-8 form
// carries it, and every other character, escaped.
PacketField nameField(const QString &name, bool utf8) {
    if (utf8) return PacketField(encodeUtf8DataField(name));
    QString safe = name;
    safe.replace(QChar(0x00A6), QLatin1Char('|'));
    return PacketField(safe);
}

} // namespace

// Receives the sockets' callbacks on the main queue and hands them to the server while it lives.
class UDPserver::SocketEvents : public UdpSocketDelegate {
public:
    explicit SocketEvents(UDPserver *server) : server_(server) {}

    void udpSocketDidReceiveData(const std::shared_ptr<UdpSocket> &sock, QByteArray data,
                                 QByteArray fromAddress, std::shared_ptr<void>) override {
        if (server_) server_->onReceive(sock, data, fromAddress);
    }
    void udpSocketDidSendDataWithTag(const std::shared_ptr<UdpSocket> &sock, long tag) override {
        if (server_) server_->onDidSend(sock, tag);
    }
    void udpSocketDidNotSendDataWithTag(const std::shared_ptr<UdpSocket> &sock, long tag,
                                        const SocketError &err) override {
        if (server_) server_->onDidNotSend(sock, tag, err);
    }
    void udpSocketDidClose(const std::shared_ptr<UdpSocket> &sock, const SocketError &err) override {
        if (server_) server_->onClose(sock, err);
    }

private:
    QPointer<UDPserver> server_;
};

UDPserver *UDPserver::shared() { return sharedServer(); }

void UDPserver::setShared(UDPserver *server) { sharedServer() = server; }

UDPserver::UDPserver(std::uint16_t receivePort, std::uint16_t sendPort, QObject *parent)
    : QObject(parent), events_(std::make_shared<SocketEvents>(this)), receivePortWanted_(receivePort),
      sendPort_(sendPort) {
    if (!sharedServer()) sharedServer() = this;
    User::setTypingNoticeSender([](User *user) {
        if (UDPserver *server = UDPserver::shared()) server->SendTyping(user);
    });
    adaptersChanged();
}

UDPserver::~UDPserver() {
    if (refreshTimer_) refreshTimer_->invalidate();
    if (recvSocket_) recvSocket_->close();
    if (sendSocket_) sendSocket_->close();
    if (sharedServer() == this) sharedServer() = nullptr;
}

bool UDPserver::isWorking() const { return !refreshTimer_.isNull(); }

Timer *UDPserver::refreshTimer() const { return refreshTimer_.data(); }

Timer *UDPserver::sixSecTimer() const { return sixSecTimer_.data(); }

Timer *UDPserver::resetTimer() const { return resetPending_ ? resetTimer_.data() : nullptr; }

std::uint16_t UDPserver::receivePort() const {
    if (recvSocket_ && !recvSocket_->isClosed()) return recvSocket_->localPort();
    return receivePortWanted_;
}

void UDPserver::setDefaultBroadcastsFunction(std::function<QStringList()> source) {
    broadcastSource() = std::move(source);
}

QStringList UDPserver::defaultBroadcasts() {
    if (broadcastSource()) return broadcastSource()();
    return BroadcastItem::defaultBroadcasts();
}

// --- sockets ---

std::shared_ptr<UdpSocket> UDPserver::createAndInitUDPsocket() {
    std::shared_ptr<UdpSocket> socket = UdpSocket::create(events_, dispatch::Queue::main());
    socket->setIPv6Enabled(false);
    SocketError error;
    if (!socket->enableReusePort(true, &error))
        qCDebug(lcUdp).noquote() << "port reuse not enabled:" << error.localizedDescription();
    return socket;
}

void UDPserver::adaptersChanged() {
    ++generations_;
    // Whatever the dropped socket still held is not reported any more.
    pendingSends_ = 0;
    recvSocket_ = createAndInitUDPsocket();
    sendSocket_ = createAndInitUDPsocket();
    if (!enableBroadcasts()) {
        resetSocketsWithDelay();
        return;
    }
    SocketError error;
    if (!recvSocket_->bindToPort(receivePortWanted_, &error)) {
        qCWarning(lcUdp).noquote() << "cannot bind port" << receivePortWanted_ << ":"
                                   << error.localizedDescription();
        resetSocketsWithDelay();
        return;
    }
    receiveBufferSize_ = 0;
    recvSocket_->performBlock([this] {
        const int fd = recvSocket_->socket4FD();
        if (fd < 0) return;
        const auto current = [fd] {
            int size = 0;
            socklen_t length = sizeof size;
            return ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &length) == 0 ? size : 0;
        };
        const int before = current();
        // Refused or cut down to the system's ceiling: the socket works with what it has, but
        // never with less than it had (the kernel reports twice the size it was given).
        const int wanted = kReceiveBufferWanted;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
        if (current() < before) {
            const int previous = before / 2;
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &previous, sizeof previous);
        }
        receiveBufferSize_ = current();
    });
    qCDebug(lcUdp) << "receive buffer" << receiveBufferSize_ << "bytes";
    if (!recvSocket_->beginReceiving(&error)) {
        qCWarning(lcUdp).noquote() << "cannot receive:" << error.localizedDescription();
        resetSocketsWithDelay();
    }
}

bool UDPserver::enableBroadcasts() {
    if (!sendSocket_) return false;
    SocketError error;
    if (sendSocket_->enableBroadcast(true, &error)) return true;
    qCWarning(lcUdp).noquote() << "cannot enable broadcasts:" << error.localizedDescription();
    return false;
}

void UDPserver::resetSocketsWithDelay() {
    if (resetPending_) return;
    resetPending_ = true;
    QPointer<UDPserver> self(this);
    resetTimer_ = Timer::scheduled(
        kResetDelay, false,
        [self](Timer *timer) {
            // Spent once fired; kept, one would pile up per rebuild for the whole run.
            timer->deleteLater();
            if (!self) return;
            // The mark goes first: a rebuild that fails again asks for the next one, so the
            // server keeps trying rather than stay deaf after one failed retry.
            self->resetPending_ = false;
            // Stopped meanwhile (sleep, or another copy with our id): the next beginWork opens
            // the sockets; opened now, they would hear and answer while the copy is off.
            if (!self->stopped_) self->adaptersChanged();
        },
        this);
}

void UDPserver::closeBothUDPsockets() {
    if (recvSocket_ && !recvSocket_->isClosed()) recvSocket_->close();
    if (sendSocket_ && !sendSocket_->isClosed()) sendSocket_->closeAfterSending();
}

// --- work ---

void UDPserver::beginWork() {
    if (UserList::networkingHeldStopped()) return;
    stopped_ = false;
    if (!recvSocket_ || recvSocket_->isClosed() || !sendSocket_ || sendSocket_->isClosed()) adaptersChanged();
    RefreshUserList(false);
    if (!refreshTimer_) {
        QPointer<UDPserver> self(this);
        refreshTimer_ = Timer::scheduled(
            kRefreshInterval, true,
            [self](Timer *) {
                if (self) self->RefreshUserList(true);
            },
            this);
    }
}

void UDPserver::endWork() {
    stopped_ = true;
    closeBothUDPsockets();
    if (refreshTimer_) {
        refreshTimer_->invalidate();
        refreshTimer_->deleteLater();
    }
    refreshTimer_ = nullptr;
}

void UDPserver::RefreshUserList(bool fromTimer) {
    SendUDPpacketTo(nullptr, fromTimer ? QStringLiteral("RL") : QStringLiteral("UI"));
    // An earlier pending follow-up still runs: it is replaced here, not cancelled.
    QPointer<UDPserver> self(this);
    sixSecTimer_ = Timer::scheduled(
        kFollowUpDelay, false,
        [self](Timer *timer) {
            // Spent once fired; kept, one would pile up per refresh for the whole run.
            timer->deleteLater();
            if (self) self->ContinueRefreshUserList();
        },
        this);
}

void UDPserver::ContinueRefreshUserList() {
    UserList *list = UserList::shared();
    sixSecTimer_ = nullptr;
    if (!list) return;
    // 1. Users that do not answer are marked offline by the TCP server.
    for (User *user : list->allUsersWithoutOffline(true, true)) UserList::requestUserInfo(user);
    // 3. Users unseen for 30 days leave the tree; the next save stores it.
    ManagedObjectContext *context = list->context();
    if (!context) return;
    const QDateTime limit = Clock::now().addSecs(-kRemoveAfterSeconds);
    const QList<User *> stale = context->fetch<User>([&](const User *u) {
        return !u->removed() && u->userOffline() && u->seenLastTime().isValid() && u->seenLastTime() < limit;
    });
    for (User *user : stale) user->setRemoved(true);
    // Copies held for other authors go after as long; the next save stores it too.
    MessageForForwarding::expireHeldForOthers(context, Clock::now());
}

// --- sending ---

QString UDPserver::majorVersion(const QString &version) {
    const qsizetype dot = version.indexOf(QLatin1Char('.'));
    return dot < 0 ? version : version.left(dot);
}

PacketArray UDPserver::presencePacket(const Me *me, const QString &word, const User *to,
                                      const QString &oldName, const QString &newName) {
    if (!me) return {};
    const bool typing = word == QLatin1String("TP");
    const bool personal = typing || word == QLatin1String("AL");
    const bool rename = !newName.isEmpty();
    const bool utf8 = to && to->UTF8compatible();

    QString status = me->status();
    if (status.isEmpty()) status = QStringLiteral("0");
    QString pc = me->pc();
    if (pc.isEmpty()) pc = SystemIdentity::shortHostName();
    QString name = me->name();
    if (name.isEmpty()) name = Me::cleanUserName(AccountInfo::current().loginName);
    if (name.isEmpty()) name = pc;
    const QString version = me->version().isEmpty() ? QStringLiteral("0") : me->version();
    QString major = majorVersion(version);
    if (major.isEmpty()) major = QStringLiteral("0");

    PacketArray array;
    array.reserve(15);
    array << PacketField(word);
    array << PacketField(typing ? kStar : status);
    array << PacketField(pc);
    array << PacketField(me->userId());
    const QString toIp = to ? to->ip() : QString();
    const QString toId = to ? to->userId() : QString();
    array << PacketField(personal && !toIp.isEmpty() ? toIp : kStar);
    array << PacketField(personal && !toId.isEmpty() ? toId : kStar);
    // Field 6: the old name of a rename; a filler the receivers do not read in "UI", "AL" and
    // "RL"; nothing otherwise.
    if (rename && !oldName.isEmpty())
        array << nameField(oldName, utf8);
    else if (word == QLatin1String("UI") || word == QLatin1String("AL") || word == QLatin1String("RL"))
        array << PacketField(QStringLiteral("1"));
    else
        array << PacketField(kStar);
    // Field 7: the new name of a rename, otherwise the local user's name (UTF-8 to a capable
    // peer only in "TP" and "AL").
    if (rename)
        array << nameField(newName, utf8);
    else
        array << nameField(name, utf8 && personal);
    array << PacketField(typing ? kStar : QString::number(me->sessionId()));
    array << PacketField(QStringLiteral("0"));
    array << PacketField(major);
    array << PacketField(QStringLiteral("0"));
    array << PacketField(QStringLiteral("1"));
    array << PacketField(kStar);
    array << PacketField(version);
    return array;
}

void UDPserver::SendUDPpacketTo(User *user, const QString &word, const QString &oldName,
                                const QString &newName) {
    UserList *list = UserList::shared();
    Me *me = list ? list->me() : Me::current();
    if (!me) return;
    const PacketArray array = presencePacket(me, word, user, oldName, newName);
    if (!user) {
        SendPacketToEveryone(array);
        return;
    }
    const QByteArray frame = KDTPacket::PlainPackeFromArray(array);
    if (frame.isEmpty()) {
        qCWarning(lcUdp).noquote() << "presence packet" << word << "cannot be framed";
        return;
    }
    sendFrame(frame, user->ip(), 0);
}

void UDPserver::SendTyping(User *user) {
    if (user) SendUDPpacketTo(user, QStringLiteral("TP"));
}

void UDPserver::SendPersonalizedRefreshPacketTo(User *user) {
    if (user) SendUDPpacketTo(user, QStringLiteral("RL"));
}

void UDPserver::SendPacketToEveryone(const PacketArray &array) {
    const QByteArray frame = KDTPacket::PlainPackeFromArray(array);
    if (frame.isEmpty()) {
        qCWarning(lcUdp).noquote() << "packet" << (array.isEmpty() ? QString() : array.first().toString())
                                   << "cannot be framed";
        return;
    }
    long tag = 1;
    for (const QString &address : defaultBroadcasts()) sendFrame(frame, address, tag++);
    const QVariantList stored = Defaults::standard().arrayForKey(QStringLiteral("broadcasts"));
    for (const QVariant &entry : stored) {
        // Anything else in the list is not a target: skipped.
        if (entry.typeId() != QMetaType::QVariantMap && entry.typeId() != QMetaType::QVariantHash) continue;
        BroadcastItem item = BroadcastItem::broadcastItemFromDictionary(entry.toMap());
        for (QString address = item.enumerate(); !address.isNull(); address = item.enumerate())
            sendFrame(frame, address, tag++);
    }
}

void UDPserver::sendFrame(const QByteArray &frame, const QString &host, long tag) {
    // After endWork nothing is sent (a "UO" queued before still leaves); sending on the closed
    // socket would only fail and rebuild the sockets of a server that was told to stop.
    if (!sendSocket_ || sendSocket_->isClosed() || host.isEmpty()) return;
    ++pendingSends_;
    sendSocket_->sendData(frame, host, sendPort_, -1, tag);
}

void UDPserver::reserveAnswerTurn() {
    if (answerTurnReserved_) return;
    answerTurnReserved_ = true;
    QPointer<UDPserver> self(this);
    dispatch::Queue::main()->async([self] {
        if (self) self->sendAnswers();
    });
}

void UDPserver::answer(User *user) {
    UserList *list = UserList::shared();
    Me *me = list ? list->me() : Me::current();
    if (!me || !user) return;
    const QByteArray frame = KDTPacket::PlainPackeFromArray(presencePacket(me, QStringLiteral("AL"), user, {}, {}));
    if (frame.isEmpty()) {
        qCWarning(lcUdp).noquote() << "presence packet AL cannot be framed";
        return;
    }
    if (!answerTurnReserved_) {
        // Not from a datagram (nothing reserved a turn): at once, as any other packet.
        sendFrame(frame, user->ip(), 0);
        return;
    }
    answers_.push_back({frame, user->ip()});
}

void UDPserver::sendAnswers() {
    answerTurnReserved_ = false;
    std::vector<Answer> ready;
    ready.swap(answers_);
    for (const Answer &a : ready) sendFrame(a.frame, a.host, 0);
}

// --- receiving ---

void UDPserver::handleDatagram(const QByteArray &data, const QString &fromHost) {
    std::optional<PacketArray> array = KDTPacket::ArrayFromBase64AESdata(data);
    if (!array || array->isEmpty()) return;
    const QString word = array->first().toString();
    if (word == QLatin1String("BL")) return;
    QStringList fields;
    fields.reserve(array->size() + 1);
    for (const PacketField &field : *array) fields.append(field.toString());
    fields.append(fromHost);

    UserList *list = UserList::shared();
    if (!list) return; // before launch has published the roster
    const bool refresh = word == QLatin1String("RL") || word == QLatin1String("UI");
    // Taken before the roster update, which may ask a newcomer for its details: the answer
    // goes first, so the newcomer knows this copy when the request reaches it.
    if (refresh || word == QLatin1String("AL")) reserveAnswerTurn();
    User *user = list->UpdateUserDataWithUDP(fields);
    if (!user) return;
    emit presenceReceived(word, user->userId());
    if (word == QLatin1String("TP")) {
        user->setTypingReceived(Clock::now());
        return;
    }
    if (refresh || (word == QLatin1String("AL") && user->UTF8compatible() && user->isWindows())) answer(user);
    if (word == QLatin1String("UOMFR")) {
        // The integer value, as every copy reads this field: a peer may send " 123" or "123x".
        const std::optional<qint64> messageId = leadingInteger(fields.at(1));
        if (!messageId) return;
        ManagedObjectContext *context = list->context();
        for (MessageForForwarding *held : MessageForForwarding::findByMessageId(context, *messageId)) {
            held->removeRecipientsObject(user);
            if (held->recipients().isEmpty()) context->deleteObject(held);
        }
        if (context && context->hasChanges()) {
            StoreError error;
            if (!context->save(&error)) qCWarning(lcUdp).noquote() << "save failed:" << error.message;
        }
    }
}

void UDPserver::onReceive(const std::shared_ptr<UdpSocket> &, const QByteArray &data,
                          const QByteArray &address) {
    ++receivedDatagrams_;
    // What was still on its way when work ended is not answered.
    if (stopped_) return;
    handleDatagram(data, UdpSocket::hostFromAddress(address));
}

void UDPserver::onDidSend(const std::shared_ptr<UdpSocket> &, long) {
    if (pendingSends_ > 0) --pendingSends_;
}

void UDPserver::onDidNotSend(const std::shared_ptr<UdpSocket> &, long tag, const SocketError &error) {
    if (pendingSends_ > 0) --pendingSends_;
    qCDebug(lcUdp).noquote() << "datagram" << tag << "not sent:" << error.localizedDescription();
    resetSocketsWithDelay();
}

void UDPserver::onClose(const std::shared_ptr<UdpSocket> &socket, const SocketError &error) {
    const char *which = socket == sendSocket_   ? "sending"
                        : socket == recvSocket_ ? "receiving"
                                                : "an earlier";
    qCDebug(lcUdp).noquote() << which << "socket closed" << error.localizedDescription();
    if (error.isNull()) return;
    if (socket == sendSocket_) {
        if (!enableBroadcasts()) resetSocketsWithDelay();
    } else {
        resetSocketsWithDelay();
    }
}
