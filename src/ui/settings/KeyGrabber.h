#pragma once

#include <cstdint>
#include <functional>

// Something that holds one global key combination for the program and says when it is pressed:
// the X server's key grab, or a stand-in in tests. Combinations are in the stored form of
// "hotKey" (modifier bits and key code, see HotKeyCodes).
class KeyGrabber {
public:
    virtual ~KeyGrabber() = default;

    // Takes the combination, in place of any held before. False when it cannot be had (another
    // program holds it, or the keyboard has no such key); then nothing is held.
    virtual bool grab(std::uint32_t flags, int keyCode) = 0;
    // Lets go of what is held, if anything.
    virtual void ungrab() = 0;
    // Whether another program holds the combination, so that the program could not have it.
    virtual bool heldElsewhere(std::uint32_t flags, int keyCode) {
        (void)flags;
        (void)keyCode;
        return false;
    }

    // Run on every press of the held combination (key releases and auto-repeat are not presses).
    std::function<void()> onPressed;
};
