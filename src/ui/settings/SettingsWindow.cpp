#include "ui/settings/SettingsWindow.h"

#include "core/app/AppContext.h"
#include "core/app/KDTAppDelegate.h"
#include "core/model/Me.h"
#include "core/net/BroadcastItem.h"
#include "core/net/UDPserver.h"
#include "platform/defaults/Defaults.h"
#include "platform/strings/Strings.h"
#include "platform/system/AutostartEntry.h"
#include "ui/settings/HotKeyWorker.h"
#include "ui/settings/IPFormatter.h"
#include "ui_Settings.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStringListModel>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

#include <arpa/inet.h>

#include <algorithm>

namespace {

QString text(const char *english) { return Strings::localized(QString::fromUtf8(english)); }

QString expandTilde(const QString &path) {
    if (path == QLatin1String("~")) return QDir::homePath();
    if (path.startsWith(QLatin1String("~/"))) return QDir::homePath() + path.mid(1);
    return path;
}

// The stored form's values: "type", "value1" and "value2" as numbers.
bool sameTarget(const QVariantMap &a, const QVariantMap &b) {
    for (const char *key : {"type", "value1", "value2"})
        if (a.value(QLatin1String(key)).toString() != b.value(QLatin1String(key)).toString()) return false;
    return true;
}

QPointer<SettingsWindow> &sharedWindow() {
    static QPointer<SettingsWindow> window;
    return window;
}

} // namespace

const QString SettingsWindow::General = QStringLiteral("General");
const QString SettingsWindow::Messaging = QStringLiteral("Messaging");
const QString SettingsWindow::UserInfo = QStringLiteral("User Info");

