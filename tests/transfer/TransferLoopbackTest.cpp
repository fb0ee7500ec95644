// Whole transfers between two file servers on loopback ports, and raw peers that play one side
// of the dialogue by a script to check the other side's bytes and its answers to bad input.
#include "core/model/UserListModel.h"
#include "core/wire/KDTAES.h"
#include "platform/store/Clock.h"
#include "transfer/SingleFile.h"

#include "TransferTestSupport.h"

#include <QLocale>
#include <openssl/evp.h>

#include <csignal>
#include <sys/resource.h>

namespace {

using States = std::vector<qint64>;

QByteArray streamDecrypt(const QByteArray &cipher) {
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    const unsigned char iv[16] = {};
    EVP_DecryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr,
                       reinterpret_cast<const unsigned char *>(KDTAES::packetKey().constData()), iv);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    QByteArray out(cipher.size(), '\0');
    int n = 0;
    EVP_DecryptUpdate(ctx, reinterpret_cast<unsigned char *>(out.data()), &n,
                      reinterpret_cast<const unsigned char *>(cipher.constData()), int(cipher.size()));
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

QByteArray streamEncrypt(const QByteArray &plain) {
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    const unsigned char iv[16] = {};
    EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr,
                       reinterpret_cast<const unsigned char *>(KDTAES::packetKey().constData()), iv);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    QByteArray out(plain.size(), '\0');
    int n = 0;
    EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char *>(out.data()), &n,
                      reinterpret_cast<const unsigned char *>(plain.constData()), int(plain.size()));
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

class TransferLoopbackTest : public TransferFixture {
protected:
    FileTransfer *send(const QStringList &paths) {
        const qsizetype before = ctx->fetch<FileTransfer>().size();
        if (!sender->outgoingFiles(paths, bob)) return nullptr;
        const QList<FileTransfer *> all = ctx->fetch<FileTransfer>();
        return all.size() > before ? all.last() : nullptr;
    }
    // Both sides ended (bounded).
    bool runToEnd(FileTransfer *out, int ms = 20000) {
        return waitUntil([&] { return ended(out) && ended(incoming); }, ms);
    }
    QString receivedFolder() const { return incoming ? incoming->folderPath().toLocalFile() : QString(); }
};

TEST_F(TransferLoopbackTest, OneFileArrivesIntactAndBothSidesWalkTheirStates) {
    const QByteArray data = randomBytes(100000, 1);
    ASSERT_TRUE(writeFile(sourceRoot() + "/note.txt", data));
    startServers([](FileTransfer *t) { t->ContinueTransfer(FileTransfer::Transferring); });
    FileTransfer *out = send({sourceRoot() + "/note.txt"});
    ASSERT_TRUE(out);
    ASSERT_TRUE(runToEnd(out));

    EXPECT_EQ(states[out], (States{5, 1, 6}));
    EXPECT_EQ(states[incoming], (States{5, 1, 6}));
    EXPECT_FALSE(out->incoming());
    EXPECT_TRUE(incoming->incoming());
    EXPECT_TRUE(out->encrypt());
    EXPECT_TRUE(incoming->encrypt());
    EXPECT_EQ(out->filesTransferred(), 1);
    EXPECT_EQ(incoming->filesNumber(), 1);
    EXPECT_EQ(incoming->filesTotalSize(), data.size());
    EXPECT_EQ(incoming->bytesReceived(), data.size());
    EXPECT_EQ(out->bytesReceived(), data.size());
    EXPECT_EQ(out->user(), QList<User *>{bob});
    EXPECT_EQ(incoming->user(), QList<User *>{me}); // the request names its sender: Alice, here
    EXPECT_EQ(incoming->originalSenderName(), "Alice");

    const QString folder = receivedFolder();
    EXPECT_EQ(folder, receiveRoot() + "/Alice - " +
                          QLocale().toString(Clock::now().toLocalTime().date(), QLocale::LongFormat));
    EXPECT_EQ(readFile(folder + "/note.txt"), data);
    EXPECT_EQ(modeOf(folder + "/note.txt"), 0644);
    EXPECT_EQ(ui.sounds, QStringList{"File"});
    EXPECT_TRUE(ui.shown.contains(incoming.data()));
    EXPECT_FALSE(ctx->hasChanges()); // both ends saved
}

TEST_F(TransferLoopbackTest, AnEmptyFileAndAFolderTreeKeepTheirNamesBytesAndPermissions) {
    ASSERT_TRUE(writeFile(sourceRoot() + "/empty.dat", QByteArray()));
    ASSERT_TRUE(writeFile(sourceRoot() + "/Folder/a.txt", randomBytes(786432, 2), 0640));
    ASSERT_TRUE(writeFile(sourceRoot() + "/Folder/.hidden", "h", 0600));
    ASSERT_TRUE(writeFile(sourceRoot() + "/Folder/Sub/run.sh", randomBytes(786433, 3), 0755));
    ASSERT_TRUE(writeFile(sourceRoot() + QStringLiteral("/Folder/Sub/Ünïcødé ✓.txt"), "wide", 0644));
    ASSERT_TRUE(QDir().mkpath(sourceRoot() + "/Folder/EmptyDir"));
    ASSERT_EQ(::symlink("/etc/passwd", QFile::encodeName(sourceRoot() + "/Folder/link").constData()), 0);
    startServers([](FileTransfer *t) { t->ContinueTransfer(FileTransfer::Transferring); });
    FileTransfer *out = send({sourceRoot() + "/empty.dat", sourceRoot() + "/Folder"});
    ASSERT_TRUE(out);

    QStringList paths;
    for (const auto &f : out->outgoingFilesList()) paths << f->file_path + "|" + f->file_name;
    EXPECT_EQ(paths, (QStringList{"|empty.dat", "Folder|.hidden", "Folder\\Sub|run.sh",
                                  QStringLiteral("Folder\\Sub|Ünïcødé ✓.txt"), "Folder|a.txt"}));
    ASSERT_TRUE(runToEnd(out));
    EXPECT_EQ(states[incoming], (States{5, 1, 6}));
    EXPECT_EQ(states[out], (States{5, 1, 6}));

    const QString folder = receivedFolder();
    auto expected = checksums(sourceRoot());
    expected.erase("Folder/link");
    EXPECT_EQ(checksums(folder), expected);
    EXPECT_EQ(modeOf(folder + "/Folder/a.txt"), 0640);
    EXPECT_EQ(modeOf(folder + "/Folder/.hidden"), 0600);
    EXPECT_EQ(modeOf(folder + "/Folder/Sub/run.sh"), 0755);
    EXPECT_TRUE(QFileInfo(folder + "/empty.dat").isFile());
    EXPECT_FALSE(QFileInfo::exists(folder + "/Folder/EmptyDir")); // folders are not sent
    EXPECT_FALSE(QFileInfo::exists(folder + "/Folder/link"));     // nor links
}

