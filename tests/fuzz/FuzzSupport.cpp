#include "FuzzSupport.h"

#include "core/wire/TextCodec.h"
#include "platform/defaults/Defaults.h"

#include <QTemporaryDir>
#include <QVariantMap>

#include <cstdio>
#include <cstdlib>

void fuzzSetUp() {
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
