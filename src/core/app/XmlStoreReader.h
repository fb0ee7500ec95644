#pragma once

#include "core/app/AppError.h"
#include "core/app/XmlStoreObject.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

// Reads the old XML store ("Murnavell.storedata"): a <database> root with <databaseInfo> and one
// <object type="ENTITY" id="..."> per stored object holding <attribute> and <relationship>
// elements. Entity and attribute names are matched without regard to case and come back under
// the names of the model. Unknown entities, attributes and unreadable values are skipped and
// listed in warnings(); a document that is not well-formed, or not such a store, is an error.
class XmlStoreReader {
public:
    static const QString errorDomain;
    enum Code { CannotOpen = 1, Malformed = 2 };

    bool readFile(const QString &path);
    bool read(const QByteArray &document);

    const std::vector<XmlStoreObject> &objects() const { return m_objects; }
    const QStringList &warnings() const { return m_warnings; }
    const AppError &error() const { return m_error; }

    // Model name of an entity type as written in the file ("SYSTEMMESSAGE" -> "SystemMessage"),
    // empty when the model has no such entity.
    static QString entityName(const QString &type);

private:
    bool fail(int code, const QString &description);

    std::vector<XmlStoreObject> m_objects;
    QStringList m_warnings;
    AppError m_error;
};
