#pragma once

#include <QString>
#include <QVariantList>

#include <functional>

class ManagedObject;

// What to fetch. Rows of resident entities are all in memory, so only `predicate` and
// `lessThan` are used for them. For other entities the SQL part selects stored rows and the
// memory part selects the objects inserted or changed since the last save; both must say the
// same thing, so the result is what the store would hold after a save.
struct FetchRequest {
    QString entityName; // also returns rows of entities below it

    // SQL part. The entity's table is "t"; `from` may replace it with a join (it must still
    // name the table "t"). `where` and `orderBy` are plain SQL with "?" bound to `bindings`.
    QString from;
    QString where;
    QVariantList bindings;
    QString orderBy;

    // Memory part.
    std::function<bool(const ManagedObject *)> predicate;
    std::function<bool(const ManagedObject *, const ManagedObject *)> lessThan;

    int limit = -1; // negative: no limit
};
