#include "ui/settings/XKeyGrabber.h"

#include "ui/settings/HotKeyCodes.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <xcb/xcb.h>

#include <cstdlib>

namespace {

xcb_connection_t *xcb(void *c) { return static_cast<xcb_connection_t *>(c); }
Display *xlib(void *d) { return static_cast<Display *>(d); }

QNativeInterface::QX11Application *x11() {
    if (!qGuiApp || QGuiApplication::platformName() != QLatin1String("xcb")) return nullptr;
    return qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
}

// The modifier bit (1 << row) whose row of the modifier map holds the key of a keysym; 0 when
// the server has none.
std::uint16_t maskOf(Display *display, KeySym keysym) {
    const KeyCode code = XKeysymToKeycode(display, keysym);
    if (!code) return 0;
    XModifierKeymap *map = XGetModifierMapping(display);
    if (!map) return 0;
    std::uint16_t mask = 0;
    for (int row = 0; row < 8 && !mask; ++row)
        for (int k = 0; k < map->max_keypermod; ++k)
            if (map->modifiermap[row * map->max_keypermod + k] == code) {
                mask = std::uint16_t(1u << row);
                break;
            }
    XFreeModifiermap(map);
    return mask;
}

} // namespace

std::unique_ptr<XKeyGrabber> XKeyGrabber::create() {
    QNativeInterface::QX11Application *x = x11();
    if (!x || !x->connection() || !x->display()) return nullptr;
    xcb_connection_t *c = x->connection();
    const xcb_setup_t *setup = xcb_get_setup(c);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
    // The default screen's root: Qt opens the display's default screen.
    for (int i = DefaultScreen(x->display()); i > 0 && it.rem; --i) xcb_screen_next(&it);
    if (!it.rem) return nullptr;
    std::unique_ptr<XKeyGrabber> g(new XKeyGrabber(c, x->display(), it.data->root));
    return g;
}

XKeyGrabber::XKeyGrabber(void *connection, void *display, std::uint32_t root)
    : m_connection(connection), m_display(display), m_root(root) {
    readLockMasks();
    QCoreApplication::instance()->installNativeEventFilter(this);
}

XKeyGrabber::~XKeyGrabber() {
    ungrab();
    if (QCoreApplication::instance()) QCoreApplication::instance()->removeNativeEventFilter(this);
}

void XKeyGrabber::readLockMasks() {
    m_numLock = maskOf(xlib(m_display), XK_Num_Lock);
    m_scrollLock = maskOf(xlib(m_display), XK_Scroll_Lock);
}

std::uint8_t XKeyGrabber::xKeycode(int keyCode) const {
    const std::uint32_t keysym = HotKeyCodes::keysymForKeyCode(keyCode);
    if (!keysym) return 0;
    return XKeysymToKeycode(xlib(m_display), keysym);
}

int XKeyGrabber::keyCodeForXKeycode(std::uint32_t xKeycode) {
    QNativeInterface::QX11Application *x = x11();
    if (!x || !x->display() || xKeycode < 8 || xKeycode > 255) return -1;
    // The key's first keysym in the first group: what the key gives without modifiers.
    const KeySym keysym = XkbKeycodeToKeysym(x->display(), KeyCode(xKeycode), 0, 0);
    return keysym == NoSymbol ? -1 : HotKeyCodes::keyCodeForKeysym(std::uint32_t(keysym));
}

