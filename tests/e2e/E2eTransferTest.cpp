// File transfers between copies of the driver in their own namespaces: a folder arrives byte
// for byte with its permissions, and a link that goes down mid-transfer fails both sides
// without a partial file passing as complete.
#include "support/E2eCopies.h"
#include "support/EventLoopWait.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QRandomGenerator>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>
#include <memory>

namespace {

QString userId(int i) { return E2eCopies::userIdIn(0, i); }

bool writeRandom(const QString &path, qint64 size, quint32 seed, int mode) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return false;
    QRandomGenerator gen(seed);
    QByteArray block(1 << 16, Qt::Uninitialized);
    for (qint64 left = size; left > 0;) {
        for (qsizetype i = 0; i + 4 <= block.size(); i += 4) {
            const quint32 v = gen.generate();
            std::memcpy(block.data() + i, &v, 4);
        }
        const qint64 n = qMin<qint64>(left, block.size());
        if (f.write(block.constData(), n) != n) return false;
        left -= n;
    }
    f.close();
    return ::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
}

// Relative path -> (SHA-256, permission bits) of every file below root.
std::map<QString, std::pair<QByteArray, int>> tree(const QString &root) {
    std::map<QString, std::pair<QByteArray, int>> out;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) continue;
        QCryptographicHash hash(QCryptographicHash::Sha256);
        hash.addData(&f);
        struct stat st;
        ::stat(QFile::encodeName(path).constData(), &st);
        out[path.mid(root.size() + 1)] = {hash.result(), int(st.st_mode & 07777)};
    }
    return out;
}

class E2eTransferTest : public E2eCopies {
protected:
    // Also the file server must listen.
    CopyProcess *start(int i) {
        CopyProcess *copy = startIntroduced(i, userId(i));
        if (!copy) return nullptr;
        for (const QJsonObject &e : copy->events())
            if (e.value("event") == "file-server") return e.value("listening").toBool() ? copy : nullptr;
        return nullptr;
    }
    bool introduce(CopyProcess *of, int who) { return E2eCopies::introduce(of, userId(who), who); }
    static CopyProcess::Predicate ended(bool incoming) {
        return [incoming](const QJsonObject &e) {
            const int s = e.value("state").toInt();
            return e.value("event") == "transfer" && e.value("incoming").toBool() == incoming && s != 1 &&
                   s != 5;
        };
    }
    // The transfer entry of the copy's list, polled (bounded) until it matches.
    std::optional<QJsonObject>
    pollTransfer(CopyProcess *copy, const std::function<bool(const QJsonObject &)> &ok, int timeoutMs) {
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            copy->send(QStringLiteral("transfers"));
            const auto list = copy->waitForEvent(QStringLiteral("transfers"), 2000);
            if (list)
                for (const QJsonValue &v : list->value("transfers").toArray())
                    if (ok(v.toObject())) return v.toObject();
            spinFor(50);
        }
        return std::nullopt;
    }
};

TEST_F(E2eTransferTest, AFolderArrivesByteIdenticalWithItsPermissions) {
    SKIP_WITHOUT_LAB();
    lab = std::make_unique<NetnsLab>(2);
    ASSERT_TRUE(lab->ok()) << qPrintable(lab->error());
    const QString source = lab->folder(0) + "/home/Projects";
    ASSERT_TRUE(writeRandom(source + "/empty", 0, 1, 0644));
    ASSERT_TRUE(writeRandom(source + "/one-byte", 1, 2, 0600));
    ASSERT_TRUE(writeRandom(source + "/chunk.bin", 786432, 3, 0644));
    ASSERT_TRUE(writeRandom(source + "/docs/chunk-and-one.bin", 786433, 4, 0640));
    ASSERT_TRUE(writeRandom(source + "/docs/deep/tool.sh", 3 << 20, 5, 0755));
    ASSERT_TRUE(writeRandom(source + "/docs/.hidden", 100, 6, 0644));
    CopyProcess *a = start(0);
    CopyProcess *b = start(1);
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(introduce(a, 1) && introduce(b, 0));

    a->send(QStringLiteral("send-files %1 %2").arg(userId(1), source));
    const auto started = a->waitForEvent(QStringLiteral("transfer-started"));
    ASSERT_TRUE(started) << qPrintable(a->diagnostics());
    EXPECT_EQ(started->value("filesNumber").toInt(), 6);

    const auto in = b->waitForEvent(ended(true), 30000);
    const auto out = a->waitForEvent(ended(false), 30000);
    ASSERT_TRUE(in && out) << qPrintable(a->diagnostics()) << qPrintable(b->diagnostics());
    EXPECT_EQ(in->value("state").toInt(), 6);
    EXPECT_EQ(out->value("state").toInt(), 6);
    EXPECT_EQ(in->value("peer").toString(), userId(0));
    const QString folder = in->value("folder").toString();
    EXPECT_TRUE(folder.startsWith(lab->folder(1) + "/home/Downloads/Murnavell/User1 - "))
        << qPrintable(folder);

    const auto sent = tree(source);
    const auto got = tree(folder + "/Projects");
    EXPECT_EQ(got.size(), 6u);
    EXPECT_TRUE(got == sent);
    EXPECT_TRUE(QDir(folder).entryList(QDir::Files).isEmpty()); // everything under the folder's name
}

TEST_F(E2eTransferTest, ALinkDownMidTransferFailsBothSidesAndLeavesNoFilePassingAsComplete) {
    SKIP_WITHOUT_LAB();
    lab = std::make_unique<NetnsLab>(2);
    ASSERT_TRUE(lab->ok()) << qPrintable(lab->error());
    // A slow link from the sender, so the cut comes mid-file.
    const auto tc = lab->exec(0, {"tc", "qdisc", "add", "dev", "eth0", "root", "tbf", "rate", "40mbit",
                                  "burst", "64kbit", "latency", "400ms"});
    if (tc.exitCode != 0) GTEST_SKIP() << "no tbf queue discipline: " << tc.output.constData();
    const QString source = lab->folder(0) + "/home/big.bin";
    ASSERT_TRUE(writeRandom(source, 48 << 20, 7, 0644));
    CopyProcess *a = start(0);
    CopyProcess *b = start(1);
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(introduce(a, 1) && introduce(b, 0));

    a->send(QStringLiteral("send-files %1 %2").arg(userId(1), source));
    ASSERT_TRUE(a->waitForEvent(QStringLiteral("transfer-started")));
    const auto under = pollTransfer(
        b,
        [](const QJsonObject &t) {
            return t.value("state").toInt() == 1 && t.value("bytes").toDouble() > (2 << 20);
        },
        20000);
    ASSERT_TRUE(under) << qPrintable(b->diagnostics());
    ASSERT_TRUE(lab->linkDown(0));

    // Both sides give up within their 20 s time-outs.
    const auto in = b->waitForEvent(ended(true), 40000);
    const auto out = a->waitForEvent(ended(false), 40000);
    ASSERT_TRUE(in && out) << qPrintable(a->diagnostics()) << qPrintable(b->diagnostics());
    EXPECT_EQ(in->value("state").toInt(), 7);
    EXPECT_EQ(out->value("state").toInt(), 7);
    const QString folder = in->value("folder").toString();
    EXPECT_FALSE(QFileInfo::exists(folder + "/big.bin"));
    const QFileInfo part(folder + "/big.bin.part");
    EXPECT_TRUE(part.exists());
    EXPECT_LT(part.size(), qint64(48) << 20);
    EXPECT_EQ(in->value("files").toArray().first().toString(), part.filePath());
}

} // namespace
