#pragma once

#include "platform/store/FetchRequest.h"
#include "platform/store/ManagedObjectModel.h"
#include "platform/store/StoreError.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;
class ManagedObject;

// The object layer over one SQLite store: an identity map (one object per row for the run),
// inserted/changed/deleted bookkeeping, fetches that see unsaved changes, and a save that
// writes everything in one transaction.
//
// Store settings: WAL journal, synchronous=FULL (a message must survive a power cut once the
// save returned; NORMAL could lose the last commits), foreign_keys=ON, schema version in
// PRAGMA user_version.
//
// A context that is not open (or failed to open) works in memory only: fetches find what was
// inserted, save() reports StoreError::NotOpen and keeps the changes.
class ManagedObjectContext : public QObject {
    Q_OBJECT
public:
    explicit ManagedObjectContext(const ManagedObjectModel &model, QObject *parent = nullptr);
    ~ManagedObjectContext() override;

    // Opens (creating when missing) the store at `path` and loads the resident rows. On failure
    // the context stays closed and `error` holds the SQLite result code.
    bool open(const QString &path, StoreError *error = nullptr);
    bool openInMemory(StoreError *error = nullptr);
    // A store in memory made from a copy of `image()` of another context: its rows as they were
    // saved there, without building the schema again.
    bool openImage(const QByteArray &image, StoreError *error = nullptr);
    // The saved contents of the store as one block (empty when not open); unsaved changes are
    // not in it.
    QByteArray image() const;
    // The open store and the statements prepared on it, given up by one context for another to
    // open on (takeConnection(), openConnection()); closed when dropped.
    struct Connection {
        Connection() = default;
        ~Connection();
        Connection(const Connection &) = delete;
        Connection &operator=(const Connection &) = delete;
        sqlite3 *db = nullptr;
        QString path;
        QHash<QString, sqlite3_stmt *> statements;
    };
    // Gives up the open store without closing it: a harness that opens the same store for
    // every run then skips reading its schema and preparing its statements again. Unsaved
    // changes are not in it; this context is closed afterwards (its objects stay valid, nothing
    // more is saved). Null when not open.
    std::unique_ptr<Connection> takeConnection();
    // Opens on a store another context gave up, loading its resident rows as open() does. On
    // failure the store is closed.
    bool openConnection(std::unique_ptr<Connection> connection, StoreError *error = nullptr);
    bool isOpen() const { return m_db != nullptr; }
    QString path() const { return m_path; }
    // Closes the store; objects stay valid but nothing more is saved.
    void close();

    // PRAGMA integrity_check: true when SQLite answers "ok"; otherwise its lines are in `problems`.
    bool integrityCheck(QStringList *problems = nullptr, StoreError *error = nullptr);
    // The raw handle, for maintenance beyond this layer (migration, tests). May be null.
    sqlite3 *database() const { return m_db; }

    const ManagedObjectModel &model() const { return m_model; }

    // A new object of the entity; awakeFromInsert() has run when it returns.
    ManagedObject *insertObject(const QString &entityName);
    template <class T> T *insert() {
        return static_cast<T *>(insertObject(QString::fromLatin1(T::EntityName)));
    }
    void deleteObject(ManagedObject *object);

    QList<ManagedObject *> executeFetch(const FetchRequest &request, StoreError *error = nullptr);
    qint64 count(const FetchRequest &request, StoreError *error = nullptr);
    // SQLite's plan for the store part of a fetch (or its count), one line per step: lets tests
    // and benchmarks check that a read runs on an index. Empty for resident entities.
    QStringList queryPlan(const FetchRequest &request, bool countOnly = false);
    // Every live object of the entity (and its sub-entities) matching `predicate`, in row
    // order. Meant for resident entities, which are all in memory; for any other it reads every
    // stored row, so histories are read with a FetchRequest carrying SQL (see LogQuery).
    template <class T> QList<T *> fetch(std::function<bool(const T *)> predicate = {}) {
        FetchRequest request;
        request.entityName = QString::fromLatin1(T::EntityName);
        if (predicate)
            request.predicate = [predicate](const ManagedObject *o) {
                return predicate(dynamic_cast<const T *>(o));
            };
        QList<T *> out;
        for (ManagedObject *o : executeFetch(request))
            if (T *t = dynamic_cast<T *>(o)) out.append(t);
        return out;
    }
    // Live objects of a resident entity (and its sub-entities) whose string attribute `key`
    // equals `value`, in row order. Answered from an index the context keeps up to date from
    // the first such ask on, so the cost does not grow with the table; null-valued and empty
    // strings are one value.
    QList<ManagedObject *> objectsWithValue(const QString &entityName, const QString &key, const QString &value);
    // The first of objectsWithValue() (lowest row), or null: what a look-up by a unique key
    // needs, without building the list.
    ManagedObject *firstWithValue(const QString &entityName, const QString &key, const QString &value);
    template <class T> QList<T *> withValue(const QString &key, const QString &value) {
        QList<T *> out;
        for (ManagedObject *o : objectsWithValue(QString::fromLatin1(T::EntityName), key, value))
            if (T *t = dynamic_cast<T *>(o)) out.append(t);
        return out;
    }
    // The object of a stored row, loading it when needed; null when there is no such row.
    ManagedObject *objectWithRowId(const QString &entityName, qint64 rowId);

