#pragma once

#include "ui/settings/KeyGrabber.h"

#include <QAbstractNativeEventFilter>

#include <cstdint>
#include <memory>

// The global key on an X display: XGrabKey on the root window for the combination with every
// NumLock, CapsLock and ScrollLock state, and a native event filter that hears the presses.
// Owned by the hot-key worker; it installs its filter on the application while it lives.
class XKeyGrabber : public KeyGrabber, public QAbstractNativeEventFilter {
public:
    // A grabber for the application's X display, or null when it does not run on X.
    static std::unique_ptr<XKeyGrabber> create();
    ~XKeyGrabber() override;

    bool grab(std::uint32_t flags, int keyCode) override;
    void ungrab() override;
    bool heldElsewhere(std::uint32_t flags, int keyCode) override;

    // The key code of the stored form for an X key code, from the key's unshifted keysym in the
    // current layout; -1 when the table has none. Without an X display, -1.
    static int keyCodeForXKeycode(std::uint32_t xKeycode);

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

private:
    XKeyGrabber(void *connection, void *display, std::uint32_t root);
    // The X key code of a stored key code (0 when the layout has no such key).
    std::uint8_t xKeycode(int keyCode) const;
    // The lock masks (NumLock and ScrollLock as the server maps them, and CapsLock).
    void readLockMasks();
    // Grabs every lock variant; on a failure ungrabs those it took. False when any failed.
    bool grabVariants(std::uint8_t keycode, std::uint16_t modifiers);
    void ungrabVariants(std::uint8_t keycode, std::uint16_t modifiers);

    void *m_connection;
    void *m_display;
    std::uint32_t m_root;
    std::uint16_t m_numLock = 0, m_scrollLock = 0;
    std::uint8_t m_keycode = 0;
    std::uint16_t m_modifiers = 0;
    bool m_held = false;
    bool m_down = false;
    std::uint32_t m_lastRelease = 0;
};
