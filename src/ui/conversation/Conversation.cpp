#include "ui/conversation/Conversation.h"

#include "core/app/AppContext.h"
#include "core/app/AppInterface.h"
#include "core/model/Chat.h"
#include "core/model/LogQuery.h"
#include "core/model/Me.h"
#include "core/model/Message.h"
#include "core/model/SystemMessage.h"
#include "core/model/User.h"
#include "platform/defaults/Defaults.h"
#include "platform/runloop/Timer.h"
#include "platform/store/Clock.h"
#include "platform/store/ManagedObjectContext.h"
#include "platform/strings/Strings.h"
#include "transfer/FileTransfer.h"
#include "ui/controls/DateFormatter.h"
#include "ui/conversation/ConversationServices.h"
#include "ui/conversation/TextViewForReading.h"
#include "ui/conversation/TextViewForSending.h"
#include "ui/history/DockIcon.h"
#include "ui/main/MainInterface.h"
#include "ui/system/MessageBoxSheet.h"
#include "ui_Conversation.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMimeData>
#include <QPalette>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QUrl>

namespace {

QString text(const char *english) { return Strings::localized(QString::fromUtf8(english)); }

QString frameKey(const QString &name) { return QStringLiteral("NSWindow Frame ") + name; }

QStringList localFiles(const QMimeData *data) {
    QStringList paths;
    if (!data || !data->hasUrls()) return paths;
    for (const QUrl &url : data->urls())
        if (url.isLocalFile()) paths.append(url.toLocalFile());
    return paths;
}

// Error lines in a red that reads on light and dark backgrounds alike.
QColor errorColor() {
    const QColor base = QGuiApplication::palette().color(QPalette::Base);
    return base.lightness() < 128 ? QColor(0xFF, 0x6B, 0x6B) : QColor(0xC0, 0x1C, 0x28);
}

QList<Conversation *> &registry() {
    static QList<Conversation *> conversations;
    return conversations;
}

} // namespace

const QList<Conversation *> &Conversation::all() { return registry(); }

