// The pieces of the dialogue without a network: header records byte for byte, their parse,
// numbers from peers, sizes for people, the data cipher across chunks, and names from peers.
#include "core/wire/KDTAES.h"
#include "transfer/ByteCountFormatter.h"
#include "transfer/FILEserver.h"
#include "transfer/FileTransferCipher.h"
#include "transfer/HeaderRecord.h"
#include "transfer/SingleFile.h"
#include "transfer/outgoingFileReplyHeader.h"
#include "transfer/outgoingTransferReplyHeader.h"

#include "TransferTestSupport.h"

#include <QDir>
#include <QLocale>
#include <openssl/evp.h>

#include <atomic>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace {

// AES-256-CBC with the packet key and a zero IV, in one call, from OpenSSL directly.
QByteArray oneShot(const QByteArray &plain, bool pkcs7, bool encrypt = true) {
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    const unsigned char iv[16] = {};
    EVP_CipherInit_ex(ctx, EVP_aes_256_cbc(), nullptr,
                      reinterpret_cast<const unsigned char *>(KDTAES::packetKey().constData()), iv, encrypt);
    EVP_CIPHER_CTX_set_padding(ctx, pkcs7 ? 1 : 0);
    QByteArray out(plain.size() + 32, '\0');
    int n = 0, m = 0;
    EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char *>(out.data()), &n,
                     reinterpret_cast<const unsigned char *>(plain.constData()), int(plain.size()));
    EVP_CipherFinal_ex(ctx, reinterpret_cast<unsigned char *>(out.data()) + n, &m);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(n + m);
    return out;
}

TEST(HeaderRecordTest, ARecordIsBase64OfEachEncryptedPieceEachFollowedBySeparatorThenCrLf) {
    const QByteArray record =
        HeaderRecord::prepare({"CONTENT-TYPE", "FILESENDREQUESTRESPONSE", "ACCEPT", "1"}, false);
    const QByteArray expected =
        oneShot(QByteArray("CONTENT-TYPE=FILESENDREQUESTRESPONSE") + '\0', true).toBase64() + '\x1f' +
        oneShot(QByteArray("ACCEPT=1") + '\0', true).toBase64() + "\x1f\r\n";
    EXPECT_EQ(record, expected);
    EXPECT_EQ(record.count("\r"), 1);
    EXPECT_TRUE(record.endsWith("\x1f\r\n"));
    EXPECT_EQ(HeaderRecord::prepare({}, false), QByteArray("\r\n"));
}

TEST(HeaderRecordTest, TheDisplayNameAloneGoesAsUtf8ToAPeerThatTakesIt) {
    const QString name = QStringLiteral("Zoë Ω");
    const QStringList pairs = {"FROM-USERNAMEDISPLAY", name, "FROM-ID", "Ω"};
    const QList<QByteArray> wide = HeaderRecord::prepare(pairs, true).split('\x1f');
    const QList<QByteArray> legacy = HeaderRecord::prepare(pairs, false).split('\x1f');
    EXPECT_EQ(wide[0], oneShot("FROM-USERNAMEDISPLAY=" + name.toUtf8() + '\0', true).toBase64());
    EXPECT_EQ(wide[0], HeaderRecord::prepare({"FROM-USERNAMEDISPLAY", name}, true).split('\x1f')[0]);
    EXPECT_NE(legacy[0], wide[0]);
    // Every other piece takes the legacy code page either way.
    EXPECT_EQ(wide[1], legacy[1]);
    EXPECT_EQ(HeaderRecord::fields(HeaderRecord::prepare(pairs, true)).value("from_usernamedisplay"), name);
}

struct ParseCase {
    const char *what;
    QStringList pieces; // plaintexts; "!" stands for a piece that is not Base64 of anything
    QHash<QString, QString> expected;
};

