// TLS in place over loopback: a TcpSocket listener and client, or a raw POSIX peer, with a
// self-signed certificate made for the run.
#include "TcpTestSupport.h"

#include "platform/dispatch/Queue.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>

#include <gtest/gtest.h>

using namespace tcptest;

namespace {

constexpr const char *kHostName = "murnavell.test";

// The server's identity (key and certificate, PEM), made once with the openssl tool.
const QByteArray &identity() {
    static QByteArray pem = [] {
        QTemporaryDir dir;
        const QString key = dir.filePath("key.pem"), cert = dir.filePath("cert.pem");
        QProcess p;
        p.start("openssl",
                {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                 "-keyout", key, "-out", cert, "-days", "2", "-subj", QString("/CN=%1").arg(kHostName),
                 "-addext", QString("subjectAltName=DNS:%1").arg(kHostName)});
        if (!p.waitForFinished(20000) || p.exitCode() != 0) return QByteArray();
        QFile k(key), c(cert);
        if (!k.open(QIODevice::ReadOnly) || !c.open(QIODevice::ReadOnly)) return QByteArray();
        return k.readAll() + c.readAll();
    }();
    return pem;
}

QVariantMap serverSettings() {
    return {{kTcpSocketSSLIsServer, true}, {kTcpSocketSSLCertificates, QVariantList{identity()}}};
}

class TlsRecorder : public Recorder {
public:
    // Manual trust: the answers given, in order, or none (the callback is not taken).
    std::vector<bool> trustAnswers{true};
    bool takesTrust = true;
    int trustOffers = 0;

    void socketDidSecure(const std::shared_ptr<TcpSocket> &) override { events << "secure"; }
    bool socketDidReceiveTrust(const std::shared_ptr<TcpSocket> &, const QList<QByteArray> &chain,
                               std::function<void(bool)> handler) override {
        ++trustOffers;
        events << QString("trust:%1").arg(chain.size());
        if (!takesTrust) return false;
        for (bool answer : trustAnswers) handler(answer);
        return true;
    }
    // Reads and the TLS events only (no write callbacks).
    QStringList flow() const {
        QStringList out;
        for (const QString &e : events)
            if (!e.startsWith("write:") && !e.startsWith("partial:")) out << e;
        return out;
    }
};

// A listener on 127.0.0.1 whose accepted child runs `onChild`; the client connects to it.
struct Pair {
    std::shared_ptr<TlsRecorder> serverRec = std::make_shared<TlsRecorder>();
    std::shared_ptr<TlsRecorder> clientRec = std::make_shared<TlsRecorder>();
    std::shared_ptr<TcpSocket> listener = TcpSocket::create(serverRec, dispatch::Queue::main());
    std::shared_ptr<TcpSocket> client = TcpSocket::create(clientRec, dispatch::Queue::main());

    bool connect(std::function<void(const std::shared_ptr<TcpSocket> &)> onChild) {
        serverRec->onAccept = std::move(onChild);
        SocketError err;
        if (!listener->acceptOnInterface("127.0.0.1", 0, &err)) return false;
        if (!client->connectToHost("127.0.0.1", listener->localPort(), 5, &err)) return false;
        return waitUntil([this] { return !serverRec->children.empty() && client->isConnected(); });
    }
    std::shared_ptr<TcpSocket> child() const { return serverRec->children.front(); }
};

// A TcpSocket client against a raw POSIX peer.
struct Client {
    std::shared_ptr<TlsRecorder> rec = std::make_shared<TlsRecorder>();
    std::shared_ptr<TcpSocket> sock = TcpSocket::create(rec, dispatch::Queue::main());
    RawServer server;