TEST_F(TransferLoopbackTest, AnEmptyFolderMakesNoTransfer) {
    ASSERT_TRUE(QDir().mkpath(sourceRoot() + "/Nothing/Deeper"));
    startServers({});
    EXPECT_FALSE(sender->outgoingFiles({sourceRoot() + "/Nothing"}, bob));
    EXPECT_FALSE(sender->outgoingFiles({sourceRoot() + "/missing"}, bob));
    for (FileTransfer *t : ctx->fetch<FileTransfer>()) EXPECT_TRUE(t->isDeleted());
}

class TransferCipherChoiceTest : public TransferLoopbackTest, public ::testing::WithParamInterface<bool> {};

TEST_P(TransferCipherChoiceTest, TenMebibytesArriveIntactWithTheReceiversChoiceOfCipher) {
    const bool encrypted = GetParam();
    const QByteArray data = randomBytes(10 << 20, 4);
    ASSERT_TRUE(writeFile(sourceRoot() + "/ten.bin", data));
    startServers([encrypted](FileTransfer *t) {
        t->setEncrypt(encrypted); // the receiver's answer decides
        t->ContinueTransfer(FileTransfer::Transferring);
    });
    FileTransfer *out = send({sourceRoot() + "/ten.bin"});
    ASSERT_TRUE(out);
    ASSERT_TRUE(runToEnd(out, 60000));
    EXPECT_EQ(out->encrypt(), encrypted);
    EXPECT_EQ(states[incoming], (States{5, 1, 6}));
    EXPECT_EQ(states[out], (States{5, 1, 6}));
    EXPECT_TRUE(readFile(receivedFolder() + "/ten.bin") == data);
    EXPECT_EQ(incoming->bytesReceived(), data.size());
}

INSTANTIATE_TEST_SUITE_P(Both, TransferCipherChoiceTest, ::testing::Bool());

TEST_F(TransferLoopbackTest, ADeclinedTransferEndsCanceledOnBothSides) {
    ASSERT_TRUE(writeFile(sourceRoot() + "/f.txt", "data"));
    startServers([](FileTransfer *t) { t->ContinueTransfer(FileTransfer::Canceled); });
    FileTransfer *out = send({sourceRoot() + "/f.txt"});
    ASSERT_TRUE(out);
    ASSERT_TRUE(runToEnd(out));
    EXPECT_EQ(states[out], (States{5, 0}));
    EXPECT_EQ(states[incoming], (States{5, 0}));
    EXPECT_TRUE(QDir(receivedFolder()).isEmpty());
    // A late click changes nothing.
    incoming->ContinueTransfer(FileTransfer::Transferring);
    EXPECT_EQ(incoming->transferState(), FileTransfer::Canceled);
}

TEST_F(TransferLoopbackTest, AFolderThatCannotBeMadeShowsNoAccessOnBothSides) {
    ASSERT_TRUE(writeFile(sourceRoot() + "/f.txt", "data"));
    ASSERT_TRUE(writeFile(dir.filePath("plainfile"), "x"));
    Defaults::standard().setValue("fileTransferPath", dir.filePath("plainfile"));
    startServers({});
    FileTransfer *out = send({sourceRoot() + "/f.txt"});
    ASSERT_TRUE(out);
    ASSERT_TRUE(runToEnd(out));
    EXPECT_EQ(states[out], (States{5, 4}));
    EXPECT_EQ(states[incoming], (States{5, 4}));
}

TEST_F(TransferLoopbackTest, TheSendersCancelWhileWaitingReachesTheReceiverAsCanceled) {
    ASSERT_TRUE(writeFile(sourceRoot() + "/f.txt", "data"));
    startServers({}); // nobody decides
    FileTransfer *out = send({sourceRoot() + "/f.txt"});
    ASSERT_TRUE(out);
    ASSERT_TRUE(
        waitUntil([&] { return incoming && incoming->transferState() == FileTransfer::WaitingForAnswer; }));
    out->ContinueTransfer(FileTransfer::Canceled);
    ASSERT_TRUE(waitUntil([&] { return ended(incoming); }, 10000));
    EXPECT_EQ(states[out], (States{5, 0}));
    EXPECT_EQ(states[incoming], (States{5, 0}));
}

TEST_F(TransferLoopbackTest, ProgressIsPublishedAndEndsAtTheExactCount) {
    const QByteArray data = randomBytes(6 << 20, 11);
    ASSERT_TRUE(writeFile(sourceRoot() + "/p.bin", data));
    std::vector<qint64> seen;
    QObject::connect(ctx, &ManagedObjectContext::objectInserted, ctx, [&seen](ManagedObject *o) {
        auto *t = dynamic_cast<FileTransfer *>(o);
        if (!t) return;
        QObject::connect(t, &ManagedObject::attributeChanged, t,
                         [&seen, t](const QString &key, const QVariant &) {
                             if (key == QLatin1String("bytesReceived") && t->incoming())
                                 seen.push_back(t->bytesReceived());
                         });
    });
    startServers([](FileTransfer *t) { t->ContinueTransfer(FileTransfer::Transferring); });
    FileTransfer *out = send({sourceRoot() + "/p.bin"});
    ASSERT_TRUE(out);
    ASSERT_TRUE(runToEnd(out));
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), data.size());
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
}

