// The address formatter of the add-target window: what typing and pasting leave in a field, and
// what a field's text reads as.
#include "ui/settings/IPFormatter.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QTest>
#include <gtest/gtest.h>

TEST(IPFormatterTest, CleansTextWhileItIsTyped) {
    const struct {
        QString typed, shown;
    } cases[] = {
        {"0", ""},
        {"01", "1"},
        {"0.0.1", "1"},
        {"10..1", "10.1"},
        {"10.", "10."},
        {"300", "30.0"},
        {"2561", "25.61"},
        {"999999", "99.99.99"},
        {"1.2.3.4.5", "1.2.3.4"},
        {"192.168.001.020", "192.168.1.20"},
        {"1a2b.3c", "12.3"},
        {" 10.0.0.1\n", "10.0.0.1"},
        {"255.255.255.255", "255.255.255.255"},
        {"256.1", "25.61"},
        {"1.02.003", "1.2.3"},
        {"...", ""},
        {"", ""},
        {"١٢٣", ""}, // digits of other scripts are not address digits
        {QString(20000, u'1'), "111.111.111.111"},
        {QString(20000, u'9'), "99.99.99.99"},
        {QString(5000, u'.') + "7", "7"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed.left(40).toStdString());
        QString cleaned;
        const bool unchanged = IPFormatter::isPartialStringValid(c.typed, &cleaned);
        EXPECT_EQ(cleaned, c.shown);
        EXPECT_EQ(unchanged, c.typed == c.shown);
    }
}

TEST(IPFormatterTest, ReadsATextAsFourParts) {
    const struct {
        QString text, value;
    } cases[] = {
        {"192.168", "192.168.0.0"}, {"", "0.0.0.0"},        {"1..2", "1.0.2.0"},
        {"10.", "10.0.0.0"},        {"1.2.3.4", "1.2.3.4"}, {"1.2.3.4.5", "1.2.3.4.5"},
    };
    for (const auto &c : cases) EXPECT_EQ(IPFormatter::getObjectValue(c.text), c.value) << qPrintable(c.text);
    EXPECT_EQ(IPFormatter::stringForObjectValue(QString()), "0.0.0.0");
    EXPECT_EQ(IPFormatter::stringForObjectValue("10.1"), "10.1");
}

// A field with the formatter, typed into and pasted into as a user does.
TEST(IPFormatterTest, AFieldShowsTheCleanedTextOfKeysAndPastes) {
    QLineEdit field;
    field.setValidator(new IPFormatter(&field));
    field.show();
    QTest::keyClicks(&field, "0");
    EXPECT_EQ(field.text(), "");
    QTest::keyClicks(&field, "300");
    EXPECT_EQ(field.text(), "30.0");
    QTest::keyClicks(&field, ".x1");
    EXPECT_EQ(field.text(), "30.0.1");

    field.clear();
    QApplication::clipboard()->setText(QStringLiteral("addr: 192.168.0.1234567 please"));
    field.paste();
    EXPECT_EQ(field.text(), "192.168.0.123");
}
