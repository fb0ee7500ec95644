#include "ui/userinfo/UserInformationWindow.h"

#include "core/model/User.h"
#include "platform/store/Clock.h"
#include "platform/store/ManagedObjectContext.h"
#include "platform/strings/Strings.h"
#include "ui/controls/TextHeight.h"
#include "ui_UserInformation.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHash>
#include <QIcon>
#include <QPalette>
#include <QScreen>
#include <QStyle>
#include <QTabBar>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>

#include <cmath>

namespace {

QString localized(const char *english) { return Strings::localized(QString::fromUtf8(english)); }

const QHash<QString, QString> &labels() {
    static const QHash<QString, QString> table = {
        {QStringLiteral("firstName"), localized("First name")},
        {QStringLiteral("lastName"), localized("Last name")},
        {QStringLiteral("department"), localized("Department")},
        {QStringLiteral("jobTitle"), localized("Job title")},
        {QStringLiteral("additionalInformation"), localized("Additional information")},
        {QStringLiteral("status"), localized("Status")},
        {QStringLiteral("statusString"), localized("Status message")},
        {QStringLiteral("idleTime"), localized("Idle time")},
        {QStringLiteral("userId"), localized("ID")},
        {QStringLiteral("pc"), localized("Computer name")},
        {QStringLiteral("logonUser"), localized("Logon name")},
        {QStringLiteral("ip"), localized("IP address")},
        {QStringLiteral("oSversion"), localized("OS")},
        {QStringLiteral("version"), localized("Messenger version")},
        {QStringLiteral("isOnTS"), localized("Connection type")},
        {QStringLiteral("tsClientIP"), localized("Terminal server client IP address")},
        {QStringLiteral("tsConnectionState"), localized("Terminal server client status")},
    };
    return table;
}

// Terminal-server connection states by number; not translated.
const QStringList &connectionStates() {
    static const QStringList names = {
        QStringLiteral("Active"),       QStringLiteral("Connected"),   QStringLiteral("Connecting"),
        QStringLiteral("Shadowing"),    QStringLiteral("Disconnected"), QStringLiteral("Idle"),
        QStringLiteral("Listening"),    QStringLiteral("Being reset"), QStringLiteral("Down due to an error"),
        QStringLiteral("Initializing"),
    };
    return names;
}

QPointer<UserInformationWindow> &currentCardReference() {
    static QPointer<UserInformationWindow> card;
    return card;
}

// A value that says nothing: missing, empty, or the peer's "*" for "not given".
bool missing(const QString &value) { return value.isEmpty() || value == QLatin1String("*"); }

} // namespace

const QStringList &UserInformationWindow::personalKeys() {
    static const QStringList keys = {"firstName", "lastName", "department", "jobTitle", "additionalInformation",
                                     "status",    "idleTime", "statusString", "userId"};
    return keys;
}

const QStringList &UserInformationWindow::systemKeys() {
    static const QStringList keys = {"pc",     "logonUser",  "ip",         "oSversion",      "version",
                                     "isOnTS", "tsClientIP", "tsClientPCname", "tsServerIP", "tsConnectionState"};
    return keys;
}

UserInformationWindow::UserInformationWindow(User *user)
    : m_ui(std::make_unique<Ui::UserInformation>()), m_user(user) {
    if (m_user) m_user->RequestUserInfo();
    auto *window = new QWidget;
    m_ui->setupUi(window);
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    window->installEventFilter(this);
    m_window = window;
    m_ui->TabView->setTabText(0, localized("Personal"));
    m_ui->TabView->setTabText(1, localized("System"));

    // The pin shares the tabs' cell, in its top-right corner; it shows only on the card.
    m_pinButton = new QToolButton(window);
    m_pinButton->setObjectName(QStringLiteral("pinButton"));
    m_pinButton->setAccessibleName(localized("Keep as a window"));
    m_pinButton->setToolTip(localized("Keep as a window"));
    m_pinButton->setIcon(QIcon::fromTheme(QStringLiteral("window-pin"), QIcon(QStringLiteral(":/images/Pin.svg"))));
    m_pinButton->setAutoRaise(true);
    m_pinButton->hide();
    static_cast<QGridLayout *>(window->layout())->addWidget(m_pinButton, 0, 0, Qt::AlignTop | Qt::AlignRight);
    connect(m_pinButton, &QToolButton::clicked, this, &UserInformationWindow::showFull);
    connect(m_ui->TabView, &QTabWidget::currentChanged, this, [this] { UpdateWindowHeight(); });
    connect(m_ui->PersonalTextView, &QTextBrowser::selectionChanged, this,
            &UserInformationWindow::personalSelectionChanged);

    QFont bold = QApplication::font();
    bold.setBold(true);
    m_labelAttributes.setFont(bold);
    m_valueAttributes.setFont(QApplication::font());

    if (m_user) {
        connect(m_user, &ManagedObject::attributeChanged, this,
                [this](const QString &key, const QVariant &) { userChanged(key); });
        if (ManagedObjectContext *context = m_user->managedObjectContext())
            connect(context, &ManagedObjectContext::objectDeleted, this, &UserInformationWindow::objectDeleted);
    }
    window->layout()->activate();
}