Conversation::Conversation(const QList<User *> &users, Chat *chat, bool incoming)
    : m_ui(std::make_unique<Ui::Conversation>()) {
    registry().append(this);
    // 1. The form; the members.
    auto *window = new QMainWindow;
    m_ui->setupUi(window);
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    window->setAcceptDrops(true);
    window->installEventFilter(this);
    windowDidLoad(window, m_ui->horisontalSplit);

    Me *me = Me::current();
    for (User *u : users)
        if (u && !m_users.contains(u)) m_users.append(u);
    // 2.
    if (chat) {
        m_chat = chat;
        m_user = chat->currentUsers().value(0);
    } else if (m_users.size() >= 2) {
        QList<User *> members;
        for (User *u : m_users)
            if (u != me) members.append(u);
        m_chat = Chat::createWithUsers(members);
        if (m_chat) m_chat->setConversationWindow(this);
        m_user = members.value(0);
    } else {
        m_user = m_users.value(0);
    }

    // The views.
    TextViewForSending *compose = m_ui->messageTextView;
    compose->setRecipients([this] { return this->users(); }, [this] { return m_chat.data(); }, false);
    m_ui->TypingLabel->setVisible(false);
    QPalette typingPalette = m_ui->TypingLabel->palette();
    typingPalette.setColor(QPalette::WindowText, typingPalette.color(QPalette::PlaceholderText));
    m_ui->TypingLabel->setPalette(typingPalette);
    m_ui->verticalSplit->setStretchFactor(0, 4);
    m_ui->verticalSplit->setStretchFactor(1, 1);
    m_ui->horisontalSplit->setStretchFactor(0, 1);
    m_ui->horisontalSplit->setStretchFactor(1, 0);
    m_ui->sendFilesButton->setIcon(QIcon::fromTheme(QStringLiteral("document-send"),
                                                    QIcon::fromTheme(QStringLiteral("mail-attachment"))));
    m_ui->inviteButton->setIcon(
        QIcon::fromTheme(QStringLiteral("contact-new"), QIcon::fromTheme(QStringLiteral("list-add"))));
    m_ui->callButton->setIcon(QIcon::fromTheme(QStringLiteral("call-start")));
    m_ui->sendButton->setIcon(QIcon::fromTheme(QStringLiteral("mail-send")));
    connect(m_ui->sendButton, &QPushButton::clicked, compose, [compose] {
        compose->sendMessage();
        compose->setFocus();
    });
    connect(m_ui->sendFilesButton, &QToolButton::clicked, this, &Conversation::sendFiles);
    connect(m_ui->inviteButton, &QToolButton::clicked, this, &Conversation::InviteButton);
    connect(m_ui->callButton, &QToolButton::clicked, this, &Conversation::OpenCall);
    connect(m_ui->actionSendFiles, &QAction::triggered, this, &Conversation::sendFiles);
    connect(m_ui->actionInvite, &QAction::triggered, this, &Conversation::InviteButton);
    connect(m_ui->actionCall, &QAction::triggered, this, &Conversation::OpenCall);
    connect(m_ui->actionUserInfo, &QAction::triggered, this, &Conversation::getUserInfo);
    connect(m_ui->actionHistory, &QAction::triggered, this, &Conversation::openHistory);
    connect(m_ui->actionClear, &QAction::triggered, this, &Conversation::clearConversation);
    connect(m_ui->actionMembers, &QAction::triggered, this, &Conversation::toggleMembers);
    connect(m_ui->actionSettings, &QAction::triggered, this, &Conversation::openSettings);
    connect(m_ui->actionCloseWindow, &QAction::triggered, this, &Conversation::requestClose);
    connect(m_ui->membersTable, &QListWidget::itemActivated, this, [this](QListWidgetItem *item) {
        const QList<User *> members = this->users();
        userClicked(members.value(item->data(Qt::UserRole).toInt()));
    });
    ConversationServices *services = ConversationServices::current();
    m_ui->actionUserInfo->setVisible(services->canShowUserInfo());
    m_ui->actionHistory->setVisible(services->canOpenHistory());
    m_ui->actionSettings->setVisible(services->canShowSettings());

    // A window never points at a deleted user or room: it closes (or loses the member) first.
    if (ManagedObjectContext *context = appManagedObjectContext())
        connect(context, &ManagedObjectContext::objectDeleted, this, &Conversation::objectDeleted);

    // 3. Window loaded: the pane, the frame, the observers, the text.
    if (this->users().size() < 2) toggleRightPane(true);
    m_ui->actionMembers->setChecked(!rightPaneHidden());
    updateAutosaveName();
    if (!m_autosaveName.isEmpty())
        window->restoreGeometry(
            QByteArray::fromBase64(Defaults::standard().stringForKey(frameKey(m_autosaveName)).toLatin1()));
    for (User *u : this->users()) subscribe(u, !m_chat);
    if (m_chat) observeChatLog(true);
    fontSizeChanged();
    updateTitle();
    updateCanInvite();
    updateMembers();

    // 4. What the log shows: the newest entries of a user's history, a whole room.
    if (!chat) {
        int shown = Defaults::standard().boolForKey(QStringLiteral("displayRecent")) ? RecentEntries : 0;
        if (incoming) ++shown;
        const QList<LogEntry *> newest = LogQuery::newest(logSource(), shown + 1);
        m_lastShown = newest.size() > shown ? newest.at(shown) : nullptr;
    }
    updateLog();
    if (!m_chat) updateUserStatus();

    // 5. Showing.
    if (incoming) {
        if (Defaults::standard().integerForKey(QStringLiteral("minimizeMessages")) == 1)
            window->showMinimized();
    } else {
        window->show();
        window->raise();
        window->activateWindow();
    }
    compose->setFocus();
}

