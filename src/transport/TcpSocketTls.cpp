#include "transport/TcpSocketTls.h"

#include "platform/strings/Strings.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <QMetaType>
#include <QStringList>

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

QString text(const char *english) { return Strings::localized("TcpSocket", QString::fromUtf8(english)); }

bool isNumber(const QVariant &v) {
    switch (v.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

bool isArray(const QVariant &v) {
    return v.typeId() == QMetaType::QVariantList || v.typeId() == QMetaType::QStringList;
}

// Protocol numbers: the socket's own (4 TLS 1.0, 7 TLS 1.1, 8 TLS 1.2, 10 TLS 1.3) or the wire
// version itself (0x0301 to 0x0304). 0 for anything else.
int protocolVersion(long long value) {
    switch (value) {
    case 4:
        return TLS1_VERSION;
    case 7:
        return TLS1_1_VERSION;
    case 8:
        return TLS1_2_VERSION;
    case 10:
        return TLS1_3_VERSION;
    case TLS1_VERSION:
    case TLS1_1_VERSION:
    case TLS1_2_VERSION:
    case TLS1_3_VERSION:
        return int(value);
    default:
        return 0;
    }
}

BIO_METHOD *socketBioMethod(int (*rd)(BIO *, char *, int), int (*wr)(BIO *, const char *, int),
                            long (*ctrl)(BIO *, int, long, void *)) {
    static BIO_METHOD *method = [&] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "TcpSocket");
        BIO_meth_set_read(m, rd);
        BIO_meth_set_write(m, wr);
        BIO_meth_set_ctrl(m, ctrl);
        BIO_meth_set_create(m, [](BIO *b) {
            BIO_set_init(b, 1);
            return 1;
        });
        return m;
    }();
    return method;
}

QString opensslErrors() {
    QStringList parts;
    while (unsigned long e = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        parts << QString::fromLatin1(buf);
    }
    return parts.join("; ");
}

} // namespace

TcpSocketTls::TcpSocketTls(Io read, ConstIo write)
    : read_(std::move(read)), write_(std::move(write)), preBuffer_(4096) {}

TcpSocketTls::~TcpSocketTls() {
    if (ssl_) SSL_free(ssl_);
    if (ctx_) SSL_CTX_free(ctx_);
}

