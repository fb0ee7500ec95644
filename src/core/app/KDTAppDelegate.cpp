#include "core/app/KDTAppDelegate.h"

#include "calls/Call.h"
#include "core/app/AppContext.h"
#include "core/app/AppInterface.h"
#include "core/app/ErrorPresenter.h"
#include "core/app/RegisteredDefaults.h"
#include "core/model/Chat.h"
#include "core/model/Me.h"
#include "core/model/User.h"
#include "core/model/UserListModel.h"
#include "core/net/TCPserver.h"
#include "core/net/UDPserver.h"
#include "core/net/UserList.h"
#include "platform/defaults/Defaults.h"
#include "platform/store/ManagedObjectContext.h"
#include "platform/system/AutostartEntry.h"
#include "platform/system/PreferredLanguages.h"
#include "platform/system/SingleInstance.h"
#include "transfer/FILEserver.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
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
Q_LOGGING_CATEGORY(lcApp, "murnavell.app")

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
    // The servers go before the roster and the context they use.
    if (FILEserver::shared() == m_fileserver.get()) FILEserver::setShared(nullptr);
    m_fileserver.reset();
    if (TCPserver::shared() == m_tcpserver.get()) TCPserver::setShared(nullptr);
    m_tcpserver.reset();
    m_udpserver.reset();
    if (UserList::shared() == m_list.get()) UserList::setShared(nullptr);
    m_list.reset();
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

