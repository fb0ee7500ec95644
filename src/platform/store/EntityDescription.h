#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class ManagedObject;

enum class AttributeType {
    String,  // QString, TEXT
    Boolean, // bool, INTEGER NOT NULL DEFAULT 0 (an empty value reads as false)
    Integer, // qint64, INTEGER
    Date,    // QDateTime, INTEGER milliseconds since 1970 UTC
    Data,    // QByteArray, BLOB
    Url,     // QUrl, TEXT
};

struct AttributeDescription {
    QString name; // also the column name
    AttributeType type = AttributeType::String;
    // Data only: a large value that stays in the store. Loading a row reads its size, not the
    // value; reading the attribute fetches it from the store each time, and a saved value is
    // not kept in memory.
    bool deferred = false;
};

// One side of a relationship. A to-one side is a column (named like the relationship) in its
// entity's table, a foreign key with ON DELETE SET NULL. A many-to-many pair lives in a join
// table whose rows cascade with either end; `joinOwner` marks the side whose changes rewrite
// the rows. A to-many side with `inMemory` false is never loaded: it is read by query
// (histories can be far too long to hold).
struct RelationshipDescription {
    QString name;
    QString destination; // entity name
    QString inverse;     // relationship name on the destination
    bool toMany = false;
    bool inMemory = true;
    QString joinTable;         // many-to-many only
    bool joinOwner = false;    // many-to-many only: this side writes the join rows
    QString joinSortAttribute; // owner attribute copied into the join rows so the other side reads in order
};

struct EntityDescription {
    QString name;
    QString parent; // empty for the root of a hierarchy
    QString table;  // shared by the whole hierarchy; the row's entity is in its "kind" column
    bool abstract = false;
    // Set by the model when the entity is added: the parent's description, so kinds compare by
    // pointer.
    const EntityDescription *parentEntity = nullptr;
    // Root only: every row of the table is loaded when the store opens (small tables).
    bool resident = false;
    QList<AttributeDescription> attributes;       // own attributes, not inherited ones
    QList<RelationshipDescription> relationships; // own relationships, not inherited ones
    std::function<ManagedObject *()> factory;
};
