#include "core/net/TCPserver.h"

#include "core/app/AppContext.h"
#include "core/model/Me.h"
#include "core/model/Message.h"
#include "core/model/MessageForForwarding.h"
#include "core/model/User.h"
#include "core/net/UDPserver.h"
#include "core/net/UserList.h"
#include "core/wire/KDTPacket.h"
#include "core/wire/UserInfoPacket.h"
#include "platform/dispatch/Queue.h"
#include "platform/runloop/Timer.h"
#include "platform/store/ManagedObjectContext.h"
#include "platform/system/NetworkChangeMonitor.h"
#include "platform/system/PowerMonitor.h"
#include "transfer/ConnectionEnd.h"
#include "transport/SocketError.h"
#include "transport/TcpSocket.h"

#include <QLoggingCategory>

#include <algorithm>

namespace {

Q_LOGGING_CATEGORY(lcTcp, "murnavell.net.tcp")

TCPserver *&sharedServer() {
    static TCPserver *server = nullptr;
    return server;
}

const QByteArray &lineEnd() {
    static const QByteArray crlf("\r\n");
    return crlf;
}

const QString kStar = QStringLiteral("*");

QString fieldText(const PacketArray &fields, int i) {
    return i < fields.size() ? fields.at(i).toString() : QString();
}

// The words whose handler's result is dropped: they answer a request of ours.
bool repliesNothing(const QString &word) {
    return word == QLatin1String("CRGRR") || word == QLatin1String("TRTCACTIONRECV");
}

} // namespace

// The socket's context. An outgoing connection carries the recipient (and the message it
// delivers) until the exchange is over: a context left at the close marks a failed delivery.
// Accepted connections only keep the peer's address, taken when they were accepted.
struct TCPserver::Link {
    QString peer;
    bool pending = false;
    QPointer<User> recipient;
    QPointer<ManagedObject> message;
    // An information request: how many more times an empty answer may ask again.
    int infoRetries = 0;
    // Holds one of the places counted per address (accepted or outgoing) and, for an
    // information request, one of those under way.
    bool counted = false;
    bool accepted = false;
    bool info = false;
    const User *infoFor = nullptr;
};

// A packet waiting for a place: its address has as many connections open as it may, or the
// information requests under way are at their cap.
struct TCPserver::Waiting {
    QByteArray frame;
    const User *key = nullptr;
    QPointer<User> to;
    QPointer<ManagedObject> message;
    int infoRetries = 0;
    bool info = false;
};

// The sockets hold their delegate weakly; this one lives as long as the server and forwards
// to it until the server is gone.
class TCPserver::Delegate : public TcpSocketDelegate {
public:
    explicit Delegate(TCPserver *server) : server(server) {}
    uint32_t implementedCallbacks() const override { return callbacksImplementedBy<Delegate>(); }
    void socketDidAcceptNewSocket(const std::shared_ptr<TcpSocket> &,
                                  const std::shared_ptr<TcpSocket> &n) override {
        if (server) server->didAccept(n);
    }
    void socketDidReadData(const std::shared_ptr<TcpSocket> &sock, const QByteArray &data, long) override {
        if (server) server->didRead(sock, data);
    }
    void socketDidWriteData(const std::shared_ptr<TcpSocket> &sock, long tag) override {
        if (server) server->didWrite(sock, tag);
    }
    void socketDidDisconnect(const std::shared_ptr<TcpSocket> &sock, const SocketError &err) override {
        if (server) server->didDisconnect(sock, err);
    }
    TCPserver *server;
};

TCPserver *TCPserver::shared() { return sharedServer(); }

void TCPserver::setShared(TCPserver *server) { sharedServer() = server; }

