#include "platform/store/ManagedObjectContext.h"

#include "platform/store/ManagedObject.h"
#include "platform/store/WalWriteBuffer.h"

#include <QtDebug>

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

const QString Id = QStringLiteral("id");
const QString Kind = QStringLiteral("kind");

QString quoted(const QString &name) { return QLatin1Char('"') + name + QLatin1Char('"'); }

QString sqlType(AttributeType type) {
    switch (type) {
    case AttributeType::String:
    case AttributeType::Url:
        return QStringLiteral("TEXT");
    case AttributeType::Boolean:
        return QStringLiteral("INTEGER NOT NULL DEFAULT 0");
    case AttributeType::Integer:
    case AttributeType::Date:
        return QStringLiteral("INTEGER");
    case AttributeType::Data:
        return QStringLiteral("BLOB");
    }
    return QStringLiteral("BLOB");
}

// Finalizes a statement that is not kept in the cache.
struct StatementGuard {
    sqlite3_stmt *stmt = nullptr;
    bool owned = false;
    ~StatementGuard() {
        if (owned && stmt) sqlite3_finalize(stmt);
    }
};

int bindValue(sqlite3_stmt *stmt, int index, const QVariant &v) {
    if (!v.isValid() || v.isNull()) return sqlite3_bind_null(stmt, index);
    switch (v.typeId()) {
    case QMetaType::Bool:
        return sqlite3_bind_int64(stmt, index, v.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
        return sqlite3_bind_int64(stmt, index, v.toLongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return sqlite3_bind_double(stmt, index, v.toDouble());
    case QMetaType::QDateTime: {
        const QDateTime d = v.toDateTime();
        return d.isValid() ? sqlite3_bind_int64(stmt, index, d.toMSecsSinceEpoch())
                           : sqlite3_bind_null(stmt, index);
    }
    case QMetaType::QByteArray: {
        const QByteArray b = v.toByteArray();
        return sqlite3_bind_blob64(stmt, index, b.constData(), sqlite3_uint64(b.size()), SQLITE_TRANSIENT);
    }
    case QMetaType::QUrl: {
        const QByteArray b = v.toUrl().toString(QUrl::FullyEncoded).toUtf8();
        return sqlite3_bind_text64(stmt, index, b.constData(), sqlite3_uint64(b.size()), SQLITE_TRANSIENT,
                                   SQLITE_UTF8);
    }
    default: {
        const QByteArray b = v.toString().toUtf8();
        return sqlite3_bind_text64(stmt, index, b.constData(), sqlite3_uint64(b.size()), SQLITE_TRANSIENT,
                                   SQLITE_UTF8);
    }
    }
}

QString columnText(sqlite3_stmt *stmt, int column) {
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, column));
    return QString::fromUtf8(text, sqlite3_column_bytes(stmt, column));
}

// A stored value as the attribute's type; a value of the wrong kind is dropped (invalid)
// rather than read as something it is not.
QVariant readValue(sqlite3_stmt *stmt, int column, AttributeType type) {
    const int storage = sqlite3_column_type(stmt, column);
    if (storage == SQLITE_NULL) return type == AttributeType::Boolean ? QVariant(false) : QVariant();
    switch (type) {
    case AttributeType::String:
        if (storage == SQLITE_BLOB) return {};
        return columnText(stmt, column);
    case AttributeType::Url:
        if (storage != SQLITE_TEXT) return {};
        return QUrl(columnText(stmt, column));
    case AttributeType::Boolean:
        if (storage == SQLITE_INTEGER || storage == SQLITE_FLOAT)
            return sqlite3_column_int64(stmt, column) != 0;
        return false;
    case AttributeType::Integer:
        if (storage == SQLITE_INTEGER) return qint64(sqlite3_column_int64(stmt, column));
        if (storage == SQLITE_TEXT) {
            bool ok = false;
            const qint64 n = columnText(stmt, column).toLongLong(&ok);
            return ok ? QVariant(n) : QVariant();
        }
        return {};
    case AttributeType::Date:
        if (storage == SQLITE_INTEGER || storage == SQLITE_FLOAT)
            return QDateTime::fromMSecsSinceEpoch(sqlite3_column_int64(stmt, column), Qt::UTC);
        return {};
    case AttributeType::Data:
        if (storage == SQLITE_BLOB || storage == SQLITE_TEXT)
            return QByteArray(static_cast<const char *>(sqlite3_column_blob(stmt, column)),
                              sqlite3_column_bytes(stmt, column));
        return {};
    }
    return {};
}

QString idList(const QList<qint64> &ids) {
    QStringList parts;
    parts.reserve(ids.size());
    for (qint64 id : ids) parts.append(QString::number(id));
    return parts.join(QLatin1Char(','));
}

} // namespace

ManagedObjectContext::ManagedObjectContext(const ManagedObjectModel &model, QObject *parent)
    : QObject(parent), m_model(model) {}

ManagedObjectContext::~ManagedObjectContext() {
    close();
    // Objects may refer to each other; none looks at another while being destroyed.
    m_objects.clear();
}

bool ManagedObjectContext::open(const QString &path, StoreError *error) { return openAt(path, error); }

bool ManagedObjectContext::openInMemory(StoreError *error) {
    return openAt(QStringLiteral(":memory:"), error);
}

bool ManagedObjectContext::openImage(const QByteArray &image, StoreError *error) {
    return openAt(QStringLiteral(":memory:"), error, &image);
}

QByteArray ManagedObjectContext::image() const {
    if (!m_db) return {};
    sqlite3_int64 size = 0;
    unsigned char *bytes = sqlite3_serialize(m_db, "main", &size, 0);
    if (!bytes) return {};
    QByteArray out(reinterpret_cast<const char *>(bytes), qsizetype(size));
    sqlite3_free(bytes);
    return out;
}

bool ManagedObjectContext::openAt(const QString &path, StoreError *error, const QByteArray *image) {
    if (error) *error = {};
    if (m_db) close();
    if (!m_objects.empty()) {
        // The identity map belongs to one store; mixing rows of two stores would corrupt both.
        setError(error, StoreError::NotOpen, QStringLiteral("context already holds objects"));
        return false;
    }
    sqlite3 *db = nullptr;
    // On disk, each save's log writes leave together (see WalWriteBuffer).
    const char *vfs = path == QLatin1String(":memory:") ? nullptr : WalWriteBuffer::vfsName();
    const int rc =
        sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, vfs);
    if (rc != SQLITE_OK) {
        if (error) {
            error->code = rc & 0xff;
            error->extendedCode = rc;
            error->message =
                db ? QString::fromUtf8(sqlite3_errmsg(db)) : QString::fromUtf8(sqlite3_errstr(rc));
        }
        sqlite3_close(db);
        return false;
    }
    m_db = db;
    m_path = path;
    m_deferredReads = 0;
    sqlite3_extended_result_codes(m_db, 1);
    if (image) {
        // SQLite owns the copy from here on and may grow it as rows are saved.
        auto *bytes = static_cast<unsigned char *>(sqlite3_malloc64(sqlite3_uint64(image->size())));
        if (bytes) std::memcpy(bytes, image->constData(), size_t(image->size()));
        const int rc = bytes ? sqlite3_deserialize(m_db, "main", bytes, image->size(), image->size(),
                                                   SQLITE_DESERIALIZE_FREEONCLOSE | SQLITE_DESERIALIZE_RESIZEABLE)
                             : SQLITE_NOMEM;
        if (rc != SQLITE_OK) {
            setError(error, rc, QStringLiteral("reading a store image"));
            close();
            return false;
        }
    }
    // Another connection (a tool, a second copy on its way out) may hold the lock briefly.
    sqlite3_busy_timeout(m_db, 2000);
    const bool inMemory = path == QLatin1String(":memory:");
    // FULL: once save() returned, the rows survive a crash or power cut.
    bool ok = execute(QStringLiteral("PRAGMA foreign_keys=ON"), error) &&
              (inMemory || execute(QStringLiteral("PRAGMA journal_mode=WAL"), error)) &&
              execute(QStringLiteral("PRAGMA synchronous=FULL"), error) &&
              (image ? checkImageVersion(error) : createOrCheckSchema(error));
    if (!ok) {
        close();
        return false;
    }
    return loadOpened(error);
}

