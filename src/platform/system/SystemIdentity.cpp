#include "platform/system/SystemIdentity.h"

#include <QFile>
#include <QHash>
#include <QList>
#include <QSysInfo>

namespace {

// One value of an os-release line: shell-like quoting with single or double quotes and
// backslash escapes inside double quotes.
QString unquote(QByteArray value) {
    value = value.trimmed();
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        const char quote = value.front();
        value = value.mid(1, value.size() - 2);
        if (quote == '"') {
            QByteArray out;
            for (qsizetype i = 0; i < value.size(); ++i) {
                if (value[i] == '\\' && i + 1 < value.size()) ++i;
                out.append(value[i]);
            }
            value = out;
        }
    }
    return QString::fromUtf8(value).simplified();
}

} // namespace

QString SystemIdentity::versionTextFromOsRelease(const QByteArray &contents) {
    QHash<QByteArray, QString> values;
    for (const QByteArray &line : contents.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith('#')) continue;
        const qsizetype eq = trimmed.indexOf('=');
        if (eq <= 0) continue;
        values.insert(trimmed.left(eq), unquote(trimmed.mid(eq + 1)));
    }
    QString name = values.value("NAME");
    if (name.isEmpty()) name = QStringLiteral("Linux");
    const QString version = values.value("VERSION_ID");
    QString note = values.value("VERSION_CODENAME");
    if (note.isEmpty()) note = QStringLiteral("Linux");
    if (version.isEmpty()) return name;
    return name + QLatin1Char(' ') + version + QStringLiteral(" (") + note + QLatin1Char(')');
}

QString SystemIdentity::versionText() {
    for (const char *path : {"/etc/os-release", "/usr/lib/os-release"}) {
        QFile file(QString::fromLatin1(path));
        // os-release is a few hundred bytes; a bound keeps an odd file from costing memory.
        if (file.open(QIODevice::ReadOnly)) return versionTextFromOsRelease(file.read(64 * 1024));
    }
    return QStringLiteral("Linux");
}

QString SystemIdentity::shortHostName() {
    QString host = QSysInfo::machineHostName();
    const qsizetype dot = host.indexOf(QLatin1Char('.'));
    if (dot >= 0) host.truncate(dot);
    host = host.trimmed();
    return host.isEmpty() ? QStringLiteral("localhost") : host;
}
