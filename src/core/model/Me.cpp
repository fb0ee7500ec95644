#include "core/model/Me.h"

#include <QPointer>

namespace {
QPointer<ManagedObject> &currentMe() {
    static QPointer<ManagedObject> me;
    return me;
}
} // namespace

Me *Me::current() { return static_cast<Me *>(currentMe().data()); }

void Me::setCurrent(Me *me) { currentMe() = me; }

void Me::setStatus(const QString &status) {
    Me *roster = current();
    if (status == QLatin1String("10") && (!roster || roster == this)) return;
    User::setStatus(status);
}
