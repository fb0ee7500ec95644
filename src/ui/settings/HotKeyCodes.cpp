#include "ui/settings/HotKeyCodes.h"

#include <X11/keysym.h>

#include <iterator>

namespace {

struct Key {
    int code;             // the stored key code
    std::uint32_t keysym; // its X keysym (unshifted)
    int qtKey;            // what Qt reports for it
    bool keypad;          // Qt reports it with Qt::KeypadModifier
};

// The first row of a code gives its keysym and Qt key; later rows of the same code are other
// names of the same key (shifted symbols as a US layout makes them, a PC keyboard's names).
constexpr Key keys[] = {
    {0, XK_a, Qt::Key_A, false},
    {1, XK_s, Qt::Key_S, false},
    {2, XK_d, Qt::Key_D, false},
    {3, XK_f, Qt::Key_F, false},
    {4, XK_h, Qt::Key_H, false},
    {5, XK_g, Qt::Key_G, false},
    {6, XK_z, Qt::Key_Z, false},
    {7, XK_x, Qt::Key_X, false},
    {8, XK_c, Qt::Key_C, false},
    {9, XK_v, Qt::Key_V, false},
    {11, XK_b, Qt::Key_B, false},
    {12, XK_q, Qt::Key_Q, false},
    {13, XK_w, Qt::Key_W, false},
    {14, XK_e, Qt::Key_E, false},
    {15, XK_r, Qt::Key_R, false},
    {16, XK_y, Qt::Key_Y, false},
    {17, XK_t, Qt::Key_T, false},
    {18, XK_1, Qt::Key_1, false},
    {19, XK_2, Qt::Key_2, false},
    {20, XK_3, Qt::Key_3, false},
    {21, XK_4, Qt::Key_4, false},
    {22, XK_6, Qt::Key_6, false},
    {23, XK_5, Qt::Key_5, false},
    {24, XK_equal, Qt::Key_Equal, false},
    {25, XK_9, Qt::Key_9, false},
    {26, XK_7, Qt::Key_7, false},
    {27, XK_minus, Qt::Key_Minus, false},
    {28, XK_8, Qt::Key_8, false},
    {29, XK_0, Qt::Key_0, false},
    {30, XK_bracketright, Qt::Key_BracketRight, false},
    {31, XK_o, Qt::Key_O, false},
    {32, XK_u, Qt::Key_U, false},
    {33, XK_bracketleft, Qt::Key_BracketLeft, false},
    {34, XK_i, Qt::Key_I, false},
    {35, XK_p, Qt::Key_P, false},
    {36, XK_Return, Qt::Key_Return, false},
    {37, XK_l, Qt::Key_L, false},
    {38, XK_j, Qt::Key_J, false},
    {39, XK_apostrophe, Qt::Key_Apostrophe, false},
    {40, XK_k, Qt::Key_K, false},
    {41, XK_semicolon, Qt::Key_Semicolon, false},
    {42, XK_backslash, Qt::Key_Backslash, false},
    {43, XK_comma, Qt::Key_Comma, false},
    {44, XK_slash, Qt::Key_Slash, false},
    {45, XK_n, Qt::Key_N, false},
    {46, XK_m, Qt::Key_M, false},
    {47, XK_period, Qt::Key_Period, false},
    {48, XK_Tab, Qt::Key_Tab, false},
    {49, XK_space, Qt::Key_Space, false},
    {50, XK_grave, Qt::Key_QuoteLeft, false},
    {51, XK_BackSpace, Qt::Key_Backspace, false},
    {53, XK_Escape, Qt::Key_Escape, false},
    {64, XK_F17, Qt::Key_F17, false},
    {65, XK_KP_Decimal, Qt::Key_Period, true},
    {67, XK_KP_Multiply, Qt::Key_Asterisk, true},
    {69, XK_KP_Add, Qt::Key_Plus, true},
    {71, XK_Clear, Qt::Key_Clear, false},
    {75, XK_KP_Divide, Qt::Key_Slash, true},
    {76, XK_KP_Enter, Qt::Key_Enter, true},
    {78, XK_KP_Subtract, Qt::Key_Minus, true},
    {79, XK_F18, Qt::Key_F18, false},
    {80, XK_F19, Qt::Key_F19, false},
    {81, XK_KP_Equal, Qt::Key_Equal, true},
    {82, XK_KP_0, Qt::Key_0, true},
    {83, XK_KP_1, Qt::Key_1, true},
    {84, XK_KP_2, Qt::Key_2, true},
    {85, XK_KP_3, Qt::Key_3, true},
    {86, XK_KP_4, Qt::Key_4, true},
    {87, XK_KP_5, Qt::Key_5, true},
    {88, XK_KP_6, Qt::Key_6, true},
    {89, XK_KP_7, Qt::Key_7, true},
    {90, XK_F20, Qt::Key_F20, false},
    {91, XK_KP_8, Qt::Key_8, true},
    {92, XK_KP_9, Qt::Key_9, true},
    {96, XK_F5, Qt::Key_F5, false},
    {97, XK_F6, Qt::Key_F6, false},
    {98, XK_F7, Qt::Key_F7, false},
    {99, XK_F3, Qt::Key_F3, false},
    {100, XK_F8, Qt::Key_F8, false},
    {101, XK_F9, Qt::Key_F9, false},
    {103, XK_F11, Qt::Key_F11, false},
    {105, XK_F13, Qt::Key_F13, false},
    {106, XK_F16, Qt::Key_F16, false},
    {107, XK_F14, Qt::Key_F14, false},
    {109, XK_F10, Qt::Key_F10, false},
    {110, XK_Menu, Qt::Key_Menu, false},
    {111, XK_F12, Qt::Key_F12, false},
    {113, XK_F15, Qt::Key_F15, false},
    {114, XK_Insert, Qt::Key_Insert, false},
    {115, XK_Home, Qt::Key_Home, false},
    {116, XK_Prior, Qt::Key_PageUp, false},
    {117, XK_Delete, Qt::Key_Delete, false},
    {118, XK_F4, Qt::Key_F4, false},
    {119, XK_End, Qt::Key_End, false},
    {120, XK_F2, Qt::Key_F2, false},
    {121, XK_Next, Qt::Key_PageDown, false},
    {122, XK_F1, Qt::Key_F1, false},
    {123, XK_Left, Qt::Key_Left, false},
    {124, XK_Right, Qt::Key_Right, false},
    {125, XK_Down, Qt::Key_Down, false},
    {126, XK_Up, Qt::Key_Up, false},
    // Other names of the keys above.
    {114, XK_Help, Qt::Key_Help, false},
    {48, XK_ISO_Left_Tab, Qt::Key_Backtab, false},
    {18, XK_exclam, Qt::Key_Exclam, false},
    {19, XK_at, Qt::Key_At, false},
    {20, XK_numbersign, Qt::Key_NumberSign, false},
    {21, XK_dollar, Qt::Key_Dollar, false},
    {23, XK_percent, Qt::Key_Percent, false},
    {22, XK_asciicircum, Qt::Key_AsciiCircum, false},
    {26, XK_ampersand, Qt::Key_Ampersand, false},
    {28, XK_asterisk, Qt::Key_Asterisk, false},
    {25, XK_parenleft, Qt::Key_ParenLeft, false},
    {29, XK_parenright, Qt::Key_ParenRight, false},
    {27, XK_underscore, Qt::Key_Underscore, false},
    {24, XK_plus, Qt::Key_Plus, false},
    {30, XK_braceright, Qt::Key_BraceRight, false},
    {33, XK_braceleft, Qt::Key_BraceLeft, false},
    {39, XK_quotedbl, Qt::Key_QuoteDbl, false},
    {41, XK_colon, Qt::Key_Colon, false},
    {42, XK_bar, Qt::Key_Bar, false},
    {43, XK_less, Qt::Key_Less, false},
    {44, XK_question, Qt::Key_Question, false},
    {47, XK_greater, Qt::Key_Greater, false},
    {50, XK_asciitilde, Qt::Key_AsciiTilde, false},
    {76, XK_Return, Qt::Key_Return, true},
};

const Key *byCode(int code) {
    for (const Key &k : keys)
        if (k.code == code) return &k;
    return nullptr;
}

} // namespace

