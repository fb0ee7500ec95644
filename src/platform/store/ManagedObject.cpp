#include "platform/store/ManagedObject.h"

#include "platform/store/ManagedObjectContext.h"

#include <QtDebug>

namespace {

QVariant normalized(AttributeType type, const QVariant &v) {
    if (!v.isValid() || v.isNull()) return {};
    switch (type) {
    case AttributeType::String:
        return v.toString();
    case AttributeType::Boolean:
        return v.toBool();
    case AttributeType::Integer:
        return v.toLongLong();
    case AttributeType::Date: {
        // Kept in UTC so that saving and comparing never needs the time zone.
        const QDateTime d = v.toDateTime();
        return d.isValid() ? QVariant(d.timeSpec() == Qt::UTC ? d : d.toUTC()) : QVariant();
    }
    case AttributeType::Data:
        return v.toByteArray();
    case AttributeType::Url:
        return v.typeId() == QMetaType::QUrl ? v : QVariant(QUrl(v.toString()));
    }
    return {};
}

// Equality as the store sees it: an empty string is no value, an empty boolean is NO, dates
// compare as instants.
bool sameValue(AttributeType type, const QVariant &a, const QVariant &b) {
    switch (type) {
    case AttributeType::String:
        return a.toString() == b.toString();
    case AttributeType::Boolean:
        return a.toBool() == b.toBool();
    case AttributeType::Integer:
        return a.isValid() == b.isValid() && a.toLongLong() == b.toLongLong();
    case AttributeType::Date:
        return a.toDateTime() == b.toDateTime();
    case AttributeType::Data:
        return a.isValid() == b.isValid() && a.toByteArray() == b.toByteArray();
    case AttributeType::Url:
        return a.toUrl() == b.toUrl();
    }
    return false;
}

} // namespace

ManagedObject::~ManagedObject() = default;

QString ManagedObject::entityName() const { return m_entity ? m_entity->name : QString(); }

bool ManagedObject::isKindOf(const QString &entityName) const {
    if (!m_context || !m_entity) return false;
    // Most asks name the object's own entity: no lookup then.
    if (m_entity->name == entityName) return true;
    return ManagedObjectModel::isKindOf(m_entity, m_context->model().entity(entityName));
}

int ManagedObject::attributeIndex(const QString &key) const {
    return m_layout ? m_layout->attributeIndex.value(key, -1) : -1;
}

int ManagedObject::relationshipIndex(const QString &key) const {
    return m_layout ? m_layout->relationshipIndex.value(key, -1) : -1;
}

const RelationshipDescription *ManagedObject::relationshipAt(int index) const {
    return index < 0 ? nullptr : &m_layout->relationships.at(index);
}

QVariant ManagedObject::value(const QString &key) const { return value(key, nullptr); }

QVariant ManagedObject::value(const QString &key, bool *readOk) const {
    if (readOk) *readOk = true;
    const int i = attributeIndex(key);
    if (i < 0) return {};
    const QVariant &v = m_values.at(i);
    if (isDeferred(v)) {
        if (!m_context) {
            if (readOk) *readOk = false;
            return {};
        }
        return m_context->readDeferred(this, i, readOk);
    }
    if (!v.isValid() && m_layout->attributes.at(i).type == AttributeType::Boolean) return false;
    return v;
}

qint64 ManagedObject::dataSize(const QString &key) const {
    const int i = attributeIndex(key);
    if (i < 0) return 0;
    const QVariant &v = m_values.at(i);
    if (isDeferred(v)) return v.value<DeferredValue>().size;
    return v.toByteArray().size();
}

bool ManagedObject::holdsValue(const QString &key) const {
    const int i = attributeIndex(key);
    return i >= 0 && !isDeferred(m_values.at(i));
}

void ManagedObject::setValue(const QString &key, const QVariant &newValue) {
    const int i = attributeIndex(key);
    if (i < 0) {
        qWarning("ManagedObject: %s has no attribute %s", qPrintable(entityName()), qPrintable(key));
        return;
    }
    if (m_deleted) return;
    const AttributeType type = m_layout->attributes.at(i).type;
    QVariant v = normalized(type, newValue);
    // A value left in the store is not read back to compare it or to announce it as the old one.
    const bool deferred = isDeferred(m_values.at(i));
    if (!deferred && sameValue(type, m_values.at(i), v)) return;
    const QVariant old = deferred ? QVariant() : value(key);
    m_values[i] = std::move(v);
    markUpdated(i);
    if (m_context) m_context->noteValueChanged(this, key, old);
    emit attributeChanged(key, old);
}

void ManagedObject::setPrimitiveValue(const QString &key, const QVariant &newValue) {
    const int i = attributeIndex(key);
    if (i < 0 || m_deleted) return;
    const AttributeType type = m_layout->attributes.at(i).type;
    QVariant v = normalized(type, newValue);
    const bool deferred = isDeferred(m_values.at(i));
    if (!deferred && sameValue(type, m_values.at(i), v)) return;
    const QVariant old = m_context && !deferred ? m_values.at(i) : QVariant();
    m_values[i] = std::move(v);
    markUpdated(i);
    if (m_context) m_context->noteValueChanged(this, key, old);
}

ManagedObject *ManagedObject::toOne(const QString &key) const {
    const int i = relationshipIndex(key);
    return i < 0 ? nullptr : m_links.at(i).one;
}