TEST_F(TransferLoopbackTest, AFullDiskAtTheReceiverFailsBothSidesAndKeepsTheFileMarkedIncomplete) {
    // One chunk: the sender's only write is complete, its bytes in the socket, before the receiver
    // fails to store them, so nothing but the way the receiver ends the connection tells it.
    const QByteArray data = randomBytes(FileTransfer::ChunkSize, 12);
    ASSERT_TRUE(writeFile(sourceRoot() + "/big.bin", data));
    // A file-size limit stands in for a full disk: the receiver's writes past it fail.
    struct rlimit old;
    ::getrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, SIG_IGN);
    startServers([old](FileTransfer *t) {
        struct rlimit small = old;
        small.rlim_cur = 256 << 10;
        ::setrlimit(RLIMIT_FSIZE, &small);
        t->ContinueTransfer(FileTransfer::Transferring);
    });
    FileTransfer *out = send({sourceRoot() + "/big.bin"});
    ASSERT_TRUE(out);
    const bool finished = runToEnd(out);
    ::setrlimit(RLIMIT_FSIZE, &old);
    ASSERT_TRUE(finished);
    EXPECT_EQ(out->bytesReceived(), data.size()); // the sender had written every byte
    EXPECT_EQ(states[incoming], (States{5, 1, 7}));
    EXPECT_EQ(states[out], (States{5, 1, 7}));
    EXPECT_FALSE(QFileInfo::exists(receivedFolder() + "/big.bin"));
    EXPECT_EQ(QFileInfo(receivedFolder() + "/big.bin.part").size(), 256 << 10);
}

TEST_F(TransferLoopbackTest, AnEmptyLastFileTheReceiverRefusesFailsTheSenderThoughItGoesOn) {
    ASSERT_TRUE(writeFile(sourceRoot() + "/a.bin", randomBytes(1000, 14)));
    ASSERT_TRUE(writeFile(sourceRoot() + "/Docs/empty", QByteArray()));
    startServers([](FileTransfer *t) {
        // A plain file where the folder Docs is to be made: the receiver refuses the file in it.
        writeFile(t->folderPath().toLocalFile() + "/Docs", "x");
        t->ContinueTransfer(FileTransfer::Transferring);
    });
    FileTransfer *out = send({sourceRoot() + "/a.bin", sourceRoot() + "/Docs"});
    ASSERT_TRUE(out);
    ASSERT_TRUE(runToEnd(out));
    EXPECT_EQ(states[incoming], (States{5, 1, 4}));
    EXPECT_EQ(states[out], (States{5, 1, 7}));
    EXPECT_EQ(out->filesTransferred(), 2); // past the refused empty file, as peers expect
    EXPECT_EQ(readFile(receivedFolder() + "/a.bin").size(), 1000);
}

TEST_F(TransferLoopbackTest, AFileThatShrinksWhileItIsSentFailsTheTransferInsteadOfSendingJunk) {
    const QString path = sourceRoot() + "/shrinking.bin";
    ASSERT_TRUE(writeFile(path, randomBytes(4 << 20, 13)));
    startServers([path](FileTransfer *t) {
        ::truncate(QFile::encodeName(path).constData(), 1 << 20);
        t->ContinueTransfer(FileTransfer::Transferring);
    });
    FileTransfer *out = send({path});
    ASSERT_TRUE(out);
    ASSERT_TRUE(runToEnd(out));
    EXPECT_EQ(states[out], (States{5, 1, 7}));
    EXPECT_EQ(states[incoming], (States{5, 1, 7}));
    EXPECT_FALSE(QFileInfo::exists(receivedFolder() + "/shrinking.bin"));
}

TEST_F(TransferLoopbackTest, EveryIncomingTransferGetsAFolderOfItsOwnNamedAfterThePeer) {
    const QString date = QLocale().toString(Clock::now().toLocalTime().date(), QLocale::LongFormat);
    QStringList folders;
    for (const QString name : {"Ann", "Ann", "Ann", "../Ev/il"}) {
        User *u = ctx->insert<User>();
        u->setName(name);
        auto *t = ctx->insert<FileTransfer>();
        t->addUserObject(u);
        ASSERT_TRUE(t->updateFolderPath());
        folders << t->folderPath().toLocalFile().mid(receiveRoot().size() + 1);
    }
    EXPECT_EQ(folders, (QStringList{"Ann - " + date, "Ann - " + date + " (2)", "Ann - " + date + " (3)",
                                    ".._Ev_il - " + date}));
}

TEST_F(TransferLoopbackTest, TheFolderCarriesTheDateOfTheLocalCalendar) {
    struct Case {
        const char *zone;
        const char *utc;
        QDate local;
    };
    const Case cases[] = {
        {"Pacific/Kiritimati", "2023-11-14T22:30:00Z", QDate(2023, 11, 15)}, // UTC+14
        {"Pacific/Pago_Pago", "2023-11-15T05:30:00Z", QDate(2023, 11, 14)},  // UTC-11
        {"UTC", "2023-11-15T05:30:00Z", QDate(2023, 11, 15)},
    };
    const QByteArray zoneBefore = qgetenv("TZ");
    const bool hadZone = qEnvironmentVariableIsSet("TZ");
    for (const Case &c : cases) {
        qputenv("TZ", c.zone);
        ::tzset();
        const QDateTime at = QDateTime::fromString(QString::fromLatin1(c.utc), Qt::ISODate);
        Clock::setNowFunction([at] { return at; });
        User *u = ctx->insert<User>();
        u->setName(QString::fromLatin1(c.zone).section('/', -1));
        auto *t = ctx->insert<FileTransfer>();
        t->addUserObject(u);
        ASSERT_TRUE(t->updateFolderPath());
        EXPECT_EQ(t->folderPath().toLocalFile().mid(receiveRoot().size() + 1),
                  u->name() + " - " + QLocale().toString(c.local, QLocale::LongFormat))
            << c.zone;
    }
    Clock::setNowFunction({});
    if (hadZone)
        qputenv("TZ", zoneBefore);
    else
        qunsetenv("TZ");
    ::tzset();
}

