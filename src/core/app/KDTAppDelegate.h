#pragma once

#include "core/app/AppError.h"
#include "core/app/XmlStoreMigration.h"

#include <QList>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

class Defaults;
class FILEserver;
class ManagedObjectContext;
class ManagedObjectModel;
class SingleInstance;
class TCPserver;
class UDPserver;
class UserList;

// The application delegate: start-up, the one store context of the program, and shut-down.
//
// Start-up runs in three places, in this order: initialize() (the class initializer: the
// registered settings, start at login on the first launch, a received-files folder that cannot
// be written reset), init() (the only copy of its folders: an older one is asked to quit and
// waited for before anything is opened), makeInterfaceObjects() (the presence server and the
// roster, as the main interface file makes them) and applicationDidFinishLaunching() (the
// servers and, through AppInterface, the windows). Every way out (the Quit command, SIGTERM,
// the end of the desktop session) goes through terminate(). Widgets are reached only through
// AppInterface, so this class stays in the core.
//
// Store part: the folder of the store, the one context of the program, built on first use and
// kept for the run, the migration from the old XML store and the recovery from store files that
// cannot be opened.
class KDTAppDelegate : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool keyWindow READ keyWindow NOTIFY keyWindowChanged)
public:
    static const QString errorDomain; // "YOUR_ERROR_DOMAIN": the folder error of code 101
    static const QString storeErrorDomain;
    static constexpr int FolderIsFileError = 101;
    static const QString storeFileName;    // "Murnavell-v2.storedata"
    static const QString oldStoreFileName; // "Murnavell.storedata"

    // How the context came about.
    enum class StoreState {
        NotBuilt,
        OnDisk,   // the store file in the folder
        InMemory, // the store could not be had; nothing of the run is written anywhere
    };

    // How long a newer copy waits for an older one to quit; how long "UO" may take to leave.
    static constexpr int OlderCopyWaitMs = 10000;
    static constexpr int OfflineFlushMs = 1000;

    KDTAppDelegate();
    ~KDTAppDelegate() override;
    KDTAppDelegate(const KDTAppDelegate &) = delete;
    KDTAppDelegate &operator=(const KDTAppDelegate &) = delete;

    // The delegate of the process: the one set, or one made on first use.
    static KDTAppDelegate &shared();
    // Makes `delegate` (not owned) the process's delegate; null goes back to the default one.
    static void setShared(KDTAppDelegate *delegate);

    // "Murnavell" in the user's data folder (~/.local/share/Murnavell).
    static QString applicationFilesDirectory();
    static QString storePath() { return applicationFilesDirectory() + QLatin1Char('/') + storeFileName; }

    // The model "UserList". There is no coordinator of its own: the context opens the file.
    const ManagedObjectModel &managedObjectModel() const;
    // Never null: when the store cannot be had, a context in memory stands in for the run.
    ManagedObjectContext *managedObjectContext();
    StoreState storeState() const { return m_state; }
    // Tests and fuzz targets hand over a context they opened themselves (from a store image,
    // say) in place of building one; it counts as a store in memory.
    void useContext(std::unique_ptr<ManagedObjectContext> context);

    // Saves when there are changes; errors are presented. True when nothing was left unsaved.
    bool saveAction();

    // Tests stop the migration at one of its steps as a crash would.
    void setMigrationFaultHook(XmlStoreMigration::FaultHook hook) { m_faultHook = std::move(hook); }

    // The folder exists afterwards, or the error says why not.
    static AppError prepareFolder(const QString &path);

    // --- start-up ---

    // The class initializer over the process's settings and the user's languages.
    static void initialize();
    // The same over given settings and languages (tests).
    static void initialize(Defaults &defaults, const QStringList &languages);
    // "~/Downloads/Murnavell" (the download folder relative to home, tilde not expanded).
    static QString defaultReceivedFilesFolder();
    // The legacy code page for a list of preferred languages, most preferred first.
    static int defaultEncoding(const QStringList &languages);
    // Adds or removes the program as a session login item.
    static void setStartAtLogin(bool enable);

    // Makes this copy the only one of its folders. False when an older copy did not quit in time
    // (or the lock could not be had): the caller then exits without touching the store.
    bool init();
    QString initError() const { return m_initError; }
    // The sort of the user list that init sets: (attribute, ascending) pairs, offline state
    // first (online users on top), then name.
    using SortDescriptor = QPair<QString, bool>;
    const QList<SortDescriptor> &sortDescriptors() const { return m_sortDescriptors; }
    // The objects of the main interface file, in its order: the presence server (its sockets
    // open at once) and the roster. Tests give ports of their own.
    void makeInterfaceObjects(std::uint16_t presenceReceivePort = 19771,
                              std::uint16_t presenceSendPort = 19771);
    void applicationDidFinishLaunching();
    bool launched() const { return m_launched; }

    // --- running ---

    UDPserver *udpserver() const;
    UserList *list() const;
    TCPserver *tcpServer() const;
    FILEserver *fileServer() const;

    void restoreWindow();
    bool applicationShouldHandleReopen(bool hasVisibleWindows);
    void windowDidBecomeKey();
    void windowDidResignKey();
    bool keyWindow() const { return m_keyWindow; }

    // --- shut-down ---

    // The one orderly way out: asks applicationShouldTerminate, then runs applicationWillTerminate
    // and leaves the event loop. Further calls while it runs do nothing. False when cancelled.
    bool terminate();
    bool applicationShouldTerminate();
    // Ends calls, announces "UO" and waits (bounded) for it to leave, marks everyone offline,
    // stops the servers and saves. Runs once.
    void applicationWillTerminate();
    bool terminated() const { return m_terminated; }

signals:
    void keyWindowChanged(bool keyWindow);

private:
    void buildContext();
    bool openOnDisk(const QString &folder);
    bool moveAside(const QString &path, AppError *error);
    void useMemory();
    // Presents each distinct error once per run; `queued` waits for the main loop's next turn.
    void present(const AppError &error, bool queued);

    std::unique_ptr<ManagedObjectContext> m_context;
    StoreState m_state = StoreState::NotBuilt;
    XmlStoreMigration::FaultHook m_faultHook;
    QSet<QString> m_presented;

    std::unique_ptr<SingleInstance> m_instance;
    QString m_initError;
    QList<SortDescriptor> m_sortDescriptors;
    std::unique_ptr<UDPserver> m_udpserver;
    std::unique_ptr<UserList> m_list;
    std::unique_ptr<TCPserver> m_tcpserver;
    std::unique_ptr<FILEserver> m_fileserver;
    bool m_keyWindow = false;
    bool m_launched = false;
    bool m_terminating = false;
    bool m_terminated = false;
};