std::uint32_t HotKeyCodes::keysymForKeyCode(int keyCode) {
    const Key *k = byCode(keyCode);
    return k ? k->keysym : 0;
}

int HotKeyCodes::keyCodeForKeysym(std::uint32_t keysym) {
    // Upper-case Latin letters are the same keys as their lower case.
    if (keysym >= XK_A && keysym <= XK_Z) keysym += XK_a - XK_A;
    for (const Key &k : keys)
        if (k.keysym == keysym) return k.code;
    return -1;
}

int HotKeyCodes::keyCodeForQtKey(int qtKey, bool keypad) {
    for (const Key &k : keys)
        if (k.qtKey == qtKey && k.keypad == keypad) return k.code;
    // A keypad key Qt did not mark, or a main key it did (layouts differ): take the other one.
    for (const Key &k : keys)
        if (k.qtKey == qtKey) return k.code;
    return -1;
}

int HotKeyCodes::qtKeyForKeyCode(int keyCode, bool *keypad) {
    const Key *k = byCode(keyCode);
    if (keypad) *keypad = k && k->keypad;
    return k ? k->qtKey : int(Qt::Key_unknown);
}

std::uint32_t HotKeyCodes::flagsFromQt(Qt::KeyboardModifiers modifiers) {
    std::uint32_t flags = 0;
    if (modifiers & Qt::ShiftModifier) flags |= Shift;
    if (modifiers & Qt::ControlModifier) flags |= Control;
    if (modifiers & Qt::AltModifier) flags |= Option;
    if (modifiers & Qt::MetaModifier) flags |= Command;
    return flags;
}

Qt::KeyboardModifiers HotKeyCodes::qtModifiers(std::uint32_t flags) {
    Qt::KeyboardModifiers m;
    if (flags & Shift) m |= Qt::ShiftModifier;
    if (flags & Control) m |= Qt::ControlModifier;
    if (flags & Option) m |= Qt::AltModifier;
    if (flags & Command) m |= Qt::MetaModifier;
    return m;
}

std::uint16_t HotKeyCodes::xModifiers(std::uint32_t flags) {
    // ShiftMask 1, ControlMask 4, Mod1Mask 8, Mod4Mask 64 (X.h), kept literal so that this file
    // needs no Xlib header beyond the keysyms.
    std::uint16_t mask = 0;
    if (flags & Shift) mask |= 1;
    if (flags & Control) mask |= 4;
    if (flags & Option) mask |= 8;
    if (flags & Command) mask |= 64;
    return mask;
}

QKeyCombination HotKeyCodes::keyCombination(std::uint32_t flags, int keyCode) {
    bool keypad = false;
    const int key = qtKeyForKeyCode(keyCode, &keypad);
    Qt::KeyboardModifiers m = qtModifiers(flags);
    if (keypad) m |= Qt::KeypadModifier;
    return QKeyCombination(m, Qt::Key(key));
}