QList<ManagedObject *> ManagedObject::toMany(const QString &key) const {
    const int i = relationshipIndex(key);
    return i < 0 ? QList<ManagedObject *>() : m_links.at(i).many;
}

bool ManagedObject::holds(const QString &key, const ManagedObject *target) const {
    const int i = relationshipIndex(key);
    if (i < 0) return false;
    const Link &link = m_links.at(i);
    return link.one == target || link.many.contains(const_cast<ManagedObject *>(target));
}

void ManagedObject::setToOne(const QString &key, ManagedObject *target) {
    const RelationshipDescription *rel = relationshipAt(relationshipIndex(key));
    if (!rel || rel->toMany) {
        qWarning("ManagedObject: %s has no to-one relationship %s", qPrintable(entityName()),
                 qPrintable(key));
        return;
    }
    if (m_deleted) return;
    if (target &&
        (target->m_context != m_context || target->m_deleted || !target->isKindOf(rel->destination))) {
        qWarning("ManagedObject: %s.%s cannot refer to this object", qPrintable(entityName()),
                 qPrintable(key));
        return;
    }
    ManagedObject *old = toOne(key);
    if (old == target) return;
    if (old && !rel->inverse.isEmpty()) old->unlinkPrimitive(rel->inverse, this);
    if (target && !rel->inverse.isEmpty()) {
        const RelationshipDescription *inverse =
            target->relationshipAt(target->relationshipIndex(rel->inverse));
        // A one-to-one partner of the target loses it first.
        if (inverse && !inverse->toMany) {
            if (ManagedObject *previous = target->toOne(rel->inverse)) previous->setToOne(key, nullptr);
        }
        // This object's to-one was not the target, so the target's list cannot hold it yet:
        // no search through a group of thousands for every user put into it.
        target->linkPrimitive(rel->inverse, this, false);
    }
    const int index = relationshipIndex(key);
    m_links[index].one = target;
    markUpdated(int(m_layout->attributes.size()) + index);
    emit attributeChanged(key, QVariant::fromValue<QObject *>(old));
    if (!rel->inverse.isEmpty()) {
        if (old) emit old->attributeChanged(rel->inverse, {});
        if (target) emit target->attributeChanged(rel->inverse, {});
    }
}

void ManagedObject::addToMany(const QString &key, ManagedObject *target) {
    const RelationshipDescription *rel = relationshipAt(relationshipIndex(key));
    if (!rel || !rel->toMany) {
        qWarning("ManagedObject: %s has no to-many relationship %s", qPrintable(entityName()),
                 qPrintable(key));
        return;
    }
    if (!target || m_deleted) return;
    if (target->m_context != m_context || target->m_deleted || !target->isKindOf(rel->destination)) return;
    const RelationshipDescription *inverse =
        rel->inverse.isEmpty() ? nullptr : target->relationshipAt(target->relationshipIndex(rel->inverse));
    if (inverse && !inverse->toMany) {
        // One-to-many: the link is the target's to-one.
        target->setToOne(rel->inverse, this);
        return;
    }
    const bool present = rel->inMemory ? holds(key, target) : (inverse && target->holds(inverse->name, this));
    if (present) return;
    linkPrimitive(key, target);
    if (inverse) target->linkPrimitive(inverse->name, this);
    (rel->joinOwner ? this : target)->markJoinDirty();
    emit attributeChanged(key, {});
    if (inverse) emit target->attributeChanged(inverse->name, {});
}

void ManagedObject::removeToMany(const QString &key, ManagedObject *target) {
    const RelationshipDescription *rel = relationshipAt(relationshipIndex(key));
    if (!rel || !rel->toMany || !target) return;
    const RelationshipDescription *inverse =
        rel->inverse.isEmpty() ? nullptr : target->relationshipAt(target->relationshipIndex(rel->inverse));
    if (inverse && !inverse->toMany) {
        if (target->toOne(rel->inverse) == this) target->setToOne(rel->inverse, nullptr);
        return;
    }
    const bool present = rel->inMemory ? holds(key, target) : (inverse && target->holds(inverse->name, this));
    if (!present) return;
    unlinkPrimitive(key, target);
    if (inverse) target->unlinkPrimitive(inverse->name, this);
    (rel->joinOwner ? this : target)->markJoinDirty();
    emit attributeChanged(key, {});
    if (inverse) emit target->attributeChanged(inverse->name, {});
}

void ManagedObject::linkPrimitive(const QString &key, ManagedObject *target, bool mayHoldIt) {
    const int i = relationshipIndex(key);
    const RelationshipDescription *rel = relationshipAt(i);
    if (!rel) return;
    Link &link = m_links[i];
    if (!rel->toMany) {
        link.one = target;
    } else if (rel->inMemory && !(mayHoldIt && link.many.contains(target))) {
        link.many.append(target);
    }
}

void ManagedObject::unlinkPrimitive(const QString &key, ManagedObject *target) {
    const int i = relationshipIndex(key);
    if (i < 0) return;
    Link &link = m_links[i];
    if (link.one == target) link.one = nullptr;
    link.many.removeAll(target);
}

void ManagedObject::markUpdated(int column) {
    if (!m_context) return;
    m_context->noteUpdated(this);
    if (m_updated) m_dirtyColumns |= quint64(1) << column;
}

void ManagedObject::markJoinDirty() {
    if (m_context) m_context->noteJoinDirty(this);
}
