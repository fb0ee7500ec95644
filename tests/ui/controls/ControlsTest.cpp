// The small controls and the date text.
#include "ui/controls/CollapsableButton.h"
#include "ui/controls/DateFormatter.h"
#include "ui/controls/HoverButton.h"
#include "ui/controls/PaddedCellDelegate.h"
#include "ui/controls/TextHeight.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLocale>
#include <QTest>
#include <QTextEdit>
#include <QTimeZone>
#include <gtest/gtest.h>

namespace {

TEST(DateFormatterTest, TodayShowsTheTimeAndEveryOtherDayTheDateToo) {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedKingdom));
    const QDateTime now(QDate(2026, 3, 2), QTime(15, 30));
    DateFormatter::setNowFunction([now] { return now; });
    const struct {
        QDateTime date;
        bool forceDay;
        QString text;
    } cases[] = {{QDateTime(QDate(2026, 3, 2), QTime(9, 5)), false, "09:05"},
                 {QDateTime(QDate(2026, 3, 2), QTime(9, 5)), true, "2 Mar 2026 09:05"},
                 {QDateTime(QDate(2026, 3, 1), QTime(23, 59)), false, "1 Mar 2026 23:59"},
                 {QDateTime(QDate(2025, 3, 2), QTime(9, 5)), false, "2 Mar 2025 09:05"},
                 {QDateTime(), false, "15:30"},
                 {QDateTime(), true, "2 Mar 2026 15:30"}};
    for (const auto &c : cases) EXPECT_EQ(DateFormatter::format(c.date, c.forceDay), c.text);
    DateFormatter::setNowFunction({});
    QLocale::setDefault(QLocale::c());
}

TEST(ControlsTest, ACollapsableButtonShowsItsIconAloneWhenSqueezed) {
    QWidget row;
    auto *layout = new QHBoxLayout(&row);
    auto *button = new CollapsableButton(&row);
    button->setText("Send Files");
    button->setIcon(QApplication::style()->standardIcon(QStyle::SP_FileIcon));
    layout->addWidget(button);
    row.resize(400, 40);
    row.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&row));
    EXPECT_FALSE(button->collapsed());
    EXPECT_LT(button->minimumSizeHint().width(), button->fullWidth());
    row.resize(button->minimumSizeHint().width() + 2 * layout->contentsMargins().left(), 40);
    QApplication::processEvents();
    EXPECT_TRUE(button->collapsed());
    EXPECT_EQ(button->toolTip(), "Send Files");
    row.resize(400, 40);
    QApplication::processEvents();
    EXPECT_FALSE(button->collapsed());
}

TEST(ControlsTest, AHoverButtonShowsItsOtherImageUnderThePointer) {
    QWidget host;
    auto *button = new HoverButton(&host);
    const QIcon plain = QApplication::style()->standardIcon(QStyle::SP_DialogOkButton);
    const QIcon hover = QApplication::style()->standardIcon(QStyle::SP_DialogCancelButton);
    button->setImages(plain, hover);
    host.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));
    QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
    QApplication::sendEvent(button, &enter);
    EXPECT_EQ(button->icon().cacheKey(), hover.cacheKey());
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(button, &leave);
    EXPECT_EQ(button->icon().cacheKey(), plain.cacheKey());
}

TEST(ControlsTest, APaddedCellKeepsRoomAndACentredOneSitsAThirdDown) {
    PaddedCellDelegate cell;
    cell.setCentered(true);
    EXPECT_EQ(cell.titleRect(QRect(0, 0, 100, 30), 15), QRect(0, 5, 100, 25));
    cell.setCentered(false);
    cell.setPaddingRight(20);
    EXPECT_EQ(cell.titleRect(QRect(0, 0, 100, 30), 15), QRect(0, 0, 80, 30));
}

TEST(ControlsTest, TextHeightGrowsAsTheWidthShrinks) {
    QTextEdit view;
    view.setPlainText(QString(400, u'w').replace(QRegularExpression("(w{9})"), "\\1 "));
    const double wide = TextHeight::textHeightForWidth(&view, 2000);
    const double narrow = TextHeight::textHeightForWidth(&view, 200);
    EXPECT_GT(wide, 0);
    EXPECT_GT(narrow, 3 * wide);
    EXPECT_EQ(view.document()->textWidth(), view.document()->textWidth()); // the view is left alone
    EXPECT_EQ(TextHeight::textHeightForWidth(nullptr, 100), 0.0);
}

} // namespace