SettingsWindow::SettingsWindow(Defaults *defaults, QObject *parent)
    : QObject(parent), m_defaults(defaults ? defaults : &Defaults::standard()),
      m_ui(std::make_unique<Ui::Settings>()), m_tabName(General) {
    m_window = new QMainWindow;
    m_ui->setupUi(m_window);
    m_window->setObjectName(QStringLiteral("SettingsWindow"));
    m_window->installEventFilter(this);
    connect(new QShortcut(QKeySequence(QKeySequence::Close), m_window), &QShortcut::activated, m_window,
            &QWidget::close);

    m_toolbar = new QToolBar(m_window);
    m_toolbar->setObjectName(QStringLiteral("toolbar"));
    m_toolbar->setMovable(false);
    m_toolbar->setFloatable(false);
    m_toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    m_toolbar->toggleViewAction()->setEnabled(false);
    m_toolbar->setContextMenuPolicy(Qt::PreventContextMenu);
    m_window->addToolBar(Qt::TopToolBarArea, m_toolbar);
    m_items = new QActionGroup(this);
    m_items->setExclusive(true);
    const struct {
        const QString *id;
        const char *title;
        const char *icon;
        QStyle::StandardPixmap fallback;
    } items[] = {{&General, "General", "preferences-system", QStyle::SP_ComputerIcon},
                 {&Messaging, "Messaging", "mail-message-new", QStyle::SP_FileDialogDetailedView},
                 {&UserInfo, "User Info", "user-info", QStyle::SP_FileDialogInfoView}};
    for (const auto &item : items) {
        QAction *action = m_toolbar->addAction(
            QIcon::fromTheme(QLatin1String(item.icon), m_window->style()->standardIcon(item.fallback)),
            text(item.title));
        action->setObjectName(*item.id);
        action->setData(*item.id);
        action->setCheckable(true);
        m_items->addAction(action);
        connect(action, &QAction::triggered, this, [this, action] {
            ValidateItem(action);
            setTabName(action->data().toString());
        });
    }

    m_announce = [] {
        if (UDPserver *udp = UDPserver::shared()) udp->RefreshUserList(false);
    };

    // The add window: a sheet run on the settings window.
    m_addWindow = new QDialog(m_window);
    m_addWindow->setObjectName(QStringLiteral("addWindow"));
    m_addWindow->setWindowTitle(text("Add Address"));
    m_addWindow->setWindowModality(Qt::WindowModal);
    auto *addLayout = new QVBoxLayout(m_addWindow);
    m_radios = new QButtonGroup(m_addWindow);
    m_radios->setObjectName(QStringLiteral("addBroadcastRadios"));
    auto *radioRow = new QHBoxLayout;
    const struct {
        int tag;
        const char *title;
    } radios[] = {{1, "Address"}, {2, "Subnet"}, {3, "Range"}};
    for (const auto &r : radios) {
        auto *button = new QRadioButton(text(r.title), m_addWindow);
        button->setObjectName(QStringLiteral("addBroadcastRadio%1").arg(r.tag));
        m_radios->addButton(button, r.tag);
        radioRow->addWidget(button);
    }
    radioRow->addStretch();
    addLayout->addLayout(radioRow);
    auto *fields = new QGridLayout;
    m_label1 = new QLabel(m_addWindow);
    m_label1->setObjectName(QStringLiteral("AddBroadcastLabel1"));
    m_label2 = new QLabel(m_addWindow);
    m_label2->setObjectName(QStringLiteral("AddBroadcastLabel2"));
    m_field1 = new QLineEdit(m_addWindow);
    m_field1->setObjectName(QStringLiteral("AddBroadcastField1"));
    m_field2 = new QLineEdit(m_addWindow);
    m_field2->setObjectName(QStringLiteral("AddBroadcastField2"));
    for (QLineEdit *field : {m_field1, m_field2}) {
        field->setValidator(new IPFormatter(field));
        field->setPlaceholderText(QStringLiteral("0.0.0.0"));
    }
    m_label1->setBuddy(m_field1);
    m_label2->setBuddy(m_field2);
    fields->addWidget(m_label1, 0, 0);
    fields->addWidget(m_field1, 0, 1);
    fields->addWidget(m_label2, 1, 0);
    fields->addWidget(m_field2, 1, 1);
    addLayout->addLayout(fields);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, m_addWindow);
    buttons->button(QDialogButtonBox::Ok)->setText(text("Add"));
    buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("addButton"));
    buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cancelButton"));
    connect(buttons, &QDialogButtonBox::accepted, m_addWindow, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, m_addWindow, &QDialog::reject);
    addLayout->addWidget(buttons);
    connect(m_radios, &QButtonGroup::idClicked, this, &SettingsWindow::NetwokRadioButton);
    connect(m_addWindow, &QDialog::finished, this, &SettingsWindow::addWindowFinished);

    m_broadcasts = new QStringListModel(this);
    m_ui->broadcastsList->setModel(m_broadcasts);
    m_ui->broadcastsList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(m_ui->broadcastsList->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &SettingsWindow::updateRemoveSegment);
    connect(m_ui->addBroadcastButton, &QToolButton::clicked, this, [this] { segmentedButtonClick(0); });
    connect(m_ui->removeBroadcastButton, &QToolButton::clicked, this, [this] { segmentedButtonClick(1); });
    connect(m_ui->browseButton, &QPushButton::clicked, this, &SettingsWindow::BrowseFileTransferPath);

    bindControls();
    bindUser();
    windowDidLoad();
}

SettingsWindow::~SettingsWindow() {
    commitUser();
    delete m_window;
}

SettingsWindow *SettingsWindow::shared() {
    QPointer<SettingsWindow> &window = sharedWindow();
    if (!window) {
        window = new SettingsWindow;
        // Its window goes with the application, before the widgets' world ends.
        connect(qApp, &QCoreApplication::aboutToQuit, window, [] { delete sharedWindow().data(); });
    }
    return window;
}

QString SettingsWindow::tabNameForSender(const QObject *sender) {
    if (!sender) return General;
    if (sender->inherits("Conversation")) return Messaging;
    QVariant tag = sender->property("tag");
    if (!tag.isValid())
        if (const auto *action = qobject_cast<const QAction *>(sender)) tag = action->data();
    if (tag.isValid() && tag.canConvert<int>() && tag.toInt() == UserInfoTag) return UserInfo;
    return General;
}

void SettingsWindow::ShowSettings(const QObject *sender) { showTab(tabNameForSender(sender)); }

void SettingsWindow::showTab(const QString &tabName) {
    SettingsWindow *settings = shared();
    settings->setTabName(tabName);
    settings->showWindow();
}

QAction *SettingsWindow::toolbarItem(const QString &identifier) const {
    for (QAction *action : m_items->actions())
        if (action->data().toString() == identifier) return action;
    return nullptr;
}

