#include "platform/defaults/Defaults.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

namespace {
// The user's settings file is small; anything far larger is not ours and is not parsed.
constexpr qint64 kMaxSettingsFileSize = 16 * 1024 * 1024;
} // namespace

Defaults &Defaults::standard() {
    static Defaults *instance = new Defaults(standardPath());
    return *instance;
}

QString Defaults::standardPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Murnavell/settings.json");
}

Defaults::Defaults(QString filePath, QObject *parent) : QObject(parent), m_filePath(std::move(filePath)) {
    load();
}

void Defaults::load() {
    QFile file(m_filePath);
    if (!file.exists()) return;
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxSettingsFileSize) {
        qWarning("Defaults: cannot read %s", qPrintable(m_filePath));
        return;
    }
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        // Keep the damaged file for the user instead of silently replacing it on the next write.
        qWarning("Defaults: %s is not a settings file, moved aside", qPrintable(m_filePath));
        file.close();
        QFile::remove(m_filePath + QStringLiteral(".damaged"));
        QFile::rename(m_filePath, m_filePath + QStringLiteral(".damaged"));
        return;
    }
    m_user = doc.object().toVariantMap();
}

bool Defaults::write() {
    QDir().mkpath(QFileInfo(m_filePath).absolutePath());
    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly)) return false;
    file.write(QJsonDocument(QJsonObject::fromVariantMap(m_user)).toJson(QJsonDocument::Indented));
    return file.commit();
}

void Defaults::registerDefaults(const QVariantMap &values) {
    for (auto it = values.begin(); it != values.end(); ++it) {
        const QVariant before = value(it.key());
        m_registered.insert(it.key(), it.value());
        if (!m_user.contains(it.key()) && before != it.value()) emit changed(it.key());
    }
}

QVariant Defaults::value(const QString &key) const {
    auto it = m_user.constFind(key);
    if (it != m_user.constEnd()) return *it;
    return m_registered.value(key);
}

bool Defaults::contains(const QString &key) const {
    return m_user.contains(key) || m_registered.contains(key);
}

bool Defaults::boolForKey(const QString &key) const {
    const QVariant v = value(key);
    if (v.typeId() == QMetaType::QString) {
        const QString s = v.toString().trimmed().toLower();
        return s == QLatin1String("yes") || s == QLatin1String("true") || s.toLongLong() != 0;
    }
    return v.toBool();
}

qint64 Defaults::integerForKey(const QString &key) const {
    bool ok = false;
    const qint64 n = value(key).toLongLong(&ok);
    if (ok) return n;
    // JSON keeps numbers as doubles.
    return static_cast<qint64>(value(key).toDouble());
}

QString Defaults::stringForKey(const QString &key) const {
    const QVariant v = value(key);
    return v.canConvert<QString>() ? v.toString() : QString();
}

QVariantList Defaults::arrayForKey(const QString &key) const {
    const QVariant v = value(key);
    return v.typeId() == QMetaType::QVariantList ? v.toList() : QVariantList();
}

void Defaults::setValue(const QString &key, const QVariant &newValue) {
    const QVariant before = value(key);
    if (newValue.isValid()) {
        // Store what the file will give back, so the value read now equals the value after a restart.
        m_user.insert(key, QJsonValue::fromVariant(newValue).toVariant());
    } else {
        m_user.remove(key);
    }
    m_lastWriteOk = write();
    if (!m_lastWriteOk) qWarning("Defaults: cannot write %s", qPrintable(m_filePath));
    if (value(key) != before) emit changed(key);
}
