#pragma once

#include <QString>
#include <QValidator>

// The formatter of the address fields of the add-target window: dotted IPv4 text, cleaned while
// it is typed or pasted, and completed to four parts when the field is read.
//
// As a QValidator it rewrites the text in place (so a line edit shows the cleaned text at once)
// and never refuses an edit outright.
class IPFormatter : public QValidator {
    Q_OBJECT
public:
    explicit IPFormatter(QObject *parent = nullptr);

    // What a field shows for a value: "0.0.0.0" for none, else the text unchanged.
    static QString stringForObjectValue(const QString &value);
    // The value of a field's text: empty parts become "0" and missing ones are added, so
    // "192.168" reads as "192.168.0.0" and an empty text as "0.0.0.0".
    static QString getObjectValue(const QString &text);
    // The cleaned form of a text being typed: only digits and dots, no leading zeros, no empty
    // inner parts, every part at most 255 (extra digits carried into the next part), at most four
    // parts. True when the text was already clean.
    static bool isPartialStringValid(const QString &text, QString *newEditingString);

    State validate(QString &input, int &pos) const override;
    void fixup(QString &input) const override;
};
