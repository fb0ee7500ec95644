#pragma once

#include <QString>

// User-visible texts are looked up by table and English key; the English text is the default
// when a table has no entry (there are no translations yet).
class Strings {
public:
    static QString localized(const QString &table, const QString &key);
};
