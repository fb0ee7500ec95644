#pragma once

// Points HOME and the XDG folders of the process at a temporary folder, so that no test reads or
// writes the real user's settings, store or single-instance lock.
#include <QTemporaryDir>

#include <cstdlib>

inline bool usePrivateFolders(const QTemporaryDir &home) {
    if (!home.isValid()) return false;
    const QByteArray root = home.path().toLocal8Bit();
    setenv("HOME", root.constData(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/config").constData(), 1);
    setenv("XDG_DATA_HOME", (root + "/data").constData(), 1);
    setenv("XDG_RUNTIME_DIR", (root + "/run").constData(), 1);
    return true;
}
