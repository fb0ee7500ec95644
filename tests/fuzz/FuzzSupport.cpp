#include "FuzzSupport.h"

#include "core/wire/TextCodec.h"
#include "platform/defaults/Defaults.h"

#include <QTemporaryDir>
#include <QVariantMap>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <malloc.h>
#include <sys/prctl.h>

void fuzzSetUp() {
    // The heap is never handed back to the system between inputs: each return of its top cost
    // a flush of every processor's address cache, about half of a file target's time.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 32 << 20); // the largest it takes
    // The fuzzing thread's short waits for the program's threads end when asked, not up to
    // 50 us later: those waits come several times per input.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    // Removed again when the process ends normally.
    static QTemporaryDir home;
    if (!home.isValid()) fuzzFail("temporary folder", __FILE__, __LINE__);
    const QByteArray root = home.path().toLocal8Bit();
    setenv("HOME", root.constData(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/config").constData(), 1);
    setenv("XDG_DATA_HOME", (root + "/data").constData(), 1);
    Defaults::standard().registerDefaults(QVariantMap{{QStringLiteral("encoding"), kEncodingWindows1252}});
    resetLegacyTextEncodingCache();
}

// A target that needs more defines its own.
__attribute__((weak)) void fuzzTargetSetUp() {}

// Every target starts the same way.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzzSetUp();
    fuzzTargetSetUp();
    return 0;
}

void fuzzFail(const char *condition, const char *file, int line) {
    std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, condition);
    std::fflush(stderr);
    std::abort();
}

// Nothing a target writes is kept: waiting for the disk at every received file and folder would
// make the disk, not the code, the measure of a run. The program's own calls come here; a
// descriptor that is not open still fails as it would.
extern "C" int fsync(int fd) { return ::fcntl(fd, F_GETFD) == -1 ? -1 : 0; }
extern "C" int fdatasync(int fd) { return ::fcntl(fd, F_GETFD) == -1 ? -1 : 0; }
