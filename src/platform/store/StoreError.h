#pragma once

#include <QString>

// Why the store could not be opened or saved. `code` is the primary SQLite result code
// (SQLITE_CORRUPT, SQLITE_NOTADB, SQLITE_CANTOPEN, ...) so callers can tell a damaged file
// from other trouble; codes of our own are listed below.
struct StoreError {
    // Our own codes, above every SQLite code (extended codes included).
    static constexpr int FirstOwnCode = 100000;
    static constexpr int NotOpen = 100001;        // the context has no store
    static constexpr int SchemaTooNew = 100002;   // written by a later schema we cannot read
    static constexpr int SchemaMismatch = 100003; // same version, but tables or columns are missing
    static constexpr int NoSuchEntity = 100004;   // the model has no such (concrete) entity

    int code = 0; // 0 (SQLITE_OK) when there is no error
    int extendedCode = 0;
    QString message;

    bool isError() const { return code != 0; }
    // The file is damaged or not a database at all: the caller may give it up and start empty.
    bool isCorrupt() const;
};