// --- Raw peers ---

// A receiver played by the test: accepts once, answers by the script, records the bytes.
struct RawReceiver {
    std::uint16_t port = 0;
    int listenFd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
    QList<QByteArray> lines; // request and file headers as read
    QByteArray data;         // every data byte, in order
    bool ok = true;
    bool resetAtEnd = false; // end with a reset instead of an orderly close
    qsizetype readPace = 0;  // with a pace: at most this many data bytes every 100 ms
    QByteArray trailing;     // sent right after the last file's answer, as a receiver never does
    bool halfClose = false;  // at the end its sending side ends first, and it waits for the sender's close

    // answers[0] answers the request; then per file: its answer and the bytes to read after it
    // (-1: close the connection instead of reading).
    void start(const QByteArray &transferAnswer, const std::vector<std::pair<QByteArray, qint64>> &files) {
        listenFd = rawpeer::listenLoopback(&port);
        thread = std::thread([this, transferAnswer, files] {
            const int fd = ::accept(listenFd, nullptr, nullptr);
            QByteArray line;
            ok = fd >= 0 && rawpeer::readLine(fd, &line);
            lines << line;
            ok = ok && rawpeer::sendAll(fd, transferAnswer);
            for (const auto &[answer, toRead] : files) {
                if (!ok) break;
                ok = rawpeer::readLine(fd, &line);
                lines << line;
                ok = ok && rawpeer::sendAll(fd, answer);
                if (&answer == &files.back().first && !trailing.isEmpty()) {
                    ok = ok && rawpeer::sendAll(fd, trailing);
                }
                if (toRead < 0) break;
                for (qint64 left = toRead; ok && left > 0;) {
                    const qint64 step = readPace > 0 ? std::min<qint64>(readPace, left) : left;
                    ok = rawpeer::readExact(fd, step, &data, 20000);
                    left -= step;
                    if (readPace > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
            }
            if (fd >= 0 && halfClose) {
                ::shutdown(fd, SHUT_WR);
                rawpeer::waitForEnd(fd);
            }
            if (fd >= 0 && resetAtEnd)
                rawpeer::resetAndClose(fd);
            else if (fd >= 0)
                ::close(fd);
            done = true;
        });
    }
    ~RawReceiver() {
        if (thread.joinable()) thread.join();
        if (listenFd >= 0) ::close(listenFd);
    }
};

QByteArray transferAnswer(const QString &accept, const QString &aes, bool wide = true) {
    return HeaderRecord::prepare({"CONTENT-TYPE", wide ? "NEWWIDEFTSANSWER" : "NEWFTSANSWER", "ACCEPT-FILES",
                                  accept, "ACCEPT-AES", aes},
                                 false);
}

QByteArray fileAnswer(const QString &accept) {
    return HeaderRecord::prepare({"CONTENT-TYPE", "FILESENDREQUESTRESPONSE", "ACCEPT", accept}, false);
}

TEST_F(TransferLoopbackTest, TheSendersRecordsAndChunksOnTheWire) {
    const QByteArray second = randomBytes(786432, 5), third = randomBytes(786433, 6);
    ASSERT_TRUE(writeFile(sourceRoot() + "/D/a-zero", QByteArray(), 0600));
    ASSERT_TRUE(writeFile(sourceRoot() + "/D/b-one", second, 0644));
    ASSERT_TRUE(writeFile(sourceRoot() + "/D/sub/two", third, 0755));
    RawReceiver peer;
    // The empty file is refused ("4") and still the sender goes on with the next one.
    peer.start(transferAnswer("1", "1"),
               {{fileAnswer("4"), 0}, {fileAnswer("1"), 786432}, {fileAnswer("1"), 786432 + 16}});
    startServers({});
    sender->setConnectPort(peer.port);
    FileTransfer *out = send({sourceRoot() + "/D"});
    ASSERT_TRUE(out);
    ASSERT_TRUE(waitUntil([&] { return peer.done.load(); }, 20000));
    ASSERT_TRUE(peer.ok);
    ASSERT_TRUE(waitUntil([&] { return ended(out); }));
    EXPECT_EQ(states[out], (States{5, 1, 6})); // the peer's close after the last chunk confirms it

    ASSERT_EQ(peer.lines.size(), 4);
    const QHash<QString, QString> request = HeaderRecord::fields(peer.lines[0]);
    EXPECT_EQ(peer.lines[0].count('\x1f'), 9);
    EXPECT_EQ(request.value("content_type"), "FILESENDREQUEST");
    EXPECT_EQ(request.value("sessaes"), "1");
    EXPECT_EQ(request.value("from_id"), "A000000001");
    EXPECT_EQ(request.value("from_usernamedisplay"), "Alice");
    EXPECT_EQ(request.value("to_user"), "A000000002");
    EXPECT_EQ(request.value("files_number"), "3");
    EXPECT_EQ(request.value("files_totalsize"), QString::number(786432 + 786433));
    EXPECT_EQ(request.value("isfileswide"), "1");
    const qint64 sessid = request.value("sessid").toLongLong();
    EXPECT_TRUE(sessid >= 0 && sessid < 999999999);

    const QList<QStringList> headers = {
        {"D", "a-zero", "0", "384"}, {"D", "b-one", "786432", "420"}, {"D\\sub", "two", "786433", "493"}};
    for (int i = 0; i < 3; ++i) {
        const QHash<QString, QString> h = HeaderRecord::fields(peer.lines[i + 1]);
        EXPECT_EQ(peer.lines[i + 1].count('\x1f'), 7);
        EXPECT_EQ(h.value("content_type"), "SENDFILESTREAM");
        EXPECT_EQ(h.value("file_path"), headers[i][0]);
        EXPECT_EQ(h.value("file_name"), headers[i][1]);
        EXPECT_EQ(h.value("file_size"), headers[i][2]);
        EXPECT_EQ(h.value("file_permissions"), headers[i][3]);
        EXPECT_EQ(h.value("file_widepath"), QString::fromLatin1(headers[i][0].toUtf8().toBase64()));
        EXPECT_EQ(h.value("file_widename"), QString::fromLatin1(headers[i][1].toUtf8().toBase64()));
    }
    EXPECT_EQ(peer.data.size(), 786432 + 786432 + 16);
    const QByteArray plain = streamDecrypt(peer.data);
    EXPECT_TRUE(plain.left(786432) == second);
    EXPECT_TRUE(plain.mid(786432, 786433) == third);
    EXPECT_EQ(plain.mid(786432 + 786433), QByteArray(15, '\0')); // the padding carries nothing
}

TEST_F(TransferLoopbackTest, AFileRefusedAfterBytesWereAnnouncedFailsTheSender) {
    ASSERT_TRUE(writeFile(sourceRoot() + "/f.bin", "12345"));
    RawReceiver peer;
    peer.start(transferAnswer("1", "0", false), {{fileAnswer("4"), -1}});
    startServers({});
    sender->setConnectPort(peer.port);
    FileTransfer *out = send({sourceRoot() + "/f.bin"});
    ASSERT_TRUE(out);
    ASSERT_TRUE(waitUntil([&] { return ended(out) && peer.done; }));
    EXPECT_EQ(states[out], (States{5, 1, 7}));
    // Without the wide answer no wide pieces travel.
    EXPECT_FALSE(HeaderRecord::fields(peer.lines.value(1)).contains("file_widename"));
    EXPECT_EQ(peer.lines.value(1).count('\x1f'), 5);
}

TEST_F(TransferLoopbackTest, AnAnswerOutsideTheKnownOnesIsADecline) {
    for (const QString answer : {"6", "", "9"}) {
        ASSERT_TRUE(writeFile(sourceRoot() + "/f.bin", "12345"));
        RawReceiver peer;
        peer.start(transferAnswer(answer, "1"), {});
        if (!sender) startServers({});
        sender->setConnectPort(peer.port);
        FileTransfer *out = send({sourceRoot() + "/f.bin"});
        ASSERT_TRUE(out);
        ASSERT_TRUE(waitUntil([&] { return ended(out) && peer.done; }));
        EXPECT_EQ(states[out], (States{5, 0})) << qPrintable(answer);
    }
}

TEST_F(TransferLoopbackTest, AReceiverThatVanishesMidFileFailsTheSender) {
    ASSERT_TRUE(writeFile(sourceRoot() + "/big.bin", randomBytes(8 << 20, 8)));
    RawReceiver peer;
    peer.start(transferAnswer("1", "1"), {{fileAnswer("1"), 1 << 20}});
    startServers({});
    sender->setConnectPort(peer.port);
    FileTransfer *out = send({sourceRoot() + "/big.bin"});
    ASSERT_TRUE(out);
    ASSERT_TRUE(waitUntil([&] { return ended(out); }, 20000));
    EXPECT_EQ(states[out], (States{5, 1, 7}));
}

TEST_F(TransferLoopbackTest, OnlyAnOrderlyCloseAfterTheLastByteCompletesTheSender) {
    for (const bool reset : {false, true}) {
        const QByteArray data = randomBytes(5000, 15);
        ASSERT_TRUE(writeFile(sourceRoot() + "/f.bin", data));
        RawReceiver peer;
        peer.resetAtEnd = reset;
        peer.start(transferAnswer("1", "0"), {{fileAnswer("1"), data.size()}});
        if (!sender) startServers({});
        sender->setConnectPort(peer.port);
        FileTransfer *out = send({sourceRoot() + "/f.bin"});
        ASSERT_TRUE(out);
        ASSERT_TRUE(waitUntil([&] { return ended(out) && peer.done; }));
        EXPECT_TRUE(peer.data == data); // every byte arrived either way: only the close tells
        EXPECT_EQ(states[out], (States{5, 1, reset ? 7 : 6})) << "reset " << reset;
    }
}

TEST_F(TransferLoopbackTest, TheReceiversCloseIsNoticedAtOnceWhateverItSentAfterItsLastAnswer) {
    // Bytes after the last answer wait unread in front of the receiver's close; the sender has
    // nothing left to read by then and must still learn of the close at once, not when its own
    // 20 s wait for it ends (which also takes any end, a reset too, for a confirmation).
    struct Case {
        const char *what;
        QByteArray trailing;
        bool halfClose = false; // after the data only its sending side ends, till the sender closes
        bool reset = false;     // it ends with a reset after reading everything
        bool readNone = false;  // it goes without reading the data (the sender still writing)
        States states;
    };
    const Case cases[] = {
        {"a line", "EXTRA\r\n", false, false, false, {5, 1, 6}},
        {"bytes with no line end", QByteArray("\x01\x02xyz", 5), false, false, false, {5, 1, 6}},
        {"bytes, then only its sending side ends", "xyz", true, false, false, {5, 1, 6}},
        {"bytes, then a reset", "xyz", false, true, false, {5, 1, 7}},
        {"bytes, then a close before any data is read", "xyz", false, false, true, {5, 1, 7}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        // Larger than the kernel's buffers when the receiver reads nothing: the write is pending.
        const QByteArray data = randomBytes(c.readNone ? 8 << 20 : 5000, 31);
        ASSERT_TRUE(writeFile(sourceRoot() + "/f.bin", data));
        RawReceiver peer;
        peer.trailing = c.trailing;
        peer.halfClose = c.halfClose;
        peer.resetAtEnd = c.reset;
        peer.start(transferAnswer("1", "0"), {{fileAnswer("1"), c.readNone ? -1 : data.size()}});
        if (!sender) startServers({});
        sender->setConnectPort(peer.port);
        FileTransfer *out = send({sourceRoot() + "/f.bin"});
        ASSERT_TRUE(out);
        // Generous for a loaded machine, and still well before the sender's own wait would end.
        EXPECT_TRUE(waitUntil([&] { return ended(out) && peer.done; }, 15000));
        EXPECT_EQ(states[out], c.states);
        if (c.states.back() == FileTransfer::Complete) {
            EXPECT_TRUE(peer.data == data);
        }
    }
}

// A sender played by the test: the request, one file header, some data, then whatever it says.
struct RawSender {
    std::thread thread;
    std::atomic<bool> done{false};
    QList<QByteArray> answers;
    std::atomic<int> end{-2}; // how the receiver ended the connection (rawpeer::waitForEnd)
    qsizetype pace = 0;       // with a pace: this many data bytes every 250 ms
    void start(std::uint16_t port, const QByteArray &request, const QByteArray &header,
               const QByteArray &data, int endWaitMs = 3000) {
        thread = std::thread([=, this] {
            const int fd = rawpeer::connectLoopback(port);
            QByteArray line;
            if (fd >= 0 && rawpeer::sendAll(fd, request) && rawpeer::readLine(fd, &line)) {
                answers << line;
                if (!header.isEmpty() && rawpeer::sendAll(fd, header) && rawpeer::readLine(fd, &line)) {
                    answers << line;
                    const qsizetype step = pace > 0 ? pace : data.size();
                    for (qsizetype at = 0; at < data.size(); at += step) {
                        if (!rawpeer::sendAll(fd, data.mid(at, step))) break;
                        if (pace > 0) std::this_thread::sleep_for(std::chrono::milliseconds(250));
                    }
                    // Wait (bounded) for the receiver's close where it closes.
                    end = rawpeer::waitForEnd(fd, endWaitMs);
                }
            }
            if (fd >= 0) ::close(fd);
            done = true;
        });
    }
    ~RawSender() {
        if (thread.joinable()) thread.join();
    }
};

QByteArray request(const QString &aes, qint64 files = 1, qint64 total = 10) {
    return HeaderRecord::prepare({"CONTENT-TYPE", "FILESENDREQUEST", "SESSID", "77", "SESSAES", aes,
                                  "FROM-ID", "A000000009", "FROM-USERNAMEDISPLAY", "Mallory", "TO-USER",
                                  "A000000001", "FILES-NUMBER", QString::number(files), "FILES-TOTALSIZE",
                                  QString::number(total), "ISFILESWIDE", "1"},
                                 false);
}

QByteArray header(const QString &path, const QString &name, qint64 size, const QString &widepath = "",
                  const QString &widename = "") {
    return HeaderRecord::prepare({"CONTENT-TYPE", "SENDFILESTREAM", "FILE-PATH", path, "FILE-NAME", name,
                                  "FILE-SIZE", QString::number(size), "FILE-PERMISSIONS", "420",
                                  "FILE-WIDEPATH", widepath, "FILE-WIDENAME", widename},
                                 false);
}

QString wide(const QString &s) { return QString::fromLatin1(s.toUtf8().toBase64()); }

// The log lines of the transfer category while the test runs.
QStringList &transferLog() {
    static QStringList lines;
    return lines;
}

void recordTransferLog(QtMsgType, const QMessageLogContext &context, const QString &text) {
    if (context.category && QByteArray(context.category) == "murnavell.transfer") transferLog() << text;
}

TEST_F(TransferLoopbackTest, ARequestWhoseConnectionEndsAtOnceStillKnowsThePeersAddress) {
    // The connection ends right behind the request, often before the request is handled: the
    // peer's address must not go with it.
    startServers({});
    const QByteArray withoutSender = HeaderRecord::prepare(
        {"CONTENT-TYPE", "FILESENDREQUEST", "SESSID", "78", "SESSAES", "0", "FILES-NUMBER", "1"}, false);
    transferLog().clear();
    QtMessageHandler previous = qInstallMessageHandler(recordTransferLog);
    for (const QByteArray &record : {request("0"), withoutSender}) {
        const int fd = rawpeer::connectLoopback(receiver->listeningPort());
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(rawpeer::sendAll(fd, record));
        ::close(fd);
    }
    const bool logged = waitUntil([] {
        return transferLog().contains(QStringLiteral("transfer request without a sender from 127.0.0.1"));
    });
    qInstallMessageHandler(previous);
    EXPECT_TRUE(logged) << qPrintable(transferLog().join('\n'));
    // The unknown sender of the first is known now, at the address it came from.
    ASSERT_TRUE(waitUntil([&] { return User::findByUserId(ctx, QStringLiteral("A000000009")) != nullptr; }));
    EXPECT_EQ(User::findByUserId(ctx, QStringLiteral("A000000009"))->ip(), QStringLiteral("127.0.0.1"));
}

TEST_F(TransferLoopbackTest, ASenderThatKeepsSendingSlowlyPastTwentySecondsIsNotCutOff) {
    // 786432 bytes at 32 KiB/s: one chunk that takes 24 s, a byte never more than 0.25 s apart.
    const QByteArray data = randomBytes(786432, 21);
    startServers([](FileTransfer *t) { t->ContinueTransfer(FileTransfer::Transferring); });
    RawSender peer;
    peer.pace = 8192;
    peer.start(receiver->listeningPort(), request("0", 1, data.size()), header("", "slow.bin", data.size()),
               data, 5000);
    ASSERT_TRUE(waitUntil([&] { return incoming && ended(incoming); }, 40000));
    EXPECT_EQ(states[incoming], (States{5, 1, 6}));
    EXPECT_EQ(readFile(receivedFolder() + "/slow.bin"), data);
    ASSERT_TRUE(waitUntil([&] { return peer.done.load(); }, 10000));
    EXPECT_EQ(peer.end, 0) << "closed in order: the receiver confirmed every byte";
}

// The idle time-out shortened to a second, so a stall shows without waiting 20 s.
class TransferIdleTest : public TransferLoopbackTest {
protected:
    void SetUp() override {
        TransferLoopbackTest::SetUp();
        FileTransfer::setIdleTimeoutForTesting(1.0);
    }
    void TearDown() override {
        FileTransfer::setIdleTimeoutForTesting(0);
        TransferLoopbackTest::TearDown();
    }
};

TEST_F(TransferIdleTest, BytesThatKeepComingHoldTheReceiverAndAStallEndsIt) {
    struct Case {
        const char *what;
        qsizetype sent; // bytes the peer sends (slowly) of the file's 786432 + 100
        States states;
    };
    const Case cases[] = {
        {"a chunk and the rest, each taking several time-outs", 786432 + 100, {5, 1, 6}},
        {"a stall in the first chunk", 300000, {5, 1, 7}},
        {"a stall in the record after a chunk", -1, {5, 1, 7}},
    };
    startServers([](FileTransfer *t) { t->ContinueTransfer(FileTransfer::Transferring); });
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        incoming.clear();
        const QByteArray data = randomBytes(786432 + 100, 22);
        RawSender peer;
        peer.pace = 65536; // 256 KiB/s: the first chunk takes 3 s, three idle time-outs
        const bool twoFiles = c.sent < 0;
        // Two files announced, one sent: the receiver waits for a second header that never comes.
        peer.start(receiver->listeningPort(), request("0", twoFiles ? 2 : 1, data.size()),
                   header("", "f.bin", data.size()), twoFiles ? data : data.left(c.sent), 8000);
        ASSERT_TRUE(waitUntil([&] { return incoming && ended(incoming); }, 20000));
        EXPECT_EQ(states[incoming], c.states);
        if (c.states.back() == FileTransfer::Complete || twoFiles) {
            EXPECT_EQ(readFile(receivedFolder() + "/f.bin"), data);
        }
    }
}

TEST_F(TransferIdleTest, AReceiverThatKeepsReadingSlowlyHoldsTheSender) {
    // More than the kernel's buffers hold, so the last chunks wait for the slow reader, each
    // longer than the idle time-out.
    const QByteArray data = randomBytes(6 << 20, 23);
    ASSERT_TRUE(writeFile(sourceRoot() + "/big.bin", data));
    RawReceiver peer;
    peer.readPace = 65536; // 640 KiB/s
    peer.start(transferAnswer("1", "0"), {{fileAnswer("1"), data.size()}});
    startServers({});
    sender->setConnectPort(peer.port);
    FileTransfer *out = send({sourceRoot() + "/big.bin"});
    ASSERT_TRUE(out);
    ASSERT_TRUE(waitUntil([&] { return peer.done.load(); }, 30000));
    EXPECT_TRUE(peer.ok);
    EXPECT_EQ(peer.data, data);
    ASSERT_TRUE(waitUntil([&] { return ended(out); }, 10000));
    EXPECT_EQ(states[out], (States{5, 1, 6}));
}

TEST_F(TransferLoopbackTest, ASenderThatVanishesMidFileLeavesOnlyAnIncompleteFile) {
    startServers([](FileTransfer *t) { t->ContinueTransfer(FileTransfer::Transferring); });
    RawSender peer;
    peer.start(receiver->listeningPort(), request("0", 1, 2 * 786432), header("", "x.bin", 2 * 786432),
               randomBytes(786432 + 1000, 9));
    ASSERT_TRUE(waitUntil([&] { return incoming && ended(incoming); }, 15000));
    EXPECT_EQ(states[incoming], (States{5, 1, 7}));
    EXPECT_EQ(incoming->user().value(0)->userId(), "A000000009"); // an unknown sender is created
    EXPECT_EQ(incoming->user().value(0)->ip(), "127.0.0.1");
    EXPECT_FALSE(QFileInfo::exists(receivedFolder() + "/x.bin"));
    EXPECT_EQ(QFileInfo(receivedFolder() + "/x.bin.part").size(), 786432);
    EXPECT_EQ(incoming->receivedFiles(), QStringList{receivedFolder() + "/x.bin.part"});
}

TEST_F(TransferLoopbackTest, TheReceiverClosesInOrderOnlyWhenItHasEveryFileAndResetsOtherwise) {
    struct Case {
        const char *what;
        QByteArray header, data;
        bool cancel; // the receiver's user cancels once the data is in
        int end;
        States states;
    };
    const std::vector<Case> cases = {
        {"finished", header("", "f.txt", 4), "data", false, 0, {5, 1, 6}},
        {"canceled mid-file",
         header("", "f.bin", 786432),
         randomBytes(1000, 16),
         true,
         ECONNRESET,
         {5, 1, 0}},
        {"name refused", header("", "..", 4), "", false, ECONNRESET, {5, 1, 4}},
    };
    startServers([](FileTransfer *t) { t->ContinueTransfer(FileTransfer::Transferring); });
    for (const Case &c : cases) {
        incoming.clear();
        RawSender peer;
        peer.start(receiver->listeningPort(), request("0", 1, 4), c.header, c.data, 10000);
        if (c.cancel) {
            ASSERT_TRUE(waitUntil([&] { return incoming && incoming->bytesReceived() == c.data.size(); }))
                << c.what;
            incoming->ContinueTransfer(FileTransfer::Canceled);
        }
        ASSERT_TRUE(waitUntil([&] { return peer.done && incoming && ended(incoming); }, 15000)) << c.what;
        EXPECT_EQ(peer.answers.size(), 2) << c.what;
        EXPECT_EQ(peer.end.load(), c.end) << c.what;
        EXPECT_EQ(states[incoming], c.states) << c.what;
    }
}

TEST_F(TransferLoopbackTest, HostileNamesFromThePeerAreRefusedAndNothingIsWrittenOutsideTheFolder) {
    struct Case {
        QString path, name, widepath, widename;
    };
    const std::vector<Case> cases = {
        {"", "..\\..\\evil", "", ""},
        {"..\\..", "evil", "", ""},
        {"", "ok.txt", "", wide("../../evil")},
        {"Docs", "ok.txt", wide("../../.."), ""},
        {"/tmp", "evil", "", ""},
        {"", "ok", "", wide(QString("ev") + QChar(0) + "il")},
        {"C:\\Windows", "evil", "", ""},
        {"", "", "", ""},
    };
    startServers([](FileTransfer *t) { t->ContinueTransfer(FileTransfer::Transferring); });
    for (const Case &c : cases) {
        incoming.clear();
        RawSender peer;
        peer.start(receiver->listeningPort(), request("0", 1, 4),
                   header(c.path, c.name, 4, c.widepath, c.widename), "data");
        ASSERT_TRUE(waitUntil([&] { return peer.done && incoming && ended(incoming); }, 10000))
            << qPrintable(c.name);
        ASSERT_EQ(peer.answers.size(), 2);
        EXPECT_EQ(HeaderRecord::fields(peer.answers[1]).value("accept"), "4") << qPrintable(c.name);
        EXPECT_EQ(incoming->transferState(), FileTransfer::NoFolderAccess);
        EXPECT_TRUE(QDir(receivedFolder()).isEmpty()) << qPrintable(c.name);
    }
    // Nothing beside the received folders.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).filter("evil"),
              QStringList());
    EXPECT_FALSE(QFileInfo::exists("/tmp/evil"));
}

TEST_F(TransferLoopbackTest, AnEndlessHeaderLineIsCutOffAndLeavesNoLine) {
    startServers({});
    std::atomic<bool> closed{false};
    std::thread peer([&] {
        const int fd = rawpeer::connectLoopback(receiver->listeningPort());
        const QByteArray junk(64 * 1024, 'A');
        for (int i = 0; i < 40 && rawpeer::sendAll(fd, junk); ++i) {
        }
        QByteArray one;
        closed = !rawpeer::readExact(fd, 1, &one, 5000);
        ::close(fd);
    });
    ASSERT_TRUE(waitUntil([&] { return closed.load(); }, 10000));
    peer.join();
    spinFor(100);
    for (FileTransfer *t : ctx->fetch<FileTransfer>()) EXPECT_TRUE(t->isDeleted());
    EXPECT_EQ(incoming, nullptr);
}

TEST_F(TransferLoopbackTest, ATransferUnderWayWhenTheProgramEndedReadsAsFailedAfterARestart) {
    QTemporaryDir store;
    const QString path = store.filePath("s.storedata");
    {
        ManagedObjectContext c(UserListModel::model());
        ASSERT_TRUE(c.open(path));
        for (qint64 s : {1, 5, 6, 0}) {
            auto *t = c.insert<FileTransfer>();
            t->setTransferState(s);
            t->setFilesTotalSize(100);
        }
        ASSERT_TRUE(c.save());
    }
    ManagedObjectContext c(UserListModel::model());
    ASSERT_TRUE(c.open(path));
    QList<qint64> got, bytes;
    for (FileTransfer *t : c.fetch<FileTransfer>()) {
        got << t->transferState();
        bytes << t->bytesReceived();
    }
    EXPECT_EQ(got, (QList<qint64>{7, 7, 6, 0}));
    EXPECT_EQ(bytes, (QList<qint64>{0, 0, 116, 0}));
}

TEST_F(TransferLoopbackTest, TheEncryptedBytesOnTheWireForAFixedFileStayTheSame) {
    // Three chunks, the last padded, then a second file: one cipher chain under the packet key
    // from a zero IV runs on across chunks and files, each file's end padded with zeros to 16.
    const QByteArray a = randomBytes(2 * 786432 + 5, 41), b = randomBytes(1000, 42);
    ASSERT_TRUE(writeFile(sourceRoot() + "/W/a.bin", a));
    ASSERT_TRUE(writeFile(sourceRoot() + "/W/b.bin", b));
    RawReceiver peer;
    peer.start(transferAnswer("1", "1"), {{fileAnswer("1"), 2 * 786432 + 16}, {fileAnswer("1"), 1008}});
    startServers({});
    sender->setConnectPort(peer.port);
    FileTransfer *out = send({sourceRoot() + "/W"});
    ASSERT_TRUE(out);
    ASSERT_TRUE(waitUntil([&] { return peer.done.load(); }, 20000));
    ASSERT_TRUE(peer.ok);
    ASSERT_TRUE(waitUntil([&] { return ended(out); }));
    EXPECT_EQ(states[out], (States{5, 1, 6}));
    const QByteArray expected = streamEncrypt(a + QByteArray(11, '\0') + b + QByteArray(8, '\0'));
    ASSERT_EQ(peer.data.size(), expected.size());
    EXPECT_TRUE(peer.data == expected);
}

TEST_F(TransferLoopbackTest, APeersEncryptedStreamArrivesAsItsPlainBytes) {
    // The receiving side of the same chain: three chunks, the last one padded.
    const QByteArray data = randomBytes(2 * 786432 + 5, 43);
    startServers([](FileTransfer *t) { t->ContinueTransfer(FileTransfer::Transferring); });
    RawSender peer;
    peer.start(receiver->listeningPort(), request("1", 1, data.size()), header("", "e.bin", data.size()),
               streamEncrypt(data + QByteArray(11, '\0')));
    ASSERT_TRUE(waitUntil([&] { return incoming && ended(incoming); }, 20000));
    EXPECT_EQ(states[incoming], (States{5, 1, 6}));
    EXPECT_TRUE(readFile(receivedFolder() + "/e.bin") == data);
    ASSERT_TRUE(waitUntil([&] { return peer.done.load(); }, 10000));
    EXPECT_EQ(peer.end, 0);
}

} // namespace
