#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>

// Shared by the fuzz targets and their replay main.

// A private settings folder (the legacy codec reads "encoding" through the settings store) and
// the code page the application registers at start-up, so runs never touch the user's files.
void fuzzSetUp();

// What a target needs once before its first input, run after fuzzSetUp(); by default nothing.
void fuzzTargetSetUp();

inline QByteArray fuzzBytes(const std::uint8_t *data, std::size_t size) {
    return QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
}

// A broken property must stop the run in the fuzzer and in the replay alike.
[[noreturn]] void fuzzFail(const char *condition, const char *file, int line);
#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition)) fuzzFail(#condition, __FILE__, __LINE__);                                          \
    } while (false)

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);
