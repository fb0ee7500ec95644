#pragma once

#include <QTextBrowser>
#include <QUrl>

#include <functional>

class QTextCharFormat;
class QTextCursor;

// A read-only text view whose links show the pointing hand and open on a click. Only web and
// mail links are links here: text from peers is never trusted to name a program or a file.
class HyperlinkTextView2 : public QTextBrowser {
    Q_OBJECT
public:
    explicit HyperlinkTextView2(QWidget *parent = nullptr);

    struct Link {
        int start = 0;
        int length = 0;
        QUrl url;
    };
    // The links in a plain text: http and https addresses, "www." names (as http) and mail
    // addresses (as mailto), without the punctuation that ends a sentence around them.
    static QList<Link> detectLinks(const QString &text);
    // Only http, https and mailto open.
    static bool isOpenable(const QUrl &url);
    // Inserts plain text at the cursor in the format, with its links made clickable.
    static void insertWithLinks(QTextCursor &cursor, const QString &text, const QTextCharFormat &format);

    // Opens a clicked link when it may be opened; false otherwise.
    bool openClickedHyperlink(const QUrl &url);
    // How links are opened (tests record them); an empty function restores the desktop's.
    static void setLinkOpener(std::function<bool(const QUrl &)> opener);
};