bool ManagedObjectContext::loadOpened(StoreError *error) {
    ++m_trackingSuppressed;
    const bool ok = loadResident(error);
    --m_trackingSuppressed;
    if (!ok) {
        close();
        // Nothing read from a store that failed to open may stay behind.
        m_objects.clear();
        m_identity.clear();
        m_resident.clear();
        m_valueIndexes.clear();
        m_lastRowId.clear();
        m_inserted.clear();
        m_updated.clear();
        m_updatedOrder.clear();
        m_deleted.clear();
        return false;
    }
    return true;
}

ManagedObjectContext::Connection::~Connection() {
    for (sqlite3_stmt *s : std::as_const(statements)) sqlite3_finalize(s);
    if (db) sqlite3_close(db);
}

std::unique_ptr<ManagedObjectContext::Connection> ManagedObjectContext::takeConnection() {
    if (!m_db) return nullptr;
    // No read left half done, no transaction left open for the next holder.
    for (sqlite3_stmt *s : std::as_const(m_statements)) sqlite3_reset(s);
    if (!sqlite3_get_autocommit(m_db)) execute(QStringLiteral("ROLLBACK"), nullptr);
    auto connection = std::make_unique<Connection>();
    connection->db = std::exchange(m_db, nullptr);
    connection->path = m_path;
    connection->statements = std::exchange(m_statements, {});
    return connection;
}

bool ManagedObjectContext::openConnection(std::unique_ptr<Connection> connection, StoreError *error) {
    if (error) *error = {};
    if (m_db) close();
    if (!connection || !connection->db) {
        setError(error, StoreError::NotOpen, QStringLiteral("no store to take over"));
        return false;
    }
    if (!m_objects.empty()) {
        setError(error, StoreError::NotOpen, QStringLiteral("context already holds objects"));
        return false;
    }
    m_db = std::exchange(connection->db, nullptr);
    m_path = connection->path;
    m_statements = std::exchange(connection->statements, {});
    m_deferredReads = 0;
    // A store of another model would be read wrongly.
    if (!checkImageVersion(error)) {
        close();
        return false;
    }
    return loadOpened(error);
}

void ManagedObjectContext::close() {
    for (sqlite3_stmt *s : std::as_const(m_statements)) sqlite3_finalize(s);
    m_statements.clear();
    if (m_db) sqlite3_close(m_db);
    m_db = nullptr;
}

void ManagedObjectContext::setError(StoreError *error, int code, const QString &what) const {
    if (!error) return;
    const bool ours = code >= StoreError::FirstOwnCode;
    error->code = ours ? code : (code & 0xff);
    error->extendedCode = ours || !m_db ? code : sqlite3_extended_errcode(m_db);
    error->message = what;
    if (m_db && !ours) error->message += QStringLiteral(": ") + QString::fromUtf8(sqlite3_errmsg(m_db));
}

bool ManagedObjectContext::execute(const QString &sql, StoreError *error) {
    if (!m_db) {
        setError(error, StoreError::NotOpen, QStringLiteral("no store"));
        return false;
    }
    char *message = nullptr;
    const int rc = sqlite3_exec(m_db, sql.toUtf8().constData(), nullptr, nullptr, &message);
    sqlite3_free(message);
    if (rc != SQLITE_OK) {
        setError(error, rc, sql.left(60));
        return false;
    }
    return true;
}

sqlite3_stmt *ManagedObjectContext::prepareUncached(const QString &sql, StoreError *error,
                                                    const QString &what) {
    const QByteArray utf8 = sql.toUtf8();
    sqlite3_stmt *stmt = nullptr;
    const int rc = sqlite3_prepare_v2(m_db, utf8.constData(), int(utf8.size()), &stmt, nullptr);
    if (rc != SQLITE_OK) setError(error, rc, what);
    return stmt;
}

sqlite3_stmt *ManagedObjectContext::prepare(const QString &sql, StoreError *error) {
    if (!m_db) {
        setError(error, StoreError::NotOpen, QStringLiteral("no store"));
        return nullptr;
    }
    if (sqlite3_stmt *cached = m_statements.value(sql)) {
        sqlite3_reset(cached);
        sqlite3_clear_bindings(cached);
        return cached;
    }
    sqlite3_stmt *stmt = nullptr;
    const QByteArray utf8 = sql.toUtf8();
    const int rc = sqlite3_prepare_v3(m_db, utf8.constData(), int(utf8.size()), SQLITE_PREPARE_PERSISTENT,
                                      &stmt, nullptr);
    if (rc != SQLITE_OK) {
        setError(error, rc, sql.left(60));
        return nullptr;
    }
    m_statements.insert(sql, stmt);
    return stmt;
}

bool ManagedObjectContext::checkImageVersion(StoreError *error) {
    // An image comes from a context of this program, whose tables were made or checked when it
    // opened; only one of another schema version is refused.
    sqlite3_stmt *stmt = prepare(QStringLiteral("PRAGMA user_version"), error);
    if (!stmt) return false;
    const int rc = sqlite3_step(stmt);
    const int version = rc == SQLITE_ROW ? sqlite3_column_int(stmt, 0) : -1;
    sqlite3_reset(stmt);
    if (rc != SQLITE_ROW) {
        setError(error, rc, QStringLiteral("reading the schema version"));
        return false;
    }
    if (version != m_model.schemaVersion()) {
        setError(error, StoreError::SchemaMismatch,
                 QStringLiteral("store image of schema %1, not %2").arg(version).arg(m_model.schemaVersion()));
        return false;
    }
    return true;
}

QString ManagedObjectContext::joinTableDefinition(const RelationshipDescription &r, const QString &ownerTable,
                                                  const QString &targetTable) {
    // Without a rowid the pair key is the table itself: each link is one b-tree entry less to
    // write. `position` keeps the owner's order of its targets.
    return QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (owner INTEGER NOT NULL REFERENCES %2(id) ON DELETE "
                          "CASCADE DEFERRABLE INITIALLY DEFERRED, target INTEGER NOT NULL REFERENCES %3(id) ON "
                          "DELETE CASCADE DEFERRABLE INITIALLY DEFERRED, position INTEGER%4, PRIMARY KEY(owner, "
                          "target)) WITHOUT ROWID")
        .arg(QStringLiteral("%1"), ownerTable, targetTable,
             r.joinSortAttribute.isEmpty() ? QString() : QStringLiteral(", sortKey INTEGER"));
}