TCPserver::TCPserver(std::uint16_t listenPort, std::uint16_t connectPort, bool watchSystem, QObject *parent)
    : QObject(parent), listenPort_(listenPort), connectPort_(connectPort),
      delegate_(std::make_shared<Delegate>(this)), watchSystem_(watchSystem) {
    for (const QString &word : Message::messageWords()) handlers_.insert(word, &Message::gotMessage);
    handlers_.insert(QStringLiteral("TRI"),
                     [this](const PacketArray &f, const QString &) { return replyInfoRequest(f); });
    handlers_.insert(QStringLiteral("TSI"), [this](const PacketArray &f, const QString &) {
        userInfoReceived(f);
        return PacketArray();
    });
    for (const QString &word : pluggableWords()) handlers_.insert(word, Handler());

    turnONserver();
    if (watchSystem_) {
        connect(&NetworkChangeMonitor::shared(), &NetworkChangeMonitor::changed, this,
                &TCPserver::run5secondTimer);
        connect(&PowerMonitor::shared(), &PowerMonitor::willSleep, this,
                [this] { onSystemPowerChange(true); });
        connect(&PowerMonitor::shared(), &PowerMonitor::didWake, this,
                [this] { onSystemPowerChange(false); });
    }
}

TCPserver::~TCPserver() {
    delegate_->server = nullptr;
    if (sharedServer() == this) sharedServer() = nullptr;
    if (serverTCPsocket_) serverTCPsocket_->disconnect();
    for (const auto &sock : accepted_) sock->disconnect();
    for (const auto &sock : outgoing_) sock->disconnect();
}

const QStringList &TCPserver::pluggableWords() {
    static const QStringList words = {
        QStringLiteral("TRTCACTION"),     QStringLiteral("TRTCACTIONCALLCLOSED"),
        QStringLiteral("TRTCACTIONRECV"), QStringLiteral("CRJR"),
        QStringLiteral("CRGRR"),          QStringLiteral("CRGRI"),
        QStringLiteral("CRSM"),           QStringLiteral("CRLR")};
    return words;
}

void TCPserver::setHandler(const QString &word, Handler handler) {
    handlers_.insert(word, std::move(handler));
}

void TCPserver::setFileServerAdapterChanged(std::function<void()> adapterChanged) {
    fileAdapterChanged_ = std::move(adapterChanged);
}

// --- Listening ---

bool TCPserver::turnONserver(Timer *sender) {
    // A restart timer that fires long after its date (the machine slept through it) is stale:
    // the wake notice has restarted the listener already.
    if (sender && sender == sleepTimer_ && sender->fireDate().addSecs(3) < Timer::now()) return listening_;
    // Another copy uses our user id: nothing but the user's sign-in starts networking again.
    if (UserList::networkingHeldStopped()) return false;
    if (listening_) return true;
    if (!serverTCPsocket_) {
        serverTCPsocket_ = TcpSocket::create(delegate_, dispatch::Queue::main());
        serverTCPsocket_->setIPv6Enabled(false);
        // Back-pressure: at the cap, connections wait in the kernel's backlog. Closing them would
        // read to the sender as a peer that is there but took nothing, and its message would be
        // neither confirmed nor handed over.
        serverTCPsocket_->setMaxAcceptedConnections(MaxAcceptedConnections);
    }
    SocketError error;
    if (!serverTCPsocket_->acceptOnPort(listenPort_, &error)) {
        qCWarning(lcTcp).noquote() << "listen failed:" << error.domain() << error.code()
                                   << error.localizedDescription();
        run5secondTimer();
        return false;
    }
    listening_ = true;
    if (UDPserver *udp = UDPserver::shared()) udp->beginWork();
    if (fileAdapterChanged_) fileAdapterChanged_();
    return true;
}

void TCPserver::turnOffserver() {
    // A listener has no reads or writes of its own, so it closes at once; accepted and outgoing
    // connections finish their exchanges.
    if (serverTCPsocket_) serverTCPsocket_->disconnect();
    listening_ = false;
    if (UDPserver *udp = UDPserver::shared()) udp->endWork();
}

std::uint16_t TCPserver::listeningPort() const {
    return listening_ && serverTCPsocket_ ? serverTCPsocket_->localPort() : 0;
}

void TCPserver::run5secondTimer() {
    if (networkTimer_ && networkTimer_->isValid()) {
        networkTimer_->setFireDate(Timer::now().addSecs(5));
        return;
    }
    if (networkTimer_) networkTimer_->deleteLater();
    networkTimer_ = Timer::scheduled(
        5.0, false, [this](Timer *) { adaptersChanged(); }, this);
}

