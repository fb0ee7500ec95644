#include "ui/history/DockIcon.h"

#include "core/model/Chat.h"
#include "core/model/User.h"
#include "ui/main/MainInterface.h"

#include <QPainter>

QPixmap DockIcon::dockIcon(const User *user) {
    return withBadge(user && !user->icon().isEmpty() ? user->icon() : QStringLiteral("Offline"));
}

QPixmap DockIcon::dockIcon(const Chat *) { return withBadge(QStringLiteral("Group")); }

QPixmap DockIcon::withBadge(const QString &imageName) {
    // The application icon is drawn once and copied for each image.
    static const QPixmap application = MainInterface::image(QStringLiteral("AppIcon")).pixmap(Size, Size);
    QPixmap out = application.copy();
    if (out.isNull()) {
        out = QPixmap(Size, Size);
        out.fill(Qt::transparent);
    }
    QPainter painter(&out);
    const int w = out.width(), h = out.height();
    MainInterface::image(imageName).paint(&painter, QRect(w / 2, h / 2, w / 2, h / 2));
    return out;
}
