#include "platform/store/StoreError.h"

#include <sqlite3.h>

bool StoreError::isCorrupt() const { return code == SQLITE_CORRUPT || code == SQLITE_NOTADB; }
