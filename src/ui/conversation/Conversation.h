#pragma once

#include "core/model/Chat.h"
#include "core/model/LogEntry.h"
#include "core/model/User.h"
#include "platform/notify/NotificationCenter.h"
#include "platform/runloop/Timer.h"
#include "ui/conversation/MessageWindowController.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QTextBlockFormat>
#include <QTextCharFormat>

#include <memory>

class ManagedObject;
class QLabel;
class QMimeData;
class TextViewForReading;
class TextViewForSending;

namespace Ui {
class Conversation;
} // namespace Ui

// The window of one conversation: with one user (a one-to-one window) or with the members of a
// chat room (a chat window). It shows the stored history of the user or room as styled text with
// the other side's status and typing notice, and lets the user write, send files, invite, call,
// and open the history, the settings and the user's information. A one-to-one window becomes a
// chat window when users are added, and turns back when the last member leaves.
//
// Ownership: the controller owns its window and deletes itself (deleteLater) when the window
// closes. A user's or chat's conversationWindow only points at it; it is cleared on close, and a
// window whose user or chat is deleted from the store closes first.
class Conversation : public MessageWindowController {
    Q_OBJECT
public:
    // The kinds of lines of the log view.
    enum LineType { MessageBody = 0, StatusLine = 1, SystemLine = 2, Header = 3, ErrorLine = 4 };
    // How many of the newest entries a window opened by hand shows (one more for an incoming one).
    static constexpr int RecentEntries = 20;
    // The typing notice is dropped this long after the last notice.
    static constexpr double TypingSeconds = 3.0;
    // The shortest re-arm of the typing timer.
    static constexpr double MinimumTypingDelay = 0.05;

    // Opens a window for the users (one: a one-to-one window; several: a new room is made for
    // them) or for a given chat. An incoming window shows one entry more, and is minimized at once
    // with "minimizeMessages" 1; showing it otherwise is up to the incoming-line rules.
    Conversation(const QList<User *> &users, Chat *chat, bool incoming);
    ~Conversation() override;

    static Conversation *fromWindowObject(QObject *object) { return qobject_cast<Conversation *>(object); }
    // Every controller alive, in the order they were made.
    static const QList<Conversation *> &all();

    // Members: for a chat window the room's present members, else the one user.
    QList<User *> users() const;
    Chat *chat() const { return m_chat; }
    User *user() const { return m_user; }
    bool canInvite() const { return m_canInvite; }
    bool canCall() const { return m_canCall; }
    TextViewForReading *conversationTextView() const;
    TextViewForSending *messageTextView() const;
    QLabel *typingLabel() const;
    Timer *typingTimer() const { return m_typingTimer; }
    // The plain text of the log view.
    QString logText() const;

    // Adds members; a one-to-one window becomes a chat window (in the room of the number when
    // one is given). Returns the window's room.
    Chat *usersJoined(const QList<User *> &users, const QString &roomId);
    // A member leaves; the last member leaving makes this that user's one-to-one window.
    void userLeft(User *user);
    // Appends the entries of the history newer than the last one shown.
    void updateLog();
    // The window's close button: a one-to-one window closes at once, a chat window asks first.
    void requestClose();
    // Closes the window and leaves the room.
    void windowClose();
    bool closed() const { return m_closed; }

    // Actions.
    void clearConversation();
    void userClicked(User *member);
    void openSettings();
    void openHistory();
    void getUserInfo();
    void sendFiles();
    void InviteButton();
    void OpenCall();
    void toggleMembers();
    // The open panel as a sheet on the window; the chosen files go to the user.
    static void showFileTransferPanel(QWidget *window, User *user);

    // The typing label's timer fired (or, with null, a new line arrived).
    void hideTyping(Timer *timer);
    // Dropped files: accepted only in a one-to-one window whose user is online.
    bool acceptsDrop(const QMimeData *data) const;
    bool dropFiles(const QMimeData *data);

    // Shows the window in front of the others without taking the focus.
    void floatAbove();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void fontSizeChanged() override;

private:
    struct Watch {
        QMetaObject::Connection attributes;
        NotificationCenter::Token log = 0;
        bool full = false;
    };

    ManagedObject *logSource() const;
    void subscribe(User *user, bool inFull);
    void unsubscribe(User *user);
    void observeChatLog(bool on);
    void userAttributeChanged(User *user, const QString &key, const QVariant &oldValue);
    void objectDeleted(ManagedObject *object);

    void addText(const QString &text, LineType type, const QDateTime &time = QDateTime());
    void appendEntry(LogEntry *entry);
    void updateParagraphs();
    void updateTitle();
    void updateUserStatus();
    void updateCanInvite();
    void updateMembers();
    void updateAutosaveName();
    void storeSystemLine(const QString &text, bool error);
    static LogEntry *newestEntry(ManagedObject *source);

    std::unique_ptr<Ui::Conversation> m_ui;
    QList<QPointer<User>> m_users; // a one-to-one window's user; a chat window's come from the room
    QPointer<Chat> m_chat;
    QPointer<User> m_user;
    QHash<User *, Watch> m_watched;
    NotificationCenter::Token m_chatLog = 0;
    // The newest entry shown (or passed over); entries newer than it are appended.
    QPointer<LogEntry> m_lastShown;
    int m_lastLineIsStatusAndItPos = -1;
    QPointer<Timer> m_typingTimer;
    QTextBlockFormat m_headerParagraph;
    QTextBlockFormat m_bodyParagraph;
    QTextCharFormat m_attributesGray;
    QTextCharFormat m_attributesRed;
    QTextCharFormat m_attributesBlack;
    bool m_canInvite = false;
    bool m_canCall = false;
    bool m_closed = false;
    QString m_autosaveName;
};