void KDTAppDelegate::useContext(std::unique_ptr<ManagedObjectContext> context) {
    m_context = std::move(context);
    m_state = m_context ? StoreState::InMemory : StoreState::NotBuilt;
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

// --- start-up ---

QString KDTAppDelegate::defaultReceivedFilesFolder() {
    // The download folder as the desktop names it, written from home as "~/…" when it lies there.
    const QString home = QDir::homePath();
    QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (downloads.isEmpty()) downloads = home + QStringLiteral("/Downloads");
    if (downloads == home)
        downloads = QStringLiteral("~");
    else if (downloads.startsWith(home + QLatin1Char('/')))
        downloads = QLatin1Char('~') + downloads.mid(home.size());
    return downloads + QStringLiteral("/Murnavell");
}

int KDTAppDelegate::defaultEncoding(const QStringList &languages) {
    static const QStringList centralEurope = {"pl", "cs", "sk", "hu", "sl", "bs", "hr", "sr-Latn", "sq"};
    static const QStringList cyrillic = {"ru", "bg", "sr", "mk", "uk"};
    int encoding = RegisteredDefaults::EncodingWestern;
    for (const QString &language : languages) {
        if (language.startsWith(QLatin1String("en"))) continue;
        // Each test overrides the one before; a language that matches none changes nothing, so
        // the last matching language wins.
        if (language.startsWith(QLatin1String("tr"))) encoding = RegisteredDefaults::EncodingTurkish;
        if (language == QLatin1String("el")) encoding = RegisteredDefaults::EncodingGreek;
        QStringList parts = language.split(QLatin1Char('-'));
        if (parts.size() >= 2) parts.removeLast();
        const QString base = parts.join(QLatin1Char('-'));
        if (centralEurope.contains(base)) encoding = RegisteredDefaults::EncodingCentralEurope;
        if (cyrillic.contains(base)) encoding = RegisteredDefaults::EncodingCyrillic;
    }
    return encoding;
}

void KDTAppDelegate::setStartAtLogin(bool enable) {
    // Failures are skipped without a message, as for login items that cannot be opened.
    if (!AutostartEntry::setEnabled(enable, QCoreApplication::applicationFilePath()))
        qCInfo(lcApp) << "autostart entry not changed:" << AutostartEntry::path();
}

void KDTAppDelegate::initialize() { initialize(Defaults::standard(), PreferredLanguages::fromEnvironment()); }

void KDTAppDelegate::initialize(Defaults &defaults, const QStringList &languages) {
    const QString receivedFiles = defaultReceivedFilesFolder();

    // Hand-edited values of the wrong kind are taken for unset rather than misread: a folder that
    // is no text, a code page that is none of the five.
    const QString pathKey = QStringLiteral("fileTransferPath");
    const QString encodingKey = QStringLiteral("encoding");
    const QVariant path = defaults.value(pathKey);
    if (path.isValid() && path.typeId() != QMetaType::QString) defaults.removeObject(pathKey);
    const QVariant encoding = defaults.value(encodingKey);
    if (encoding.isValid()) {
        bool ok = false;
        const double number = encoding.toDouble(&ok);
        const bool numeric = encoding.typeId() != QMetaType::QString && encoding.typeId() != QMetaType::Bool;
        if (!ok || !numeric || number != double(qint64(number)) ||
            number < RegisteredDefaults::EncodingCyrillic ||
            number > RegisteredDefaults::EncodingCentralEurope)
            defaults.removeObject(encodingKey);
    }

    RegisteredDefaults::registerAll(defaults, defaultEncoding(languages), receivedFiles);

    const QString firstLaunch = QStringLiteral("firstLaunchCompleted");
    if (!defaults.boolForKey(firstLaunch)) {
        setStartAtLogin(true);
        defaults.setValue(firstLaunch, true);
    }

    QString current = defaults.stringForKey(pathKey);
    if (current == QLatin1String("~") || current.startsWith(QLatin1String("~/")))
        current = QDir::homePath() + current.mid(1);
    const QFileInfo folder(current);
    // Writing the default over itself would only pin it in the user's file.
    if ((current.isEmpty() || !folder.isDir() || !folder.isWritable()) &&
        defaults.stringForKey(pathKey) != receivedFiles)
        defaults.setValue(pathKey, receivedFiles);
}

bool KDTAppDelegate::init() {
    m_instance = std::make_unique<SingleInstance>(SingleInstance::defaultFolder());
    bool alone = false;
    switch (m_instance->acquire(OlderCopyWaitMs)) {
    case SingleInstance::Outcome::Alone:
        alone = true;
        break;
    case SingleInstance::Outcome::TookOver:
        qCInfo(lcApp) << "the copy with pid" << m_instance->otherPid() << "quit for this one";
        alone = true;
        break;
    case SingleInstance::Outcome::OtherStayed:
    case SingleInstance::Outcome::Failed:
        m_initError = m_instance->errorText();
        break;
    }
    m_sortDescriptors = {{QStringLiteral("userOffline"), true}, {QStringLiteral("name"), true}};
    return alone;
}

void KDTAppDelegate::makeInterfaceObjects(std::uint16_t presenceReceivePort, std::uint16_t presenceSendPort) {
    m_udpserver = std::make_unique<UDPserver>(presenceReceivePort, presenceSendPort);
    // Published at launch, after the roster and the TCP server, so that the TCP server's first
    // listen does not start presence ahead of its turn.
    if (UDPserver::shared() == m_udpserver.get()) UDPserver::setShared(nullptr);
    m_list = std::make_unique<UserList>();
}

UDPserver *KDTAppDelegate::udpserver() const { return m_udpserver.get(); }
UserList *KDTAppDelegate::list() const { return m_list.get(); }
TCPserver *KDTAppDelegate::tcpServer() const { return m_tcpserver.get(); }
FILEserver *KDTAppDelegate::fileServer() const { return m_fileserver.get(); }

void KDTAppDelegate::applicationDidFinishLaunching() {
    if (m_launched) return;
    if (!m_list) makeInterfaceObjects();
    AppInterface *ui = AppInterface::current();
    // 1. The toolbar style is the platform's own here. 2. The status-bar item.
    ui->createStatusItem();
    // 3.-5. The local user, the roster published, whether anybody else was ever seen.
    m_list->updateMe();
    UserList::setShared(m_list.get());
    m_list->setSomeUsersExceptMeEverSeen(!m_list->allUsersWithoutOffline(false, true).isEmpty());
    saveContextIfChanged();
    // 6. The messaging server, listening at once; chat-room words are handled by the rooms, call
    // words by the calls.
    m_tcpserver = std::make_unique<TCPserver>();
    TCPserver::setShared(m_tcpserver.get());
    Chat::registerHandlers(*m_tcpserver);
    Call::registerHandlers(*m_tcpserver);
    // 7. Presence: the first "UI", the follow-up and the refresh timer.
    UDPserver::setShared(m_udpserver.get());
    m_udpserver->beginWork();
    // 8. The file server, told of every later restart of the listeners.
    m_fileserver = std::make_unique<FILEserver>();
    FILEserver::setShared(m_fileserver.get());
    m_tcpserver->setFileServerAdapterChanged([this] {
        if (m_fileserver) m_fileserver->adapterChanged();
    });
    // 9. The status control shows the local user's status. 10. Menu images.
    ui->statusMatrixSelectionChanged();
    ui->setMenuImageSize(16);
    // 11. The hot key brings the main window forward.
    ui->setHotKeyAction([this] { restoreWindow(); });
    // 12. Product name in menus and windows. 13. The main window.
    ui->customize();
    ui->showMainWindow();
    m_launched = true;
}

// --- running ---

void KDTAppDelegate::restoreWindow() { AppInterface::current()->restoreWindow(); }

bool KDTAppDelegate::applicationShouldHandleReopen(bool hasVisibleWindows) {
    Q_UNUSED(hasVisibleWindows);
    restoreWindow();
    return true;
}

void KDTAppDelegate::windowDidBecomeKey() {
    if (m_keyWindow) return;
    m_keyWindow = true;
    emit keyWindowChanged(true);
}

void KDTAppDelegate::windowDidResignKey() {
    AppInterface::current()->closeUserCard();
    if (!m_keyWindow) return;
    m_keyWindow = false;
    emit keyWindowChanged(false);
}

// --- shut-down ---

bool KDTAppDelegate::terminate() {
    if (m_terminating || m_terminated) return true;
    m_terminating = true;
    if (!applicationShouldTerminate()) {
        m_terminating = false;
        return false;
    }
    applicationWillTerminate();
    if (QCoreApplication *app = QCoreApplication::instance()) app->exit(0);
    return true;
}

bool KDTAppDelegate::applicationShouldTerminate() {
    if (!m_context) return true;
    if (!AppInterface::current()->commitEditing()) return false;
    if (m_context->hasChanges()) {
        StoreError error;
        if (!m_context->save(&error))
            qCWarning(lcStack).noquote() << "save at quit failed:" << error.code << error.message;
    }
    return true;
}

void KDTAppDelegate::applicationWillTerminate() {
    if (m_terminated) return;
    m_terminated = true;
    AppInterface::current()->endAllCalls();
    if (m_list && m_list->me()) m_list->goOffline();
    if (m_tcpserver) m_tcpserver->turnOffserver();
    // "UO" is only queued so far; the process must not end before it has left (bounded).
    if (m_udpserver) {
        const QDeadlineTimer deadline(OfflineFlushMs);
        while (m_udpserver->pendingSends() > 0 && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (m_udpserver->pendingSends() > 0)
            qCWarning(lcApp) << m_udpserver->pendingSends() << "presence datagrams not sent at quit";
    }
    if (m_context) saveContextIfChanged();
}
