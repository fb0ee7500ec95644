#include "platform/strings/Strings.h"

QString Strings::localized(const QString &table, const QString &key) {
    Q_UNUSED(table);
    return key;
}
