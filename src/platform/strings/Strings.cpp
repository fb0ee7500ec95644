#include "platform/strings/Strings.h"

#include "platform/system/PreferredLanguages.h"

#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QMutex>

#include <optional>

namespace {

struct State {
    QMutex mutex;
    std::optional<QStringList> languages;
    QString root = QStringLiteral(":/strings");
    // (language, table) → entries; an empty object for a table that does not exist.
    QHash<QString, QHash<QString, QString>> tables;
};

State &state() {
    static State s;
    return s;
}

QHash<QString, QString> readTable(const QString &path) {
    QHash<QString, QString> entries;
    if (!QFile::exists(path)) return entries;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return entries;
    const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
    for (auto it = object.begin(); it != object.end(); ++it)
        if (it.value().isString()) entries.insert(it.key(), it.value().toString());
    return entries;
}

QStringList candidates(const QStringList &languages) {
    QStringList out;
    for (const QString &language : languages) {
        if (!out.contains(language)) out << language;
        const qsizetype dash = language.lastIndexOf(QLatin1Char('-'));
        if (dash > 0 && !out.contains(language.left(dash))) out << language.left(dash);
    }
    // English last: the tables whose keys are not English text (interface-file ids) have their
    // English texts there.
    if (!out.contains(QStringLiteral("en"))) out << QStringLiteral("en");
    return out;
}

} // namespace

void Strings::setLanguages(const QStringList &languages) {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    s.languages = languages;
    s.tables.clear();
}

QStringList Strings::languages() {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    if (!s.languages) s.languages = PreferredLanguages::fromEnvironment();
    return *s.languages;
}

void Strings::setRoot(const QString &root) {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    s.root = root;
    s.tables.clear();
}

QString Strings::localized(const QString &table, const QString &key) {
    // Reading a table can make Qt look up a text of its own (an error message), which comes
    // back here through the application's translator: that inner lookup gets the key.
    thread_local bool inside = false;
    if (inside) return key;
    inside = true;
    const QString name = table.isEmpty() ? defaultTable() : table;
    const QStringList tried = candidates(languages());
    State &s = state();
    QString result = key;
    for (const QString &language : tried) {
        const QString id = language + QLatin1Char('/') + name;
        QMutexLocker lock(&s.mutex);
        auto it = s.tables.constFind(id);
        if (it == s.tables.constEnd()) {
            const QString path = s.root + QLatin1Char('/') + id + QStringLiteral(".json");
            lock.unlock(); // no lock held while the file is read
            QHash<QString, QString> entries = readTable(path);
            lock.relock();
            it = s.tables.insert(id, std::move(entries));
        }
        const auto entry = it->constFind(key);
        if (entry != it->constEnd()) {
            result = *entry;
            break;
        }
    }
    inside = false;
    return result;
}

QString Strings::format(const QString &format, const QVariantList &arguments) {
    QString out;
    out.reserve(format.size() + 16 * arguments.size());
    qsizetype next = 0; // the next argument in order
    const qsizetype n = format.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = format.at(i);
        if (c != QLatin1Char('%')) {
            out += c;
            continue;
        }
        const qsizetype start = i;
        qsizetype j = i + 1;
        if (j < n && format.at(j) == QLatin1Char('%')) {
            out += QLatin1Char('%');
            i = j;
            continue;
        }
        // Optional position "N$".
        bool positional = false;
        qsizetype position = -1;
        qsizetype k = j;
        while (k < n && format.at(k).isDigit()) ++k;
        if (k > j && k < n && format.at(k) == QLatin1Char('$')) {
            positional = true;
            position = format.mid(j, k - j).toLongLong() - 1; // "%0$" names no argument
            j = k + 1;
        }
        // Optional precision ".N".
        int precision = -1;
        if (j < n && format.at(j) == QLatin1Char('.')) {
            qsizetype p = j + 1;
            while (p < n && format.at(p).isDigit()) ++p;
            precision = p > j + 1 ? format.mid(j + 1, p - j - 1).toInt() : 0;
            j = p;
        }
        while (j < n && (format.at(j) == QLatin1Char('l') || format.at(j) == QLatin1Char('q'))) ++j;
        if (j >= n) {
            out += format.mid(start);
            break;
        }
        const QChar kind = format.at(j);
        if (!QStringLiteral("@sdiufx").contains(kind)) {
            out += format.mid(start, j - start + 1);
            i = j;
            continue;
        }
        const qsizetype index = positional ? position : next++;
        i = j;
        if (index < 0 || index >= arguments.size()) continue; // nothing to read: empty
        const QVariant &argument = arguments.at(index);
        switch (kind.unicode()) {
        case '@':
        case 's':
            out += argument.toString();
            break;
        case 'f':
            out += QString::number(argument.toDouble(), 'f', precision < 0 ? 6 : precision);
            break;
        case 'x':
            out += QString::number(argument.toULongLong(), 16);
            break;
        case 'u':
            out += QString::number(argument.toULongLong());
            break;
        default:
            out += QString::number(argument.toLongLong());
        }
    }
    return out;
}
