#pragma once

#include <QByteArray>
#include <QString>

// What this computer says about itself: the distribution's name and version (os-release) and
// the host name.
class SystemIdentity {
public:
    // "<NAME> <VERSION_ID> (<VERSION_CODENAME or Linux>)" from /etc/os-release (or
    // /usr/lib/os-release). The version is followed by a blank and a note, as peers expect of a
    // system version text. "Linux" when neither file can be read.
    static QString versionText();
    // The same from the contents of an os-release file.
    static QString versionTextFromOsRelease(const QByteArray &contents);
    // The host name up to its first dot; "localhost" when the system gives none.
    static QString shortHostName();
};