UserInformationWindow::~UserInformationWindow() {
    if (m_user && m_user->userInfoWindow() == this) m_user->setUserInfoWindow(nullptr);
    delete m_window.data();
}

QTabWidget *UserInformationWindow::tabView() const { return m_ui->TabView; }
QTextBrowser *UserInformationWindow::personalTextView() const { return m_ui->PersonalTextView; }
QTextBrowser *UserInformationWindow::systemTextView() const { return m_ui->SystemTextView; }
QToolButton *UserInformationWindow::pinButton() const { return m_pinButton; }

UserInformationWindow *UserInformationWindow::showForUser(User *user) {
    if (!user || user->isDeleted()) return nullptr;
    auto *window = qobject_cast<UserInformationWindow *>(user->userInfoWindow());
    if (!window) {
        window = new UserInformationWindow(user);
        user->setUserInfoWindow(window);
    }
    window->showWindow();
    return window;
}

UserInformationWindow *UserInformationWindow::showCardForUser(User *user, const QPoint &screenPoint) {
    if (!user || user->isDeleted()) return nullptr;
    UserInformationWindow *card = currentCard();
    if (card && card->user() == user && card->window() && card->window()->isVisible()) return card;
    closeToolTip();
    card = new UserInformationWindow(user);
    currentCardReference() = card;
    card->window()->move(screenPoint + QPoint(-2, -2));
    card->showAsToolTip();
    return card;
}

UserInformationWindow *UserInformationWindow::currentCard() { return currentCardReference(); }

void UserInformationWindow::closeToolTip() {
    UserInformationWindow *card = currentCardReference();
    currentCardReference() = nullptr;
    if (card && card->m_window) card->m_window->close();
}

QColor UserInformationWindow::toolTipColor() {
    const QColor tip = QToolTip::palette().color(QPalette::Inactive, QPalette::ToolTipBase);
    return tip.isValid() ? tip : QGuiApplication::palette().color(QPalette::Window);
}

// --- The texts ---

QString UserInformationWindow::ParceInterval(double seconds) {
    if (!(seconds >= 60)) return localized("less than 1 minute");
    qint64 rest = qint64(seconds);
    const qint64 days = rest / 86400;
    rest -= days * 86400;
    const qint64 hours = rest / 3600;
    rest -= hours * 3600;
    const qint64 minutes = rest / 60;
    const QString language = Strings::languages().value(0);
    if (!language.isEmpty() && !language.startsWith(QLatin1String("en"))) {
        if (days) return Strings::format(localized("%d day(s), %d hour(s), %d minute(s)"), {days, hours, minutes});
        if (hours) return Strings::format(localized("%d hour(s), %d minute(s)"), {hours, minutes});
        return Strings::format(localized("%d minutes"), {minutes});
    }
    QStringList pieces;
    const std::pair<qint64, const char *> units[] = {{days, "day"}, {hours, "hour"}, {minutes, "minute"}};
    for (const auto &[count, word] : units) {
        if (!count) continue;
        QString unit = QString::fromLatin1(word);
        if (count >= 2) unit += QLatin1Char('s');
        pieces.append(Strings::format(QStringLiteral("%ld %@"), {count, unit}));
    }
    return pieces.join(QStringLiteral(", "));
}