bool ManagedObjectContext::migrate(const QList<JoinShape> &joins, const QStringList &statements,
                                   StoreError *error) {
    // A table is rebuilt with the references off, as SQLite prescribes, so rows are copied as
    // they stand; all of it is one transaction, so a cut leaves the old store to migrate again.
    if (!execute(QStringLiteral("PRAGMA foreign_keys=OFF"), error)) return false;
    const auto fail = [this] {
        execute(QStringLiteral("ROLLBACK"), nullptr);
        execute(QStringLiteral("PRAGMA foreign_keys=ON"), nullptr);
        return false;
    };
    if (!execute(QStringLiteral("BEGIN IMMEDIATE"), error)) return fail();
    for (const JoinShape &join : joins) {
        sqlite3_stmt *stmt =
            prepareUncached(QStringLiteral("SELECT sql FROM sqlite_schema WHERE type = 'table' AND name = ?"), error,
                            QStringLiteral("reading the schema"));
        if (!stmt) return fail();
        const QByteArray name = join.table.toUtf8();
        sqlite3_bind_text(stmt, 1, name.constData(), int(name.size()), SQLITE_TRANSIENT);
        const int rc = sqlite3_step(stmt);
        const QString sql = rc == SQLITE_ROW ? columnText(stmt, 0) : QString();
        sqlite3_finalize(stmt);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            setError(error, rc, QStringLiteral("reading the schema"));
            return fail();
        }
        // Missing: made below. Already without rowid: nothing to do.
        if (sql.isEmpty() || sql.contains(QLatin1String("WITHOUT ROWID"), Qt::CaseInsensitive)) continue;
        const QString rebuilt = join.table + QStringLiteral("_rebuilt");
        const QString kept = join.sorted ? QStringLiteral("owner, target, position, sortKey")
                                         : QStringLiteral("owner, target, position");
        const QString read = join.sorted ? QStringLiteral("owner, target, rowid, sortKey")
                                         : QStringLiteral("owner, target, rowid");
        for (const QString &step :
             {QStringLiteral("DROP TABLE IF EXISTS %1").arg(quoted(rebuilt)), join.definition.arg(quoted(rebuilt)),
              QStringLiteral("INSERT INTO %1 (%2) SELECT %3 FROM %4")
                  .arg(quoted(rebuilt), kept, read, quoted(join.table)),
              QStringLiteral("DROP TABLE %1").arg(quoted(join.table)),
              QStringLiteral("ALTER TABLE %1 RENAME TO %2").arg(quoted(rebuilt), quoted(join.table))}) {
            if (!execute(step, error)) return fail();
        }
    }
    for (const QString &sql : statements)
        if (!execute(sql, error)) return fail();
    if (!execute(QStringLiteral("PRAGMA user_version=%1").arg(m_model.schemaVersion()), error) ||
        !execute(QStringLiteral("COMMIT"), error))
        return fail();
    return execute(QStringLiteral("PRAGMA foreign_keys=ON"), error);
}

bool ManagedObjectContext::createOrCheckSchema(StoreError *error) {
    sqlite3_stmt *stmt = prepare(QStringLiteral("PRAGMA user_version"), error);
    if (!stmt) return false;
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW) {
        setError(error, rc, QStringLiteral("reading the schema version"));
        return false;
    }
    const int version = sqlite3_column_int(stmt, 0);
    sqlite3_reset(stmt);
    if (version > m_model.schemaVersion()) {
        setError(
            error, StoreError::SchemaTooNew,
            QStringLiteral("store schema %1 is newer than %2").arg(version).arg(m_model.schemaVersion()));
        return false;
    }

    // The columns each table needs, to create it or to check an existing one.
    QHash<QString, QStringList> columns;
    QStringList statements;
    QList<JoinShape> joins;
    for (const QString &table : m_model.tables()) {
        const EntityDescription &root = m_model.rootForTable(table);
        QStringList defs{QStringLiteral("id INTEGER PRIMARY KEY"), QStringLiteral("kind TEXT NOT NULL")};
        QStringList names{Id, Kind};
        for (const QString &kind : m_model.kindsOf(root.name)) {
            const EntityDescription *e = m_model.entity(kind);
            for (const AttributeDescription &a : e->attributes) {
                if (names.contains(a.name)) continue;
                names.append(a.name);
                defs.append(quoted(a.name) + QLatin1Char(' ') + sqlType(a.type));
            }
            for (const RelationshipDescription &r : e->relationships) {
                if (r.toMany || names.contains(r.name)) continue;
                names.append(r.name);
                const QString destination = m_model.entity(r.destination)->table;
                defs.append(quoted(r.name) + QStringLiteral(" INTEGER REFERENCES ") + quoted(destination) +
                            QStringLiteral("(id) ON DELETE SET NULL DEFERRABLE INITIALLY DEFERRED"));
            }
            for (const RelationshipDescription &r : e->relationships) {
                if (!r.toMany || !r.joinOwner) continue;
                JoinShape join;
                join.table = r.joinTable;
                join.definition = joinTableDefinition(r, quoted(table), quoted(m_model.entity(r.destination)->table));
                join.sorted = !r.joinSortAttribute.isEmpty();
                join.index = QStringLiteral("CREATE INDEX IF NOT EXISTS %1 ON %2(%3)")
                                 .arg(quoted(r.joinTable + QStringLiteral("_by_target")), quoted(r.joinTable),
                                      join.sorted ? QStringLiteral("target, sortKey, owner")
                                                  : QStringLiteral("target, owner"));
                statements.append(join.definition.arg(quoted(r.joinTable)));
                statements.append(join.index);
                QStringList joinColumns{QStringLiteral("owner"), QStringLiteral("target"), QStringLiteral("position")};
                if (join.sorted) joinColumns.append(QStringLiteral("sortKey"));
                columns.insert(r.joinTable, joinColumns);
                joins.append(join);
            }
        }
        statements.prepend(QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (%2)")
                               .arg(quoted(table), defs.join(QStringLiteral(", "))));
        columns.insert(table, names);
    }
    statements.append(m_model.schemaStatements());

    if (version == 0) {
        if (!execute(QStringLiteral("BEGIN IMMEDIATE"), error)) return false;
        for (const QString &sql : std::as_const(statements)) {
            if (!execute(sql, error)) {
                execute(QStringLiteral("ROLLBACK"), nullptr);
                return false;
            }
        }
        if (!execute(QStringLiteral("PRAGMA user_version=%1").arg(m_model.schemaVersion()), error) ||
            !execute(QStringLiteral("COMMIT"), error)) {
            execute(QStringLiteral("ROLLBACK"), nullptr);
            return false;
        }
        return true;
    }
    if (version < m_model.schemaVersion() && !migrate(joins, statements, error)) return false;
    for (auto it = columns.cbegin(); it != columns.cend(); ++it) {
        sqlite3_stmt *info = prepare(QStringLiteral("PRAGMA table_info(%1)").arg(quoted(it.key())), error);
        if (!info) return false;
        QStringList present;
        while ((rc = sqlite3_step(info)) == SQLITE_ROW) present.append(columnText(info, 1));
        if (rc != SQLITE_DONE) {
            setError(error, rc, QStringLiteral("reading table ") + it.key());
            return false;
        }
        for (const QString &column : it.value()) {
            if (!present.contains(column)) {
                setError(error, StoreError::SchemaMismatch,
                         QStringLiteral("table %1 lacks column %2").arg(it.key(), column));
                return false;
            }
        }
    }
    // Indexes added since the store was made cost nothing to ensure.
    for (const QString &sql : m_model.schemaStatements())
        if (!execute(sql, error)) return false;
    return true;
}