std::unique_ptr<TcpSocketTls> TcpSocketTls::create(const QVariantMap &settings, Io read, ConstIo write,
                                                   QString *failure) {
    std::unique_ptr<TcpSocketTls> tls(new TcpSocketTls(std::move(read), std::move(write)));
    auto fail = [&](const char *english) {
        *failure = text(english);
        ERR_clear_error();
        return nullptr;
    };
    ERR_clear_error();
    const bool server = settings.value("kCFStreamSSLIsServer").toBool();
    tls->ctx_ = SSL_CTX_new(TLS_method());
    if (!tls->ctx_) return fail("Error in SSLCreateContext");
    tls->ssl_ = SSL_new(tls->ctx_);
    if (!tls->ssl_) return fail("Error in SSLCreateContext");
    BIO *bio = BIO_new(socketBioMethod(&bioRead, &bioWrite, &bioCtrl));
    if (!bio) return fail("Error in SSLSetIOFuncs");
    BIO_set_data(bio, tls.get());
    SSL_set_bio(tls->ssl_, bio, bio);
    if (server)
        SSL_set_accept_state(tls->ssl_);
    else
        SSL_set_connect_state(tls->ssl_);
    // The engine retries a blocked write from the same bytes, which may have moved in memory.
    SSL_set_mode(tls->ssl_, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

    auto has = [&](const char *key) { return settings.contains(QString::fromLatin1(key)); };
    auto value = [&](const char *key) { return settings.value(QString::fromLatin1(key)); };

    if (has("TcpSocketManuallyEvaluateTrust")) {
        const QVariant v = value("TcpSocketManuallyEvaluateTrust");
        if (!isNumber(v)) return fail("Error in SSLSetSessionOption");
        if (v.toBool()) {
            if (server) return fail("Manual trust validation is not supported for server sockets");
            tls->manualTrust_ = true;
        }
    }
    if (!server) {
        if (tls->manualTrust_) {
            // The chain is judged by the delegate; the handshake only collects it.
            SSL_set_verify(tls->ssl_, SSL_VERIFY_NONE, nullptr);
        } else {
            SSL_CTX_set_default_verify_paths(tls->ctx_);
            SSL_set_verify(tls->ssl_, SSL_VERIFY_PEER, nullptr);
        }
    }
    if (has("kCFStreamSSLPeerName")) {
        const QVariant v = value("kCFStreamSSLPeerName");
        if (v.typeId() != QMetaType::QString) return fail("Invalid value for kCFStreamSSLPeerName.");
        tls->peerName_ = v.toString();
        const QByteArray name = tls->peerName_.toUtf8();
        if (!name.isEmpty()) {
            if (!server && SSL_set_tlsext_host_name(tls->ssl_, name.constData()) != 1)
                return fail("Error in SSLSetPeerDomainName");
            if (!tls->manualTrust_ && SSL_set1_host(tls->ssl_, name.constData()) != 1)
                return fail("Error in SSLSetPeerDomainName");
        }
    }
    if (has("kCFStreamSSLCertificates")) {
        const QVariant v = value("kCFStreamSSLCertificates");
        if (!isArray(v)) return fail("Invalid value for kCFStreamSSLCertificates.");
        const QVariantList list = v.toList();
        if (list.isEmpty()) return fail("Invalid value for kCFStreamSSLCertificates.");
        for (const QVariant &item : list)
            if (item.typeId() != QMetaType::QByteArray)
                return fail("Invalid value for kCFStreamSSLCertificates.");
        // The first element is the identity (PEM key and certificate), the rest its chain.
        const QByteArray identity = list.first().toByteArray();
        BIO *keyBio = BIO_new_mem_buf(identity.constData(), int(identity.size()));
        EVP_PKEY *key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
        BIO_free(keyBio);
        BIO *certBio = BIO_new_mem_buf(identity.constData(), int(identity.size()));
        X509 *cert = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
        BIO_free(certBio);
        const bool ok = key && cert && SSL_use_certificate(tls->ssl_, cert) == 1 &&
                        SSL_use_PrivateKey(tls->ssl_, key) == 1 && SSL_check_private_key(tls->ssl_) == 1;
        X509_free(cert);
        EVP_PKEY_free(key);
        if (!ok) return fail("Error in SSLSetCertificate");
        for (qsizetype i = 1; i < list.size(); ++i) {
            const QByteArray pem = list[i].toByteArray();
            BIO *b = BIO_new_mem_buf(pem.constData(), int(pem.size()));
            X509 *extra = PEM_read_bio_X509(b, nullptr, nullptr, nullptr);
            BIO_free(b);
            const bool added = extra && SSL_add1_chain_cert(tls->ssl_, extra) == 1;
            X509_free(extra);
            if (!added) return fail("Error in SSLSetCertificate");
        }
    }
    if (has("TcpSocketSSLPeerID")) {
        const QVariant v = value("TcpSocketSSLPeerID");
        if (v.typeId() != QMetaType::QByteArray) return fail("Invalid value for TcpSocketSSLPeerID.");
        // A server keys resumable sessions by it; a client keeps no session cache to key.
        const QByteArray id = v.toByteArray();
        if (server &&
            SSL_set_session_id_context(tls->ssl_, reinterpret_cast<const unsigned char *>(id.constData()),
                                       unsigned(id.size())) != 1)
            return fail("Error in SSLSetPeerID");
    }
    struct VersionKey {
        const char *key, *error, *invalid;
        bool min;
    };
    for (const VersionKey &k :
         {VersionKey{"TcpSocketSSLProtocolVersionMin", "Error in SSLSetProtocolVersionMin",
                     "Invalid value for TcpSocketSSLProtocolVersionMin.", true},
          VersionKey{"TcpSocketSSLProtocolVersionMax", "Error in SSLSetProtocolVersionMax",
                     "Invalid value for TcpSocketSSLProtocolVersionMax.", false}}) {
        if (!has(k.key)) continue;
        const QVariant v = value(k.key);
        if (!isNumber(v)) return fail(k.invalid);
        const long long n = v.toLongLong();
        if (n == 0) continue;
        const int version = protocolVersion(n);
        if (version == 0) return fail(k.error);
        const int r = k.min ? SSL_set_min_proto_version(tls->ssl_, version)
                            : SSL_set_max_proto_version(tls->ssl_, version);
        if (r != 1) return fail(k.error);
    }
    // No OpenSSL counterpart: accepted for their type, without effect.
    if (has("TcpSocketSSLSessionOptionFalseStart") && !isNumber(value("TcpSocketSSLSessionOptionFalseStart")))
        return fail("Invalid value for TcpSocketSSLSessionOptionFalseStart.");
    if (has("TcpSocketSSLSessionOptionSendOneByteRecord") &&
        !isNumber(value("TcpSocketSSLSessionOptionSendOneByteRecord")))
        return fail("Invalid value for TcpSocketSSLSessionOptionSendOneByteRecord.");
    if (has("TcpSocketSSLCipherSuites")) {
        const QVariant v = value("TcpSocketSSLCipherSuites");
        if (!isArray(v)) return fail("Invalid value for TcpSocketSSLCipherSuites.");
        QStringList tls12, tls13;
        for (const QVariant &item : v.toList()) {
            if (!isNumber(item)) return fail("Invalid value for TcpSocketSSLCipherSuites.");
            const unsigned id = unsigned(item.toUInt());
            const unsigned char bytes[2] = {static_cast<unsigned char>(id >> 8),
                                            static_cast<unsigned char>(id)};
            const SSL_CIPHER *c = SSL_CIPHER_find(tls->ssl_, bytes);
            if (!c) continue;
            (id >> 8 == 0x13 ? tls13 : tls12) << QString::fromLatin1(SSL_CIPHER_get_name(c));
        }
        if (tls12.isEmpty() && tls13.isEmpty()) return fail("Error in SSLSetEnabledCiphers");
        if (SSL_set_ciphersuites(tls->ssl_, tls13.join(':').toLatin1().constData()) != 1 && !tls13.isEmpty())
            return fail("Error in SSLSetEnabledCiphers");
        if (!tls12.isEmpty() && SSL_set_cipher_list(tls->ssl_, tls12.join(':').toLatin1().constData()) != 1)
            return fail("Error in SSLSetEnabledCiphers");
        // Only TLS 1.3 suites chosen: older versions would have nothing left to offer.
        if (tls12.isEmpty()) SSL_set_min_proto_version(tls->ssl_, TLS1_3_VERSION);
    }
    if (has("TcpSocketSSLDiffieHellmanParameters")) {
        const QVariant v = value("TcpSocketSSLDiffieHellmanParameters");
        if (v.typeId() != QMetaType::QByteArray)
            return fail("Invalid value for TcpSocketSSLDiffieHellmanParameters.");
        const QByteArray pem = v.toByteArray();
        BIO *b = BIO_new_mem_buf(pem.constData(), int(pem.size()));
        EVP_PKEY *dh = PEM_read_bio_Parameters(b, nullptr);
        BIO_free(b);
        if (!dh || SSL_set0_tmp_dh_pkey(tls->ssl_, dh) != 1) {
            EVP_PKEY_free(dh);
            return fail("Error in SSLSetDiffieHellmanParams");
        }
    }
    if (has("TcpSocketSSLALPN")) {
        const QVariant v = value("TcpSocketSSLALPN");
        if (!isArray(v)) return fail("Invalid value for TcpSocketSSLALPN.");
        QByteArray wire;
        for (const QVariant &item : v.toList()) {
            const QByteArray name =
                item.typeId() == QMetaType::QByteArray ? item.toByteArray() : item.toString().toUtf8();
            if (item.typeId() != QMetaType::QByteArray && item.typeId() != QMetaType::QString)
                return fail("Invalid value for TcpSocketSSLALPN.");
            if (name.isEmpty() || name.size() > 255) return fail("Invalid value for TcpSocketSSLALPN.");
            wire.append(char(name.size())).append(name);
        }
        // A server would need a selection callback, which this socket does not offer.
        if (server) return fail("Security option unavailable - TcpSocketSSLALPN");
        if (SSL_set_alpn_protos(tls->ssl_, reinterpret_cast<const unsigned char *>(wire.constData()),
                                unsigned(wire.size())) != 0)
            return fail("Error in SSLSetALPNProtocols");
    }
    static const char *const unsupported[][2] = {
        {"kCFStreamSSLAllowsAnyRoot", "Security option unavailable - kCFStreamSSLAllowsAnyRoot"},
        {"kCFStreamSSLAllowsExpiredRoots", "Security option unavailable - kCFStreamSSLAllowsExpiredRoots"},
        {"kCFStreamSSLValidatesCertificateChain",
         "Security option unavailable - kCFStreamSSLValidatesCertificateChain"},
        {"kCFStreamSSLAllowsExpiredCertificates",
         "Security option unavailable - kCFStreamSSLAllowsExpiredCertificates"},
        {"kCFStreamSSLLevel", "Security option unavailable - kCFStreamSSLLevel"},
    };
    for (const auto &u : unsupported)
        if (has(u[0])) return fail(u[1]);
    return tls;
}

int TcpSocketTls::bioRead(BIO *bio, char *buffer, int length) {
    auto *self = static_cast<TcpSocketTls *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (length <= 0) return 0;
    // Bytes read ahead before the handshake come first; then only what OpenSSL asks for, so
    // handshake data is never buffered beyond what the engine takes.
    if (self->preBuffer_.availableBytes() > 0) {
        const size_t n = std::min(self->preBuffer_.availableBytes(), size_t(length));
        std::memcpy(buffer, self->preBuffer_.readBuffer(), n);
        self->preBuffer_.didRead(n);
        return int(n);
    }
    const long n = self->read_(buffer, size_t(length));
    if (n > 0) return int(n);
    if (n == 0) {
        BIO_set_retry_read(bio);
        return -1;
    }
    self->transportClosed_ = true;
    return 0;
}

int TcpSocketTls::bioWrite(BIO *bio, const char *buffer, int length) {
    auto *self = static_cast<TcpSocketTls *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (length <= 0) return 0;
    const long n = self->write_(buffer, size_t(length));
    if (n > 0) return int(n);
    if (n == 0) {
        BIO_set_retry_write(bio);
        return -1;
    }
    self->transportClosed_ = true;
    return -1;
}

long TcpSocketTls::bioCtrl(BIO *, int cmd, long, void *) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int TcpSocketTls::statusOf(int result) {
    const int e = SSL_get_error(ssl_, result);
    wantsWrite_ = e == SSL_ERROR_WANT_WRITE;
    switch (e) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        ERR_clear_error();
        return tlsstatus::kWouldBlock;
    case SSL_ERROR_ZERO_RETURN:
        ERR_clear_error();
        return tlsstatus::kClosedGraceful;
    case SSL_ERROR_SYSCALL:
        failureText_ = opensslErrors();
        return tlsstatus::kClosedAbort;
    default:
        break;
    }
    const unsigned long first = ERR_peek_error();
    failureText_ = opensslErrors();
    if (ERR_GET_REASON(first) == SSL_R_UNEXPECTED_EOF_WHILE_READING || transportClosed_)
        return tlsstatus::kClosedAbort;
    const long verify = SSL_get_verify_result(ssl_);
    if (verify == X509_V_ERR_HOSTNAME_MISMATCH) return tlsstatus::kHostNameMismatch;
    if (verify != X509_V_OK) return tlsstatus::kCertChainInvalid;
    return tlsstatus::kProtocol;
}

