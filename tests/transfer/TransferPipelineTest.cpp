// Chunks read, run through the cipher and written off the main thread, several at once: either
// side's file work held back, the other side waits within the window; a cancel in the middle
// frees everything; observers still hear of every change on the main thread.
#include "TransferTestSupport.h"

#include <QThread>

#include <condition_variable>
#include <mutex>

namespace {

using States = std::vector<qint64>;

// Holds the file work of one side at the next chunk until opened.
class Gate {
public:
    explicit Gate(bool holdSending) : m_holdSending(holdSending) {
        FileTransfer::setChunkHookForTesting([this](bool sending) {
            if (sending != m_holdSending) return;
            std::unique_lock lock(m_mutex);
            ++m_entered;
            // Bounded, so a failing test cannot hang the run.
            m_cv.wait_for(lock, std::chrono::seconds(30), [this] { return m_open; });
        });
    }
    ~Gate() {
        open();
        FileTransfer::setChunkHookForTesting({});
    }
    void open() {
        {
            std::lock_guard lock(m_mutex);
            m_open = true;
        }
        m_cv.notify_all();
    }
    int entered() {
        std::lock_guard lock(m_mutex);
        return m_entered;
    }

private:
    const bool m_holdSending;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_open = false;
    int m_entered = 0;
};

class TransferPipelineTest : public TransferFixture {
protected:
    void SetUp() override {
        TransferFixture::SetUp();
        // Every change either side publishes, and whether it came on the main thread.
        QObject::connect(ctx, &ManagedObjectContext::objectInserted, ctx, [this](ManagedObject *o) {
            if (!dynamic_cast<FileTransfer *>(o)) return;
            QObject::connect(o, &ManagedObject::attributeChanged, o,
                             [this](const QString &, const QVariant &) {
                                 ++changes;
                                 if (QThread::currentThread() != QCoreApplication::instance()->thread())
                                     ++offMain;
                             });
        });
    }
    FileTransfer *send(const QStringList &paths) {
        if (!sender->outgoingFiles(paths, bob)) return nullptr;
        return ctx->fetch<FileTransfer>().value(ctx->fetch<FileTransfer>().size() - 1);
    }
    QString receivedFolder() const { return incoming ? incoming->folderPath().toLocalFile() : QString(); }
    // Both servers up; the receiver takes every transfer, encrypted as `encrypt` says then.
    void startAccepting() {
        startServers([this](FileTransfer *t) {
            t->setEncrypt(encrypt);
            t->ContinueTransfer(FileTransfer::Transferring);
        });
    }
    // The next case's transfer of one file.
    FileTransfer *sendAnew(const QString &path, bool encrypted) {
        incoming.clear();
        encrypt = encrypted;
        return send({path});
    }
    // The side held at the gate has filled its window and waits there.
    static bool windowFull(Gate &gate, FileTransfer *side) {
        return gate.entered() == 1 && side && side->chunkBuffersHeld() == FileTransfer::ChunksInFlight;
    }
    // Both sides ended and hold nothing.
    bool endedAndFreed(FileTransfer *out) {
        return ended(out) && ended(incoming) && out->chunkBuffersHeld() == 0 &&
               incoming->chunkBuffersHeld() == 0 && !out->hasCipher() && !incoming->hasCipher();
    }