ManagedObject *ManagedObjectContext::create(const EntityDescription &entity) {
    ManagedObject *object = entity.factory ? entity.factory() : nullptr;
    if (!object) return nullptr;
    object->m_context = this;
    object->m_entity = &entity;
    object->m_layout = m_model.layout(entity.name);
    object->m_values.resize(object->m_layout->attributes.size());
    object->m_links.resize(object->m_layout->relationships.size());
    m_objects.emplace_back(object);
    return object;
}

void ManagedObjectContext::registerObject(ManagedObject *object) {
    const QString &table = object->m_entity->table;
    m_identity[table].insert(object->m_rowId, object);
    if (m_model.root(*object->m_entity).resident) {
        m_resident[table].append(object);
        indexObject(object, true);
    }
}

void ManagedObjectContext::indexObject(ManagedObject *object, bool add) {
    for (auto byTable = m_valueIndexes.begin(); byTable != m_valueIndexes.end(); ++byTable) {
        const auto index = byTable->find(object->m_entity->table);
        if (index == byTable->end() || object->attributeIndex(byTable.key()) < 0) continue;
        const QString value = object->value(byTable.key()).toString();
        if (add)
            (*index)[value].append(object);
        else if (auto found = index->find(value); found != index->end() && found->removeOne(object) && found->isEmpty())
            index->erase(found);
    }
}

void ManagedObjectContext::noteValueChanged(ManagedObject *object, const QString &key, const QVariant &oldValue) {
    if (m_valueIndexes.isEmpty() || object->m_deleted) return;
    const auto byTable = m_valueIndexes.find(key);
    if (byTable == m_valueIndexes.end()) return;
    const auto index = byTable->find(object->m_entity->table);
    if (index == byTable->end() || !m_model.root(*object->m_entity).resident) return;
    if (auto found = index->find(oldValue.toString()); found != index->end() && found->removeOne(object) && found->isEmpty())
        index->erase(found);
    (*index)[object->value(key).toString()].append(object);
}

const QList<ManagedObject *> *ManagedObjectContext::valueIndexEntry(const EntityDescription &entity,
                                                                    const QString &key, const QString &value) {
    auto &byTable = m_valueIndexes[key];
    auto index = byTable.find(entity.table);
    if (index == byTable.end()) {
        index = byTable.insert(entity.table, {});
        for (ManagedObject *o : m_resident.value(entity.table))
            if (o->attributeIndex(key) >= 0) (*index)[o->value(key).toString()].append(o);
    }
    const auto found = index->constFind(value);
    return found == index->cend() ? nullptr : &*found;
}

ManagedObject *ManagedObjectContext::firstWithValue(const QString &entityName, const QString &key,
                                                    const QString &value) {
    const EntityDescription *entity = m_model.entity(entityName);
    if (!entity) return nullptr;
    if (!m_model.root(*entity).resident) {
        const QList<ManagedObject *> all = objectsWithValue(entityName, key, value);
        return all.isEmpty() ? nullptr : all.first();
    }
    const QList<ManagedObject *> *entry = valueIndexEntry(*entity, key, value);
    if (!entry) return nullptr;
    ManagedObject *first = nullptr;
    for (ManagedObject *o : *entry)
        if (!o->m_deleted && ManagedObjectModel::isKindOf(o->m_entity, entity) && (!first || o->m_rowId < first->m_rowId))
            first = o;
    return first;
}

QList<ManagedObject *> ManagedObjectContext::objectsWithValue(const QString &entityName, const QString &key,
                                                             const QString &value) {
    const EntityDescription *entity = m_model.entity(entityName);
    if (!entity) return {};
    if (!m_model.root(*entity).resident) {
        FetchRequest request;
        request.entityName = entityName;
        request.predicate = [&](const ManagedObject *o) { return o->value(key).toString() == value; };
        return executeFetch(request);
    }
    const QList<ManagedObject *> *entry = valueIndexEntry(*entity, key, value);
    if (!entry) return {};
    QList<ManagedObject *> out;
    for (ManagedObject *o : *entry)
        if (!o->m_deleted && ManagedObjectModel::isKindOf(o->m_entity, entity)) out.append(o);
    // A value changed back and forth lands at the end of its list: row order is the order asked.
    if (out.size() > 1)
        std::sort(out.begin(), out.end(), [](const ManagedObject *a, const ManagedObject *b) { return a->m_rowId < b->m_rowId; });
    return out;
}

// Reads one row into a new object. To-one references are returned in `pending` (column, id)
// so resident rows can be linked once all of them exist.
ManagedObject *ManagedObjectContext::materialize(const QString &table, sqlite3_stmt *row,
                                                 QList<ManagedObject *> *loaded) {
    const int columnCount = sqlite3_column_count(row);
    int kindColumn = -1, idColumn = -1;
    for (int c = 0; c < columnCount; ++c) {
        const char *name = sqlite3_column_name(row, c);
        if (qstrcmp(name, "kind") == 0) kindColumn = c;
        if (qstrcmp(name, "id") == 0) idColumn = c;
    }
    if (kindColumn < 0 || idColumn < 0) return nullptr;
    const QString kind = columnText(row, kindColumn);
    const EntityDescription *entity = m_model.entity(kind);
    if (!entity || entity->abstract || entity->table != table) {
        // Unknown kinds are left in the file untouched, but not shown.
        qWarning("ManagedObjectContext: skipping row %lld of %s with kind \"%s\"",
                 sqlite3_column_int64(row, idColumn), qPrintable(table), qPrintable(kind));
        return nullptr;
    }
    ManagedObject *object = create(*entity);
    if (!object) return nullptr;
    object->m_rowId = sqlite3_column_int64(row, idColumn);
    object->m_state = ManagedObject::State::Saved;
    const ManagedObjectModel::Layout &layout = *object->m_layout;
    QList<std::pair<int, qint64>> references;
    for (int c = 0; c < columnCount; ++c) {
        const QString name = QString::fromUtf8(sqlite3_column_name(row, c));
        const int a = layout.attributeIndex.value(name, -1);
        if (a >= 0 && layout.attributes.at(a).deferred) {
            // The column holds the value's size here (see selectList).
            if (sqlite3_column_type(row, c) != SQLITE_NULL)
                object->m_values[a] = QVariant::fromValue(DeferredValue{sqlite3_column_int64(row, c)});
            continue;
        }
        if (a >= 0) {
            const QVariant v = readValue(row, c, layout.attributes.at(a).type);
            if (v.isValid() && !(layout.attributes.at(a).type == AttributeType::Boolean && !v.toBool()))
                object->m_values[a] = v;
            continue;
        }
        const int r = layout.relationshipIndex.value(name, -1);
        if (r >= 0 && !layout.relationships.at(r).toMany && sqlite3_column_type(row, c) == SQLITE_INTEGER)
            references.append({r, qint64(sqlite3_column_int64(row, c))});
    }
    if (!references.isEmpty()) m_pendingReferences.insert(object, references);
    registerObject(object);
    if (loaded) loaded->append(object);
    return object;
}

