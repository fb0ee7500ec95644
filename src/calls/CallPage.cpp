#include "calls/CallPage.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString readText(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return QString();
    QString text = QString::fromUtf8(file.readAll());
    if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
    return text;
}

QString &resourceRoot() {
    static QString root;
    return root;
}

} // namespace

void CallPage::setResourceRoot(const QString &root) { resourceRoot() = root; }

CallPage::Sources CallPage::load() {
    return load(resourceRoot().isEmpty() ? QStringLiteral(":/calls/page") : resourceRoot());
}

CallPage::Sources CallPage::load(const QString &root) {
    return {readText(root + QStringLiteral("/index.html")), readText(root + QStringLiteral("/main.js")),
            readText(root + QStringLiteral("/main.css")), readText(root + QStringLiteral("/catalina.css"))};
}

const QStringList &CallPage::colourNames() {
    static const QStringList names = {
        QStringLiteral("accentColor"),     QStringLiteral("buttonBackgound"),
        QStringLiteral("textColor"),       QStringLiteral("pushedButtonTextColor"),
        QStringLiteral("buttonShadow"),    QStringLiteral("buttonHighlight"),
        QStringLiteral("windowBackground")};
    return names;
}

QString CallPage::hexColor(double red, double green, double blue, double alpha) {
    const auto channel = [](double v) { return int(qBound(0.0, v, 1.0) * 255); };
    return QStringLiteral("rgba(%1,%2,%3,%4)")
        .arg(channel(red))
        .arg(channel(green))
        .arg(channel(blue))
        .arg(qBound(0.0, alpha, 1.0), 0, 'f', 2);
}

const QStringList &CallPage::localizationKeys() {
    static const QStringList keys = {QStringLiteral("Stop Video"),
                                     QStringLiteral("Start Video"),
                                     QStringLiteral("Your camera is off."),
                                     QStringLiteral("Camera not found."),
                                     QStringLiteral("Other users cannot see you"),
                                     QStringLiteral(","),
                                     QStringLiteral("but they still CAN hear you"),
                                     QStringLiteral("."),
                                     QStringLiteral("Select a Camera"),
                                     QStringLiteral("Mute Mic"),
                                     QStringLiteral("Unmute Mic"),
                                     QStringLiteral("Your microphone is off."),
                                     QStringLiteral("Microphone not found."),
                                     QStringLiteral("Other users cannot hear you."),
                                     QStringLiteral("Select a Microphone"),
                                     QStringLiteral("Mute Speakers"),
                                     QStringLiteral("Unmute Speakers"),
                                     QStringLiteral("Your speakers are off."),
                                     QStringLiteral("Speakers not found."),
                                     QStringLiteral("You cannot hear other users"),
                                     QStringLiteral(","),
                                     QStringLiteral("but they still CAN hear you"),
                                     QStringLiteral("."),
                                     QStringLiteral("Select Speakers"),
                                     QStringLiteral("Invite"),
                                     QStringLiteral("Show Conversation"),
                                     QStringLiteral("Leave"),
                                     QStringLiteral("Join the call..."),
                                     QStringLiteral("with your camera and microphone"),
                                     QStringLiteral("with your microphone only"),
                                     QStringLiteral("without a camera or microphone"),
                                     QStringLiteral("%s is calling.")};
    return keys;
}

QString CallPage::localization(const std::function<QString(const QString &)> &lookup) {
    QStringList entries;
    for (const QString &key : localizationKeys())
        entries.append(jsString(key) + u':' + jsString(lookup ? lookup(key) : key));
    return QStringLiteral("localization = {") + entries.join(u',') + QStringLiteral("};");
}

QString CallPage::css(const Sources &sources, const Colours &colours) {
    QString out = sources.css + sources.catalina + QStringLiteral(":root {");
    for (const auto &[name, value] : colours) out += QStringLiteral("--%1: %2;").arg(name, value);
    return out;
}

QString CallPage::script(const Sources &sources, const QString &css, const std::optional<QString> &settings,
                         const QString &localization) {
    struct Marker {
        QString text;
        QString replacement;
    };
    const Marker markers[] = {
        {QStringLiteral("%%CSS%%"), css},
        {QStringLiteral("%%HTML%%"), sources.html},
        {QStringLiteral("'%%SETTINGS%%'"), settings ? jsString(*settings) : QStringLiteral("'{}'")},
        {QStringLiteral("//LOCALIZATION//"), localization},
    };
    // One pass over the page's own text: a marker inside an inserted text is never replaced.
    const QString &js = sources.js;
    QString out;
    out.reserve(js.size() + css.size() + sources.html.size() + localization.size());
    qsizetype at = 0;
    while (at < js.size()) {
        qsizetype next = -1;
        const Marker *found = nullptr;
        for (const Marker &m : markers) {
            const qsizetype i = js.indexOf(m.text, at);
            if (i >= 0 && (next < 0 || i < next)) {
                next = i;
                found = &m;
            }
        }
        if (!found) {
            out += QStringView(js).sliced(at);
            break;
        }
        out += QStringView(js).sliced(at, next - at);
        out += found->replacement;
        at = next + found->text.size();
    }
    return out;
}

QString CallPage::document(const QString &script) {
    return QStringLiteral("<!DOCUMENT html><head><script>") + script +
           QStringLiteral("</script></head><html></html>");
}

QUrl CallPage::baseUrl() { return QUrl(QStringLiteral("https://call.murnavell.localhost/")); }

QString CallPage::jsString(const QString &text) {
    QString out;
    out.reserve(text.size() + 2);
    out += u'"';
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        switch (u) {
        case u'"':
            out += QStringLiteral("\\\"");
            break;
        case u'\\':
            out += QStringLiteral("\\\\");
            break;
        case u'\n':
            out += QStringLiteral("\\n");
            break;
        case u'\r':
            out += QStringLiteral("\\r");
            break;
        case u'\t':
            out += QStringLiteral("\\t");
            break;
        default:
            // Control characters, "<" (it could end the script element), the two line separators
            // and surrogates (the halves of a pair too) are written as escapes; everything else as it is.
            if (u < 0x20 || u == u'<' || u == 0x2028 || u == 0x2029 || c.isSurrogate())
                out += QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    out += u'"';
    return out;
}

std::optional<QString> CallPage::jsObject(const QString &json) {
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) return std::nullopt;
    // Written out by the parser's own writer: whatever the text held, only data comes out. "<"
    // can only stand inside a string there.
    QString out = QString::fromUtf8(QJsonDocument(doc.object()).toJson(QJsonDocument::Compact));
    out.replace(u'<', QStringLiteral("\\u003c"));
    out.replace(QChar(0x2028), QStringLiteral("\\u2028"));
    out.replace(QChar(0x2029), QStringLiteral("\\u2029"));
    return out;
}

QString CallPage::message(const QString &name, const QString &dataLiteral) {
    return QStringLiteral("exeMsgReceived({message:") + jsString(name) + QStringLiteral(",data:") +
           dataLiteral + QStringLiteral("});");
}

QString CallPage::colourScript(const Colours &colours) {
    QString out;
    for (const auto &[name, value] : colours)
        out += QStringLiteral("document.documentElement.style.setProperty(") +
               jsString(QStringLiteral("--") + name) + u',' + jsString(value) + QStringLiteral(");");
    return out;
}
