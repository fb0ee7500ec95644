#include "core/app/RegisteredDefaults.h"

#include "platform/defaults/Defaults.h"
#include "platform/strings/Strings.h"

QList<RegisteredDefaults::Entry> RegisteredDefaults::all(int encoding, const QString &receivedFilesFolder) {
    const QString away =
        QStringLiteral("I am away from my computer. Please leave your message and I will reply "
                       "to you as soon as I am back.");
    const QString busy = QStringLiteral("I am busy now. Please do not disturb me.");
    return {
        {QStringLiteral("fontSize"), 18},
        {QStringLiteral("displayRecent"), true},
        {QStringLiteral("displayTime"), true},
        {QStringLiteral("SendMessageKey"), 1},
        {QStringLiteral("enableHotKey"), true},
        // Control and Shift (0x60000) with key code 1.
        {QStringLiteral("hotKey"), QVariantList{393216, 1}},
        {QStringLiteral("minimizeMessages"), 0},
        {QStringLiteral("keepFocus"), false},
        {QStringLiteral("fileTransferPath"), receivedFilesFolder},
        {QStringLiteral("fileTransferAutoAccept"), true},
        {QStringLiteral("showFileTransferAlert"), true},
        {QStringLiteral("hideOfflineUsers"), false},
        {QStringLiteral("awayMessage"), Strings::localized(QString(), away)},
        {QStringLiteral("busyMessage"), Strings::localized(QString(), busy)},
        {QStringLiteral("autoAwayEnabled"), true},
        {QStringLiteral("autoAwayMinutes"), 10},
        // The misspelling is the key stored settings and bindings know.
        {QStringLiteral("sreensaverAwayEnabled"), true},
        {QStringLiteral("continuousSpellCheckingEnabled"), true},
        {QStringLiteral("automaticSpellingCorrectionEnabled"), true},
        {QStringLiteral("grammarCheckingEnabled"), false},
        {QStringLiteral("sounds.enabled"), true},
        {QStringLiteral("sounds.onIncoming"), true},
        {QStringLiteral("sounds.onBroadcast"), true},
        {QStringLiteral("sounds.anyTime"), 0},
        {QStringLiteral("sounds.onUserOnline"), true},
        {QStringLiteral("sounds.onIncomingFile"), true},
        {QStringLiteral("sounds.onCall"), true},
        // Read by nothing on this platform; registered so that the table is the same everywhere.
        {QStringLiteral("NSConstraintBasedLayoutVisualizeMutuallyExclusiveConstraints"), true},
        {QStringLiteral("encoding"), encoding},
    };
}

void RegisteredDefaults::registerAll(Defaults &defaults, int encoding, const QString &receivedFilesFolder) {
    QVariantMap values;
    for (const Entry &entry : all(encoding, receivedFilesFolder)) values.insert(entry.first, entry.second);
    defaults.registerDefaults(values);
}

QVariantMap RegisteredDefaults::messaging() {
    return {
        {QStringLiteral("minimizeMessages"), 0},      {QStringLiteral("keepFocus"), false},
        {QStringLiteral("sounds.enabled"), true},     {QStringLiteral("sounds.onIncoming"), true},
        {QStringLiteral("sounds.onBroadcast"), true}, {QStringLiteral("sounds.anyTime"), 0},
    };
}

void RegisteredDefaults::registerMessaging(Defaults &defaults) { defaults.registerDefaults(messaging()); }