ManagedObject *ManagedObjectContext::resolve(const QString &entityName, qint64 rowId,
                                             QList<ManagedObject *> *loaded) {
    const EntityDescription *entity = m_model.entity(entityName);
    if (!entity) return nullptr;
    ManagedObject *object = m_identity.value(entity->table).value(rowId);
    if (!object && !m_model.root(*entity).resident) object = loadRow(entity->table, rowId, loaded);
    if (object && !object->isKindOf(entityName)) return nullptr;
    return object;
}

ManagedObject *ManagedObjectContext::loadRow(const QString &table, qint64 rowId,
                                             QList<ManagedObject *> *loaded) {
    sqlite3_stmt *stmt =
        prepare(QStringLiteral("SELECT %1 FROM %2 WHERE id = ?").arg(selectList(table), quoted(table)), nullptr);
    if (!stmt) return nullptr;
    sqlite3_bind_int64(stmt, 1, rowId);
    ManagedObject *object = nullptr;
    if (sqlite3_step(stmt) == SQLITE_ROW) object = materialize(table, stmt, loaded);
    sqlite3_reset(stmt);
    if (!object) return nullptr;
    // Link its references now: their targets are resident or loaded on demand.
    linkPendingReferences(object, loaded);
    loadJoinsOf(object);
    return object;
}

void ManagedObjectContext::linkPendingReferences(ManagedObject *object, QList<ManagedObject *> *loaded) {
    const QList<std::pair<int, qint64>> references = m_pendingReferences.take(object);
    for (const auto &[index, rowId] : references) {
        const RelationshipDescription &r = object->m_layout->relationships.at(index);
        if (ManagedObject *target = resolve(r.destination, rowId, loaded)) {
            object->linkPrimitive(r.name, target);
            if (!r.inverse.isEmpty()) target->linkPrimitive(r.inverse, object);
        }
    }
}

void ManagedObjectContext::loadJoinsOf(ManagedObject *owner) {
    for (const RelationshipDescription &r : m_model.allRelationships(owner->entityName())) {
        if (!r.toMany || !r.joinOwner) continue;
        sqlite3_stmt *stmt = prepare(
            QStringLiteral("SELECT target FROM %1 WHERE owner = ? ORDER BY position").arg(quoted(r.joinTable)),
            nullptr);
        if (!stmt) continue;
        sqlite3_bind_int64(stmt, 1, owner->m_rowId);
        QList<qint64> ids;
        while (sqlite3_step(stmt) == SQLITE_ROW) ids.append(sqlite3_column_int64(stmt, 0));
        sqlite3_reset(stmt);
        for (qint64 id : ids) {
            if (ManagedObject *target = resolve(r.destination, id, nullptr)) {
                owner->linkPrimitive(r.name, target);
                if (!r.inverse.isEmpty()) target->linkPrimitive(r.inverse, owner);
            }
        }
    }
}

bool ManagedObjectContext::loadResident(StoreError *error) {
    QList<ManagedObject *> loaded;
    for (const QString &table : m_model.tables()) {
        sqlite3_stmt *max = prepare(QStringLiteral("SELECT max(id) FROM %1").arg(quoted(table)), error);
        if (!max) return false;
        int rc = sqlite3_step(max);
        if (rc != SQLITE_ROW) {
            setError(error, rc, QStringLiteral("reading ") + table);
            return false;
        }
        m_lastRowId.insert(table, sqlite3_column_int64(max, 0));
        sqlite3_reset(max);
        if (!m_model.rootForTable(table).resident) continue;
        sqlite3_stmt *rows =
            prepare(QStringLiteral("SELECT %1 FROM %2 ORDER BY id").arg(selectList(table), quoted(table)), error);
        if (!rows) return false;
        while ((rc = sqlite3_step(rows)) == SQLITE_ROW) materialize(table, rows, &loaded);
        sqlite3_reset(rows);
        if (rc != SQLITE_DONE) {
            setError(error, rc, QStringLiteral("reading ") + table);
            return false;
        }
    }
    // Every resident row exists now: link references and join rows among them.
    for (qsizetype i = 0; i < loaded.size(); ++i) linkPendingReferences(loaded.at(i), &loaded);
    for (const EntityDescription *e : m_model.entities()) {
        for (const RelationshipDescription &r : e->relationships) {
            if (!r.toMany || !r.joinOwner || !m_model.root(*e).resident) continue;
            sqlite3_stmt *stmt = prepare(
                QStringLiteral("SELECT owner, target FROM %1 ORDER BY owner, position").arg(quoted(r.joinTable)),
                error);
            if (!stmt) return false;
            int rc;
            while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
                ManagedObject *owner = m_identity.value(e->table).value(sqlite3_column_int64(stmt, 0));
                ManagedObject *target = resolve(r.destination, sqlite3_column_int64(stmt, 1), &loaded);
                if (!owner || !target || !owner->isKindOf(e->name)) continue;
                owner->linkPrimitive(r.name, target);
                if (!r.inverse.isEmpty()) target->linkPrimitive(r.inverse, owner);
            }
            sqlite3_reset(stmt);
            if (rc != SQLITE_DONE) {
                setError(error, rc, QStringLiteral("reading ") + r.joinTable);
                return false;
            }
        }
    }
    awakeLoaded(loaded);
    return true;
}

QString ManagedObjectContext::selectList(const QString &table) {
    if (const auto found = m_selectLists.constFind(table); found != m_selectLists.cend()) return *found;
    QStringList columns{Id, Kind};
    bool anyDeferred = false;
    for (const QString &kind : m_model.kindsOf(m_model.rootForTable(table).name)) {
        const EntityDescription *e = m_model.entity(kind);
        for (const AttributeDescription &a : e->attributes) {
            const QString column = a.deferred ? QStringLiteral("length(%1) AS %1").arg(quoted(a.name)) : quoted(a.name);
            anyDeferred = anyDeferred || a.deferred;
            if (!columns.contains(column)) columns.append(column);
        }
        for (const RelationshipDescription &r : e->relationships)
            if (!r.toMany && !columns.contains(quoted(r.name))) columns.append(quoted(r.name));
    }
    // Without deferred values every column is read, also those of kinds this build does not know.
    const QString list = anyDeferred ? columns.join(QStringLiteral(", ")) : QStringLiteral("*");
    m_selectLists.insert(table, list);
    return list;
}

QVariant ManagedObjectContext::readDeferred(const ManagedObject *object, int attribute, bool *ok) {
    if (ok) *ok = false;
    const AttributeDescription &a = object->m_layout->attributes.at(attribute);
    sqlite3_stmt *stmt = prepare(
        QStringLiteral("SELECT %1 FROM %2 WHERE id = ?").arg(quoted(a.name), quoted(object->m_entity->table)),
        nullptr);
    if (!stmt) return {};
    sqlite3_bind_int64(stmt, 1, object->m_rowId);
    QVariant v;
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
        v = readValue(stmt, 0, a.type);
        ++m_deferredReads;
        if (ok) *ok = true;
    } else if (rc != SQLITE_DONE) {
        qWarning("ManagedObjectContext: reading %s of row %lld failed: %s", qPrintable(a.name),
                 object->m_rowId, sqlite3_errmsg(m_db));
    }
    sqlite3_reset(stmt);
    return v;
}

void ManagedObjectContext::releaseDeferred(ManagedObject *object) {
    const QList<AttributeDescription> &attributes = object->m_layout->attributes;
    for (qsizetype i = 0; i < attributes.size(); ++i) {
        if (!attributes.at(i).deferred) continue;
        QVariant &v = object->m_values[i];
        if (v.isValid() && !ManagedObject::isDeferred(v))
            v = QVariant::fromValue(DeferredValue{v.toByteArray().size()});
    }
}