Conversation::~Conversation() {
    registry().removeAll(this);
    for (auto it = m_watched.begin(); it != m_watched.end(); ++it) {
        disconnect(it->attributes);
        if (it->log) NotificationCenter::defaultCenter().removeObserver(it->log);
    }
    if (m_chatLog) NotificationCenter::defaultCenter().removeObserver(m_chatLog);
    if (m_typingTimer) m_typingTimer->invalidate();
}

QList<User *> Conversation::users() const {
    if (m_chat) return m_chat->currentUsers();
    QList<User *> out;
    for (const QPointer<User> &u : m_users)
        if (u) out.append(u);
    return out;
}

TextViewForReading *Conversation::conversationTextView() const { return m_ui->conversationTextView; }
TextViewForSending *Conversation::messageTextView() const { return m_ui->messageTextView; }
QLabel *Conversation::typingLabel() const { return m_ui->TypingLabel; }
QString Conversation::logText() const { return m_ui->conversationTextView->toPlainText(); }

ManagedObject *Conversation::logSource() const {
    if (m_chat) return m_chat;
    return m_user;
}

LogEntry *Conversation::newestEntry(ManagedObject *source) { return LogQuery::newest(source, 1).value(0); }

// --- Observation ---

void Conversation::subscribe(User *user, bool inFull) {
    if (!user) return;
    unsubscribe(user);
    Watch watch;
    watch.full = inFull;
    watch.attributes = connect(user, &ManagedObject::attributeChanged, this,
                               [this, user](const QString &key, const QVariant &oldValue) {
                                   userAttributeChanged(user, key, oldValue);
                               });
    if (inFull)
        watch.log = NotificationCenter::defaultCenter().addObserver(
            QStringLiteral("logUpdated"), user, [this](const Notification &) { updateLog(); });
    m_watched.insert(user, watch);
}

void Conversation::unsubscribe(User *user) {
    auto it = m_watched.find(user);
    if (it == m_watched.end()) return;
    disconnect(it->attributes);
    if (it->log) NotificationCenter::defaultCenter().removeObserver(it->log);
    m_watched.erase(it);
}

void Conversation::observeChatLog(bool on) {
    if (m_chatLog) NotificationCenter::defaultCenter().removeObserver(m_chatLog);
    m_chatLog = 0;
    if (on && m_chat)
        m_chatLog = NotificationCenter::defaultCenter().addObserver(
            QStringLiteral("logUpdated"), m_chat.data(), [this](const Notification &) { updateLog(); });
}

void Conversation::userAttributeChanged(User *user, const QString &key, const QVariant &oldValue) {
    const auto it = m_watched.constFind(user);
    if (it == m_watched.cend() || m_closed) return;
    const bool full = it->full;
    if (key == QLatin1String("name")) {
        updateTitle();
        updateMembers();
        // Only a real change of a known name is news; a user's first name is not.
        const QString oldName = oldValue.toString();
        if (!oldName.isEmpty() && oldName != user->name()) {
            storeSystemLine(Strings::format(text("%@ has changed the name to %@."), {oldName, user->name()}),
                            false);
        }
    } else if (key == QLatin1String("typingReceived")) {
        if (!full) return;
        if (m_ui->TypingLabel->isHidden() && user->typingReceived().isValid()) {
            m_ui->TypingLabel->show();
            if (!m_typingTimer)
                m_typingTimer = Timer::scheduled(
                    TypingSeconds, false, [this](Timer *t) { hideTyping(t); }, this);
        }
    } else if (key == QLatin1String("status") || (full && key == QLatin1String("statusString"))) {
        if (m_chat && user->status() == QLatin1String("10") && oldValue.toString() != QLatin1String("10"))
            storeSystemLine(Strings::format(text("%@ is now offline and will not receive messages from this "
                                                 "conversation until after coming back online."),
                                            {user->name()}),
                            true);
        updateUserStatus();
        updateCanInvite();
        updateMembers();
        updateTitle();
    }
}

