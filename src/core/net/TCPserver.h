#pragma once

#include "core/wire/PacketField.h"
#include "platform/runloop/Timer.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <vector>

class ManagedObject;
class SocketError;
class TcpSocket;
class User;

// Carries every packet of the messaging protocol over TCP: one connection per packet, one frame
// plus CR LF each way. Listens on the messaging port, dispatches what it reads by the type word
// and writes the handler's reply back on the same connection. Restarts the listener after
// network changes and around system sleep. Everything runs on the main queue.
class TCPserver : public QObject {
    Q_OBJECT
public:
    static constexpr std::uint16_t DefaultPort = 19771;
    // No line (request or reply) may grow beyond this before its CR LF.
    static constexpr std::size_t MaxLineLength = 16 * 1024 * 1024;
    // Accepted connections held at once; more wait in the kernel's backlog until one closes.
    static constexpr int MaxAcceptedConnections = 128;
    // Connections one address may hold at once, accepted or opened by us: a peer never needs
    // many, and one host cannot take the places every other copy needs. An accepted connection
    // beyond it is closed at once; an outgoing one waits for one of its address to end.
    static constexpr int MaxConnectionsPerPeer = 8;
    // Information requests ("TRI") under way at once; the rest wait their turn, one per user.
    static constexpr int MaxInfoRequestsInFlight = 32;
    // An information request answered with an empty line is asked again this many times, the
    // first after InfoRetryDelay seconds and each later one after twice the delay before it.
    static constexpr int InfoRequestRetries = 3;
    static constexpr double InfoRetryDelay = 1.0;
    static constexpr double Timeout = 20.0;
    static constexpr long WriteTag = 255;
    static constexpr long ReadTag = 0;
    static constexpr long LineEndTag = 256;

    // A handler reached through the dispatch: the packet and the peer's address; returns the
    // reply array, or an empty one for no reply.
    using Handler = std::function<PacketArray(const PacketArray &fields, const QString &fromIP)>;

    // The process-wide server (not owned); null until one is published.
    static TCPserver *shared();
    static void setShared(TCPserver *server);

    // Starts listening at once (retrying every 5 s on failure). Tests listen on port 0 and
    // connect to a port of their own; watchSystem also follows network changes and sleep.
    explicit TCPserver(std::uint16_t listenPort = DefaultPort, std::uint16_t connectPort = DefaultPort,
                       bool watchSystem = true, QObject *parent = nullptr);
    ~TCPserver() override;

    // The sender may be the post-sleep restart timer. True when the listener is on afterwards;
    // a listener already on stays as it is.
    bool turnONserver(Timer *sender = nullptr);
    void turnOffserver();
    bool isListening() const { return listening_; }
    // The port actually listened on (the given one, or the one picked for port 0).
    std::uint16_t listeningPort() const;
    void setConnectPort(std::uint16_t port) { connectPort_ = port; }

    // A network change: one restart 5 s after the last of a burst.
    void run5secondTimer();
    void adaptersChanged();
    // Sleep (true) takes the user offline and stops listening for up to 120 s; wake (false)
    // starts again.
    void onSystemPowerChange(bool sleep);
    Timer *networkChangeTimer() const { return networkTimer_; }
    Timer *postSleepRestartTimer() const { return sleepTimer_; }

    // Sends one frame to the user's address; the message (a Message or a MessageForForwarding,
    // or null) is the one whose delivery this is.
    void SendTCPpacket(const QByteArray &frame, User *to, ManagedObject *message);
    // "TRI" to the user, asked again a few times when the answer is empty: a peer that has just
    // started answers so until our presence has told it who we are.
    void requestUserInfo(User *user);
    // Tests shorten the first delay between requests.
    void setInfoRetryDelay(double seconds) { infoRetryDelay_ = seconds; }

    // The handlers of this server.
    PacketArray replyInfoRequest(const PacketArray &fields);
    void userInfoReceived(const PacketArray &fields);
    void debugPaketError(const QString &address);

    // The reply to a packet read from the address (empty: none). "TMR" is answered on the
    // connection itself and is not reached through here.
    PacketArray dispatch(const PacketArray &fields, const QString &fromIP);
    // Words whose handlers belong to later work (chat rooms, calls): no reply until one is set.
    static const QStringList &pluggableWords();
    void setHandler(const QString &word, Handler handler);

    // A disconnect error that marks the recipient of an incomplete exchange offline: any real
    // error except the peer's orderly close.
    static bool isOfflineError(const SocketError &error);

    // The file server, once it exists, is told when listening starts (the published UDP
    // server is told to begin and end its work directly).
    void setFileServerAdapterChanged(std::function<void()> adapterChanged);

    int acceptedConnectionCount() const { return int(accepted_.size()); }
    int outgoingConnectionCount() const { return int(outgoing_.size()); }
    // Packets waiting for a place (per address, or among the information requests).
    int waitingPacketCount() const;

signals:
    // A "TMR" from the recipient ended the exchange of the message (null for none attached).
    void delivered(User *recipient, ManagedObject *message);
    // The exchange did not complete: the recipient was set offline.
    void deliveryFailed(User *recipient, ManagedObject *message);

private:
    class Delegate;
    struct Link;
    struct Waiting;
    friend class Delegate;

    void didAccept(const std::shared_ptr<TcpSocket> &newSocket);
    void didRead(const std::shared_ptr<TcpSocket> &sock, const QByteArray &data);
    // Writes the reply and its line end, then closes; an empty reply closes at once.
    void answer(const std::shared_ptr<TcpSocket> &sock, const PacketArray &reply);
    void didWrite(const std::shared_ptr<TcpSocket> &sock, long tag);
    void didDisconnect(const std::shared_ptr<TcpSocket> &sock, const SocketError &error);
    void messageReceived(const PacketArray &fields, const std::shared_ptr<TcpSocket> &sock);
    void send(const QByteArray &frame, User *to, ManagedObject *message, int infoRetries, bool info = false);
    void start(const Waiting &packet);
    bool mayStart(const QString &address, bool info) const;
    void startWaiting();
    static QByteArray infoRequestFrame(const User *user);
    void retryInfoRequest(const QPointer<User> &user, int retriesLeft);
    void deliveryFailedOn(Link &link);
    void close(const std::shared_ptr<TcpSocket> &sock);
    void remove(const std::shared_ptr<TcpSocket> &sock);
    static Link *linkOf(const std::shared_ptr<TcpSocket> &sock);

    std::uint16_t listenPort_;
    std::uint16_t connectPort_;
    std::shared_ptr<Delegate> delegate_;
    std::shared_ptr<TcpSocket> serverTCPsocket_;
    std::vector<std::shared_ptr<TcpSocket>> accepted_;
    std::vector<std::shared_ptr<TcpSocket>> outgoing_;
    std::list<Waiting> waiting_;
    QHash<QString, int> acceptedPerPeer_; // address -> accepted connections open
    QHash<QString, int> outgoingPerPeer_; // address -> outgoing connections open
    QSet<const User *> infoAsked_;        // users with an information request waiting or under way
    int infoInFlight_ = 0;
    bool startingWaiting_ = false;
    bool scanAgain_ = false;
    bool listening_ = false;
    QPointer<Timer> networkTimer_;
    QPointer<Timer> sleepTimer_;
    QHash<QString, Handler> handlers_;
    std::function<void()> fileAdapterChanged_;
    bool watchSystem_;
    double infoRetryDelay_ = InfoRetryDelay;
};