TEST(HeaderRecordTest, ParseTable) {
    const std::vector<ParseCase> cases = {
        {"complete with trailing separator",
         {"CONTENT-TYPE=SENDFILESTREAM", "FILE-SIZE=42"},
         {{"content_type", "SENDFILESTREAM"}, {"file_size", "42"}}},
        {"second piece without = ends the parse",
         {"FILE-NAME=a", "nothing here", "FILE-SIZE=1"},
         {{"file_name", "a"}}},
        {"value keeps everything after the first =", {"SESSID=a=b==c"}, {{"sessid", "a=b==c"}}},
        {"keys normalised",
         {"Files-TotalSize=7", "isFilesWide=1"},
         {{"files_totalsize", "7"}, {"isfileswide", "1"}}},
        {"later piece overwrites", {"ACCEPT=1", "ACCEPT=4"}, {{"accept", "4"}}},
        {"empty value", {"FILE-PATH="}, {{"file_path", ""}}},
        {"garbage piece ends the parse", {"ACCEPT=1", "!", "FILE-SIZE=3"}, {{"accept", "1"}}},
    };
    for (const ParseCase &c : cases) {
        QByteArray record;
        for (const QString &p : c.pieces)
            record += (p == "!" ? QByteArray("%%%%") : KDTAES::encryptString(p, false).toBase64()) + '\x1f';
        record += "\r\n";
        EXPECT_EQ(HeaderRecord::fields(record), c.expected) << c.what;
    }
}

TEST(HeaderRecordTest, TargetsTakeOnlyTheirOwnFields) {
    const QByteArray record = HeaderRecord::prepare(
        {"CONTENT-TYPE", "NEWWIDEFTSANSWER", "ACCEPT-FILES", "1", "ACCEPT-AES", "0", "FILE-SIZE", "9"},
        false);
    outgoingTransferReplyHeader answer;
    answer.applyHeaderFields(HeaderRecord::fields(record));
    EXPECT_EQ(answer.content_type, "NEWWIDEFTSANSWER");
    EXPECT_EQ(answer.accept_files, "1");
    EXPECT_EQ(answer.accept_aes, "0");
    outgoingFileReplyHeader fileAnswer;
    fileAnswer.applyHeaderFields(HeaderRecord::fields(record));
    EXPECT_TRUE(fileAnswer.accept.isNull());
    SingleFile f;
    f.applyHeaderFields(HeaderRecord::fields(record));
    EXPECT_EQ(f.file_size, "9");
    EXPECT_TRUE(f.file_name.isNull());
}

TEST(HeaderRecordTest, LeadingNumberTable) {
    const std::vector<std::pair<QString, qint64>> cases = {
        {"786432", 786432}, {"", 0},       {"abc", 0},
        {"12abc", 12},      {"-5", -5},    {"+7", 7},
        {" 3", 3},          {"0420", 420}, {"99999999999999999999999", INT64_MAX}};
    for (const auto &[text, value] : cases)
        EXPECT_EQ(HeaderRecord::leadingNumber(text), value) << qPrintable(text);
}

TEST(ByteCountFormatterTest, DecimalUnitsWithTwoDigitsAboveAThousandBytes) {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    const ByteCountFormatter &f = FILEserver::byteCountFormatter();
    EXPECT_FALSE(f.allowsNonnumericFormatting());
    EXPECT_TRUE(f.zeroPadsFractionDigits());
    const std::vector<std::pair<qint64, QString>> cases = {
        {0, "0 bytes"},       {-5, "-5 bytes"},           {1000, "1,000 bytes"},
        {1001, "1.00 KB"},    {1000000, "1,000.00 KB"},   {1000001, "1.00 MB"},
        {1536000, "1.54 MB"}, {999999999, "1,000.00 MB"}, {INT64_MAX, "9.22 EB"}};
    for (const auto &[count, text] : cases) EXPECT_EQ(f.stringFromByteCount(count), text) << count;
    QLocale::setDefault(QLocale::c());
}

TEST(FileTransferCipherTest, TheStreamAcrossChunksEqualsOneShotEncryptionOfTheSameBytes) {
    const QByteArray data = randomBytes(786432 + 786432 + 16, 7);
    auto enc = FileTransferCipher::create(true);
    ASSERT_TRUE(enc);
    QByteArray streamed = data;
    const qsizetype cuts[] = {0, 786432, 786432 * 2, data.size()};
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(enc->update(streamed.constData() + cuts[i], streamed.data() + cuts[i],
                                size_t(cuts[i + 1] - cuts[i])));
    EXPECT_EQ(streamed, oneShot(data, false));
    // And back, in other cuts: the chain does not care where the chunks end.
    auto dec = FileTransferCipher::create(false);
    QByteArray back(streamed.size(), '\0');
    ASSERT_TRUE(dec->update(streamed.constData(), back.data(), 16));
    ASSERT_TRUE(dec->update(streamed.constData() + 16, back.data() + 16, size_t(streamed.size() - 16)));
    EXPECT_EQ(back, data);
    EXPECT_FALSE(enc->update(data.constData(), streamed.data(), 15)); // not a block multiple
}

