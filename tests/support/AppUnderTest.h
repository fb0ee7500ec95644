#pragma once

// What end-to-end tests of the application itself share: the programs the build names (empty
// when it named none) and a read of a copy's store beside the running program.
#include <QFile>
#include <QString>
#include <sqlite3.h>

#ifndef MURNAVELL_APP
#define MURNAVELL_APP ""
#endif
#ifndef MURNAVELL_SCREENGRAB
#define MURNAVELL_SCREENGRAB ""
#endif
#ifndef MURNAVELL_SCREENSHOT_DIR
#define MURNAVELL_SCREENSHOT_DIR ""
#endif

// One value (or "" when none) of a query on a store, opened read-only beside a running writer.
inline QString queryStore(const QString &path, const QString &sql) {
    sqlite3 *db = nullptr;
    QString result;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
        sqlite3_busy_timeout(db, 2000);
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &stmt, nullptr) == SQLITE_OK) {
            if (sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0))
                result = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)));
            sqlite3_finalize(stmt);
        }
    }
    sqlite3_close(db);
    return result;
}