void ManagedObjectContext::awakeLoaded(const QList<ManagedObject *> &loaded) {
    ++m_trackingSuppressed;
    for (ManagedObject *object : loaded) object->awakeFromFetch();
    --m_trackingSuppressed;
}

ManagedObject *ManagedObjectContext::insertObject(const QString &entityName) {
    const EntityDescription *entity = m_model.entity(entityName);
    if (!entity || entity->abstract) {
        qWarning("ManagedObjectContext: cannot insert entity \"%s\"", qPrintable(entityName));
        return nullptr;
    }
    ManagedObject *object = create(*entity);
    if (!object) return nullptr;
    object->m_rowId = ++m_lastRowId[entity->table];
    object->m_state = ManagedObject::State::Inserted;
    registerObject(object);
    m_inserted.append(object);
    object->awakeFromInsert();
    emit objectInserted(object);
    return object;
}

void ManagedObjectContext::deleteObject(ManagedObject *object) {
    if (!object || object->m_context != this || object->m_deleted) return;
    // Nullify every link, on both sides, before the object leaves.
    for (const RelationshipDescription &r : m_model.allRelationships(object->entityName())) {
        if (!r.toMany) {
            object->setToOne(r.name, nullptr);
        } else if (r.inMemory) {
            for (ManagedObject *target : object->toMany(r.name)) object->removeToMany(r.name, target);
        } else {
            // The side read by query: only loaded objects on the other side need the change;
            // the store's own rules (SET NULL, CASCADE) handle rows not in memory.
            const EntityDescription *destination = m_model.entity(r.destination);
            const QList<ManagedObject *> others = m_identity.value(destination->table).values();
            for (ManagedObject *other : others) {
                if (other->m_deleted || r.inverse.isEmpty()) continue;
                if (other->toOne(r.inverse) == object)
                    other->setToOne(r.inverse, nullptr);
                else if (other->holds(r.inverse, object))
                    other->removeToMany(r.inverse, object);
            }
        }
    }
    object->m_deleted = true;
    const QString &table = object->m_entity->table;
    m_identity[table].remove(object->m_rowId);
    if (m_resident.contains(table)) {
        m_resident[table].removeOne(object);
        indexObject(object, false);
    }
    if (object->m_state == ManagedObject::State::Inserted) {
        m_inserted.removeOne(object);
    } else {
        m_deleted.append(object);
    }
    if (m_updated.remove(object)) m_updatedOrder.removeOne(object);
    object->m_updated = false;
    object->m_dirtyColumns = 0;
    emit objectDeleted(object);
}

void ManagedObjectContext::noteUpdated(ManagedObject *object) {
    if (!tracking() || object->m_deleted || object->m_state != ManagedObject::State::Saved) return;
    object->m_updated = true;
    if (!m_updated.contains(object)) {
        m_updated.insert(object);
        m_updatedOrder.append(object);
    }
}

void ManagedObjectContext::noteJoinDirty(ManagedObject *object) {
    if (!tracking() || object->m_deleted) return;
    object->m_joinDirty = true;
    noteUpdated(object);
}

bool ManagedObjectContext::hasChanges() const {
    return !m_inserted.isEmpty() || !m_updated.isEmpty() || !m_deleted.isEmpty();
}

QList<ManagedObject *> ManagedObjectContext::updatedObjects() const { return m_updatedOrder; }

QString ManagedObjectContext::kindFilter(const QString &entityName) const {
    QStringList kinds;
    for (const QString &k : m_model.kindsOf(entityName))
        kinds.append(QLatin1Char('\'') + k + QLatin1Char('\''));
    return QStringLiteral("t.kind IN (") + kinds.join(QLatin1Char(',')) + QLatin1Char(')');
}

QList<ManagedObject *> ManagedObjectContext::executeFetch(const FetchRequest &request, StoreError *error) {
    if (error) *error = {};
    QList<ManagedObject *> out;
    const EntityDescription *entity = m_model.entity(request.entityName);
    if (!entity) {
        setError(error, StoreError::NoSuchEntity, request.entityName);
        return out;
    }
    const EntityDescription &root = m_model.root(*entity);
    const QString &table = entity->table;
    auto matches = [&](ManagedObject *o) {
        return !o->m_deleted && ManagedObjectModel::isKindOf(o->m_entity, entity) &&
               (!request.predicate || request.predicate(o));
    };
    if (root.resident) {
        for (ManagedObject *o : m_resident.value(table))
            if (matches(o)) out.append(o);
        if (request.lessThan) std::stable_sort(out.begin(), out.end(), request.lessThan);
        if (request.limit >= 0 && out.size() > request.limit) out.resize(request.limit);
        return out;
    }

    // Objects whose stored row no longer tells the truth are taken from memory instead.
    QList<qint64> stale;
    QList<ManagedObject *> fromMemory;
    for (ManagedObject *o : std::as_const(m_updatedOrder))
        if (o->m_entity->table == table) stale.append(o->m_rowId);
    for (ManagedObject *o : std::as_const(m_deleted))
        if (o->m_entity->table == table) stale.append(o->m_rowId);
    for (ManagedObject *o : std::as_const(m_inserted))
        if (o->m_entity->table == table && matches(o)) fromMemory.append(o);
    for (ManagedObject *o : std::as_const(m_updatedOrder))
        if (o->m_entity->table == table && matches(o)) fromMemory.append(o);
    if (request.lessThan) std::stable_sort(fromMemory.begin(), fromMemory.end(), request.lessThan);

    QList<ManagedObject *> fromStore;
    if (m_db) {
        const QString sql = storeSql(request, false, stale);
        StatementGuard guard;
        // A statement that names stale rows is one of a kind: not worth a place in the cache.
        guard.owned = !stale.isEmpty();
        guard.stmt = guard.owned ? prepareUncached(sql, error, QStringLiteral("fetch")) : prepare(sql, error);
        if (!guard.stmt) return out;
        for (int i = 0; i < request.bindings.size(); ++i)
            bindValue(guard.stmt, i + 1, request.bindings.at(i));
        QList<qint64> ids;
        int rc;
        while ((rc = sqlite3_step(guard.stmt)) == SQLITE_ROW) ids.append(sqlite3_column_int64(guard.stmt, 0));
        if (rc != SQLITE_DONE) setError(error, rc, QStringLiteral("fetch"));
        sqlite3_reset(guard.stmt);
        QList<ManagedObject *> loaded;
        for (qint64 id : std::as_const(ids)) {
            ManagedObject *o = m_identity.value(table).value(id);
            if (!o) o = loadRow(table, id, &loaded);
            // The predicate says what `where` says; checking it again costs little and keeps a
            // request without SQL honest.
            if (o && !o->m_deleted && (!request.predicate || request.predicate(o))) fromStore.append(o);
        }
        awakeLoaded(loaded);
    }

    if (request.lessThan) {
        out.reserve(fromStore.size() + fromMemory.size());
        std::merge(fromStore.begin(), fromStore.end(), fromMemory.begin(), fromMemory.end(),
                   std::back_inserter(out), request.lessThan);
    } else {
        out = fromStore + fromMemory;
    }
    if (request.limit >= 0 && out.size() > request.limit) out.resize(request.limit);
    return out;
}