void TCPserver::adaptersChanged() {
    if (networkTimer_) networkTimer_->invalidate();
    turnOffserver();
    turnONserver();
}

void TCPserver::onSystemPowerChange(bool sleep) {
    if (!sleep) {
        turnONserver();
        return;
    }
    if (UserList *roster = UserList::shared()) roster->goOffline();
    turnOffserver();
    if (sleepTimer_) {
        sleepTimer_->invalidate();
        sleepTimer_->deleteLater();
    }
    sleepTimer_ = Timer::scheduled(
        120.0, false, [this](Timer *t) { turnONserver(t); }, this);
    if (watchSystem_) PowerMonitor::shared().releaseSleepDelay();
}

// --- Sending ---

void TCPserver::SendTCPpacket(const QByteArray &frame, User *to, ManagedObject *message) {
    send(frame, to, message, 0);
}

void TCPserver::requestUserInfo(User *user) {
    send(infoRequestFrame(user), user, nullptr, InfoRequestRetries, true);
}

QByteArray TCPserver::infoRequestFrame(const User *user) {
    return KDTPacket::PlainPackeFromArray(User::infoRequestPacket(user));
}

void TCPserver::retryInfoRequest(const QPointer<User> &user, int retriesLeft) {
    if (!user) return;
    // 1, 2, 4 ... times the first delay: the peer learns who we are from our presence, which
    // travels by UDP and may come after the request.
    const double delay = infoRetryDelay_ * double(1 << (InfoRequestRetries - retriesLeft));
    QPointer<TCPserver> self(this);
    dispatch::Queue::main()->after(delay, [self, user, retriesLeft] {
        if (!self || !user || user->isDeleted() || user.data() == Me::current()) return;
        self->send(infoRequestFrame(user), user, nullptr, retriesLeft - 1, true);
    });
}

void TCPserver::send(const QByteArray &frame, User *to, ManagedObject *message, int infoRetries, bool info) {
    if (!to) return;
    // One request per user, waiting or under way, asks as much as many would.
    if (info && infoAsked_.contains(to)) return;
    if (info) infoAsked_.insert(to);
    waiting_.push_back({frame, to, to, message, infoRetries, info});
    startWaiting();
}

int TCPserver::waitingPacketCount() const { return int(waiting_.size()); }

bool TCPserver::mayStart(const QString &address, bool info) const {
    if (outgoingPerPeer_.value(address) >= MaxConnectionsPerPeer) return false;
    return !info || infoInFlight_ < MaxInfoRequestsInFlight;
}

void TCPserver::startWaiting() {
    // Starting a packet can end another at once (a connect that fails) or queue more (a
    // message handed over): both come back here, and the scan runs again instead.
    if (startingWaiting_) {
        scanAgain_ = true;
        return;
    }
    startingWaiting_ = true;
    do {
        scanAgain_ = false;
        // An address whose next packet must wait holds its later packets back too, so packets
        // to one peer leave in the order they were sent.
        QSet<QString> held;
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            if (!it->to || it->to->isDeleted()) {
                if (it->info) infoAsked_.remove(it->key);
                it = waiting_.erase(it);
                continue;
            }
            const QString address = it->to->ip();
            if (held.contains(address) || !mayStart(address, it->info)) {
                if (outgoingPerPeer_.value(address) >= MaxConnectionsPerPeer) held.insert(address);
                ++it;
                continue;
            }
            const Waiting ready = std::move(*it);
            it = waiting_.erase(it);
            start(ready);
        }
    } while (scanAgain_);
    startingWaiting_ = false;
}