    int changes = 0;
    int offMain = 0;
    bool encrypt = true;
};

TEST_F(TransferPipelineTest, EitherSideHeldBackTheOtherWaitsWithinTheWindowAndEveryByteArrives) {
    struct Case {
        const char *what;
        bool hold;        // one side's file work is held until the window is full
        bool holdSending; // which: the sender's reads or the receiver's writes
        bool encrypt;
    };
    const Case cases[] = {
        {"nothing held, encrypted", false, false, true},
        {"the sender's reads held, encrypted", true, true, true},
        {"the receiver's writes held, encrypted", true, false, true},
        {"the receiver's writes held, plain", true, false, false},
    };
    // Five chunks and a bit: more than the window on either side, the last chunk padded.
    const QByteArray data = randomBytes(5 * FileTransfer::ChunkSize + 100, 51);
    ASSERT_TRUE(writeFile(sourceRoot() + "/big.bin", data));
    startAccepting();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<Gate> gate = c.hold ? std::make_unique<Gate>(c.holdSending) : nullptr;
        FileTransfer *out = sendAnew(sourceRoot() + "/big.bin", c.encrypt);
        ASSERT_TRUE(out);
        if (gate) {
            // The held side fills its window and stops there; the other side is held up by it.
            ASSERT_TRUE(
                waitUntil([&] { return windowFull(*gate, c.holdSending ? out : incoming.data()); }, 10000));
            EXPECT_LE(out->bytesReceived(), qint64(data.size()));
            gate->open();
        }
        ASSERT_TRUE(waitUntil([&] { return endedAndFreed(out); }, 30000));
        EXPECT_EQ(states[out], (States{5, 1, 6}));
        EXPECT_EQ(states[incoming], (States{5, 1, 6}));
        EXPECT_TRUE(readFile(receivedFolder() + "/big.bin") == data);
        EXPECT_EQ(incoming->bytesReceived(), data.size());
        EXPECT_EQ(out->bytesReceived(), data.size());
        // Memory: never more chunks than the window on either side.
        EXPECT_GE(out->peakChunkBuffers(), 2);
        EXPECT_LE(out->peakChunkBuffers(), FileTransfer::ChunksInFlight);
        EXPECT_GE(incoming->peakChunkBuffers(), 2);
        EXPECT_LE(incoming->peakChunkBuffers(), FileTransfer::ChunksInFlight);
    }
    EXPECT_GT(changes, 0);
    EXPECT_EQ(offMain, 0) << "observers heard of changes off the main thread";
}

TEST_F(TransferPipelineTest, ACancelInTheMiddleOnEitherSideFreesEverythingAndLeavesNoFileUnderItsName) {
    struct Case {
        const char *what;
        bool receiverCancels;
        bool encrypt;
        States sender, receiver;
        // Else the receiver's writes are held, with its window full.
        bool holdSenderReads = false;
    };
    const Case cases[] = {
        {"the sender cancels, encrypted", false, true, {5, 1, 0}, {5, 1, 7}},
        {"the receiver cancels, encrypted", true, true, {5, 1, 7}, {5, 1, 0}},
        {"the sender cancels, plain", false, false, {5, 1, 0}, {5, 1, 7}},
        {"the receiver cancels, plain", true, false, {5, 1, 7}, {5, 1, 0}},
        // The released read hands its chunk to the cipher's thread, and that one back to the
        // file's, while the cancel stops both.
        {"the sender cancels as its first read goes on, encrypted", false, true, {5, 1, 0}, {5, 1, 7}, true},
        {"the receiver cancels as the sender's first read goes on, encrypted",
         true,
         true,
         {5, 1, 7},
         {5, 1, 0},
         true},
    };
    // Far more than the window and the kernel's buffers hold, so the cancel comes mid-way.
    const QByteArray data = randomBytes(40 * FileTransfer::ChunkSize, 52);
    ASSERT_TRUE(writeFile(sourceRoot() + "/big.bin", data));
    startAccepting();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        auto gate = std::make_unique<Gate>(c.holdSenderReads);
        FileTransfer *out = sendAnew(sourceRoot() + "/big.bin", c.encrypt);
        ASSERT_TRUE(out);
        // Mid-way: the held side's window is full and its first chunk is held.
        ASSERT_TRUE(
            waitUntil([&] { return windowFull(*gate, c.holdSenderReads ? out : incoming.data()); }, 10000));
        const QString folder = receivedFolder();
        // The held write goes on while the cancel stops everything after it.
        gate->open();
        (c.receiverCancels ? incoming.data() : out)->ContinueTransfer(FileTransfer::Canceled);
        ASSERT_TRUE(waitUntil([&] { return endedAndFreed(out); }, 20000));
        EXPECT_EQ(states[out], c.sender);
        EXPECT_EQ(states[incoming], c.receiver);
        EXPECT_LT(incoming->bytesReceived(), data.size());
        // Only the incomplete name, holding a whole number of chunks of the right bytes.
        EXPECT_FALSE(QFileInfo::exists(folder + "/big.bin"));
        const QByteArray part = readFile(folder + "/big.bin.part");
        EXPECT_EQ(part.size() % FileTransfer::ChunkSize, 0);
        EXPECT_LT(part.size(), data.size());
        EXPECT_TRUE(part == data.left(part.size()));
        EXPECT_EQ(incoming->receivedFiles(), QStringList{folder + "/big.bin.part"});
    }
}

