#pragma once

#include <functional>
#include <optional>

// Seconds since the last input event of any kind. Read from the X screensaver extension when
// it is built in and a display is there; unknown (nullopt) otherwise, e.g. under Wayland.
class IdleTime {
public:
    static std::optional<double> secondsSinceLastInput();
    // Tests inject their own source; an empty function restores the system's.
    static void setSource(std::function<std::optional<double>()> source);
};