int TcpSocketTls::handshake() {
    ERR_clear_error();
    wantsWrite_ = false;
    const int r = SSL_do_handshake(ssl_);
    if (r != 1) return statusOf(r);
    if (manualTrust_ && !trusted_) return tlsstatus::kPeerAuthCompleted;
    return tlsstatus::kNoErr;
}

bool TcpSocketTls::peerNameMatches() const {
    const QByteArray name = peerName_.toUtf8();
    if (name.isEmpty()) return true;
    X509 *cert = SSL_get0_peer_certificate(ssl_);
    return cert && X509_check_host(cert, name.constData(), size_t(name.size()), 0, nullptr) == 1;
}

QList<QByteArray> TcpSocketTls::peerCertificates() const {
    QList<QByteArray> out;
    STACK_OF(X509) *chain = SSL_get_peer_cert_chain(ssl_);
    for (int i = 0; chain && i < sk_X509_num(chain); ++i) {
        X509 *c = sk_X509_value(chain, i);
        const int len = i2d_X509(c, nullptr);
        if (len <= 0) continue;
        QByteArray der(len, Qt::Uninitialized);
        auto *p = reinterpret_cast<unsigned char *>(der.data());
        i2d_X509(c, &p);
        out << der;
    }
    return out;
}

int TcpSocketTls::read(char *buffer, size_t length, size_t *done) {
    *done = 0;
    ERR_clear_error();
    size_t got = 0;
    const int r = SSL_read_ex(ssl_, buffer, std::min<size_t>(length, INT_MAX), &got);
    if (r == 1) {
        *done = got;
        return tlsstatus::kNoErr;
    }
    return statusOf(r);
}

int TcpSocketTls::write(const char *buffer, size_t length, size_t *done) {
    *done = 0;
    ERR_clear_error();
    size_t put = 0;
    const int r = SSL_write_ex(ssl_, buffer, length, &put);
    if (r == 1) {
        *done = put;
        return tlsstatus::kNoErr;
    }
    return statusOf(r);
}

size_t TcpSocketTls::pending() const { return size_t(std::max(0, SSL_pending(ssl_))); }

void TcpSocketTls::shutdown() {
    ERR_clear_error();
    if (SSL_is_init_finished(ssl_)) SSL_shutdown(ssl_);
    ERR_clear_error();
}
