#include "core/app/XmlStoreReader.h"

#include <QDateTime>
#include <QFile>
#include <QLoggingCategory>
#include <QSet>
#include <QXmlStreamReader>

#include <cmath>

namespace {

Q_LOGGING_CATEGORY(lcXml, "murnavell.app.xmlstore")

struct EntityInfo {
    const char *name;
    const char *parent;
    std::initializer_list<const char *> attributes;
    std::initializer_list<const char *> relationships;
};

// The stored members of the model "UserList"; transient ones never reach a file.
const EntityInfo kEntities[] = {
    {"TreeItem", nullptr, {"name", "isUser"}, {}},
    {"User",
     "TreeItem",
     {"userId",
      "pc",
      "ip",
      "logonUser",
      "oSversion",
      "version",
      "firstName",
      "lastName",
      "department",
      "jobTitle",
      "additionalInformation",
      "status",
      "statusString",
      "idleTime",
      "isOnTS",
      "tsClientIP",
      "tsServerIP",
      "tsClientPCname",
      "tsConnectionState",
      "userOffline",
      "removed",
      "seenLastTime",
      "sessionId"},
     {"group", "log", "offlineMessages", "offlineMessagesSent"}},
    {"Me", "User", {"inIdleAway", "statusBeforeIdle"}, {}},
    {"Group", "TreeItem", {"expanded"}, {"users"}},
    {"LogEntry", nullptr, {"incoming", "time", "timeReceived", "originalSenderName"}, {"user", "chat"}},
    {"Message", "LogEntry", {"mass", "message", "messageId", "offline"}, {}},
    {"SystemMessage", "LogEntry", {"text", "error"}, {}},
    {"FileTransfer",
     "LogEntry",
     {"filesNumber", "filesTransferred", "filesTotalSize", "transferState", "folderPath"},
     {}},
    {"MessageForForwarding", nullptr, {"mass", "message", "messageId", "time"}, {"recipients", "sender"}},
    {"Chat", nullptr, {"roomId"}, {"log"}},
};

const EntityInfo *findEntity(const QString &name) {
    for (const EntityInfo &e : kEntities)
        if (name.compare(QLatin1String(e.name), Qt::CaseInsensitive) == 0) return &e;
    return nullptr;
}

// Looks a member up in the entity and its parents; returns the model's spelling or empty.
QString memberName(const EntityInfo *entity, const QString &name, bool relationship) {
    for (const EntityInfo *e = entity; e; e = e->parent ? findEntity(QLatin1String(e->parent)) : nullptr) {
        for (const char *m : relationship ? e->relationships : e->attributes)
            if (name.compare(QLatin1String(m), Qt::CaseInsensitive) == 0) return QLatin1String(m);
    }
    return {};
}

// NSDate's reference date, 2001-01-01 00:00:00 UTC, in ms since 1970.
constexpr qint64 kReferenceDateMs = 978307200000LL;

// Turns the text of an attribute into a value of its declared type; an invalid QVariant when the
// text does not fit the type.
QVariant parseValue(const QString &type, const QString &text, QString *why) {
    const QString t = type.toLower();
    const QString trimmed = text.trimmed();
    if (t == QLatin1String("string") || t == QLatin1String("uri") || t == QLatin1String("url")) return text;
    if (t == QLatin1String("bool") || t == QLatin1String("boolean")) {
        const QString v = trimmed.toLower();
        if (v == QLatin1String("1") || v == QLatin1String("yes") || v == QLatin1String("true")) return true;
        if (v == QLatin1String("0") || v == QLatin1String("no") || v == QLatin1String("false")) return false;
        *why = QStringLiteral("not a boolean");
        return {};
    }
    if (t == QLatin1String("int16") || t == QLatin1String("int32") || t == QLatin1String("int64") ||
        t == QLatin1String("integer")) {
        bool ok = false;
        const qint64 v = trimmed.toLongLong(&ok);
        if (!ok) {
            *why = QStringLiteral("not an integer");
            return {};
        }
        return v;
    }
    if (t == QLatin1String("float") || t == QLatin1String("double") || t == QLatin1String("decimal")) {
        bool ok = false;
        const double v = trimmed.toDouble(&ok);
        if (!ok || !std::isfinite(v)) {
            *why = QStringLiteral("not a number");
            return {};
        }
        return v;
    }
    if (t == QLatin1String("date")) {
        bool ok = false;
        const double seconds = trimmed.toDouble(&ok);
        // Beyond a few thousand years the value is junk, and it would overflow the ms count.
        if (!ok || !std::isfinite(seconds) || std::fabs(seconds) > 1e11) {
            *why = QStringLiteral("not a date");
            return {};
        }
        return QDateTime::fromMSecsSinceEpoch(kReferenceDateMs + qint64(std::llround(seconds * 1000.0)),
                                              Qt::UTC);
    }
    if (t == QLatin1String("binary")) {
        QByteArray compact = trimmed.toLatin1();
        compact.replace(' ', "").replace('\n', "").replace('\r', "").replace('\t', "");
        const auto decoded = QByteArray::fromBase64Encoding(compact, QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded) {
            *why = QStringLiteral("not Base64");
            return {};
        }
        return *decoded;
    }
    *why = QStringLiteral("type \"%1\" not supported").arg(type);
    return {};
}

} // namespace

