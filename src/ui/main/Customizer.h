#pragma once

#include <QString>

class QMenuBar;
class QMenu;
class QObject;
class QWidget;

// Writes the product name into texts that the interface files spell with the base product name:
// menu titles, window titles, control texts, text views, and images named with the base word.
class Customizer {
public:
    static const QString baseProductName; // "Orvelan LAN Messenger"
    static const QString productName;     // "Murnavell"
    static const QString baseImageWord;   // "orvelan"

    // The About item of the application menu (the first menu) is titled from the "MainMenu"
    // table, then every title of the menus gets the product name.
    static void customizeMenu(QMenuBar *mainMenu);
    // The window's title and the texts of its controls; image labels whose "imageName" holds the
    // base word show the image of the product's name instead.
    static void customizeWindow(QWidget *window);
    // Every occurrence of the base product name in any case, keeping the text's formats.
    static void customizeTextView(QWidget *textView);

    // The text with every occurrence of the base product name (exact case) replaced.
    static QString replaced(const QString &text);

private:
    static void customizeMenuItems(QMenu *menu);
    static void customizeSubviews(QWidget *view);
    static void replaceProductName(QObject *object, const char *property);
};
