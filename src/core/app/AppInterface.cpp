#include "core/app/AppInterface.h"

namespace {
AppInterface *&installed() {
    static AppInterface *ui = nullptr;
    return ui;
}
} // namespace

void AppInterface::install(AppInterface *ui) { installed() = ui; }

AppInterface *AppInterface::current() {
    static AppInterface none;
    AppInterface *ui = installed();
    return ui ? ui : &none;
}
