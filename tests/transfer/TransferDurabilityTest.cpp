// A received file is confirmed to the sender only once it is safe from a power cut: its bytes
// synced, then its final name given, then its folder synced, and every folder made for it synced
// into its parent. A power cut cannot be made here, so the order of the system calls of a real
// transfer is watched with strace.
#include "TransferTestSupport.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include <iostream>
#include <map>

namespace {

class TransferDurabilityChild : public TransferFixture {};

// Run only as a child under strace: one transfer of a folder with a sub-folder between two file
// servers of this process; says where the files went and on which port they were received.
TEST_F(TransferDurabilityChild, DISABLED_ReceivesAFolder) {
    if (qEnvironmentVariable("MV_DURABILITY_CHILD") != QLatin1String("1"))
        GTEST_SKIP() << "only under strace";
    ASSERT_TRUE(writeFile(sourceRoot() + "/A/one.txt", randomBytes(5000, 31)));
    ASSERT_TRUE(writeFile(sourceRoot() + "/A/B/two.txt", randomBytes(900000, 32)));
    startServers([](FileTransfer *t) { t->ContinueTransfer(FileTransfer::Transferring); });
    ASSERT_TRUE(sender->outgoingFiles({sourceRoot() + "/A"}, bob));
    FileTransfer *out = ctx->fetch<FileTransfer>().value(0);
    ASSERT_TRUE(waitUntil([&] { return ended(out) && ended(incoming); }, 30000));
    ASSERT_EQ(incoming->transferState(), FileTransfer::Complete);
    ASSERT_EQ(out->transferState(), FileTransfer::Complete);
    std::cout << "ROOT=" << receiveRoot().toStdString() << "\n"
              << "FOLDER=" << incoming->folderPath().toLocalFile().toStdString() << "\n"
              << "PORT=" << receiver->listeningPort() << "\n"
              << std::flush;
}

// One system call of the trace: when it started and what it said.
struct Call {
    double at;
    QString text;
};

std::vector<Call> readTrace(const QString &path) {
    std::vector<Call> calls;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return calls;
    static const QRegularExpression line(QStringLiteral("^(\\d+)\\s+(\\d+\\.\\d+)\\s+(.*)$"));
    static const QRegularExpression resumed(QStringLiteral("^<\\.\\.\\. \\w+ resumed>(.*)$"));
    static const QLatin1String unfinished(" <unfinished ...>");
    // A call that another thread's trace line interrupted comes in two lines, its start and its
    // end; joined, it is listed when it started, with its result.
    std::map<QString, Call> started;
    while (!file.atEnd()) {
        const QString text = QString::fromUtf8(file.readLine()).trimmed();
        const QRegularExpressionMatch m = line.match(text);
        if (!m.hasMatch()) continue;
        const QString pid = m.captured(1), what = m.captured(3);
        if (what.endsWith(unfinished)) {
            started[pid] = {m.captured(2).toDouble(), what.chopped(unfinished.size())};
            continue;
        }
        const QRegularExpressionMatch end = resumed.match(what);
        if (end.hasMatch()) {
            const auto it = started.find(pid);
            if (it == started.end()) continue;
            calls.push_back({it->second.at, it->second.text + end.captured(1)});
            started.erase(it);
            continue;
        }
        calls.push_back({m.captured(2).toDouble(), what});
    }
    std::stable_sort(calls.begin(), calls.end(), [](const Call &a, const Call &b) { return a.at < b.at; });
    return calls;
}

// The index of the first call from `from` on that matches, or -1.
int find(const std::vector<Call> &calls, const QRegularExpression &pattern, int from = 0) {
    for (int i = from; i < int(calls.size()); ++i)
        if (pattern.match(calls[size_t(i)].text).hasMatch()) return i;
    return -1;
}

QString literal(const QString &text) { return QRegularExpression::escape(text); }

TEST(TransferDurabilityTest, AFileIsSyncedRenamedAndItsFolderSyncedBeforeTheSenderIsTold) {
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    if (strace.isEmpty()) GTEST_SKIP() << "needs strace (scripts/setup installs it)";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString trace = dir.filePath(QStringLiteral("trace"));
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("MV_DURABILITY_CHILD"), QStringLiteral("1"));
    child.setProcessEnvironment(env);
    child.start(strace, {"-f", "-ttt", "-yy", "-e",
                         "trace=fsync,fdatasync,renameat2,renameat,rename,linkat,close,shutdown", "-o", trace,
                         QCoreApplication::applicationFilePath(),
                         "--gtest_filter=TransferDurabilityChild.DISABLED_ReceivesAFolder",
                         "--gtest_also_run_disabled_tests"});
    ASSERT_TRUE(child.waitForStarted(5000));
    if (!child.waitForFinished(90000)) {
        child.kill();
        child.waitForFinished(2000);
    }
    const QString output = QString::fromUtf8(child.readAllStandardOutput());
    if (output.contains(QLatin1String("PTRACE_TRACEME")) ||
        output.contains(QLatin1String("Operation not permitted")))
        GTEST_SKIP() << "strace may not trace here";
    ASSERT_TRUE(output.contains(QLatin1String("[  PASSED  ] 1 test")))
        << qPrintable(output) << qPrintable(child.readAllStandardError());
    const auto value = [&](const char *key) {
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("^%1=(.*)$").arg(QLatin1String(key)),
                               QRegularExpression::MultilineOption)
                .match(output);
        return m.captured(1);
    };
    const QString root = value("ROOT"), folder = value("FOLDER"), port = value("PORT");
    ASSERT_FALSE(folder.isEmpty());
    const std::vector<Call> calls = readTrace(trace);
    ASSERT_FALSE(calls.empty());

    // The sender is told by the receiver's close of the connection (the first of its descriptors
    // closed, or a shutdown): everything below must come before it.
    const int told = find(
        calls,
        QRegularExpression(QStringLiteral("^(close|shutdown)\\(\\d+<TCP:\\[127\\.0\\.0\\.1:%1->").arg(port)));
    ASSERT_GE(told, 0) << "no close of the received connection in the trace";

    struct Received {
        QString folder, name;
    };
    for (const Received &r : {Received{folder + "/A", "one.txt"}, Received{folder + "/A/B", "two.txt"}}) {
        SCOPED_TRACE(qPrintable(r.name));
        const int synced =
            find(calls, QRegularExpression(QStringLiteral("^f(data)?sync\\(\\d+<%1>\\) = 0$")
                                               .arg(literal(r.folder + "/" + r.name + ".part"))));
        const int renamed =
            find(calls,
                 QRegularExpression(QStringLiteral("^(renameat2|linkat)\\(\\d+<%1>, \"%2\", \\d+<%1>, \"%3\"")
                                        .arg(literal(r.folder), literal(r.name + ".part"), literal(r.name))));
        const QRegularExpression folderSync(
            QStringLiteral("^f(data)?sync\\(\\d+<%1>\\) = 0$").arg(literal(r.folder)));
        ASSERT_GE(synced, 0) << "the file's bytes were never synced";
        ASSERT_GE(renamed, 0) << "the file was never given its name";
        const int folderSynced = find(calls, folderSync, renamed + 1);
        ASSERT_GE(folderSynced, 0) << "the folder was never synced after the rename";
        EXPECT_LT(synced, renamed);
        EXPECT_LT(renamed, folderSynced);
        EXPECT_LT(folderSynced, told);
    }
    // The folders made for the transfer reached their parents' entries before the sender was told.
    for (const QString &parent : {root, folder}) {
        const int synced =
            find(calls,
                 QRegularExpression(QStringLiteral("^f(data)?sync\\(\\d+<%1>\\) = 0$").arg(literal(parent))));
        EXPECT_GE(synced, 0) << qPrintable(parent);
        EXPECT_LT(synced, told) << qPrintable(parent);
    }
}

} // namespace