void TCPserver::start(const Waiting &packet) {
    User *to = packet.to;
    if (!to) {
        if (packet.info) infoAsked_.remove(packet.key);
        return;
    }
    auto link = std::make_shared<Link>();
    link->peer = to->ip();
    link->pending = true;
    link->recipient = to;
    link->message = packet.message;
    link->infoRetries = packet.infoRetries;
    link->counted = true;
    link->info = packet.info;
    link->infoFor = packet.info ? packet.key : nullptr;
    ++outgoingPerPeer_[link->peer];
    if (packet.info) ++infoInFlight_;
    std::shared_ptr<TcpSocket> sock = TcpSocket::create(delegate_, dispatch::Queue::main());
    sock->setIPv6Enabled(false);
    sock->setUserData(link);
    outgoing_.push_back(sock);

    SocketError error;
    if (!sock->connectToHost(to->ip(), connectPort_, Timeout, &error)) {
        // No address, or one the socket cannot use: as undeliverable as a peer that is off.
        qCInfo(lcTcp).noquote() << "connect to" << to->ip() << "failed:" << error.domain() << error.code();
        deliveryFailedOn(*link);
        remove(sock);
        return;
    }
    sock->writeData(packet.frame + lineEnd(), Timeout, WriteTag);
    sock->readDataToData(lineEnd(), Timeout, MaxLineLength, ReadTag);
}

// --- Socket callbacks ---

TCPserver::Link *TCPserver::linkOf(const std::shared_ptr<TcpSocket> &sock) {
    return sock ? static_cast<Link *>(sock->userData().get()) : nullptr;
}

void TCPserver::didAccept(const std::shared_ptr<TcpSocket> &newSocket) {
    if (!newSocket) return;
    auto link = std::make_shared<Link>();
    link->peer = newSocket->connectedHost();
    if (acceptedPerPeer_.value(link->peer) >= MaxConnectionsPerPeer) {
        // Closed in order, not reset: a sender of ours reads that as a peer that took nothing
        // and keeps its message for a later run.
        qCInfo(lcTcp).noquote() << "too many connections from" << link->peer;
        newSocket->disconnect();
        return;
    }
    link->counted = true;
    link->accepted = true;
    ++acceptedPerPeer_[link->peer];
    newSocket->setUserData(link);
    accepted_.push_back(newSocket);
    newSocket->readDataToData(lineEnd(), Timeout, MaxLineLength, ReadTag);
}

void TCPserver::didRead(const std::shared_ptr<TcpSocket> &sock, const QByteArray &data) {
    Link *link = linkOf(sock);
    const QString peer = link ? link->peer : QString();
    std::optional<PacketArray> fields = KDTPacket::ArrayFromBase64AESdata(data);
    const QString word = fields ? fieldText(*fields, 0) : QString();
    const bool messageWord = fields && Message::messageWords().contains(word);
    // A message packet shorter than the fields its handler reads is as unreadable as garbage.
    if (!fields || (messageWord && fields->size() < Message::fieldsNeeded(word))) {
        debugPaketError(peer);
        // An empty answer to our information request: the peer did not know us yet.
        const bool emptyInfoAnswer = link && link->pending && link->infoRetries > 0 && data == lineEnd();
        const bool awaitedDelivery = link && link->pending && link->message;
        if (awaitedDelivery)
            deliveryFailedOn(*link);
        else if (link)
            link->pending = false;
        if (emptyInfoAnswer) retryInfoRequest(link->recipient, link->infoRetries);
        close(sock);
        return;
    }

    PacketArray reply;
    if (word == QLatin1String("TMR")) {
        messageReceived(*fields, sock);
    } else {
        // A message of ours answered with anything but a receipt was not delivered.
        if (link && link->pending && link->message) deliveryFailedOn(*link);
        if (link) link->pending = false;
        if (messageWord) {
            // The receipt comes once the save holding the message is over; messages arriving
            // meanwhile share that save. One it cannot give (nothing could be kept) must not
            // look like a peer that is there and took nothing: the connection is reset, so the
            // sender keeps its copy or hands the message to other copies.
            QPointer<TCPserver> self(this);
            Message::receiveThen(*fields, peer, [self, sock](const Message::Receipt &receipt) {
                if (!self) return;
                if (receipt.refused) {
                    ConnectionEnd::setAbortiveClose(*sock, true);
                    self->close(sock);
                    return;
                }
                self->answer(sock, receipt.reply);
            });
            return;
        }
        reply = dispatch(*fields, peer);
    }
    saveContextIfChanged();
    answer(sock, reply);
}

