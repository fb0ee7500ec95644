#include "ui/conversation/ConversationServices.h"

#include "calls/Call.h"
#include "core/model/Me.h"
#include "core/model/User.h"
#include "core/net/UserList.h"
#include "platform/defaults/Defaults.h"
#include "platform/strings/Strings.h"
#include "transfer/ByteCountFormatter.h"
#include "transfer/FILEserver.h"
#include "transfer/FileTransfer.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QTextCursor>
#include <QVBoxLayout>

namespace {

ConversationServices *&installed() {
    static ConversationServices *services = nullptr;
    return services;
}

QString text(const char *english) { return Strings::localized(QString::fromUtf8(english)); }

} // namespace

void ConversationServices::install(ConversationServices *services) { installed() = services; }

ConversationServices *ConversationServices::current() {
    static ConversationServices defaults;
    ConversationServices *services = installed();
    return services ? services : &defaults;
}

void ConversationServices::openCall(User *user, Chat *chat) { Call::initCallForUser(user, chat); }

void ConversationServices::closeCallWithChat(Chat *chat) { Call::closeCallWithChat(chat); }

bool ConversationServices::sendFiles(const QStringList &paths, User *to) {
    FILEserver *server = FILEserver::shared();
    return server && to && !paths.isEmpty() && server->outgoingFiles(paths, to);
}

QString ConversationServices::transferLine(const FileTransfer *transfer) {
    const qint64 files = transfer->filesNumber();
    const QString size = FILEserver::byteCountFormatter().stringFromByteCount(transfer->filesTotalSize());
    return Strings::format(text("%@ %@ (%@)"), {files, files < 2 ? text("file") : text("files"), size});
}

void ConversationServices::insertTransfer(QTextCursor &cursor, FileTransfer *transfer,
                                          const QTextCharFormat &format) {
    cursor.insertText(transferLine(transfer), format);
    // Shown is as good as seen: an incoming transfer waiting for its answer starts when the
    // setting accepts transfers without asking, as the transfer view does.
    if (transfer->incoming() && transfer->transferState() == FileTransfer::WaitingForAnswer &&
        Defaults::standard().boolForKey(QStringLiteral("fileTransferAutoAccept")))
        transfer->ContinueTransfer(FileTransfer::Transferring);
}

void ConversationServices::inviteUsers(QWidget *window, const QList<User *> &excluded,
                                       bool conversationHasCall,
                                       std::function<void(const QList<User *> &)> done) {
    auto *dialog = new QDialog(window);
    dialog->setObjectName(QStringLiteral("inviteSheet"));
    dialog->setWindowTitle(text("Invite"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    auto *layout = new QVBoxLayout(dialog);
    auto *list = new QListWidget(dialog);
    list->setObjectName(QStringLiteral("outlineView"));
    list->setAccessibleName(text("Users"));
    layout->addWidget(list);
    if (conversationHasCall) {
        auto *note = new QLabel(text("The invited users will also join the call."), dialog);
        note->setObjectName(QStringLiteral("callNote"));
        layout->addWidget(note);
    }
    QList<QPointer<User>> offered;
    if (UserList *roster = UserList::shared()) {
        for (User *u : roster->allUsersWithoutOffline(true, false)) {
            if (excluded.contains(u) || u == Me::current()) continue;
            auto *item = new QListWidgetItem(u->name(), list);
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
            item->setCheckState(Qt::Unchecked);
            item->setData(Qt::UserRole, int(offered.size()));
            offered.append(u);
        }
    }
    auto *buttons = new QDialogButtonBox(dialog);
    QPushButton *add = buttons->addButton(text("Add"), QDialogButtonBox::AcceptRole);
    add->setObjectName(QStringLiteral("AddButton"));
    add->setDefault(true);
    QPushButton *close = buttons->addButton(text("Close"), QDialogButtonBox::RejectRole);
    close->setObjectName(QStringLiteral("CloseButton"));
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    QObject::connect(dialog, &QDialog::finished, dialog, [list, offered, done](int result) {
        QList<User *> chosen;
        if (result == QDialog::Accepted)
            for (int row = 0; row < list->count(); ++row) {
                QListWidgetItem *item = list->item(row);
                User *u = offered.value(item->data(Qt::UserRole).toInt());
                if (item->checkState() == Qt::Checked && u && !u->isDeleted()) chosen.append(u);
            }
        if (done) done(chosen);
    });
    dialog->open();
}
