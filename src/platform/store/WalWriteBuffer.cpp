#include "platform/store/WalWriteBuffer.h"

#include <sqlite3.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

// About thirty pages: a save that writes more leaves in pieces of this size. The default layer
// writes at most 128 KiB - 1 in one call (it masks larger sizes), so a piece stays below that.
constexpr sqlite3_int64 kCapacity = 124 * 1024;

std::atomic<long> g_gathered{0};
std::atomic<long> g_issued{0};

sqlite3_vfs *g_real = nullptr;

// The file as SQLite sees it; the default layer's own file follows it in the same allocation.
struct BufferedFile {
    sqlite3_file base;
    sqlite3_file *real;
    bool log;            // a write-ahead log: its writes are gathered
    char *data;          // gathered bytes, for the file from `start` on
    sqlite3_int64 start; // file offset of data[0]
    sqlite3_int64 size;  // bytes gathered
};

BufferedFile *self(sqlite3_file *file) { return reinterpret_cast<BufferedFile *>(file); }
sqlite3_file *real(sqlite3_file *file) { return self(file)->real; }

int flush(BufferedFile *f) {
    if (f->size == 0) return SQLITE_OK;
    const int n = int(f->size);
    f->size = 0;
    g_issued.fetch_add(1, std::memory_order_relaxed);
    return f->real->pMethods->xWrite(f->real, f->data, n, f->start);
}

int xClose(sqlite3_file *file) {
    BufferedFile *f = self(file);
    const int flushed = flush(f);
    const int rc = f->real->pMethods ? f->real->pMethods->xClose(f->real) : SQLITE_OK;
    std::free(f->data);
    f->data = nullptr;
    return flushed != SQLITE_OK ? flushed : rc;
}

int xRead(sqlite3_file *file, void *buffer, int amount, sqlite3_int64 offset) {
    if (const int rc = flush(self(file)); rc != SQLITE_OK) return rc;
    return real(file)->pMethods->xRead(real(file), buffer, amount, offset);
}

int xWrite(sqlite3_file *file, const void *buffer, int amount, sqlite3_int64 offset) {
    BufferedFile *f = self(file);
    if (!f->log) return f->real->pMethods->xWrite(f->real, buffer, amount, offset);
    g_gathered.fetch_add(1, std::memory_order_relaxed);
    // Only a write that continues the gathered bytes joins them; any other goes after them, in
    // the order SQLite issued both.
    if (f->size > 0 && (offset != f->start + f->size || f->size + amount > kCapacity)) {
        if (const int rc = flush(f); rc != SQLITE_OK) return rc;
    }
    if (amount > kCapacity ||
        (!f->data && !(f->data = static_cast<char *>(std::malloc(size_t(kCapacity)))))) {
        g_issued.fetch_add(1, std::memory_order_relaxed);
        return f->real->pMethods->xWrite(f->real, buffer, amount, offset);
    }
    if (f->size == 0) f->start = offset;
    std::memcpy(f->data + f->size, buffer, size_t(amount));
    f->size += amount;
    return SQLITE_OK;
}

int xTruncate(sqlite3_file *file, sqlite3_int64 size) {
    if (const int rc = flush(self(file)); rc != SQLITE_OK) return rc;
    return real(file)->pMethods->xTruncate(real(file), size);
}

int xSync(sqlite3_file *file, int flags) {
    if (const int rc = flush(self(file)); rc != SQLITE_OK) return rc;
    return real(file)->pMethods->xSync(real(file), flags);
}

int xFileSize(sqlite3_file *file, sqlite3_int64 *size) {
    if (const int rc = flush(self(file)); rc != SQLITE_OK) return rc;
    return real(file)->pMethods->xFileSize(real(file), size);
}

int xLock(sqlite3_file *file, int level) { return real(file)->pMethods->xLock(real(file), level); }
int xUnlock(sqlite3_file *file, int level) { return real(file)->pMethods->xUnlock(real(file), level); }
int xCheckReservedLock(sqlite3_file *file, int *out) {
    return real(file)->pMethods->xCheckReservedLock(real(file), out);
}

int xFileControl(sqlite3_file *file, int op, void *arg) {
    // Whatever the control does to the file, it finds every byte written so far there.
    if (const int rc = flush(self(file)); rc != SQLITE_OK) return rc;
    return real(file)->pMethods->xFileControl(real(file), op, arg);
}