bool XKeyGrabber::grabVariants(std::uint8_t keycode, std::uint16_t modifiers) {
    const std::uint16_t locks[] = {0, XCB_MOD_MASK_LOCK, m_numLock, m_scrollLock};
    // Every subset of the three locks; a lock the server does not map (mask 0) adds nothing new.
    std::uint16_t variants[8];
    int count = 0;
    for (int set = 0; set < 8; ++set) {
        std::uint16_t m = modifiers;
        for (int bit = 0; bit < 3; ++bit)
            if (set & (1 << bit)) m |= locks[bit + 1];
        bool seen = false;
        for (int i = 0; i < count; ++i) seen |= variants[i] == m;
        if (!seen) variants[count++] = m;
    }
    xcb_void_cookie_t cookies[8];
    for (int i = 0; i < count; ++i)
        cookies[i] = xcb_grab_key_checked(xcb(m_connection), 1, m_root, variants[i], keycode,
                                          XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    bool ok = true;
    bool took[8] = {};
    for (int i = 0; i < count; ++i) {
        // BadAccess: another client holds this variant.
        if (xcb_generic_error_t *error = xcb_request_check(xcb(m_connection), cookies[i])) {
            std::free(error);
            ok = false;
        } else {
            took[i] = true;
        }
    }
    if (!ok) {
        // Nothing half held: the variants that were granted go back.
        for (int i = 0; i < count; ++i)
            if (took[i]) xcb_ungrab_key(xcb(m_connection), keycode, m_root, variants[i]);
        xcb_flush(xcb(m_connection));
    }
    return ok;
}

void XKeyGrabber::ungrabVariants(std::uint8_t keycode, std::uint16_t modifiers) {
    const std::uint16_t locks[] = {XCB_MOD_MASK_LOCK, m_numLock, m_scrollLock};
    for (int set = 0; set < 8; ++set) {
        std::uint16_t m = modifiers;
        for (int bit = 0; bit < 3; ++bit)
            if (set & (1 << bit)) m |= locks[bit];
        xcb_ungrab_key(xcb(m_connection), keycode, m_root, m);
    }
    xcb_flush(xcb(m_connection));
}

bool XKeyGrabber::grab(std::uint32_t flags, int keyCode) {
    ungrab();
    const std::uint8_t keycode = xKeycode(keyCode);
    if (!keycode) return false;
    // The lock keys may have been remapped since the last grab.
    readLockMasks();
    const std::uint16_t modifiers = HotKeyCodes::xModifiers(flags);
    if (!grabVariants(keycode, modifiers)) return false;
    m_keycode = keycode;
    m_modifiers = modifiers;
    m_held = true;
    m_down = false;
    return true;
}

void XKeyGrabber::ungrab() {
    if (!m_held) return;
    ungrabVariants(m_keycode, m_modifiers);
    m_held = false;
    m_down = false;
}

bool XKeyGrabber::heldElsewhere(std::uint32_t flags, int keyCode) {
    const std::uint8_t keycode = xKeycode(keyCode);
    if (!keycode) return false;
    const std::uint16_t modifiers = HotKeyCodes::xModifiers(flags);
    // Our own grab: a second grab by this client would succeed and the ungrab would drop it.
    if (m_held && keycode == m_keycode && modifiers == m_modifiers) return false;
    if (!grabVariants(keycode, modifiers)) return true;
    ungrabVariants(keycode, modifiers);
    return false;
}

bool XKeyGrabber::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) {
    (void)result;
    if (!m_held || eventType != "xcb_generic_event_t") return false;
    auto *event = static_cast<xcb_generic_event_t *>(message);
    const std::uint8_t type = event->response_type & 0x7f;
    if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE) return false;
    auto *key = reinterpret_cast<xcb_key_press_event_t *>(event);
    if (key->detail != m_keycode) return false;
    if (type == XCB_KEY_RELEASE) {
        // The key itself let go, wherever it is reported and whichever modifiers were let go
        // before it.
        m_down = false;
        m_lastRelease = key->time;
        return false;
    }
    const std::uint16_t ignored = XCB_MOD_MASK_LOCK | m_numLock | m_scrollLock;
    if (key->event != m_root || (key->state & 0xff & ~ignored) != m_modifiers) return false;
    // Auto-repeat: a press while the key is down (detectable auto-repeat), or a press with the
    // time of the release just before it (the server's release and press pairs).
    const bool repeat = m_down || (m_lastRelease != 0 && key->time == m_lastRelease);
    m_down = true;
    if (!repeat && onPressed) onPressed();
    // Not consumed: Qt takes the press's time as the user's last action, which lets the window
    // manager bring our window forward.
    return false;
}