qint64 ManagedObjectContext::count(const FetchRequest &request, StoreError *error) {
    if (error) *error = {};
    const EntityDescription *entity = m_model.entity(request.entityName);
    if (!entity) {
        setError(error, StoreError::NoSuchEntity, request.entityName);
        return 0;
    }
    if (m_model.root(*entity).resident) {
        FetchRequest all = request;
        all.limit = -1;
        return executeFetch(all, error).size();
    }
    const QString &table = entity->table;
    QList<qint64> stale;
    qint64 n = 0;
    for (ManagedObject *o : std::as_const(m_updatedOrder))
        if (o->m_entity->table == table) stale.append(o->m_rowId);
    for (ManagedObject *o : std::as_const(m_deleted))
        if (o->m_entity->table == table) stale.append(o->m_rowId);
    auto matches = [&](ManagedObject *o) {
        return o->m_entity->table == table && !o->m_deleted && o->isKindOf(request.entityName) &&
               (!request.predicate || request.predicate(o));
    };
    for (ManagedObject *o : std::as_const(m_inserted)) n += matches(o);
    for (ManagedObject *o : std::as_const(m_updatedOrder)) n += matches(o);
    if (!m_db) return n;
    const QString sql = storeSql(request, true, stale);
    StatementGuard guard;
    // A statement that names stale rows is one of a kind: not worth a place in the cache.
    guard.owned = !stale.isEmpty();
    guard.stmt = guard.owned ? prepareUncached(sql, error, QStringLiteral("count")) : prepare(sql, error);
    if (!guard.stmt) return n;
    for (int i = 0; i < request.bindings.size(); ++i) bindValue(guard.stmt, i + 1, request.bindings.at(i));
    const int rc = sqlite3_step(guard.stmt);
    if (rc == SQLITE_ROW)
        n += sqlite3_column_int64(guard.stmt, 0);
    else
        setError(error, rc, QStringLiteral("count"));
    sqlite3_reset(guard.stmt);
    return n;
}

QString ManagedObjectContext::storeSql(const FetchRequest &request, bool countOnly,
                                       const QList<qint64> &stale) const {
    const QString table = m_model.entity(request.entityName)->table;
    QString sql =
        (countOnly ? QStringLiteral("SELECT count(*) FROM ") : QStringLiteral("SELECT t.id FROM ")) +
        (request.from.isEmpty() ? quoted(table) + QStringLiteral(" t") : request.from) +
        QStringLiteral(" WHERE (") + (request.where.isEmpty() ? QStringLiteral("1") : request.where) +
        QStringLiteral(") AND ") + kindFilter(request.entityName);
    if (!stale.isEmpty()) sql += QStringLiteral(" AND t.id NOT IN (") + idList(stale) + QLatin1Char(')');
    if (countOnly) return sql;
    if (!request.orderBy.isEmpty()) sql += QStringLiteral(" ORDER BY ") + request.orderBy;
    if (request.limit >= 0) sql += QStringLiteral(" LIMIT ") + QString::number(request.limit);
    return sql;
}

QStringList ManagedObjectContext::queryPlan(const FetchRequest &request, bool countOnly) {
    QStringList plan;
    const EntityDescription *entity = m_model.entity(request.entityName);
    if (!m_db || !entity || m_model.root(*entity).resident) return plan;
    const QByteArray sql =
        (QStringLiteral("EXPLAIN QUERY PLAN ") + storeSql(request, countOnly, {})).toUtf8();
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(m_db, sql.constData(), int(sql.size()), &stmt, nullptr) != SQLITE_OK) return plan;
    for (int i = 0; i < request.bindings.size(); ++i) bindValue(stmt, i + 1, request.bindings.at(i));
    while (sqlite3_step(stmt) == SQLITE_ROW) plan.append(columnText(stmt, 3));
    sqlite3_finalize(stmt);
    return plan;
}

ManagedObject *ManagedObjectContext::objectWithRowId(const QString &entityName, qint64 rowId) {
    const EntityDescription *entity = m_model.entity(entityName);
    if (!entity) return nullptr;
    ManagedObject *o = m_identity.value(entity->table).value(rowId);
    if (!o && m_db && !m_model.root(*entity).resident) {
        QList<ManagedObject *> loaded;
        o = loadRow(entity->table, rowId, &loaded);
        awakeLoaded(loaded);
    }
    return o && !o->m_deleted && o->isKindOf(entityName) ? o : nullptr;
}

struct ManagedObjectContext::WritePlan {
    struct Join {
        QString clearSql;
        QString addSql;
        int relationship = -1;
        int sortAttribute = -1; // -1: the join has no sort column
    };
    QString insertSql;
    QList<int> toOne; // relationship indexes written as columns, after the attributes
    QList<Join> joins;
};

const ManagedObjectContext::WritePlan &
ManagedObjectContext::writePlan(const ManagedObjectModel::Layout &layout) {
    std::shared_ptr<WritePlan> &plan = m_writePlans[&layout];
    if (plan) return *plan;
    plan = std::make_shared<WritePlan>();
    const QString table = quoted(layout.entity->table);
    QStringList columns;
    for (const AttributeDescription &a : layout.attributes) columns.append(quoted(a.name));
    for (qsizetype i = 0; i < layout.relationships.size(); ++i) {
        const RelationshipDescription &r = layout.relationships.at(i);
        if (!r.toMany) {
            plan->toOne.append(int(i));
            columns.append(quoted(r.name));
        } else if (r.joinOwner) {
            WritePlan::Join join;
            join.relationship = int(i);
            join.sortAttribute =
                r.joinSortAttribute.isEmpty() ? -1 : layout.attributeIndex.value(r.joinSortAttribute, -1);
            join.clearSql = QStringLiteral("DELETE FROM %1 WHERE owner = ?").arg(quoted(r.joinTable));
            join.addSql =
                join.sortAttribute >= 0
                    ? QStringLiteral("INSERT INTO %1 (owner, target, position, sortKey) VALUES (?, ?, ?, ?)")
                          .arg(quoted(r.joinTable))
                    : QStringLiteral("INSERT INTO %1 (owner, target, position) VALUES (?, ?, ?)")
                          .arg(quoted(r.joinTable));
            plan->joins.append(join);
        }
    }
    const QStringList marks(columns.size() + 2, QStringLiteral("?"));
    plan->insertSql = QStringLiteral("INSERT INTO %1 (id, kind, %2) VALUES (%3)")
                          .arg(table, columns.join(QStringLiteral(", ")), marks.join(QStringLiteral(", ")));
    return *plan;
}

