// The one-time move of the history from the old XML store into the SQLite store: all rows and
// links arrive, it happens once, and a run cut short leaves the old file to migrate again.
#include "StoreTestSupport.h"

#include "core/app/KDTAppDelegate.h"
#include "core/app/XmlStoreMigration.h"
#include "core/app/XmlStoreReader.h"
#include "core/model/Chat.h"
#include "core/model/Group.h"
#include "core/model/Me.h"
#include "core/model/Message.h"
#include "core/model/MessageForForwarding.h"
#include "core/model/SystemMessage.h"
#include "core/model/UserListModel.h"
#include "platform/store/ManagedObjectContext.h"
#include "transfer/FileTransfer.h"

#include <QDateTime>
#include <QDir>
#include <gtest/gtest.h>
#include <sqlite3.h>

namespace {

const QString kFixture = QStringLiteral(MURNAVELL_TEST_DATA "/store/Murnavell.storedata");

QDateTime referenceDate(double seconds) {
    return QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC).addMSecs(qint64(seconds * 1000));
}

void placeOldStore(const TempDataHome &home) {
    ASSERT_TRUE(QDir().mkpath(home.folder()));
    QFile::remove(home.folder() + "/Murnavell.storedata");
    ASSERT_TRUE(QFile::copy(kFixture, home.folder() + "/Murnavell.storedata"));
}

QString sqlText(sqlite3 *db, const char *sql) {
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK)
        return "error: " + QString(sqlite3_errmsg(db));
    QStringList rows;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        QStringList cells;
        for (int i = 0; i < sqlite3_column_count(stmt); ++i)
            cells << QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, i)));
        rows << cells.join(',');
    }
    sqlite3_finalize(stmt);
    return rows.join(';');
}

QStringList textsOf(const QList<LogEntry *> &entries) {
    QStringList out;
    for (LogEntry *e : entries) {
        if (auto *m = dynamic_cast<Message *>(e))
            out << "M:" + m->message();
        else if (auto *s = dynamic_cast<SystemMessage *>(e))
            out << "S:" + s->text();
        else if (auto *f = dynamic_cast<FileTransfer *>(e))
            out << "F:" + QString::number(f->transferState());
        else
            out << "?";
    }
    return out;
}

