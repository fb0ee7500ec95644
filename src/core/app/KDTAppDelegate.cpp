#include "core/app/KDTAppDelegate.h"

#include "core/app/ErrorPresenter.h"
#include "core/model/UserListModel.h"
#include "platform/store/ManagedObjectContext.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QStandardPaths>

#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

Q_LOGGING_CATEGORY(lcStack, "murnavell.app.store")

KDTAppDelegate *g_shared = nullptr;

// The files SQLite keeps beside a store; they belong to it and move with it.
const char *const kCompanions[] = {"-wal", "-shm", "-journal"};

} // namespace

const QString KDTAppDelegate::errorDomain = QStringLiteral("YOUR_ERROR_DOMAIN");
const QString KDTAppDelegate::storeErrorDomain = QStringLiteral("MurnavellStoreErrorDomain");
const QString KDTAppDelegate::storeFileName = QStringLiteral("Murnavell-v2.storedata");
const QString KDTAppDelegate::oldStoreFileName = QStringLiteral("Murnavell.storedata");

KDTAppDelegate::KDTAppDelegate() = default;

KDTAppDelegate::~KDTAppDelegate() {
    if (g_shared == this) g_shared = nullptr;
}

KDTAppDelegate &KDTAppDelegate::shared() {
    if (g_shared) return *g_shared;
    static KDTAppDelegate fallback;
    return fallback;
}

void KDTAppDelegate::setShared(KDTAppDelegate *delegate) { g_shared = delegate; }

QString KDTAppDelegate::applicationFilesDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Murnavell");
}

AppError KDTAppDelegate::prepareFolder(const QString &path) {
    namespace fs = std::filesystem;
    const fs::path folder(QFile::encodeName(path).toStdString());
    std::error_code ec;
    const fs::file_status status = fs::status(folder, ec);
    if (status.type() == fs::file_type::not_found) {
        if (fs::create_directories(folder, ec) || !ec) return {};
    } else if (!ec) {
        if (fs::is_directory(status)) return {};
        return {errorDomain, FolderIsFileError,
                QStringLiteral("Expected a folder to store application data, found a file (%1).").arg(path)};
    }
    return {QStringLiteral("NSPOSIXErrorDomain"), ec.value(),
            QStringLiteral("The folder %1 could not be made: %2.")
                .arg(path, QString::fromStdString(ec.message()))};
}

const ManagedObjectModel &KDTAppDelegate::managedObjectModel() const { return UserListModel::model(); }

ManagedObjectContext *KDTAppDelegate::managedObjectContext() {
    if (!m_context) buildContext();
    return m_context.get();
}

bool KDTAppDelegate::saveAction() {
    ManagedObjectContext *context = managedObjectContext();
    if (!context->hasChanges()) return true;
    StoreError error;
    if (context->save(&error)) return true;
    // Each failed save is news to the user, so it is presented every time.
    ErrorPresenter::current().presentError(
        {storeErrorDomain, error.code,
         QStringLiteral("The changes could not be saved: %1.").arg(error.message)});
    return false;
}

void KDTAppDelegate::buildContext() {
    const QString folder = applicationFilesDirectory();
    const AppError folderError = prepareFolder(folder);
    if (folderError.isError()) {
        present(folderError, false);
        useMemory();
        return;
    }

    const QString store = folder + QLatin1Char('/') + storeFileName;
    const QString oldStore = folder + QLatin1Char('/') + oldStoreFileName;
    if (!QFileInfo::exists(store) && QFileInfo::exists(oldStore)) {
        XmlStoreMigration migration(oldStore, store);
        migration.setFaultHook(m_faultHook);
        if (!migration.run()) {
            // The old file is untouched; the next start tries again.
            present(migration.error(), false);
            useMemory();
            return;
        }
        qCInfo(lcStack) << "migrated" << migration.migratedObjects() << "objects from" << oldStore;
    }

    if (!openOnDisk(store)) useMemory();
}

