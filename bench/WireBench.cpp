// Frame writing and reading against the bare cipher work underneath them: AES-256-CBC through
// OpenSSL EVP and Base64 over the same plaintext bytes. The table at the end gives codec time
// divided by baseline time for each payload size, i.e. what the frame layer costs on top.
#include "BenchRatioReporter.h"
#include "core/wire/KDTAES.h"
#include "core/wire/KDTPacket.h"
#include "core/wire/TextCodec.h"
#include "platform/defaults/Defaults.h"

#include <QTemporaryDir>
#include <QVariantMap>
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {
const int kSizes[] = {100, 1024, 10240};

// An 8-field message array whose payload is `size` bytes of text in the text-field form.
PacketArray messageArray(int size) {
    static const char kWords[] = "the quick brown fox jumps over the lazy dog, ";
    QString text;
    text.reserve(size);
    for (int i = 0; text.size() < size - 1; ++i) text.append(QChar(kWords[i % (sizeof kWords - 1)]));
    const QByteArray payload = encodeTextField(text);
    return {"TSM", "5551234", "pc-bench", "A123456789", "Bench User", "A987654321", payload, "*"};
}

const unsigned char *keyBytes() {
    return reinterpret_cast<const unsigned char *>(KDTAES::packetKey().constData());
}

// One-shot AES-256-CBC with a zero IV, as the frame cipher; padding on or off.
int aes(bool encrypt, bool padding, const unsigned char *in, int length, unsigned char *out) {
    static const unsigned char iv[16] = {};
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int written = 0;
    int tail = 0;
    EVP_CipherInit_ex(ctx, EVP_aes_256_cbc(), nullptr, keyBytes(), iv, encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, padding ? 1 : 0);
    const bool ok = EVP_CipherUpdate(ctx, out, &written, in, length) == 1 &&
                    EVP_CipherFinal_ex(ctx, out + written, &tail) == 1;
    EVP_CIPHER_CTX_free(ctx);
    return ok ? written + tail : -1;
}

// The plaintext inside a frame (padding removed), so the baseline works on the same bytes.
std::vector<unsigned char> plaintextOf(const QByteArray &frame) {
    const QByteArray ciphertext = QByteArray::fromBase64(frame.left(frame.indexOf("\x1f\x1f")));
    std::vector<unsigned char> plain(static_cast<std::size_t>(ciphertext.size()));
    const int length = aes(false, true, reinterpret_cast<const unsigned char *>(ciphertext.constData()),
                           static_cast<int>(ciphertext.size()), plain.data());
    plain.resize(static_cast<std::size_t>(std::max(length, 0)));
    return plain;
}

void writeCodec(benchmark::State &state, int size) {
    const PacketArray array = messageArray(size);
    qsizetype frameSize = 0;
    for (auto _ : state) {
        QByteArray frame = KDTPacket::PlainPackeFromArray(array);
        frameSize = frame.size();
        benchmark::DoNotOptimize(frame);
    }
    if (frameSize == 0) state.SkipWithError("the writer made no frame");
    state.SetBytesProcessed(state.iterations() * size);
}

void writeBaseline(benchmark::State &state, int size) {
    const std::vector<unsigned char> plain = plaintextOf(KDTPacket::PlainPackeFromArray(messageArray(size)));
    const int plainLength = static_cast<int>(plain.size());
    std::vector<unsigned char> ciphertext(plain.size() + 16);
    std::vector<unsigned char> frame((ciphertext.size() + 2) / 3 * 4 + 3);
    for (auto _ : state) {
        const int length = aes(true, true, plain.data(), plainLength, ciphertext.data());
        const int text = EVP_EncodeBlock(frame.data(), ciphertext.data(), length);
        frame[text] = 0x1f;
        frame[text + 1] = 0x1f;
        benchmark::DoNotOptimize(frame.data());
        benchmark::ClobberMemory();
    }
    if (plain.empty()) state.SkipWithError("no plaintext");
    state.SetBytesProcessed(state.iterations() * size);
}

void readCodec(benchmark::State &state, int size) {
    const QByteArray frame = KDTPacket::PlainPackeFromArray(messageArray(size));
    bool accepted = true;
    for (auto _ : state) {
        // The same frame again would be dropped as a repeat.
        KDTPacket::resetRecentIds();
        auto fields = KDTPacket::ArrayFromBase64AESdata(frame);
        accepted = accepted && fields.has_value();
        benchmark::DoNotOptimize(fields);
    }
    if (!accepted) state.SkipWithError("the reader rejected the frame");
    state.SetBytesProcessed(state.iterations() * size);
}

void readBaseline(benchmark::State &state, int size) {
    const QByteArray frame = KDTPacket::PlainPackeFromArray(messageArray(size));
    const QByteArray text = frame.left(frame.indexOf("\x1f\x1f"));
    const auto *textBytes = reinterpret_cast<const unsigned char *>(text.constData());
    const int textLength = static_cast<int>(text.size());
    std::vector<unsigned char> ciphertext(static_cast<std::size_t>(textLength) / 4 * 3 + 3);
    std::vector<unsigned char> plain(ciphertext.size() + 16);
    bool ok = true;
    for (auto _ : state) {
        // EVP_DecodeBlock counts "=" padding as zero bytes; the ciphertext is whole blocks.
        const int decoded = EVP_DecodeBlock(ciphertext.data(), textBytes, textLength) / 16 * 16;
        // The reader removes no padding; it cuts at the first NUL instead.
        const int length = aes(false, false, ciphertext.data(), decoded, plain.data());
        const void *nul = std::memchr(plain.data(), 0, static_cast<std::size_t>(std::max(length, 0)));
        ok = ok && length > 0 && nul != nullptr;
        benchmark::DoNotOptimize(nul);
    }
    if (!ok) state.SkipWithError("the baseline could not decrypt the frame");
    state.SetBytesProcessed(state.iterations() * size);
}

std::string name(const char *direction, const char *side, int size) {
    return std::string(direction) + '/' + side + '/' + std::to_string(size);
}
} // namespace

int main(int argc, char **argv) {
    // The legacy codec reads its code page from the settings; keep them away from the user's.
    QTemporaryDir home;
    setenv("XDG_CONFIG_HOME", home.path().toLocal8Bit().constData(), 1);
    Defaults::standard().registerDefaults(QVariantMap{{QStringLiteral("encoding"), kEncodingWindows1252}});

    for (int size : kSizes) {
        benchmark::RegisterBenchmark(name("write", "codec", size).c_str(), writeCodec, size);
        benchmark::RegisterBenchmark(name("write", "baseline", size).c_str(), writeBaseline, size);
        benchmark::RegisterBenchmark(name("read", "codec", size).c_str(), readCodec, size);
        benchmark::RegisterBenchmark(name("read", "baseline", size).c_str(), readBaseline, size);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    BenchRatioReporter reporter(BenchRatioReporter::Measure::CpuTime);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\n%-6s %8s %14s %14s %8s\n", "", "payload", "codec ns", "baseline ns", "ratio");
    for (const char *direction : {"write", "read"}) {
        for (int size : kSizes) {
            const double codec = reporter.time(name(direction, "codec", size));
            const double baseline = reporter.time(name(direction, "baseline", size));
            if (codec <= 0 || baseline <= 0) continue;
            std::printf("%-6s %8d %14.0f %14.0f %8.2f\n", direction, size, codec, baseline, codec / baseline);
        }
    }
    return 0;
}