// Everything the fixture holds, read back from the SQLite store.
void expectFixtureRows(const QString &store) {
    ManagedObjectContext context(UserListModel::model());
    ASSERT_TRUE(context.open(store));
    sqlite3 *db = context.database();
    // As stored, before anything of this run touches the objects.
    EXPECT_EQ(sqlText(db, "SELECT count(*) FROM tree_items"), "4");
    EXPECT_EQ(sqlText(db, "SELECT count(*) FROM log_entries"), "6");
    EXPECT_EQ(sqlText(db, "SELECT count(*) FROM held_messages"), "1");
    EXPECT_EQ(sqlText(db, "SELECT count(*) FROM chats"), "1");
    EXPECT_EQ(sqlText(db, "SELECT userId, status, userOffline FROM tree_items WHERE userId IS NOT NULL "
                          "ORDER BY userId"),
              "A000000002,10,1;A000000003,2,0;A123456789,0,0");

    const QList<Me *> mes = context.fetch<Me>();
    ASSERT_EQ(mes.size(), 1);
    Me *me = mes[0];
    EXPECT_EQ(me->userId(), "A123456789");
    EXPECT_EQ(me->name(), "Ada Lind");
    EXPECT_EQ(me->pc(), "ada-pc");
    EXPECT_EQ(me->sessionId(), 4711);
    EXPECT_EQ(me->statusBeforeIdle(), "0");

    User *bo = User::findByUserId(&context, "A000000002");
    User *cy = User::findByUserId(&context, "A000000003");
    ASSERT_TRUE(bo && cy);
    EXPECT_EQ(bo->name(), "Bo Sund");
    EXPECT_EQ(bo->firstName(), "Bo");
    EXPECT_EQ(bo->lastName(), "Sund");
    EXPECT_EQ(bo->ip(), "198.18.0.2");
    EXPECT_EQ(bo->seenLastTime(), referenceDate(790000000.5));
    EXPECT_EQ(cy->department(), "R&D");
    EXPECT_FALSE(cy->seenLastTime().isValid()); // not in the old row, so not made up
    ASSERT_NE(bo->group(), nullptr);
    EXPECT_EQ(bo->group()->name(), "Office & Lab");
    EXPECT_TRUE(bo->group()->expanded());
    EXPECT_EQ(cy->group(), bo->group());
    EXPECT_EQ(bo->group()->users().size(), 2);

    // Bo's history, newest first: the system line, the mass message, the two one-to-one ones.
    EXPECT_EQ(bo->logEntriesNumber(), 4);
    const QList<LogEntry *> boLog = bo->lastLogEnties(10);
    EXPECT_EQ(textsOf(boLog), QStringList({"S:The message could not be delivered.", "M:Lunch at noon?",
                                           "M:Hi Bo — fine, thanks", "M:Hello Ada,\nhow are you? <3"}));
    ASSERT_EQ(boLog.size(), 4);
    auto *notice = dynamic_cast<SystemMessage *>(boLog[0]);
    ASSERT_NE(notice, nullptr);
    EXPECT_TRUE(notice->error());
    auto *mass = dynamic_cast<Message *>(boLog[1]);
    ASSERT_NE(mass, nullptr);
    EXPECT_TRUE(mass->mass());
    EXPECT_EQ(mass->user().size(), 2);
    EXPECT_TRUE(mass->user().contains(cy));
    auto *hello = dynamic_cast<Message *>(boLog[3]);
    ASSERT_NE(hello, nullptr);
    EXPECT_TRUE(hello->incoming());
    EXPECT_TRUE(hello->offline());
    EXPECT_FALSE(hello->mass());
    EXPECT_EQ(hello->messageId(), 12345671234567);
    EXPECT_EQ(hello->time(), referenceDate(790000100));
    EXPECT_EQ(hello->timeReceived(), referenceDate(790000101.25));
    EXPECT_EQ(hello->originalSenderName(), "Bo Sund");
    EXPECT_EQ(hello->chat(), nullptr);

    // Cy: the file transfer and the mass message; the room line belongs to the room.
    const QList<LogEntry *> cyLog = cy->lastLogEnties(10);
    EXPECT_EQ(textsOf(cyLog), QStringList({"F:6", "M:Lunch at noon?"}));
    if (auto *transfer = cyLog.isEmpty() ? nullptr : dynamic_cast<FileTransfer *>(cyLog[0])) {
        EXPECT_EQ(transfer->filesNumber(), 2);
        EXPECT_EQ(transfer->filesTransferred(), 2);
        EXPECT_EQ(transfer->filesTotalSize(), 1048576);
        EXPECT_EQ(transfer->folderPath(), QUrl("file:///home/ada/Downloads/Murnavell/report"));
        EXPECT_TRUE(transfer->incoming());
        // History only: no chunk buffer for a transfer that will never run again.
        EXPECT_EQ(transfer->chunkBuffersHeld(), 0);
    }
    Chat *room = Chat::findByChatRoomId(&context, 4242);
    ASSERT_NE(room, nullptr);
    EXPECT_EQ(room->logEntriesNumber(), 1);
    const QList<LogEntry *> roomLog = room->lastLogEnties(5);
    EXPECT_EQ(textsOf(roomLog), QStringList{"M:Room hello"});
    ASSERT_EQ(roomLog.size(), 1);
    EXPECT_EQ(roomLog[0]->user(), QList<User *>{cy});
    EXPECT_EQ(roomLog[0]->chat(), room);

    const QList<MessageForForwarding *> held =
        MessageForForwarding::findByMessageId(&context, 99887761122334);
    ASSERT_EQ(held.size(), 1);
    EXPECT_EQ(held[0]->message(), QByteArray::fromBase64("q83vASNFZ4mrze8BI0VniQ=="));
    EXPECT_EQ(held[0]->time(), referenceDate(790000600));
    EXPECT_FALSE(held[0]->mass());
    EXPECT_EQ(held[0]->sender(), me);
    EXPECT_EQ(held[0]->recipients(), QList<User *>{bo});
    EXPECT_EQ(bo->offlineMessages(), held);

    QStringList problems;
    EXPECT_TRUE(context.integrityCheck(&problems)) << problems.join('\n').toStdString();
}