// Looks at an existing store without changing a byte of it or of its journal (opening it for
// writing would already switch its journal mode and could fold a journal into the file).
// Returns SQLITE_OK when it seems fit to open, SQLITE_NOTADB or SQLITE_CORRUPT for a damaged
// file, StoreError::SchemaTooNew for one written by a later version.
static int probeStore(const QString &path, QString *message) {
    QFile file(path);
    if (!file.exists() || !file.open(QIODevice::ReadOnly)) return SQLITE_OK; // the open will tell
    const QByteArray header = file.read(100);
    if (header.isEmpty()) return SQLITE_OK; // SQLite takes an empty file for a new store
    if (!header.startsWith(QByteArray("SQLite format 3\0", 16))) {
        *message = QStringLiteral("file is not a database");
        return SQLITE_NOTADB;
    }
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt *stmt = nullptr;
    int version = 0;
    if (rc == SQLITE_OK) rc = sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &stmt, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW) {
            version = sqlite3_column_int(stmt, 0);
            rc = SQLITE_OK;
        }
        sqlite3_finalize(stmt);
    }
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    *message = QString::fromUtf8(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close(db);
    rc &= 0xff;
    if (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB) return rc;
    if (rc == SQLITE_OK && version > UserListModel::model().schemaVersion()) {
        *message = QStringLiteral("store schema %1 is newer than %2")
                       .arg(version)
                       .arg(UserListModel::model().schemaVersion());
        return StoreError::SchemaTooNew;
    }
    return SQLITE_OK; // anything else is for the real open to find and report
}

bool KDTAppDelegate::openOnDisk(const QString &store) {
    StoreError error;
    error.code = probeStore(store, &error.message);
    if (error.code == StoreError::SchemaTooNew) {
        present({storeErrorDomain, error.code,
                 QStringLiteral("The store (%1) could not be opened: %2.").arg(store, error.message)},
                true);
        return false;
    }
    auto context = std::make_unique<ManagedObjectContext>(UserListModel::model());
    if (error.code == SQLITE_OK && context->open(store, &error)) {
        m_context = std::move(context);
        m_state = StoreState::OnDisk;
        return true;
    }
    // Only a damaged file, or one that is no database at all, is given up, and even then it is
    // kept aside. A store we merely cannot open now (locked, no access, disk full, written by a
    // later version) stays as it is, and the run goes on without it.
    const bool damaged = error.code == SQLITE_CORRUPT || error.code == SQLITE_NOTADB;
    if (!damaged) {
        present({storeErrorDomain, error.code,
                 QStringLiteral("The store (%1) could not be opened: %2.").arg(store, error.message)},
                true);
        return false;
    }
    qCWarning(lcStack).noquote() << "store is damaged, putting it aside:" << error.message;
    AppError moveError;
    if (!moveAside(store, &moveError)) {
        present(moveError, true);
        return false;
    }
    context = std::make_unique<ManagedObjectContext>(UserListModel::model());
    if (!context->open(store, &error)) {
        present({storeErrorDomain, error.code,
                 QStringLiteral("A new store (%1) could not be made: %2.").arg(store, error.message)},
                true);
        return false;
    }
    m_context = std::move(context);
    m_state = StoreState::OnDisk;
    return true;
}

bool KDTAppDelegate::moveAside(const QString &path, AppError *error) {
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString target = path + QStringLiteral(".corrupt-") + stamp;
    for (int n = 1; QFileInfo::exists(target) || QFileInfo::exists(target + QLatin1String(kCompanions[0]));
         ++n)
        target = path + QStringLiteral(".corrupt-") + stamp + QLatin1Char('-') + QString::number(n);

    auto move = [&](const QString &from, const QString &to) {
        if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
            return true;
        *error = {QStringLiteral("NSPOSIXErrorDomain"), errno,
                  QStringLiteral("The damaged store (%1) could not be put aside: %2.")
                      .arg(from, QString::fromLocal8Bit(std::strerror(errno)))};
        return false;
    };
    // The main file first: until it has moved nothing else is touched. A journal left behind
    // would be played into the new store, so failing to move one stops the recovery too.
    if (!move(path, target)) return false;
    for (const char *suffix : kCompanions) {
        const QString companion = path + QLatin1String(suffix);
        if (QFileInfo::exists(companion) && !move(companion, target + QLatin1String(suffix))) return false;
    }
    qCWarning(lcStack).noquote() << "damaged store kept as" << target;
    return true;
}

void KDTAppDelegate::useMemory() {
    m_context = std::make_unique<ManagedObjectContext>(UserListModel::model());
    StoreError error;
    if (!m_context->openInMemory(&error))
        qCWarning(lcStack).noquote() << "no store in memory either:" << error.message;
    m_state = StoreState::InMemory;
}

void KDTAppDelegate::present(const AppError &error, bool queued) {
    const QString key = error.domain + QLatin1Char('\n') + QString::number(error.code) + QLatin1Char('\n') +
                        error.description;
    if (m_presented.contains(key)) return;
    m_presented.insert(key);
    QCoreApplication *app = QCoreApplication::instance();
    if (!queued || !app) {
        ErrorPresenter::current().presentError(error);
        return;
    }
    QMetaObject::invokeMethod(
        app, [error] { ErrorPresenter::current().presentError(error); }, Qt::QueuedConnection);
}
