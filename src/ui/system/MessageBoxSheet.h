#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QCheckBox;
#include <QMessageBox>
class QWidget;

// A yes-or-no question of a numbered kind, asked as a window-modal sheet with a "do not ask
// again" box whose answer is stored per kind in the settings. Once a kind is suppressed, later
// requests run their success action at once and show nothing.
//
// The sheet owns itself: it lives from the request until its alert ends, then deletes itself.
class MessageBoxSheet : public QObject {
    Q_OBJECT
public:
    // The kinds: leave a chat with a call (0) or without (1), remove a user (2), delete a group
    // (3), how to send files (4), leave a call (5), the audio warning of the call window (6).
    static constexpr int KindCount = 7;
    // The code of the first (success) button.
    static constexpr int FirstButtonReturn = 1000;

    struct Kind {
        const char *suppressionKey;
        const char *message;
        const char *informative; // null for none
        const char *success;     // null: the alert's single default button
        const char *other;       // null: no second button
    };
    // The kind's row; any kind outside 1..6 is kind 0.
    static const Kind &kind(int kind);
    static QString suppressionKey(int kind) {
        return QString::fromLatin1(MessageBoxSheet::kind(kind).suppressionKey);
    }

    // Asks as a sheet on the window (application-modal without one). `actionOnFail`, the close
    // action, runs after every end of the sheet, after the success action when that ran. A
    // suppressed kind runs `onSuccess` at once and returns null; the close action does not run then.
    static MessageBoxSheet *requestConfirmation(int kind, QWidget *window, std::function<void()> onSuccess,
                                                std::function<void()> actionOnFail = {});

    QMessageBox *alert() const { return m_alert; }
    QCheckBox *suppressionButton() const;
    int kindNumber() const { return m_kind; }

    // The end of the sheet with the code of the pressed button (1000 first, 1001 second).
    void alertDidEnd(int returnCode);

    // Every sheet asking now, oldest first (tests and the keyboard shortcut of a window).
    static QList<MessageBoxSheet *> openSheets();

private:
    MessageBoxSheet(int kind, QWidget *window, std::function<void()> onSuccess,
                    std::function<void()> actionOnFail);
    ~MessageBoxSheet() override;

    int m_kind;
    QString m_confirmationName;
    std::function<void()> m_dBlock;
    std::function<void()> m_actionOnFail;
    QPointer<QMessageBox> m_alert;
    bool m_ended = false;
};