void SettingsWindow::windowDidLoad() {
    resizeOnOpen();
    // The window follows the desktop's look; the chooser's image comes from the style.
    m_ui->browseButton->setIcon(m_window->style()->standardIcon(QStyle::SP_DirOpenIcon));
    m_animate = false;
    setTabName(m_tabName);
    updateSoundsOnAnyMessage();
    updateRemoveSegment();
}

void SettingsWindow::resizeOnOpen() {
    // Wider by 3 pixels per turn of the main loop until every tab's item shows, never wider than
    // the screen.
    const QScreen *screen = m_window->screen();
    const int limit = screen ? screen->availableGeometry().width() : 4096;
    if (m_toolbar->sizeHint().width() > m_window->width() && m_window->width() + 3 <= limit) {
        m_window->resize(m_window->width() + 3, m_window->height());
        QTimer::singleShot(0, this, &SettingsWindow::resizeOnOpen);
    }
}

void SettingsWindow::setTabName(const QString &tabName) {
    QAction *item = toolbarItem(tabName);
    if (!item) return;
    m_tabName = tabName;
    item->setChecked(true);
    QWidget *page = tabName == Messaging  ? m_ui->Messaging
                    : tabName == UserInfo ? m_ui->UserInfo
                                          : m_ui->General;
    if (m_ui->tabView->currentWidget() != page) m_ui->tabView->setCurrentWidget(page);
    m_window->setWindowTitle(item->text());
    fitToTab(m_animate && m_window->isVisible());
    m_animate = true;
}

void SettingsWindow::fitToTab(bool animated) {
    // Only the page shown asks for room: the window is as high as that page needs.
    for (int i = 0; i < m_ui->tabView->count(); ++i) {
        QWidget *page = m_ui->tabView->widget(i);
        const bool current = page == m_ui->tabView->currentWidget();
        page->setSizePolicy(current ? QSizePolicy::Preferred : QSizePolicy::Ignored,
                            current ? QSizePolicy::Preferred : QSizePolicy::Ignored);
    }
    // The pages have no scroll area: the tab view is exactly as high as the page needs.
    const int pageHeight = m_ui->tabView->currentWidget()->sizeHint().height();
    m_ui->tabView->setFixedHeight(pageHeight);
    m_ui->tabView->updateGeometry();
    m_window->layout()->invalidate();
    m_window->layout()->activate();
    QSize size = m_window->sizeHint();
    size.setWidth(qMax(size.width(), m_window->width()));
    if (const QScreen *screen = m_window->screen()) {
        const QRect area = screen->availableGeometry();
        size = size.boundedTo(area.size());
    }
    if (animated) {
        auto *animation = new QPropertyAnimation(m_window, "size", m_window);
        animation->setDuration(150);
        animation->setEndValue(size);
        animation->start(QAbstractAnimation::DeleteWhenStopped);
    } else {
        m_window->resize(size);
    }
}

void SettingsWindow::showWindow() {
    // The local user may have come after the window was made.
    showUser();
    m_window->show();
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) return;
    m_window->raise();
    m_window->activateWindow();
}

void SettingsWindow::ValidateItem(QAction *item) {
    // Alt as it is held at the click.
    m_altPressed = QGuiApplication::keyboardModifiers() & Qt::AltModifier;
    const bool show = item && item->data().toString() == UserInfo && m_altPressed;
    m_ui->userId->setVisible(show);
    m_ui->userIdLabel->setVisible(show);
}