TEST(SingleFileTest, HostileNamesAreRefused) {
    const std::vector<std::pair<QString, QString>> refused = {{"", "../evil"},
                                                              {"", ".."},
                                                              {"", "."},
                                                              {"", ""},
                                                              {"", "a/b"},
                                                              {"", "a\\b"},
                                                              {"..", "evil"},
                                                              {"a\\..\\..", "evil"},
                                                              {"/tmp", "evil"},
                                                              {"\\tmp", "evil"},
                                                              {"C:\\x", "evil"},
                                                              {"a/../../b", "evil"},
                                                              {"", QString("ev") + QChar(0) + "il"},
                                                              {QString("d") + QChar(0), "evil"},
                                                              {"", QString(256, 'x')},
                                                              {QString("a/").repeated(2049), "deep"}};
    for (const auto &[path, name] : refused) {
        const bool ok = SingleFile::safeFolderComponents(path).has_value() && SingleFile::isSafeName(name);
        EXPECT_FALSE(ok) << qPrintable(path) << " | " << qPrintable(name);
    }
    EXPECT_EQ(SingleFile::safeFolderComponents("Docs\\a\\\\.\\b"), QStringList({"Docs", "a", "b"}));
    EXPECT_EQ(SingleFile::safeFolderComponents(""), QStringList());
    EXPECT_EQ(SingleFile::safeFolderComponents(QString("a/").repeated(2048))->size(), 2048);
    EXPECT_TRUE(SingleFile::isSafeName("..hidden"));
    EXPECT_TRUE(SingleFile::isSafeName(QStringLiteral("файл ✓.txt")));
}

class SingleFileDiskTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(QDir().mkpath(folder())); }
    QString folder() const { return dir.filePath("transfer"); }
    std::unique_ptr<SingleFile> incoming(const QString &path, const QString &name, qint64 size,
                                         const QString &perms = "420") {
        auto f = std::make_unique<SingleFile>();
        f->file_path = path;
        f->file_name = name;
        f->file_size = QString::number(size);
        f->file_permissions = perms;
        return f;
    }
    QTemporaryDir dir;
};

TEST_F(SingleFileDiskTest, AFileKeepsAnIncompleteNameUntilItsLastByteAndNeverReplacesAnother) {
    auto first = incoming("Docs\\a", "b.txt", 3);
    ASSERT_TRUE(first->prepareFolderAndStream(QUrl::fromLocalFile(folder())));
    EXPECT_EQ(first->pathOnDisk(), folder() + "/Docs/a/b.txt.part");
    ASSERT_TRUE(first->writeChunk("abc", 3));
    first->bytesReceived = 3;
    EXPECT_TRUE(first->releaseStream());
    EXPECT_EQ(readFile(folder() + "/Docs/a/b.txt"), "abc");
    EXPECT_EQ(modeOf(folder() + "/Docs/a/b.txt"), 0644);

    // The same name again in the same transfer: the first stays, the second is numbered.
    auto second = incoming("Docs\\a", "b.txt", 2, "4095"); // 07777 from the peer
    ASSERT_TRUE(second->prepareFolderAndStream(QUrl::fromLocalFile(folder())));
    ASSERT_TRUE(second->writeChunk("xy", 2));
    second->bytesReceived = 2;
    second->releaseStream();
    EXPECT_EQ(readFile(folder() + "/Docs/a/b.txt"), "abc");
    EXPECT_EQ(readFile(folder() + "/Docs/a/b (2).txt"), "xy");
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(modeOf(folder() + "/Docs/a/b (2).txt"), int(0777 & ~mask)); // no set-id or sticky bits

    // Cut short: the bytes stay under the incomplete name, nothing passes as the file.
    auto cut = incoming("", "big.bin", 10);
    ASSERT_TRUE(cut->prepareFolderAndStream(QUrl::fromLocalFile(folder())));
    ASSERT_TRUE(cut->writeChunk("12345", 5));
    cut->bytesReceived = 5;
    cut.reset();
    EXPECT_FALSE(QFileInfo::exists(folder() + "/big.bin"));
    EXPECT_EQ(readFile(folder() + "/big.bin.part"), "12345");
}