    // How many deferred values were read from the store since it opened: opening and fetching
    // read none, only asking an object for such a value does.
    qint64 deferredReads() const { return m_deferredReads; }

    bool hasChanges() const;
    QList<ManagedObject *> insertedObjects() const { return m_inserted; }
    QList<ManagedObject *> updatedObjects() const;
    QList<ManagedObject *> deletedObjects() const { return m_deleted; }

    // Writes every pending change in one transaction. On failure nothing is written, the
    // changes stay pending (a later save retries them) and `error` says why.
    bool save(StoreError *error = nullptr);

signals:
    // A save with changes is about to write them (diagnostics and fault tests stop here).
    void willSave();
    void objectInserted(ManagedObject *object);
    void objectDeleted(ManagedObject *object);
    void didSave();

private:
    friend class ManagedObject;

    bool openAt(const QString &path, StoreError *error, const QByteArray *image = nullptr);
    bool createOrCheckSchema(StoreError *error);
    // A join table as this version makes it: `definition` has %1 for the table's name.
    struct JoinShape {
        QString table;
        QString definition;
        QString index;
        bool sorted = false;
    };
    static QString joinTableDefinition(const RelationshipDescription &r, const QString &ownerTable,
                                       const QString &targetTable);
    // Brings a store of an earlier schema version up to this one, in one transaction.
    bool migrate(const QList<JoinShape> &joins, const QStringList &statements, StoreError *error);
    bool checkImageVersion(StoreError *error);
    // The end of every open: the resident rows read; on failure nothing read stays.
    bool loadOpened(StoreError *error);
    bool loadResident(StoreError *error);
    void awakeLoaded(const QList<ManagedObject *> &loaded);
    // The columns a row is read with: every one, a deferred attribute as its size.
    QString selectList(const QString &table);
    QVariant readDeferred(const ManagedObject *object, int attribute, bool *ok);
    // After a save: saved values of deferred attributes leave memory.
    void releaseDeferred(ManagedObject *object);
    ManagedObject *materialize(const QString &table, sqlite3_stmt *row, QList<ManagedObject *> *loaded);
    ManagedObject *loadRow(const QString &table, qint64 rowId, QList<ManagedObject *> *loaded);
    void loadJoinsOf(ManagedObject *owner);
    ManagedObject *resolve(const QString &entityName, qint64 rowId, QList<ManagedObject *> *loaded);
    ManagedObject *create(const EntityDescription &entity);
    void registerObject(ManagedObject *object);
    void noteUpdated(ManagedObject *object);
    void noteJoinDirty(ManagedObject *object);
    // Keeps the value indexes in step with a changed attribute.
    void noteValueChanged(ManagedObject *object, const QString &key, const QVariant &oldValue);
    void indexObject(ManagedObject *object, bool add);
    // The value index's list for the value (built at the first ask for the key), or null.
    const QList<ManagedObject *> *valueIndexEntry(const EntityDescription &entity, const QString &key,
                                                  const QString &value);
    bool tracking() const { return m_trackingSuppressed == 0; }
    bool writeObject(ManagedObject *object, bool insert, StoreError *error);
    bool writeJoins(ManagedObject *object, StoreError *error);
    bool updateObject(ManagedObject *object, StoreError *error);
    bool sortKeyChanged(const ManagedObject *object);
    bool execute(const QString &sql, StoreError *error);
    sqlite3_stmt *prepare(const QString &sql, StoreError *error);
    // Prepared for one use; the caller finalizes it.
    sqlite3_stmt *prepareUncached(const QString &sql, StoreError *error, const QString &what);
    void setError(StoreError *error, int code, const QString &what) const;
    QString kindFilter(const QString &entityName) const;
    QString storeSql(const FetchRequest &request, bool countOnly, const QList<qint64> &stale) const;

    struct WritePlan;
    const WritePlan &writePlan(const ManagedObjectModel::Layout &layout);
    void linkPendingReferences(ManagedObject *object, QList<ManagedObject *> *loaded);

    const ManagedObjectModel &m_model;
    sqlite3 *m_db = nullptr;
    QString m_path;
    QHash<QString, sqlite3_stmt *> m_statements;
    QHash<QString, QString> m_selectLists; // table -> column list of its row reads
    qint64 m_deferredReads = 0;
    // Ownership of every object ever made, deleted ones included.
    std::vector<std::unique_ptr<ManagedObject>> m_objects;
    QHash<QString, QHash<qint64, ManagedObject *>> m_identity; // table -> row id -> object
    QHash<QString, QList<ManagedObject *>> m_resident;         // table -> live objects in order
    QHash<QString, qint64> m_lastRowId;                        // table -> highest id handed out
    QList<ManagedObject *> m_inserted;
    QSet<ManagedObject *> m_updated;
    QList<ManagedObject *> m_updatedOrder;
    QList<ManagedObject *> m_deleted;
    int m_trackingSuppressed = 0;
    // While loading: to-one references (relationship index, row id) not linked yet.
    QHash<ManagedObject *, QList<std::pair<int, qint64>>> m_pendingReferences;
    QHash<const ManagedObjectModel::Layout *, std::shared_ptr<WritePlan>> m_writePlans;
    // attribute -> table -> value -> live resident objects with it (see objectsWithValue).
    QHash<QString, QHash<QString, QHash<QString, QList<ManagedObject *>>>> m_valueIndexes;
};
