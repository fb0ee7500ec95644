#pragma once

#include <QString>

class QWidget;

// Writes what a window shows as a PNG into the build's screenshots/ folder, named after the
// window and its state ("main-window-busy.png"), so anyone can look at what a user sees.
class Screenshots {
public:
    static QString folder();
    // The path written, or empty when it could not be written.
    static QString save(QWidget *window, const QString &windowName, const QString &state);
};
