#pragma once

#include <QLineEdit>
#include <QList>
#include <QPointer>
#include <QVariantList>

#include <cstdint>

class Defaults;
class QAction;
class QFrame;

// The field of the settings window in which the user records the global hot key. It shows the
// setting "hotKey" as modifier symbols and a key name (⌃⇧S). While it has the focus it records:
// every key press is swallowed (Tab and Escape too); an accepted combination is shown, the focus
// leaves the field, and the combination is kept to be stored at the next stop: when the field
// loses the focus again, is disabled, its window is hidden or it is destroyed. A combination
// that another program holds, or that one of the application's menus uses, shows a warning
// beside the field but stays recorded.
class HotKeyField : public QLineEdit {
    Q_OBJECT
public:
    explicit HotKeyField(QWidget *parent = nullptr);
    ~HotKeyField() override;

    // Shows and records the setting `key` of `defaults` (the standard settings when null).
    void bind(const QString &key, Defaults *defaults = nullptr);

    // Whether a combination may be a hot key: F1 to F20 with anything; otherwise it needs
    // modifiers, and with neither Control nor Command only Option with Space or Escape.
    static bool validate(std::uint32_t flags, int keyCode);
    // Whether a menu (and its submenus) has an item with this combination as its shortcut.
    static bool validateInMenu(const QList<QAction *> &menu, std::uint32_t flags, int keyCode);
    // Symbols of the four modifiers, in the order ⌃ ⌥ ⇧ ⌘.
    static QString modifiers(std::uint32_t flags);
    // The name of a key, or an empty string when it has none.
    static QString keyCodeString(int keyCode);
    // Modifiers and upper-case key name, or an empty string when the key has no name.
    static QString getRepresentation(std::uint32_t flags, int keyCode);

    // The last recorded combination in the stored form, empty until one is recorded.
    QVariantList defaultsValues() const { return m_defaultsValues; }
    bool recording() const { return m_recording; }
    bool warningShown() const;
    // The menus checked for conflicts; by default those of the application's main windows.
    void setMenus(const QList<QAction *> &menus) {
        m_menus = menus;
        m_menusSet = true;
    }

    // Writes the recorded combination to the setting and stops recording.
    void stopKeyMonitoringAndSaveToBinding();
    // A value from the setting: shown while nothing has been recorded.
    void setObjectValue(const QVariant &value);

    static QString warningText();

protected:
    bool event(QEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void keyDownMonitored(class QKeyEvent *event);
    void showToolTip();
    void placeToolTip();
    void closeToolTip();
    QList<QAction *> menus() const;
    void watchWindow();
    void watchWorker();

    Defaults *m_defaults = nullptr;
    QString m_key;
    QVariantList m_defaultsValues;
    bool m_recording = false;
    QPointer<QFrame> m_popover;
    QPointer<QWidget> m_watchedWindow;
    QList<QAction *> m_menus;
    bool m_menusSet = false;
    QPointer<QObject> m_watchedWorker;
};
