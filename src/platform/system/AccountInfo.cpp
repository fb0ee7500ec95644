#include "platform/system/AccountInfo.h"

#include <QByteArray>

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

QString AccountInfo::fullNameFromGecos(const QByteArray &gecos) {
    const qsizetype comma = gecos.indexOf(',');
    return QString::fromLocal8Bit(comma < 0 ? gecos : gecos.left(comma)).trimmed();
}

AccountInfo AccountInfo::current() {
    AccountInfo info;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    if (size <= 0) size = 16384;
    std::vector<char> buffer(static_cast<std::size_t>(size));
    passwd record{};
    passwd *found = nullptr;
    int rc = 0;
    // The buffer grows on ERANGE, up to a bound: a record never needs a megabyte.
    while ((rc = getpwuid_r(getuid(), &record, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (rc != 0 || !found) return info;
    if (record.pw_name) info.loginName = QString::fromLocal8Bit(record.pw_name);
    if (record.pw_gecos) info.fullName = fullNameFromGecos(QByteArray(record.pw_gecos));
    if (record.pw_dir) info.homeDirectory = QString::fromLocal8Bit(record.pw_dir);
    return info;
}
