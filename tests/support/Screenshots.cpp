#include "support/Screenshots.h"

#include <QDir>
#include <QPixmap>
#include <QWidget>

QString Screenshots::folder() { return QStringLiteral(MURNAVELL_SCREENSHOT_DIR); }

QString Screenshots::save(QWidget *window, const QString &windowName, const QString &state) {
    if (!window || !QDir().mkpath(folder())) return {};
    const QString path =
        folder() + QLatin1Char('/') + windowName + QLatin1Char('-') + state + QStringLiteral(".png");
    return window->grab().save(path, "PNG") ? path : QString();
}