bool ManagedObjectContext::updateObject(ManagedObject *object, StoreError *error) {
    const quint64 dirty = object->m_dirtyColumns;
    if (!dirty) return true; // only its join rows changed
    const ManagedObjectModel::Layout &layout = *object->m_layout;
    const int attributeCount = int(layout.attributes.size());
    QStringList sets;
    for (int c = 0; c < 64; ++c) {
        if (!(dirty & (quint64(1) << c))) continue;
        const QString &name = c < attributeCount ? layout.attributes.at(c).name
                                                 : layout.relationships.at(c - attributeCount).name;
        sets.append(quoted(name) + QStringLiteral(" = ?"));
    }
    sqlite3_stmt *stmt = prepare(QStringLiteral("UPDATE %1 SET %2 WHERE id = ?")
                                     .arg(quoted(layout.entity->table), sets.join(QStringLiteral(", "))),
                                 error);
    if (!stmt) return false;
    int index = 1;
    for (int c = 0; c < 64; ++c) {
        if (!(dirty & (quint64(1) << c))) continue;
        if (c < attributeCount) {
            const QVariant &v = object->m_values.at(c);
            if (!v.isValid() && layout.attributes.at(c).type == AttributeType::Boolean)
                sqlite3_bind_int64(stmt, index++, 0);
            else
                bindValue(stmt, index++, v);
        } else {
            ManagedObject *target = object->m_links.at(c - attributeCount).one;
            if (target && !target->m_deleted)
                sqlite3_bind_int64(stmt, index++, target->m_rowId);
            else
                sqlite3_bind_null(stmt, index++);
        }
    }
    sqlite3_bind_int64(stmt, index, object->m_rowId);
    const int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    if (rc != SQLITE_DONE) {
        setError(error, rc, QStringLiteral("updating ") + layout.entity->table);
        return false;
    }
    return true;
}

bool ManagedObjectContext::writeObject(ManagedObject *object, bool insert, StoreError *error) {
    if (!insert) return updateObject(object, error);
    const WritePlan &plan = writePlan(*object->m_layout);
    sqlite3_stmt *stmt = prepare(plan.insertSql, error);
    if (!stmt) return false;
    int index = 1;
    if (insert) {
        sqlite3_bind_int64(stmt, index++, object->m_rowId);
        bindValue(stmt, index++, object->m_entity->name);
    }
    const QList<AttributeDescription> &attributes = object->m_layout->attributes;
    for (qsizetype i = 0; i < attributes.size(); ++i) {
        const QVariant &v = object->m_values.at(i);
        if (!v.isValid() && attributes.at(i).type == AttributeType::Boolean)
            sqlite3_bind_int64(stmt, index++, 0);
        else
            bindValue(stmt, index++, v);
    }
    for (int r : plan.toOne) {
        ManagedObject *target = object->m_links.at(r).one;
        if (target && !target->m_deleted)
            sqlite3_bind_int64(stmt, index++, target->m_rowId);
        else
            sqlite3_bind_null(stmt, index++);
    }
    if (!insert) sqlite3_bind_int64(stmt, index++, object->m_rowId);
    const int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    if (rc != SQLITE_DONE) {
        setError(error, rc,
                 (insert ? QStringLiteral("inserting into ") : QStringLiteral("updating ")) +
                     object->m_entity->table);
        return false;
    }
    return true;
}

bool ManagedObjectContext::sortKeyChanged(const ManagedObject *object) {
    for (const WritePlan::Join &join : writePlan(*object->m_layout).joins)
        if (join.sortAttribute >= 0 && (object->m_dirtyColumns & (quint64(1) << join.sortAttribute)))
            return true;
    return false;
}

bool ManagedObjectContext::writeJoins(ManagedObject *object, StoreError *error) {
    const WritePlan &plan = writePlan(*object->m_layout);
    for (const WritePlan::Join &join : plan.joins) {
        if (object->m_state == ManagedObject::State::Saved) {
            sqlite3_stmt *clear = prepare(join.clearSql, error);
            if (!clear) return false;
            sqlite3_bind_int64(clear, 1, object->m_rowId);
            const int rc = sqlite3_step(clear);
            sqlite3_reset(clear);
            if (rc != SQLITE_DONE) {
                setError(error, rc, join.clearSql);
                return false;
            }
        }
        const QList<ManagedObject *> &targets = object->m_links.at(join.relationship).many;
        if (targets.isEmpty()) continue;
        sqlite3_stmt *add = prepare(join.addSql, error);
        if (!add) return false;
        qint64 position = 0;
        for (ManagedObject *target : targets) {
            if (target->m_deleted) continue;
            sqlite3_bind_int64(add, 1, object->m_rowId);
            sqlite3_bind_int64(add, 2, target->m_rowId);
            sqlite3_bind_int64(add, 3, position++);
            if (join.sortAttribute >= 0) bindValue(add, 4, object->m_values.at(join.sortAttribute));
            const int rc = sqlite3_step(add);
            sqlite3_reset(add);
            if (rc != SQLITE_DONE) {
                setError(error, rc, join.addSql);
                return false;
            }
        }
    }
    return true;
}

bool ManagedObjectContext::save(StoreError *error) {
    if (error) *error = {};
    if (!hasChanges()) return true;
    if (!m_db) {
        setError(error, StoreError::NotOpen, QStringLiteral("no store to save to"));
        return false;
    }
    emit willSave();
    if (!execute(QStringLiteral("BEGIN IMMEDIATE"), error)) return false;
    bool ok = true;
    for (ManagedObject *o : std::as_const(m_deleted)) {
        sqlite3_stmt *stmt =
            prepare(QStringLiteral("DELETE FROM %1 WHERE id = ?").arg(quoted(o->m_entity->table)), error);
        if (!stmt) {
            ok = false;
            break;
        }
        sqlite3_bind_int64(stmt, 1, o->m_rowId);
        const int rc = sqlite3_step(stmt);
        sqlite3_reset(stmt);
        if (rc != SQLITE_DONE) {
            setError(error, rc, QStringLiteral("deleting from ") + o->m_entity->table);
            ok = false;
            break;
        }
    }
    for (ManagedObject *o : std::as_const(m_inserted)) {
        if (!ok) break;
        ok = writeObject(o, true, error);
    }
    for (ManagedObject *o : std::as_const(m_inserted)) {
        if (!ok) break;
        ok = writeJoins(o, error);
    }
    for (ManagedObject *o : std::as_const(m_updatedOrder)) {
        if (!ok) break;
        ok = writeObject(o, false, error) &&
             (!o->m_joinDirty && !sortKeyChanged(o) ? true : writeJoins(o, error));
    }
    if (ok) ok = execute(QStringLiteral("COMMIT"), error);
    if (!ok) {
        // Nothing of this save reaches the file; every change stays pending for the next one.
        if (!sqlite3_get_autocommit(m_db)) execute(QStringLiteral("ROLLBACK"), nullptr);
        return false;
    }
    for (ManagedObject *o : std::as_const(m_inserted)) {
        o->m_state = ManagedObject::State::Saved;
        o->m_joinDirty = false;
        releaseDeferred(o);
    }
    for (ManagedObject *o : std::as_const(m_updatedOrder)) {
        o->m_updated = false;
        o->m_joinDirty = false;
        o->m_dirtyColumns = 0;
        releaseDeferred(o);
    }
    m_inserted.clear();
    m_updated.clear();
    m_updatedOrder.clear();
    m_deleted.clear();
    emit didSave();
    return true;
}

bool ManagedObjectContext::integrityCheck(QStringList *problems, StoreError *error) {
    if (error) *error = {};
    if (problems) problems->clear();
    sqlite3_stmt *stmt = prepare(QStringLiteral("PRAGMA integrity_check"), error);
    if (!stmt) return false;
    QStringList lines;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) lines.append(columnText(stmt, 0));
    sqlite3_reset(stmt);
    if (rc != SQLITE_DONE) {
        setError(error, rc, QStringLiteral("integrity check"));
        if (problems) *problems = lines;
        return false;
    }
    const bool ok = lines == QStringList{QStringLiteral("ok")};
    if (!ok && problems) *problems = lines;
    return ok;
}
