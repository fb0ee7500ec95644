// The About window, the product-name customizer and the link field, driven as a user does.
#include "ui/main/About.h"
#include "support/Screenshots.h"
#include "ui/main/Customizer.h"
#include "ui/main/NSTextFiled_Link.h"
#include "ui_About.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>
#include <QTextCursor>
#include <QTextEdit>
#include <QVBoxLayout>
#include <gtest/gtest.h>

TEST(CustomizerTest, MenusWindowsAndTextsGetTheProductName) {
    QMainWindow window;
    window.setWindowTitle("Orvelan LAN Messenger");
    QMenu *app = window.menuBar()->addMenu("Orvelan LAN Messenger");
    QAction *about = app->addAction("About");
    about->setMenuRole(QAction::AboutRole);
    QAction *hide = app->addAction("Hide Orvelan LAN Messenger");
    QAction *lower = app->addAction("Quit orvelan lan messenger"); // another case stays
    QMenu *help = window.menuBar()->addMenu("Help");
    QMenu *sub = help->addMenu("More");
    QAction *deep = sub->addAction("Orvelan LAN Messenger Help");

    QWidget central;
    auto *layout = new QVBoxLayout(&central);
    auto *box = new QGroupBox("Orvelan LAN Messenger options", &central);
    auto *inBox = new QVBoxLayout(box);
    auto *label = new QLabel("Welcome to Orvelan LAN Messenger", box);
    inBox->addWidget(label);
    auto *button = new QPushButton("Orvelan LAN Messenger web", &central);
    auto *logo = new QLabel(&central);
    logo->setProperty("imageName", "orvelan");
    logo->setMinimumSize(32, 32);
    auto *other = new QLabel(&central);
    other->setProperty("imageName", "Group");
    layout->addWidget(box);
    layout->addWidget(button);
    layout->addWidget(logo);
    layout->addWidget(other);
    window.setCentralWidget(&central);

    Customizer::customizeMenu(window.menuBar());
    Customizer::customizeWindow(&window);
    EXPECT_EQ(about->text(), "About Murnavell");
    EXPECT_EQ(app->title(), "Murnavell");
    EXPECT_EQ(hide->text(), "Hide Murnavell");
    EXPECT_EQ(lower->text(), "Quit orvelan lan messenger");
    EXPECT_EQ(deep->text(), "Murnavell Help");
    EXPECT_EQ(window.windowTitle(), "Murnavell");
    EXPECT_EQ(label->text(), "Welcome to Murnavell");
    EXPECT_EQ(box->title(), "Murnavell options");
    EXPECT_EQ(button->text(), "Murnavell web");
    EXPECT_EQ(logo->property("imageName").toString(), "Murnavell");
    EXPECT_FALSE(logo->pixmap().isNull());
    EXPECT_EQ(other->property("imageName").toString(), "Group");
    EXPECT_TRUE(other->pixmap().isNull());

    // A text view: any case, and the formats stay.
    QTextEdit view;
    QTextCursor cursor(view.document());
    QTextCharFormat bold;
    bold.setFontWeight(QFont::Bold);
    cursor.insertText("Use ORVELAN LAN MESSENGER: ", bold);
    cursor.insertText("orvelan lan messenger and Orvelan LAN Messenger.", QTextCharFormat());
    Customizer::customizeTextView(&view);
    EXPECT_EQ(view.toPlainText(), "Use Murnavell: Murnavell and Murnavell.");
    QTextCursor first(view.document());
    first.setPosition(5);
    EXPECT_EQ(first.charFormat().fontWeight(), QFont::Bold);
}

namespace {
struct Opened {
    QList<QUrl> urls;
    Opened() {
        NSTextFiled_Link::setOpener([this](const QUrl &u) {
            urls.append(u);
            return true;
        });
    }
    ~Opened() { NSTextFiled_Link::setOpener({}); }
};
} // namespace

TEST(LinkFieldTest, OpensItsAddressOnlyForAClickThatStaysOnTheText) {
    Opened opened;
    QWidget window;
    auto *link = new NSTextFiled_Link(&window);
    link->setGeometry(0, 0, 300, 30);
    link->setAlignment(Qt::AlignCenter);
    link->setStringValue("Support");
    link->setUrl("https://murnavell.example/support");
    window.resize(300, 30);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QRect area = link->trackingArea();
    // Centred on the text, not the whole field.
    EXPECT_LT(area.width(), 300);
    EXPECT_GT(area.left(), 0);
    const QPoint inside = area.center(), outside(2, 15);

    QTest::mouseMove(link, inside);
    EXPECT_TRUE(link->hovered());
    EXPECT_TRUE(link->font().underline());
    EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
    QTest::mouseMove(link, outside);
    EXPECT_FALSE(link->hovered());
    EXPECT_FALSE(link->font().underline());

    // Press inside, move out, release: nothing. Press and release inside: once.
    QTest::mousePress(link, Qt::LeftButton, {}, inside);
    QTest::mouseRelease(link, Qt::LeftButton, {}, outside);
    EXPECT_TRUE(opened.urls.isEmpty());
    QTest::mouseClick(link, Qt::LeftButton, {}, outside);
    EXPECT_TRUE(opened.urls.isEmpty());
    QTest::mouseClick(link, Qt::LeftButton, {}, inside);
    ASSERT_EQ(opened.urls.size(), 1);
    EXPECT_EQ(opened.urls.first(), QUrl("https://murnavell.example/support"));

    // Only web and mail addresses; never from a field that can be selected.
    const struct {
        QString url;
        bool opens;
    } cases[] = {{"mailto:help@murnavell.example", true},
                 {"http://murnavell.example/", true},
                 {"file:///etc/passwd", false},
                 {"javascript:alert(1)", false},
                 {"ftp://murnavell.example/", false},
                 {"murnavell.example", false},
                 {"https://", false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.url.toStdString());
        opened.urls.clear();
        link->setUrl(c.url);
        QTest::mouseClick(link, Qt::LeftButton, {}, link->trackingArea().center());
        EXPECT_EQ(opened.urls.size(), c.opens ? 1 : 0);
    }
    opened.urls.clear();
    link->setUrl("https://murnavell.example/");
    link->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QTest::mouseClick(link, Qt::LeftButton, {}, link->trackingArea().center());
    EXPECT_TRUE(opened.urls.isEmpty());
}

TEST(AboutTest, ShowsTheVersionOnceAndLooks) {
    QCoreApplication::setApplicationVersion("0.1.0");
    About::show();
    About *about = About::shared();
    About::show();
    EXPECT_EQ(About::shared(), about);
    QWidget *w = about->window();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
    EXPECT_EQ(about->ui()->versionString->text(), "Murnavell for Linux v0.1.0");
    EXPECT_EQ(w->windowTitle(), "About Murnavell");
    EXPECT_EQ(about->ui()->link_product->text(), "Murnavell on the web");
    EXPECT_EQ(about->ui()->logo->property("imageName").toString(), "Murnavell");
    for (NSTextFiled_Link *link :
         {about->ui()->link_support, about->ui()->link_product, about->ui()->link_web})
        EXPECT_TRUE(NSTextFiled_Link::isOpenable(QUrl(link->url()))) << qPrintable(link->url());
    EXPECT_FALSE(Screenshots::save(w, "about", "window").isEmpty());
    QTest::keyClick(w, Qt::Key_Escape);
    EXPECT_FALSE(w->isVisible());
}