bool SettingsWindow::eventFilter(QObject *watched, QEvent *event) {
    if (watched == m_window) {
        switch (event->type()) {
        case QEvent::Close:
            windowWillClose();
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

void SettingsWindow::windowWillClose() {
    // An edit in progress ends and is kept.
    if (QWidget *focus = m_window->focusWidget()) focus->clearFocus();
    commitUser();
}

// --- discovery targets ---

void SettingsWindow::segmentedButtonClick(int segment) {
    if (segment == 1) {
        const QModelIndexList rows = m_ui->broadcastsList->selectionModel()->selectedRows();
        if (rows.isEmpty()) return;
        QVariantList targets = m_defaults->arrayForKey(QStringLiteral("broadcasts"));
        QList<int> remove;
        for (const QModelIndex &index : rows) remove.append(index.row());
        std::sort(remove.begin(), remove.end(), std::greater<int>());
        for (int row : remove)
            if (row >= 0 && row < targets.size()) targets.removeAt(row);
        m_defaults->setValue(QStringLiteral("broadcasts"), targets);
        return;
    }
    if (m_addWindow->isVisible()) return;
    if (QAbstractButton *first = m_radios->button(1)) first->setChecked(true);
    NetwokRadioButton(1);
    // The fields keep what was typed the last time.
    m_addWindow->open();
    m_field1->setFocus();
}

void SettingsWindow::NetwokRadioButton(int tag) {
    const QString example = text("Example");
    switch (tag) {
    case 1:
        m_label1->setText(text("IP/broadcast address:"));
        m_field1->setToolTip(text("Example: 192.168.0.1 or 192.168.0.255"));
        break;
    case 2:
        m_label1->setText(text("Subnet/IP address:"));
        m_field1->setToolTip(text("Example: 192.168.0.0 or 192.168.0.5"));
        m_label2->setText(text("Subnet mask:"));
        m_field2->setToolTip(Strings::format(text("%@: 255.255.255.0"), {example}));
        break;
    case 3:
        m_label1->setText(text("First IP address:"));
        m_field1->setToolTip(Strings::format(text("%@: 192.168.0.1"), {example}));
        m_label2->setText(text("Last IP address:"));
        m_field2->setToolTip(Strings::format(text("%@: 192.168.0.50"), {example}));
        break;
    default:
        return;
    }
    const bool two = tag != 1;
    m_label2->setVisible(two);
    m_field2->setVisible(two);
    // As high as the fields shown need: taller with two, back again with one.
    m_addWindow->layout()->invalidate();
    m_addWindow->layout()->activate();
    m_addWindow->resize(m_addWindow->width(), m_addWindow->sizeHint().height());
}

QString SettingsWindow::refusal(qint64 type, const QString &first, const QString &second) {
    const std::uint32_t a = BroadcastItem::isIp(first);
    const std::uint32_t b = type == BroadcastItem::kSingle ? 1 : BroadcastItem::isIp(second);
    if (!a) return Strings::format(text("%@ is not a valid IPv4 address."), {first});
    if (!b) return Strings::format(text("%@ is not a valid IPv4 address."), {second});
    if (type == BroadcastItem::kRange) {
        const std::uint32_t from = ntohl(a), to = ntohl(b);
        if (to < from) return text("The last address of the range comes before the first.");
        if (to - from > BroadcastItem::kMaxRangeSpan)
            return Strings::format(text("A range may hold at most %ld addresses."),
                                   {qint64(BroadcastItem::kMaxRangeSpan) + 1});
    }
    return QString();
}

void SettingsWindow::addWindowFinished(int result) {
    // Cancel, Escape and the window's close button add nothing.
    if (result != QDialog::Accepted) return;
    BroadcastItem item;
    const qint64 type = m_radios->checkedId();
    item.setType(type);
    const QString first = IPFormatter::getObjectValue(m_field1->text());
    const QString second = IPFormatter::getObjectValue(m_field2->text());
    if (type != BroadcastItem::kSingle) item.setSecondValue(second);
    item.setFirstValue(first);
    if (!item.validate()) {
        const QString why = refusal(type, first, second);
        auto *box = new QMessageBox(QMessageBox::Warning, text("The address cannot be added"),
                                    why.isEmpty() ? text("The address cannot be added.") : why,
                                    QMessageBox::Ok, m_window);
        box->setObjectName(QStringLiteral("refusal"));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::WindowModal);
        box->open();
        return;
    }
    const QVariantMap target = item.dictionary();
    QVariantList targets = m_defaults->arrayForKey(QStringLiteral("broadcasts"));
    for (const QVariant &existing : targets)
        if (sameTarget(existing.toMap(), target)) return; // already in the list
    targets.append(target);
    m_defaults->setValue(QStringLiteral("broadcasts"), targets);
    if (m_announce) m_announce();
}

void SettingsWindow::refreshBroadcasts() {
    QStringList looks;
    for (const QVariant &target : m_defaults->arrayForKey(QStringLiteral("broadcasts")))
        looks.append(target.toMap().value(QStringLiteral("look")).toString());
    if (looks != m_broadcasts->stringList()) m_broadcasts->setStringList(looks);
    updateRemoveSegment();
}

void SettingsWindow::updateRemoveSegment() {
    m_ui->removeBroadcastButton->setEnabled(m_ui->broadcastsList->selectionModel()->hasSelection());
}

// --- received files ---

void SettingsWindow::BrowseFileTransferPath() {
    auto *panel = new QFileDialog(m_window, text("Choose the folder for received files"),
                                  expandTilde(m_defaults->stringForKey(QStringLiteral("fileTransferPath"))));
    panel->setObjectName(QStringLiteral("fileTransferPanel"));
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setFileMode(QFileDialog::Directory);
    panel->setOption(QFileDialog::ShowDirsOnly, true);
    panel->setAcceptMode(QFileDialog::AcceptOpen);
    panel->setWindowModality(Qt::WindowModal);
    connect(panel, &QFileDialog::accepted, this, [this, panel] {
        // The folder chosen itself, not the one it sits in.
        const QStringList chosen = panel->selectedFiles();
        if (chosen.isEmpty() || chosen.first().isEmpty()) return;
        m_defaults->setValue(QStringLiteral("fileTransferPath"), QDir::cleanPath(chosen.first()));
    });
    panel->open();
}

// --- sounds ---

void SettingsWindow::updateSoundsOnAnyMessage() {
    m_playSoundsOnAnyMessages = m_ui->playOnIncoming->isChecked() || m_ui->playonBroadcast->isChecked();
    m_ui->soundsAnyTime->setEnabled(m_playSoundsOnAnyMessages);
}

// --- settings bound both ways ---

void SettingsWindow::bindControls() {
    Defaults *d = m_defaults;
    // One control and its setting: `show` puts the setting into the control (with its signals
    // held back), the control's own signal stores it.
    auto follow = [this, d](const QString &key, std::function<void()> show) {
        show();
        connect(d, &Defaults::changed, this, [key, show](const QString &changed) {
            if (changed == key) show();
        });
    };
    const struct {
        QCheckBox *box;
        const char *key;
    } checks[] = {{m_ui->hideOfflineUsers, "hideOfflineUsers"},
                  {m_ui->enableHotKey, "enableHotKey"},
                  {m_ui->autoAwayEnabled, "autoAwayEnabled"},
                  {m_ui->sreensaverAwayEnabled, "sreensaverAwayEnabled"},
                  {m_ui->fileTransferAutoAccept, "fileTransferAutoAccept"},
                  {m_ui->showFileTransferAlert, "showFileTransferAlert"},
                  {m_ui->displayRecent, "displayRecent"},
                  {m_ui->displayTime, "displayTime"},
                  {m_ui->keepFocus, "keepFocus"},
                  {m_ui->soundsEnabled, "sounds.enabled"},
                  {m_ui->playOnIncoming, "sounds.onIncoming"},
                  {m_ui->playonBroadcast, "sounds.onBroadcast"},
                  {m_ui->soundsOnUserOnline, "sounds.onUserOnline"},
                  {m_ui->soundsOnIncomingFile, "sounds.onIncomingFile"},
                  {m_ui->soundsOnCall, "sounds.onCall"}};
    for (const auto &c : checks) {
        const QString key = QString::fromLatin1(c.key);
        QCheckBox *box = c.box;
        follow(key, [box, d, key] {
            const QSignalBlocker hold(box);
            box->setChecked(d->boolForKey(key));
        });
        connect(box, &QCheckBox::toggled, this, [d, key](bool on) { d->setValue(key, on); });
    }
    for (QCheckBox *box : {m_ui->playOnIncoming, m_ui->playonBroadcast})
        connect(box, &QCheckBox::toggled, this, &SettingsWindow::updateSoundsOnAnyMessage);
    connect(d, &Defaults::changed, this, [this](const QString &key) {
        if (key == QLatin1String("sounds.onIncoming") || key == QLatin1String("sounds.onBroadcast"))
            updateSoundsOnAnyMessage();
    });

    // "sounds.anyTime" is a number: 1 plays sounds also for the conversation in front.
    follow(QStringLiteral("sounds.anyTime"), [this, d] {
        const QSignalBlocker hold(m_ui->soundsAnyTime);
        m_ui->soundsAnyTime->setChecked(d->integerForKey(QStringLiteral("sounds.anyTime")) != 0);
    });
    connect(m_ui->soundsAnyTime, &QCheckBox::toggled, this,
            [d](bool on) { d->setValue(QStringLiteral("sounds.anyTime"), on ? 1 : 0); });

    const struct {
        QSpinBox *spin;
        const char *key;
    } spins[] = {{m_ui->autoAwayMinutes, "autoAwayMinutes"}, {m_ui->fontSize, "fontSize"}};
    for (const auto &s : spins) {
        const QString key = QString::fromLatin1(s.key);
        QSpinBox *spin = s.spin;
        follow(key, [spin, d, key] {
            const QSignalBlocker hold(spin);
            spin->setValue(int(d->integerForKey(key)));
        });
        connect(spin, &QSpinBox::valueChanged, this, [d, key](int v) { d->setValue(key, v); });
    }

    // Combo boxes: the setting's value of each row.
    struct ComboBinding {
        QComboBox *combo;
        QString key;
        QList<int> values;
    };
    const ComboBinding combos[] = {
        {m_ui->SendMessageKey, QStringLiteral("SendMessageKey"), {1, 0}},
        {m_ui->minimizeMessages, QStringLiteral("minimizeMessages"), {0, 1}},
        {m_ui->encoding, QStringLiteral("encoding"), {11, 12, 13, 14, 15}},
    };
    for (const ComboBinding &c : combos) {
        QComboBox *combo = c.combo;
        const QString key = c.key;
        const QList<int> values = c.values;
        follow(key, [combo, d, key, values] {
            const QSignalBlocker hold(combo);
            const int value = int(d->integerForKey(key));
            int row = int(values.indexOf(value));
            // "SendMessageKey" other than 1 and "minimizeMessages" other than 1 act as the other row.
            if (row < 0 && key != QLatin1String("encoding")) row = values.indexOf(value == 1 ? 1 : 0);
            combo->setCurrentIndex(row);
        });
        connect(combo, &QComboBox::currentIndexChanged, this, [d, key, values](int row) {
            if (row >= 0 && row < values.size()) d->setValue(key, values.at(row));
        });
    }

    // Status texts: several lines each.
    const struct {
        QPlainTextEdit *edit;
        const char *key;
    } texts[] = {{m_ui->awayMessage, "awayMessage"}, {m_ui->busyMessage, "busyMessage"}};
    for (const auto &t : texts) {
        const QString key = QString::fromLatin1(t.key);
        QPlainTextEdit *edit = t.edit;
        follow(key, [edit, d, key] {
            if (edit->toPlainText() == d->stringForKey(key)) return;
            const QSignalBlocker hold(edit);
            edit->setPlainText(d->stringForKey(key));
        });
        connect(edit, &QPlainTextEdit::textChanged, this,
                [edit, d, key] { d->setValue(key, edit->toPlainText()); });
    }

    follow(QStringLiteral("fileTransferPath"), [this, d] {
        m_ui->fileTransferPath->setText(d->stringForKey(QStringLiteral("fileTransferPath")));
    });
    follow(QStringLiteral("broadcasts"), [this] { refreshBroadcasts(); });

    // Start at login is the autostart entry itself.
    {
        const QSignalBlocker hold(m_ui->startAtLogin);
        m_ui->startAtLogin->setChecked(AutostartEntry::exists());
    }
    connect(m_ui->startAtLogin, &QCheckBox::toggled, this,
            [](bool on) { KDTAppDelegate::setStartAtLogin(on); });

    // The hot key.
    m_ui->hotKeyField->bind(QStringLiteral("hotKey"), d);
    HotKeyWorker *worker = HotKeyWorker::current();
    auto hotKeyState = [this, worker = QPointer<HotKeyWorker>(worker)] {
        const bool available = worker && worker->available();
        m_ui->hotKeyUnavailable->setVisible(!available);
        m_ui->enableHotKey->setEnabled(available);
        m_ui->hotKeyField->setEnabled(available && m_ui->enableHotKey->isChecked());
        // The desktop may have chosen another key than the one recorded; the field keeps
        // showing the recorded one.
        const QString trigger = worker && available ? worker->triggerDescription() : QString();
        m_ui->hotKeyTrigger->setText(
            trigger.isEmpty() ? QString()
                              : Strings::format(text("The desktop uses %@ for the hot key."), {trigger}));
        m_ui->hotKeyTrigger->setVisible(!trigger.isEmpty());
    };
    hotKeyState();
    connect(m_ui->enableHotKey, &QCheckBox::toggled, this, hotKeyState);
    connect(d, &Defaults::changed, this, [hotKeyState](const QString &key) {
        if (key == QLatin1String("enableHotKey")) hotKeyState();
    });
    if (worker) {
        connect(worker, &HotKeyWorker::availableChanged, this, hotKeyState);
        connect(worker, &HotKeyWorker::triggerDescriptionChanged, this, hotKeyState);
        connect(worker, &HotKeyWorker::registeredChanged, this, hotKeyState);
    }
}

// --- the local user ---

void SettingsWindow::bindUser() {
    const struct {
        QLineEdit *field;
        const char *key;
    } fields[] = {
        {m_ui->name, "name"},         {m_ui->firstName, "firstName"},   {m_ui->lastName, "lastName"},
        {m_ui->jobTitle, "jobTitle"}, {m_ui->department, "department"}, {m_ui->userId, "userId"}};
    for (const auto &f : fields)
        connect(f.field, &QLineEdit::editingFinished, this, &SettingsWindow::commitUser);
    connect(m_ui->additionalInformation, &QPlainTextEdit::textChanged, this, [this] {
        if (m_fillingUser) return;
        if (Me *me = Me::current()) me->setAdditionalInformation(m_ui->additionalInformation->toPlainText());
    });
    m_ui->userId->setVisible(false);
    m_ui->userIdLabel->setVisible(false);
    showUser();
}

void SettingsWindow::showUser() {
    Me *me = Me::current();
    for (QWidget *w : {static_cast<QWidget *>(m_ui->name), static_cast<QWidget *>(m_ui->firstName),
                       static_cast<QWidget *>(m_ui->lastName), static_cast<QWidget *>(m_ui->jobTitle),
                       static_cast<QWidget *>(m_ui->department), static_cast<QWidget *>(m_ui->userId),
                       static_cast<QWidget *>(m_ui->additionalInformation)})
        w->setEnabled(me != nullptr);
    if (!me) return;
    if (m_watchedMe != me) {
        m_watchedMe = me;
        connect(me, &ManagedObject::attributeChanged, this, [this](const QString &) { showUser(); });
    }
    m_fillingUser = true;
    auto put = [](QLineEdit *field, const QString &value) {
        // What the user is typing is not overwritten.
        if (!field->hasFocus() && field->text() != value) field->setText(value);
    };
    put(m_ui->name, me->name());
    put(m_ui->firstName, me->firstName());
    put(m_ui->lastName, me->lastName());
    put(m_ui->jobTitle, me->jobTitle());
    put(m_ui->department, me->department());
    put(m_ui->userId, me->userId());
    if (!m_ui->additionalInformation->hasFocus() &&
        m_ui->additionalInformation->toPlainText() != me->additionalInformation())
        m_ui->additionalInformation->setPlainText(me->additionalInformation());
    m_fillingUser = false;
}

void SettingsWindow::commitUser() {
    Me *me = Me::current();
    // Only what this window showed of this very user is written back.
    if (!me || m_fillingUser || m_watchedMe != me) return;
    const QString name = m_ui->name->text().trimmed();
    if (!name.isEmpty() && name != me->name()) me->setName(name);
    if (me->firstName() != m_ui->firstName->text()) me->setFirstName(m_ui->firstName->text());
    if (me->lastName() != m_ui->lastName->text()) me->setLastName(m_ui->lastName->text());
    if (me->jobTitle() != m_ui->jobTitle->text()) me->setJobTitle(m_ui->jobTitle->text());
    if (me->department() != m_ui->department->text()) me->setDepartment(m_ui->department->text());
    if (me->additionalInformation() != m_ui->additionalInformation->toPlainText())
        me->setAdditionalInformation(m_ui->additionalInformation->toPlainText());
    const QString id = m_ui->userId->text().trimmed();
    // An id is never emptied: colleagues would lose track of this user.
    if (!id.isEmpty() && id != me->userId()) me->setUserId(id);
    saveContextIfChanged();
    showUser();
}