int xSectorSize(sqlite3_file *file) { return real(file)->pMethods->xSectorSize(real(file)); }
int xDeviceCharacteristics(sqlite3_file *file) {
    return real(file)->pMethods->xDeviceCharacteristics(real(file));
}

int xShmMap(sqlite3_file *file, int region, int size, int extend, void volatile **out) {
    const sqlite3_io_methods *m = real(file)->pMethods;
    return m->iVersion >= 2 && m->xShmMap ? m->xShmMap(real(file), region, size, extend, out) : SQLITE_IOERR;
}
int xShmLock(sqlite3_file *file, int offset, int n, int flags) {
    const sqlite3_io_methods *m = real(file)->pMethods;
    return m->iVersion >= 2 && m->xShmLock ? m->xShmLock(real(file), offset, n, flags) : SQLITE_IOERR;
}
void xShmBarrier(sqlite3_file *file) {
    const sqlite3_io_methods *m = real(file)->pMethods;
    if (m->iVersion >= 2 && m->xShmBarrier) m->xShmBarrier(real(file));
}
int xShmUnmap(sqlite3_file *file, int deleteFlag) {
    const sqlite3_io_methods *m = real(file)->pMethods;
    return m->iVersion >= 2 && m->xShmUnmap ? m->xShmUnmap(real(file), deleteFlag) : SQLITE_OK;
}

int xFetch(sqlite3_file *file, sqlite3_int64 offset, int amount, void **out) {
    *out = nullptr;
    if (const int rc = flush(self(file)); rc != SQLITE_OK) return rc;
    const sqlite3_io_methods *m = real(file)->pMethods;
    return m->iVersion >= 3 && m->xFetch ? m->xFetch(real(file), offset, amount, out) : SQLITE_OK;
}
int xUnfetch(sqlite3_file *file, sqlite3_int64 offset, void *page) {
    const sqlite3_io_methods *m = real(file)->pMethods;
    return m->iVersion >= 3 && m->xUnfetch ? m->xUnfetch(real(file), offset, page) : SQLITE_OK;
}

const sqlite3_io_methods kMethods = {
    3,
    xClose,
    xRead,
    xWrite,
    xTruncate,
    xSync,
    xFileSize,
    xLock,
    xUnlock,
    xCheckReservedLock,
    xFileControl,
    xSectorSize,
    xDeviceCharacteristics,
    xShmMap,
    xShmLock,
    xShmBarrier,
    xShmUnmap,
    xFetch,
    xUnfetch,
};

int xOpen(sqlite3_vfs *, const char *name, sqlite3_file *file, int flags, int *outFlags) {
    BufferedFile *f = self(file);
    f->real = reinterpret_cast<sqlite3_file *>(f + 1);
    f->log = (flags & SQLITE_OPEN_WAL) != 0;
    f->data = nullptr;
    f->start = 0;
    f->size = 0;
    const int rc = g_real->xOpen(g_real, name, f->real, flags, outFlags);
    // A file the default layer left with methods (even after failing) must be closed through us.
    file->pMethods = f->real->pMethods ? &kMethods : nullptr;
    return rc;
}

sqlite3_vfs *registered() {
    // SQLite keeps the pointer it is given: the layer lives as long as the program.
    static sqlite3_vfs vfs{};
    static const bool ok = [] {
        g_real = sqlite3_vfs_find(nullptr);
        if (!g_real) return false;
        // Everything but opening files is the default layer's own, with its own data.
        vfs = *g_real;
        vfs.pNext = nullptr;
        vfs.szOsFile = int(sizeof(BufferedFile)) + g_real->szOsFile;
        vfs.zName = "murnavell-wal-gather";
        vfs.xOpen = xOpen;
        return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK;
    }();
    return ok ? &vfs : nullptr;
}

static_assert(sizeof(BufferedFile) % alignof(sqlite3_int64) == 0,
              "the default layer's file must stay aligned");

} // namespace

const char *WalWriteBuffer::vfsName() {
    sqlite3_vfs *vfs = registered();
    return vfs ? vfs->zName : nullptr;
}

long WalWriteBuffer::writesGathered() { return g_gathered.load(std::memory_order_relaxed); }

long WalWriteBuffer::writesIssued() { return g_issued.load(std::memory_order_relaxed); }
