#pragma once

#include "core/app/AppError.h"
#include "core/app/XmlStoreMigration.h"

#include <QSet>
#include <QString>

#include <memory>

class ManagedObjectContext;
class ManagedObjectModel;

// The application delegate. For now only its store part: the folder of the store, the one
// context of the program, built on first use and kept for the run, the migration from the old
// XML store and the recovery from store files that cannot be opened.
class KDTAppDelegate {
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

    KDTAppDelegate();
    ~KDTAppDelegate();
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

    // Saves when there are changes; errors are presented. True when nothing was left unsaved.
    bool saveAction();

    // Tests stop the migration at one of its steps as a crash would.
    void setMigrationFaultHook(XmlStoreMigration::FaultHook hook) { m_faultHook = std::move(hook); }

    // The folder exists afterwards, or the error says why not.
    static AppError prepareFolder(const QString &path);

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
};
