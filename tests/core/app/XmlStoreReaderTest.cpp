// The reader of the old XML store: values by type, names without regard to case, what is
// skipped and what fails the whole document.
#include "core/app/XmlStoreReader.h"

#include <QDateTime>
#include <gtest/gtest.h>

namespace {

QByteArray oneAttribute(const char *entity, const char *name, const char *type, const char *text) {
    return QByteArray("<?xml version=\"1.0\"?><database><databaseInfo><version>1</version></databaseInfo>"
                      "<object type=\"") +
           entity + "\" id=\"z1\"><attribute name=\"" + name + "\" type=\"" + type + "\">" + text +
           "</attribute></object></database>";
}

struct ValueCase {
    const char *entity, *name, *type, *text;
    const char *modelName; // null: the attribute is skipped
    QVariant expected;
};

TEST(MigrationXmlReader, ValuesByType) {
    const QDateTime ref(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    const ValueCase cases[] = {
        {"USER", "userid", "string", "A1", "userId", QString("A1")},
        {"USER", "USERID", "string", "  spaced  ", "userId", QString("  spaced  ")},
        {"USER", "name", "string", "a &amp; b", "name", QString("a & b")},
        {"USER", "removed", "bool", "1", "removed", true},
        {"USER", "removed", "bool", "NO", "removed", false},
        {"USER", "removed", "bool", "maybe", nullptr, {}},
        {"USER", "sessionid", "int64", "-9000000000", "sessionId", qint64(-9000000000)},
        {"USER", "sessionid", "int64", "12x", nullptr, {}},
        {"CHAT", "roomid", "int32", "4242", "roomId", qint64(4242)},
        {"USER", "seenlasttime", "date", "0", "seenLastTime", ref},
        {"USER", "seenlasttime", "date", "86400.5", "seenLastTime", ref.addMSecs(86400500)},
        {"USER", "seenlasttime", "date", "-31.25", "seenLastTime", ref.addMSecs(-31250)},
        {"USER", "seenlasttime", "date", "1e300", nullptr, {}},
        {"USER", "seenlasttime", "date", "soon", nullptr, {}},
        {"MESSAGEFORFORWARDING", "message", "binary", "AAEC\n/w==", "message",
         QByteArray("\x00\x01\x02\xff", 4)},
        {"MESSAGEFORFORWARDING", "message", "binary", "**", nullptr, {}},
        {"MESSAGE", "isuser", "bool", "1", nullptr, {}}, // not a member of log entries
        {"ME", "statusbeforeidle", "string", "2", "statusBeforeIdle", QString("2")},
        {"ME", "pc", "string", "mac", "pc", QString("mac")}, // inherited from User
        {"USER", "icon", "transformable", "x", nullptr, {}},
    };
    for (const ValueCase &c : cases) {
        SCOPED_TRACE(std::string(c.entity) + "." + c.name + "=" + c.text);
        XmlStoreReader reader;
        ASSERT_TRUE(reader.read(oneAttribute(c.entity, c.name, c.type, c.text)));
        ASSERT_EQ(reader.objects().size(), 1u);
        const auto &attributes = reader.objects()[0].attributes;
        if (!c.modelName) {
            EXPECT_TRUE(attributes.isEmpty());
            EXPECT_EQ(reader.warnings().size(), 1);
            continue;
        }
        ASSERT_TRUE(attributes.contains(c.modelName));
        EXPECT_EQ(attributes.value(c.modelName), c.expected);
        EXPECT_TRUE(reader.warnings().isEmpty());
    }
}

TEST(MigrationXmlReader, MalformedDocumentsFail) {
    const struct {
        const char *document;
        const char *errorStart;
    } cases[] = {
        {"", "The old store is"},
        {"<plist/>", "The old store is not a database (root element <plist>)."},
        {"<database><object type=\"USER\" id=\"z1\">", "The old store is damaged at line 1"},
        {"<database><object type=\"USER\" id=\"z1\"></object></databse>", "The old store is damaged"},
        {"<database><object id=\"z1\"/></database>", "Object without type or id at line 1."},
        {"<database><object type=\"USER\"/></database>", "Object without type or id at line 1."},
        {"<database><object type=\"USER\" id=\"z1\"/><object type=\"GROUP\" id=\"z1\"/></database>",
         "Object id z1 appears twice (line 1)."},
        {"<database><object type=\"USER\" id=\"z1\"><attribute name=\"name\" "
         "type=\"string\">a<b/></attribute>"
         "</object></database>",
         "The old store is damaged"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.document);
        XmlStoreReader reader;
        EXPECT_FALSE(reader.read(c.document));
        EXPECT_EQ(reader.error().domain, XmlStoreReader::errorDomain);
        EXPECT_EQ(reader.error().code, XmlStoreReader::Malformed);
        EXPECT_TRUE(reader.error().description.startsWith(c.errorStart))
            << reader.error().description.toStdString();
        EXPECT_TRUE(reader.objects().empty());
    }
}

TEST(MigrationXmlReader, MissingFileFails) {
    XmlStoreReader reader;
    EXPECT_FALSE(reader.readFile("/nonexistent/Murnavell.storedata"));
    EXPECT_EQ(reader.error().code, XmlStoreReader::CannotOpen);
    EXPECT_TRUE(reader.error().description.startsWith("The old store (/nonexistent/Murnavell.storedata)"));
}

TEST(MigrationXmlReader, Fixture) {
    XmlStoreReader reader;
    ASSERT_TRUE(reader.readFile(MURNAVELL_TEST_DATA "/store/Murnavell.storedata"))
        << reader.error().description.toStdString();
    QStringList entities;
    for (const auto &o : reader.objects()) entities << o.entity + ":" + o.id;
    EXPECT_EQ(entities.join(' '),
              "Me:z101 Group:z103 User:z102 User:z104 Chat:z105 Message:z106 Message:z107 "
              "Message:z108 SystemMessage:z109 Message:z110 MessageForForwarding:z111 FileTransfer:z113");
    // The unknown attribute and the unknown entity are the only things left out.
    EXPECT_EQ(reader.warnings(), QStringList({"Skipped unknown attribute shoesize of User z102.",
                                              "Skipped object z112 of unknown entity WIDGET."}));
    const XmlStoreObject &hello = reader.objects()[5];
    EXPECT_EQ(hello.attributes.value("message").toString(), "Hello Ada,\nhow are you? <3");
    EXPECT_EQ(hello.attributes.value("messageId").toLongLong(), 12345671234567);
    EXPECT_EQ(hello.relationships.value("user"), QStringList{"z102"});
    const XmlStoreObject &group = reader.objects()[1];
    EXPECT_EQ(group.attributes.value("name").toString(), "Office & Lab");
    EXPECT_EQ(group.relationships.value("users"), QStringList({"z102", "z104"}));
}

TEST(MigrationXmlReader, EntityNames) {
    EXPECT_EQ(XmlStoreReader::entityName("SYSTEMMESSAGE"), "SystemMessage");
    EXPECT_EQ(XmlStoreReader::entityName("messageforforwarding"), "MessageForForwarding");
    EXPECT_EQ(XmlStoreReader::entityName("FILETRANSFER"), "FileTransfer");
    EXPECT_EQ(XmlStoreReader::entityName("WIDGET"), "");
}

} // namespace