QString UserInformationWindow::shownValue(const QString &key) const {
    if (!m_user) return {};
    const QString value = m_user->value(key).toString();
    if (missing(value) || !labels().contains(key)) return {};
    if (key == QLatin1String("status")) {
        if (m_user->userOffline()) {
            const QDateTime seen = m_user->seenLastTime();
            if (!seen.isValid()) return localized("Offline");
            return Strings::format(localized("Offline (%@)"),
                                   {ParceInterval(double(seen.msecsTo(Clock::now())) / 1000.0)});
        }
        if (value == QLatin1String("0")) return localized("Available");
        if (value == QLatin1String("1")) return localized("Busy");
        if (value == QLatin1String("2")) return localized("Away");
        return value;
    }
    if (key == QLatin1String("idleTime")) return ParceInterval(double(value.toLongLong() / 1000));
    if (key == QLatin1String("tsConnectionState")) {
        bool number = false;
        const qint64 state = value.toLongLong(&number);
        if (!number) return value;
        if (state == 0) return {};
        // A state this messenger has no name for shows as its number.
        return state > 0 && state < connectionStates().size() ? connectionStates().at(int(state))
                                                                : QString::number(state);
    }
    if (key == QLatin1String("tsClientIP")) {
        const QString pc = m_user->tsClientPCname();
        const QString server = m_user->tsServerIP();
        // Parts the peer did not give are left out rather than shown as blanks.
        if (!missing(pc) && !missing(server))
            return Strings::format(localized("%@ (%@) connected via %@"), {value, pc, server});
        if (!missing(server)) return Strings::format(localized("%@ connected via %@"), {value, server});
        if (!missing(pc)) return Strings::format(QStringLiteral("%@ (%@)"), {value, pc});
        return value;
    }
    if (key == QLatin1String("isOnTS"))
        return value == QLatin1String("0") ? localized("Stand-alone client") : localized("Terminal client");
    return value;
}

QString UserInformationWindow::text(bool personal) const {
    return (personal ? m_ui->PersonalTextView : m_ui->SystemTextView)->toPlainText();
}

void UserInformationWindow::_updateTitle() {
    if (m_window && m_user)
        m_window->setWindowTitle(Strings::format(QStringLiteral("%@: %@"), {localized("User Info"), m_user->name()}));
}

void UserInformationWindow::UpdateInfo(bool personal) {
    _updateTitle();
    QTextBrowser *view = personal ? m_ui->PersonalTextView : m_ui->SystemTextView;
    QTextCursor cursor(view->document());
    cursor.beginEditBlock();
    cursor.select(QTextCursor::Document);
    cursor.removeSelectedText();
    bool written = false;
    for (const QString &key : personal ? personalKeys() : systemKeys()) {
        const QString value = shownValue(key);
        if (value.isNull()) continue;
        if (written) cursor.insertText(QStringLiteral("\n"), m_valueAttributes);
        // Peer text goes in as plain text, never as markup.
        cursor.insertText(Strings::format(QStringLiteral("%@: "), {labels().value(key)}), m_labelAttributes);
        cursor.insertText(value, m_valueAttributes);
        written = true;
    }
    cursor.endEditBlock();
}

// --- Size and place ---

void UserInformationWindow::UpdateWindowHeight() {
    if (!m_window) return;
    QTextBrowser *view = m_ui->TabView->currentIndex() == 0 ? m_ui->PersonalTextView : m_ui->SystemTextView;
    m_window->layout()->activate();
    const int textHeight = int(std::ceil(TextHeight::textHeightForWidth(view, view->viewport()->width())));
    const int around = m_window->height() - view->viewport()->height();
    int height = textHeight + around + 2;
    if (QScreen *screen = m_window->screen()) height = qMin(height, screen->availableGeometry().height());
    height = qMax(height, m_window->minimumSizeHint().height());
    const QRect frame = m_window->geometry();
    // The top edge stays.
    if (height != frame.height()) m_window->setGeometry(QRect(frame.topLeft(), QSize(frame.width(), height)));
}

void UserInformationWindow::keepOnScreen() {
    if (!m_window) return;
    QRect frame = m_window->frameGeometry();
    bool moved = false;
    for (QScreen *screen : QGuiApplication::screens()) {
        const QRect area = screen->geometry();
        if (!area.contains(frame.topLeft()) || area.contains(frame.bottomRight())) continue;
        if (frame.right() > area.right()) {
            frame.moveLeft(frame.left() - (frame.right() - area.right()));
            moved = true;
        }
        if (frame.bottom() > area.bottom()) {
            frame.moveTop(frame.top() - (frame.bottom() - area.bottom()));
            moved = true;
        }
    }
    if (moved) m_window->move(frame.topLeft());
}

// --- Showing ---

void UserInformationWindow::showWindow() {
    if (!m_window) return;
    UpdateInfo(true);
    UpdateInfo(false);
    // Tabs lay out their pages only once shown, so the height is fitted right after showing,
    // before anything is drawn.
    m_window->show();
    UpdateWindowHeight();
    keepOnScreen();
    if (!m_card) {
        m_window->raise();
        m_window->activateWindow();
    }
}

