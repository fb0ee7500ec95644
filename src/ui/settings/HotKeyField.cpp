#include "ui/settings/HotKeyField.h"

#include "platform/defaults/Defaults.h"
#include "platform/strings/Strings.h"
#include "ui/settings/HotKeyCodes.h"
#include "ui/settings/HotKeyWorker.h"
#include "ui/settings/KeyGrabber.h"
#include "ui/settings/XKeyGrabber.h"

#include <QAction>
#include <QApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QStyle>
#include <QTimer>

namespace {

struct FixedName {
    int code;
    const char16_t *text;
};

// Keys whose names are not what the layout prints on them.
constexpr FixedName fixedNames[] = {
    {36, u"\u21A9"},  {48, u"\u21E5"},  {51, u"\u232B"},  {53, u"\u238B"},  {64, u"F17"},
    {79, u"F18"},     {80, u"F19"},     {65, u"."},       {67, u"*"},       {69, u"+"},
    {71, u"\u2715"},  {75, u"/"},       {76, u"\u2305"},  {78, u"\u2013"},  {81, u"="},
    {82, u"0"},       {83, u"1"},       {84, u"2"},       {85, u"3"},       {86, u"4"},
    {87, u"5"},       {88, u"6"},       {89, u"7"},       {91, u"8"},       {92, u"9"},
    {96, u"F5"},      {97, u"F6"},      {98, u"F7"},      {99, u"F3"},      {100, u"F8"},
    {101, u"F9"},     {103, u"F11"},    {105, u"F13"},    {106, u"F16"},    {107, u"F14"},
    {109, u"F10"},    {110, u"\u2630"}, {111, u"F12"},    {113, u"F15"},    {114, u"?"},
    {115, u"\u2196"}, {116, u"\u21DE"}, {117, u"\u2326"}, {118, u"F4"},     {119, u"\u2198"},
    {120, u"F2"},     {121, u"\u21DF"}, {122, u"F1"},     {123, u"\u2190"}, {124, u"\u2192"},
    {125, u"\u2193"}, {126, u"\u2191"},
};

// F1 to F20.
constexpr int functionKeys[] = {122, 120, 99,  118, 96,  97,  98, 100, 101, 109,
                                103, 111, 105, 107, 113, 106, 64, 79,  80,  90};

} // namespace

HotKeyField::HotKeyField(QWidget *parent) : QLineEdit(parent) {
    setAlignment(Qt::AlignCenter);
    // The text is only ever set by recording.
    setContextMenuPolicy(Qt::NoContextMenu);
    setAccessibleName(Strings::localized(QStringLiteral("Hot key")));
}

HotKeyField::~HotKeyField() {
    stopKeyMonitoringAndSaveToBinding();
    if (m_watchedWindow) m_watchedWindow->removeEventFilter(this);
    delete m_popover;
}

void HotKeyField::bind(const QString &key, Defaults *defaults) {
    m_key = key;
    m_defaults = defaults ? defaults : &Defaults::standard();
    connect(m_defaults, &Defaults::changed, this, [this](const QString &changed) {
        if (changed == m_key) setObjectValue(m_defaults->value(m_key));
    });
    setObjectValue(m_defaults->value(m_key));
}

bool HotKeyField::validate(std::uint32_t flags, int keyCode) {
    for (int f : functionKeys)
        if (f == keyCode) return true;
    if (flags == 0) return false;
    if (flags & (HotKeyCodes::Command | HotKeyCodes::Control)) return true;
    if (!(flags & HotKeyCodes::Option)) return false;
    return keyCode == 49 || keyCode == 53;
}

bool HotKeyField::validateInMenu(const QList<QAction *> &menu, std::uint32_t flags, int keyCode) {
    if (keyCode < 0) return false;
    const QKeyCombination wanted = HotKeyCodes::keyCombination(flags & HotKeyCodes::ModifierMask, keyCode);
    const Qt::KeyboardModifiers mask =
        Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
    for (QAction *action : menu) {
        if (!action) continue;
        if (QMenu *sub = action->menu())
            if (validateInMenu(sub->actions(), flags, keyCode)) return true;
        for (const QKeySequence &sequence : action->shortcuts()) {
            if (sequence.isEmpty()) continue;
            const QKeyCombination c = sequence[0];
            // Keypad or not is one key to a menu.
            if (c.key() == wanted.key() &&
                (c.keyboardModifiers() & mask) == (wanted.keyboardModifiers() & mask))
                return true;
        }
    }
    return false;
}