void Conversation::objectDeleted(ManagedObject *object) {
    if (m_closed || !object) return;
    if (object == m_chat.data()) {
        windowClose();
        return;
    }
    auto *deletedUser = dynamic_cast<User *>(object);
    if (!deletedUser || !users().contains(deletedUser)) return;
    if (!m_chat) {
        windowClose();
    } else {
        unsubscribe(deletedUser);
        QList<User *> members = m_chat->currentUsers();
        members.removeAll(deletedUser);
        m_chat->setCurrentUsers(members);
        if (members.isEmpty())
            windowClose();
        else {
            m_user = members.first();
            updateTitle();
            updateMembers();
        }
    }
}

void Conversation::storeSystemLine(const QString &line, bool error) {
    ManagedObject *source = logSource();
    if (!source) return;
    SystemMessage::addText(line, source, error);
    saveContextIfChanged();
    // The history viewer reads the line too; this window appends it through its own observer.
    NotificationCenter::defaultCenter().post(QStringLiteral("logUpdated"), source);
    updateLog();
}

// --- The log ---

void Conversation::updateParagraphs() {
    const int size = fontSize();
    m_headerParagraph = QTextBlockFormat();
    m_headerParagraph.setTopMargin(size / 6.0);
    m_bodyParagraph = m_headerParagraph;
    m_bodyParagraph.setTopMargin(0);
    m_bodyParagraph.setLeftMargin(size);
    const QPalette palette = QGuiApplication::palette();
    m_attributesGray = QTextCharFormat();
    m_attributesGray.setFont(textFont());
    m_attributesGray.setForeground(palette.color(QPalette::PlaceholderText));
    m_attributesRed = m_attributesGray;
    m_attributesRed.setForeground(errorColor());
    m_attributesBlack = QTextCharFormat();
    m_attributesBlack.setFont(textFont());
    m_attributesBlack.setForeground(palette.color(QPalette::Text));
    m_ui->conversationTextView->scrollToEnd();
}

void Conversation::fontSizeChanged() {
    updateParagraphs();
    QFont compose = m_ui->messageTextView->font();
    compose.setPixelSize(fontSize());
    m_ui->messageTextView->setFont(compose);
}