const QString XmlStoreReader::errorDomain = QStringLiteral("MurnavellXMLStoreErrorDomain");

QString XmlStoreReader::entityName(const QString &type) {
    const EntityInfo *e = findEntity(type);
    return e ? QLatin1String(e->name) : QString();
}

bool XmlStoreReader::fail(int code, const QString &description) {
    m_objects.clear();
    m_error = {errorDomain, code, description};
    return false;
}

bool XmlStoreReader::readFile(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(
            CannotOpen,
            QStringLiteral("The old store (%1) could not be opened: %2.").arg(path, file.errorString()));
    return read(file.readAll());
}

bool XmlStoreReader::read(const QByteArray &document) {
    m_objects.clear();
    m_warnings.clear();
    m_error = {};
    auto warn = [this](const QString &text) {
        qCWarning(lcXml).noquote() << text;
        m_warnings << text;
    };

    QXmlStreamReader xml(document);
    bool sawRoot = false;
    QSet<QString> ids;
    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token != QXmlStreamReader::StartElement) continue;
        if (!sawRoot) {
            if (xml.name() != QLatin1String("database"))
                return fail(Malformed, QStringLiteral("The old store is not a database (root element <%1>).")
                                           .arg(xml.name().toString()));
            sawRoot = true;
            continue;
        }
        if (xml.name() != QLatin1String("object")) {
            // <databaseInfo> and anything else at top level carries nothing the history needs.
            xml.skipCurrentElement();
            continue;
        }
        const qint64 line = xml.lineNumber();
        const QString type = xml.attributes().value(QLatin1String("type")).toString();
        const QString id = xml.attributes().value(QLatin1String("id")).toString();
        if (type.isEmpty() || id.isEmpty())
            return fail(Malformed, QStringLiteral("Object without type or id at line %1.").arg(line));
        if (ids.contains(id))
            return fail(Malformed, QStringLiteral("Object id %1 appears twice (line %2).").arg(id).arg(line));
        ids.insert(id);
        const EntityInfo *entity = findEntity(type);
        if (!entity) {
            warn(QStringLiteral("Skipped object %1 of unknown entity %2.").arg(id, type));
            xml.skipCurrentElement();
            continue;
        }
        XmlStoreObject object;
        object.entity = QLatin1String(entity->name);
        object.id = id;
        while (xml.readNextStartElement()) {
            const QString member = xml.attributes().value(QLatin1String("name")).toString();
            if (xml.name() == QLatin1String("attribute")) {
                const QString valueType = xml.attributes().value(QLatin1String("type")).toString();
                const QString text = xml.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
                if (xml.hasError()) break;
                const QString name = memberName(entity, member, false);
                if (name.isEmpty()) {
                    warn(QStringLiteral("Skipped unknown attribute %1 of %2 %3.")
                             .arg(member, object.entity, id));
                    continue;
                }
                QString why;
                const QVariant value = parseValue(valueType, text, &why);
                if (!value.isValid()) {
                    warn(QStringLiteral("Skipped attribute %1 of %2 %3: %4.")
                             .arg(name, object.entity, id, why));
                    continue;
                }
                object.attributes.insert(name, value);
            } else if (xml.name() == QLatin1String("relationship")) {
                const QString refs = xml.attributes().value(QLatin1String("idrefs")).toString();
                xml.skipCurrentElement();
                const QString name = memberName(entity, member, true);
                if (name.isEmpty()) {
                    warn(QStringLiteral("Skipped unknown relationship %1 of %2 %3.")
                             .arg(member, object.entity, id));
                    continue;
                }
                object.relationships.insert(name, refs.split(QLatin1Char(' '), Qt::SkipEmptyParts));
            } else {
                warn(QStringLiteral("Skipped element <%1> in %2 %3.")
                         .arg(xml.name().toString(), object.entity, id));
                xml.skipCurrentElement();
            }
        }
        if (xml.hasError()) break;
        m_objects.push_back(std::move(object));
    }
    if (xml.hasError())
        return fail(Malformed, QStringLiteral("The old store is damaged at line %1, column %2: %3.")
                                   .arg(xml.lineNumber())
                                   .arg(xml.columnNumber())
                                   .arg(xml.errorString()));
    if (!sawRoot) return fail(Malformed, QStringLiteral("The old store is empty."));
    return true;
}