TEST_F(TransferPipelineTest, ManySmallFilesBehindASlowDiskWaitWithinTheWindowAndAllArrive) {
    // Files, empty ones among them, each finished (synced and named) by the receiver's worker
    // while the next ones travel; with that worker held, the receiver takes only a window of
    // them and the sender waits.
    constexpr int files = 16;
    std::map<QString, QByteArray> sent;
    for (int i = 0; i < files; ++i) {
        const QString name = QStringLiteral("f%1.txt").arg(i, 2, 10, QLatin1Char('0'));
        sent[name] = i % 3 == 2 ? QByteArray() : randomBytes(100 + i, quint32(60 + i));
        ASSERT_TRUE(writeFile(sourceRoot() + "/S/" + name, sent[name]));
    }
    startServers([](FileTransfer *t) { t->ContinueTransfer(FileTransfer::Transferring); });
    auto gate = std::make_unique<Gate>(false);
    FileTransfer *out = send({sourceRoot() + "/S"});
    ASSERT_TRUE(out);
    ASSERT_TRUE(waitUntil([&] { return gate->entered() == 1; }, 10000));
    spinFor(300);
    EXPECT_LE(out->filesTransferred(), FileTransfer::ChunksInFlight + 1)
        << "the receiver took more than its window";
    EXPECT_EQ(incoming->filesTransferred(), 0);
    gate->open();
    ASSERT_TRUE(waitUntil([&] { return endedAndFreed(out); }, 30000));
    EXPECT_EQ(states[out], (States{5, 1, 6}));
    EXPECT_EQ(states[incoming], (States{5, 1, 6}));
    EXPECT_EQ(incoming->filesTransferred(), files);
    for (const auto &[name, data] : sent)
        EXPECT_TRUE(readFile(receivedFolder() + "/S/" + name) == data) << qPrintable(name);
    EXPECT_EQ(QDir(receivedFolder() + "/S").entryList(QDir::Files).size(), files)
        << "no incomplete file left";
}

TEST_F(TransferPipelineTest, ASourceThatShrinksMidwayFailsBothSidesAndTheReceiverKeepsOnlyTrueBytes) {
    // A read that fails stops what follows it, while chunks before it may still be with the
    // cipher's thread: none of those may reach the peer after one was dropped.
    struct Case {
        const char *what;
        bool encrypt;
    };
    const Case cases[] = {{"encrypted", true}, {"plain", false}};
    constexpr qsizetype kept = 6 * FileTransfer::ChunkSize;
    const QByteArray data = randomBytes(20 * FileTransfer::ChunkSize, 53);
    bool encrypt = true;
    startServers([&encrypt](FileTransfer *t) {
        t->setEncrypt(encrypt);
        t->ContinueTransfer(FileTransfer::Transferring);
    });
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        incoming.clear();
        encrypt = c.encrypt;
        ASSERT_TRUE(writeFile(sourceRoot() + "/big.bin", data));
        auto gate = std::make_unique<Gate>(true);
        FileTransfer *out = send({sourceRoot() + "/big.bin"});
        ASSERT_TRUE(out);
        ASSERT_TRUE(waitUntil([&] { return gate->entered() == 1 && incoming; }, 10000));
        const QString folder = receivedFolder();
        ASSERT_TRUE(QFile::resize(sourceRoot() + "/big.bin", kept));
        gate->open();
        ASSERT_TRUE(waitUntil([&] { return endedAndFreed(out); }, 20000));
        EXPECT_EQ(states[out], (States{5, 1, 7}));
        EXPECT_EQ(states[incoming], (States{5, 1, 7}));
        EXPECT_FALSE(QFileInfo::exists(folder + "/big.bin"));
        const QByteArray part = readFile(folder + "/big.bin.part");
        EXPECT_EQ(part.size() % FileTransfer::ChunkSize, 0);
        EXPECT_LE(part.size(), kept);
        EXPECT_TRUE(part == data.left(part.size()));
    }
}

} // namespace
