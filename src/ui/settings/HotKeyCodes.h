#pragma once

#include <QKeyCombination>
#include <Qt>

#include <cstdint>

// The stored form of a hot key, "hotKey" = [modifier flags, key code], keeps the codes settings
// files of this messenger have always held: the modifier bits Shift 0x20000, Control 0x40000,
// Option 0x80000 and Command 0x100000, and the virtual key codes of the Apple ANSI keyboard
// (1 is the S key). This table translates them to and from what an X server and Qt know.
class HotKeyCodes {
public:
    static constexpr std::uint32_t Shift = 0x20000;
    static constexpr std::uint32_t Control = 0x40000;
    static constexpr std::uint32_t Option = 0x80000;
    static constexpr std::uint32_t Command = 0x100000;
    static constexpr std::uint32_t ModifierMask = Shift | Control | Option | Command;

    // The keysym of a key code (lower-case letters, unshifted symbols), or 0 when the code has
    // none here.
    static std::uint32_t keysymForKeyCode(int keyCode);
    // The key code of a keysym (upper- and lower-case letters alike, and the keysyms of the same
    // key such as Insert and Help), or -1.
    static int keyCodeForKeysym(std::uint32_t keysym);
    // The key code of a Qt key (Qt::KeypadModifier picks the keypad's keys), or -1.
    static int keyCodeForQtKey(int qtKey, bool keypad);
    // The Qt key of a key code (Qt::Key_unknown for none) and whether it is on the keypad.
    static int qtKeyForKeyCode(int keyCode, bool *keypad = nullptr);

    // Modifier bits of the stored form from Qt's modifiers (Alt is Option, Meta is Command), and
    // back (only the four bits count).
    static std::uint32_t flagsFromQt(Qt::KeyboardModifiers modifiers);
    static Qt::KeyboardModifiers qtModifiers(std::uint32_t flags);
    // The X modifier mask of the four bits (Shift, Control, Mod1 for Option, Mod4 for Command).
    static std::uint16_t xModifiers(std::uint32_t flags);

    // The combination Qt would report for the stored form, for comparing with menu shortcuts.
    static QKeyCombination keyCombination(std::uint32_t flags, int keyCode);
};
