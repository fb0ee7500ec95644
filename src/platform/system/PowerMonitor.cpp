#include "platform/system/PowerMonitor.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QMetaMethod>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QString kService = QStringLiteral("org.freedesktop.login1");
const QString kPath = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");

PowerMonitor *instance = nullptr;

void destroyInstance() {
    delete instance;
    instance = nullptr;
}

} // namespace

PowerMonitor &PowerMonitor::shared() {
    if (!instance) {
        instance = new PowerMonitor;
        qAddPostRoutine(destroyInstance);
    }
    return *instance;
}

PowerMonitor::PowerMonitor() : PowerMonitor(QDBusConnection::systemBus()) {}

PowerMonitor::PowerMonitor(const QDBusConnection &bus) : bus_(bus) {
    if (!bus_.isConnected() || !bus_.interface()) return;
    const QDBusReply<bool> present = bus_.interface()->isServiceRegistered(kService);
    if (!present.isValid() || !present.value()) return;
    active_ = bus_.connect(kService, kPath, kManager, QStringLiteral("PrepareForSleep"), this,
                           SLOT(onPrepareForSleep(bool)));
    if (active_) takeSleepDelay();
}

PowerMonitor::~PowerMonitor() {
    if (active_)
        bus_.disconnect(kService, kPath, kManager, QStringLiteral("PrepareForSleep"), this,
                        SLOT(onPrepareForSleep(bool)));
    releaseSleepDelay();
}

void PowerMonitor::takeSleepDelay() {
    if (inhibitorFd_ >= 0 || requesting_) return;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kManager, QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep") << QStringLiteral("Murnavell") << QStringLiteral("Announce going offline")
         << QStringLiteral("delay");
    // Asynchronous: start-up and wake never wait on the bus.
    requesting_ = true;
    auto *watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *done) {
        done->deleteLater();
        requesting_ = false;
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *done;
        if (reply.isError() || !reply.value().isValid()) return;
        // The reply closes its own descriptor; ours is a copy.
        const int fd = ::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
        if (fd < 0) return;
        // A lock that arrives once sleep has begun would only hold the machine up.
        if (asleep_ || inhibitorFd_ >= 0)
            ::close(fd);
        else
            inhibitorFd_ = fd;
    });
}

void PowerMonitor::releaseSleepDelay() {
    if (inhibitorFd_ < 0) return;
    ::close(inhibitorFd_);
    inhibitorFd_ = -1;
}

void PowerMonitor::onPrepareForSleep(bool start) {
    if (start) {
        asleep_ = true;
        emit willSleep();
        // Nobody has sleep work to do, so the machine need not wait for a release.
        if (!isSignalConnected(QMetaMethod::fromSignal(&PowerMonitor::willSleep))) releaseSleepDelay();
    } else {
        asleep_ = false;
        takeSleepDelay();
        emit didWake();
    }
}
