#include "transfer/FILEserver.h"

#include "core/app/AppContext.h"
#include "platform/defaults/Defaults.h"
#include "platform/dispatch/Queue.h"
#include "platform/store/ManagedObjectContext.h"
#include "transfer/ByteCountFormatter.h"
#include "transfer/FileTransfer.h"
#include "transfer/HeaderRecord.h"
#include "transport/SocketError.h"
#include "transport/TcpSocket.h"

#include <QLoggingCategory>
#include <QPointer>
#include <QStandardPaths>

#include <algorithm>

namespace {

Q_LOGGING_CATEGORY(lcFileServer, "murnavell.transfer.server")

FILEserver *&sharedServer() {
    static FILEserver *server = nullptr;
    return server;
}

} // namespace

class FILEserver::Delegate : public TcpSocketDelegate {
public:
    explicit Delegate(FILEserver *s) : server(s) {}
    void socketDidAcceptNewSocket(const std::shared_ptr<TcpSocket> &,
                                  const std::shared_ptr<TcpSocket> &newSocket) override {
        if (server) server->didAccept(newSocket);
    }
    FILEserver *server;
};

FILEserver *FILEserver::shared() { return sharedServer(); }

void FILEserver::setShared(FILEserver *server) { sharedServer() = server; }

ByteCountFormatter &FILEserver::byteCountFormatter() {
    static ByteCountFormatter formatter = [] {
        ByteCountFormatter f;
        f.setAllowsNonnumericFormatting(false);
        f.setZeroPadsFractionDigits(true);
        return f;
    }();
    return formatter;
}

const QString &FILEserver::pieceSeparatorText() { return HeaderRecord::separatorText(); }

const QByteArray &FILEserver::pieceSeparator() { return HeaderRecord::separator(); }

QVariantMap FILEserver::registeredDefaults() {
    return {
        {QStringLiteral("fileTransferPath"),
         QStandardPaths::writableLocation(QStandardPaths::DownloadLocation) + QStringLiteral("/Murnavell")},
        {QStringLiteral("fileTransferAutoAccept"), true},
        {QStringLiteral("sounds.onIncomingFile"), true},
    };
}

void FILEserver::registerDefaults(Defaults &defaults) { defaults.registerDefaults(registeredDefaults()); }

FILEserver::FILEserver(std::uint16_t listenPort, std::uint16_t connectPort, QObject *parent)
    : QObject(parent), m_listenPort(listenPort), m_connectPort(connectPort),
      m_delegate(std::make_shared<Delegate>(this)) {
    adapterChanged();
}

FILEserver::~FILEserver() {
    m_delegate->server = nullptr;
    if (sharedServer() == this) sharedServer() = nullptr;
    if (m_listener) m_listener->disconnect();
}

void FILEserver::adapterChanged() {
    if (!m_listener) {
        m_listener = TcpSocket::create(m_delegate, dispatch::Queue::main());
        m_listener->setIPv6Enabled(false);
    } else {
        m_listener->disconnect();
    }
    // Back-pressure rather than refusal: a sender whose connection waits in the backlog is
    // served as soon as a place is free.
    m_listener->setMaxAcceptedConnections(m_maxIncoming);
    SocketError error;
    m_listening = m_listener->acceptOnPort(m_listenPort, &error);
    if (!m_listening)
        qCInfo(lcFileServer).noquote()
            << "listen failed:" << error.domain() << error.code() << error.localizedDescription();
}

int FILEserver::openIncomingConnections() const {
    return m_listener ? m_listener->openAcceptedConnections() : 0;
}

std::uint16_t FILEserver::listeningPort() const {
    return m_listening && m_listener ? m_listener->localPort() : 0;
}

void FILEserver::didAccept(const std::shared_ptr<TcpSocket> &newSocket) {
    if (!newSocket) return;
    const QString address = newSocket->connectedHost();
    std::erase_if(m_incoming, [](const Incoming &i) {
        const std::shared_ptr<TcpSocket> s = i.socket.lock();
        return !s || s->isDisconnected();
    });
    const auto fromAddress = std::count_if(m_incoming.begin(), m_incoming.end(),
                                           [&](const Incoming &i) { return i.address == address; });
    if (fromAddress >= MaxIncomingPerAddress) {
        qCInfo(lcFileServer).noquote() << "too many file connections from" << address;
        newSocket->disconnect();
        return;
    }
    m_incoming.push_back({address, newSocket});
    ManagedObjectContext *ctx = appManagedObjectContext();
    auto *transfer = ctx ? ctx->insert<FileTransfer>() : nullptr;
    if (!transfer) {
        newSocket->disconnect();
        return;
    }
    QPointer<FILEserver> self(this);
    transfer->startReceiving(newSocket, [self](FileTransfer *t) {
        if (self) emit self->incomingTransfer(t);
    });
}

bool FILEserver::outgoingFiles(const QStringList &paths, User *to) {
    FileTransfer *transfer = FileTransfer::newOutgoingFiles(paths, to, m_connectPort);
    if (transfer) emit outgoingTransfer(transfer);
    return transfer != nullptr;
}
