#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <cstdint>
#include <memory>
#include <vector>

class ByteCountFormatter;
class Defaults;
class FileTransfer;
class TcpSocket;
class User;

// The file listener: every connection it accepts is a new incoming transfer, which takes the
// connection over. Outgoing transfers connect to the peer's file port themselves. One lives for
// the whole run; tests listen on port 0 and connect to a port of their own.
class FILEserver : public QObject {
    Q_OBJECT
public:
    static constexpr std::uint16_t DefaultPort = 19880;
    // Incoming transfer connections open at once; more wait in the kernel's backlog until one
    // closes, so a host that opens and holds connections cannot make the program hold more.
    static constexpr int MaxIncomingConnections = 64;
    // Of those, at most this many from one address: a peer sends a few transfers at a time, so
    // one host that opens and holds connections cannot take every place; one beyond is closed
    // at once.
    static constexpr int MaxIncomingPerAddress = 8;

    // The process-wide server (not owned); null until one is published.
    static FILEserver *shared();
    static void setShared(FILEserver *server);

    // The shared formatter of sizes (non-numeric wording off, zero-padded fractions on).
    static ByteCountFormatter &byteCountFormatter();
    static const QString &pieceSeparatorText();
    static const QByteArray &pieceSeparator();

    // The settings of received files: "fileTransferPath" ("Murnavell" in the download folder),
    // "fileTransferAutoAccept" and "sounds.onIncomingFile".
    static QVariantMap registeredDefaults();
    static void registerDefaults(Defaults &defaults);

    // Starts listening at once (through adapterChanged).
    explicit FILEserver(std::uint16_t listenPort = DefaultPort, std::uint16_t connectPort = DefaultPort,
                        QObject *parent = nullptr);
    ~FILEserver() override;

    // Rebuilds the listener; a failure to listen waits for the next call.
    void adapterChanged();
    bool isListening() const { return m_listening; }
    std::uint16_t listeningPort() const;
    std::uint16_t connectPort() const { return m_connectPort; }
    void setConnectPort(std::uint16_t port) { m_connectPort = port; }

    // Incoming connections open now (accepted and not yet closed).
    int openIncomingConnections() const;
    // Tests lower the cap; 0 or less restores it. Takes effect at the next listener rebuild.
    void setMaxIncomingConnectionsForTesting(int limit) {
        m_maxIncoming = limit > 0 ? limit : MaxIncomingConnections;
    }

    // Starts a transfer of the paths (absolute) to the user; false when they hold no file.
    bool outgoingFiles(const QStringList &paths, User *to);

signals:
    // A request was read: the transfer waits for a decision (state 5) or was refused (state 4).
    void incomingTransfer(FileTransfer *transfer);
    void outgoingTransfer(FileTransfer *transfer);

private:
    class Delegate;
    void didAccept(const std::shared_ptr<TcpSocket> &newSocket);

    std::uint16_t m_listenPort;
    std::uint16_t m_connectPort;
    std::shared_ptr<Delegate> m_delegate;
    std::shared_ptr<TcpSocket> m_listener;
    bool m_listening = false;
    int m_maxIncoming = MaxIncomingConnections;
    // Accepted connections by address; closed ones leave at the next accept.
    struct Incoming {
        QString address;
        std::weak_ptr<TcpSocket> socket;
    };
    std::vector<Incoming> m_incoming;
};