// Transfers running at once name their files on their own threads: one name arriving in many
// of them at once gives each file a name of its own, and the names' memory stays sound.
TEST_F(SingleFileDiskTest, OneNameReceivedByManyTransfersAtOnceGivesEachFileItsOwnName) {
    constexpr int kThreads = 8, kFiles = 150;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kFiles; ++i) {
                // Names shared by every thread, and names of its own that grow the table.
                const QString name =
                    i % 2 ? QStringLiteral("report.txt") : QStringLiteral("t%1-%2.bin").arg(t).arg(i);
                auto f = incoming("", name, 1);
                if (!f->prepareFolderAndStream(QUrl::fromLocalFile(folder())) || !f->writeChunk("x", 1)) {
                    ++failures;
                    continue;
                }
                f->bytesReceived = 1;
                if (!f->releaseStream()) ++failures;
            }
        });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(QDir(folder()).entryList(QDir::Files).size(), kThreads * kFiles);
}

TEST_F(SingleFileDiskTest, PermissionsFromThePeerGiveNoMoreThanTheUsersMaskAllows) {
    struct Case {
        mode_t umask;
        const char *peer;
        int mode;
    };
    const Case cases[] = {
        {022, "511", 0755},  // 0777: not writable by others
        {022, "438", 0644},  // 0666
        {022, "2541", 0755}, // 04755: no set-id bit either
        {077, "493", 0700},  // 0755 under a private mask
        {002, "511", 0775},  {0, "511", 0777}, {022, "256", 0400},
    };
    const mode_t before = ::umask(022);
    int n = 0;
    for (const Case &c : cases) {
        ::umask(c.umask);
        const QString name = QStringLiteral("f%1").arg(n++);
        auto f = incoming("", name, 1, QString::fromLatin1(c.peer));
        ASSERT_TRUE(f->prepareFolderAndStream(QUrl::fromLocalFile(folder())));
        ASSERT_TRUE(f->writeChunk("x", 1));
        f->bytesReceived = 1;
        EXPECT_TRUE(f->releaseStream());
        EXPECT_EQ(modeOf(folder() + "/" + name), c.mode) << c.peer << " under " << c.umask;
    }
    ::umask(before);
}

TEST_F(SingleFileDiskTest, ControlCharactersInReceivedNamesBecomeUnderscores) {
    struct Case {
        QString path, name, arrives;
    };
    const std::vector<Case> cases = {
        {"", "two\r\nlines.txt", "two__lines.txt"},
        {"", "\x1b[31mred", "_[31mred"},
        {"", "tab\there", "tab_here"},
        {"", QStringLiteral("del\x7f and nel\u0085"), "del_ and nel_"},
        {"Do\ncs\\In\rner", "ok.txt", "Do_cs/In_ner/ok.txt"},
        {"", QStringLiteral("\u4e26 f\u00e9e \u2028.txt"), QStringLiteral("\u4e26 f\u00e9e \u2028.txt")},
    };
    for (const Case &c : cases) {
        auto f = incoming(c.path, c.name, 1);
        ASSERT_TRUE(f->prepareFolderAndStream(QUrl::fromLocalFile(folder()))) << qPrintable(c.arrives);
        ASSERT_TRUE(f->writeChunk("x", 1));
        f->bytesReceived = 1;
        ASSERT_TRUE(f->releaseStream());
        EXPECT_EQ(f->fileFullPath, folder() + "/" + c.arrives);
        EXPECT_EQ(readFile(folder() + "/" + c.arrives), "x") << qPrintable(c.arrives);
    }
    // Nothing on disk holds a control character.
    QDirIterator it(folder(), QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString entry = it.next();
        for (const QChar ch : QFileInfo(entry).fileName())
            EXPECT_NE(ch.category(), QChar::Other_Control) << qPrintable(entry);
    }
}

TEST_F(SingleFileDiskTest, AFileThatCannotTakeItsNameIsNotReportedComplete) {
    auto f = incoming("", "gone.bin", 3);
    ASSERT_TRUE(f->prepareFolderAndStream(QUrl::fromLocalFile(folder())));
    ASSERT_TRUE(f->writeChunk("abc", 3));
    f->bytesReceived = 3;
    // The incomplete file is taken away before its last byte: the rename cannot happen.
    ASSERT_EQ(::unlink(QFile::encodeName(f->pathOnDisk()).constData()), 0);
    EXPECT_FALSE(f->releaseStream());
    EXPECT_FALSE(QFileInfo::exists(folder() + "/gone.bin"));
    EXPECT_TRUE(f->releaseStream()); // nothing left to close
}

