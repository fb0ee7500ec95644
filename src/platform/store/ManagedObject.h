#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariant>

#include "platform/store/ManagedObjectModel.h"

class ManagedObjectContext;

// What an object keeps of a deferred attribute whose value stays in the store: its size.
struct DeferredValue {
    qint64 size = 0;
};
Q_DECLARE_METATYPE(DeferredValue)

// One row of the store. Made only by a ManagedObjectContext (insert or fetch), which owns it
// for the rest of its own life: one object per row for the whole run, so transient state kept
// on it survives every fetch. A deleted object stays valid (isDeleted() is true, its
// relationships are empty) until the context is destroyed.
//
// Every stored change emits attributeChanged(key, oldValue), standing in for key-value
// observation; for relationships the old value is the former QObject* (to-one) or empty.
class ManagedObject : public QObject {
    Q_OBJECT
public:
    ~ManagedObject() override;

    ManagedObjectContext *managedObjectContext() const { return m_context; }
    const EntityDescription &entity() const { return *m_entity; }
    QString entityName() const;
    bool isKindOf(const QString &entityName) const;

    // Row id in its table; allocated at insertion, so it is stable before the first save.
    qint64 rowId() const { return m_rowId; }
    bool isInserted() const { return m_state == State::Inserted; } // not saved yet
    bool isDeleted() const { return m_deleted; }
    bool isUpdated() const { return m_updated; } // stored row differs, save pending
    bool hasChanges() const { return isInserted() || isDeleted() || isUpdated(); }

    // Stored attributes by name. Setting the current value again is no change and emits nothing.
    // A deferred attribute is read from the store on every call and not kept; `readOk` (when
    // given) is false when that read failed, so a caller can tell a missing value from a store
    // that could not be read.
    QVariant value(const QString &key) const;
    QVariant value(const QString &key, bool *readOk) const;
    // The size in bytes of a data value, without reading a deferred one from the store.
    qint64 dataSize(const QString &key) const;
    // Whether the value is in memory (false for a deferred value left in the store).
    bool holdsValue(const QString &key) const;
    void setValue(const QString &key, const QVariant &value);
    // Sets without a change notice; the value is still saved.
    void setPrimitiveValue(const QString &key, const QVariant &value);

    // Relationships by name; the inverse side is kept in step in memory.
    ManagedObject *toOne(const QString &key) const;
    void setToOne(const QString &key, ManagedObject *target);
    // Only for sides held in memory; sides read by query return an empty list.
    QList<ManagedObject *> toMany(const QString &key) const;
    void addToMany(const QString &key, ManagedObject *target);
    void removeToMany(const QString &key, ManagedObject *target);

signals:
    void attributeChanged(const QString &key, const QVariant &oldValue);

protected:
    ManagedObject() = default;

    // Called once after insertion into a context, and after the object was read from the store
    // (all resident rows are in memory by then). Changes made while waking from a fetch do not
    // mark the object changed, just as they would not in the store's own bookkeeping; inserts
    // made then (such as the group "General") do count.
    virtual void awakeFromInsert() {}
    virtual void awakeFromFetch() {}

    QString stringValue(const QString &key) const { return value(key).toString(); }
    bool boolValue(const QString &key) const { return value(key).toBool(); }
    qint64 integerValue(const QString &key) const { return value(key).toLongLong(); }
    QDateTime dateValue(const QString &key) const { return value(key).toDateTime(); }
    QByteArray dataValue(const QString &key) const { return value(key).toByteArray(); }
    QUrl urlValue(const QString &key) const { return value(key).toUrl(); }

    template <class T> QList<T *> toManyAs(const QString &key) const {
        QList<T *> out;
        for (ManagedObject *o : toMany(key))
            if (T *t = dynamic_cast<T *>(o)) out.append(t);
        return out;
    }
    // For transient members that observers watch (the icon, progress counters).
    void notifyTransientChange(const QString &key, const QVariant &oldValue) {
        emit attributeChanged(key, oldValue);
    }

private:
    friend class ManagedObjectContext;
    enum class State { Inserted, Saved };
    struct Link {
        ManagedObject *one = nullptr;
        QList<ManagedObject *> many;
    };

    int attributeIndex(const QString &key) const;
    int relationshipIndex(const QString &key) const;
    const RelationshipDescription *relationshipAt(int index) const;
    // Raw changes without tracking or notices, used while loading and by the inverse upkeep.
    // `mayHoldIt` false: the caller knows a to-many does not hold the target yet.
    void linkPrimitive(const QString &key, ManagedObject *target, bool mayHoldIt = true);
    void unlinkPrimitive(const QString &key, ManagedObject *target);
    bool holds(const QString &key, const ManagedObject *target) const;
    // `column`: attribute index, or attribute count + relationship index for a to-one.
    void markUpdated(int column);
    void markJoinDirty();
    static bool isDeferred(const QVariant &v) { return v.metaType() == QMetaType::fromType<DeferredValue>(); }

    ManagedObjectContext *m_context = nullptr;
    const EntityDescription *m_entity = nullptr;
    const ManagedObjectModel::Layout *m_layout = nullptr;
    qint64 m_rowId = 0;
    State m_state = State::Inserted;
    bool m_deleted = false;
    bool m_updated = false;
    bool m_joinDirty = false; // join rows owned by this object need rewriting
    // Columns changed since the last save: an update writes only these, so a stored value this
    // layer could not read is never overwritten by accident.
    quint64 m_dirtyColumns = 0;
    // Compact on purpose: histories can put a million of these in memory.
    QList<QVariant> m_values; // by attribute index of the layout
    QList<Link> m_links;      // by relationship index of the layout
};
