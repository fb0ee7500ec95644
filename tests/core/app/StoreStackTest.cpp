// The store's folder, the one context, and what happens to store files that cannot be opened.
#include "StoreTestSupport.h"

#include "core/app/AppContext.h"
#include "core/app/KDTAppDelegate.h"
#include "core/model/User.h"
#include "core/model/UserListModel.h"
#include "platform/store/ManagedObjectContext.h"
#include "platform/store/StoreError.h"

#include <QDir>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>

namespace {

// Adds a user and saves; false when the save failed.
bool addUser(ManagedObjectContext *context, const QString &userId) {
    User *user = context->insert<User>();
    user->setUserId(userId);
    user->setName("Name of " + userId);
    return context->save();
}

// Whether the stored file at `path` holds the user (read through a context of its own).
bool storeHoldsUser(const QString &path, const QString &userId) {
    ManagedObjectContext context(UserListModel::model());
    if (!context.open(path)) return false;
    return User::findByUserId(&context, userId) != nullptr;
}

void makeSqliteFile(const QString &path, const char *sql) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

TEST(StoreStack, FolderIsCreatedWithItsParents) {
    TempDataHome home;
    qputenv("XDG_DATA_HOME", (home.path() + "/a/b").toLocal8Bit());
    RecordingPresenter presenter;
    KDTAppDelegate delegate;
    EXPECT_EQ(KDTAppDelegate::applicationFilesDirectory(), home.path() + "/a/b/Murnavell");
    ManagedObjectContext *context = delegate.managedObjectContext();
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(delegate.storeState(), KDTAppDelegate::StoreState::OnDisk);
    EXPECT_TRUE(QFileInfo(home.path() + "/a/b/Murnavell").isDir());
    EXPECT_EQ(context->path(), home.path() + "/a/b/Murnavell/Murnavell-v2.storedata");
    EXPECT_TRUE(QFileInfo::exists(context->path()));
    EXPECT_TRUE(presenter.afterEvents().empty());
}

TEST(StoreStack, FileInPlaceOfFolderIsReportedOnce) {
    TempDataHome home;
    ASSERT_TRUE(writeAll(home.folder(), "not a folder"));
    RecordingPresenter presenter;
    KDTAppDelegate delegate;
    ManagedObjectContext *context = delegate.managedObjectContext();
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(delegate.managedObjectContext(), context);
    ASSERT_EQ(presenter.afterEvents().size(), 1u);
    const AppError &error = presenter.errors[0];
    EXPECT_EQ(error.domain, "YOUR_ERROR_DOMAIN");
    EXPECT_EQ(error.code, 101);
    EXPECT_EQ(error.description,
              "Expected a folder to store application data, found a file (" + home.folder() + ").");
    EXPECT_EQ(delegate.storeState(), KDTAppDelegate::StoreState::InMemory);
    EXPECT_EQ(readAll(home.folder()), "not a folder");
    // The run goes on in memory: what is saved is there for the run, and no file appears.
    EXPECT_TRUE(addUser(context, "A1"));
    EXPECT_NE(User::findByUserId(context, "A1"), nullptr);
    EXPECT_EQ(entriesOf(home.path()), QStringList{"Murnavell"});
}

TEST(StoreStack, OtherFolderErrorsKeepTheirOwnText) {
    TempDataHome home;
    // A parent that is a file: the folder can neither be found nor made.
    ASSERT_TRUE(writeAll(home.path() + "/blocker", "x"));
    qputenv("XDG_DATA_HOME", (home.path() + "/blocker").toLocal8Bit());
    const AppError error = KDTAppDelegate::prepareFolder(KDTAppDelegate::applicationFilesDirectory());
    EXPECT_EQ(error.domain, "NSPOSIXErrorDomain");
    EXPECT_EQ(error.code, ENOTDIR);
    EXPECT_TRUE(
        error.description.startsWith("The folder " + home.path() + "/blocker/Murnavell could not be made: "))
        << error.description.toStdString();
}

TEST(StoreStack, ContextIsBuiltOnceAndSharedByTheFreeFunctions) {
    TempDataHome home;
    RecordingPresenter presenter;
    QString path;
    {
        KDTAppDelegate delegate;
        KDTAppDelegate::setShared(&delegate);
        ManagedObjectContext *context = appManagedObjectContext();
        ASSERT_NE(context, nullptr);
        EXPECT_EQ(delegate.managedObjectContext(), context);
        EXPECT_EQ(appManagedObjectContext(), context);
        path = context->path();
        User *user = context->insert<User>();
        user->setUserId("A42");
        EXPECT_TRUE(context->hasChanges());
        saveContextIfChanged();
        EXPECT_FALSE(context->hasChanges());
        saveContextIfChanged(); // nothing to do
        KDTAppDelegate::setShared(nullptr);
    }
    EXPECT_TRUE(storeHoldsUser(path, "A42"));
    EXPECT_TRUE(presenter.afterEvents().empty());
}

struct DamagedCase {
    const char *name;
    std::function<void(const QString &store)> damage;
};

TEST(StoreStack, DamagedStoreIsPutAsideAndReplaced) {
    const DamagedCase cases[] = {
        {"garbage with a journal",
         [](const QString &store) {
             writeAll(store, QByteArray("this is not a database\n").repeated(300));
             writeAll(store + "-wal", QByteArray("\x37\x7f\x06\x82 junk", 9).repeated(100));
         }},
        {"broken schema page",
         [](const QString &store) {
             makeSqliteFile(store, "CREATE TABLE t(a); INSERT INTO t VALUES(1);");
             QByteArray bytes = readAll(store);
             // Past the 100-byte file header, page 1 is the schema's b-tree.
             for (int i = 100; i < 4096 && i < bytes.size(); ++i) bytes[i] = char(0xee);
             writeAll(store, bytes);
         }},
    };
    for (const DamagedCase &c : cases) {
        SCOPED_TRACE(c.name);
        TempDataHome home;
        ASSERT_TRUE(QDir().mkpath(home.folder()));
        const QString store = home.folder() + "/Murnavell-v2.storedata";
        c.damage(store);
        const QByteArray mainBytes = readAll(store);
        const QByteArray walBytes = readAll(store + "-wal");
        RecordingPresenter presenter;
        {
            KDTAppDelegate delegate;
            ManagedObjectContext *context = delegate.managedObjectContext();
            EXPECT_EQ(delegate.storeState(), KDTAppDelegate::StoreState::OnDisk);
            EXPECT_TRUE(addUser(context, "A7"));
            EXPECT_TRUE(context->integrityCheck());
        }
        EXPECT_TRUE(storeHoldsUser(store, "A7"));
        // The damaged file and its journal, byte for byte, under one new name.
        const QStringList aside = entriesOf(home.folder()).filter(".corrupt-");
        ASSERT_EQ(aside.size(), walBytes.isEmpty() ? 1 : 2) << aside.join(' ').toStdString();
        const QString mainAside = home.folder() + "/" + aside[0];
        EXPECT_TRUE(aside[0].startsWith("Murnavell-v2.storedata.corrupt-"));
        EXPECT_EQ(readAll(mainAside), mainBytes);
        if (!walBytes.isEmpty()) {
            EXPECT_EQ(aside[1], aside[0] + "-wal");
            EXPECT_EQ(readAll(mainAside + "-wal"), walBytes);
        }
        EXPECT_FALSE(QFileInfo::exists(store + "-wal") && readAll(store + "-wal") == walBytes);
        EXPECT_TRUE(presenter.afterEvents().empty());
    }
}

struct UnopenableCase {
    const char *name;
    std::function<void(const QString &store)> make;
    int code;
};

TEST(StoreStack, UnopenableStoreIsLeftAloneAndTheRunGoesOnInMemory) {
    const UnopenableCase cases[] = {
        {"a folder in its place", [](const QString &store) { QDir().mkpath(store + "/inner"); },
         SQLITE_CANTOPEN},
        {"written by a later version",
         [](const QString &store) {
             makeSqliteFile(store, "CREATE TABLE future(a); PRAGMA user_version = 100000;");
         },
         StoreError::SchemaTooNew},
    };
    for (const UnopenableCase &c : cases) {
        SCOPED_TRACE(c.name);
        TempDataHome home;
        ASSERT_TRUE(QDir().mkpath(home.folder()));
        const QString store = home.folder() + "/Murnavell-v2.storedata";
        c.make(store);
        const QStringList before = entriesOf(home.folder());
        const QByteArray bytes = readAll(store);
        RecordingPresenter presenter;
        {
            KDTAppDelegate delegate;
            KDTAppDelegate::setShared(&delegate);
            ManagedObjectContext *context = delegate.managedObjectContext();
            ASSERT_NE(context, nullptr);
            EXPECT_EQ(delegate.storeState(), KDTAppDelegate::StoreState::InMemory);
            EXPECT_TRUE(presenter.errors.empty()) << "presented at the next turn, not inside the getter";
            ASSERT_EQ(presenter.afterEvents().size(), 1u);
            EXPECT_EQ(presenter.errors[0].domain, KDTAppDelegate::storeErrorDomain);
            EXPECT_EQ(presenter.errors[0].code, c.code);
            EXPECT_TRUE(
                presenter.errors[0].description.startsWith("The store (" + store + ") could not be opened: "))
                << presenter.errors[0].description.toStdString();
            // Callers still work: fetches find what the run made, saves go to memory.
            EXPECT_EQ(User::findByUserId(context, "A9"), nullptr);
            EXPECT_TRUE(addUser(context, "A9"));
            EXPECT_NE(User::findByUserId(context, "A9"), nullptr);
            EXPECT_EQ(delegate.managedObjectContext(), context);
            saveContextIfChanged();
            EXPECT_EQ(presenter.afterEvents().size(), 1u);
            KDTAppDelegate::setShared(nullptr);
        }
        EXPECT_EQ(entriesOf(home.folder()), before);
        EXPECT_EQ(readAll(store), bytes);
    }
}

} // namespace