TEST_F(SingleFileDiskTest, ALinkInTheTreeIsNeverFollowedOutOfIt) {
    const QString outside = dir.filePath("outside");
    ASSERT_TRUE(QDir().mkpath(outside));
    ASSERT_EQ(
        ::symlink(QFile::encodeName(outside).constData(), QFile::encodeName(folder() + "/link").constData()),
        0);
    ASSERT_EQ(::symlink(QFile::encodeName(outside + "/f").constData(),
                        QFile::encodeName(folder() + "/f.part").constData()),
              0);
    EXPECT_FALSE(incoming("link", "evil", 1)->prepareFolderAndStream(QUrl::fromLocalFile(folder())));
    EXPECT_FALSE(incoming("link\\sub", "evil", 1)->prepareFolderAndStream(QUrl::fromLocalFile(folder())));
    // A name taken by a link gets a numbered name; the link's target is never written.
    auto f = incoming("", "f", 1);
    ASSERT_TRUE(f->prepareFolderAndStream(QUrl::fromLocalFile(folder())));
    EXPECT_EQ(f->pathOnDisk(), folder() + "/f (2).part");
    EXPECT_TRUE(QDir(outside).isEmpty());
    EXPECT_FALSE(
        incoming("", "x", -1)->prepareFolderAndStream(QUrl::fromLocalFile(folder()))); // negative size
}

TEST_F(SingleFileDiskTest, AWriteBeyondWhatTheDiskTakesIsReportedNotHidden) {
    auto f = incoming("", "big.bin", 4 << 20);
    ASSERT_TRUE(f->prepareFolderAndStream(QUrl::fromLocalFile(folder())));
    // A file-size limit stands in for a full disk: writes past it fail as they would.
    struct rlimit old;
    ::getrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 1 << 20;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const QByteArray chunk(786432, 'z');
    const bool firstOk = f->writeChunk(chunk.constData(), chunk.size());
    const bool secondOk = f->writeChunk(chunk.constData(), chunk.size());
    ::setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_TRUE(firstOk);
    EXPECT_FALSE(secondOk);
}

// A name repeated past ten thousand times in one folder still finds its next number, and each
// copy's search starts where the last one ended instead of at the first copy.
TEST_F(SingleFileDiskTest, ANameRepeatedManyTimesKeepsGettingTheNextNumber) {
    constexpr int copies = 10050;
    for (int i = 0; i < copies; ++i) {
        auto f = incoming("", "same.txt", 1);
        ASSERT_TRUE(f->prepareFolderAndStream(QUrl::fromLocalFile(folder()))) << i;
        const QString expected =
            i == 0 ? QStringLiteral("same.txt.part") : QStringLiteral("same (%1).txt.part").arg(i + 1);
        ASSERT_EQ(QFileInfo(f->pathOnDisk()).fileName(), expected);
        f->releaseStream(); // incomplete: keeps its ".part" name
    }
    EXPECT_EQ(QDir(folder()).entryList(QDir::Files).size(), copies);
}

} // namespace

namespace {

// A name the disk cannot hold with its incomplete suffix, or whose next numbered form it cannot
// hold, is refused at once; the names around it still arrive.
TEST(SingleFileLongNameTest, ANameTooLongForTheDiskIsRefusedAndTheOthersStillArrive) {
    QTemporaryDir dir;
    const QString folder = dir.filePath("transfer");
    ASSERT_TRUE(QDir().mkpath(folder));
    const auto incoming = [](const QString &name) {
        auto f = std::make_unique<SingleFile>();
        f->file_path = QString();
        f->file_name = name;
        f->file_size = QStringLiteral("1");
        f->file_permissions = QStringLiteral("420");
        return f;
    };
    const QString wide = QString(120, QChar(0x0160)); // 240 bytes in UTF-8
    const struct {
        QString name;
        bool arrives;
    } cases[] = {
        {QString(253, 'x'), false}, // 258 bytes with ".part"
        {wide + QStringLiteral("abcdefghijklm"), false},
        {QString(248, 'y'), true},  // "….part" is 253 bytes
        {QString(248, 'y'), false}, // " (2)" would make it 257
        {QStringLiteral("short.txt"), true},
    };
    for (const auto &c : cases) {
        auto f = incoming(c.name);
        EXPECT_EQ(f->prepareFolderAndStream(QUrl::fromLocalFile(folder)), c.arrives) << c.name.size();
        f->releaseStream();
    }
    EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 2);
}

} // namespace
