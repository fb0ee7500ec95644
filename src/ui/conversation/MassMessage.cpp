#include "ui/conversation/MassMessage.h"

#include "core/model/Me.h"
#include "core/model/User.h"
#include "core/net/UserList.h"
#include "platform/notify/NotificationCenter.h"
#include "ui/conversation/TextViewForSending.h"
#include "ui/main/CheckBoxSubClass.h"
#include "ui/main/SelectionTree.h"
#include "ui_MassMessage.h"

#include <QCloseEvent>
#include <QMainWindow>
#include <QPushButton>
#include <QToolButton>

namespace {

QList<MassMessage *> &registry() {
    static QList<MassMessage *> open;
    return open;
}

} // namespace

MassMessage::MassMessage(const QList<TreeItem *> &selection) : m_ui(std::make_unique<Ui::MassMessage>()) {
    registry().append(this);
    const Me *local = Me::current();
    for (TreeItem *item : selection)
        if (item && item != local) m_selection.insert(item);

    auto *window = new QMainWindow;
    m_ui->setupUi(window);
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    window->installEventFilter(this);
    windowDidLoad(window, m_ui->horisontalSplit);
    m_ui->horisontalSplit->setStretchFactor(0, 1);
    m_ui->horisontalSplit->setStretchFactor(1, 0);

    // Groups among the chosen items turn into their shown users here.
    m_tree = new SelectionTree(m_ui->outlineView, &m_selection, this, std::nullopt, this);

    TextViewForSending *compose = m_ui->messageTextView;
    compose->setRecipients([this] { return selectedUsers(); }, [] { return static_cast<Chat *>(nullptr); },
                           true);
    compose->setFont(textFont());
    connect(compose, &TextViewForSending::messageSent, this, [this] {
        if (m_window) m_window->close();
    });
    m_ui->sendButton->setIcon(QIcon::fromTheme(QStringLiteral("mail-send")));
    connect(m_ui->sendButton, &QPushButton::clicked, compose, [compose] {
        compose->sendMessage();
        compose->setFocus();
    });
    connect(m_ui->actionSelectEveryone, &QAction::triggered, this,
            [this] { selectEveryone(SelectEveryoneTag); });
    connect(m_ui->actionSelectOnline, &QAction::triggered, this, [this] { selectEveryone(SelectOnlineTag); });
    connect(m_ui->actionSelectNobody, &QAction::triggered, this, [this] { selectEveryone(SelectNobodyTag); });
    connect(m_ui->actionCloseWindow, &QAction::triggered, window, &QWidget::close);
    m_ui->selectEveryoneButton->setDefaultAction(m_ui->actionSelectEveryone);
    m_ui->selectOnlineButton->setDefaultAction(m_ui->actionSelectOnline);
    m_ui->selectNobodyButton->setDefaultAction(m_ui->actionSelectNobody);
}

MassMessage::~MassMessage() {
    registry().removeAll(this);
    // The boxes read the selection: they go before it, and the window with them.
    delete m_tree;
    delete m_window.data();
}

QList<MassMessage *> MassMessage::all() { return registry(); }

MassMessage *MassMessage::openMassMessage(const QList<TreeItem *> &selectedRows, int tag) {
    auto *composer = new MassMessage(selectedRows);
    if (selectedRows.isEmpty()) composer->selectEveryone(tag);
    composer->showWindow();
    return composer;
}

TextViewForSending *MassMessage::messageTextView() const { return m_ui->messageTextView; }

void MassMessage::showWindow() {
    if (!m_window) return;
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
    m_ui->messageTextView->setFocus();
}

void MassMessage::selectEveryone(int tag) {
    m_selection.clear();
    UserList *roster = UserList::shared();
    if (tag != SelectNobodyTag && roster) {
        const Me *local = Me::current();
        for (User *user : roster->allUsersWithoutOffline(tag == SelectOnlineTag, true))
            if (user != local && !user->removed()) m_selection.insert(user);
    }
    NotificationCenter::defaultCenter().post(QStringLiteral("selectionUpdated"), this);
}

QList<User *> MassMessage::selectedUsers() const {
    QList<User *> users;
    for (TreeItem *item : m_selection)
        if (auto *user = dynamic_cast<User *>(item); user && !user->isDeleted()) users.append(user);
    return users;
}

bool MassMessage::eventFilter(QObject *watched, QEvent *event) {
    if (watched == m_window && event->type() == QEvent::Close) windowWillClose();
    return MessageWindowController::eventFilter(watched, event);
}

void MassMessage::windowWillClose() {
    if (m_closed) return;
    m_closed = true;
    // The window goes with the controller, once the close has run its course.
    deleteLater();
}
