#pragma once

#include <QObject>
#include <QString>

#include <functional>

// The global hot key's worker, as the main interface file makes it: the settings keys it
// follows and the action it runs. Grabbing the key from the X server comes with the settings
// window's hot-key work; until then the action runs only through trigger().
class HotKeyWorker : public QObject {
    Q_OBJECT
public:
    explicit HotKeyWorker(QObject *parent = nullptr);

    QString enabledDefaultsKeyPath() const { return m_enabledKey; }
    void setEnabledDefaultsKeyPath(const QString &key) { m_enabledKey = key; }
    QString hotKeyDefaultsKeyPath() const { return m_hotKeyKey; }
    void setHotKeyDefaultsKeyPath(const QString &key) { m_hotKeyKey = key; }

    void setAction(std::function<void()> action) { m_action = std::move(action); }
    bool hasAction() const { return bool(m_action); }
    // The key was pressed: runs the action.
    void trigger();

private:
    QString m_enabledKey;
    QString m_hotKeyKey;
    std::function<void()> m_action;
};
