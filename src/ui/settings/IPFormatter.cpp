#include "ui/settings/IPFormatter.h"

#include <QStringList>

namespace {

// Whether a run of digits (no leading zeros) stands for 256 or more, without converting runs
// that are too long for any integer.
bool atLeast256(const QString &digits) {
    if (digits.size() > 3) return true;
    return !digits.isEmpty() && digits.toInt() >= 256;
}

// The longest prefix of a run of digits whose value is at most 255 (one digit at least).
qsizetype fittingPrefix(const QString &digits) {
    qsizetype n = qMin<qsizetype>(digits.size(), 3);
    while (n > 1 && atLeast256(digits.left(n))) --n;
    return n;
}

} // namespace

IPFormatter::IPFormatter(QObject *parent) : QValidator(parent) {}

QString IPFormatter::stringForObjectValue(const QString &value) {
    return value.isNull() ? QStringLiteral("0.0.0.0") : value;
}

QString IPFormatter::getObjectValue(const QString &text) {
    QStringList parts = text.split(u'.');
    for (QString &part : parts)
        if (part.isEmpty()) part = QStringLiteral("0");
    while (parts.size() < 4) parts.append(QStringLiteral("0"));
    return parts.join(u'.');
}

bool IPFormatter::isPartialStringValid(const QString &text, QString *newEditingString) {
    bool unchanged = true;
    QString cleaned;
    cleaned.reserve(text.size());
    for (QChar c : text)
        if ((c >= u'0' && c <= u'9') || c == u'.') cleaned.append(c);
    if (cleaned.size() != text.size()) unchanged = false;

    // The parts are walked in order, each at most once: a part removed is simply not kept, and
    // the digits carried out of a part that is too large start the next one. Parts after the
    // fourth are never kept and never change the first four, so the walk stops there; a pasted
    // run of thousands of digits or dots costs one pass.
    const QStringList input = cleaned.split(u'.');
    qsizetype next = 0;
    QString carried;
    QStringList parts;
    while (parts.size() < 4 && (next < input.size() || !carried.isEmpty())) {
        QString part = carried + (next < input.size() ? input.at(next++) : QString());
        carried.clear();
        const bool last = next == input.size();
        if (part.size() >= 2 && part.startsWith(u'0')) {
            qsizetype zeros = 0;
            while (zeros < part.size() - 1 && part.at(zeros) == u'0') ++zeros;
            part.remove(0, zeros);
            unchanged = false;
        }
        if (parts.isEmpty() && part == QLatin1String("0")) {
            unchanged = false;
            continue;
        }
        if (part.isEmpty() && !last) {
            unchanged = false;
            continue;
        }
        if (atLeast256(part)) {
            const qsizetype keep = fittingPrefix(part);
            carried = part.mid(keep);
            part.truncate(keep);
            unchanged = false;
        }
        parts.append(part);
    }
    if (next < input.size() || !carried.isEmpty()) unchanged = false;
    if (newEditingString) *newEditingString = parts.join(u'.');
    return unchanged;
}

QValidator::State IPFormatter::validate(QString &input, int &pos) const {
    QString cleaned;
    if (!isPartialStringValid(input, &cleaned)) {
        // Keep the cursor where it was relative to the end: typing in the middle stays there.
        const int fromEnd = int(input.size()) - pos;
        input = cleaned;
        pos = qBound(0, int(cleaned.size()) - fromEnd, int(cleaned.size()));
    }
    return Acceptable;
}

void IPFormatter::fixup(QString &input) const { input = getObjectValue(input); }
