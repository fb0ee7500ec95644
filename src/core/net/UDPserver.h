#pragma once

#include "core/wire/PacketField.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class Me;
class SocketError;
class Timer;
class UdpSocket;
class User;

// The presence server: announces the local user on UDP and hears the other copies. Broadcasts
// go to every discovery target, answers and personal notices to one user's address. Runs the
// refresh: every 360 s a broadcast, 6 s after each an information request to every online user
// and the removal of users unseen for 30 days. Main thread only.
class UDPserver : public QObject {
    Q_OBJECT
public:
    static constexpr std::uint16_t kPort = 19771;
    static constexpr double kRefreshInterval = 360.0;
    static constexpr double kFollowUpDelay = 6.0;
    static constexpr double kResetDelay = 2.0;
    static constexpr qint64 kRemoveAfterSeconds = 2592000; // 30 days
    // Receive buffer asked of the kernel for the presence socket: a whole office announcing at
    // once (every copy answers a "UI" within milliseconds) waits there while the main thread
    // works through it. The kernel grants at most its own ceiling (net.core.rmem_max, doubled
    // for its bookkeeping); what it holds is bounded by that, and what the socket has read and
    // not yet handed over by the socket's own in-flight limit.
    static constexpr int kReceiveBufferWanted = 4 << 20;

    // The process's server: the first one made, until it is destroyed; null before.
    static UDPserver *shared();
    static void setShared(UDPserver *server);

    // Opens the sockets at once. `receivePort` is the port bound for receiving (0: any free
    // one, see receivePort()), `sendPort` the port every packet is sent to.
    explicit UDPserver(std::uint16_t receivePort = kPort, std::uint16_t sendPort = kPort,
                       QObject *parent = nullptr);
    ~UDPserver() override;

    std::uint16_t receivePort() const;
    // The receive buffer the kernel granted the presence socket, in bytes as it reports them
    // (0 while there is no socket).
    int receiveBufferSize() const { return receiveBufferSize_; }
    std::uint16_t sendPort() const { return sendPort_; }

    // Sockets.
    void adaptersChanged();
    std::shared_ptr<UdpSocket> createAndInitUDPsocket();
    bool enableBroadcasts();
    // One rebuild of both sockets 2 s from now; further calls until then add none.
    void resetSocketsWithDelay();
    bool resetPending() const { return resetPending_; }
    void closeBothUDPsockets();

    // Presence work on and off.
    void beginWork();
    void endWork();
    bool isWorking() const;

    // Builds and sends one presence packet; no user means every discovery target.
    void SendUDPpacketTo(User *user, const QString &word, const QString &oldName = QString(),
                         const QString &newName = QString());
    void SendTyping(User *user);
    void SendPersonalizedRefreshPacketTo(User *user);
    // Frames once and sends to every discovery target.
    void SendPacketToEveryone(const PacketArray &array);

    // With fromTimer false "UI", otherwise "RL"; then the follow-up 6 s later.
    void RefreshUserList(bool fromTimer);
    void ContinueRefreshUserList();

    // The 15-field presence array of `me` for the word, addressed to `to` or to everyone.
    // Empty status, computer name or name fall back to "0", the short host name and the
    // account's name, so the local user never becomes invisible for want of a field.
    static PacketArray presencePacket(const Me *me, const QString &word, const User *to,
                                      const QString &oldName, const QString &newName);
    // The part of a version before its first ".".
    static QString majorVersion(const QString &version);

    // One received datagram, as the receive socket hands it over.
    void handleDatagram(const QByteArray &data, const QString &fromHost);

    // The interfaces' broadcast addresses; tests put loopback targets in place (an empty
    // function restores the interfaces).
    static void setDefaultBroadcastsFunction(std::function<QStringList()> source);
    static QStringList defaultBroadcasts();

    // Tests reach the timers to fire them.
    Timer *refreshTimer() const;
    Timer *sixSecTimer() const;
    Timer *resetTimer() const;
    // How many times the sockets were made (the first opening included).
    int socketGenerations() const { return generations_; }
    // Datagrams handed to the sending socket and not yet reported sent or given up.
    int pendingSends() const { return pendingSends_; }
    // Datagrams the receiving socket handed over so far, also those that were not applied.
    int receivedDatagrams() const { return receivedDatagrams_; }

    // Socket callbacks (on the main queue).
    void onReceive(const std::shared_ptr<UdpSocket> &socket, const QByteArray &data,
                   const QByteArray &address);
    void onDidSend(const std::shared_ptr<UdpSocket> &socket, long tag);
    void onDidNotSend(const std::shared_ptr<UdpSocket> &socket, long tag, const SocketError &error);
    void onClose(const std::shared_ptr<UdpSocket> &socket, const SocketError &error);

signals:
    // A presence datagram was applied to the roster: its word and the sender's id.
    void presenceReceived(const QString &word, const QString &userId);

private:
    class SocketEvents;

    void sendFrame(const QByteArray &frame, const QString &host, long tag);
    // Answers ("AL") to the datagrams of one delivery leave together on the main queue's next
    // turn, ahead of anything the datagrams asked for meanwhile (information requests): one
    // hand-over to the sending socket's queue for a burst instead of one per datagram.
    void reserveAnswerTurn();
    void answer(User *user);
    void sendAnswers();

    std::shared_ptr<SocketEvents> events_;
    std::shared_ptr<UdpSocket> recvSocket_;
    std::shared_ptr<UdpSocket> sendSocket_;
    QPointer<Timer> refreshTimer_;
    QPointer<Timer> sixSecTimer_;
    QPointer<Timer> resetTimer_;
    std::uint16_t receivePortWanted_;
    std::uint16_t sendPort_;
    bool resetPending_ = false;
    bool stopped_ = false; // endWork until the next beginWork: no socket rebuilds meanwhile
    int generations_ = 0;
    int pendingSends_ = 0;
    int receivedDatagrams_ = 0;
    int receiveBufferSize_ = 0;
    struct Answer {
        QByteArray frame;
        QString host;
    };
    std::vector<Answer> answers_;
    bool answerTurnReserved_ = false;
};