QString HotKeyField::modifiers(std::uint32_t flags) {
    QString s;
    if (flags & HotKeyCodes::Control) s += QChar(0x2303);
    if (flags & HotKeyCodes::Option) s += QChar(0x2325);
    if (flags & HotKeyCodes::Shift) s += QChar(0x21E7);
    if (flags & HotKeyCodes::Command) s += QChar(0x2318);
    return s;
}

QString HotKeyField::keyCodeString(int keyCode) {
    if (keyCode == 49) return Strings::localized(QStringLiteral("Space bar"));
    for (const FixedName &n : fixedNames)
        if (n.code == keyCode) return QString::fromUtf16(n.text);
    const std::uint32_t keysym = HotKeyCodes::keysymForKeyCode(keyCode);
    // The remaining keys of the table print one Latin-1 character, whose keysym is its code.
    if (keysym >= 0x20 && keysym <= 0xff) return QString(QChar(char16_t(keysym)));
    return QString();
}

QString HotKeyField::getRepresentation(std::uint32_t flags, int keyCode) {
    const QString key = keyCodeString(keyCode);
    if (key.isEmpty()) return QString();
    return modifiers(flags) + key.toUpper();
}

QString HotKeyField::warningText() {
    return Strings::localized(QStringLiteral("Shortcut used by another action"));
}

void HotKeyField::setObjectValue(const QVariant &value) {
    if (!m_defaultsValues.isEmpty()) return;
    std::uint32_t flags = 0;
    int code = 0;
    if (value.typeId() != QMetaType::QVariantList && value.typeId() != QMetaType::QStringList) return;
    if (!HotKeyWorker::parse(value, &flags, &code)) {
        setText(QString());
        return;
    }
    // The stored flags as recorded, device bits and all; only the four modifiers show.
    setText(getRepresentation(std::uint32_t(value.toList().first().toLongLong()), code));
}

bool HotKeyField::event(QEvent *event) {
    if (m_recording) {
        switch (event->type()) {
        case QEvent::ShortcutOverride:
            // No shortcut of the window fires while a combination is being recorded.
            event->accept();
            return true;
        case QEvent::KeyPress:
            keyDownMonitored(static_cast<QKeyEvent *>(event));
            return true;
        case QEvent::KeyRelease:
            return true;
        default:
            break;
        }
    }
    return QLineEdit::event(event);
}

void HotKeyField::focusInEvent(QFocusEvent *event) {
    QLineEdit::focusInEvent(event);
    m_recording = true;
    selectAll();
}

void HotKeyField::focusOutEvent(QFocusEvent *event) {
    stopKeyMonitoringAndSaveToBinding();
    QLineEdit::focusOutEvent(event);
}

void HotKeyField::changeEvent(QEvent *event) {
    QLineEdit::changeEvent(event);
    if (event->type() == QEvent::EnabledChange && !isEnabled()) stopKeyMonitoringAndSaveToBinding();
}

void HotKeyField::showEvent(QShowEvent *event) {
    QLineEdit::showEvent(event);
    watchWindow();
    watchWorker();
    // The stored combination could not be had: say so as soon as the field shows.
    if (HotKeyWorker *worker = HotKeyWorker::current(); worker && worker->taken())
        QTimer::singleShot(0, this, [this] {
            if (isVisible() && !m_recording) showToolTip();
        });
}

void HotKeyField::watchWorker() {
    HotKeyWorker *worker = HotKeyWorker::current();
    if (!worker || worker == m_watchedWorker) return;
    m_watchedWorker = worker;
    connect(worker, &HotKeyWorker::takenChanged, this, [this](bool taken) {
        if (taken && isVisible())
            showToolTip();
        else if (!taken)
            closeToolTip();
    });
}

void HotKeyField::watchWindow() {
    QWidget *w = window();
    if (!w || w == m_watchedWindow) return;
    if (m_watchedWindow) m_watchedWindow->removeEventFilter(this);
    m_watchedWindow = w;
    w->installEventFilter(this);
}

