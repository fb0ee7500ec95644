#pragma once

#include "platform/store/EntityDescription.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

// The entities of a store: their tables, attributes, relationships, the schema version and the
// indexes the queries rely on. Built once and then only read.
class ManagedObjectModel {
public:
    // Everything an entity has, its own and inherited (root first), with positions by name:
    // objects keep their values and links in arrays in this order.
    struct Layout {
        const EntityDescription *entity = nullptr;
        QList<AttributeDescription> attributes;
        QList<RelationshipDescription> relationships;
        QHash<QString, int> attributeIndex;
        QHash<QString, int> relationshipIndex;
    };

    explicit ManagedObjectModel(int schemaVersion = 1) : m_version(schemaVersion) {}

    void addEntity(const EntityDescription &entity);
    // Extra statements run when the schema is created (indexes); each must be idempotent
    // ("CREATE INDEX IF NOT EXISTS ...").
    void addSchemaStatement(const QString &sql) { m_extraSql.append(sql); }

    int schemaVersion() const { return m_version; }
    const EntityDescription *entity(const QString &name) const;
    QList<const EntityDescription *> entities() const;
    const EntityDescription &root(const EntityDescription &entity) const;
    // True when `entity` is `base` or descends from it.
    bool isKindOf(const QString &entity, const QString &base) const;
    // The same for descriptions of this model: no name is looked up.
    static bool isKindOf(const EntityDescription *entity, const EntityDescription *base) {
        for (; entity; entity = entity->parentEntity)
            if (entity == base) return true;
        return false;
    }
    // `entity` and every entity below it.
    QStringList kindsOf(const QString &entity) const;
    // Own and inherited, root first.
    QList<AttributeDescription> allAttributes(const QString &entity) const;
    QList<RelationshipDescription> allRelationships(const QString &entity) const;
    const AttributeDescription *attribute(const QString &entity, const QString &name) const;
    const RelationshipDescription *relationship(const QString &entity, const QString &name) const;
    QStringList tables() const;
    const EntityDescription &rootForTable(const QString &table) const;
    QStringList schemaStatements() const;
    const Layout *layout(const QString &entity) const { return m_layouts.value(entity); }

private:
    int m_version;
    // Entities and layouts are never removed, so pointers to them stay valid.
    std::vector<std::unique_ptr<EntityDescription>> m_entities;
    std::vector<std::unique_ptr<Layout>> m_ownedLayouts;
    QHash<QString, const EntityDescription *> m_byName;
    QHash<QString, const Layout *> m_layouts;
    QStringList m_extraSql;
};