void UserInformationWindow::showAsToolTip() {
    if (!m_window) return;
    m_card = true;
    m_startMousePos = QCursor::pos();
    m_ui->TabView->setCurrentIndex(0);
    const QSize before = m_window->size();
    // The text keeps the width it has in the full window, with a margin of 10 around it; the
    // height is fitted to the text once shown.
    const QMargins margins = m_window->layout()->contentsMargins();
    const int frame = m_window->style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
    const int textWidth = before.width() - margins.left() - margins.right() - 2 * frame;
    const QSize card(textWidth + 20, before.height());
    m_window->setWindowFlags(Qt::ToolTip | Qt::FramelessWindowHint);
    m_ui->TabView->tabBar()->hide();
    m_ui->TabView->setDocumentMode(true);
    // The card hangs just below the point it was placed at.
    m_window->setGeometry(QRect(m_window->pos() + QPoint(0, 3), card));
    m_diffSizeFrame = before - card;
    QPalette palette = m_window->palette();
    const QColor text = QToolTip::palette().color(QPalette::Inactive, QPalette::ToolTipText);
    for (QPalette::ColorRole role : {QPalette::Window, QPalette::Base})
        palette.setColor(role, toolTipColor());
    if (text.isValid())
        for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text})
            palette.setColor(role, text);
    m_window->setPalette(palette);
    m_labelAttributes.setForeground(palette.color(QPalette::Text));
    m_valueAttributes.setForeground(palette.color(QPalette::Text));
    m_pinButton->show();
    m_pinButton->raise();
    showWindow();
    m_tracking = true;
}

void UserInformationWindow::showFull() {
    if (!m_card || !m_window) return;
    m_pinButton->hide();
    m_tracking = false;
    m_card = false;
    if (currentCardReference() == this) currentCardReference() = nullptr;
    // One window per user: pinning a card for a user whose window is open brings that window.
    auto *existing = m_user ? qobject_cast<UserInformationWindow *>(m_user->userInfoWindow()) : nullptr;
    if (existing && existing != this) {
        existing->showWindow();
        m_window->close();
        return;
    }
    if (m_user) m_user->setUserInfoWindow(this);
    const QRect frame = m_window->geometry();
    m_window->setWindowFlags(Qt::Window);
    m_window->setPalette(QPalette());
    m_labelAttributes.clearForeground();
    m_valueAttributes.clearForeground();
    m_ui->TabView->setDocumentMode(false);
    m_ui->TabView->tabBar()->show();
    const QSize size = frame.size() + m_diffSizeFrame;
    const int halfWidth = m_diffSizeFrame.width() / 2;
    m_window->setGeometry(
        QRect(QPoint(frame.x() - halfWidth, frame.y() - m_diffSizeFrame.height() + halfWidth), size));
    _updateTitle();
    UpdateInfo(true);
    UpdateInfo(false);
    keepOnScreen();
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

void UserInformationWindow::shouldCloseToolTip() {
    QTimer::singleShot(CloseDelayMs, qApp, [] {
        UserInformationWindow *card = currentCard();
        if (card && card->m_window && !card->m_window->frameGeometry().contains(QCursor::pos())) closeToolTip();
    });
}

void UserInformationWindow::personalSelectionChanged() {
    if (m_card && QCursor::pos() != m_startMousePos) shouldCloseToolTip();
}

// --- Changes ---

void UserInformationWindow::userChanged(const QString &key) {
    if (personalKeys().contains(key) || key == QLatin1String("userOffline") || key == QLatin1String("seenLastTime")) {
        UpdateInfo(true);
    } else if (systemKeys().contains(key)) {
        UpdateInfo(false);
    } else if (key == QLatin1String("name")) {
        _updateTitle();
        return;
    } else {
        return;
    }
    UpdateWindowHeight();
}

void UserInformationWindow::objectDeleted(ManagedObject *object) {
    if (object != m_user || !m_window) return;
    // A window never outlives its user.
    if (currentCardReference() == this) currentCardReference() = nullptr;
    m_window->close();
}

bool UserInformationWindow::eventFilter(QObject *watched, QEvent *event) {
    if (watched == m_window) {
        if (event->type() == QEvent::Leave && m_tracking) {
            shouldCloseToolTip();
        } else if (event->type() == QEvent::Close) {
            if (m_user && m_user->userInfoWindow() == this) m_user->setUserInfoWindow(nullptr);
            if (currentCardReference() == this) currentCardReference() = nullptr;
            m_tracking = false;
            deleteLater();
        }
    }
    return QObject::eventFilter(watched, event);
}
