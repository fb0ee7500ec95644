#include "ui/conversation/Invite.h"

#include "core/model/User.h"
#include "ui/main/SelectionTree.h"
#include "ui_Invite.h"

#include <QDialog>
#include <QPointer>
#include <QPushButton>

Invite *Invite::returnInvited(const QList<User *> &excluding, QWidget *forWindow, bool conversationHasCall,
                              ActionOnClose actionOnClose) {
    auto *invite = new Invite(excluding, forWindow, conversationHasCall, std::move(actionOnClose));
    invite->m_window->open();
    return invite;
}

Invite::Invite(const QList<User *> &excluding, QWidget *forWindow, bool conversationHasCall,
               ActionOnClose action)
    : m_ui(std::make_unique<Ui::Invite>()), m_actionOnClose(std::move(action)),
      m_conversationHasCall(conversationHasCall) {
    m_window = new QDialog(forWindow);
    m_ui->setupUi(m_window);
    setParent(m_window);
    m_window->setAttribute(Qt::WA_DeleteOnClose);
    m_window->setWindowModality(forWindow ? Qt::WindowModal : Qt::ApplicationModal);
    m_ui->callLabel->setVisible(m_conversationHasCall);
    m_tree = new SelectionTree(m_ui->outlineView, &m_selection, this, excluding, this);
    connect(m_ui->AddButton, &QPushButton::clicked, this, &Invite::AddButton);
    connect(m_ui->CloseButton, &QPushButton::clicked, this, &Invite::CloseButton);
    // Escape and the window's close button are Close.
    connect(m_window, &QDialog::rejected, this, [this] { finish(false); });
}

Invite::~Invite() = default;

QList<User *> Invite::selectedUsers() const {
    QList<User *> users;
    for (TreeItem *item : m_selection)
        if (auto *user = dynamic_cast<User *>(item); user && !user->isDeleted()) users.append(user);
    return users;
}

void Invite::AddButton() { finish(true); }

void Invite::CloseButton() { finish(false); }

void Invite::finish(bool add) {
    if (m_finished) return;
    m_finished = true;
    const QList<User *> invited = add ? selectedUsers() : QList<User *>();
    m_selection.clear();
    ActionOnClose action = std::move(m_actionOnClose);
    // The sheet goes first (done() also deletes it later), so that what the action opens is
    // not under it.
    m_window->done(add ? QDialog::Accepted : QDialog::Rejected);
    if (action) action(invited);
}
