#pragma once

#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantMap>

// The settings store. Registered values live in memory only and are never written; the user's
// own values are kept in a JSON file so that lists of dictionaries (such as "broadcasts") keep
// their shape. Every change of a key's effective value emits changed(key).
class Defaults : public QObject {
    Q_OBJECT
public:
    // The process-wide settings, stored in $XDG_CONFIG_HOME/Murnavell/settings.json.
    static Defaults &standard();
    static QString standardPath();

    // A store over an explicit file (tests, tools). The file is read now; a missing file is an
    // empty set of user values, an unreadable or malformed one is kept aside and not overwritten
    // until a value is set.
    explicit Defaults(QString filePath, QObject *parent = nullptr);

    // Values used when the user has set nothing; registering again replaces earlier ones.
    void registerDefaults(const QVariantMap &values);

    QVariant value(const QString &key) const;
    bool contains(const QString &key) const;
    bool boolForKey(const QString &key) const;
    qint64 integerForKey(const QString &key) const;
    QString stringForKey(const QString &key) const;
    QVariantList arrayForKey(const QString &key) const;

    // Stores the user's value and writes the file at once (atomically); an invalid QVariant
    // removes the user's value so the registered one shows again.
    void setValue(const QString &key, const QVariant &value);
    void removeObject(const QString &key) { setValue(key, QVariant()); }

    // False when the last write of the file failed (the value is still in effect for the run).
    bool lastWriteSucceeded() const { return m_lastWriteOk; }
    QString filePath() const { return m_filePath; }

signals:
    void changed(const QString &key);

private:
    void load();
    bool write();

    QString m_filePath;
    QVariantMap m_registered;
    QVariantMap m_user;
    bool m_lastWriteOk = true;
};