namespace {

QStringList g_logged;
void recordMessage(QtMsgType, const QMessageLogContext &, const QString &text) { g_logged << text; }

TEST(StoreStack, FailedSaveIsLoggedAndKeptForTheNextOne) {
    TempDataHome home;
    RecordingPresenter presenter;
    KDTAppDelegate delegate;
    KDTAppDelegate::setShared(&delegate);
    ManagedObjectContext *context = appManagedObjectContext();
    ASSERT_EQ(delegate.storeState(), KDTAppDelegate::StoreState::OnDisk);
    context->insert<User>()->setUserId("A5");

    // Another connection holds the write lock, so the save cannot go through.
    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(context->path()).constData(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    g_logged.clear();
    const QtMessageHandler previous = qInstallMessageHandler(recordMessage);
    saveContextIfChanged();
    qInstallMessageHandler(previous);
    EXPECT_TRUE(context->hasChanges());
    ASSERT_EQ(g_logged.size(), 1);
    EXPECT_TRUE(g_logged[0].startsWith("save failed: 5 ")) << g_logged[0].toStdString();
    EXPECT_TRUE(presenter.afterEvents().empty()) << "the free function does not present";
    // The menu's save presents what went wrong.
    EXPECT_FALSE(delegate.saveAction());
    ASSERT_EQ(presenter.errors.size(), 1u);
    EXPECT_EQ(presenter.errors[0].domain, KDTAppDelegate::storeErrorDomain);
    EXPECT_EQ(presenter.errors[0].code, SQLITE_BUSY);
    EXPECT_TRUE(presenter.errors[0].description.startsWith("The changes could not be saved: "));

    ASSERT_EQ(sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    saveContextIfChanged();
    EXPECT_FALSE(context->hasChanges());
    KDTAppDelegate::setShared(nullptr);
    EXPECT_TRUE(storeHoldsUser(context->path(), "A5"));
}

} // namespace