TEST(StoreMigration, FirstStartMovesEverythingIntoTheNewStore) {
    TempDataHome home;
    placeOldStore(home);
    RecordingPresenter presenter;
    {
        KDTAppDelegate delegate;
        ASSERT_NE(delegate.managedObjectContext(), nullptr);
        EXPECT_EQ(delegate.storeState(), KDTAppDelegate::StoreState::OnDisk);
    }
    EXPECT_TRUE(presenter.afterEvents().empty());
    EXPECT_EQ(entriesOf(home.folder()), QStringList{"Murnavell-v2.storedata"});
    expectFixtureRows(home.folder() + "/Murnavell-v2.storedata");
}

TEST(StoreMigration, SecondStartDoesNotMigrateAgain) {
    TempDataHome home;
    placeOldStore(home);
    { KDTAppDelegate().managedObjectContext(); }
    // An old file that turns up again is left alone once the new store exists.
    placeOldStore(home);
    {
        KDTAppDelegate delegate;
        ManagedObjectContext *context = delegate.managedObjectContext();
        EXPECT_EQ(sqlText(context->database(), "SELECT count(*) FROM log_entries"), "6");
    }
    EXPECT_EQ(entriesOf(home.folder()), QStringList({"Murnavell-v2.storedata", "Murnavell.storedata"}));
    EXPECT_EQ(readAll(home.folder() + "/Murnavell.storedata"), readAll(kFixture));
    expectFixtureRows(home.folder() + "/Murnavell-v2.storedata");
}

