#include "platform/system/AutostartEntry.h"

#include "platform/system/ApplicationId.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

QString AutostartEntry::path() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/") + ApplicationId::desktopId() + QStringLiteral(".desktop");
}

bool AutostartEntry::exists() { return QFileInfo::exists(path()); }

// Quoted as the desktop entry format asks for an argument with blanks or special characters.
static QString quoted(const QString &program) {
    QString escaped = program;
    for (const char *special : {"\\", "\"", "`", "$"})
        escaped.replace(QLatin1String(special), QLatin1Char('\\') + QLatin1String(special));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

bool AutostartEntry::setEnabled(bool enable, const QString &program) {
    if (!enable) return !exists() || QFile::remove(path());
    if (!QDir().mkpath(QFileInfo(path()).path())) return false;
    QSaveFile file(path());
    if (!file.open(QIODevice::WriteOnly)) return false;
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=Murnavell\n"
                                        "Comment=Office messenger for the local network\n"
                                        "Exec=%1\n"
                                        "Icon=%2\n"
                                        "Terminal=false\n"
                                        "X-GNOME-Autostart-enabled=true\n")
                             .arg(quoted(program), ApplicationId::desktopId());
    file.write(text.toUtf8());
    return file.commit();
}
