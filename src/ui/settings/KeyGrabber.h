#pragma once

#include <QString>

#include <cstdint>
#include <functional>

// Something that holds one global key combination for the program and says when it is pressed:
// the X server's key grab, the desktop's shortcuts portal, or a stand-in in tests. Combinations
// are in the stored form of "hotKey" (modifier bits and key code, see HotKeyCodes).
class KeyGrabber {
public:
    virtual ~KeyGrabber() = default;

    // Takes the combination, in place of any held before. False when it cannot be had (another
    // program holds it, or the keyboard has no such key); then nothing is held. A grabber whose
    // desktop answers later returns true once it has asked, and reports the answer through
    // onAnswered.
    virtual bool grab(std::uint32_t flags, int keyCode) = 0;
    // Lets go of what is held, if anything.
    virtual void ungrab() = 0;
    // Whether another program holds the combination, so that the program could not have it.
    virtual bool heldElsewhere(std::uint32_t flags, int keyCode) {
        (void)flags;
        (void)keyCode;
        return false;
    }
    // Whether the desktop decides on the key itself (and may refuse it for its own reasons, or
    // ask the user), rather than another program holding it.
    virtual bool decidesItself() const { return false; }
    // Where the desktop chooses the final key itself: its description of the key it chose, when
    // that is not the combination asked for; otherwise empty.
    virtual QString triggerDescription() const { return {}; }

    // Run on every press of the held combination (key releases and auto-repeat are not presses).
    std::function<void()> onPressed;
    // The desktop's later answer to the last grab that returned true: held, or refused (or taken
    // back afterwards), in which case nothing is held any more.
    std::function<void(bool held)> onAnswered;
    // The description of triggerDescription() changed.
    std::function<void()> onTriggerChanged;
};