    bool connect() {
        SocketError err;
        return sock->connectToHost("127.0.0.1", server.port(), 5, &err) && server.accept();
    }
};

QString enc(const QByteArray &b) { return QString::fromLatin1(b.toPercentEncoding()); }
const QByteArray LF("\n");

// Both ends: a plain line each way, the switch, then a secure line each way.
void exchange(const std::shared_ptr<TcpSocket> &s, const char *name, const QVariantMap &settings) {
    s->writeData(QByteArray("plain-") + name + "\n", -1, 1);
    s->readDataToData(LF, 10, 1);
    SocketError err;
    EXPECT_TRUE(s->startTLS(settings, &err));
    s->writeData(QByteArray("tls-") + name + "\n", -1, 2);
    s->readDataToData(LF, 10, 2);
}

struct HandshakeCase {
    const char *name;
    QVariantMap client;
    std::vector<bool> answers; // manual trust answers
    bool takesTrust;
    QStringList clientFlow; // the client's reads and TLS events
    QString clientError;    // "domain:code" or "" for none yet
};

class Handshakes : public ::testing::TestWithParam<HandshakeCase> {};

TEST_P(Handshakes, SecureInOrderOrEndOnceWithTheTlsError) {
    ASSERT_FALSE(identity().isEmpty()) << "the openssl tool made no certificate";
    const int baseline = baselineDescriptors();
    const HandshakeCase &c = GetParam();
    {
        Pair p;
        p.clientRec->trustAnswers = c.answers;
        p.clientRec->takesTrust = c.takesTrust;
        ASSERT_TRUE(p.connect(
            [](const std::shared_ptr<TcpSocket> &child) { exchange(child, "s", serverSettings()); }));
        exchange(p.client, "c", c.client);
        const bool ok = c.clientError.isEmpty();
        if (ok) {
            ASSERT_TRUE(waitUntil([&] {
                return p.clientRec->reads.size() == 2 && p.serverRec->reads.size() == 2;
            })) << p.clientRec->flow().join(" | ").toStdString();
            EXPECT_TRUE(p.client->isSecure());
            EXPECT_TRUE(p.child()->isSecure());
            EXPECT_EQ(p.serverRec->flow(), (QStringList{"accept", "read:1:" + enc("plain-c\n"), "secure",
                                                        "read:2:" + enc("tls-c\n")}));
        } else {
            ASSERT_TRUE(p.clientRec->waitDisconnect());
            ASSERT_TRUE(p.serverRec->waitDisconnect());
            spinFor(200);
            EXPECT_EQ(p.clientRec->disconnects, 1);
            EXPECT_EQ(p.serverRec->disconnects, 1);
            EXPECT_EQ(p.serverRec->lastError.domain(), kTcpSocketSslErrorDomain);
            EXPECT_FALSE(p.client->isSecure());
        }
        QStringList expected = c.clientFlow;
        expected.prepend("connect:127.0.0.1");
        if (!ok) expected << "disconnect:" + c.clientError;
        EXPECT_EQ(p.clientRec->flow(), expected);
        p.client->disconnect();
        p.listener->disconnect();
        for (auto &child : p.serverRec->children) child->disconnect();
    }
    EXPECT_TRUE(waitUntil([&] { return openDescriptors() <= baseline; }))
        << openDescriptors() << " vs " << baseline;
}

const QStringList kSecured{"read:1:" + enc("plain-s\n"), "trust:1", "secure", "read:2:" + enc("tls-s\n")};
const QStringList kOffered{"read:1:" + enc("plain-s\n"), "trust:1"};

INSTANTIATE_TEST_SUITE_P(
    Table, Handshakes,
    ::testing::Values(
        HandshakeCase{"TrustedWithPeerName",
                      {{kTcpSocketManuallyEvaluateTrust, true}, {kTcpSocketSSLPeerName, kHostName}},
                      {true},
                      true,
                      kSecured,
                      ""},
        HandshakeCase{
            "TrustedWithoutNameCheck", {{kTcpSocketManuallyEvaluateTrust, true}}, {true}, true, kSecured, ""},
        // Only the first answer counts.
        HandshakeCase{"FirstOfTwoAnswersCounts",
                      {{kTcpSocketManuallyEvaluateTrust, true}},
                      {true, false},
                      true,
                      kSecured,
                      ""},
        HandshakeCase{"TrustRefused",
                      {{kTcpSocketManuallyEvaluateTrust, true}},
                      {false},
                      true,
                      kOffered,
                      "kCFStreamErrorDomainSSL:-9825"},
        // Verification on: a self-signed server is refused.
        HandshakeCase{"SelfSignedRefusedByVerification",
                      {{kTcpSocketSSLPeerName, kHostName}},
                      {},
                      true,
                      {"read:1:" + enc("plain-s\n")},
                      "kCFStreamErrorDomainSSL:-9807"},
        HandshakeCase{"WrongPeerName",
                      {{kTcpSocketManuallyEvaluateTrust, true}, {kTcpSocketSSLPeerName, "other.test"}},
                      {true},
                      true,
                      {"read:1:" + enc("plain-s\n")},
                      "kCFStreamErrorDomainSSL:-9843"},
        HandshakeCase{"DelegateTakesNoTrust",
                      {{kTcpSocketManuallyEvaluateTrust, true}},
                      {},
                      false,
                      kOffered,
                      "TcpSocketErrorDomain:8"}),
    [](const auto &info) { return std::string(info.param.name); });

struct SettingCase {
    const char *name;
    QVariantMap settings;
    QString text;
};

class RefusedSettings : public ::testing::TestWithParam<SettingCase> {};

TEST_P(RefusedSettings, CloseOnceWithTheTextWhenBothQueuesReachTheMarker) {
    Client c;
    ASSERT_TRUE(c.connect());
    c.sock->writeData("before", -1, 1);
    SocketError err;
    c.sock->startTLS(GetParam().settings, &err);
    ASSERT_TRUE(c.rec->waitDisconnect());
    EXPECT_EQ(c.server.readAll(), QByteArray("before"));
    spinFor(100);
    EXPECT_EQ(c.rec->disconnects, 1);
    EXPECT_EQ(c.rec->lastError.code(), TcpSocketOtherError);
    EXPECT_EQ(c.rec->lastError.localizedDescription(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedSettings,
    ::testing::Values(SettingCase{"Level",
                                  {{"kCFStreamSSLLevel", "kCFStreamSocketSecurityLevelNegotiatedSSL"}},
                                  "Security option unavailable - kCFStreamSSLLevel"},
                      SettingCase{"PeerNameNotAString",
                                  {{kTcpSocketSSLPeerName, 5}},
                                  "Invalid value for kCFStreamSSLPeerName."},
                      SettingCase{"CertificatesNotAnArray",
                                  {{kTcpSocketSSLIsServer, true}, {kTcpSocketSSLCertificates, "x"}},
                                  "Invalid value for kCFStreamSSLCertificates."},
                      SettingCase{"CertificatesUnreadable",
                                  {{kTcpSocketSSLIsServer, true},
                                   {kTcpSocketSSLCertificates, QVariantList{QByteArray("junk")}}},
                                  "Error in SSLSetCertificate"},
                      SettingCase{"ManualTrustOnAServer",
                                  {{kTcpSocketSSLIsServer, true}, {kTcpSocketManuallyEvaluateTrust, true}},
                                  "Manual trust validation is not supported for server sockets"},
                      SettingCase{"VersionUnknown",
                                  {{kTcpSocketSSLProtocolVersionMin, 99}},
                                  "Error in SSLSetProtocolVersionMin"}),
    [](const auto &info) { return std::string(info.param.name); });

// A raw peer answering the handshake with garbage, for either side of it.
class GarbagePeer : public ::testing::TestWithParam<bool> {};

TEST_P(GarbagePeer, EndsOnceWithATlsErrorAndNothingAfter) {
    const bool asServer = GetParam();
    const int baseline = baselineDescriptors();
    {
        Client c;
        ASSERT_TRUE(c.connect());
        SocketError err;
        c.sock->startTLS(asServer ? serverSettings() : QVariantMap{{kTcpSocketManuallyEvaluateTrust, true}},
                         &err);
        c.sock->readDataToData(LF, -1, 9);
        QByteArray garbage = "GET / HTTP/1.0\r\n\r\n";
        garbage += QByteArray(20000, '\x16');
        c.server.send(garbage);
        ASSERT_TRUE(c.rec->waitDisconnect());
        spinFor(200);
        EXPECT_EQ(c.rec->disconnects, 1);
        EXPECT_EQ(c.rec->lastError.domain(), kTcpSocketSslErrorDomain);
        EXPECT_EQ(c.rec->events.last(), c.rec->events.filter("disconnect").first());
        EXPECT_FALSE(c.sock->isSecure());
    }
    EXPECT_TRUE(waitUntil([&] { return openDescriptors() <= baseline; }));
}

INSTANTIATE_TEST_SUITE_P(Sides, GarbagePeer, ::testing::Bool(),
                         [](const auto &info) { return std::string(info.param ? "Server" : "Client"); });

// Secured pair helper for the data-phase tests.
struct SecurePair : Pair {
    bool secure() {
        clientRec->trustAnswers = {true};
        if (!connect([](const std::shared_ptr<TcpSocket> &child) {
                SocketError err;
                child->startTLS(serverSettings(), &err);
            }))
            return false;
        SocketError err;
        client->startTLS({{kTcpSocketManuallyEvaluateTrust, true}}, &err);
        return waitUntil(
            [this] { return clientRec->events.contains("secure") && serverRec->events.contains("secure"); });
    }
};

TEST(TcpSocketTls, TerminatorAndLengthReadsAcrossRecordsAndBufferedBytes) {
    SecurePair p;
    ASSERT_TRUE(p.secure());
    // Records of odd sizes: terminators and lengths fall inside and across them.
    QByteArray big(200000, '\0');
    for (int i = 0; i < big.size(); ++i) big[i] = char('a' + i % 26);
    const QByteArray stream = "one\r\ntw" + QByteArray("o\r\n") + big + "xyz" + "l1\nl2\nl3\n";
    p.child()->writeData(stream.left(5), -1, 1);
    p.child()->writeData(stream.mid(5, 3), -1, 2);
    p.child()->writeData(stream.mid(8, 70001), -1, 3);
    p.child()->writeData(stream.mid(70009), -1, 4);
    // Everything arrives before any read is queued; then each read queues the next from its
    // callback, so the last lines sit decrypted or inside OpenSSL with nothing left to wake
    // the readiness watch.
    ASSERT_TRUE(waitUntil([&] { return p.serverRec->events.contains("write:4"); }));
    spinFor(100);
    const QByteArray CRLF("\r\n");
    std::vector<std::function<void()>> next{
        [&] { p.client->readDataToData(CRLF, -1, 2); },
        [&] { p.client->readDataToLength(size_t(big.size()) + 3, -1, 3); },
        [&] { p.client->readDataToData(LF, -1, 4); },
        [&] { p.client->readDataToData(LF, -1, 5); },
        [&] { p.client->readDataToData(LF, -1, 6); },
    };
    p.clientRec->onRead = [&](const std::shared_ptr<TcpSocket> &, const QByteArray &, long tag) {
        if (size_t(tag) <= next.size()) next[size_t(tag) - 1]();
    };
    p.client->readDataToData(CRLF, -1, 1);
    ASSERT_TRUE(waitUntil([&] { return p.clientRec->reads.size() == 6; }));
    const std::vector<QByteArray> expected{"one\r\n", "two\r\n", big + "xyz", "l1\n", "l2\n", "l3\n"};
    EXPECT_EQ(p.clientRec->reads, expected);
}

TEST(TcpSocketTls, LargeWritesBothWaysArriveIntact) {
    SecurePair p;
    ASSERT_TRUE(p.secure());
    QByteArray payload(3 * 1024 * 1024 + 17, '\0');
    for (int i = 0; i < payload.size(); ++i) payload[i] = char((i * 7 + i / 4096) & 0xff);
    p.client->writeData(payload, -1, 1);
    p.child()->writeData(payload, -1, 1);
    p.client->readDataToLength(size_t(payload.size()), 20, 1);
    p.child()->readDataToLength(size_t(payload.size()), 20, 1);
    ASSERT_TRUE(
        waitUntil([&] { return p.clientRec->reads.size() == 1 && p.serverRec->reads.size() == 1; }, 20000));
    EXPECT_TRUE(p.clientRec->reads[0] == payload);
    EXPECT_TRUE(p.serverRec->reads[0] == payload);
}

TEST(TcpSocketTls, OrderlyCloseReachesAnIdlePeerAsCode7) {
    SecurePair p;
    ASSERT_TRUE(p.secure());
    // Our close sends close_notify: the peer sees an ordinary end.
    p.client->disconnect();
    ASSERT_TRUE(p.serverRec->waitDisconnect());
    EXPECT_EQ(p.serverRec->lastError.domain(), kTcpSocketErrorDomain);
    EXPECT_EQ(p.serverRec->lastError.code(), TcpSocketClosedError);
}

TEST(TcpSocketTls, CutMidHandshakeEndsOnceWithATlsAbort) {
    Client c;
    ASSERT_TRUE(c.connect());
    SocketError err;
    c.sock->startTLS({{kTcpSocketManuallyEvaluateTrust, true}}, &err);
    c.sock->writeData(QByteArray(1 << 16, 'x'), -1, 1);
    // The raw peer takes the client hello, then resets.
    ASSERT_TRUE(waitUntil([&] {
        pollfd pfd{c.server.peer(), POLLIN, 0};
        return ::poll(&pfd, 1, 0) > 0;
    }));
    c.server.resetPeer();
    ASSERT_TRUE(c.rec->waitDisconnect());
    spinFor(100);
    EXPECT_EQ(c.rec->disconnects, 1);
    EXPECT_EQ(c.rec->lastError.domain(), kTcpSocketSslErrorDomain);
    EXPECT_EQ(c.rec->lastError.code(), -9806);
}

TEST(TcpSocketTls, WritingToAGonePeerGivesAnErrorNotASignal) {
    // The default disposition: a SIGPIPE would end this test program.
    struct sigaction old {};
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &dfl, &old);
    {
        SecurePair p;
        p.client->setAutoDisconnectOnClosedReadStream(false); // keep writing after the peer's end
        ASSERT_TRUE(p.secure());
        p.child()->disconnect();
        ASSERT_TRUE(waitUntil([&] { return p.clientRec->events.contains("readClosed"); }));
        for (int i = 0; i < 50 && p.clientRec->disconnects == 0; ++i) {
            p.client->writeData(QByteArray(1024, 'x'), -1, i);
            spinFor(20);
        }
        ASSERT_TRUE(p.clientRec->waitDisconnect());
        spinFor(50);
        EXPECT_EQ(p.clientRec->disconnects, 1);
        EXPECT_EQ(p.clientRec->lastError.domain(), kTcpSocketSslErrorDomain);
    }
    ::sigaction(SIGPIPE, &old, nullptr);
}

TEST(TcpSocketTls, AFastPeerWithNoReadQueuedIsHeldBackNotBuffered) {
    SecurePair p;
    ASSERT_TRUE(p.secure());
    // Far more than the kernel buffers on both ends hold: the write can only finish if the
    // reader decrypts into memory without bound.
    QByteArray payload(48 * 1024 * 1024, '\0');
    for (int i = 0; i < payload.size(); i += 4096) payload[i] = char(i / 4096);
    p.child()->writeData(payload, -1, 7);
    spinFor(700);
    EXPECT_FALSE(p.serverRec->events.contains("write:7"));
    p.client->readDataToLength(size_t(payload.size()), -1, 1);
    ASSERT_TRUE(waitUntil([&] { return p.clientRec->reads.size() == 1; }, 60000));
    EXPECT_TRUE(p.clientRec->reads[0] == payload);
    EXPECT_TRUE(waitUntil([&] { return p.serverRec->events.contains("write:7"); }));
}

TEST(TcpSocketTls, StartTlsIgnoredUnlessStartedAndOpenAndOnlyOnce) {
    ASSERT_FALSE(identity().isEmpty());
    // Not started: nothing happens, nothing to report.
    auto rec = std::make_shared<TlsRecorder>();
    auto idle = TcpSocket::create(rec, dispatch::Queue::main());
    SocketError err;
    idle->startTLS({}, &err);
    spinFor(50);
    EXPECT_TRUE(rec->events.isEmpty());

    // A second request on both ends changes nothing: one handshake, one secure each.
    Pair p;
    ASSERT_TRUE(p.connect([](const std::shared_ptr<TcpSocket> &child) {
        SocketError e;
        child->startTLS(serverSettings(), &e);
        child->startTLS({{"kCFStreamSSLLevel", 1}}, &e);
        child->readDataToData(LF, -1, 1);
    }));
    p.client->startTLS({{kTcpSocketManuallyEvaluateTrust, true}}, &err);
    p.client->startTLS({{"kCFStreamSSLLevel", 1}}, &err);
    p.client->writeData("after\n", -1, 1);
    ASSERT_TRUE(waitUntil([&] { return p.serverRec->reads.size() == 1; }));
    EXPECT_EQ(p.serverRec->reads[0], QByteArray("after\n"));
    EXPECT_EQ(p.clientRec->flow(), (QStringList{"connect:127.0.0.1", "trust:1", "secure"}));

    // After a disconnect-after request: dropped.
    Client c;
    ASSERT_TRUE(c.connect());
    c.sock->disconnectAfterWriting();
    c.sock->startTLS({{"kCFStreamSSLLevel", 1}}, &err);
    ASSERT_TRUE(c.rec->waitDisconnect());
    EXPECT_TRUE(c.rec->lastError.isNull());
}

} // namespace