bool HotKeyField::eventFilter(QObject *watched, QEvent *event) {
    // The window going away ends the recording and stores it (at the latest when the settings
    // window closes).
    if (watched == m_watchedWindow && (event->type() == QEvent::Hide || event->type() == QEvent::Close))
        stopKeyMonitoringAndSaveToBinding();
    // The warning goes where the window goes.
    if (watched == m_watchedWindow && (event->type() == QEvent::Move || event->type() == QEvent::Resize) &&
        warningShown())
        placeToolTip();
    return QLineEdit::eventFilter(watched, event);
}

void HotKeyField::keyDownMonitored(QKeyEvent *event) {
    const std::uint32_t flags = HotKeyCodes::flagsFromQt(event->modifiers());
    int code = -1;
    if (QGuiApplication::platformName() == QLatin1String("xcb") && event->nativeScanCode())
        code = XKeyGrabber::keyCodeForXKeycode(event->nativeScanCode());
    if (code < 0) code = HotKeyCodes::keyCodeForQtKey(event->key(), event->modifiers() & Qt::KeypadModifier);
    if (!validate(flags, code)) return;
    closeToolTip();
    const QString representation = getRepresentation(flags, code);
    if (!representation.isEmpty()) {
        setText(representation);
        end(false);
        // Ends the recording: the combination recorded before this one, if any, is stored now.
        clearFocus();
        stopKeyMonitoringAndSaveToBinding();
        m_defaultsValues = QVariantList{qulonglong(flags), code};
    }
    bool taken = false;
    if (HotKeyWorker *worker = HotKeyWorker::current())
        if (KeyGrabber *grabber = worker->grabber()) taken = code >= 0 && grabber->heldElsewhere(flags, code);
    if (!taken) taken = validateInMenu(menus(), flags, code);
    if (taken) showToolTip();
}

QList<QAction *> HotKeyField::menus() const {
    if (m_menusSet) return m_menus;
    QList<QAction *> all;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *main = qobject_cast<QMainWindow *>(w))
            if (QMenuBar *bar = main->menuWidget() ? qobject_cast<QMenuBar *>(main->menuWidget()) : nullptr)
                all += bar->actions();
    return all;
}

void HotKeyField::stopKeyMonitoringAndSaveToBinding() {
    closeToolTip();
    m_recording = false;
    if (!m_defaultsValues.isEmpty() && m_defaults && !m_key.isEmpty())
        m_defaults->setValue(m_key, m_defaultsValues);
}

bool HotKeyField::warningShown() const { return m_popover && m_popover->isVisible(); }

void HotKeyField::showToolTip() {
    if (!m_popover) {
        m_popover = new QFrame(this, Qt::ToolTip);
        m_popover->setObjectName(QStringLiteral("hotKeyWarning"));
        m_popover->setWindowTitle(warningText());
        m_popover->setFrameShape(QFrame::StyledPanel);
        m_popover->setAutoFillBackground(true);
        auto *layout = new QHBoxLayout(m_popover);
        layout->setContentsMargins(10, 10, 10, 10);
        layout->setSpacing(10);
        auto *label = new QLabel(warningText(), m_popover);
        auto *icon = new QLabel(m_popover);
        const int h = label->sizeHint().height();
        icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(h, h));
        layout->addWidget(icon);
        layout->addWidget(label);
        m_popover->setAccessibleName(warningText());
    }
    m_popover->adjustSize();
    placeToolTip();
    m_popover->show();
}

void HotKeyField::placeToolTip() {
    if (!m_popover) return;
    // Beside the field's right edge, or below the field where the screen has no room beside it.
    QPoint at = mapToGlobal(QPoint(width() + 4, (height() - m_popover->height()) / 2));
    if (const QScreen *s = screen()) {
        const QRect area = s->availableGeometry();
        if (at.x() + m_popover->width() > area.right())
            at = mapToGlobal(QPoint(width() - m_popover->width(), height() + 4));
        at.setX(qMax(area.left(), at.x()));
    }
    m_popover->move(at);
}

void HotKeyField::closeToolTip() {
    if (m_popover) m_popover->hide();
}