void TCPserver::answer(const std::shared_ptr<TcpSocket> &sock, const PacketArray &reply) {
    Link *link = linkOf(sock);
    if (reply.isEmpty()) {
        if (link) link->pending = false;
        close(sock);
        return;
    }
    if (link) link->message = nullptr;
    // The frame and its line end leave in one write: one segment for the peer and one
    // completion here instead of two of each.
    QByteArray line = KDTPacket::PlainPackeFromArray(reply);
    line.append(lineEnd());
    sock->writeData(line, Timeout, LineEndTag);
}

void TCPserver::didWrite(const std::shared_ptr<TcpSocket> &sock, long tag) {
    if (tag != LineEndTag) return;
    if (Link *link = linkOf(sock)) link->pending = false;
    close(sock);
}

void TCPserver::didDisconnect(const std::shared_ptr<TcpSocket> &sock, const SocketError &error) {
    if (!sock || sock == serverTCPsocket_) return;
    Link *link = linkOf(sock);
    if (link && link->pending && link->recipient && isOfflineError(error)) {
        qCInfo(lcTcp).noquote() << "exchange with" << link->peer << "failed:" << error.domain()
                                << error.code() << error.localizedDescription();
        deliveryFailedOn(*link);
    } else if (link && link->pending && link->recipient) {
        // Closed without a receipt: the peer is there, but did it keep the message? The author's
        // copy keeps the recipient and delivers the message in a later run.
        if (auto *line = dynamic_cast<Message *>(link->message.data()); line && !line->isDeleted())
            MessageForForwarding::directDeliveryEnded(line, link->recipient,
                                                      MessageForForwarding::DirectOutcome::Unanswered);
        link->pending = false;
    }
    remove(sock);
}

bool TCPserver::isOfflineError(const SocketError &error) {
    if (error.isNull()) return false;
    // The peer closing without a reply (it could not read the frame) says nothing about
    // whether it is there. Only this domain's code means that; errno 7 is something else.
    const bool inSocketDomain = error.domain() == QLatin1String(kTcpSocketErrorDomain);
    if (inSocketDomain && (error.code() == TcpSocketClosedError || error.code() == TcpSocketNoError))
        return false;
    return true;
}

void TCPserver::deliveryFailedOn(Link &link) {
    const QPointer<User> recipient = link.recipient;
    const QPointer<ManagedObject> message = link.message;
    link.pending = false;
    link.message = nullptr;
    if (!recipient || recipient->isDeleted()) return;
    recipient->setStatus(QStringLiteral("10"));
    // Only history lines are handed over; a held copy stays held for the next run.
    if (auto *line = dynamic_cast<Message *>(message.data()); line && !line->isDeleted())
        recipient->SendOfflineMessageIfNeeded(line);
    saveContextIfChanged();
    emit deliveryFailed(recipient, message);
}

void TCPserver::close(const std::shared_ptr<TcpSocket> &sock) {
    // Kept alive by the caller's reference while it disconnects; the close callback that
    // follows finds it gone from the arrays.
    const std::shared_ptr<TcpSocket> keep = sock;
    remove(keep);
    keep->disconnect();
}

void TCPserver::remove(const std::shared_ptr<TcpSocket> &sock) {
    if (std::erase(accepted_, sock) + std::erase(outgoing_, sock) == 0) return;
    Link *link = linkOf(sock);
    if (!link) return;
    if (link->counted) {
        link->counted = false;
        QHash<QString, int> &perPeer = link->accepted ? acceptedPerPeer_ : outgoingPerPeer_;
        if (--perPeer[link->peer] <= 0) perPeer.remove(link->peer);
    }
    if (link->info) {
        link->info = false;
        --infoInFlight_;
        infoAsked_.remove(link->infoFor);
    }
    if (!link->accepted && !waiting_.empty()) startWaiting();
}

// --- Handlers ---

PacketArray TCPserver::dispatch(const PacketArray &fields, const QString &fromIP) {
    const QString word = fieldText(fields, 0);
    const auto it = handlers_.constFind(word);
    if (it == handlers_.constEnd() || !*it) return {};
    PacketArray reply = (*it)(fields, fromIP);
    if (repliesNothing(word)) return {};
    return reply;
}

