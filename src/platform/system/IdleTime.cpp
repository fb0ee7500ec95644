#include "platform/system/IdleTime.h"

#include <cstdlib>

#ifdef MURNAVELL_HAVE_XSS
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
#endif

namespace {

std::function<std::optional<double>()> &injected() {
    static std::function<std::optional<double>()> source;
    return source;
}

#ifdef MURNAVELL_HAVE_XSS
// One connection for the run: the check runs every second, and opening a display each time
// would cost a round trip to the server and a descriptor churn. Main thread only.
struct XState {
    Display *display = nullptr;
    bool tried = false;
    bool available = false;
    XScreenSaverInfo *info = nullptr;
};

XState &xstate() {
    static XState state;
    return state;
}

std::optional<double> fromX11() {
    XState &x = xstate();
    if (!x.tried) {
        x.tried = true;
        const char *name = std::getenv("DISPLAY");
        if (name && *name) x.display = XOpenDisplay(nullptr);
        int eventBase = 0;
        int errorBase = 0;
        if (x.display && XScreenSaverQueryExtension(x.display, &eventBase, &errorBase)) {
            x.info = XScreenSaverAllocInfo();
            x.available = x.info != nullptr;
        }
    }
    if (!x.available) return std::nullopt;
    if (!XScreenSaverQueryInfo(x.display, DefaultRootWindow(x.display), x.info)) return std::nullopt;
    return double(x.info->idle) / 1000.0;
}
#endif

} // namespace

std::optional<double> IdleTime::secondsSinceLastInput() {
    if (injected()) return injected()();
#ifdef MURNAVELL_HAVE_XSS
    return fromX11();
#else
    return std::nullopt;
#endif
}

void IdleTime::setSource(std::function<std::optional<double>()> source) { injected() = std::move(source); }
