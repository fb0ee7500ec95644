#include "core/app/XmlStoreMigration.h"

#include "core/app/XmlStoreReader.h"
#include "core/model/UserListModel.h"
#include "platform/store/ManagedObject.h"
#include "platform/store/ManagedObjectContext.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLoggingCategory>
#include <QSet>
#include <QUrl>

#include <sqlite3.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

Q_LOGGING_CATEGORY(lcMigration, "murnavell.app.migration")

enum OwnCode { FileOperationFailed = 1, Interrupted = 2 };

constexpr qint64 kReferenceDateMs = 978307200000LL; // 2001-01-01 UTC

// The value of an old attribute in the type the new model stores; invalid when it does not fit.
QVariant coerce(AttributeType type, const QVariant &v) {
    const int id = v.typeId();
    const bool isNumber = id == QMetaType::LongLong || id == QMetaType::Double || id == QMetaType::Bool;
    switch (type) {
    case AttributeType::String:
        if (id == QMetaType::QString) return v;
        return isNumber ? QVariant(v.toString()) : QVariant();
    case AttributeType::Boolean:
        if (id == QMetaType::Bool) return v;
        return id == QMetaType::LongLong ? QVariant(v.toLongLong() != 0) : QVariant();
    case AttributeType::Integer:
        if (id == QMetaType::LongLong) return v;
        if (id == QMetaType::Bool) return QVariant(qint64(v.toBool()));
        if (id == QMetaType::Double) {
            const double d = v.toDouble();
            if (d == std::floor(d) && std::fabs(d) < 9e18) return QVariant(qint64(d));
        }
        return {};
    case AttributeType::Date:
        if (id == QMetaType::QDateTime) return v;
        if (id == QMetaType::LongLong || id == QMetaType::Double) {
            const double seconds = v.toDouble();
            if (std::fabs(seconds) > 1e11) return {};
            return QDateTime::fromMSecsSinceEpoch(kReferenceDateMs + qint64(std::llround(seconds * 1000.0)),
                                                  Qt::UTC);
        }
        return {};
    case AttributeType::Data:
        if (id == QMetaType::QByteArray) return v;
        return id == QMetaType::QString ? QVariant(v.toString().toUtf8()) : QVariant();
    case AttributeType::Url:
        if (id == QMetaType::QString || id == QMetaType::QByteArray) {
            const QUrl url(v.toString());
            return url.isValid() ? QVariant(url) : QVariant();
        }
        return {};
    }
    return {};
}

