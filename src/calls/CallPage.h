#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <optional>

// The call page as the window loads it: assembled at run time from the page's four files with
// the settings, the colours of the palette and the texts of the interface, and the scripts that
// talk to it. Everything put into a script is a JSON literal with "<" escaped, so no text from a
// peer, a name or a translation can end a string, run as script or end the script element.
class CallPage {
public:
    // The page's files, read as UTF-8 from the resources (a missing file gives empty text).
    struct Sources {
        QString html;
        QString js;
        QString css;
        QString catalina;
    };
    static Sources load();
    static Sources load(const QString &root);
    // Where load() reads: the resources, or a folder given here (tests); empty restores them.
    static void setResourceRoot(const QString &root);

    // Colour variables of the page, (name, CSS colour) in the order of colourNames().
    using Colours = QList<QPair<QString, QString>>;
    static const QStringList &colourNames();
    // "rgba(r,g,b,a)": components from 0 to 1; red, green and blue times 255, truncated.
    static QString hexColor(double red, double green, double blue, double alpha);

    // The 32 texts of the localization object, in order (three keys come twice).
    static const QStringList &localizationKeys();
    // `localization = {"key":"text",...};` with each key's text from the lookup.
    static QString localization(const std::function<QString(const QString &)> &lookup);

    // The style text: the two style sheets, then ":root {" and one variable per colour (the
    // block stays open: it ends the style text).
    static QString css(const Sources &sources, const Colours &colours);
    // The script: the page's script with its markers replaced ("%%CSS%%", "%%HTML%%",
    // "'%%SETTINGS%%'" by a literal of the settings text or '{}' when there is none, and
    // "//LOCALIZATION//").
    static QString script(const Sources &sources, const QString &css, const std::optional<QString> &settings,
                          const QString &localization);
    // The document loaded into the view.
    static QString document(const QString &script);
    // The page's base URL: only this origin gets the camera and microphone.
    static QUrl baseUrl();

    // A JSON string literal of the text, with "<", U+2028 and U+2029 escaped.
    static QString jsString(const QString &text);
    // The JSON text parsed, required to be an object and written out again as a literal; none
    // for anything else.
    static std::optional<QString> jsObject(const QString &json);
    // `exeMsgReceived({message:NAME,data:DATA});` with the data already a literal.
    static QString message(const QString &name, const QString &dataLiteral);
    // One `setProperty` per colour: the page takes a new palette without loading again.
    static QString colourScript(const Colours &colours);
};