PacketArray TCPserver::replyInfoRequest(const PacketArray &fields) {
    UserList *roster = UserList::shared();
    Me *me = Me::current();
    if (!roster || !me) return {};
    User *requester = roster->getUserById(fieldText(fields, 3), QString());
    if (fieldText(fields, 5) != me->userId()) return {};
    const UserInfoPacket::UserInfoValues values = [me](const QString &key) { return me->userInfoValue(key); };
    // An unknown requester leaves field 5 empty: the array yields no frame, only the line end.
    return UserInfoPacket::MyUserInfoFor(values, requester ? requester->userId() : QString(),
                                         requester && requester->UTF8compatible());
}

void TCPserver::userInfoReceived(const PacketArray &fields) {
    UserList *roster = UserList::shared();
    if (!roster) return;
    User *sender = roster->getUserById(fieldText(fields, 3), QString());
    if (!sender || sender == Me::current() || fields.size() < 7) return;
    const QMap<QString, QString> info = UserInfoPacket::ParceUserInfo(fields.at(6).toData());
    if (info.isEmpty()) return;
    const auto normalized = [](const QString &v) { return v == kStar || v.isEmpty() ? QString() : v; };
    // The status first: setting it clears the status text or idle time, which the block may
    // carry too; the result must not depend on the order of the keys.
    const QString status = normalized(info.value(QStringLiteral("status")));
    if (!status.isNull() && status != sender->status()) sender->setStatus(status);
    for (auto it = info.constBegin(); it != info.constEnd(); ++it) {
        if (it.key() == QLatin1String("status")) continue;
        const QString value = normalized(it.value());
        const QVariant current = sender->value(it.key());
        const QString currentText = current.isValid() && !current.isNull() ? current.toString() : QString();
        if (currentText == value && currentText.isNull() == value.isNull()) continue;
        sender->setValue(it.key(), value.isNull() ? QVariant() : QVariant(value));
    }
    sender->resetCanCall();
}

void TCPserver::messageReceived(const PacketArray &fields, const std::shared_ptr<TcpSocket> &sock) {
    Link *link = linkOf(sock);
    if (!link || !link->pending) return;
    const QPointer<User> recipient = link->recipient;
    const QPointer<ManagedObject> message = link->message;
    // Only the recipient (or a peer that leaves its id out) can confirm; an answer from another
    // user at that address means the message did not reach its recipient.
    const QString from = fieldText(fields, 3);
    // A held copy is dropped on this answer, so only the recipient's own id confirms it.
    const bool held = dynamic_cast<MessageForForwarding *>(message.data()) != nullptr;
    if (!recipient || (from != recipient->userId() && (from != kStar || held))) {
        deliveryFailedOn(*link);
        return;
    }
    link->pending = false;
    link->message = nullptr;
    if (auto *line = dynamic_cast<Message *>(message.data()); line && !line->isDeleted())
        MessageForForwarding::directDeliveryEnded(line, recipient,
                                                  MessageForForwarding::DirectOutcome::Confirmed);
    if (auto *held = dynamic_cast<MessageForForwarding *>(message.data()); held && !held->isDeleted()) {
        held->removeRecipientsObject(recipient);
        if (held->recipients().isEmpty()) held->managedObjectContext()->deleteObject(held);
        saveContextIfChanged();
    }
    emit delivered(recipient, message);
}

void TCPserver::debugPaketError(const QString &address) {
    // The peer's own address: a copy that sends what cannot be read is often no known user.
    QString line = QStringLiteral("received TCP data cannot be extracted, ip: %1")
                       .arg(address.isEmpty() ? QStringLiteral("unavailable") : address);
    if (ManagedObjectContext *context = appManagedObjectContext(); context && !address.isEmpty()) {
        const QList<User *> users = context->fetch<User>([&](const User *u) { return u->ip() == address; });
        if (!users.isEmpty()) line += QStringLiteral(" (user %1)").arg(users.first()->userId());
    }
    qCDebug(lcTcp).noquote() << line;
}