bool fsyncPath(const QString &path, bool directory) {
    const int fd =
        ::open(QFile::encodeName(path).constData(), (directory ? O_DIRECTORY : 0) | O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

} // namespace

const QString XmlStoreMigration::errorDomain = QStringLiteral("MurnavellMigrationErrorDomain");

XmlStoreMigration::XmlStoreMigration(QString oldPath, QString newPath)
    : m_oldPath(std::move(oldPath)), m_newPath(std::move(newPath)) {}

bool XmlStoreMigration::fail(int code, const QString &description) {
    m_error = {errorDomain, code, description};
    qCWarning(lcMigration).noquote() << description;
    return false;
}

void XmlStoreMigration::warn(const QString &text) {
    qCWarning(lcMigration).noquote() << text;
    m_warnings << text;
}

void XmlStoreMigration::removeTemporaryFiles() const {
    const QString tmp = temporaryPath(m_newPath);
    for (const char *suffix : {"", "-wal", "-shm", "-journal"}) QFile::remove(tmp + QLatin1String(suffix));
}

bool XmlStoreMigration::run() {
    m_error = {};
    m_warnings.clear();
    m_migrated = 0;

    XmlStoreReader reader;
    if (!reader.readFile(m_oldPath)) {
        m_error = reader.error();
        return false;
    }
    m_warnings = reader.warnings();

    // Whatever an earlier, interrupted run left behind is started over.
    removeTemporaryFiles();
    const QString tmp = temporaryPath(m_newPath);
    {
        ManagedObjectContext context(UserListModel::model());
        StoreError storeError;
        if (!context.open(tmp, &storeError)) {
            removeTemporaryFiles();
            return fail(
                storeError.code,
                QStringLiteral("The new store (%1) could not be created: %2.").arg(tmp, storeError.message));
        }
        const ManagedObjectModel &model = context.model();

        QHash<QString, ManagedObject *> byId;
        for (const XmlStoreObject &record : reader.objects()) {
            const EntityDescription *entity = model.entity(record.entity);
            if (!entity || entity->abstract) {
                warn(QStringLiteral("Skipped object %1: %2 objects are not stored.")
                         .arg(record.id, record.entity));
                continue;
            }
            ManagedObject *object = context.insertObject(record.entity);
            const QList<AttributeDescription> attributes = model.allAttributes(record.entity);
            QSet<QString> known;
            for (const AttributeDescription &a : attributes) {
                known.insert(a.name);
                QVariant value;
                const auto found = record.attributes.constFind(a.name);
                if (found != record.attributes.constEnd()) {
                    value = coerce(a.type, *found);
                    if (!value.isValid())
                        warn(QStringLiteral("Skipped attribute %1 of %2 %3: the value does not fit.")
                                 .arg(a.name, record.entity, record.id));
                }
                // What insertion set up (times, flags) is replaced by what the old row held,
                // including nothing; booleans have no empty state and read empty as NO.
                if (!value.isValid() && a.type == AttributeType::Boolean) value = false;
                object->setPrimitiveValue(a.name, value);
            }
            QStringList extra = record.attributes.keys();
            extra.sort();
            for (const QString &name : extra)
                if (!known.contains(name))
                    warn(QStringLiteral("Skipped attribute %1 of %2 %3: not in the model.")
                             .arg(name, record.entity, record.id));
            byId.insert(record.id, object);
            ++m_migrated;
        }

        // Each link is normally written on both of its ends; it is made once, from the side the
        // layer stores it on (the to-one column or the owner of the join rows).
        QSet<QString> linked;
        for (const XmlStoreObject &record : reader.objects()) {
            ManagedObject *object = byId.value(record.id);
            if (!object) continue;
            // In name order, so the warnings come out the same on every run.
            QStringList names = record.relationships.keys();
            names.sort();
            for (const QString &name : names) {
                const RelationshipDescription *r = model.relationship(object->entityName(), name);
                if (!r) {
                    warn(QStringLiteral("Skipped relationship %1 of %2 %3: not in the model.")
                             .arg(name, record.entity, record.id));
                    continue;
                }
                QStringList refs = record.relationships.value(name);
                if (!r->toMany && refs.size() > 1) {
                    warn(QStringLiteral("Relationship %1 of %2 %3 holds %4 objects; kept the first.")
                             .arg(r->name, record.entity, record.id)
                             .arg(refs.size()));
                    refs = refs.mid(0, 1);
                }
                for (const QString &ref : refs) {
                    ManagedObject *target = byId.value(ref);
                    if (!target || !model.isKindOf(target->entityName(), r->destination)) {
                        warn(QStringLiteral("Dropped link %1 of %2 %3 to %4: no such %5.")
                                 .arg(r->name, record.entity, record.id, ref, r->destination));
                        continue;
                    }
                    const QString a = record.id + QLatin1Char('/') + r->name;
                    const QString b = ref + QLatin1Char('/') + r->inverse;
                    const QString key = a < b ? a + QLatin1Char('|') + b : b + QLatin1Char('|') + a;
                    if (linked.contains(key)) continue;
                    linked.insert(key);
                    const RelationshipDescription *inverse =
                        r->inverse.isEmpty() ? nullptr : model.relationship(target->entityName(), r->inverse);
                    if (!r->toMany)
                        object->setToOne(r->name, target);
                    else if (inverse && !inverse->toMany)
                        target->setToOne(inverse->name, object);
                    else if (!r->joinOwner && inverse && inverse->joinOwner)
                        target->addToMany(inverse->name, object);
                    else
                        object->addToMany(r->name, target);
                }
            }
        }

        if (!context.save(&storeError)) {
            context.close();
            removeTemporaryFiles();
            return fail(
                storeError.code,
                QStringLiteral("The history could not be written to %1: %2.").arg(tmp, storeError.message));
        }
        context.close();
    }

    // Fold the write-ahead log into the file, so the one file renamed below holds everything.
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(QFile::encodeName(tmp).constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_exec(db, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
    const QString sqliteMessage = QString::fromUtf8(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close(db);
    if (rc != SQLITE_OK || QFileInfo::exists(tmp + QStringLiteral("-wal"))) {
        removeTemporaryFiles();
        return fail(rc == SQLITE_OK ? FileOperationFailed : rc,
                    QStringLiteral("The new store (%1) could not be finished: %2.").arg(tmp, sqliteMessage));
    }
    if (!fsyncPath(tmp, false)) {
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        removeTemporaryFiles();
        return fail(FileOperationFailed,
                    QStringLiteral("The new store (%1) could not be written: %2.").arg(tmp, why));
    }

    if (m_faultHook && m_faultHook(Step::BeforeRename))
        return fail(Interrupted,
                    QStringLiteral("The migration was interrupted before the new store was put in place."));

    if (std::rename(QFile::encodeName(tmp).constData(), QFile::encodeName(m_newPath).constData()) != 0) {
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        removeTemporaryFiles();
        return fail(FileOperationFailed,
                    QStringLiteral("The new store could not be put in place (%1): %2.").arg(m_newPath, why));
    }
    fsyncPath(QFileInfo(m_newPath).absolutePath(), true);

    if (m_faultHook && m_faultHook(Step::BeforeDeletingOld))
        return fail(Interrupted,
                    QStringLiteral("The migration was interrupted before the old store was deleted."));

    // The history is safe in the new store now; a failure here only leaves a stale file.
    if (!QFile::remove(m_oldPath))
        warn(QStringLiteral("The old store (%1) could not be deleted.").arg(m_oldPath));
    return true;
}
