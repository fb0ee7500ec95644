#include "ui/system/MessageBoxSheet.h"

#include "platform/defaults/Defaults.h"
#include "platform/strings/Strings.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QIcon>
#include <QMessageBox>
#include <QPushButton>

namespace {

const MessageBoxSheet::Kind kinds[MessageBoxSheet::KindCount] = {
    {"leaveConversationWithCallConfirmation", "Are you sure you want to leave the conversation?",
     "You will also be leaving the corresponding audio/video call.", "Yes", "No"},
    {"leaveConversationConfirmation", "Are you sure you want to leave the conversation?", nullptr, "Yes",
     "No"},
    {"deleteUserConfirmation", "Are you sure you want to remove this user from the list?", nullptr, "Yes",
     "No"},
    {"deteleGroupConfirmation", "Are you sure you want to delete this group?", nullptr, "Yes", "No"},
    {"showFileTransferPanelRequest", "Try Drag and Drop Option",
     "You can send files and folders by either selecting them in the standard Open Panel or simply dragging "
     "and "
     "dropping them into the conversation.",
     "Browse files", "Use drag and drop"},
    {"leaveCallConfirmation", "Are you sure you want to leave the call?",
     "You will be able to return to it from the \"Conversation\" window.", "Yes", "No"},
    {"macOS13compatibility", "Incompatibility Issue with macOS 13.0 and 13.1",
     "Due to technical issue introduced in macOS 13.0 and fixed in macOS 13.2 you will probably not hear "
     "other "
     "users. It is recommended to update to the latest version of macOS.",
     nullptr, nullptr},
};

QString text(const char *english) { return Strings::localized(QString::fromUtf8(english)); }

QList<MessageBoxSheet *> &live() {
    static QList<MessageBoxSheet *> sheets;
    return sheets;
}

} // namespace

const MessageBoxSheet::Kind &MessageBoxSheet::kind(int kind) {
    return kinds[kind >= 1 && kind < KindCount ? kind : 0];
}

QList<MessageBoxSheet *> MessageBoxSheet::openSheets() { return live(); }

MessageBoxSheet *MessageBoxSheet::requestConfirmation(int kind, QWidget *window,
                                                      std::function<void()> onSuccess,
                                                      std::function<void()> actionOnFail) {
    if (Defaults::standard().boolForKey(suppressionKey(kind))) {
        if (onSuccess) onSuccess();
        return nullptr;
    }
    return new MessageBoxSheet(kind, window, std::move(onSuccess), std::move(actionOnFail));
}

MessageBoxSheet::MessageBoxSheet(int kind, QWidget *window, std::function<void()> onSuccess,
                                 std::function<void()> actionOnFail)
    : m_kind(kind >= 1 && kind < KindCount ? kind : 0), m_confirmationName(suppressionKey(kind)),
      m_dBlock(std::move(onSuccess)), m_actionOnFail(std::move(actionOnFail)) {
    const Kind &row = MessageBoxSheet::kind(kind);
    m_alert = new QMessageBox(window);
    m_alert->setObjectName(QStringLiteral("messageBoxSheet%1").arg(m_kind));
    m_alert->setWindowTitle(QStringLiteral("Murnavell"));
    m_alert->setText(text(row.message));
    m_alert->setTextFormat(Qt::PlainText);
    if (row.informative) m_alert->setInformativeText(text(row.informative));
    if (m_kind == 6) {
        const QIcon muted = QIcon::fromTheme(QStringLiteral("audio-volume-muted"));
        if (!muted.isNull())
            m_alert->setIconPixmap(muted.pixmap(64, 64));
        else
            m_alert->setIcon(QMessageBox::Warning);
    } else {
        m_alert->setIcon(QMessageBox::Information);
    }
    auto *suppress = new QCheckBox(text("Do not ask again"), m_alert);
    suppress->setObjectName(QStringLiteral("suppressionButton"));
    m_alert->setCheckBox(suppress);

    QAbstractButton *first = nullptr;
    QAbstractButton *second = nullptr;
    if (row.success) {
        first = m_alert->addButton(text(row.success), QMessageBox::AcceptRole);
        first->setObjectName(QStringLiteral("firstButton"));
        if (row.other) {
            second = m_alert->addButton(text(row.other), QMessageBox::RejectRole);
            second->setObjectName(QStringLiteral("secondButton"));
            m_alert->setEscapeButton(second);
        }
    } else {
        first = m_alert->addButton(QMessageBox::Ok);
        first->setObjectName(QStringLiteral("firstButton"));
        m_alert->setEscapeButton(first);
    }
    m_alert->setDefaultButton(qobject_cast<QPushButton *>(first));

    // Every way out (a button, Escape, the window's close button) ends the sheet exactly once.
    connect(m_alert, &QMessageBox::finished, this, [this, first] {
        alertDidEnd(m_alert && m_alert->clickedButton() == first ? FirstButtonReturn : FirstButtonReturn + 1);
    });
    // A window closed under the sheet takes the alert with it: that is an answer of "No".
    connect(m_alert, &QObject::destroyed, this, [this] { alertDidEnd(FirstButtonReturn + 1); });
    m_alert->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    live().append(this);
    m_alert->open();
}

MessageBoxSheet::~MessageBoxSheet() {
    live().removeAll(this);
    if (m_alert) m_alert->deleteLater();
}

QCheckBox *MessageBoxSheet::suppressionButton() const { return m_alert ? m_alert->checkBox() : nullptr; }

void MessageBoxSheet::alertDidEnd(int returnCode) {
    if (m_ended) return;
    m_ended = true;
    live().removeAll(this);
    if (QCheckBox *box = suppressionButton(); box && box->isChecked())
        Defaults::standard().setValue(m_confirmationName, true);
    if (m_alert) {
        disconnect(m_alert, nullptr, this, nullptr);
        m_alert->hide();
    }
    // The actions may close the window the sheet sits on: keep what they need first.
    auto success = std::move(m_dBlock);
    auto close = std::move(m_actionOnFail);
    deleteLater();
    if (returnCode == FirstButtonReturn && success) success();
    if (close) close();
}
