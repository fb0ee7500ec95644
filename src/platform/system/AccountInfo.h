#pragma once

#include <QString>

// The running user's account record (getpwuid_r): login name, full name from the first GECOS
// field, home folder. A plain Linux account has no directory id, so nothing here can serve as
// a user id.
class AccountInfo {
public:
    QString loginName;
    QString fullName;
    QString homeDirectory;

    // The record of the process's real user id; empty members when there is none.
    static AccountInfo current();
    // The full name of a GECOS text: its first comma-separated field, trimmed.
    static QString fullNameFromGecos(const QByteArray &gecos);
};
