#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QVariant>
#include <QVariantMap>

class Defaults;

// The registered values of the settings: what every key reads while the user has set nothing.
// They live in memory only and are never written to the settings file.
class RegisteredDefaults {
public:
    using Entry = QPair<QString, QVariant>;

    // Code pages of the "encoding" setting (the numbers peers and stored settings know).
    static constexpr int EncodingCyrillic = 11;      // Windows-1251
    static constexpr int EncodingWestern = 12;       // Windows-1252
    static constexpr int EncodingGreek = 13;         // Windows-1253
    static constexpr int EncodingTurkish = 14;       // Windows-1254
    static constexpr int EncodingCentralEurope = 15; // Windows-1250

    // The whole table in the order of registration, 29 keys; `encoding` is the code page chosen
    // from the user's languages, `receivedFilesFolder` the default "fileTransferPath".
    static QList<Entry> all(int encoding, const QString &receivedFilesFolder);
    static void registerAll(Defaults &defaults, int encoding, const QString &receivedFilesFolder);

    // The window and sound rules of incoming lines (a subset of the table, for tools and tests
    // that run the core alone).
    static QVariantMap messaging();
    static void registerMessaging(Defaults &defaults);
};
