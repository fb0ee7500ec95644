#include "core/model/User.h"
#include "core/model/UserListModel.h"
#include "platform/store/Clock.h"
#include "platform/store/ManagedObjectContext.h"
#include "transfer/FileTransfer.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

TEST(FileTransferEntityTest, InsertedTransferStartsWithEncryptionAndNoBufferBeforeItsFirstChunk) {
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(1'700'000'000'000);
    Clock::setNowFunction([now] { return now; });
    ManagedObjectContext ctx(UserListModel::model());
    ASSERT_TRUE(ctx.openInMemory());
    FileTransfer *t = ctx.insert<FileTransfer>();
    Clock::setNowFunction({});
    EXPECT_TRUE(t->encrypt());
    EXPECT_EQ(t->chunkBuffersHeld(), 0);
    EXPECT_EQ(t->time(), now);
    EXPECT_EQ(t->timeReceived(), now);
    EXPECT_EQ(t->filesTransferred(), 0); // unset reads as 0
    EXPECT_TRUE(t->folderPath().isEmpty());
}

TEST(FileTransferEntityTest, ProgressIsObservableButNeverStored) {
    ManagedObjectContext ctx(UserListModel::model());
    ASSERT_TRUE(ctx.openInMemory());
    FileTransfer *t = ctx.insert<FileTransfer>();
    ASSERT_TRUE(ctx.save());
    QList<std::pair<QString, qint64>> seen;
    QObject::connect(t, &ManagedObject::attributeChanged, [&](const QString &key, const QVariant &old) {
        seen.append({key, old.toLongLong()});
    });
    t->setBytesReceived(100);
    t->setBytesReceived(100);
    t->setBytesReceived(786432);
    EXPECT_FALSE(ctx.hasChanges());
    t->setTransferState(FileTransfer::Transferring);
    t->setFilesTransferred(1);
    EXPECT_TRUE(ctx.hasChanges());
    EXPECT_EQ(
        seen,
        (QList<std::pair<QString, qint64>>{
            {"bytesReceived", 0}, {"bytesReceived", 100}, {"transferState", 0}, {"filesTransferred", 0}}));
}

TEST(FileTransferEntityTest, TransferIsInTheUsersHistoryAfterARestart) {
    QTemporaryDir dir;
    const QString path = dir.filePath("s.storedata");
    {
        ManagedObjectContext ctx(UserListModel::model());
        ASSERT_TRUE(ctx.open(path));
        User *u = ctx.insert<User>();
        u->setUserId("A1");
        FileTransfer *t = ctx.insert<FileTransfer>();
        t->addUserObject(u);
        t->setTransferState(FileTransfer::Failed);
        t->setFolderPath(QUrl::fromLocalFile("/tmp/Ann - 1 May 2026"));
        ASSERT_TRUE(ctx.save());
    }
    ManagedObjectContext ctx(UserListModel::model());
    ASSERT_TRUE(ctx.open(path));
    const QList<LogEntry *> log = User::findByUserId(&ctx, "A1")->lastLogEnties(5);
    ASSERT_EQ(log.size(), 1);
    auto *t = dynamic_cast<FileTransfer *>(log.first());
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->transferState(), FileTransfer::Failed);
    EXPECT_EQ(t->folderPath().toLocalFile(), "/tmp/Ann - 1 May 2026");
    // Transient members start afresh; only an insertion makes the chunk buffer.
    EXPECT_EQ(t->bytesReceived(), 0);
    EXPECT_EQ(t->chunkBuffersHeld(), 0);
}

} // namespace
