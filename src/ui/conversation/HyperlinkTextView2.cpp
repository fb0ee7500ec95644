#include "ui/conversation/HyperlinkTextView2.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QPalette>
#include <QRegularExpression>
#include <QTextCursor>

namespace {

std::function<bool(const QUrl &)> &opener() {
    static std::function<bool(const QUrl &)> open;
    return open;
}

} // namespace

HyperlinkTextView2::HyperlinkTextView2(QWidget *parent) : QTextBrowser(parent) {
    setOpenLinks(false);
    setOpenExternalLinks(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard |
                            Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    connect(this, &QTextBrowser::anchorClicked, this, [this](const QUrl &url) { openClickedHyperlink(url); });
}

void HyperlinkTextView2::setLinkOpener(std::function<bool(const QUrl &)> open) { opener() = std::move(open); }

bool HyperlinkTextView2::isOpenable(const QUrl &url) {
    const QString scheme = url.scheme().toLower();
    if (!url.isValid()) return false;
    if (scheme == QLatin1String("mailto")) return !url.path().isEmpty();
    return (scheme == QLatin1String("http") || scheme == QLatin1String("https")) && !url.host().isEmpty();
}

bool HyperlinkTextView2::openClickedHyperlink(const QUrl &url) {
    if (!isOpenable(url)) return false;
    if (opener()) return opener()(url);
    return QDesktopServices::openUrl(url);
}

QList<HyperlinkTextView2::Link> HyperlinkTextView2::detectLinks(const QString &text) {
    // Addresses with a scheme, names starting with "www.", and mail addresses. What a peer writes
    // is only ever turned into one of these three kinds.
    // Each alternative starts where a word starts, so a long word is tried once, not once per
    // character; a text without any of the three marks is not searched at all.
    static const QRegularExpression pattern(
        QStringLiteral(
            R"((?<![\w@.+-])(?:(https?://)[^\s<>"]+|(www\.)[^\s<>"]+|(mailto:)?([\w.+-]+@[\w-]+(?:\.[\w-]+)+)))"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption);
    if (!text.contains(QLatin1String("://")) && !text.contains(QLatin1String("www."), Qt::CaseInsensitive) &&
        !text.contains(u'@'))
        return {};
    QList<Link> links;
    auto it = pattern.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        QString found = m.captured(0);
        // A sentence's punctuation after a link is not part of it; a closing bracket only when
        // the link opened none.
        while (!found.isEmpty()) {
            const QChar last = found.back();
            if (QStringLiteral(".,;:!?'\"").contains(last) ||
                (last == u')' && found.count(u'(') < found.count(u')')) ||
                (last == u']' && found.count(u'[') < found.count(u']')))
                found.chop(1);
            else
                break;
        }
        if (found.isEmpty()) continue;
        QUrl url;
        if (!m.captured(1).isEmpty())
            url = QUrl(found, QUrl::TolerantMode);
        else if (!m.captured(2).isEmpty())
            url = QUrl(QStringLiteral("http://") + found, QUrl::TolerantMode);
        else
            url = QUrl(found.startsWith(QLatin1String("mailto:"), Qt::CaseInsensitive)
                           ? found
                           : QStringLiteral("mailto:") + found);
        if (isOpenable(url)) links.append({int(m.capturedStart(0)), int(found.size()), url});
    }
    return links;
}

void HyperlinkTextView2::insertWithLinks(QTextCursor &cursor, const QString &text,
                                         const QTextCharFormat &format) {
    int at = 0;
    for (const Link &link : detectLinks(text)) {
        if (link.start > at) cursor.insertText(text.mid(at, link.start - at), format);
        QTextCharFormat linkFormat = format;
        linkFormat.setAnchor(true);
        linkFormat.setAnchorHref(QString::fromUtf8(link.url.toEncoded()));
        linkFormat.setFontUnderline(true);
        linkFormat.setForeground(QGuiApplication::palette().color(QPalette::Link));
        cursor.insertText(text.mid(link.start, link.length), linkFormat);
        at = link.start + link.length;
    }
    if (at < text.size()) cursor.insertText(text.mid(at), format);
}
