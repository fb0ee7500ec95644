// The call page as the window assembles it: the page's own files with every marker replaced,
// the colour variables, the 32 texts, and literals that carry any text as data only.
#include "calls/CallPage.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

QString pageFolder() { return QDir::cleanPath(QStringLiteral(MURNAVELL_TEST_DATA "/../../src/calls/page")); }

TEST(CallPageTest, StringLiteralsHoldAnyTextAsData) {
    const struct {
        QString text;
        const char *literal;
    } cases[] = {
        {QString(), R"("")"},
        {QStringLiteral("Ann"), R"("Ann")"},
        {QStringLiteral("O'Brien \"Bob\""), R"("O'Brien \"Bob\"")"},
        {QStringLiteral("back\\slash"), R"("back\\slash")"},
        {QStringLiteral("two\nlines\r\tx"), R"("two\nlines\r\tx")"},
        {QStringLiteral("</script><script>alert(1)</script>"),
         R"("\u003c/script>\u003cscript>alert(1)\u003c/script>")"},
        {QStringLiteral("'});alert(1);({'"), R"("'});alert(1);({'")"},
        {QString(QChar(0x2028)) + QChar(0x2029) + QChar(0x08) + QChar(0), R"("\u2028\u2029\u0008\u0000")"},
        {QStringLiteral("Жук 😀"), "\"Жук \\ud83d\\ude00\""},
        {QString(QChar(0xD800)), R"("\ud800")"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        const QString literal = CallPage::jsString(c.text);
        EXPECT_EQ(literal, QString::fromUtf8(c.literal));
        // Valid JSON that reads back as the text.
        const QJsonDocument doc = QJsonDocument::fromJson(("[" + literal + "]").toUtf8());
        ASSERT_TRUE(doc.isArray());
        if (!c.text.contains(QChar(0xD800))) {
            EXPECT_EQ(doc.array().at(0).toString(), c.text);
        }
    }
}

TEST(CallPageTest, OnlyObjectsAreTakenAndWrittenOutAgain) {
    const struct {
        const char *json;
        const char *literal; // null: refused
    } cases[] = {
        {R"({"type":"offer","sdp":"v=0"})", R"({"sdp":"v=0","type":"offer"})"},
        {R"( { "a" : [1, true, null] } )", R"({"a":[1,true,null]})"},
        {R"({"x":"</script><script>window.hit=1</script>"})",
         R"({"x":"\u003c/script>\u003cscript>window.hit=1\u003c/script>"})"},
        {"});alert(1);({", nullptr},
        {R"({"a":1});alert(1);({"b":2})", nullptr},
        {"[1,2]", nullptr},
        {R"("text")", nullptr},
        {"42", nullptr},
        {"", nullptr},
        {R"({"a":1)", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.json);
        const std::optional<QString> literal = CallPage::jsObject(QString::fromUtf8(c.json));
        if (!c.literal) {
            EXPECT_FALSE(literal.has_value());
            continue;
        }
        ASSERT_TRUE(literal.has_value());
        EXPECT_EQ(*literal, QString::fromUtf8(c.literal));
    }
}

TEST(CallPageTest, MessagesIntoThePage) {
    EXPECT_EQ(CallPage::message("uid", CallPage::jsString("A1")),
              R"(exeMsgReceived({message:"uid",data:"A1"});)");
    EXPECT_EQ(
        CallPage::colourScript({{"textColor", "rgba(1,2,3,1.00)"}, {"accentColor", "rgba(0,0,0,0.50)"}}),
        R"js(document.documentElement.style.setProperty("--textColor","rgba(1,2,3,1.00)");)js"
        R"js(document.documentElement.style.setProperty("--accentColor","rgba(0,0,0,0.50)");)js");
}

TEST(CallPageTest, ColoursAreWrittenAsRgba) {
    const struct {
        double r, g, b, a;
        const char *css;
    } cases[] = {
        {0, 0, 0, 1, "rgba(0,0,0,1.00)"},
        {1, 1, 1, 0.5, "rgba(255,255,255,0.50)"},
        {0.2, 0.5, 0.999, 0.333, "rgba(51,127,254,0.33)"}, // truncated, not rounded
    };
    for (const auto &c : cases) EXPECT_EQ(CallPage::hexColor(c.r, c.g, c.b, c.a), QString::fromLatin1(c.css));
    EXPECT_EQ(CallPage::colourNames(),
              (QStringList{"accentColor", "buttonBackgound", "textColor", "pushedButtonTextColor",
                           "buttonShadow", "buttonHighlight", "windowBackground"}));
}

TEST(CallPageTest, TheThirtyTwoTextsInTheirOrderWithQuotesAndBackslashes) {
    QStringList asked;
    const QString script = CallPage::localization([&](const QString &key) {
        asked.append(key);
        return QStringLiteral("«%1» it's \"quoted\" \\ </script>\n").arg(key);
    });
    EXPECT_EQ(asked.size(), 32);
    EXPECT_EQ(asked, CallPage::localizationKeys());
    EXPECT_EQ(asked.first(), "Stop Video");
    EXPECT_EQ(asked.last(), "%s is calling.");
    EXPECT_EQ(asked.count(","), 2);
    EXPECT_EQ(asked.count("."), 2);
    EXPECT_EQ(asked.count("but they still CAN hear you"), 2);
    ASSERT_TRUE(script.startsWith("localization = {"));
    ASSERT_TRUE(script.endsWith("};"));
    EXPECT_FALSE(script.contains("</"));
    // The object is JSON whose values are the translations, character for character.
    const QJsonDocument doc = QJsonDocument::fromJson(script.mid(15).chopped(1).toUtf8());
    ASSERT_TRUE(doc.isObject());
    EXPECT_EQ(doc.object().size(), 29); // three keys come twice
    for (const QString &key : CallPage::localizationKeys())
        EXPECT_EQ(doc.object().value(key).toString(),
                  QStringLiteral("«%1» it's \"quoted\" \\ </script>\n").arg(key));
}

TEST(CallPageTest, ThePageIsAssembledFromItsOwnFilesWithEveryMarkerReplaced) {
    const CallPage::Sources sources = CallPage::load(pageFolder());
    ASSERT_FALSE(sources.js.isEmpty()) << qPrintable(pageFolder());
    ASSERT_FALSE(sources.html.isEmpty());
    ASSERT_FALSE(sources.css.isEmpty());
    ASSERT_FALSE(sources.catalina.isEmpty());

    const CallPage::Colours colours = {{"accentColor", "rgba(1,2,3,1.00)"},
                                       {"textColor", "rgba(4,5,6,0.50)"}};
    const QString css = CallPage::css(sources, colours);
    EXPECT_TRUE(css.startsWith(sources.css + sources.catalina));
    EXPECT_TRUE(css.endsWith(":root {--accentColor: rgba(1,2,3,1.00);--textColor: rgba(4,5,6,0.50);"));

    const QString settings = QStringLiteral(R"({"camera":{"id":"x'y","label":"</script>"}})");
    const QString localization = CallPage::localization([](const QString &k) { return k; });
    const QString script = CallPage::script(sources, css, settings, localization);
    for (const char *marker : {"%%CSS%%", "%%HTML%%", "'%%SETTINGS%%'", "//LOCALIZATION//"})
        EXPECT_FALSE(script.contains(QLatin1String(marker))) << marker;
    EXPECT_TRUE(script.contains("const PAGE_CSS = String.raw`" + css + "`;"));
    EXPECT_TRUE(script.contains("const PAGE_HTML = String.raw`" + sources.html + "`;"));
    EXPECT_TRUE(script.contains("const SETTINGS_TEXT = " + CallPage::jsString(settings) + ";"));
    EXPECT_TRUE(script.contains(localization));

    // Nothing inserted ends the script element early: the document has exactly one.
    const QString document = CallPage::document(script);
    EXPECT_TRUE(document.startsWith("<!DOCUMENT html><head><script>"));
    EXPECT_TRUE(document.endsWith("</script></head><html></html>"));
    EXPECT_EQ(document.count(QRegularExpression("</script", QRegularExpression::CaseInsensitiveOption)), 1);

    // Without stored settings the page gets an empty object.
    EXPECT_TRUE(
        CallPage::script(sources, css, std::nullopt, localization).contains("const SETTINGS_TEXT = '{}';"));
    EXPECT_EQ(CallPage::baseUrl().scheme(), "https");
    EXPECT_TRUE(CallPage::baseUrl().host().endsWith(".localhost"));
}

TEST(CallPageTest, MarkersInsideInsertedTextsStayAsTheyAre) {
    const CallPage::Sources sources{"<p>%%CSS%% //LOCALIZATION//</p>",
                                    "a=`%%CSS%%`;b=`%%HTML%%`;c='%%SETTINGS%%';\n//LOCALIZATION//\n", "", ""};
    const QString script =
        CallPage::script(sources, "x{} %%HTML%%", QStringLiteral("'%%SETTINGS%%'"), "L=1;");
    EXPECT_EQ(script, "a=`x{} %%HTML%%`;b=`<p>%%CSS%% //LOCALIZATION//</p>`;c=\"'%%SETTINGS%%'\";\nL=1;\n");
    // A missing file is empty text.
    const CallPage::Sources missing = CallPage::load(QStringLiteral("/nonexistent"));
    EXPECT_TRUE(missing.js.isEmpty() && missing.html.isEmpty());
}

} // namespace