TEST(StoreMigration, InterruptedRunLeavesTheOldStoreAndRunsAgain) {
    const struct {
        XmlStoreMigration::Step step;
        QStringList afterCrash;
        QStringList afterNextStart;
    } cases[] = {
        {XmlStoreMigration::Step::BeforeRename,
         {"Murnavell-v2.storedata.migrating", "Murnavell.storedata"},
         {"Murnavell-v2.storedata"}},
        // The new store was in place already: the next start uses it and migrates nothing twice.
        {XmlStoreMigration::Step::BeforeDeletingOld,
         {"Murnavell-v2.storedata", "Murnavell.storedata"},
         {"Murnavell-v2.storedata", "Murnavell.storedata"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(int(c.step));
        TempDataHome home;
        placeOldStore(home);
        RecordingPresenter presenter;
        {
            KDTAppDelegate delegate;
            delegate.setMigrationFaultHook([&](XmlStoreMigration::Step step) { return step == c.step; });
            delegate.managedObjectContext();
            EXPECT_EQ(delegate.storeState(), KDTAppDelegate::StoreState::InMemory);
        }
        EXPECT_EQ(entriesOf(home.folder()), c.afterCrash);
        EXPECT_EQ(readAll(home.folder() + "/Murnavell.storedata"), readAll(kFixture));
        ASSERT_EQ(presenter.afterEvents().size(), 1u);
        EXPECT_EQ(presenter.errors[0].domain, XmlStoreMigration::errorDomain);
        presenter.errors.clear();
        {
            KDTAppDelegate delegate;
            delegate.managedObjectContext();
            EXPECT_EQ(delegate.storeState(), KDTAppDelegate::StoreState::OnDisk);
        }
        EXPECT_TRUE(presenter.afterEvents().empty());
        EXPECT_EQ(entriesOf(home.folder()), c.afterNextStart);
        expectFixtureRows(home.folder() + "/Murnavell-v2.storedata");
    }
}

TEST(StoreMigration, DamagedOldStoreIsReportedAndKept) {
    TempDataHome home;
    ASSERT_TRUE(QDir().mkpath(home.folder()));
    QByteArray broken = readAll(kFixture);
    broken.truncate(broken.indexOf("<object type=\"CHAT\"") + 25);
    ASSERT_TRUE(writeAll(home.folder() + "/Murnavell.storedata", broken));
    RecordingPresenter presenter;
    {
        KDTAppDelegate delegate;
        ASSERT_NE(delegate.managedObjectContext(), nullptr);
        EXPECT_EQ(delegate.storeState(), KDTAppDelegate::StoreState::InMemory);
    }
    ASSERT_EQ(presenter.afterEvents().size(), 1u);
    EXPECT_EQ(presenter.errors[0].domain, XmlStoreReader::errorDomain);
    EXPECT_EQ(presenter.errors[0].code, XmlStoreReader::Malformed);
    EXPECT_TRUE(presenter.errors[0].description.startsWith("The old store is damaged at line "));
    EXPECT_EQ(entriesOf(home.folder()), QStringList{"Murnavell.storedata"});
    EXPECT_EQ(readAll(home.folder() + "/Murnavell.storedata"), broken);
}

} // namespace

namespace {

TEST(StoreMigration, OddOldDataIsDroppedOrConvertedNotInvented) {
    TempDataHome home;
    ASSERT_TRUE(QDir().mkpath(home.folder()));
    const QString oldPath = home.folder() + "/Murnavell.storedata";
    const QString newPath = home.folder() + "/Murnavell-v2.storedata";
    ASSERT_TRUE(writeAll(oldPath, R"(<?xml version="1.0"?>
<database>
  <object type="TREEITEM" id="a1"><attribute name="name" type="string">abstract</attribute></object>
  <object type="USER" id="u1">
    <attribute name="userid" type="string">A1</attribute>
    <attribute name="status" type="int16">2</attribute>
    <attribute name="seenlasttime" type="string">yesterday</attribute>
    <relationship name="group" type="1/1" destination="GROUP" idrefs="g1 g2"></relationship>
    <relationship name="log" type="0/0" destination="LOGENTRY" idrefs="m1 zz9"></relationship>
  </object>
  <object type="GROUP" id="g1"><attribute name="name" type="string">One</attribute></object>
  <object type="GROUP" id="g2"><attribute name="name" type="string">Two</attribute></object>
  <object type="MESSAGE" id="m1">
    <attribute name="message" type="string">kept</attribute>
    <relationship name="chat" type="1/1" destination="CHAT" idrefs="u1"></relationship>
    <relationship name="user" type="0/0" destination="USER" idrefs="u1"></relationship>
  </object>
</database>
)"));
    XmlStoreMigration migration(oldPath, newPath);
    ASSERT_TRUE(migration.run()) << migration.error().description.toStdString();
    EXPECT_EQ(migration.migratedObjects(), 4);
    EXPECT_EQ(migration.warnings(), QStringList({
                                        "Skipped object a1: TreeItem objects are not stored.",
                                        "Skipped attribute seenLastTime of User u1: the value does not fit.",
                                        "Relationship group of User u1 holds 2 objects; kept the first.",
                                        "Dropped link log of User u1 to zz9: no such LogEntry.",
                                        "Dropped link chat of Message m1 to u1: no such Chat.",
                                    }));
    EXPECT_EQ(entriesOf(home.folder()), QStringList{"Murnavell-v2.storedata"});

    ManagedObjectContext context(UserListModel::model());
    ASSERT_TRUE(context.open(newPath));
    EXPECT_EQ(sqlText(context.database(), "SELECT name, status, seenLastTime IS NULL FROM tree_items "
                                          "WHERE kind = 'User'"),
              ",2,1");
    EXPECT_EQ(sqlText(context.database(), "SELECT name FROM tree_items WHERE kind = 'Group' ORDER BY name"),
              "One;Two");
    User *user = User::findByUserId(&context, "A1");
    ASSERT_NE(user, nullptr);
    ASSERT_NE(user->group(), nullptr);
    EXPECT_EQ(user->group()->name(), "One");
    EXPECT_EQ(textsOf(user->lastLogEnties(5)), QStringList{"M:kept"});
}

} // namespace
