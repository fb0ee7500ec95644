#include "ui/conversation/TextViewForSending.h"

#include "core/model/Chat.h"
#include "core/model/User.h"
#include "platform/defaults/Defaults.h"
#include "ui/conversation/ConversationServices.h"

#include <QDragEnterEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QTextCursor>
#include <QUrl>

#include <optional>

namespace {

// Regions whose flag turns into the black flag; each pair of letters is one region.
constexpr const char regionCodes[] = "AFAXALDZASADAOAIAQAGARAMAWAUATAZBSBHBDBBBYBEBZBJBMBTBOBABWBRIOVGBNBGBFB"
                                     "IKHCMCAICCVBQKYCFTDCLCNCXCCCOKMCGCDCKCRCI"
                                     "HRCUCWCYCZDKDJDMDOECEGSVGQEREEETEUFKFOFJFIFRGFPFTFGAGMGEDEGHGIGRGLGDGPG"
                                     "UGTGGGNGWGYHTHNHKHUISINIDIRIQIEIMILITJMJP"
                                     "JEJOKZKEKIXKKWKGLALVLBLSLRLYLILTLUMOMKMGMWMYMVMLMTMHMQMRMUYTMXFMMDMCMNM"
                                     "EMSMAMZMMNANRNPNLNCNZNINENGNUNFKPMPNOOMPK"
                                     "PWPSPAPGPYPEPHPNPLPTPRQAREROCURWWSSMSASNRSSCSLSGSXSKSIGSSBSOZAKRSSESLKB"
                                     "LSHKNLCPMVCSDSRSZSECHSYTWTJTZTHTLTGTKTOTT"
                                     "TNTRTMTCTVVIUGUAAEGBUSUYUZVUVAVEVNWFEHYEZMZW";

bool listedRegion(char32_t first, char32_t second) {
    static const QSet<QString> regions = [] {
        QSet<QString> set;
        const QString all = QString::fromLatin1(regionCodes);
        for (int i = 0; i + 1 < all.size(); i += 2) set.insert(all.mid(i, 2));
        return set;
    }();
    const QChar a(char16_t(u'A' + (first - 0x1F1E6)));
    const QChar b(char16_t(u'A' + (second - 0x1F1E6)));
    return regions.contains(QString(a) + b);
}

bool isRegionalIndicator(char32_t c) { return c >= 0x1F1E6 && c <= 0x1F1FF; }
bool isSkinTone(char32_t c) { return c >= 0x1F3FB && c <= 0x1F3FF; }

const QString &blackFlag() {
    static const QString flag = QString::fromUcs4(U"\U0001F3F4");
    return flag;
}

} // namespace

TextViewForSending::TextViewForSending(QWidget *parent) : QTextEdit(parent) {
    setAcceptRichText(false);
    setTabChangesFocus(true);
    const Defaults &defaults = Defaults::standard();
    m_spelling = defaults.boolForKey(QStringLiteral("continuousSpellCheckingEnabled"));
    m_correction = defaults.boolForKey(QStringLiteral("automaticSpellingCorrectionEnabled"));
    m_grammar = defaults.boolForKey(QStringLiteral("grammarCheckingEnabled"));
    connect(this, &QTextEdit::textChanged, this, &TextViewForSending::clean);
}

void TextViewForSending::setRecipients(std::function<QList<User *>()> users, std::function<Chat *()> chat,
                                       bool mass) {
    m_users = std::move(users);
    m_chat = std::move(chat);
    m_mass = mass;
}

QList<User *> TextViewForSending::users() const { return m_users ? m_users() : QList<User *>{}; }

Chat *TextViewForSending::chat() const { return m_chat ? m_chat() : nullptr; }

QStringList TextViewForSending::pieces(const QString &text) {
    QStringList out;
    qsizetype at = 0;
    while (at < text.size()) {
        qsizetype length = std::min<qsizetype>(PieceLength, text.size() - at);
        // Never between the halves of one character.
        if (at + length < text.size() && text.at(at + length - 1).isHighSurrogate() &&
            text.at(at + length).isLowSurrogate())
            --length;
        out.append(text.mid(at, length));
        at += length;
    }
    return out;
}

QString TextViewForSending::cleanedText(const QString &text) {
    // Skin tones first, so that a tone never stands between the letters of a flag.
    const QList<uint> all = text.toUcs4();
    QList<char32_t> points;
    points.reserve(all.size());
    for (uint c : all)
        if (!isSkinTone(c)) points.append(c);
    const QList<char32_t> rainbow = {0x1F3F3, 0xFE0F, 0x200D, 0x1F308};
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < points.size();) {
        if (points.mid(i, rainbow.size()) == rainbow) {
            out += blackFlag();
            i += rainbow.size();
        } else if (isRegionalIndicator(points[i])) {
            // A run of letters pairs up from its start: a flag never takes the second letter of
            // one flag and the first of the next.
            qsizetype end = i;
            while (end < points.size() && isRegionalIndicator(points[end])) ++end;
            for (; i + 1 < end; i += 2) {
                if (listedRegion(points[i], points[i + 1]))
                    out += blackFlag();
                else
                    out += QString::fromUcs4(&points[i], 2);
            }
            if (i < end) out += QString::fromUcs4(&points[i++], 1);
        } else {
            out += QString::fromUcs4(&points[i], 1);
            ++i;
        }
    }
    return out;
}

