#include "platform/store/ManagedObjectModel.h"

#include <QtGlobal>

void ManagedObjectModel::addEntity(const EntityDescription &entity) {
    Q_ASSERT(!m_byName.contains(entity.name));
    auto owned = std::make_unique<EntityDescription>(entity);
    auto layout = std::make_unique<Layout>();
    if (!entity.parent.isEmpty()) {
        const EntityDescription *parent = m_byName.value(entity.parent);
        Q_ASSERT_X(parent, "ManagedObjectModel", "parent entities must be added first");
        owned->table = parent->table;
        owned->parentEntity = parent;
        *layout = *m_layouts.value(parent->name);
    }
    layout->entity = owned.get();
    for (const AttributeDescription &a : entity.attributes) {
        layout->attributeIndex.insert(a.name, int(layout->attributes.size()));
        layout->attributes.append(a);
    }
    for (const RelationshipDescription &r : entity.relationships) {
        layout->relationshipIndex.insert(r.name, int(layout->relationships.size()));
        layout->relationships.append(r);
    }
    // Objects mark changed columns in a 64-bit mask.
    Q_ASSERT(layout->attributes.size() + layout->relationships.size() <= 64);
    m_byName.insert(entity.name, owned.get());
    m_layouts.insert(entity.name, layout.get());
    m_entities.push_back(std::move(owned));
    m_ownedLayouts.push_back(std::move(layout));
}

const EntityDescription *ManagedObjectModel::entity(const QString &name) const {
    return m_byName.value(name);
}

QList<const EntityDescription *> ManagedObjectModel::entities() const {
    QList<const EntityDescription *> out;
    for (const auto &e : m_entities) out.append(e.get());
    return out;
}

const EntityDescription &ManagedObjectModel::root(const EntityDescription &entity) const {
    const EntityDescription *e = &entity;
    while (!e->parent.isEmpty()) e = m_byName.value(e->parent);
    return *e;
}

bool ManagedObjectModel::isKindOf(const QString &entity, const QString &base) const {
    const EntityDescription *b = m_byName.value(base);
    return b && isKindOf(m_byName.value(entity), b);
}

QStringList ManagedObjectModel::kindsOf(const QString &entity) const {
    QStringList out;
    for (const auto &e : m_entities)
        if (isKindOf(e->name, entity)) out.append(e->name);
    return out;
}

QList<AttributeDescription> ManagedObjectModel::allAttributes(const QString &entity) const {
    const Layout *l = m_layouts.value(entity);
    return l ? l->attributes : QList<AttributeDescription>();
}

QList<RelationshipDescription> ManagedObjectModel::allRelationships(const QString &entity) const {
    const Layout *l = m_layouts.value(entity);
    return l ? l->relationships : QList<RelationshipDescription>();
}

const AttributeDescription *ManagedObjectModel::attribute(const QString &entity, const QString &name) const {
    const Layout *l = m_layouts.value(entity);
    const int i = l ? l->attributeIndex.value(name, -1) : -1;
    return i < 0 ? nullptr : &l->attributes.at(i);
}

const RelationshipDescription *ManagedObjectModel::relationship(const QString &entity,
                                                                const QString &name) const {
    const Layout *l = m_layouts.value(entity);
    const int i = l ? l->relationshipIndex.value(name, -1) : -1;
    return i < 0 ? nullptr : &l->relationships.at(i);
}

QStringList ManagedObjectModel::tables() const {
    QStringList out;
    for (const auto &e : m_entities)
        if (e->parent.isEmpty()) out.append(e->table);
    return out;
}

const EntityDescription &ManagedObjectModel::rootForTable(const QString &table) const {
    for (const auto &e : m_entities)
        if (e->parent.isEmpty() && e->table == table) return *e;
    Q_UNREACHABLE();
}

QStringList ManagedObjectModel::schemaStatements() const { return m_extraSql; }
