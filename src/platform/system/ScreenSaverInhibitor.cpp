#include "platform/system/ScreenSaverInhibitor.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPointer>

namespace {

const QString kService = QStringLiteral("org.freedesktop.ScreenSaver");
const QString kPath = QStringLiteral("/org/freedesktop/ScreenSaver");

} // namespace

ScreenSaverInhibitor::ScreenSaverInhibitor(const QString &reason, QObject *parent)
    : ScreenSaverInhibitor(reason, QDBusConnection::sessionBus(), parent) {}

ScreenSaverInhibitor::ScreenSaverInhibitor(const QString &reason, const QDBusConnection &bus, QObject *parent)
    : QObject(parent), state_(std::make_shared<State>(State{bus})) {
    if (!bus.isConnected()) {
        state_->held = false;
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Inhibit"));
    QString application = QCoreApplication::applicationName();
    if (application.isEmpty()) application = QStringLiteral("Murnavell");
    call << application << reason;
    auto *watcher = new QDBusPendingCallWatcher(state_->bus.asyncCall(call));
    const std::shared_ptr<State> state = state_;
    const QPointer<ScreenSaverInhibitor> self(this);
    connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [state, self](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<uint> reply = *w;
        state->answered = true;
        if (reply.isError()) {
            state->held = false;
            if (self) emit self->answered(false);
            return;
        }
        state->cookie = reply.value();
        if (!state->held) unInhibit(*state);
        if (self) emit self->answered(state->held);
    });
}

ScreenSaverInhibitor::~ScreenSaverInhibitor() { release(); }

bool ScreenSaverInhibitor::isHeld() const { return state_->held; }

uint ScreenSaverInhibitor::cookie() const { return state_->cookie; }

void ScreenSaverInhibitor::release() {
    if (!state_->held) return;
    state_->held = false;
    if (state_->answered) unInhibit(*state_);
}

void ScreenSaverInhibitor::unInhibit(State &state) {
    if (state.cookie == 0 || !state.bus.isConnected()) return;
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("UnInhibit"));
    call << state.cookie;
    state.bus.call(call, QDBus::NoBlock);
    state.cookie = 0;
}