void Conversation::addText(const QString &line, LineType type, const QDateTime &time) {
    QTextDocument *document = m_ui->conversationTextView->document();
    QTextCursor cursor(document);
    cursor.beginEditBlock();
    // A new status line takes the place of the one that ends the text.
    if (type == StatusLine && m_lastLineIsStatusAndItPos >= 0) {
        cursor.setPosition(std::min(m_lastLineIsStatusAndItPos, document->characterCount() - 1));
        cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    cursor.movePosition(QTextCursor::End);
    const int start = cursor.position();
    const QTextBlockFormat &paragraph = type == MessageBody ? m_bodyParagraph : m_headerParagraph;
    const QTextCharFormat &format =
        type == MessageBody ? m_attributesBlack : (type == ErrorLine ? m_attributesRed : m_attributesGray);
    if (document->isEmpty())
        cursor.setBlockFormat(paragraph);
    else
        cursor.insertBlock(paragraph, format);
    QString shown = line;
    if (type == SystemLine || type == Header || type == ErrorLine)
        shown = DateFormatter::format(time, Defaults::standard().boolForKey(QStringLiteral("displayTime"))) +
                QStringLiteral(" - ") + line;
    // What peers write is plain text: inserted as it is, only its web and mail links made links.
    if (type == MessageBody)
        HyperlinkTextView2::insertWithLinks(cursor, shown, format);
    else
        cursor.insertText(shown, format);
    cursor.endEditBlock();
    m_lastLineIsStatusAndItPos = type == StatusLine ? start : -1;
    if (type == StatusLine || type == SystemLine || type == ErrorLine)
        m_ui->conversationTextView->scrollToEnd();
}

void Conversation::appendEntry(LogEntry *entry) {
    if (auto *message = dynamic_cast<Message *>(entry)) {
        QString sender;
        if (message->incoming()) {
            const User *from = message->user().value(0);
            sender = from ? from->name() : message->originalSenderName();
        } else if (const Me *me = Me::current()) {
            sender = me->name();
        }
        QString label;
        if (message->offline() && message->mass())
            label = text("Broadcast offline message");
        else if (message->offline())
            label = text("Offline message");
        else if (message->mass())
            label = text("Broadcast message");
        if (!label.isEmpty()) label = Strings::format(QStringLiteral(" (%@)"), {label});
        addText(Strings::format(QStringLiteral("%@%@:"), {sender, label}), Header, message->time());
        addText(message->message(), MessageBody);
    } else if (auto *transfer = dynamic_cast<FileTransfer *>(entry)) {
        QString sender;
        if (transfer->incoming()) {
            const User *from = transfer->user().value(0);
            sender = from ? from->name() : transfer->originalSenderName();
        } else if (const Me *me = Me::current()) {
            sender = me->name();
        }
        addText(sender, Header, transfer->time());
        QTextCursor cursor(m_ui->conversationTextView->document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertBlock(m_bodyParagraph, m_attributesBlack);
        ConversationServices::current()->insertTransfer(cursor, transfer, m_attributesBlack);
    } else if (auto *system = dynamic_cast<SystemMessage *>(entry)) {
        addText(system->text(), system->error() ? ErrorLine : SystemLine, system->time());
    }
}

void Conversation::updateLog() {
    if (m_closed) return;
    hideTyping(nullptr);
    ManagedObject *source = logSource();
    if (!source) return;
    // Only entries newer than the last one shown, in pages that grow while every entry read is
    // new: a window never reads or renders the history it already has.
    QList<LogEntry *> fresh;
    for (int page = 8;; page *= 4) {
        const QList<LogEntry *> newest = LogQuery::newest(source, page);
        fresh.clear();
        bool reachedShown = false;
        for (LogEntry *e : newest) {
            if (m_lastShown && !LogEntry::newerThan(e, m_lastShown)) {
                reachedShown = true;
                break;
            }
            fresh.append(e);
        }
        if (reachedShown || newest.size() < page) break;
    }
    if (fresh.isEmpty()) return;
    TextViewForReading *view = m_ui->conversationTextView;
    const bool follow = view->atEnd() || !view->isVisible();
    // One edit for the whole batch: the text is laid out once, not once per line.
    QTextCursor batch(view->document());
    batch.beginEditBlock();
    for (auto it = fresh.crbegin(); it != fresh.crend(); ++it) appendEntry(*it);
    batch.endEditBlock();
    m_lastShown = fresh.first();
    if (follow) view->scrollToEnd();
}

void Conversation::clearConversation() {
    m_lastLineIsStatusAndItPos = -1;
    m_lastShown = newestEntry(logSource());
    m_ui->conversationTextView->clear();
    updateLog();
    if (!m_chat) updateUserStatus();
}

// --- Status, typing, title ---

void Conversation::updateUserStatus() {
    if (m_chat || !m_user) return;
    const User *u = m_user;
    QString line;
    if (u->userOffline()) {
        line = Strings::format(text("%@ is offline. However, you can leave them a message."), {u->name()});
    } else {
        const QString status = u->status();
        const char *word = status == QLatin1String("0")   ? "is available"
                           : status == QLatin1String("1") ? "is busy"
                                                          : "is away";
        line = Strings::format(QStringLiteral("%@ %@"), {u->name(), text(word)});
        if (status != QLatin1String("0") && !u->statusString().isEmpty())
            line += Strings::format(QStringLiteral(" (%@)"), {u->statusString()});
    }
    addText(line, StatusLine);
}

void Conversation::hideTyping(Timer *timer) {
    User *typist = m_chat ? users().value(0) : m_user.data();
    if (!timer && typist) typist->setTypingReceived(QDateTime());
    const QDateTime received = typist ? typist->typingReceived() : QDateTime();
    const double age = received.isValid() ? received.msecsTo(Clock::now()) / 1000.0 : TypingSeconds;
    if (m_typingTimer && m_typingTimer != timer) m_typingTimer->invalidate();
    if (received.isValid() && age < TypingSeconds) {
        // Another look after as long as the notice is old, never sooner than a moment.
        m_typingTimer = Timer::scheduled(
            std::max(age, MinimumTypingDelay), false, [this](Timer *t) { hideTyping(t); }, this);
        return;
    }
    m_ui->TypingLabel->hide();
    if (m_typingTimer) {
        m_typingTimer->invalidate();
        m_typingTimer->deleteLater();
    }
    m_typingTimer = nullptr;
}

void Conversation::updateTitle() {
    const QString names = User::getUserNamesFromSet(users());
    if (m_window) {
        m_window->setWindowTitle(Strings::format(QStringLiteral("%@ - %@"), {names, text("Conversation")}));
        // What the window shows when minimized: the room, or the user with the status.
        m_window->setWindowIcon(
            QIcon(m_chat ? DockIcon::dockIcon(m_chat.data()) : DockIcon::dockIcon(m_user.data())));
    }
    if (!m_chat) m_ui->TypingLabel->setText(Strings::format(text("%@ is typing a message."), {names}));
}

void Conversation::updateCanInvite() {
    m_canInvite = m_chat ? true : (m_user && !m_user->userOffline());
    m_canCall = false;
    for (User *u : users())
        if (!u->userOffline() && u->canCall()) m_canCall = true;
    ConversationServices *services = ConversationServices::current();
    m_ui->inviteButton->setEnabled(m_canInvite);
    m_ui->actionInvite->setEnabled(m_canInvite);
    m_ui->callButton->setVisible(services->callsAvailable());
    m_ui->actionCall->setVisible(services->callsAvailable());
    m_ui->callButton->setEnabled(m_canCall);
    m_ui->actionCall->setEnabled(m_canCall);
    const bool filesPossible = !m_chat && m_user && !m_user->userOffline();
    m_ui->sendFilesButton->setEnabled(filesPossible);
    m_ui->actionSendFiles->setEnabled(filesPossible);
}

void Conversation::updateMembers() {
    QListWidget *table = m_ui->membersTable;
    table->setIconSize(QSize(12, 12));
    table->clear();
    const QList<User *> members = users();
    for (int i = 0; i < members.size(); ++i) {
        auto *item =
            new QListWidgetItem(MainInterface::statusIcon(members[i]->userOffline() ? QStringLiteral("10")
                                                                                    : members[i]->status()),
                                members[i]->name(), table);
        item->setData(Qt::UserRole, i);
    }
}

void Conversation::updateAutosaveName() {
    m_autosaveName = (users().size() < 2 && m_user) ? m_user->userId() : QString();
}

// --- Membership ---

Chat *Conversation::usersJoined(const QList<User *> &joining, const QString &roomId) {
    if (m_closed) return m_chat;
    Me *me = Me::current();
    QList<User *> members = users();
    QList<User *> added;
    for (User *u : joining)
        if (u && u != me && !members.contains(u) && !added.contains(u)) added.append(u);
    if (added.isEmpty()) return m_chat;

    const int oldCount = int(members.size());
    User *formerUser = m_chat ? nullptr : m_user.data();
    members.removeAll(me);
    members += added;
    for (User *u : added) subscribe(u, false);
    if (m_chat) {
        m_chat->setCurrentUsers(members);
    } else {
        m_chat = Chat::createWithUsers(members, roomId);
        if (!m_chat) return nullptr;
        m_chat->setConversationWindow(this);
        m_lastShown = nullptr;
        m_lastLineIsStatusAndItPos = -1;
    }
    updateAutosaveName();
    if (formerUser) {
        if (formerUser->conversationWindow() == this) formerUser->setConversationWindow(nullptr);
        subscribe(formerUser, false);
        hideTyping(nullptr);
        observeChatLog(true);
    }
    const QString names = User::getUserNamesFromSet(added);
    storeSystemLine(Strings::format(added.size() == 1 ? text("%@ has been added to the conversation.")
                                                      : text("%@ have been added to the conversation."),
                                    {names}),
                    false);
    if (oldCount <= 1 && users().size() >= 2 && rightPaneHidden()) {
        toggleRightPane(false);
        m_ui->actionMembers->setChecked(true);
    }
    updateTitle();
    updateCanInvite();
    updateMembers();
    updateLog();
    return m_chat;
}

void Conversation::userLeft(User *leaving) {
    if (m_closed || !leaving || !users().contains(leaving)) return;
    unsubscribe(leaving);
    QList<User *> members = users();
    if (members.size() > 1) {
        members.removeAll(leaving);
        if (m_chat) m_chat->setCurrentUsers(members);
        storeSystemLine(Strings::format(text("%@ has left the conversation."), {leaving->name()}), false);
        if (members.size() == 1) {
            m_user = members.first();
            updateAutosaveName();
            if (!rightPaneHidden()) toggleRightPane(false);
            m_ui->actionMembers->setChecked(false);
        }
    } else if (m_chat) {
        // The last member: this becomes that user's one-to-one window, showing only what comes next.
        if (!leaving->conversationWindow()) leaving->setConversationWindow(this);
        observeChatLog(false);
        Chat *room = m_chat;
        m_chat = nullptr;
        room->setConversationWindow(nullptr);
        room->leaveChat();
        m_users = {leaving};
        m_user = leaving;
        subscribe(leaving, true);
        m_lastShown = newestEntry(leaving);
        m_lastLineIsStatusAndItPos = -1;
        updateAutosaveName();
        updateUserStatus();
    }
    updateTitle();
    updateCanInvite();
    updateMembers();
    updateLog();
}

// --- Closing ---

void Conversation::requestClose() {
    if (m_closed) return;
    if (!m_chat) {
        windowClose();
        return;
    }
    const int kind = AppInterface::current()->isCallLive(nullptr, m_chat) ? 0 : 1;
    QPointer<Conversation> self(this);
    MessageBoxSheet::requestConfirmation(kind, m_window, [self] {
        if (self) self->windowClose();
    });
}

void Conversation::windowClose() {
    if (m_closed) return;
    m_closed = true;
    const QList<User *> watched = m_watched.keys();
    for (User *u : watched) unsubscribe(u);
    observeChatLog(false);
    if (m_typingTimer) m_typingTimer->invalidate();
    if (!m_autosaveName.isEmpty() && m_window)
        Defaults::standard().setValue(frameKey(m_autosaveName),
                                      QString::fromLatin1(m_window->saveGeometry().toBase64()));
    if (m_window) m_window->hide();
    if (Chat *room = m_chat) {
        room->leaveChat();
        if (room->conversationWindow() == this) room->setConversationWindow(nullptr);
        ConversationServices::current()->closeCallWithChat(room);
    } else if (m_user && m_user->conversationWindow() == this) {
        m_user->setConversationWindow(nullptr);
    }
    saveContextIfChanged();
    deleteLater();
}

// --- Actions ---

void Conversation::userClicked(User *member) {
    if (!member) return;
    QTextCursor cursor = m_ui->messageTextView->textCursor();
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(member->name() + QStringLiteral(": "));
    m_ui->messageTextView->setTextCursor(cursor);
    m_ui->messageTextView->setFocus();
}

void Conversation::openSettings() { ConversationServices::current()->showSettings(m_window); }

void Conversation::openHistory() { ConversationServices::current()->openHistory(logSource()); }

void Conversation::getUserInfo() {
    if (m_user) ConversationServices::current()->showUserInfo(m_user);
}

void Conversation::sendFiles() {
    if (m_chat || !m_user || m_user->userOffline()) return;
    QPointer<Conversation> self(this);
    MessageBoxSheet::requestConfirmation(4, m_window, [self] {
        if (self && self->m_user) showFileTransferPanel(self->m_window, self->m_user);
    });
}

void Conversation::showFileTransferPanel(QWidget *window, User *user) {
    auto *panel = new QFileDialog(window, text("Send Files"));
    panel->setObjectName(QStringLiteral("fileTransferPanel"));
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setFileMode(QFileDialog::ExistingFiles);
    panel->setOption(QFileDialog::DontUseNativeDialog,
                     QGuiApplication::platformName() != QLatin1String("xcb"));
    panel->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    QPointer<User> target(user);
    QObject::connect(panel, &QFileDialog::filesSelected, panel, [target](const QStringList &paths) {
        if (target && !target->isDeleted()) ConversationServices::current()->sendFiles(paths, target);
    });
    panel->open();
}

void Conversation::InviteButton() {
    if (!m_canInvite) return;
    QList<User *> excluded = users();
    if (Me *me = Me::current()) excluded.append(me);
    const bool hasCall = AppInterface::current()->isCallLive(m_user, m_chat);
    QPointer<Conversation> self(this);
    ConversationServices::current()->inviteUsers(
        m_window, excluded, hasCall, [self](const QList<User *> &chosen) {
            if (!self || self->m_closed || chosen.isEmpty()) return;
            Chat *callChat = self->m_chat;
            User *callUser = self->m_chat ? nullptr : self->m_user.data();
            const bool roomExisted = self->m_chat;
            Chat *room = self->usersJoined(chosen, QString());
            // A room made here has told its members already.
            if (room && roomExisted) room->informJoin();
            if (room) AppInterface::current()->conversationAddedUsers(callChat, callUser, chosen, room);
        });
}

void Conversation::OpenCall() {
    if (!m_canCall) return;
    ConversationServices::current()->openCall(m_chat ? nullptr : m_user.data(), m_chat);
}

void Conversation::toggleMembers() {
    toggleRightPane(false);
    m_ui->actionMembers->setChecked(!rightPaneHidden());
}

// --- Drops and window events ---

bool Conversation::acceptsDrop(const QMimeData *data) const {
    return !m_chat && m_user && !m_user->userOffline() && !localFiles(data).isEmpty();
}

bool Conversation::dropFiles(const QMimeData *data) {
    if (!acceptsDrop(data)) return false;
    return ConversationServices::current()->sendFiles(localFiles(data), m_user);
}

void Conversation::floatAbove() {
    if (!m_window || m_window->isActiveWindow()) return;
    // In front of the other windows without taking the focus from the one being typed in. A
    // stays-on-top flag would do more, but changing window flags re-creates the native window,
    // which loses the focus the moment the user clicks it.
    const bool kept = m_window->testAttribute(Qt::WA_ShowWithoutActivating);
    m_window->setAttribute(Qt::WA_ShowWithoutActivating, true);
    m_window->show();
    m_window->raise();
    m_window->setAttribute(Qt::WA_ShowWithoutActivating, kept);
}

bool Conversation::eventFilter(QObject *watched, QEvent *event) {
    if (watched != m_window) return MessageWindowController::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::Close:
        if (!m_closed) {
            event->ignore();
            requestClose();
            return true;
        }
        break;
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto *drag = static_cast<QDragMoveEvent *>(event);
        if (acceptsDrop(drag->mimeData())) {
            drag->setDropAction(Qt::CopyAction);
            drag->accept();
        } else {
            drag->ignore();
        }
        return true;
    }
    case QEvent::Drop: {
        auto *drop = static_cast<QDropEvent *>(event);
        if (dropFiles(drop->mimeData())) {
            drop->setDropAction(Qt::CopyAction);
            drop->accept();
        } else {
            drop->ignore();
        }
        return true;
    }
    default:
        break;
    }
    return MessageWindowController::eventFilter(watched, event);
}
