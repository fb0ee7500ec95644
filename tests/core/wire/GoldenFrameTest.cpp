// Frames checked against the openssl command-line tool, so the cipher, padding and Base64 of
// the wire are proven by an implementation that is not ours.

#include "FrameTestSupport.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

using namespace frametest;

namespace {

// The packet key written out by hand, not taken from KDTAES.
const QString kKeyHex = QStringLiteral("516d37237654326b215a7039244c72345e577836264e63382a486233404a6435");
const QString kZeroIv = QStringLiteral("00000000000000000000000000000000");

class GoldenFrameTest : public WireTest {
protected:
    void SetUp() override {
        WireTest::SetUp();
        m_openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
        if (m_openssl.isEmpty()) GTEST_SKIP() << "openssl tool not installed (scripts/setup installs it)";
    }

    // Runs `openssl enc` over the input; the extra arguments pick direction and Base64.
    QByteArray opensslEnc(const QStringList &extra, const QByteArray &input) {
        QProcess process;
        process.start(m_openssl, QStringList{"enc", "-aes-256-cbc", "-K", kKeyHex, "-iv", kZeroIv} + extra);
        if (!process.waitForStarted()) {
            ADD_FAILURE() << "openssl did not start";
            return {};
        }
        process.write(input);
        process.closeWriteChannel();
        if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit ||
            process.exitCode() != 0) {
            ADD_FAILURE() << "openssl failed: " << process.readAllStandardError().constData();
            return {};
        }
        return process.readAllStandardOutput();
    }

    QByteArray opensslFrame(const QByteArray &plain) {
        return opensslEnc({"-base64", "-A"}, plain).trimmed() + kEndMark;
    }

    QByteArray opensslPlaintext(const QByteArray &frame) {
        if (!frame.endsWith(kEndMark)) return "<no end mark>";
        return opensslEnc({"-d", "-base64", "-A"}, frame.chopped(2));
    }

    QString m_openssl;
};

const QByteArray kTriPlain =
    joined({"9", "4821937", "TRI", "*", "pc-golden", "A100200300", "*", "A400500600", "*", "*", kNul});
const PacketArray kTriFields{"TRI", "*", "pc-golden", "A100200300", "*", "A400500600", "*", "*"};

TEST_F(GoldenFrameTest, ReaderTakesFramesMadeByOpenssl) {
    const QByteArray block("21|pc|\x02|\xd0\x01|");
    const struct {
        const char *name;
        QByteArray plain;
        QByteArray before, after;
        PacketArray fields;
    } cases[] = {
        {"information request", kTriPlain, "", "", kTriFields},
        {"start mark and CR LF",
         joined({"9", "4821938", "TRI", "*", "pc-golden", "A100200300", "*", "A400500600", "*", "*", kNul}),
         "  ", "\r\n", kTriFields},
        {"TSI block stays raw",
         joined({"9", "4821939", "TSI", "*", "pc-golden", "A100200300", "*", "A400500600", block, "*", kNul}),
         "",
         "",
         {"TSI", "*", "pc-golden", "A100200300", "*", "A400500600", block, "*"}},
        {"message text field",
         joined({"9", "4821940", "TSM", "*", "pc-golden", "A100200300", "*", "A400500600", "Hi \xc2\x01\x1f",
                 "*", kNul}),
         "",
         "",
         {"TSM", "*", "pc-golden", "A100200300", "*", "A400500600", QStringLiteral("Hi \u00a6"), "*"}},
    };
    for (const auto &c : cases) {
        const QByteArray frame = c.before + opensslFrame(c.plain) + c.after;
        const auto fields = KDTPacket::ArrayFromBase64AESdata(frame);
        ASSERT_TRUE(fields.has_value()) << c.name;
        EXPECT_EQ(*fields, c.fields) << c.name;
    }
}

TEST_F(GoldenFrameTest, FixedFixtureMadeByOpensslIsRead) {
    QFile file(QStringLiteral(MURNAVELL_TEST_DATA "/wire/tri-request.frame"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << "run tests/data/wire/make-golden.sh";
    const QByteArray frame = file.readAll();
    const auto fields = KDTPacket::ArrayFromBase64AESdata(frame);
    ASSERT_TRUE(fields.has_value());
    EXPECT_EQ(*fields, kTriFields);
    // Its id is now known, so the same bytes again are a repeat.
    EXPECT_FALSE(KDTPacket::ArrayFromBase64AESdata(frame).has_value());
    // And it is exactly the plaintext openssl encrypted.
    EXPECT_EQ(opensslPlaintext(frame), kTriPlain);
}

TEST_F(GoldenFrameTest, OpensslDecryptsFramesOfOurWriter) {
    const struct {
        const char *name;
        PacketArray array;
        QByteArray count;
        QByteArray afterId;
    } cases[] = {
        {"information request", kTriFields, "9",
         joined({"TRI", "*", "pc-golden", "A100200300", "*", "A400500600", "*", "*", kNul})},
        {"legacy code page and a text field",
         {"TSM", "*", "B\u00fcro", "A100200300", "*", "A400500600", encodeTextField(QStringLiteral("\u00a6")),
          "*", "x"},
         "10",
         joined({"TSM", "*", "B\xfcro", "A100200300", "*", "A400500600", "\xc2\x01\x1f", "*", "x", kNul})},
    };
    for (const auto &c : cases) {
        const QByteArray plain = opensslPlaintext(KDTPacket::PlainPackeFromArray(c.array));
        const QByteArray head = c.count + kSep;
        ASSERT_TRUE(plain.startsWith(head)) << c.name;
        const QByteArray id = plain.mid(head.size(), 7);
        bool ok = false;
        const int value = id.toInt(&ok);
        EXPECT_TRUE(ok && id.size() == 7 && value >= 1000000 && value <= 9999998)
            << c.name << ": " << id.constData();
        EXPECT_EQ(plain.mid(head.size() + 7), kSep + c.afterId) << c.name;
    }
}

TEST_F(GoldenFrameTest, BlockCipherMatchesOpenssl) {
    for (const int length : {0, 1, 15, 16, 17, 64}) {
        QByteArray plain(length, Qt::Uninitialized);
        for (int i = 0; i < length; ++i) plain[i] = char(0xA6 ^ (i * 13));
        const QByteArray theirs = opensslEnc({}, plain);
        EXPECT_EQ(KDTAES::encryptDataToData(plain), theirs) << length;
        EXPECT_EQ(KDTAES::decryptDataToData(theirs).left(length), plain) << length;
    }
}

} // namespace