void TextViewForSending::clean() {
    if (m_cleaning) return;
    const QString text = toPlainText();
    const QString cleaned = cleanedText(text);
    if (cleaned == text) return;
    // Replace only the part that changed, so the cursor and the undo history stay where they are.
    qsizetype head = 0;
    while (head < text.size() && head < cleaned.size() && text[head] == cleaned[head]) ++head;
    qsizetype tail = 0;
    while (tail < text.size() - head && tail < cleaned.size() - head &&
           text[text.size() - 1 - tail] == cleaned[cleaned.size() - 1 - tail])
        ++tail;
    // Never cut a character in two at the edges of the change.
    if (head > 0 && text[head - 1].isHighSurrogate()) --head;
    if (tail > 0 && text[text.size() - tail].isLowSurrogate()) --tail;
    m_cleaning = true;
    QTextCursor cursor(document());
    cursor.setPosition(int(head));
    cursor.setPosition(int(text.size() - tail), QTextCursor::KeepAnchor);
    cursor.insertText(cleaned.mid(head, cleaned.size() - tail - head));
    m_cleaning = false;
}

void TextViewForSending::sendMessage() {
    const QString text = toPlainText();
    if (text.isEmpty()) return;
    Chat *room = chat();
    const QList<User *> recipients = users();
    for (const QString &piece : pieces(text)) {
        if (room) {
            room->sendMessage(piece);
        } else if (!recipients.isEmpty()) {
            recipients.first()->SendMessage(piece,
                                            m_mass ? std::optional<QList<User *>>(recipients) : std::nullopt);
        }
    }
    clear();
    emit messageSent();
}

void TextViewForSending::keyPressEvent(QKeyEvent *event) {
    const bool returnKey = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (returnKey) {
        const bool control = event->modifiers().testFlag(Qt::ControlModifier);
        const bool returnSends = Defaults::standard().integerForKey(QStringLiteral("SendMessageKey")) == 1;
        if (control != returnSends) {
            sendMessage();
            event->accept();
            return;
        }
    }
    if (!m_mass && !chat() && !toPlainText().isEmpty()) {
        const QList<User *> recipients = users();
        if (recipients.size() == 1) recipients.first()->sendIsTyping();
    }
    if (returnKey) {
        // Shift, Control or neither: a plain line break, never a paragraph of rich text.
        textCursor().insertText(QStringLiteral("\n"));
        ensureCursorVisible();
        event->accept();
        return;
    }
    QTextEdit::keyPressEvent(event);
}

QStringList TextViewForSending::filePaths(const QMimeData *data) {
    QStringList paths;
    if (!data || !data->hasUrls()) return paths;
    for (const QUrl &url : data->urls())
        if (url.isLocalFile()) paths.append(url.toLocalFile());
    return paths;
}

bool TextViewForSending::acceptsFiles(const QMimeData *data) const {
    if (m_mass || chat() || filePaths(data).isEmpty()) return false;
    const QList<User *> recipients = users();
    return recipients.size() == 1 && !recipients.first()->userOffline();
}

void TextViewForSending::dragEnterEvent(QDragEnterEvent *event) {
    if (acceptsFiles(event->mimeData())) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
        return;
    }
    QTextEdit::dragEnterEvent(event);
}

void TextViewForSending::dragMoveEvent(QDragMoveEvent *event) {
    if (acceptsFiles(event->mimeData())) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
        return;
    }
    QTextEdit::dragMoveEvent(event);
}

void TextViewForSending::dropEvent(QDropEvent *event) {
    if (acceptsFiles(event->mimeData())) {
        ConversationServices::current()->sendFiles(filePaths(event->mimeData()), users().first());
        event->setDropAction(Qt::CopyAction);
        event->accept();
        return;
    }
    QTextEdit::dropEvent(event);
}

void TextViewForSending::insertFromMimeData(const QMimeData *source) {
    // Pasted files are files, not their names.
    if (acceptsFiles(source)) {
        ConversationServices::current()->sendFiles(filePaths(source), users().first());
        return;
    }
    QTextEdit::insertFromMimeData(source);
}

void TextViewForSending::setContinuousSpellCheckingEnabled(bool on) {
    m_spelling = on;
    Defaults::standard().setValue(QStringLiteral("continuousSpellCheckingEnabled"), on);
}

void TextViewForSending::setAutomaticSpellingCorrectionEnabled(bool on) {
    m_correction = on;
    Defaults::standard().setValue(QStringLiteral("automaticSpellingCorrectionEnabled"), on);
}

void TextViewForSending::setGrammarCheckingEnabled(bool on) {
    m_grammar = on;
    Defaults::standard().setValue(QStringLiteral("grammarCheckingEnabled"), on);
}
